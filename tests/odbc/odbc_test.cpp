// ODBC access layer against the private MariaDB of the build tree and SQLite's
// ODBC driver: errors, connecting, prepared statements, binding, fetching,
// row counts, reconnecting and handle hygiene.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "kest_query.h"
#include "odbc/odbc_connect.h"
#include "odbc/odbc_error.h"
#include "open_fds.h"
#include "scratch_dir.h"
#include "test_db.h"

using namespace odbctemplate;
using kest_test::kMariaDsn;
using kest_test::kSqliteDsn;

// SQLite's ODBC driver leaks a few blocks per connection inside the driver
// itself. The sanitizer build's leak checker skips them; it needs full stacks
// to see the driver's frames below the library the driver manager unloaded.
extern "C" const char *__lsan_default_suppressions() { return "leak:libsqlite3odbc\n"; }
extern "C" const char *__asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

const std::string kSelect =
    "SELECT MSG_SEQ, PROC_RESULT, IN_GROUP, OUT_GROUP, SERIAL_NUM, CALLER_NO, CALLEE_NO, "
    "CALLBACK_NO, IN_TIME, REPORT_TIME FROM TSMS_SND_MSG WHERE PROC_STS = 0 and rownum < ?;";
const std::string kDelete = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ = ?;";

// One fetched row, as the daemon binds it.
using Row = kest::DAO::TSMS_SND_MSG;

// Binds the select's columns in select-list order; `caller_size` lets a test
// offer CALLER_NO a buffer smaller than the column.
std::function<void(BindColHelper &)> BindRow(Row &row, size_t caller_size = 41) {
    return [&row, caller_size](BindColHelper &h) {
        h.setBindColLongNullable(&row.MSG_SEQ, &row.len_msg_seq);
        h.setBindColStringNullable(row.PROC_RESULT, sizeof(row.PROC_RESULT), &row.len_proc_result);
        h.setBindColStringNullable(row.IN_GROUP, sizeof(row.IN_GROUP), &row.len_in_group);
        h.setBindColLongNullable(&row.OUT_GROUP, &row.len_out_group);
        h.setBindColStringNullable(row.SERIAL_NUM, sizeof(row.SERIAL_NUM), &row.len_serial_num);
        h.setBindColStringNullable(row.CALLER_NO, caller_size, &row.len_caller_no);
        h.setBindColStringNullable(row.CALLEE_NO, sizeof(row.CALLEE_NO), &row.len_callee_no);
        h.setBindColStringNullable(row.CALLBACK_NO, sizeof(row.CALLBACK_NO), &row.len_callback_no);
        h.setBindColStringNullable(row.IN_TIME, sizeof(row.IN_TIME), &row.len_in_time);
        h.setBindColStringNullable(row.REPORT_TIME, sizeof(row.REPORT_TIME), &row.len_report_time);
    };
}

OdbcConnect Connect(const std::string &dsn) {
    return OdbcConnect::OdbcConnectBuilder(dsn).setAutocommit(true).setLoginTimeout(10).build();
}

void Exec(OdbcConnect &con, const std::string &sql) { con.directExecute(sql); }

long CountRows(OdbcConnect &con, const std::string &where = "1 = 1") {
    long count = -1, len = 0;
    OdbcFetcher fetcher = con.preparedStmt("SELECT COUNT(*) FROM TSMS_SND_MSG WHERE " + where)
                              .bindCol([&](BindColHelper &h) { h.setBindColLongNullable(&count, &len); })
                              .bindExecute(0);
    EXPECT_TRUE(fetcher.fetch());
    EXPECT_FALSE(fetcher.fetch());
    return count;
}

// The driver manager reads its configuration once per process: point it at
// the fixture's server before any test makes an ODBC call.
class FixtureDatabase : public ::testing::Environment {
public:
    void SetUp() override { kest_test::UseTestDatabase(); }
};
const ::testing::Environment *const kFixtureDatabase =
    ::testing::AddGlobalTestEnvironment(new FixtureDatabase);

