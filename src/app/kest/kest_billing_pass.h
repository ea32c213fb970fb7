// Internal to the daemon: the rows of one pass between their claims and
// their commit. A row is claimed inside the pass's transaction by its delete
// before its line is written, so that while its line is written and synced
// no other node can bill it: the other node's delete waits for this
// transaction and then finds the row gone. A transaction holds the whole
// pass in commit-per-pass mode (AUTO_COMMIT = 0) and one row with a commit
// per row (AUTO_COMMIT = 1). Its lines are synced before its commit, and the
// places of its lines are on the journal's record before the first is
// written, so that one sync of the journal covers them.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "kest_file_manager.h"
#include "kest_journal.h"
#include "kest_manager.h"
#include "kest_pass_gate.h"
#include "kest_query.h"
#include "odbc/odbc_connect.h"
#include "odbc/odbc_prepared_stmt.h"

namespace kest {

// The bill file lost its last name before the commit of its lines: the
// transaction must not commit rows whose lines reach no collector.
struct BillFileRemoved : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class BillingPass {
public:
    BillingPass(FileManager &fm, Journal &journal, PassGate &gate, bool bPerPass);
    BillingPass(const BillingPass &) = delete;
    BillingPass &operator=(const BillingPass &) = delete;

    bool perPass() const { return bPerPass_; }

    // A new pass on this connection and its delete statement; the select
    // that follows opens the pass's transaction.
    void begin(odbctemplate::OdbcConnect &con, odbctemplate::OdbcpreparedStmt &deleteStmt);
    // Claims seq's row for the open transaction by executing its delete;
    // false when it deleted nothing: another session has the row.
    bool claim(long lSeq);
    // Plans the line of a fetched row: unless the journal shows it billed by
    // an earlier pass or process, its place (after the lines planned before
    // it) goes on record. Every line of the pass is planned before the first
    // is written, so that one sync of the journal covers the pass.
    void plan(long lSeq, std::string line);
    // seq's planned line will not be written: another session has the row.
    void skip(long lSeq);
    // Writes the next planned line, which must be seq's, at its place; a line
    // already billed is not written again. Not yet synced.
    void writeLine(long lSeq);
    // Commits the claims so far: their lines synced first, then the
    // transaction. A failed commit is logged with the rows that come again
    // (their lines stay, on the journal's record as synced) and thrown on.
    // Throws BillFileRemoved when the lines' file has no name left, Fenced
    // when the ending took the pass over.
    void commit();
    // Ends the pass without committing what is claimed: the transaction is
    // rolled back (on a connection that may be gone), and the lines written
    // and not committed are cut off again, as their rows go to whoever bills
    // them next. Throws when the cut fails.
    void abandon();

private:
    // A line of the pass: already billed at place, or on record there.
    struct PlannedLine {
        long lSeq;
        std::string line;
        bool bBilled;
        bool bSkipped;
        LinePlace place;
    };

    void commitClaims();
    // The records of planned lines not written must not name the places
    // where later lines go: they are erased, durably.
    void eraseUnwritten();

    FileManager &fm_;
    Journal &journal_;
    PassGate &gate_;
    KestManager &pm_;
    bool bPerPass_;
    odbctemplate::OdbcConnect *con_ = nullptr;
    odbctemplate::OdbcpreparedStmt *delete_ = nullptr;
    bool bOpen_ = false;          // the transaction has statements not ended
    std::vector<long> claimed_;   // rows deleted in the open transaction
    std::vector<long> written_;   // rows whose lines it wrote
    std::vector<PlannedLine> planned_;
    size_t unNextPlanned_ = 0;  // planned_[unNextPlanned_] is the next to write
    off_t plannedEnd_ = 0;      // where the next planned line will start
};

}  // namespace kest
