// The select-write-delete cycle in-process against the private MariaDB: pass
// sizes, the order of write and delete, and the stop on a role change.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fstream>
#include <iterator>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/string.h"
#include "base/util.h"
#include "event_loop/Epoll.h"
#include "kest_db_selecter.h"
#include "kest_manager.h"
#include "kest_status.h"
#include "log/log.h"
#include "odbc/odbc_connect.h"
#include "private_registry.h"
#include "scratch_dir.h"
#include "test_db.h"

using kest::KestManager;

static ::testing::Environment *const gRegistryEnv =
    ::testing::AddGlobalTestEnvironment(new LogRegistryEnv);

// Allocations of the process while counted.
std::atomic<bool> gCountNew{false};
std::atomic<size_t> gNews{0};

// The replacements pair malloc with free, which the compiler cannot see through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void *operator new(size_t unSize) {
    if (gCountNew) ++gNews;
    if (void *p = malloc(unSize == 0 ? 1 : unSize)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
#pragma GCC diagnostic pop

namespace {

std::mutex gLinesMutex;
std::vector<std::string> gLines;

// When set, the node loses the active role as soon as the bill line that
// holds this text is written (the line is logged on the cycle's thread).
std::atomic<const char *> gStandbyAfterLine{nullptr};
// When set, this runs once as soon as the bill line that holds gActAfterLine
// is written, on the cycle's thread.
std::atomic<const char *> gActAfterLine{nullptr};
std::function<void()> gAfterLineAction;

void CaptureLine(unsigned int, struct timeval, const char *pcText) {
    const char *pcAfter = gStandbyAfterLine.load();
    if (pcAfter != nullptr && strstr(pcText, "[FILE] 000") && strstr(pcText, pcAfter)) {
        KestManager::getInstance()->ha.MODE = kest::STANDBY;
        gStandbyAfterLine = nullptr;
    }
    const char *pcActAfter = gActAfterLine.load();
    if (pcActAfter != nullptr && strstr(pcText, "[FILE] 000") && strstr(pcText, pcActAfter)) {
        gActAfterLine = nullptr;
        gAfterLineAction();
    }
    std::lock_guard<std::mutex> lock(gLinesMutex);
    gLines.emplace_back(pcText);
}

std::vector<std::string> LinesWith(const std::string &tag) {
    std::lock_guard<std::mutex> lock(gLinesMutex);
    std::vector<std::string> found;
    for (const auto &line : gLines)
        if (line.find(tag) != std::string::npos) found.push_back(line);
    return found;
}

// Turns the reactor until pred holds or the time-out passes.
bool RunUntil(EventCLoop::Epoll &epoll, const std::function<bool()> &pred,
              std::chrono::seconds timeout = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        epoll.Run();
    }
    return true;
}

size_t CountLines(const std::string &path) {
    std::ifstream in(path);
    size_t n = 0;
    for (std::string line; std::getline(in, line);) ++n;
    return n;
}

class Cycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static ScratchDir logDir;
        ASSERT_EQ(Init_Log("KESTCYCLE", (logDir / "log/KEST").c_str()), 0);
        Set_LogLevel(0, LOG_5);
        ASSERT_EQ(Add_LogHandler(CaptureLine, 0), 0);
    }

    void SetUp() override {
        kest_test::UseTestDatabase();
        db_ = "kest_cycle_" + std::to_string(getpid());
        admin_ = std::make_unique<odbctemplate::OdbcConnect>(
            odbctemplate::OdbcConnect::OdbcConnectBuilder(std::string("DSN=") +
                                                          kest_test::kMariaDsn)
                .build());
        Exec("DROP DATABASE IF EXISTS " + db_);
        Exec("CREATE DATABASE " + db_);
        Exec("CREATE TABLE " + db_ + ".TSMS_SND_MSG LIKE kest.TSMS_SND_MSG");

        KestManager *pm = KestManager::getInstance();
        StrCpy(pm->db.DSN, (std::string(kest_test::kMariaDsn) + ";DATABASE=" + db_).c_str(),
               sizeof(pm->db.DSN));
        StrCpy(pm->bill.BILL_PATH, bill_.path().c_str(), KestManager::PATH_SIZE);
        pm->bill.BILL_SYNC = 0;
        pm->bill.JOURNAL = 0;
        pm->bill.REJECT_PATH[0] = '\0';
        pm->db.AUTO_COMMIT = 1;
        pm->db.PASS_ROWS = 9;
        pm->ha.MODE = kest::ACTIVE;
        std::lock_guard<std::mutex> lock(gLinesMutex);
        gLines.clear();
    }

    void TearDown() override { Exec("DROP DATABASE IF EXISTS " + db_); }

    void Exec(const std::string &sql) { admin_->directExecute(sql); }

    void InsertRows(int nFirst, int nCount) {
        std::string sql = "INSERT INTO " + db_ + ".TSMS_SND_MSG (MSG_SEQ, IN_GROUP, OUT_GROUP, "
                          "SERIAL_NUM) VALUES ";
        for (int i = 0; i < nCount; ++i) {
            int seq = nFirst + i;
            sql += (i ? "," : "") + std::string("(") + std::to_string(seq) + ",'1',2,'S" +
                   std::to_string(seq) + "')";
        }
        Exec(sql);
    }

    long PendingRows() {
        long count = -1;
        long indicator = 0;
        auto stmt =
            admin_->preparedStmt("SELECT COUNT(*) FROM " + db_ + ".TSMS_SND_MSG WHERE PROC_STS > ?")
                .bindCol([&](odbctemplate::BindColHelper &h) {
                    h.setBindColLongNullable(&count, &indicator);
                });
        auto fetcher = stmt.bindExecute(-1L);
        if (!fetcher.fetch()) return -1;
        while (fetcher.fetch()) {
        }
        return count;
    }

    std::string BillFile() const {
        time_t now = time(nullptr);
        tm stTm{};
        localtime_r(&now, &stTm);
        char sz[32];
        strftime(sz, sizeof(sz), "%Y-%m-%d", &stTm);
        return bill_ / (std::string("SMSC_") + sz + "_000");
    }

    // The server refuses the delete of seq once, as a lost lock or a failed
    // statement would (the count of refusals is kept outside transactions).
    void RefuseDeleteOnce(long seq) {
        Exec("CREATE TABLE " + db_ + ".REFUSALS (N INT) ENGINE=MyISAM");
        Exec("SET sql_mode=DEFAULT");
        Exec("CREATE TRIGGER " + db_ + ".REFUSE_ONCE BEFORE DELETE ON " + db_ +
             ".TSMS_SND_MSG FOR EACH ROW BEGIN IF OLD.MSG_SEQ = " + std::to_string(seq) +
             " AND (SELECT COUNT(*) FROM " + db_ + ".REFUSALS) = 0 THEN INSERT INTO " + db_ +
             ".REFUSALS VALUES (1); SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'; "
             "END IF; END");
    }

    // Ends the cycle's connection from the server's side, as a network
    // failure or a server restart would.
    void KillCycleConnection() {
        auto fetcher = admin_->directExecute(
            "SELECT ID FROM information_schema.PROCESSLIST WHERE DB = '" + db_ + "'");
        std::vector<std::string> ids;
        for (std::string id; fetcher.fetch();)
            if (fetcher.getText(1, id)) ids.push_back(id);
        for (const std::string &id : ids) Exec("KILL CONNECTION " + id);
    }

    // Events of the log in order: W a line written, D a row deleted.
    static std::string WritesAndDeletes() {
        std::string events;
        for (const auto &line : LinesWith("] ")) {
            if (line.find("[FILE] 000") != std::string::npos) events += 'W';
            if (line.find("[DB:DELETE]") != std::string::npos) events += 'D';
        }
        return events;
    }

    std::unique_ptr<odbctemplate::OdbcConnect> admin_;
    std::string db_;
    ScratchDir bill_;
    ScratchDir key_;
};

}  // namespace