// Each test process works in a database of its own holding a copy of the
// table, so tests can run side by side on one server.
class OdbcDb : public ::testing::Test {
protected:
    void SetUp() override {
        db = "kest_odbc_" + std::to_string(getpid());
        OdbcConnect admin = Connect(std::string("DSN=") + kMariaDsn);
        Exec(admin, "DROP DATABASE IF EXISTS " + db);
        Exec(admin, "CREATE DATABASE " + db);
        Exec(admin, "CREATE TABLE " + db + ".TSMS_SND_MSG LIKE kest.TSMS_SND_MSG");
    }
    void TearDown() override {
        OdbcConnect admin = Connect(std::string("DSN=") + kMariaDsn);
        Exec(admin, "DROP DATABASE IF EXISTS " + db);
    }
    std::string Dsn() const { return std::string("DSN=") + kMariaDsn + ";DATABASE=" + db; }

    std::string db;
};

// Starts a server of its own (so that stopping it disturbs no other test) and
// stops it again however the test ends.
class PrivateServer {
public:
    explicit PrivateServer(const std::string &dir) : dir_(dir) { ok_ = Run("start"); }
    ~PrivateServer() { Run("stop"); }
    bool ok() const { return ok_; }
    // As written to the server's odbc.ini.
    std::string Socket() const {
        std::ifstream ini(dir_ + "/odbc.ini");
        std::string line;
        while (std::getline(ini, line)) {
            if (line.rfind("SOCKET=", 0) == 0) return line.substr(7);
        }
        return std::string();
    }
    bool Run(const std::string &command) {
        std::string line = "bash " KEST_SOURCE_DIR "/scripts/db.sh " + command + " " + dir_;
        return system(line.c_str()) == 0;
    }

private:
    std::string dir_;
    bool ok_;
};

}  // namespace

TEST(OdbcError, FixedMessagesAndInvalidHandles) {
    OdbcError plain("SQL NO DATA");
    EXPECT_EQ("-1", plain.code());
    EXPECT_STREQ("[-1] SQL NO DATA", plain.what());

    struct {
        SQLSMALLINT type;
        const char *message;
    } kinds[] = {{SQL_HANDLE_ENV, "[ENV]: SQL_INVALID_HANDLE"},
                 {SQL_HANDLE_DBC, "[DBC]: SQL_INVALID_HANDLE"},
                 {SQL_HANDLE_STMT, "[STMT]: SQL_INVALID_HANDLE"},
                 {7, "[Unkown]: SQL_INVALID_HANDLE"}};
    for (const auto &kind : kinds) {
        OdbcError error(kind.type, nullptr, SQL_INVALID_HANDLE);
        EXPECT_EQ("-2", error.code());
        EXPECT_EQ(std::string("[-2] ") + kind.message, error.what());
    }
}

TEST(OdbcError, HandleWithoutDiagnosticsIsUnknownAndSilent) {
    SQLHENV env = SQL_NULL_HENV;
    ASSERT_EQ(SQL_SUCCESS, SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env));
    testing::internal::CaptureStdout();
    OdbcError error(SQL_HANDLE_ENV, env, SQL_ERROR);
    std::string out = testing::internal::GetCapturedStdout();
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    EXPECT_EQ("-1", error.code());
    EXPECT_STREQ("[-1] unknown error", error.what());
    EXPECT_EQ("", out);
}

TEST_F(OdbcDb, ConnectWithGoodAndBadDataSource) {
    SQLHENV env = OdbcManager::getInstance().init_odbc().getEnv();
    ASSERT_NE(nullptr, env);
    EXPECT_EQ(env, OdbcManager::getInstance().init_odbc().getEnv());

    OdbcConnect con = Connect(Dsn());
    EXPECT_EQ(0, CountRows(con));
    EXPECT_EQ(10, con.getProperties().login_timeout);

    try {
        testing::internal::CaptureStdout();
        Connect("DSN=KEST_NO_SUCH_DSN");
        testing::internal::GetCapturedStdout();
        FAIL() << "unknown data source accepted";
    } catch (const OdbcError &e) {
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ("IM002", e.code());
        EXPECT_EQ(0, std::string(e.what()).rfind("[IM002] ", 0)) << e.what();
        EXPECT_EQ(0, out.rfind("state:IM002text:", 0)) << out;
    }

    OdbcConnect::OdbcConnectBuilder builder(Dsn() + ";PWD=wrong");
    try {
        builder.build();
        FAIL() << "wrong password accepted";
    } catch (const OdbcError &e) {
        // The driver's own reason: a connect that lets the driver prompt gets
        // a failed dialog (IM008) in its place.
        EXPECT_EQ("28000", e.code()) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find("Access denied")) << e.what();
    }
    // The failed build freed the handle: the builder has none left to use.
    try {
        builder.setAutocommit(true);
        FAIL() << "builder usable after a failed build";
    } catch (const OdbcError &e) {
        EXPECT_STREQ("[-2] [DBC]: SQL_INVALID_HANDLE", e.what());
    }
}

