// Internal to the daemon: the rows of one pass between their claims and their commit. A row is
// billed by the one node whose delete took it from the table. In commit-per-pass mode (AUTO_COMMIT
// = 0) one delete of all the pass's keys claims its rows inside its transaction before their lines
// are written, and tells which rows it took: the other node's delete waits for the transaction and
// then finds the rows gone. With a commit per row
// (AUTO_COMMIT = 1) each row's delete, committed on its own, follows its synced line, and a node
// whose delete finds the row gone cuts that line off again: one round trip per row, as without a
// claim. Lines are synced before their deletes commit, and the places of a pass's lines are on the
// journal's record before the first is written, so that one sync of the journal covers them. The
// lines of a commit go to the file in one write.
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

// The bill file lost its last name before the commit of its lines: the transaction must not commit
// rows whose lines reach no collector.
struct BillFileRemoved : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class BillingPass {
public:
    // unPassRows: the most rows one pass brings.
    BillingPass(FileManager &fm, Journal &journal, PassGate &gate, bool bPerPass,
                size_t unPassRows);
    BillingPass(const BillingPass &) = delete;
    BillingPass &operator=(const BillingPass &) = delete;

    bool perPass() const { return bPerPass_; }

    // A new pass on this connection and delete statement: with a commit per row the delete of one
    // key, with a commit per pass the claim of the pass's keys (see ClaimSql), whose result column
    // is bound to claimedKey(). The select that follows opens its transaction.
    void begin(odbctemplate::OdbcConnect &con, odbctemplate::OdbcpreparedStmt &deleteStmt);
    long *claimedKey() { return &claimedKey_; }
    // Claims the rows of keys (each once) for the open transaction in one delete; taken gets the
    // keys of the rows it deleted, sorted: a key missing there is another session's row. A delete
    // that took a row it was not asked for throws OdbcError. With a commit per row the claims are
    // only noted and every key comes back: each row's delete waits for commit().
    void claim(const std::vector<long> &keys, std::vector<long> &taken);
    // Plans the line of a fetched row: unless the journal shows it billed by an earlier pass or
    // process, its place (after the lines planned before it) goes on record. Every line of the pass
    // is planned before the first is written, so that one sync of the journal covers the pass.
    void plan(long lSeq, const std::string &line);
    // seq's planned line will not be written: another session has the row.
    void skip(long lSeq);
    // Adds the next planned line, which must be seq's, to the lines written at the commit, at its
    // place; a line already billed is not written again.
    void writeLine(long lSeq);
    // Commits the claims so far: their lines synced first, then the transaction, or with a commit
    // per row the row's delete; returns the rows another session took first, whose lines are cut
    // off again. A failed commit is logged with the rows that come again (their lines stay, on the
    // journal's record as synced) and thrown on. Throws BillFileRemoved when the lines' file has no
    // name left, Fenced when the ending took the pass over.
    int commit();
    // Ends the pass without committing what is claimed: the transaction is rolled back (on a
    // connection that may be gone), and the lines written and not committed are cut off again, as
    // their rows go to whoever bills them next. Throws when the cut fails.
    void abandon();

private:
    // A line of the pass, lines_[unFrom, unFrom + unLen): already billed at place, or on record
    // there.
    struct PlannedLine {
        long lSeq;
        size_t unFrom;
        size_t unLen;
        bool bBilled;
        bool bSkipped;
        off_t start;
    };

    bool deleteRow(long lSeq);
    void claimInOne(const std::vector<long> &keys, std::vector<long> &taken);
    int endClaims();
    int deleteClaimed();
    void settleClaims(bool bCommitted);
    // Records of planned lines not written must not name where later lines go: they are erased,
    // durably.
    void eraseUnwritten();

    FileManager &fm_;
    Journal &journal_;
    PassGate &gate_;
    KestManager &pm_;
    bool bPerPass_;
    odbctemplate::OdbcConnect *con_ = nullptr;
    odbctemplate::OdbcpreparedStmt *delete_ = nullptr;
    size_t unPassRows_;
    bool bOpen_ = false;         // the transaction has statements not ended
    std::vector<long> claimed_;  // rows deleted in the open transaction
    std::vector<long> written_;  // rows whose lines it wrote, or writes at the commit
    std::vector<long> keys_;     // the claim's parameters: the keys, the last one repeated
    long claimedKey_ = 0;        // a key the claim took, as fetched
    std::string lines_;          // the planned lines of the pass, one after the other
    std::string out_;            // lines to write at the commit
    LinePlace place_;            // the place of the line planned last
    std::vector<PlannedLine> planned_;
    size_t unNextPlanned_ = 0;  // planned_[unNextPlanned_] is the next to write
    off_t plannedEnd_ = 0;      // where the next planned line will start
};

}  // namespace kest
