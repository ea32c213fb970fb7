// Internal to the daemon: the rows of one pass between their claims and their commit. A row is
// billed by the one node whose delete took it. With a commit per pass (AUTO_COMMIT = 0) one delete
// of the pass's keys claims its rows, in its transaction, before their lines are written; the other
// node's delete waits for the transaction and finds them gone. With a commit per row each row's
// delete follows its synced line, and one that finds the row gone cuts the line off again. Lines
// are synced before their deletes commit, after the journal's records of their places.
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

    // A new pass on con: deleteStmt deletes one key, or with a commit per pass claims the pass's
    // keys (ClaimSql) into claimedKey(). The select that follows opens its transaction.
    void begin(odbctemplate::OdbcConnect &con, odbctemplate::OdbcpreparedStmt &deleteStmt);
    long *claimedKey() { return &claimedKey_; }
    // Claims the rows of keys (each once) in one delete; taken gets the keys it deleted, sorted (a
    // key missing is another session's row); one it was not asked for throws OdbcError. With a
    // commit per row every key comes back: each row's delete waits for commit().
    void claim(const std::vector<long> &keys, std::vector<long> &taken);
    // Plans a fetched row's line: unless the journal shows it billed, its place goes on record.
    // Every line is planned before the first is written: one sync of the journal covers the pass.
    void plan(long lSeq, const std::string &line);
    // seq's planned line will not be written: another session has the row.
    void skip(long lSeq);
    // Adds the next planned line, which must be seq's, to the lines written at the commit, at its
    // place; a line already billed is not written again.
    void writeLine(long lSeq);
    // Commits the claims so far, their lines synced first; returns the rows another session took
    // first, whose lines are cut off again. Throws what a failed commit throws, BillFileRemoved
    // when the lines' file has no name left, Fenced when the ending took the pass over.
    int commit();
    // Ends the pass uncommitted: the transaction rolled back (its connection may be gone), its
    // lines cut off again, as their rows go to whoever bills them next. Throws when the cut fails.
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
