// The bill line, the bill file and the settings, in-process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/string.h"
#include "kest_ending.h"
#include "kest_file_manager.h"
#include "kest_manager.h"
#include "kest_query.h"
#include "file_text.h"
#include "scratch_dir.h"

using kest::FileManager;
using kest::KestManager;
using kest::DAO::TSMS_SND_MSG;

namespace {

constexpr long kNull = -1;

TSMS_SND_MSG AllNull() {
    TSMS_SND_MSG rec{};
    rec.len_msg_seq = rec.len_proc_result = rec.len_in_group = rec.len_out_group = kNull;
    rec.len_serial_num = rec.len_caller_no = rec.len_callee_no = rec.len_callback_no = kNull;
    rec.len_in_time = rec.len_report_time = kNull;
    return rec;
}

void SetText(char *pcField, size_t unSize, long &lIndicator, const std::string &value) {
    StrCpy(pcField, value.c_str(), unSize);
    lIndicator = static_cast<long>(value.size());
}

TSMS_SND_MSG Sample() {
    TSMS_SND_MSG rec = AllNull();
    rec.MSG_SEQ = 1;
    rec.len_msg_seq = 8;
    SetText(rec.IN_GROUP, sizeof(rec.IN_GROUP), rec.len_in_group, "5");
    rec.OUT_GROUP = 12;
    rec.len_out_group = 8;
    SetText(rec.SERIAL_NUM, sizeof(rec.SERIAL_NUM), rec.len_serial_num, "S1");
    SetText(rec.CALLER_NO, sizeof(rec.CALLER_NO), rec.len_caller_no, "01012345678");
    SetText(rec.CALLEE_NO, sizeof(rec.CALLEE_NO), rec.len_callee_no, "01098765432");
    SetText(rec.CALLBACK_NO, sizeof(rec.CALLBACK_NO), rec.len_callback_no, "0101111");
    SetText(rec.IN_TIME, sizeof(rec.IN_TIME), rec.len_in_time, "20261207100000");
    SetText(rec.REPORT_TIME, sizeof(rec.REPORT_TIME), rec.len_report_time, "20261207100001");
    return rec;
}

// A row's line as the cycle bills it.
void Bill(FileManager &fm, const TSMS_SND_MSG &rec) {
    fm.append(FileManager::format_line(rec));
    fm.sync();
    fm.settle();
}

std::string Today() {
    time_t now = time(nullptr);
    tm stTm{};
    localtime_r(&now, &stTm);
    char sz[32];
    strftime(sz, sizeof(sz), "%Y-%m-%d", &stTm);
    return sz;
}

}  // namespace

TEST(BillLine, ColumnsOfAFullRow) {
    EXPECT_EQ(FileManager::format_line(Sample()),
              "000 005 012         S1      01012345678      01098765432          0101111 "
              "20261207100000 20261207100001\n");
    EXPECT_EQ(FileManager::format_line(Sample()).size(), 104u);
}

TEST(BillLine, AllNullRowIsFillers) {
    std::string line = FileManager::format_line(AllNull());
    EXPECT_EQ(line,
              "000 000 000 __________ ________________ ________________ ________________ "
              "______________ ______________\n");
    EXPECT_EQ(line.size(), 104u);
}

TEST(BillLine, WidthsCutsAndPadding) {
    TSMS_SND_MSG rec = Sample();
    SetText(rec.CALLER_NO, sizeof(rec.CALLER_NO), rec.len_caller_no, "12345678901234567890");
    SetText(rec.CALLEE_NO, sizeof(rec.CALLEE_NO), rec.len_callee_no, "0123456789");
    SetText(rec.IN_TIME, sizeof(rec.IN_TIME), rec.len_in_time, "2026120710000099");
    std::string line = FileManager::format_line(rec);
    EXPECT_EQ(line.substr(23, 16), "1234567890123456");     // cut to its first 16
    EXPECT_EQ(line.substr(40, 16), "      0123456789");     // right-aligned
    EXPECT_EQ(line.substr(74, 14), "20261207100000");       // cut to its first 14

    SetText(rec.SERIAL_NUM, sizeof(rec.SERIAL_NUM), rec.len_serial_num, "ABCDEFGHIJKL");
    line = FileManager::format_line(rec);
    EXPECT_EQ(line.substr(12, 12), "ABCDEFGHIJKL");  // never cut, widens the line
    EXPECT_EQ(line.size(), 106u);

    SetText(rec.CALLBACK_NO, sizeof(rec.CALLBACK_NO), rec.len_callback_no, "");
    line = FileManager::format_line(rec);
    EXPECT_EQ(line.substr(59, 16), std::string(16, ' '));  // empty, not NULL: blanks
}

