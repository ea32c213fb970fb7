#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/log_registry.h"
#include "log_support.h"
#include "run_as.h"
#include "scratch_dir.h"

static ::testing::Environment *const g_logEnv =
    ::testing::AddGlobalTestEnvironment(new LogRegistryEnv);

namespace {

// Offsets written out by hand, so that a change of the declared records is
// caught against the layout other processes rely on.
constexpr size_t BLOCK_BASE = 8, BLOCK_SIZE = 36888, SETTINGS = 2576, CONTROL = 32;
constexpr size_t ENTRY_BASE = 4, ENTRY_SIZE = 268;
constexpr size_t E_PATH = 128, E_LEVEL = 256, E_COUNT = 260, E_SIZE = 264;

const unsigned char *AttachRaw() {
    void *p = shmat(LogRegistryEnv::SegmentId(), nullptr, SHM_RDONLY);
    return p == reinterpret_cast<void *>(-1) ? nullptr : static_cast<const unsigned char *>(p);
}

uint32_t U32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

int BlockIndex(const unsigned char *raw, const std::string &name) {
    int32_t count = static_cast<int32_t>(U32(raw));
    for (int i = 0; i < count; ++i) {
        if (strcasecmp(reinterpret_cast<const char *>(raw + BLOCK_BASE + i * BLOCK_SIZE),
                       name.c_str()) == 0) {
            return i;
        }
    }
    return -1;
}

std::vector<int> g_handled;
void Handler(unsigned int level, struct timeval, const char *) {
    g_handled.push_back(static_cast<int>(level));
}

}  // namespace

TEST(LogRegistry, SettingsLandAtTheirFixedOffsets) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("LayoutBlock", (dir / "a").c_str()), 0);
    ASSERT_EQ(Add_Log((dir / "b").c_str(), LOG_DIRECT), 1);
    ASSERT_EQ(Set_LogLevel(1, LOG_4 | LOG_H), 0);
    ASSERT_EQ(Set_LogFileCnt(1, 7), 0);
    ASSERT_EQ(Set_LogFileSize(1, 3), 0);

    const unsigned char *raw = AttachRaw();
    ASSERT_NE(raw, nullptr);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(LogRegistryEnv::SegmentId(), IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_segsz, 4721672u);

    int index = BlockIndex(raw, "LAYOUTBLOCK");
    ASSERT_GE(index, 0);
    const unsigned char *block = raw + BLOCK_BASE + index * BLOCK_SIZE;
    const unsigned char *settings = block + SETTINGS;
    EXPECT_EQ(U32(settings), 2u);
    const unsigned char *e0 = settings + ENTRY_BASE;
    const unsigned char *e1 = e0 + ENTRY_SIZE;
    EXPECT_STREQ(reinterpret_cast<const char *>(e0), "MM/DD hh:mm:ss-uuu");
    EXPECT_EQ(reinterpret_cast<const char *>(e0 + E_PATH), dir / "a");
    EXPECT_EQ(reinterpret_cast<const char *>(e1 + E_PATH), dir / "b");
    EXPECT_EQ(U32(e1 + E_LEVEL), LOG_4 | LOG_H);
    EXPECT_EQ(U32(e1 + E_COUNT), 7u);
    EXPECT_EQ(U32(e1 + E_SIZE), 3u);
    EXPECT_EQ(U32(e0 + E_COUNT), 10u);
    EXPECT_EQ(U32(e0 + E_SIZE), 99u);
    // Process-local control values never reach the shared copy.
    std::vector<unsigned char> zero(sizeof(_ST_LOG_CTRL), 0);
    EXPECT_EQ(memcmp(block + CONTROL, zero.data(), zero.size()), 0);
    shmdt(raw);
}

TEST(LogRegistry, FreshBlockPassesNothingUntilALevelIsSet) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("FreshBlock", (dir / "f").c_str()), 0);
    EXPECT_EQ(Get_LogListCnt(), 1);
    EXPECT_EQ(Get_LogLevel(0), 0);
    for (unsigned int level : {1u, 2u, 3u, 4u, 5u, 0u, unsigned(LOG_D), unsigned(LOG_6)}) {
        EXPECT_EQ(__Chk_LogLevel(0, level), -1) << level;
    }
    EXPECT_EQ(Log(LOG_1, "dropped\n"), 0);
    EXPECT_FALSE(std::filesystem::exists(TodayName(dir / "f")));
}