TEST_F(Cycle, DrainsInPassesOfNineAndWritesBeforeDeleting) {
    InsertRows(1, 20);
    EventCLoop::Epoll epoll;
    kest::DbSelecter selecter(epoll);
    selecter.run();  // the first pass runs at once, as on the main thread at start-up
    ASSERT_TRUE(RunUntil(epoll, [] { return LinesWith("[DB:SELECT] Count: 0").size() >= 1; }));

    std::vector<std::string> counts = LinesWith("[DB:SELECT] Count: ");
    ASSERT_GE(counts.size(), 4u);
    EXPECT_NE(counts[0].find("Count: 9 "), std::string::npos);
    EXPECT_NE(counts[1].find("Count: 9 "), std::string::npos);
    EXPECT_NE(counts[2].find("Count: 2 "), std::string::npos);
    EXPECT_NE(counts[3].find("Count: 0 "), std::string::npos);
    EXPECT_EQ(PendingRows(), 0);
    EXPECT_EQ(CountLines(BillFile()), 20u);

    // With a commit per row each row's line is written (and synced) before
    // its delete.
    std::string perRow;
    for (int i = 0; i < 20; ++i) perRow += "WD";
    EXPECT_EQ(WritesAndDeletes(), perRow);
}

TEST_F(Cycle, RoleLossWithPendingRowsCancelsThePassAndWaitsForTheActiveRole) {
    EventCLoop::Epoll epoll;
    kest::DbSelecter selecter(epoll);
    selecter.run();
    // Empty table: the role is not looked at, polling goes on once a second.
    KestManager::getInstance()->ha.MODE = kest::STANDBY;
    ASSERT_TRUE(RunUntil(epoll, [] { return LinesWith("[DB:SELECT] Count: 0").size() >= 2; }));
    EXPECT_TRUE(LinesWith("[CANCEL]").empty());

    InsertRows(100, 3);
    ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[CANCEL]").empty(); }));
    EXPECT_NE(LinesWith("[CANCEL]")[0].find("Try STANDBY Cancel MSG_SEQ:"), std::string::npos);
    EXPECT_EQ(LinesWith("[DB] Selecter -> State:Standby (SelectCdr/").size(), 1u);
    EXPECT_EQ(PendingRows(), 3);
    // The day's file was opened by the date check before the role check, but
    // nothing was written to it.
    EXPECT_EQ(CountLines(BillFile()), 0u);

    // Standby: a role check a second, no select and no connection.
    size_t selects = LinesWith("[DB:SELECT] Count:").size();
    size_t connects = LinesWith("[DB] Try DB Connect").size();
    size_t checks = LinesWith("[DB] retryConnectDBWithInterval").size();
    ASSERT_TRUE(RunUntil(epoll, [checks] {
        return LinesWith("[DB] retryConnectDBWithInterval").size() >= checks + 3;
    }));
    EXPECT_EQ(LinesWith("[DB:SELECT] Count:").size(), selects);
    EXPECT_EQ(LinesWith("[DB] Try DB Connect").size(), connects);

    // Active again: it connects and drains the rows left behind.
    KestManager::getInstance()->ha.MODE = kest::ACTIVE;
    ASSERT_TRUE(RunUntil(epoll, [this] { return PendingRows() == 0; }));
    EXPECT_EQ(CountLines(BillFile()), 3u);
    EXPECT_EQ(LinesWith("[DB] Try DB Connect").size(), connects + 1);
}


