#include "ipc/shmlib.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

bool ReportHas(const std::string &text) {
    return std::string(StrError(0)).find(text) != std::string::npos;
}

// Removes every segment a test created, whatever the outcome.
struct Segments {
    ~Segments() {
        for (int id : ids) shmctl(id, IPC_RMID, nullptr);
    }
    std::vector<int> ids;
};

bool AllZero(const void *addr, size_t size) {
    const unsigned char *p = static_cast<const unsigned char *>(addr);
    for (size_t i = 0; i < size; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

}  // namespace

TEST(ShmOpen, CreatesPathAndZeroedSegmentThenFindsItAgain) {
    ScratchDir dir;
    Segments segs;
    std::string key = dir / "a/b/key";
    char cwdBefore[512];
    ASSERT_NE(getcwd(cwdBefore, sizeof(cwdBefore)), nullptr);

    int first = -1, id = -1;
    char *p = static_cast<char *>(ShmOpen(key.c_str(), 4096, &first, &id));
    ASSERT_NE(p, nullptr);
    segs.ids.push_back(id);
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(AllZero(p, 4096));
    EXPECT_TRUE(fs::is_directory(dir / "a/b"));
    EXPECT_FALSE(fs::exists(key));
    struct stat st;
    ASSERT_EQ(stat((key + ".shm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    char cwdAfter[512];
    ASSERT_NE(getcwd(cwdAfter, sizeof(cwdAfter)), nullptr);
    EXPECT_STREQ(cwdBefore, cwdAfter);

    strcpy(p, "kept");
    int first2 = -1, id2 = -1;
    char *q = static_cast<char *>(ShmOpen(key.c_str(), 4096, &first2, &id2));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(first2, 0);
    EXPECT_EQ(id2, id);
    EXPECT_STREQ(q, "kept");

    // The ".shm" form names the same key file: no second suffix.
    int id3 = -1;
    ASSERT_NE(ShmOpen((key + ".shm").c_str(), 4096, nullptr, &id3), nullptr);
    EXPECT_EQ(id3, id);
    EXPECT_FALSE(fs::exists(key + ".shm.shm"));
    shmdt(p);
    shmdt(q);
}

TEST(ShmOpen, SizeChangeRecreatesOrIsRefusedReadOnly) {
    ScratchDir dir;
    Segments segs;
    std::string key = dir / "sized";
    int id = -1;
    char *p = static_cast<char *>(ShmOpen(key.c_str(), 4096, nullptr, &id));
    ASSERT_NE(p, nullptr);
    segs.ids.push_back(id);
    strcpy(p, "old");

    Clr_Error();
    EXPECT_EQ(ShmOpen(key.c_str(), 8192, nullptr, nullptr, 1), nullptr);
    EXPECT_TRUE(ReportHas("Shm Size Mismatched (" + key + "/4096)"));

    int first = -1, id2 = -1;
    char *q = static_cast<char *>(ShmOpen(key.c_str(), 8192, &first, &id2, 0));
    ASSERT_NE(q, nullptr);
    segs.ids.push_back(id2);
    EXPECT_EQ(first, 1);
    EXPECT_TRUE(AllZero(q, 8192));
    EXPECT_STREQ(p, "old");  // the earlier attachment keeps its old copy
    shmdt(p);
    shmdt(q);
}

TEST(ShmOpen, RejectsBadArguments) {
    Clr_Error();
    EXPECT_EQ(ShmOpen(nullptr, 16), nullptr);
    EXPECT_EQ(ShmOpen("", 16), nullptr);
    EXPECT_TRUE(ReportHas("Invalid KeyFile parameter"));
    EXPECT_EQ(ShmOpen("/tmp/kest-never-used", 0), nullptr);
    EXPECT_TRUE(ReportHas("Invalid Shm Size Parameter"));

    ScratchDir dir;
    std::string blocker = dir / "file";
    FILE *f = fopen(blocker.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(ShmOpen((blocker + "/sub/key").c_str(), 16), nullptr);
    EXPECT_TRUE(ReportHas("Key Path Create Fail (KeyFilePath[" + blocker + "/sub/key]/Dir[file])"));
}
