#include "ipc/shmlib.h"

#include <dlfcn.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <fstream>
#include <filesystem>
#include <string>
#include <vector>

#include "base/error.h"
#include "run_as.h"
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

struct shmid_ds StatOf(int id) {
    struct shmid_ds ds {};
    shmctl(id, IPC_STAT, &ds);
    return ds;
}

int IdOf(const std::string &keyFile) {
    key_t key = ftok(keyFile.c_str(), 0);
    return key == -1 ? -1 : shmget(key, 0, 0);
}

// While set, a lookup that finds no segment returns only after a pause, so
// that processes racing to create the segment all find none first.
bool g_slowLookup = false;

struct SlowLookup {
    SlowLookup() { g_slowLookup = true; }
    ~SlowLookup() { End(); }
    void End() { g_slowLookup = false; }
};

}  // namespace

// Stands in for the C library's shmget in this test program (ShmOpen calls it
// through the symbol), to widen the window between lookup and creation.
extern "C" int shmget(key_t key, size_t size, int flags) {
    using Real = int (*)(key_t, size_t, int);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "shmget"));
    int id = real(key, size, flags);
    if (id < 0 && flags == 0 && g_slowLookup) {
        int err = errno;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        errno = err;
    }
    return id;
}

namespace {

// Children forked before a round wait here until the parent lets them all go
// at once.
class StartLine {
public:
    StartLine()
        : go_(static_cast<std::atomic<int> *>(mmap(nullptr, sizeof(std::atomic<int>),
                                                   PROT_READ | PROT_WRITE,
                                                   MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
        go_->store(0);
    }
    ~StartLine() { munmap(go_, sizeof(*go_)); }
    void Wait() const {
        while (go_->load() == 0) {
        }
    }
    void Go() { go_->store(1); }

private:
    std::atomic<int> *go_;
};

constexpr gid_t OTHER_GID = 4242;  // a group neither root nor nobody is in

int ExitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

TEST(ShmOpen, CreationIsExclusiveAndKeepsWhatAPeerWroteAtOnce) {
    ScratchDir dir;
    Segments segs;
    // Several processes racing to create the same segment: one creator.
    constexpr int ROUNDS = 3, RACERS = 4;
    SlowLookup slow;
    for (int round = 0; round < ROUNDS; ++round) {
        std::string key = dir / ("race" + std::to_string(round));
        std::ofstream(key + ".shm").close();
        StartLine line;
        std::vector<pid_t> pids;
        for (int i = 0; i < RACERS; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                line.Wait();
                int first = -1;
                _exit(ShmOpen(key.c_str(), 4096, &first) == nullptr ? 2 : first);
            }
            pids.push_back(pid);
        }
        line.Go();
        int creators = 0;
        for (pid_t pid : pids) {
            int code = ExitCode(pid);
            ASSERT_TRUE(code == 0 || code == 1) << code;
            creators += code;
        }
        segs.ids.push_back(IdOf(key + ".shm"));
        ASSERT_EQ(creators, 1) << "round " << round;
    }
    slow.End();

    // A peer that attaches the moment the segment exists and writes into it
    // keeps what it wrote: the creator does not fill the segment again.
    constexpr size_t BIG = 32u << 20;
    for (int round = 0; round < 3; ++round) {
        std::string key = dir / ("peer" + std::to_string(round));
        std::ofstream(key + ".shm").close();
        key_t sysKey = ftok((key + ".shm").c_str(), 0);
        ASSERT_NE(sysKey, -1);
        pid_t peer = fork();
        if (peer == 0) {
            int id;
            while ((id = shmget(sysKey, 0, 0)) < 0) {
            }
            void *p = shmat(id, nullptr, 0);
            if (p == reinterpret_cast<void *>(-1)) _exit(2);
            static_cast<char *>(p)[BIG - 1] = 'P';
            _exit(0);
        }
        int first = -1, id = -1;
        char *p = static_cast<char *>(ShmOpen(key.c_str(), static_cast<int>(BIG), &first, &id));
        ASSERT_NE(p, nullptr);
        segs.ids.push_back(id);
        ASSERT_EQ(ExitCode(peer), 0);
        EXPECT_EQ(first, 1);
        EXPECT_EQ(p[BIG - 1], 'P') << "round " << round;
        EXPECT_EQ(p[0], 0);
        shmdt(p);
    }
}

TEST(ShmOpen, PrivateSegmentIsForOwnerGroupAndRootOnly) {
    if (!CanDropRoot()) GTEST_SKIP() << "needs root and the user nobody";
    ScratchDir dir;
    Segments segs;
    chmod(dir.path().c_str(), 0755);
    const TestUser nobody = Nobody();

    // Key file and segment 0660, in the group of the key file, which a
    // set-group-ID directory hands down whoever creates it.
    std::string groupDir = dir / "group";
    ASSERT_EQ(mkdir(groupDir.c_str(), 0775), 0);
    ASSERT_EQ(chown(groupDir.c_str(), 0, nobody.gid), 0);
    ASSERT_EQ(chmod(groupDir.c_str(), 02775), 0);
    std::string key = groupDir + "/reg";
    int first = -1, id = -1;
    void *p = ShmOpen(key.c_str(), 4096, &first, &id, 0, SHM_MODE_PRIVATE);
    ASSERT_NE(p, nullptr);
    segs.ids.push_back(id);
    EXPECT_EQ(first, 1);
    struct stat st;
    ASSERT_EQ(stat((key + ".shm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, nobody.gid);
    struct shmid_ds ds = StatOf(id);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0660u);
    EXPECT_EQ(ds.shm_perm.gid, nobody.gid);
    EXPECT_EQ(ds.shm_perm.uid, 0u);
    // A member of that group may attach it, a user of another group not
    // (the creator's group, root's here, would be let in too).
    EXPECT_TRUE(RunAs({nobody.uid, nobody.gid}, [id] {
        void *q = shmat(id, nullptr, 0);
        return q != reinterpret_cast<void *>(-1) && shmdt(q) == 0;
    }));
    EXPECT_TRUE(RunAs({nobody.uid, OTHER_GID}, [id] {
        return shmat(id, nullptr, SHM_RDONLY) == reinterpret_cast<void *>(-1) && errno == EACCES;
    }));
    shmdt(p);

    // A segment another user made at the key (before its owner came) is
    // refused, not used.
    std::string planted = dir / "planted";
    std::ofstream(planted + ".shm").close();
    key_t sysKey = ftok((planted + ".shm").c_str(), 0);
    ASSERT_TRUE(RunAsNobody([sysKey] { return shmget(sysKey, 4096, IPC_CREAT | 0666) >= 0; }));
    segs.ids.push_back(IdOf(planted + ".shm"));
    Clr_Error();
    EXPECT_EQ(ShmOpen(planted.c_str(), 4096, nullptr, nullptr, 0, SHM_MODE_PRIVATE), nullptr);
    EXPECT_TRUE(ReportHas("Shm Owner Untrusted (" + planted + ": owner " +
                          std::to_string(nobody.uid)))
        << StrError(0);

    // So is a key file another user planted: its owner would choose the
    // segment's group.
    std::string foreign = dir / "foreign";
    std::ofstream(foreign + ".shm").close();
    ASSERT_EQ(chown((foreign + ".shm").c_str(), nobody.uid, nobody.gid), 0);
    EXPECT_EQ(ShmOpen(foreign.c_str(), 4096, nullptr, nullptr, 0, SHM_MODE_PRIVATE), nullptr);
    EXPECT_TRUE(ReportHas("Shm Key File Untrusted (" + foreign + ".shm: owner " +
                          std::to_string(nobody.uid)))
        << StrError(0);

    // One left open to every user (and in root's group) by an earlier
    // release is narrowed by root, and handed to the group of its folder,
    // whose members could not use it otherwise.
    std::string old = groupDir + "/old";
    void *o = ShmOpen(old.c_str(), 4096, nullptr, &id);
    ASSERT_NE(o, nullptr);
    segs.ids.push_back(id);
    ASSERT_EQ(chown((old + ".shm").c_str(), 0, 0), 0);
    EXPECT_EQ(StatOf(id).shm_perm.mode & 0777, 0666u);
    EXPECT_EQ(StatOf(id).shm_perm.gid, 0u);
    void *o2 = ShmOpen(old.c_str(), 4096, nullptr, nullptr, 0, SHM_MODE_PRIVATE);
    ASSERT_NE(o2, nullptr);
    EXPECT_EQ(StatOf(id).shm_perm.mode & 0777, 0660u);
    EXPECT_EQ(StatOf(id).shm_perm.gid, nobody.gid);
    ASSERT_EQ(stat((old + ".shm").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, nobody.gid);
    EXPECT_TRUE(RunAs({nobody.uid, nobody.gid}, [id] {
        void *q = shmat(id, nullptr, 0);
        return q != reinterpret_cast<void *>(-1) && shmdt(q) == 0;
    }));
    shmdt(o);
    shmdt(o2);
}