TEST_F(Cycle, ValueLongerThanItsBufferIsBilledWhenTheLineShowsNoDifference) {
    Exec("ALTER TABLE " + db_ + ".TSMS_SND_MSG MODIFY CALLER_NO VARCHAR(60)");
    InsertRows(1, 3);
    std::string longCaller(50, '7');
    longCaller.replace(0, 16, "0123456789ABCDEF");
    Exec("UPDATE " + db_ + ".TSMS_SND_MSG SET CALLER_NO = '" + longCaller + "' WHERE MSG_SEQ = 2");

    EventCLoop::Epoll epoll;
    kest::DbSelecter selecter(epoll);
    selecter.run();
    ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[DB:SELECT] Count: 0").empty(); }));
    EXPECT_EQ(PendingRows(), 0);
    EXPECT_EQ(CountLines(BillFile()), 3u);
    EXPECT_EQ(LinesWith("MSG_SEQ:2 has a value longer than its buffer").size(), 1u);
    std::ifstream in(BillFile());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find(" 0123456789ABCDEF "), std::string::npos);
}

TEST_F(Cycle, CutSerialNumberEndsTheProcessAndKeepsTheRow) {
    Exec("ALTER TABLE " + db_ + ".TSMS_SND_MSG MODIFY SERIAL_NUM VARCHAR(60)");
    Exec("INSERT INTO " + db_ + ".TSMS_SND_MSG (MSG_SEQ, IN_GROUP, SERIAL_NUM) VALUES (5, '1', '" +
         std::string(40, 'S') + "')");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            EventCLoop::Epoll epoll;
            kest::DbSelecter selecter(epoll);
            selecter.run();
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(PendingRows(), 1);
    EXPECT_EQ(CountLines(BillFile()), 0u);
}

