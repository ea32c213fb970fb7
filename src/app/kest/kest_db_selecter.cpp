// The select-write-delete cycle: up to PASS_ROWS rows a pass, each line written before its delete
// commits; passes follow at once while rows come, once a second when none do.
#include "kest_db_selecter.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <stdexcept>

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
constexpr int kLockWaitSec = 5;
constexpr const char *kJournalName = "KEST.journal";
constexpr size_t kLineCapacity = 512;  // the longest line format_line makes

size_t PassRows(const KestManager &pm) { return static_cast<size_t>(pm.db.PASS_ROWS); }

// The claim of a pass with a commit per pass: a parameter for each row of the largest pass.
std::string ClaimSql(size_t unKeys) {
    std::string sql = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ IN (?";
    for (size_t i = 1; i < unKeys; ++i) sql += ",?";
    return sql + ") RETURNING MSG_SEQ;";
}

// In the key folder, beside the lock: not among the bill files, which collectors take away.
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
      pm(*KestManager::getInstance()),
      rejects(pm.bill.REJECT_PATH, pm.bill.BILL_SYNC != 0),
      journal(JournalPath(pm), pm.bill.BILL_PATH, pm.bill.BILL_SYNC != 0),
      pass(fm, journal, pm.gate, pm.db.AUTO_COMMIT == 0, PassRows(pm)),
      nSelectRownum(static_cast<int>(PassRows(pm)) + 1) {
    rows.reserve(PassRows(pm));
    keys.reserve(PassRows(pm));
    taken.reserve(PassRows(pm));
    line.reserve(kLineCapacity);
    // Lines of a pass the ending takes over are cut off: their rows go to the next active node.
    pm.gate.onTakeOver([this] { fm.fence(); });
}

void DbSelecter::run() {
    KeepAliveHaf();
    journal.open();
    // A file left with a torn last record by a killed process is cut here, whatever its date:
    // collectors may take it before it is opened again.
    fm.cut_torn_tails(journal.filesOnRecord());
    rejects.cutTornTailOfNewest();
    ProcessStatus().modes(pass.perPass(), journal.enabled());
    ConnectDB();
}

void DbSelecter::KeepAliveHaf() {
    halink::ThreadAlive(kAliveInterval);
    // After the report: the thread is watched when the hang test stops it.
    halink::HangTestPoint();
    EventCLoop::RunAfter(epoll, kAliveReportSec, [this](EventCLoop::Error &error) {
        if (!error) return KeepAliveHaf();
        pm.log().debug("[DB] KeepAliveHaf async_wait error:%s\n", error.what());
    });
}

void DbSelecter::retryConnectDBWithInterval(int sec) {
    pm.log().info("[DB] retryConnectDBWithInterval\n");
    EventCLoop::RunAfter(epoll, static_cast<unsigned int>(sec),
                         [this](EventCLoop::Error &) { ConnectDB(); });
}

namespace {

// A value holding ';', '{' or '}' goes in braces (with '}' doubled), so that it cannot end its
// attribute or add others to the connection string.
std::string AttributeValue(const char *pcValue) {
    std::string value(pcValue);
    if (value.find_first_of(";{}") == std::string::npos) return value;
    std::string braced = "{";
    for (char c : value) braced += c == '}' ? std::string("}}") : std::string(1, c);
    return braced + "}";
}

}  // namespace

// The password never reaches a log file: log lines carry it masked.
std::string DbSelecter::ConnectionString(const KestManager::DB &db, bool bMaskPassword) {
    std::string text = std::string("DSN=") + db.DSN;
    if (db.UID[0] != '\0') text += ";UID=" + AttributeValue(db.UID);
    if (db.PWD[0] != '\0')
        text += ";PWD=" + (bMaskPassword ? std::string("****") : AttributeValue(db.PWD));
    return text;
}

// The connect blocks the worker, which must report within its 30-second interval every 10
// seconds: longer waits are cut.
long DbSelecter::LoginTimeoutSec(const KestManager::DB &db) {
    long lTimeout = db.LOGIN_TIMEOUT > 0 ? static_cast<long>(db.LOGIN_TIMEOUT) : 10;
    return lTimeout > kMaxLoginTimeoutSec ? kMaxLoginTimeoutSec : lTimeout;
}

void DbSelecter::ConnectDB() {
    if (!pm.ha.isActive()) return reconnectLater();
    if (!dbcon) {
        pm.log().info("[DB] Try DB Connect %s\n", ConnectionString(pm.db, true).c_str());
        try {
            dbcon = std::make_unique<odbctemplate::OdbcConnect>(
                odbctemplate::OdbcConnect::OdbcConnectBuilder(ConnectionString(pm.db, false))
                    .setAutocommit(!pass.perPass())
                    .setLoginTimeout(LoginTimeoutSec(pm.db))
                    .build());
            pm.log().info("[DB] DB Connect Success\n");
            setLockWait();
        } catch (const odbctemplate::OdbcError &e) {
            pm.log().info("[DB] DSN=%s;UID=%s;PWD=%s Try DB Connect Fail : %s\n", pm.db.DSN,
                          pm.db.UID, pm.db.PWD[0] != '\0' ? "****" : "", e.what());
            // The status file shows every failed attempt, not a stale text as if the daemon hung.
            return reconnectLater();
        }
    }
    GetSelectStmt();
}

// A claim meeting the other node's transaction waits only so long: the worker must go on reporting
// alive, and the other pass ends within seconds unless its disk or database is stuck.
void DbSelecter::setLockWait() {
    try {
        dbcon->directExecute("SET SESSION innodb_lock_wait_timeout = " +
                             std::to_string(kLockWaitSec));
    } catch (const odbctemplate::OdbcError &e) {
        pm.log().info("[DB] Lock wait time-out left to the database: %s\n", e.what());
    }
}

void DbSelecter::GetSelectStmt() {
    auto &dao = select_dao;
    bool bReady =
        prepare(select_stmt, "Select", DAO::SELECT_SQL, [&dao](odbctemplate::BindColHelper &h) {
            h.setBindColLongNullable(&dao.MSG_SEQ, &dao.len_msg_seq);
            h.setBindColStringNullable(dao.PROC_RESULT, sizeof(dao.PROC_RESULT),
                                       &dao.len_proc_result);
            h.setBindColStringNullable(dao.IN_GROUP, sizeof(dao.IN_GROUP), &dao.len_in_group);
            h.setBindColLongNullable(&dao.OUT_GROUP, &dao.len_out_group);
            h.setBindColStringNullable(dao.SERIAL_NUM, sizeof(dao.SERIAL_NUM),
                                       &dao.len_serial_num);
            h.setBindColStringNullable(dao.CALLER_NO, sizeof(dao.CALLER_NO), &dao.len_caller_no);
            h.setBindColStringNullable(dao.CALLEE_NO, sizeof(dao.CALLEE_NO), &dao.len_callee_no);
            h.setBindColStringNullable(dao.CALLBACK_NO, sizeof(dao.CALLBACK_NO),
                                       &dao.len_callback_no);
            h.setBindColStringNullable(dao.IN_TIME, sizeof(dao.IN_TIME), &dao.len_in_time);
            h.setBindColStringNullable(dao.REPORT_TIME, sizeof(dao.REPORT_TIME),
                                       &dao.len_report_time);
        });
    long *plClaimed = pass.claimedKey();
    auto bindClaimed = [plClaimed, this](odbctemplate::BindColHelper &h) {
        h.setBindColLongNullable(plClaimed, &claimedIndicator);
    };
    bReady = bReady &&
             (pass.perPass() ? prepare(delete_stmt, "Delete", ClaimSql(PassRows(pm)), bindClaimed)
                             : prepare(delete_stmt, "Delete", DAO::DELETE_SQL, nullptr));
    if (!bReady) return;
    ProcessStatus().connected(true);  // connection and both statements ready
    SelectCdr();
}

// Prepares stmt unless ready, binding its columns through bind when given. False when it fails: the
// connection is then dropped and retried.
bool DbSelecter::prepare(stmt_t &stmt, const char *pcName, const std::string &sql,
                         const std::function<void(odbctemplate::BindColHelper &)> &bind) {
    if (stmt) return true;
    pm.log().info("[DB] get %s preparedStmt\n", pcName);
    try {
        odbctemplate::OdbcpreparedStmt prepared = dbcon->preparedStmt(sql);
        stmt = std::make_unique<odbctemplate::OdbcpreparedStmt>(bind ? prepared.bindCol(bind)
                                                                     : prepared);
        pm.log().info("[DB] get %s preparedStmt Success\n", pcName);
        return true;
    } catch (const odbctemplate::OdbcError &e) {
        pm.log().info("[DB] get %s preparedStmt Fail: %s\n", pcName, e.what());
        reconnectLater();
        return false;
    }
}

// One execution of the select, its rows claimed, written and committed in one transaction, or in
// one per row.
DbSelecter::PassEnd DbSelecter::processRows(int &nCount) {
    pass.begin(*dbcon, *delete_stmt);
    fetchRows();
    if (!rows.empty()) {
        fm.open();
        planLines();
    }
    size_t unStep = pass.perPass() ? rows.size() : 1;
    for (size_t i = 0; i < rows.size(); i += unStep) {
        size_t unTo = std::min(rows.size(), i + unStep);
        if (claimRows(i, unTo) == PassEnd::Cancelled) return PassEnd::Cancelled;
        billClaimed(i, unTo, nCount);
    }
    pass.commit();  // the select's transaction, when no claim ended it
    setAsideUncommitted.clear();  // every claim so far is committed
    return PassEnd::Drained;
}

// The rows of the pass, all fetched before the first is written. The fetcher shares the select's
// statement, so it is gone before any drop.
void DbSelecter::fetchRows() {
    rows.clear();
    odbctemplate::OdbcFetcher fetcher = select_stmt->bindExecute(nSelectRownum);
    while (fetcher.fetch()) rows.push_back({select_dao, false, nullptr, {}});
    // A value longer than its buffer ends the result at its row, which is still in the buffers: it
    // is billed when the cut changes nothing of its line; the next pass goes on after it.
    if (fetcher.lastRowTruncated()) rows.push_back({select_dao, true, nullptr, {}});
}

// The lines of the pass, planned before the first claim. A row that makes none (a std::logic_error)
// keeps its error for its turn; planning stops at a row without its key, where the pass ends.
void DbSelecter::planLines() {
    for (PassRow &row : rows) {
        if (row.data.len_msg_seq == DAO::NULL_INDICATOR) return;
        try {
            if (row.bCut) checkCutColumns(row.data);
            FileManager::format_line(row.data, line);
            pass.plan(row.data.MSG_SEQ, line);
        } catch (const std::logic_error &) {
            row.lineError = std::current_exception();
        }
    }
}

// Claims rows [unFrom, unTo) before their lines are written (with a commit per row, by the delete
// after the line). A node not active, or a process ending, claims nothing and rolls back.
DbSelecter::PassEnd DbSelecter::claimRows(size_t unFrom, size_t unTo) {
    if (!pm.ha.isActive() || pm.gate.ending()) {
        pm.log().critical("[CANCEL] Try STANDBY Cancel MSG_SEQ:%ld\n", rows[unFrom].data.MSG_SEQ);
        pm.log().critical("[DB] Selecter -> State:Standby (%s/%d)\n", "SelectCdr", __LINE__);
        return PassEnd::Cancelled;
    }
    keys.clear();
    for (size_t i = unFrom; i < unTo; ++i) {
        PassRow &row = rows[i];
        // Without its key the row cannot be deleted, or a stale key would delete another.
        if (row.data.len_msg_seq == DAO::NULL_INDICATOR)
            throw std::invalid_argument("MSG_SEQ is NULL: the row cannot be billed");
        if (readAside(row)) keys.push_back(row.data.MSG_SEQ);
    }
    pass.claim(keys, taken);
    for (size_t i = unFrom; i < unTo; ++i) {
        PassRow &row = rows[i];
        long lSeq = row.data.MSG_SEQ;
        row.bClaimed = std::binary_search(taken.begin(), taken.end(), lSeq);
        if (row.bClaimed) continue;
        pm.log().info("[DB:DELETE] MSG_SEQ:%ld already deleted by another session: not billed "
                      "here (%s/%d)\n",
                      lSeq, "SelectCdr", __LINE__);
        if (!row.lineError) pass.skip(lSeq);
    }
    return PassEnd::Drained;
}

// A row that cannot be billed is read whole, and locked, before its delete: the transaction does
// not see it after. Without a reject file it ends the process, still in the table. False when it
// is gone: nothing to claim.
bool DbSelecter::readAside(PassRow &row) {
    if (!row.lineError) return true;
    if (!rejects.enabled()) std::rethrow_exception(row.lineError);
    row.stored = ReadStoredRows(*dbcon, row.data.MSG_SEQ);
    return !row.stored.empty();
}

// Writes the lines (or reject records) of the claimed rows of [unFrom, unTo) and commits them.
void DbSelecter::billClaimed(size_t unFrom, size_t unTo, int &nCount) {
    int nBilled = 0;
    int nAside = 0;
    for (size_t i = unFrom; i < unTo; ++i) {
        const PassRow &row = rows[i];
        if (!row.bClaimed) continue;
        if (row.lineError) {
            setAside(row);
            ++nAside;
        } else {
            pass.writeLine(row.data.MSG_SEQ);
            ++nBilled;
        }
    }
    // Only a commit per row loses a row here, and its batch is that row.
    int nLost = pass.commit();
    (nAside > 0 ? nAside : nBilled) -= nLost;
    // Counted once committed: a claim rolled back brings the row again.
    nCount += nBilled;
    nSetAside += nAside;
}

// The record holds the row as the table stores it, not the buffers' cut values, and is in the file
// (and synced) before the claim commits. An unwritable reject file ends the process; the row stays.
void DbSelecter::setAside(const PassRow &row) {
    long lSeq = row.data.MSG_SEQ;
    std::string reason;
    try {
        std::rethrow_exception(row.lineError);
    } catch (const std::logic_error &e) {
        reason = e.what();
    }
    auto earlier = setAsideUncommitted.find(lSeq);
    if (earlier != setAsideUncommitted.end() && earlier->second.rows == row.stored) {
        pm.log().critical("[REJECT] MSG_SEQ:%ld already set aside in %s : %s\n", lSeq,
                          earlier->second.file.c_str(), reason.c_str());
        return;
    }
    rejects.write(reason, row.stored);
    pm.log().critical("[REJECT] MSG_SEQ:%ld set aside in %s : %s\n", lSeq,
                      rejects.fileName().c_str(), reason.c_str());
    ProcessStatus().rowRejected();  // records written, each row once
    setAsideUncommitted[lSeq] = {row.stored, rejects.fileName()};
}

// The bill line shows at most 16 characters of the numbers and 14 of the times, so only a cut
// serial number or group changes it: such a row is neither billed nor deleted.
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
    // An ending process starts no pass: the one in flight is the last.
    if (!pm.gate.enter()) return;
    runPass();
    pm.gate.leave();
}