TEST(BillLine, GroupNumbers) {
    TSMS_SND_MSG rec = Sample();
    rec.OUT_GROUP = 1234;
    EXPECT_EQ(FileManager::format_line(rec).substr(0, 13), "000 005 1234 ");
    rec.OUT_GROUP = -1;
    EXPECT_EQ(FileManager::format_line(rec).substr(0, 11), "000 005 -01");
    rec.OUT_GROUP = 7;
    SetText(rec.IN_GROUP, sizeof(rec.IN_GROUP), rec.len_in_group, " +42xyz");
    EXPECT_EQ(FileManager::format_line(rec).substr(0, 11), "000 042 007");
    rec.len_out_group = kNull;  // NULL is decided by the indicator alone
    EXPECT_EQ(FileManager::format_line(rec).substr(0, 11), "000 042 000");
}

TEST(BillLine, InGroupThatIsNoNumberIsRefused) {
    TSMS_SND_MSG rec = Sample();
    rec.MSG_SEQ = 77;
    SetText(rec.IN_GROUP, sizeof(rec.IN_GROUP), rec.len_in_group, "ab");
    try {
        FileManager::format_line(rec);
        FAIL() << "no exception";
    } catch (const std::invalid_argument &e) {
        EXPECT_NE(std::string(e.what()).find("MSG_SEQ:77"), std::string::npos);
    }
    SetText(rec.IN_GROUP, sizeof(rec.IN_GROUP), rec.len_in_group, "");
    EXPECT_THROW(FileManager::format_line(rec), std::invalid_argument);
    SetText(rec.IN_GROUP, sizeof(rec.IN_GROUP), rec.len_in_group, "99999999999");
    EXPECT_THROW(FileManager::format_line(rec), std::out_of_range);
}

class BillFile : public ::testing::Test {
protected:
    void SetUp() override {
        KestManager *pm = KestManager::getInstance();
        StrCpy(pm->bill.BILL_PATH, dir_.path().c_str(), KestManager::PATH_SIZE);
        pm->bill.BILL_SYNC = 1;
    }
    std::string FilePath() const { return dir_ / ("SMSC_" + Today() + "_000"); }

    ScratchDir dir_;
};

TEST_F(BillFile, NameOfTheDayAndAppendAcrossRestarts) {
    {
        FileManager fm;
        EXPECT_EQ(fm.make_name(), dir_ / ("SMSC_" + Today()));
        fm.open();
        Bill(fm, Sample());
    }
    {
        FileManager restarted;
        restarted.open();
        Bill(restarted, AllNull());
        restarted.open();  // same date: same file
        Bill(restarted, Sample());
    }
    std::string text = ReadAll(FilePath());
    EXPECT_EQ(text, FileManager::format_line(Sample()) + FileManager::format_line(AllNull()) +
                        FileManager::format_line(Sample()));
}

TEST_F(BillFile, LineTornByAnEarlierProcessIsCutOff) {
    std::string whole = FileManager::format_line(Sample());
    std::ofstream(FilePath()) << whole << whole.substr(0, 40);  // killed mid-write
    FileManager fm;
    fm.open();
    Bill(fm, AllNull());
    EXPECT_EQ(ReadAll(FilePath()), whole + FileManager::format_line(AllNull()));
}