TEST_F(Cycle, RowWithoutKeyEndsTheProcessBeforeItsLine) {
    Exec("ALTER TABLE " + db_ + ".TSMS_SND_MSG DROP PRIMARY KEY, MODIFY MSG_SEQ BIGINT NULL");
    InsertRows(1, 1);
    Exec("INSERT INTO " + db_ + ".TSMS_SND_MSG (MSG_SEQ, IN_GROUP) VALUES (NULL, '1')");
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            EventCLoop::Epoll epoll;
            kest::DbSelecter selecter(epoll);
            selecter.run();
            RunUntil(epoll, [] { return false; }, std::chrono::seconds(20));
        },
        ::testing::ExitedWithCode(1), "");
    // Only the row with a key was billed and deleted.
    EXPECT_EQ(PendingRows(), 1);
    EXPECT_EQ(CountLines(BillFile()), 1u);
}

// Per pass: one claim of all its rows, then their lines in one write, then one commit.
TEST_F(Cycle, CommitPerPassClaimsThePassThenWritesItInOneTransaction) {
    KestManager *pm = KestManager::getInstance();
    pm->db.AUTO_COMMIT = 0;
    pm->bill.JOURNAL = 1;
    StrCpy(pm->common.KEY_PATH, key_.path().c_str(), KestManager::PATH_SIZE);
    size_t unNews[2] = {};
    for (int nPassRows : {9, 500}) {
        SCOPED_TRACE(nPassRows);
        pm->db.PASS_ROWS = nPassRows;
        {
            std::lock_guard<std::mutex> lock(gLinesMutex);
            gLines.clear();
        }
        unlink(BillFile().c_str());
        const int nRows = nPassRows * 2 + 2;
        InsertRows(1, nRows);
        EventCLoop::Epoll epoll;
        kest::DbSelecter selecter(epoll);
        gNews = 0;
        gCountNew = true;
        selecter.run();
        ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[DB:SELECT] Count: 0").empty(); }));
        gCountNew = false;
        unNews[nPassRows == 9 ? 0 : 1] = gNews;
        EXPECT_EQ(PendingRows(), 0);
        EXPECT_EQ(CountLines(BillFile()), static_cast<size_t>(nRows));
        EXPECT_EQ(LinesWith("[DB:SELECT] Count: " + std::to_string(nPassRows) + " ").size(), 2u);
        EXPECT_EQ(WritesAndDeletes(), "DWDWDW");
        EXPECT_EQ(LinesWith("Rows:2, Count:2 ").size(), 1u) << "the short pass";
        // Passes that found nothing end their transaction too, or the next ones would read its
        // snapshot and never see later rows.
        InsertRows(nRows + 1, 2);
        ASSERT_TRUE(RunUntil(epoll, [this] { return PendingRows() == 0; }));
        EXPECT_EQ(CountLines(BillFile()), static_cast<size_t>(nRows + 2));
        Exec("DELETE FROM " + db_ + ".TSMS_SND_MSG");
    }
    // The same passes, of 22 rows or of 1,002: no row allocates.
    EXPECT_LT(unNews[1], unNews[0] + 100) << unNews[0] << " allocations at 9 rows a pass";
    // A claim that fails takes no row: were the keys deleted one by one and committed, some would
    // be gone.
    InsertRows(100, 3);
    RefuseDeleteOnce(102);
    EventCLoop::Epoll epoll;
    kest::DbSelecter selecter(epoll);
    selecter.run();
    ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[DB] Error: ").empty(); }));
    EXPECT_EQ(PendingRows(), 3);
}