void DbSelecter::runPass() {
    int nCount = 0;
    nSetAside = 0;
    bool bReconnect = true;
    try {
        pm.log().debug("[DB:SELECT] %s, ROWNUM:%d (%s/%d)\n", DAO::SELECT_SQL, nSelectRownum,
                       "SelectCdr", __LINE__);
        if (processRows(nCount) == PassEnd::Drained) {
            pm.log().info("[DB:SELECT] Count: %d (%s/%d)\n", nCount, "SelectCdr", __LINE__);
            // A journal that failed in the pass is off: the status file must not promise it.
            ProcessStatus().modes(pass.perPass(), journal.enabled());
            ProcessStatus().passDone(nCount, fm.file_name());
            scheduleNextPass(nCount + nSetAside);
            return;
        }
        // Cancelled: back to a role check a second, without a connection.
    } catch (const fileutil::Fenced &) {
        return;  // the ending took the pass over and cut its lines; the process ends
    } catch (const BillFileRemoved &) {
        bReconnect = false;  // the next pass runs at once, into the file at the path
    } catch (const odbctemplate::OdbcError &e) {
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
    } catch (const std::exception &e) {
        // A bill line that cannot be made or kept is fatal. The lines of uncommitted claims go
        // first, or their rows, still in the table, are billed again after the restart.
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
        abandonPass();
        if (!pm.gate.ending()) KestManager::Fatal(e.what());
        return;
    }
    // Ended early: rows billed before are counted; the rest come again.
    abandonPass();
    ProcessStatus().rowsBilled(nCount);
    if (bReconnect)
        reconnectLater();
    else
        scheduleNextPass(1);
}

// Called from a handler, where a throw would escape the cycle: lines that cannot be cut off end the
// process, as any other failure of the bill file.
void DbSelecter::abandonPass() {
    try {
        pass.abandon();
    } catch (const std::exception &e) {
        pm.log().critical("[DB] Error: %s (%s/%d)\n", e.what(), "SelectCdr", __LINE__);
        KestManager::Fatal(e.what());
    }
}

void DbSelecter::scheduleNextPass(int nCount) {
    if (nCount > 0) return eventfd.SendEvent([this] { SelectCdr(); });
    EventCLoop::RunAfter(epoll, kIdlePollSec, [this](EventCLoop::Error &) { SelectCdr(); });
}

// Statements go before their connection: a statement never outlives it.
void DbSelecter::reconnectLater() {
    delete_stmt.reset();
    select_stmt.reset();
    dbcon.reset();
    ProcessStatus().connected(false);
    retryConnectDBWithInterval(kRetrySec);
}

}  // namespace kest
