// Internal to the daemon: the rows of one pass between their bill lines and
// their deletes. With autocommit (AUTO_COMMIT = 1) each row's line is synced
// and its delete committed before the next row is written; in
// commit-per-pass mode (AUTO_COMMIT = 0) the pass's lines are synced once,
// then its deletes follow in one transaction. Either way no delete becomes
// durable before the line of its row. The places of a pass's lines are on
// the journal's record before its first line is written, so that one sync of
// the journal covers the whole pass in either mode.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "kest_file_manager.h"
#include "kest_journal.h"
#include "kest_manager.h"
#include "kest_query.h"
#include "odbc/odbc_connect.h"
#include "odbc/odbc_prepared_stmt.h"

namespace kest {

class BillingPass {
public:
    BillingPass(FileManager &fm, Journal &journal, bool bPerPass);
    BillingPass(const BillingPass &) = delete;
    BillingPass &operator=(const BillingPass &) = delete;

    bool perPass() const { return bPerPass_; }

    // A new pass on this connection and its delete statement.
    void begin(odbctemplate::OdbcConnect &con, odbctemplate::OdbcpreparedStmt &deleteStmt);
    // Plans the next line of the pass: unless the journal shows it already
    // written whole by an earlier pass or process, its place (after the
    // lines planned before it) goes on record. Every line is planned before
    // the first is written.
    void plan(long lSeq, std::string line);
    // Writes the next planned line, which must be seq's, at its place; a line
    // already billed is not written again. Not yet synced.
    void writeLine(long lSeq);
    // Deletes a row whose record is written: per row at once, after the
    // sync of what was written; with the pass otherwise.
    void deleteRow(long lSeq);
    // Ends the pass: its lines synced, its deletes executed and committed.
    // A failed commit is logged with the rows that will come again and
    // thrown on.
    void finish();
    // Ends the pass without the deletes still waiting: the transaction is
    // rolled back (on a connection that may be gone), and the lines written
    // and not yet synced are cut off again, as no delete of their rows was
    // sent and they go to whoever bills them next. Left in place they would
    // bill their rows twice, or, taken by the journal for billed after a
    // switch to the next date's file, never reach the disk. Throws when the
    // cut fails.
    void abandon();

    // Rows whose deletes were committed since begin().
    int committed() const { return nCommitted_; }
    // Rows written or waiting whose deletes are not committed.
    size_t waiting() const { return waiting_.size(); }

private:
    // A line of the pass: already billed at place, or on record there.
    struct PlannedLine {
        long lSeq;
        std::string line;
        bool bBilled;
        LinePlace place;
    };

    void deleteNow(long lSeq);
    // The records of planned lines not written must not name the places
    // where later lines go: they are erased, durably.
    void eraseUnwritten();

    FileManager &fm_;
    Journal &journal_;
    KestManager &pm_;
    bool bPerPass_;
    odbctemplate::OdbcConnect *con_ = nullptr;
    odbctemplate::OdbcpreparedStmt *delete_ = nullptr;
    std::vector<long> waiting_;   // rows whose deletes wait for the commit
    std::vector<long> unsynced_;  // rows whose lines this pass wrote, not synced
    std::vector<PlannedLine> planned_;
    size_t unNextPlanned_ = 0;  // planned_[unNextPlanned_] is the next to write
    off_t plannedEnd_ = 0;      // where the next planned line will start
    int nCommitted_ = 0;
};

}  // namespace kest
