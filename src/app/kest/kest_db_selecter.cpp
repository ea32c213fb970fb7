// The select-write-delete cycle: up to nine pending rows per pass, each written
// to the bill file before it is deleted; passes follow each other at once
// while rows keep coming and once a second when none are found.
#include "kest_db_selecter.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <vector>

#include "event_loop/Timer.h"
#include "kest_ha_link.h"
#include "kest_status.h"
#include "odbc/odbc_error.h"

namespace kest {

namespace {

constexpr int kAliveInterval = 30;
constexpr int kAliveReportSec = 10;
constexpr int kRetrySec = 1;
constexpr int kIdlePollSec = 1;
constexpr long kMaxLoginTimeoutSec = 15;
constexpr const char *kJournalName = "KEST.journal";

// In the key folder, beside the lock: not among the bill files, which
// collectors take away.
std::string JournalPath(const KestManager &pm) {
    if (pm.bill.JOURNAL == 0) return std::string();
    std::string dir = pm.common.KEY_PATH;
    return dir.empty() ? kJournalName : dir + "/" + kJournalName;
}

}  // namespace

DbSelecter::DbSelecter(EventCLoop::Epoll &loop)
    : epoll(loop),
      eventfd(loop),
      select_dao(),
      fm(loop),
      pm(*KestManager::getInstance()),
      rejects(pm.bill.REJECT_PATH, pm.bill.BILL_SYNC != 0),
      journal(JournalPath(pm), pm.bill.BILL_PATH, pm.bill.BILL_SYNC != 0),
      pass(fm, journal, pm.db.AUTO_COMMIT == 0) {}

// Runs fn once after sec seconds on the reactor; the callback holds its own
// timer until it has run.
template <typename Fn>
void DbSelecter::after(int sec, Fn fn) {
    auto timer = std::make_shared<EventCLoop::Timer>(epoll);
    timer->initOneTimer(static_cast<unsigned int>(sec), 0);
    timer->async_wait([timer, fn](EventCLoop::Error &error) { fn(error); });
}

void DbSelecter::run() {
    KeepAliveHaf();
    journal.open();
    status::Modes(pass.perPass(), journal.enabled());
    ConnectDB();
}

void DbSelecter::KeepAliveHaf() {
    halink::ThreadAlive(kAliveInterval);
    // After the report: the thread is watched when the hang test stops it.
    halink::HangTestPoint();
    after(kAliveReportSec, [this](EventCLoop::Error &error) {
        if (error) {
            pm.log().debug("[DB] KeepAliveHaf async_wait error:%s\n", error.what());
            return;
        }
        KeepAliveHaf();
    });
}

void DbSelecter::retryConnectDBWithInterval(int sec) {
    pm.log().info("[DB] retryConnectDBWithInterval\n");
    after(sec, [this](EventCLoop::Error &) { ConnectDB(); });
}

namespace {

// A value holding ';', '{' or '}' goes in braces (with '}' doubled), so that
// it cannot end its attribute or add others to the connection string.
std::string AttributeValue(const char *pcValue) {
    std::string value(pcValue);
    if (value.find_first_of(";{}") == std::string::npos) return value;
    std::string braced = "{";
    for (char c : value) braced += c == '}' ? std::string("}}") : std::string(1, c);
    return braced + "}";
}

}  // namespace

// The password never reaches a log file: log lines carry it masked.
std::string DbSelecter::connectionString(bool bMaskPassword) const {
    std::string text = std::string("DSN=") + pm.db.DSN;
    if (pm.db.UID[0] != '\0') text += ";UID=" + AttributeValue(pm.db.UID);
    if (pm.db.PWD[0] != '\0')
        text += ";PWD=" + (bMaskPassword ? std::string("****") : AttributeValue(pm.db.PWD));
    return text;
}

void DbSelecter::ConnectDB() {
    if (!pm.ha.isActive()) {
        status::Connected(false);
        retryConnectDBWithInterval(kRetrySec);
        return;
    }
    if (!dbcon) {
        pm.log().info("[DB] Try DB Connect %s\n", connectionString(true).c_str());
        try {
            // The connect blocks the worker, which must report within its
            // 30-second interval every 10 seconds: longer waits are cut.
            long lTimeout = pm.db.LOGIN_TIMEOUT > 0 ? static_cast<long>(pm.db.LOGIN_TIMEOUT) : 10;
            if (lTimeout > kMaxLoginTimeoutSec) lTimeout = kMaxLoginTimeoutSec;
            dbcon = std::make_unique<odbctemplate::OdbcConnect>(
                odbctemplate::OdbcConnect::OdbcConnectBuilder(connectionString(false))
                    .setAutocommit(!pass.perPass())
                    .setLoginTimeout(lTimeout)
                    .build());
            pm.log().info("[DB] DB Connect Success\n");
        } catch (const odbctemplate::OdbcError &e) {
            pm.log().info("[DB] DSN=%s;UID=%s;PWD=%s Try DB Connect Fail : %s\n", pm.db.DSN,
                          pm.db.UID, pm.db.PWD[0] != '\0' ? "****" : "", e.what());
            // Written on every attempt: an active node without its database
            // must show so, not a file gone stale as if the daemon hung.
            status::Connected(false);
            retryConnectDBWithInterval(kRetrySec);
            return;
        }
    }
    GetSelectStmt();
}

void DbSelecter::GetSelectStmt() {
    if (!select_stmt) {
        pm.log().info("[DB] get Select preparedStmt\n");
        try {
            auto &dao = select_dao;
            select_stmt = std::make_unique<odbctemplate::OdbcpreparedStmt>(
                dbcon->preparedStmt(SELECT_SQL).bindCol([&dao](odbctemplate::BindColHelper &h) {
                    h.setBindColLongNullable(&dao.MSG_SEQ, &dao.len_msg_seq);
                    h.setBindColStringNullable(dao.PROC_RESULT, sizeof(dao.PROC_RESULT),
                                               &dao.len_proc_result);
                    h.setBindColStringNullable(dao.IN_GROUP, sizeof(dao.IN_GROUP),
                                               &dao.len_in_group);
                    h.setBindColLongNullable(&dao.OUT_GROUP, &dao.len_out_group);
                    h.setBindColStringNullable(dao.SERIAL_NUM, sizeof(dao.SERIAL_NUM),
                                               &dao.len_serial_num);
                    h.setBindColStringNullable(dao.CALLER_NO, sizeof(dao.CALLER_NO),
                                               &dao.len_caller_no);
                    h.setBindColStringNullable(dao.CALLEE_NO, sizeof(dao.CALLEE_NO),
                                               &dao.len_callee_no);
                    h.setBindColStringNullable(dao.CALLBACK_NO, sizeof(dao.CALLBACK_NO),
                                               &dao.len_callback_no);
                    h.setBindColStringNullable(dao.IN_TIME, sizeof(dao.IN_TIME),
                                               &dao.len_in_time);
                    h.setBindColStringNullable(dao.REPORT_TIME, sizeof(dao.REPORT_TIME),
                                               &dao.len_report_time);
                }));
            pm.log().info("[DB] get Select preparedStmt Success\n");
        } catch (const odbctemplate::OdbcError &e) {
            pm.log().info("[DB] get Select preparedStmt Fail: %s\n", e.what());
            dropConnection();
            retryConnectDBWithInterval(kRetrySec);
            return;
        }
    }
    if (!delete_stmt) {
        pm.log().info("[DB] get Delete preparedStmt\n");
        try {
            delete_stmt =
                std::make_unique<odbctemplate::OdbcpreparedStmt>(dbcon->preparedStmt(DELETE_SQL));
            pm.log().info("[DB] get Delete preparedStmt Success\n");
        } catch (const odbctemplate::OdbcError &e) {
            pm.log().info("[DB] get Delete preparedStmt Fail: %s\n", e.what());
            dropConnection();
            retryConnectDBWithInterval(kRetrySec);
            return;
        }
    }
    status::Connected(true);  // connection and both statements ready
    SelectCdr();
}

// Fetches, writes and deletes the rows of one execution of the select.
DbSelecter::PassEnd DbSelecter::processRows(int &nCount) {
    pass.begin(*dbcon, *delete_stmt);
    std::vector<PassRow> rows = fetchRows();
    if (!rows.empty()) {
        fm.open();
        planLines(rows);
    }
    for (PassRow &row : rows) {
        if (processRow(row, nCount) == PassEnd::Cancelled) return PassEnd::Cancelled;
    }
    pass.finish();
    setAsideUncommitted.clear();  // every delete sent so far is committed
    return PassEnd::Drained;
}

// The rows of the pass, all fetched before the first is written. The fetcher
// shares the select's statement, so it is gone before any drop.
std::vector<DbSelecter::PassRow> DbSelecter::fetchRows() {
    std::vector<PassRow> rows;
    odbctemplate::OdbcFetcher fetcher = select_stmt->bindExecute(SELECT_ROWNUM);
    while (fetcher.fetch()) rows.push_back({select_dao, false, nullptr});
    // A value longer than its buffer ends the result at its row. The row is
    // in the buffers all the same; it is billed when the cut changes nothing
    // of its bill line, and the next pass goes on with the rows after it.
    if (fetcher.lastRowTruncated()) rows.push_back({select_dao, true, nullptr});
    return rows;
}

// The lines of the pass, made and planned before the first is written. A row
// whose values cannot make one (the std::logic_error of the line and of the
// cut check) keeps its error for its turn. Planning stops at a row without
// its key: the pass ends there.
void DbSelecter::planLines(std::vector<PassRow> &rows) {
    for (PassRow &row : rows) {
        if (row.data.len_msg_seq == DAO::NULL_INDICATOR) return;
        try {
            if (row.bCut) checkCutColumns(row.data);
            pass.plan(row.data.MSG_SEQ, FileManager::format_line(row.data));
        } catch (const std::logic_error &) {
            row.lineError = std::current_exception();
        }
    }
}

DbSelecter::PassEnd DbSelecter::processRow(const PassRow &row, int &nCount) {
    long lSeq = row.data.MSG_SEQ;
    if (!pm.ha.isActive()) {
        pm.log().critical("[CANCEL] Try STANDBY Cancel MSG_SEQ:%ld\n", lSeq);
        pm.log().critical("[DB] Selecter -> State:Standby (%s/%d)\n", "SelectCdr", __LINE__);
        return PassEnd::Cancelled;
    }
    // Without its key the row could not be deleted, or a stale key from the
    // previous row would delete another one.
    if (row.data.len_msg_seq == DAO::NULL_INDICATOR)
        throw std::invalid_argument("MSG_SEQ is NULL: the row cannot be billed");
    RowFate fate = billOrSetAside(row);
    if (fate == RowFate::Gone) return PassEnd::Drained;
    pass.deleteRow(lSeq);
    // Counted once its delete went through: a refused one brings the row again.
    if (fate == RowFate::Billed) ++nCount;
    if (fate == RowFate::SetAside) ++nSetAside;
    return PassEnd::Drained;
}

// Writes the row's bill line. A row whose values cannot make one (the bill
// file's own failures are std::runtime_error) is set aside whole in the
// reject file, so that one bad row never stops billing; without a reject
// file it ends the process.
DbSelecter::RowFate DbSelecter::billOrSetAside(const PassRow &row) {
    try {
        if (row.lineError) std::rethrow_exception(row.lineError);
        pass.writeLine(row.data.MSG_SEQ);
        return RowFate::Billed;
    } catch (const std::logic_error &e) {
        if (!rejects.enabled()) throw;
        return setAside(row.data.MSG_SEQ, e.what());
    }
}

// The record holds the row as the table stores it, not the fetch buffers'
// cut values; it is in the file (and synced) before the row is deleted. A
// reject file that cannot be written ends the process and the row stays.
DbSelecter::RowFate DbSelecter::setAside(long lSeq, const std::string &reason) {
    std::vector<StoredRow> rows = ReadStoredRows(*dbcon, lSeq);
    if (rows.empty()) {
        pm.log().critical("[REJECT] MSG_SEQ:%ld no longer in the table : %s\n", lSeq,
                          reason.c_str());
        return RowFate::Gone;
    }
    auto earlier = setAsideUncommitted.find(lSeq);
    if (earlier != setAsideUncommitted.end() && earlier->second.rows == rows) {
        pm.log().critical("[REJECT] MSG_SEQ:%ld already set aside in %s : %s\n", lSeq,
                          earlier->second.file.c_str(), reason.c_str());
        return RowFate::SetAside;
    }
    rejects.write(reason, rows);
    pm.log().critical("[REJECT] MSG_SEQ:%ld set aside in %s : %s\n", lSeq,
                      rejects.file_name().c_str(), reason.c_str());
    status::RowRejected();  // records written, each row once
    setAsideUncommitted[lSeq] = {std::move(rows), rejects.file_name()};
    return RowFate::SetAside;
}

// The bill line shows at most 16 characters of the numbers and 14 of the
// times, far less than their buffers hold, so only a cut serial number or
// group changes the line: such a row must not be billed, nor deleted.
void DbSelecter::checkCutColumns(const DAO::TSMS_SND_MSG &row) const {
    auto cut = [](long lIndicator, size_t unBufSize) {
        return lIndicator == SQL_NO_TOTAL || lIndicator >= static_cast<long>(unBufSize);
    };
    const char *pcColumn = cut(row.len_serial_num, sizeof(row.SERIAL_NUM)) ? "SERIAL_NUM"
                           : cut(row.len_in_group, sizeof(row.IN_GROUP))   ? "IN_GROUP"
                                                                           : nullptr;
    if (pcColumn != nullptr)
        throw std::length_error(std::string(pcColumn) + " is longer than its buffer MSG_SEQ:" +
                                std::to_string(row.MSG_SEQ));
    pm.log().info("[DB] MSG_SEQ:%ld has a value longer than its buffer, billed as cut\n",
                  row.MSG_SEQ);
}

void DbSelecter::SelectCdr() {
    int nCount = 0;
    nSetAside = 0;
    try {
        pm.log().debug("[DB:SELECT] %s, ROWNUM:%d (%s/%d)\n", SELECT_SQL, SELECT_ROWNUM,
                       "SelectCdr", __LINE__);
        if (processRows(nCount) == PassEnd::Cancelled) {
            pass.abandon();
            status::RowsBilled(rowsBilled(nCount));
            dropConnection();
            // Back to waiting for the active role, as before the first one:
            // a role check a second, no connection.
            retryConnectDBWithInterval(kRetrySec);
            return;
        }
        pm.log().info("[DB:SELECT] Count: %d (%s/%d)\n", nCount, "SelectCdr", __LINE__);
        // A journal that failed in the pass is off from here on: the status
        // file must not go on promising what it no longer keeps.
        status::Modes(pass.perPass(), journal.enabled());
        status::PassDone(nCount, fm.file_name());
        scheduleNextPass(nCount + nSetAside);
    } catch (const odbctemplate::OdbcError &e) {
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
        abandonPass();
        status::RowsBilled(rowsBilled(nCount));  // the rows before the error are billed and gone
        dropConnection();
        retryConnectDBWithInterval(kRetrySec);
    } catch (const std::exception &e) {
        // A bill line that cannot be made or kept is fatal; a non-zero status
        // tells the supervisor that the process did not end normally. The
        // pass's lines whose deletes were not sent go first, or their rows,
        // still in the table, are billed again after the restart.
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
        abandonPass();
        KestManager::EndNow(EXIT_FAILURE);
    }
}

// Called from a handler, where a throw would escape the cycle: lines that
// cannot be cut off end the process, as any other failure of the bill file.
void DbSelecter::abandonPass() {
    try {
        pass.abandon();
    } catch (const std::exception &e) {
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
        KestManager::EndNow(EXIT_FAILURE);
    }
}

// Rows of a pass cut short that are billed and gone: per row every row
// counted, with one commit per pass only those of a commit.
int DbSelecter::rowsBilled(int nCount) const {
    return pass.perPass() ? pass.committed() : nCount;
}

void DbSelecter::scheduleNextPass(int nCount) {
    if (nCount > 0) {
        eventfd.SendEvent([this] { SelectCdr(); });
        return;
    }
    after(kIdlePollSec, [this](EventCLoop::Error &) { SelectCdr(); });
}

// Statements before their connection: a statement never outlives it.
void DbSelecter::dropConnection() {
    delete_stmt.reset();
    select_stmt.reset();
    dbcon.reset();
    status::Connected(false);
}

}  // namespace kest