TEST_F(OdbcDb, SelectFetchesValuesAndNullIndicators) {
    OdbcConnect con = Connect(Dsn());
    Exec(con,
         "INSERT INTO TSMS_SND_MSG VALUES (7, 'OK', '5', 12, 'SER-1', '0101234567', '0107654321', "
         "'0100000000', '20261206135420', '20261206135421', 0)");
    Exec(con, "INSERT INTO TSMS_SND_MSG (MSG_SEQ) VALUES (8)");
    Exec(con, "INSERT INTO TSMS_SND_MSG (MSG_SEQ, PROC_STS) VALUES (9, 1)");

    Row row;
    memset(&row, 0x5a, sizeof(row));
    testing::internal::CaptureStdout();
    OdbcpreparedStmt select = con.preparedStmt(kSelect).bindCol(BindRow(row));
    EXPECT_EQ("preparedStmt SQLPrepare status : 0\n", testing::internal::GetCapturedStdout());

    OdbcFetcher fetcher = select.bindExecute(10);
    bool seen_full = false, seen_null = false;
    int rows = 0;
    while (fetcher.fetch()) {
        ++rows;
        ASSERT_NE(-1, row.len_msg_seq);
        if (row.MSG_SEQ == 7) {
            seen_full = true;
            EXPECT_STREQ("OK", row.PROC_RESULT);
            EXPECT_EQ(2, row.len_proc_result);
            EXPECT_STREQ("5", row.IN_GROUP);
            EXPECT_EQ(12, row.OUT_GROUP);
            EXPECT_STREQ("SER-1", row.SERIAL_NUM);
            EXPECT_STREQ("0101234567", row.CALLER_NO);
            EXPECT_EQ(10, row.len_caller_no);
            EXPECT_STREQ("0107654321", row.CALLEE_NO);
            EXPECT_STREQ("0100000000", row.CALLBACK_NO);
            EXPECT_STREQ("20261206135420", row.IN_TIME);
            EXPECT_STREQ("20261206135421", row.REPORT_TIME);
        } else {
            EXPECT_EQ(8, row.MSG_SEQ);
            seen_null = true;
            for (long len : {row.len_proc_result, row.len_in_group, row.len_out_group,
                             row.len_serial_num, row.len_caller_no, row.len_callee_no,
                             row.len_callback_no, row.len_in_time, row.len_report_time}) {
                EXPECT_EQ(SQL_NULL_DATA, len);
            }
        }
    }
    EXPECT_EQ(2, rows);  // the row with PROC_STS 1 is not pending
    EXPECT_TRUE(seen_full);
    EXPECT_TRUE(seen_null);
}

TEST_F(OdbcDb, RownumLimitAndReexecutionAfterTheCursorClosed) {
    OdbcConnect con = Connect(Dsn());
    for (int seq = 1; seq <= 12; ++seq) {
        Exec(con, "INSERT INTO TSMS_SND_MSG (MSG_SEQ) VALUES (" + std::to_string(seq) + ")");
    }
    Row row;
    OdbcpreparedStmt select = con.preparedStmt(kSelect).bindCol(BindRow(row));
    for (int pass = 0; pass < 3; ++pass) {
        OdbcFetcher fetcher = select.bindExecute(10);
        int rows = 0;
        while (fetcher.fetch()) ++rows;
        EXPECT_EQ(9, rows) << "pass " << pass;
    }
    // Stopping before the end leaves the cursor open: the next run fails.
    EXPECT_TRUE(select.bindExecute(10).fetch());
    try {
        select.bindExecute(10);
        FAIL() << "re-execution with an open cursor succeeded";
    } catch (const OdbcError &e) {
        EXPECT_EQ("24000", e.code()) << e.what();
    }
}