// With a commit per pass a claim (a delete) refused by the server ends the
// pass before any of its lines: its rows come again after the reconnect and
// are billed once, with or without the journal. A commit lost after the
// pass's lines were synced, or with a commit per row a refused delete, which
// follows its synced line, brings the rows again too; the journal deletes
// them without a second line. A row set aside keeps its one reject record.
TEST_F(Cycle, FailedClaimOrCommitBringsThePassAgainAndBillsItOnce) {
    struct Case {
        const char *pcName;
        int nAutoCommit;
        uint32_t unJournal;
        bool bLoseCommit;    // else the claim of row 5 is refused
        size_t unRecovered;  // rows deleted without a second line
        int nPassRows;
        int nRows;
    };
    const Case cases[] = {
        {"per pass, no journal, claim refused", 0, 0, false, 0, 9, 20},
        {"per row, journal, delete refused", 1, 1, false, 1, 9, 20},
        {"per pass, journal, commit lost", 0, 1, true, 8, 9, 20},
        {"pass of 500, journal, commit lost", 0, 1, true, 199, 500, 200},
    };
    KestManager *pm = KestManager::getInstance();
    StrCpy(pm->common.KEY_PATH, key_.path().c_str(), KestManager::PATH_SIZE);
    ScratchDir rejects;
    StrCpy(pm->bill.REJECT_PATH, rejects.path().c_str(), KestManager::PATH_SIZE);
    size_t unBefore = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pcName);
        Exec("DROP TABLE IF EXISTS " + db_ + ".REFUSALS");
        Exec("DROP TRIGGER IF EXISTS " + db_ + ".REFUSE_ONCE");
        if (c.bLoseCommit) {
            gAfterLineAction = [this] { KillCycleConnection(); };
            gActAfterLine = " S7 ";
        } else {
            RefuseDeleteOnce(5);
        }
        InsertRows(1, c.nRows);
        Exec("UPDATE " + db_ + ".TSMS_SND_MSG SET IN_GROUP = 'abc' WHERE MSG_SEQ = 3");
        pm->db.AUTO_COMMIT = c.nAutoCommit;
        pm->db.PASS_ROWS = c.nPassRows;
        pm->bill.JOURNAL = c.unJournal;
        pm->bill.BILL_SYNC = c.unJournal;  // the journal's sync runs beside the bill file's
        {
            std::lock_guard<std::mutex> lock(gLinesMutex);
            gLines.clear();
        }
        EventCLoop::Epoll epoll;
        const uint64_t ulBilledBefore = kest::ProcessStatus().snapshot().ulRowsBilled;
        const uint64_t ulRejectedBefore = kest::ProcessStatus().snapshot().ulRowsRejected;
        kest::DbSelecter selecter(epoll);
        selecter.run();
        ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[DB:SELECT] Count: 0").empty(); }));
        EXPECT_EQ(LinesWith("[DB] Error: ").size(), 1u);
        EXPECT_EQ(LinesWith("[DB] Commit Fail: ").size(), c.bLoseCommit ? 1u : 0u);
        const size_t unBilled = static_cast<size_t>(c.nRows) - 1;
        EXPECT_EQ(kest::ProcessStatus().snapshot().ulRowsBilled - ulBilledBefore, unBilled);
        EXPECT_EQ(PendingRows(), 0);
        size_t unLines = CountLines(BillFile());
        EXPECT_EQ(unLines - unBefore, unBilled) << "a row billed twice";
        unBefore = unLines;
        EXPECT_EQ(LinesWith("already billed in SMSC_").size(), c.unRecovered);
        EXPECT_EQ(LinesWith("[REJECT] MSG_SEQ:3 set aside").size(), 1u);
        EXPECT_EQ(kest::ProcessStatus().snapshot().ulRowsRejected - ulRejectedBefore, 1u);
    }
    size_t unRecords = 0;
    for (const auto &file : std::filesystem::directory_iterator(rejects.path()))
        unRecords += CountLines(file.path()) - 1;  // each file has its header
    EXPECT_EQ(unRecords, std::size(cases)) << "row 3 set aside more than once in a case";
}

