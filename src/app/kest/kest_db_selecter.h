// Internal to the daemon: the database selecter. It connects while the node is active, prepares the
// select and delete statements and drives the select-write-delete cycle on the reactor.
#pragma once

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "event_loop/Epoll.h"
#include "event_loop/Eventfd.h"
#include "kest_billing_pass.h"
#include "kest_file_manager.h"
#include "kest_journal.h"
#include "kest_manager.h"
#include "kest_query.h"
#include "kest_reject_file.h"
#include "odbc/odbc_connect.h"
#include "odbc/odbc_prepared_stmt.h"

namespace kest {

class DbSelecter {
public:
    using dbcon_t = std::unique_ptr<odbctemplate::OdbcConnect>;
    using stmt_t = std::unique_ptr<odbctemplate::OdbcpreparedStmt>;

    explicit DbSelecter(EventCLoop::Epoll &epoll);
    DbSelecter(const DbSelecter &) = delete;
    DbSelecter &operator=(const DbSelecter &) = delete;

    void run();
    void KeepAliveHaf();
    void ConnectDB();
    void retryConnectDBWithInterval(int sec);
    void GetSelectStmt();
    void SelectCdr();

    // The ODBC connection string of the settings; the password masked for a log line.
    static std::string ConnectionString(const KestManager::DB &db, bool bMaskPassword);
    // The configured login time-out in seconds, within what the worker's alive reports allow.
    static long LoginTimeoutSec(const KestManager::DB &db);

private:
    enum class PassEnd { Drained, Cancelled };

    // A fetched row; bCut: a value is longer than its buffer; lineError: why it makes no bill line,
    // stored then holding the row as the table has it, for the reject file.
    struct PassRow {
        DAO::TSMS_SND_MSG data;
        bool bCut;
        std::exception_ptr lineError;
        std::vector<StoredRow> stored;
        bool bClaimed = false;
    };

    void setLockWait();
    bool prepare(stmt_t &stmt, const char *pcName, const std::string &sql,
                 const std::function<void(odbctemplate::BindColHelper &)> &bind);
    PassEnd processRows(int &nCount);
    void fetchRows();
    void planLines();
    PassEnd claimRows(size_t unFrom, size_t unTo);
    bool readAside(PassRow &row);
    void billClaimed(size_t unFrom, size_t unTo, int &nCount);
    void checkCutColumns(const DAO::TSMS_SND_MSG &row) const;
    void setAside(const PassRow &row);
    void runPass();
    void abandonPass();
    void scheduleNextPass(int nCount);
    void reconnectLater();

    EventCLoop::Epoll &epoll;
    EventCLoop::Eventfd eventfd;
    dbcon_t dbcon;
    stmt_t select_stmt;
    stmt_t delete_stmt;
    DAO::TSMS_SND_MSG select_dao;
    FileManager fm;
    KestManager &pm;
    RejectFile rejects;
    int nSetAside = 0;  // rows of the running pass set aside
    // Rows set aside whose deletes may be uncommitted, as their records hold them: a rolled-back
    // pass brings them again; one unchanged needs no second record. Kept till a pass ends whole.
    struct SetAsideRecord {
        std::vector<StoredRow> rows;
        std::string file;
    };
    std::map<long, SetAsideRecord> setAsideUncommitted;
    Journal journal;
    BillingPass pass;
    int nSelectRownum;  // the select's "rownum < ?": one more than PASS_ROWS
    long claimedIndicator = 0;
    // The running pass: its rows, the keys its claim asks for and those it took; sized once.
    std::vector<PassRow> rows;
    std::vector<long> keys;
    std::vector<long> taken;
    std::string line;  // the line being planned
};

}  // namespace kest