TEST_F(OdbcDb, OverlongStringEndsTheFetchAndClosesTheCursor) {
    OdbcConnect con = Connect(Dsn());
    Exec(con, "INSERT INTO TSMS_SND_MSG (MSG_SEQ, CALLER_NO) VALUES (1, '01234567890123456789')");
    Row row;
    // Room for 8 characters only.
    OdbcpreparedStmt select = con.preparedStmt(kSelect).bindCol(BindRow(row, 9));
    for (int pass = 0; pass < 2; ++pass) {
        OdbcFetcher fetcher = select.bindExecute(10);
        EXPECT_FALSE(fetcher.fetch()) << "pass " << pass;
        EXPECT_FALSE(fetcher.resultEnded()) << "a cut value is not the end of the result";
    }
    EXPECT_EQ(1, CountRows(con));
    Exec(con, "UPDATE TSMS_SND_MSG SET CALLER_NO = '0123'");
    OdbcFetcher fetcher = select.bindExecute(10);
    EXPECT_TRUE(fetcher.fetch());
    EXPECT_FALSE(fetcher.fetch());
    EXPECT_TRUE(fetcher.resultEnded());
}

TEST_F(OdbcDb, DeleteRowCountsAndSixtyFourBitKeys) {
    OdbcConnect con = Connect(Dsn());
    const long big = 4294967296L;  // 2^32: its low 32 bits are those of key 0
    const long bigger = 5000000000L;
    for (long seq : {0L, 1L, big, bigger}) {
        Exec(con, "INSERT INTO TSMS_SND_MSG (MSG_SEQ, OUT_GROUP) VALUES (" + std::to_string(seq) +
                      ", " + std::to_string(seq % 1000) + ")");
    }

    Row row;
    OdbcpreparedStmt select = con.preparedStmt(kSelect).bindCol(BindRow(row));
    OdbcpreparedStmt remove = con.preparedStmt(kDelete);

    // Delete while the select's cursor is still open, as the billing cycle
    // does; keys above 2^31 arrive and leave whole.
    std::set<long> fetched;
    OdbcFetcher rows = select.bindExecute(10);
    while (rows.fetch()) {
        fetched.insert(row.MSG_SEQ);
        if (row.MSG_SEQ != big && row.MSG_SEQ != bigger) continue;
        EXPECT_EQ(1, remove.bindExecute(row.MSG_SEQ).getDeleteRowCount()) << row.MSG_SEQ;
        if (row.MSG_SEQ == big) {
            EXPECT_EQ(1, CountRows(con, "MSG_SEQ = 0")) << "key 2^32 deleted key 0";
        }
    }
    EXPECT_EQ((std::set<long>{0L, 1L, big, bigger}), fetched);
    EXPECT_EQ(2, CountRows(con));

    // A delete that matches no row succeeds on this driver with a count of 0.
    long missing = 42;
    EXPECT_EQ(0, remove.bindExecute(missing).getRowCount());
    // Values inside the 32-bit range behave as before, as int or long.
    int zero = 0;
    long one = 1;
    EXPECT_EQ(1, remove.bindExecute(zero).getRowCount());
    EXPECT_EQ(1, remove.bindExecute(one).getRowCount());
    EXPECT_EQ(0, CountRows(con));
}

TEST_F(OdbcDb, DriverDiagnosticsCarrySqlstateAndText) {
    OdbcConnect con = Connect(Dsn());
    try {
        con.preparedStmt("SELECT NO_SUCH_COLUMN FROM TSMS_SND_MSG WHERE MSG_SEQ = ?").bindExecute(1);
        FAIL() << "unknown column accepted";
    } catch (const OdbcError &e) {
        EXPECT_EQ("42S22", e.code()) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find("NO_SUCH_COLUMN")) << e.what();
    }
    try {
        Exec(con, "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'raised by the test'");
        FAIL() << "signal did not fail";
    } catch (const OdbcError &e) {
        EXPECT_EQ("45000", e.code());
        EXPECT_NE(std::string::npos, std::string(e.what()).find("raised by the test")) << e.what();
    }
}

TEST_F(OdbcDb, ManyConnectRoundsLeakNoDescriptor) {
    auto round = [&] {
        OdbcConnect con = Connect(Dsn());
        Row row;
        OdbcpreparedStmt select = con.preparedStmt(kSelect).bindCol(BindRow(row));
        OdbcpreparedStmt remove = con.preparedStmt(kDelete);
        OdbcFetcher rows = select.bindExecute(10);
        while (rows.fetch()) {
        }
        long none = -1;
        EXPECT_EQ(0, remove.bindExecute(none).getRowCount());
        try {
            Connect("DSN=KEST_NO_SUCH_DSN");
        } catch (const OdbcError &) {
        }
    };
    testing::internal::CaptureStdout();
    round();  // the first round loads the driver
    auto before = OpenFds();
    for (int i = 0; i < 100; ++i) round();
    auto after = OpenFds();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(before, after);
}

