#include "base/memctrl.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "base/error.h"

namespace {

std::string LastReport() { return StrError(0); }

}  // namespace

TEST(Memory, AllocationFailuresAreRecorded) {
    Clr_Error();
    EXPECT_EQ(Malloc(0), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_NE(LastReport().find("unSize is small[0] (Malloc/"), std::string::npos);

    void *p = Malloc(13);
    ASSERT_NE(p, nullptr);
    memset(p, 0xAB, 16);  // the size is raised to a multiple of 8
    p = Realloc(p, 21);
    ASSERT_NE(p, nullptr);
    memset(p, 0xCD, 24);
    EXPECT_EQ(Free(p), 0);
    EXPECT_EQ(Free(nullptr), -1);
    EXPECT_NE(LastReport().find("pcAddr is NULL"), std::string::npos);
}

TEST(Memory, CopiesRespectTheDestinationSize) {
    char szDest[8] = "abcdefg";
    const char szSrc[16] = "0123456789";
    EXPECT_EQ(Memcpy(szDest, szSrc, 9, sizeof(szDest)), nullptr);
    EXPECT_STREQ(szDest, "abcdefg");
    EXPECT_NE(LastReport().find("Dest Size[8] < unSize[9]"), std::string::npos);
    EXPECT_EQ(Memcpy(szDest, szSrc, 8, sizeof(szDest)), szDest);
    EXPECT_EQ(memcmp(szDest, "01234567", 8), 0);
    EXPECT_EQ(Memset(nullptr, 0, 4), nullptr);
    EXPECT_EQ(Memset(szDest, 0, 0), nullptr);
    Clr_Error();
}

TEST(Memory, DuplicatesAreTerminatedAndEmptyTextRefused) {
    char *p = Strdup("billing");
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "billing");
    Free(p);
    p = Strdup("billing", 4);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "bill");
    Free(p);
    p = Strdup("ab", 10);  // a size beyond the text stops at its terminator
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "ab");
    Free(p);
    EXPECT_EQ(Strdup(""), nullptr);
    EXPECT_NE(LastReport().find("unSize is small[0]"), std::string::npos);
    unsigned char raw[3] = {1, 0, 2};
    auto *q = static_cast<unsigned char *>(Memdup(raw, 3));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(memcmp(q, raw, 3), 0);
    Free(q);
}

TEST(Mutex, LockerLocksOnceAndReleasesOnScopeExit) {
    pthread_mutex_t mutex;
    ASSERT_EQ(Mutex_Init(&mutex, nullptr), 0);
    {
        MutexLocker locker(&mutex);
        EXPECT_FALSE(locker.IsLocked());
        EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);  // not locked by construction
        pthread_mutex_unlock(&mutex);
        locker.Lock();
        locker.Lock();  // a second Lock on the same guard must not deadlock
        EXPECT_TRUE(locker.IsLocked());
        bool bOtherGot = true;
        std::thread t([&] { bOtherGot = pthread_mutex_trylock(&mutex) == 0; });
        t.join();
        EXPECT_FALSE(bOtherGot);
    }
    EXPECT_EQ(pthread_mutex_trylock(&mutex), 0);
    pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}