TEST(LogRegistry, RestartFindsBlockAndLevelWordsInAnyCase) {
    ScratchDir dir;
    std::string path = dir / "r";
    ASSERT_TRUE(InChild([&] {
        return Init_Log("RestartBlock", path.c_str()) == 0 &&
               Set_LogLevel(0, LOG_3 | LOG_D) == 0 && Set_LogFileCnt(0, 4) == 0 &&
               Set_LogFileSize(0, 7) == 0;
    }));
    const unsigned char *raw = AttachRaw();
    ASSERT_NE(raw, nullptr);
    int32_t blocksBefore = static_cast<int32_t>(U32(raw));

    ASSERT_EQ(Init_Log("restartBLOCK", path.c_str()), 0);
    EXPECT_EQ(Get_LogLevel(0), static_cast<int>(LOG_3 | LOG_D));
    EXPECT_EQ(Get_LogFileCnt(0), 10);
    EXPECT_EQ(Get_LogFileSize(0), 99);
    EXPECT_EQ(static_cast<int32_t>(U32(raw)), blocksBefore);
    shmdt(raw);
}

TEST(LogRegistry, AnotherProcessChangesTheLevelByBlockName) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("WatchedBlock", (dir / "w").c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
    ASSERT_EQ(Log(LOG_5, "before\n"), 0);

    ASSERT_TRUE(InChild([&] {
        return Init_Log("ControllerBlock", (dir / "c").c_str()) == 0 &&
               Get_LogLevelName("watchedblock") == LOG_3 &&
               Get_LogPathName("WATCHEDBLOCK") == dir / "w" &&
               Set_LogLevelName("WatchedBLOCK", LOG_5) == 0 &&
               Set_LogLevelName("NoSuchBlock", LOG_5) == -1 && Get_LogLevelName("NoSuchBlock") == 0;
    }));
    EXPECT_EQ(Get_LogLevel(0), LOG_5);
    ASSERT_EQ(Log(LOG_5, "after\n"), 0);
    std::vector<std::string> lines = ReadLines(TodayName(dir / "w"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(MessageOf(lines[0]), "after");
}

TEST(LogLevels, LadderFlagsCharactersAndNames) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("LevelBlock", (dir / "l").c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3 | LOG_D), 0);
    for (unsigned int level : {1u, 2u, 3u, unsigned(LOG_D)}) EXPECT_EQ(__Chk_LogLevel(0, level), 0);
    for (unsigned int level : {4u, 5u, 0u, unsigned(LOG_T), unsigned(LOG_6), unsigned(LOG_H)}) {
        EXPECT_EQ(__Chk_LogLevel(0, level), -1) << level;
    }
    Clr_Error();
    EXPECT_EQ(__Chk_LogLevel(5, LOG_1), -1);
    EXPECT_TRUE(ReportHas("Invalid log section ID[5]"));

    EXPECT_EQ(std::string(Str_LogLevel(LOG_3 | LOG_D | LOG_T, nullptr, 0)), "3 D T ");
    char buf[64];
    EXPECT_EQ(std::string(Str_LogLevel(5 | LOG_6 | LOG_9 | LOG_H, buf, sizeof(buf))), "5 6 9 H ");
    EXPECT_EQ(std::string(Str_LogLevel(0, buf, sizeof(buf))), "");
    EXPECT_EQ(std::string(Str_LogLevel(LOG_7 | LOG_8, buf, 3)), "7 ");  // cut to the buffer

    const std::string chars = " CENIM";
    for (unsigned int i = 0; i <= 5; ++i) EXPECT_EQ(__Char_LogLevel(i), chars[i]);
    EXPECT_EQ(__Char_LogLevel(LOG_6), '6');
    EXPECT_EQ(__Char_LogLevel(LOG_T), 'T');
    EXPECT_EQ(__Char_LogLevel(LOG_D | LOG_T), ' ');
    EXPECT_EQ(__Char_LogLevel(6), ' ');

    ASSERT_EQ(Set_LogLevel(0, LOG_6 | 2), 0);
    EXPECT_LT(Get_LogLevel(0), 0);
}