TEST(OdbcSqlite, DeleteOfNoRowIsSqlNoData) {
    ScratchDir scratch;
    OdbcConnect con =
        Connect(std::string("DSN=") + kSqliteDsn + ";Database=" + (scratch / "no_data.db"));
    Exec(con, "CREATE TABLE TSMS_SND_MSG (MSG_SEQ BIGINT PRIMARY KEY, PROC_STS INT)");
    Exec(con, "INSERT INTO TSMS_SND_MSG VALUES (1, 0)");

    OdbcpreparedStmt remove = con.preparedStmt(kDelete);
    long seq = 2;
    try {
        remove.bindExecute(seq);
        FAIL() << "delete of no row did not report no data";
    } catch (const OdbcError &e) {
        EXPECT_STREQ("[-1] SQL NO DATA", e.what());
    }
    seq = 1;
    EXPECT_EQ(1, remove.bindExecute(seq).getDeleteRowCount());
}

// A connect that succeeds with warnings is refused, and the connection it
// made is closed, not left open for good. The driver manager warns (01000)
// when the driver lacks the environment's ODBC version.
TEST(OdbcSqlite, ConnectRefusedForItsWarningsIsClosed) {
    ScratchDir scratch;
    const std::string dsn = std::string("DSN=") + kSqliteDsn + ";Database=" + (scratch / "warn.db");
    Connect(dsn);  // loads the driver
    SQLHENV env = OdbcManager::getInstance().init_odbc().getEnv();
    auto setVersion = [env](intptr_t version) {
        return SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(version), 0);
    };
    ASSERT_EQ(SQL_SUCCESS, setVersion(SQL_OV_ODBC3_80));
    auto before = OpenFds();
    for (int i = 0; i < 3; ++i) {
        try {
            Connect(dsn);
            ADD_FAILURE() << "connect with warnings accepted";
        } catch (const OdbcError &e) {
            EXPECT_EQ("01000", e.code()) << e.what();
        }
    }
    EXPECT_EQ(before, OpenFds()) << "a refused connection keeps its database file open";
    EXPECT_EQ(SQL_SUCCESS, setVersion(SQL_OV_ODBC3));
}

TEST(OdbcReconnect, NewConnectionAfterTheServerWasStoppedAndStarted) {
    ScratchDir scratch;
    std::string dir = scratch / "db";
    PrivateServer server(dir);
    ASSERT_TRUE(server.ok());
    // Without a data source: the driver manager keeps the fixture's odbc.ini.
    const std::string dsn = "DRIVER={MariaDB};SERVER=localhost;SOCKET=" + server.Socket() +
                            ";DATABASE=kest;UID=kest;PWD=kest";

    auto con = std::make_unique<OdbcConnect>(Connect(dsn));
    auto select = std::make_unique<OdbcpreparedStmt>(con->preparedStmt("SELECT 1 FROM DUAL WHERE 1 = ?"));
    {
        OdbcFetcher fetcher = select->bindExecute(1);
        EXPECT_TRUE(fetcher.fetch());
        EXPECT_FALSE(fetcher.fetch());
    }

    ASSERT_TRUE(server.Run("stop"));
    try {
        select->bindExecute(1);
        FAIL() << "execution on a stopped server succeeded";
    } catch (const OdbcError &e) {
        EXPECT_NE("24000", e.code()) << "failed on the cursor, not on the lost server";
    }
    select.reset();
    con.reset();
    EXPECT_THROW(Connect(dsn), OdbcError);

    ASSERT_TRUE(server.Run("start"));
    con = std::make_unique<OdbcConnect>(Connect(dsn));
    select = std::make_unique<OdbcpreparedStmt>(con->preparedStmt("SELECT 1 FROM DUAL WHERE 1 = ?"));
    OdbcFetcher fetcher = select->bindExecute(1);
    EXPECT_TRUE(fetcher.fetch());
    EXPECT_FALSE(fetcher.fetch());
}