// A pass whose lines are written and synced, before its commit. The role
// lost then changes nothing: its claims hold its rows, which no other node
// can bill, and it commits; the next pass cancels. A bill file removed then
// (a collector that deletes today's file) would take the lines to nobody:
// the pass is rolled back, its lines cut off and its records erased, and its
// rows are billed into the file at the path.
TEST_F(Cycle, LinesOfAPassAreCommittedOnlyWhereACollectorFindsThem) {
    KestManager *pm = KestManager::getInstance();
    pm->db.AUTO_COMMIT = 0;
    pm->bill.JOURNAL = 1;
    StrCpy(pm->common.KEY_PATH, key_.path().c_str(), KestManager::PATH_SIZE);
    for (bool bRoleLost : {true, false}) {
        SCOPED_TRACE(bRoleLost ? "role lost" : "bill file removed");
        Exec("DELETE FROM " + db_ + ".TSMS_SND_MSG");
        InsertRows(1, 20);
        if (bRoleLost) {
            gStandbyAfterLine = " S3 ";
        } else {
            gAfterLineAction = [this] { unlink(BillFile().c_str()); };
            gActAfterLine = " S3 ";
        }
        {
            std::lock_guard<std::mutex> lock(gLinesMutex);
            gLines.clear();
        }
        unlink(BillFile().c_str());
        EventCLoop::Epoll epoll;
        kest::DbSelecter selecter(epoll);
        selecter.run();
        if (bRoleLost) {
            ASSERT_TRUE(RunUntil(epoll, [] { return !LinesWith("[CANCEL]").empty(); }));
            EXPECT_EQ(PendingRows(), 11);
            EXPECT_EQ(CountLines(BillFile()), 9u);
            pm->ha.MODE = kest::ACTIVE;
        }
        ASSERT_TRUE(RunUntil(epoll, [this] { return PendingRows() == 0; }));
        EXPECT_EQ(CountLines(BillFile()), 20u);
        EXPECT_EQ(LinesWith("removed before the commit of its lines").size(), bRoleLost ? 0u : 1u);
        EXPECT_EQ(LinesWith("moved or removed: the file at its path is used").size(),
                  bRoleLost ? 0u : 1u);
        // No record may stay to name a place where later lines go.
        std::ifstream journal(key_.path() / "KEST.journal", std::ios::binary);
        std::string records((std::istreambuf_iterator<char>(journal)),
                            std::istreambuf_iterator<char>());
        EXPECT_EQ(records.find_first_not_of('\0'), std::string::npos) << "a record left";
    }
}