TEST(LogSettings, SettersNormaliseAndRejectBadSections) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("SettingsBlock", (dir / "s").c_str()), 0);
    for (auto [in, out] : {std::pair{1024u, 1024}, {1025u, 1}, {2097152u, 2}, {5000000u, 4}}) {
        ASSERT_EQ(Set_LogFileSize(0, in), 0);
        EXPECT_EQ(Get_LogFileSize(0), out) << in;
    }
    EXPECT_EQ(Set_LogLevel(1, LOG_1), -1);
    EXPECT_EQ(Get_LogLevel(1), -1);
    EXPECT_EQ(Get_LogPath(1), nullptr);
    EXPECT_EQ(Set_LogPath(0, nullptr), -1);
    EXPECT_EQ(Set_LogMore(12, 1, 1, 1, "hh"), -1);

    ASSERT_EQ(Set_LogMore(0, LOG_2, 3, 2048, "hh:mm:ss"), 0);
    EXPECT_EQ(Get_LogLevel(0), LOG_2);
    EXPECT_EQ(Get_LogFileCnt(0), 3);
    EXPECT_EQ(Get_LogFileSize(0), 2);
    EXPECT_STREQ(Get_LogTimeFormat(0), "hh:mm:ss");
    ASSERT_EQ(Set_Log(LOG_1, 5, 6, "hh:mm"), 0);
    EXPECT_EQ(Get_LogFileCnt(0), 5);

    // A new path and time format apply to the next record.
    ASSERT_EQ(Set_LogPath(0, (dir / "moved").c_str()), 0);
    ASSERT_EQ(Log(LOG_1, "x\n"), 0);
    std::vector<std::string> lines = ReadLines(TodayName(dir / "moved"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), std::string("[hh:mm]C) x").size()) << lines[0];
}

TEST(LogSections, ElevenSectionsTwelveHandlers) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("SectionBlock", (dir / "s0").c_str()), 0);
    for (int i = 1; i < 11; ++i) {
        ASSERT_EQ(Add_Log((dir / ("s" + std::to_string(i))).c_str(), LOG_DIRECT), i);
    }
    Clr_Error();
    EXPECT_EQ(Add_Log((dir / "s11").c_str(), LOG_DIRECT), -1);
    EXPECT_TRUE(ReportHas("Log sector is Over"));
    for (unsigned int i = 0; i < 11; ++i) {
        ASSERT_EQ(Set_LogLevel(i, LOG_1), 0);
        ASSERT_EQ(Log(i, LOG_1, "section %u\n", i), 0);
        std::vector<std::string> lines = ReadLines(TodayName(dir / ("s" + std::to_string(i))));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(MessageOf(lines[0]), "section " + std::to_string(i));
    }

    g_handled.clear();
    for (unsigned int i = 0; i < LOG_MAX_HANDLER; ++i) ASSERT_EQ(Add_LogHandler(Handler, 3), 0);
    Clr_Error();
    EXPECT_EQ(Add_LogHandler(Handler, 3), -1);
    EXPECT_TRUE(ReportHas("Handler count full[Current : 12 / Max :12]"));
    EXPECT_EQ(Add_LogHandler(nullptr, 4), -1);
    EXPECT_TRUE(ReportHas("Invlid parameter [pHandlerFunc is NULL]"));
    EXPECT_EQ(Add_LogHandler(Handler, 11), -1);
    EXPECT_TRUE(ReportHas("Invalid sect-id [unLogSect:11/ConfiguredSect:11]"));

    // Handlers see a dump record that the filter then rejects.
    ASSERT_EQ(T_Dump(3, LOG_4, "t", "rejected\n"), 0);
    EXPECT_EQ(g_handled, std::vector<int>(LOG_MAX_HANDLER, LOG_4));
    EXPECT_EQ(ReadLines(TodayName(dir / "s3")).size(), 1u);
}

