// One pass's claims, lines, sync and commit, in the order that keeps every row's line to the one
// node whose delete took the row.
#include "kest_billing_pass.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "odbc/odbc_error.h"

namespace kest {

namespace {

// Room for a bill line, which is some 130 bytes.
constexpr size_t kLineReserve = 160;

// A driver may report a delete that matched nothing as no data instead of a count of 0.
bool IsNoData(const odbctemplate::OdbcError &e) {
    return e.code() == "-1" && e.message() == "SQL NO DATA";
}
}  // namespace

BillingPass::BillingPass(FileManager &fm, Journal &journal, PassGate &gate, bool bPerPass,
                         size_t unPassRows)
    : fm_(fm),
      journal_(journal),
      gate_(gate),
      pm_(*KestManager::getInstance()),
      bPerPass_(bPerPass),
      unPassRows_(unPassRows) {
    // Sized once for the largest pass: no row of a pass allocates.
    claimed_.reserve(unPassRows);
    written_.reserve(unPassRows);
    keys_.reserve(unPassRows);
    planned_.reserve(unPassRows);
    lines_.reserve(unPassRows * kLineReserve);
    out_.reserve(unPassRows * kLineReserve);
}

void BillingPass::begin(odbctemplate::OdbcConnect &con,
                        odbctemplate::OdbcpreparedStmt &deleteStmt) {
    eraseUnwritten();
    con_ = &con;
    delete_ = &deleteStmt;
    // Even a pass without rows ends its transaction: an open one would keep its snapshot (later
    // rows unseen) and its lock on the table's definition.
    bOpen_ = bPerPass_;
    claimed_.clear();
    written_.clear();
    planned_.clear();
    lines_.clear();
    out_.clear();
    unNextPlanned_ = 0;
}

void BillingPass::claim(const std::vector<long> &keys, std::vector<long> &taken) {
    taken.clear();
    if (keys.empty()) return;
    if (bPerPass_)
        claimInOne(keys, taken);
    else
        taken = keys;  // each by its delete, once its line is synced
    claimed_.insert(claimed_.end(), taken.begin(), taken.end());
}

// The statement has a parameter for each row of the largest pass: a shorter pass repeats its last
// key, which deletes nothing more.
void BillingPass::claimInOne(const std::vector<long> &keys, std::vector<long> &taken) {
    keys_.assign(keys.begin(), keys.end());
    keys_.resize(unPassRows_, keys.back());
    try {
        odbctemplate::OdbcFetcher fetcher = delete_->bindExecuteKeys(keys_.data(), keys_.size());
        while (fetcher.fetch()) taken.push_back(claimedKey_);
        // The delete took every row it matched, also those a warning kept from being read back:
        // their lines would never be written, so the pass is rolled back instead.
        if (!fetcher.resultEnded())
            odbctemplate::OdbcError::Throw("the claim's result ended on a warning after " +
                                           std::to_string(taken.size()) + " rows");
    } catch (const odbctemplate::OdbcError &e) {
        if (!IsNoData(e)) throw;
    }
    std::sort(taken.begin(), taken.end());
    keys_.assign(keys.begin(), keys.end());
    std::sort(keys_.begin(), keys_.end());
    // Each key the claim took is one it was asked for, once: the row count it reports is the
    // number of rows it means to take, or fewer that another session took first.
    if (taken.size() > keys.size() ||
        std::adjacent_find(taken.begin(), taken.end()) != taken.end() ||
        !std::includes(keys_.begin(), keys_.end(), taken.begin(), taken.end()))
        odbctemplate::OdbcError::Throw("the claim of " + std::to_string(keys.size()) +
                                       " rows deleted " + std::to_string(taken.size()) +
                                       " rows, not all of them asked for");
    pm_.log().debug("[DB:DELETE] %s MSG_SEQ:%ld..%ld, Rows:%zu, Count:%zu (%s/%d)\n",
                    DAO::CLAIM_SQL_SHOWN, keys_.front(), keys_.back(), keys.size(), taken.size(),
                    "SelectCdr", __LINE__);
}

bool BillingPass::deleteRow(long lSeq) {
    long lDeleted = 0;
    try {
        lDeleted = delete_->bindExecute(lSeq).getDeleteRowCount();
    } catch (const odbctemplate::OdbcError &e) {
        if (!IsNoData(e)) throw;
    }
    if (lDeleted <= 0) return false;
    pm_.log().debug("[DB:DELETE] %s MSG_SEQ:%ld, Count:%ld (%s/%d)\n", DAO::DELETE_SQL, lSeq,
                    lDeleted, "SelectCdr", __LINE__);
    return true;
}

void BillingPass::plan(long lSeq, const std::string &line) {
    if (planned_.empty()) {
        plannedEnd_ = fm_.end();
        place_.file = fm_.base_name();
    }
    size_t unFrom = lines_.size();
    lines_ += line;
    if (const LinePlace *pPlace = journal_.billed(lSeq, line)) {
        planned_.push_back({lSeq, unFrom, line.size(), true, false, pPlace->start});
        return;
    }
    off_t start = plannedEnd_;
    plannedEnd_ += static_cast<off_t>(line.size());
    // A process killed before the line is written leaves a record whose line is not in place, which
    // the next start erases.
    place_.start = start;
    place_.end = plannedEnd_;
    journal_.record(lSeq, place_);
    planned_.push_back({lSeq, unFrom, line.size(), false, false, start});
}

// Its record goes without a sync of its own: it is checked byte for byte against this row's line,
// which no later line matches.
void BillingPass::skip(long lSeq) {
    for (size_t i = unNextPlanned_; i < planned_.size(); ++i) {
        PlannedLine &planned = planned_[i];
        if (planned.lSeq != lSeq || planned.bSkipped) continue;
        planned.bSkipped = true;
        if (!planned.bBilled) journal_.erase(lSeq);
        return;
    }
}

void BillingPass::writeLine(long lSeq) {
    while (unNextPlanned_ < planned_.size() && planned_[unNextPlanned_].bSkipped) ++unNextPlanned_;
    if (unNextPlanned_ >= planned_.size() || planned_[unNextPlanned_].lSeq != lSeq)
        throw std::runtime_error("bill line of MSG_SEQ:" + std::to_string(lSeq) + " not planned");
    const PlannedLine &planned = planned_[unNextPlanned_++];
    if (planned.bBilled) {
        const LinePlace *pPlace = journal_.find(lSeq);
        pm_.log().info("[JOURNAL] MSG_SEQ:%ld already billed in %s at %ld: deleted without "
                       "writing it again\n",
                       lSeq, pPlace != nullptr ? pPlace->file.c_str() : "",
                       static_cast<long>(planned.start));
        return;
    }
    off_t start = fm_.end() + static_cast<off_t>(out_.size());
    if (start != planned.start) {
        // Not where it was planned: the planned record must not name the place another line fills.
        journal_.erase(lSeq);
        journal_.record(lSeq, {fm_.base_name(), start, start + static_cast<off_t>(planned.unLen)});
    }
    out_.append(lines_, planned.unFrom, planned.unLen);
    written_.push_back(lSeq);
}

int BillingPass::commit() {
    if (!bOpen_ && claimed_.empty()) return 0;
    if (!out_.empty()) {
        journal_.flush();  // the records of the lines reach the journal's file before the lines
        fm_.append(out_);  // on a throw, abandon() drops the rest
        out_.clear();
    }
    if (!written_.empty()) {
        Journal::SyncAlongside journalSync(journal_);
        fm_.sync();
        journalSync.wait();
        if (fm_.removed()) {
            pm_.log().critical("[FILE] %s removed before the commit of its lines: the pass is "
                               "rolled back, its rows come again\n",
                               fm_.file_name().c_str());
            throw BillFileRemoved(fm_.file_name() + " removed before the commit of its lines");
        }
    }
    // From here the lines stay: the ending waits for this commit instead of cutting them.
    if (!gate_.enterCommit()) throw fileutil::Fenced();
    for (long lSeq : written_) journal_.markSynced(lSeq);
    journal_.flush();
    int nLost = 0;
    try {
        nLost = endClaims();
    } catch (...) {
        gate_.leaveCommit();
        throw;
    }
    gate_.leaveCommit();
    return nLost;
}

// The transaction commits, or with a commit per row each row's delete does, after its synced line.
// One that fails may have reached the server: the synced lines stay, and the journal tells a later
// pass that they are billed.
int BillingPass::endClaims() {
    int nLost = 0;
    try {
        if (bPerPass_)
            con_->commit();
        else
            nLost = deleteClaimed();
    } catch (const odbctemplate::OdbcError &e) {
        if (bPerPass_)
            pm_.log().critical("[DB] Commit Fail: %s, %zu rows written come again (%s/%d)\n",
                               e.what(), claimed_.size(), "SelectCdr", __LINE__);
        settleClaims(false);
        throw;
    }
    settleClaims(true);
    return nLost;
}

// A delete that finds the row gone lost it to another session (the other node, whose claim came
// first): its line, the last one and unsettled, is cut off again.
int BillingPass::deleteClaimed() {
    int nLost = 0;
    for (long lSeq : claimed_) {
        if (deleteRow(lSeq)) continue;
        pm_.log().info("[DB:DELETE] MSG_SEQ:%ld already deleted by another session: its line is "
                       "cut off again (%s/%d)\n",
                       lSeq, "SelectCdr", __LINE__);
        fm_.discard_unsettled();
        journal_.erase(lSeq);
        ++nLost;
    }
    return nLost;
}

// The claims are over and their lines stay; the records of committed rows go.
void BillingPass::settleClaims(bool bCommitted) {
    fm_.settle();
    if (bCommitted)
        for (long lSeq : claimed_) journal_.erase(lSeq);
    journal_.flush();
    bOpen_ = false;
    claimed_.clear();
    written_.clear();
}

void BillingPass::abandon() {
    if (bPerPass_ && (bOpen_ || !claimed_.empty())) {
        try {
            if (con_ != nullptr) con_->rollback();
        } catch (const odbctemplate::OdbcError &) {
            // The connection is gone: the server rolled the transaction back.
        }
    }
    out_.clear();
    if (!written_.empty()) {
        fm_.discard_unsettled();
        for (long lSeq : written_) journal_.erase(lSeq);
        journal_.sync();
    }
    eraseUnwritten();
    if (bPerPass_ && !claimed_.empty())
        pm_.log().critical("[DB] %zu rows of the pass not committed: they come again (%s/%d)\n",
                           claimed_.size(), "SelectCdr", __LINE__);
    bOpen_ = false;
    claimed_.clear();
    written_.clear();
}

void BillingPass::eraseUnwritten() {
    bool bErased = false;
    for (; unNextPlanned_ < planned_.size(); ++unNextPlanned_) {
        const PlannedLine &planned = planned_[unNextPlanned_];
        if (planned.bBilled || planned.bSkipped) continue;
        journal_.erase(planned.lSeq);
        bErased = true;
    }
    if (bErased) journal_.sync();
}

}  // namespace kest