TEST_F(BillFile, MissingDirectoryFailsWithBaseName) {
    KestManager *pm = KestManager::getInstance();
    std::string missing = dir_ / "missing";
    StrCpy(pm->bill.BILL_PATH, missing.c_str(), KestManager::PATH_SIZE);
    FileManager fm;
    try {
        fm.open();
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()),
                  missing + "/SMSC_" + Today() + " fopen fail :No such file or directory");
    }
    EXPECT_THROW(fm.open(), std::runtime_error);  // not retried for the same date
    EXPECT_THROW(Bill(fm, Sample()), std::runtime_error);
}

TEST_F(BillFile, FullDiskFailsTheWriteAndKeepsTheFileWhole) {
    // The day's file is a link to a device that is always full.
    ASSERT_EQ(symlink("/dev/full", FilePath().c_str()), 0);
    FileManager fm;
    fm.open();
    try {
        Bill(fm, Sample());
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_EQ(std::string(e.what()), "FileManager write fail : No space left on device");
    }
}

// Sets the local time zone for the life of the object, then puts the old one
// back.
class LocalZone {
public:
    explicit LocalZone(const char *pcZone) {
        const char *pcOld = getenv("TZ");
        had_ = pcOld != nullptr;
        if (had_) old_ = pcOld;
        set(pcZone);
    }
    ~LocalZone() {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    LocalZone(const LocalZone &) = delete;
    LocalZone &operator=(const LocalZone &) = delete;

    void set(const char *pcZone) {
        setenv("TZ", pcZone, 1);
        tzset();
    }

private:
    bool had_ = false;
    std::string old_;
};

TEST_F(BillFile, SwitchesToTheNextDatesFileAtLocalMidnightWhileItRuns) {
    // Twelve hours behind UTC, then twelve ahead: the local date moves on by
    // exactly one day, as it does at midnight, whatever the hour of the run.
    LocalZone zone("BEHIND+12");
    FileManager fm;
    fm.open();
    Bill(fm, Sample());
    const std::string first = fm.file_name();
    EXPECT_EQ(first, FilePath());

    zone.set("AHEAD-12");
    // The writer reads the clock once a second: the next date shows from the
    // next second on.
    for (time_t start = time(nullptr); time(nullptr) == start;) usleep(10 * 1000);
    fm.open();
    Bill(fm, AllNull());
    EXPECT_EQ(fm.file_name(), FilePath());
    ASSERT_NE(fm.file_name(), first) << "the writer stayed with the old date's file";
    EXPECT_EQ(ReadAll(first), FileManager::format_line(Sample()));
    EXPECT_EQ(ReadAll(fm.file_name()), FileManager::format_line(AllNull()));
}

TEST(Settings, DefaultsExpandWithPkgRoot) {
    ScratchDir dir;
    std::string config = dir / "kest.ini";
    std::ofstream(config) << "[COMMON]\nLOG_LEVEL = 5 # debug\nLOG_FILE_COUNT =\n"
                             "[DB]\nLOGIN_TIMEOUT = -3\nDSN=KEST_DSN\n";
    setenv("PKG_ROOT", "/opt/app", 1);
    KestManager *pm = KestManager::getInstance();
    pm->common.LOG_FILE_COUNT = 0;
    StrCpy(pm->common.CONFIG_PATH, config.c_str(), KestManager::PATH_SIZE);
    pm->readConfigINI();
    EXPECT_STREQ(pm->common.KEY_PATH, "/opt/app/key");
    EXPECT_STREQ(pm->common.LOCK_FILE, "/opt/app/key/KEST.EXE");
    EXPECT_STREQ(pm->common.LOG_PATH, "/opt/app/log/KEST/KEST");
    EXPECT_STREQ(pm->bill.BILL_PATH, "/opt/app/bill");
    EXPECT_EQ(pm->common.LOG_LEVEL, 5u);
    EXPECT_EQ(pm->common.LOG_FILE_COUNT, 0u);  // present but empty: unchanged
    EXPECT_EQ(pm->common.LOG_FILE_SIZE_MB, 128u);
    EXPECT_EQ(pm->bill.BILL_SYNC, 1u);
    EXPECT_EQ(pm->db.LOGIN_TIMEOUT, -3);
    EXPECT_EQ(pm->db.AUTO_COMMIT, 1);
    EXPECT_EQ(pm->db.PASS_ROWS, 9);
    EXPECT_STREQ(pm->db.DSN, "KEST_DSN");
    EXPECT_STREQ(pm->db.UID, "");

    unsetenv("PKG_ROOT");
    pm->readConfigINI();
    EXPECT_STREQ(pm->bill.BILL_PATH, "/bill");
    EXPECT_STREQ(pm->common.KEY_PATH, "/key");

    // A pass size out of its range holds no more rows than a transaction and the journal take.
    for (const char *pcValue : {"1000", "1001", "0", "-5"}) {
        std::ofstream(config) << "[DB]\nPASS_ROWS = " << pcValue << "\n";
        pm->readConfigINI();
        EXPECT_EQ(pm->db.PASS_ROWS, std::string(pcValue) == "1000" ? 1000 : 9) << pcValue;
    }
}

TEST(Settings, OverlongValueEndsStartUp) {
    ScratchDir dir;
    std::string config = dir / "kest.ini";
    std::ofstream(config) << "[DB]\nPWD=" << std::string(64, 'p') << "\n";
    KestManager *pm = KestManager::getInstance();
    StrCpy(pm->common.CONFIG_PATH, config.c_str(), KestManager::PATH_SIZE);
    try {
        pm->readConfigINI();
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Failed ! Value of [DB] PWD is longer than 63 characters");
    }
}

TEST(Role, NamesAndActiveTest) {
    KestManager::HA ha;
    EXPECT_STREQ(ha.getString(), "NONE_SYSTEM");
    EXPECT_FALSE(ha.isActive());
    ha.MODE = kest::STANDBY;
    EXPECT_STREQ(ha.getString(), "STANDBY_SYSTEM");
    ha.MODE = kest::ACTIVE;
    EXPECT_STREQ(ha.getString(), "ACTIVE_SYSTEM");
    EXPECT_TRUE(ha.isActive());
    ha.MODE = kest::INIT;
    EXPECT_STREQ(ha.getString(), "INIT_SYSTEM");
    EXPECT_EQ(KestManager::getInstance(), KestManager::getInstance());
}

// Paths that begin the ending at the same moment share one deadline, and
// none of them cuts it short. Each round is a process of its own, since the
// ending cannot be undone.
TEST(KestEnding, PathsBeginningTogetherShareTheWholeDeadline) {
    int nShort = 0;
    for (int nRound = 0; nRound < 500; ++nRound) {
        pid_t child = fork();
        if (child == 0) {
            std::atomic<bool> bGo{false};
            std::vector<std::thread> paths;
            for (int i = 0; i < 8; ++i)
                paths.emplace_back([&bGo] {
                    while (!bGo) {
                    }
                    kest::ending::Begin(EXIT_FAILURE);
                });
            bGo = true;
            for (std::thread &path : paths) path.join();
            _exit(alarm(0) + 1 >= kest::ending::kLimitSec ? 0 : 1);
        }
        int nStatus = 0;
        waitpid(child, &nStatus, 0);
        if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) ++nShort;
    }
    EXPECT_EQ(nShort, 0) << "rounds whose deadline was cut short";
}

// A hand-over stuck past the ending's deadline (a commit that never comes
// back) ends the process all the same, and as a failure: the switch-over and
// the lock release may not be done, which the supervisor must see.
TEST(KestEnding, AHandOverStuckPastTheDeadlineEndsAsAFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            KestManager *pm = KestManager::getInstance();
            pm->gate.enter();
            pm->gate.enterCommit();
            KestManager::OnHafHangThrID(1);
        },
        testing::ExitedWithCode(EXIT_FAILURE), "");
}