TEST(LogRegistryAccess, AnOutsiderCannotAttachRedirectOrPlantALink) {
    if (!CanDropRoot()) GTEST_SKIP() << "needs root and the user nobody";
    ScratchDir dir;
    chmod(dir.path().c_str(), 0755);
    // A log folder left writable by another user.
    std::string logDir = dir / "log";
    ASSERT_EQ(mkdir(logDir.c_str(), 0755), 0);
    ASSERT_EQ(chown(logDir.c_str(), Nobody().uid, Nobody().gid), 0);
    ASSERT_EQ(Init_Log("AccessBlock", (logDir + "/app").c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);

    // Key file and segment are for their owner, their group and root.
    std::string keyFile = LogRegistryEnv::KeyFile();
    int id = LogRegistryEnv::SegmentId();
    struct stat st;
    ASSERT_EQ(stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    struct shmid_ds ds;
    ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.shm_perm.mode & 0777, 0660u);

    // Another user can neither attach it (to write a path, or to read),
    // nor write the key file, nor change or remove the segment.
    EXPECT_TRUE(RunAsNobody([&] {
        struct shmid_ds widened = ds;
        widened.shm_perm.mode = 0666;
        return shmat(id, nullptr, 0) == reinterpret_cast<void *>(-1) && errno == EACCES &&
               shmat(id, nullptr, SHM_RDONLY) == reinterpret_cast<void *>(-1) &&
               open(keyFile.c_str(), O_WRONLY) < 0 && errno == EACCES &&
               shmctl(id, IPC_SET, &widened) < 0 && shmctl(id, IPC_RMID, nullptr) < 0;
    }));
    EXPECT_EQ(Get_LogPath(0), logDir + "/app");

    // A link planted at today's name is not followed: the record goes to
    // standard output with the reason, the link's target stays as it was.
    std::string victim = dir / "victim";
    std::ofstream(victim) << "untouched\n";
    std::string today = TodayName(logDir + "/app");
    ASSERT_TRUE(RunAsNobody([&] { return symlink(victim.c_str(), today.c_str()) == 0; }));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(Log(LOG_3, "not for the victim\n"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadLines(victim), std::vector<std::string>{"untouched"});
    EXPECT_NE(out.find("not for the victim"), std::string::npos) << out;
    EXPECT_NE(err.find("Open Log(" + today + ",a+) fails! [" + std::to_string(ELOOP) + "/"),
              std::string::npos)
        << err;
}

TEST(LogRegistry, TextsReadFromTheSegmentAreBoundedToTheirField) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("BoundsBlock", (dir / "b").c_str()), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
    // Another process fills the path field to its end, without a terminator
    // (the level word follows it).
    _ST_LOG_LIST *entry = SharedEntry("BoundsBlock", 0);
    ASSERT_NE(entry, nullptr);
    std::string base = dir.path().string() + "/";
    ASSERT_LT(base.size(), 100u);
    std::string full = base + std::string(sizeof(entry->szFilePath) - base.size(), 'p');
    memcpy(entry->szFilePath, full.data(), sizeof(entry->szFilePath));
    std::string bounded = full.substr(0, sizeof(entry->szFilePath) - 1);

    EXPECT_EQ(std::string(Get_LogPath(0)), bounded);
    EXPECT_EQ(std::string(Get_LogPathName("BoundsBlock")), bounded);
    ASSERT_EQ(Log(LOG_3, "bounded\n"), 0);
    ASSERT_EQ(ReadLines(TodayName(bounded)).size(), 1u);
    EXPECT_EQ(FileNames(dir.path()).size(), 1u);
}

namespace {

// Runs in a process of its own that has not attached a registry: creates a
// new one under a fresh root while a peer attaches it the moment it exists
// and claims the last block slot. Exits 0 when the peer's claim survived.
void CreateRegistryBesideAPeer(const std::string &root) {
    std::filesystem::remove_all(getenv(ORVO_TMP_ROOT_ENV));  // this process's own, unused
    std::filesystem::create_directories(root);
    std::string keyFile = root + "/olog.shm";
    std::ofstream(keyFile).close();
    key_t key = ftok(keyFile.c_str(), 0);
    pid_t peer = fork();
    if (peer == 0) {
        int id;
        while ((id = shmget(key, 0, 0)) < 0) {
        }
        void *p = shmat(id, nullptr, 0);
        if (p == reinterpret_cast<void *>(-1)) _exit(2);
        strcpy(static_cast<_ST_LOG_INFORMATION *>(p)->stD[LOG_MAX_BLOCK - 1].szBlockName, "PEER");
        _exit(0);
    }
    setenv(ORVO_TMP_ROOT_ENV, root.c_str(), 1);
    bool created = Init_Log("Creator", (root + "/c").c_str()) == 0;
    int status = 0;
    waitpid(peer, &status, 0);
    const unsigned char *raw = AttachRaw();
    bool kept = raw != nullptr && BlockIndex(raw, "Creator") == 0 &&
                strcmp(reinterpret_cast<const char *>(raw + BLOCK_BASE +
                                                      (LOG_MAX_BLOCK - 1) * BLOCK_SIZE),
                       "PEER") == 0;
    _exit(created && WIFEXITED(status) && WEXITSTATUS(status) == 0 && kept ? 0 : 1);
}

}  // namespace

TEST(LogRegistry, ANewRegistryKeepsABlockAPeerClaimedAtOnce) {
    // The registry is attached once per process: a fresh process creates it.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int round = 0; round < 3; ++round) {
        // The same path in the test process and in its re-executed child.
        pid_t owner = testing::internal::InDeathTestChild() ? getppid() : getpid();
        const char *base = getenv("KEST_TEST_TMP");
        std::string root = std::string(base != nullptr ? base : "/tmp") + "/fresh-registry-" +
                           std::to_string(owner) + "-" + std::to_string(round);
        EXPECT_EXIT(CreateRegistryBesideAPeer(root), testing::ExitedWithCode(0), "")
            << "round " << round;
        key_t key = ftok((root + "/olog.shm").c_str(), 0);
        int id = key == -1 ? -1 : shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
}
