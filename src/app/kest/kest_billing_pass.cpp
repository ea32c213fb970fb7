// One pass's lines, syncs, deletes and commit, in the order that keeps every
// delete behind the line of its row.
#include "kest_billing_pass.h"

#include <stdexcept>
#include <string>
#include <utility>

#include "odbc/odbc_error.h"

namespace kest {

namespace {
constexpr const char *kDeleteSql = "DELETE FROM TSMS_SND_MSG WHERE MSG_SEQ = ?;";
}

BillingPass::BillingPass(FileManager &fm, Journal &journal, bool bPerPass)
    : fm_(fm), journal_(journal), pm_(*KestManager::getInstance()), bPerPass_(bPerPass) {}

void BillingPass::begin(odbctemplate::OdbcConnect &con,
                        odbctemplate::OdbcpreparedStmt &deleteStmt) {
    eraseUnwritten();
    con_ = &con;
    delete_ = &deleteStmt;
    waiting_.clear();
    unsynced_.clear();
    planned_.clear();
    unNextPlanned_ = 0;
    nCommitted_ = 0;
}

void BillingPass::plan(long lSeq, std::string line) {
    if (planned_.empty()) plannedEnd_ = fm_.end();
    const LinePlace *pPlace = journal_.find(lSeq);
    if (pPlace != nullptr && journal_.holds(*pPlace, line)) {
        planned_.push_back({lSeq, std::move(line), true, *pPlace});
        return;
    }
    off_t start = plannedEnd_;
    plannedEnd_ += static_cast<off_t>(line.size());
    // A process killed before the line is written leaves a record whose line
    // is not in place, which the next start erases.
    LinePlace place{fm_.base_name(), start, plannedEnd_};
    journal_.record(lSeq, place);
    planned_.push_back({lSeq, std::move(line), false, std::move(place)});
}

void BillingPass::writeLine(long lSeq) {
    if (unNextPlanned_ >= planned_.size() || planned_[unNextPlanned_].lSeq != lSeq)
        throw std::runtime_error("bill line of MSG_SEQ:" + std::to_string(lSeq) + " not planned");
    const PlannedLine &planned = planned_[unNextPlanned_++];
    if (planned.bBilled) {
        pm_.log().info("[JOURNAL] MSG_SEQ:%ld already billed in %s at %ld: deleted without "
                       "writing it again\n",
                       lSeq, planned.place.file.c_str(), static_cast<long>(planned.place.start));
        return;
    }
    off_t start = fm_.end();
    off_t end = start + static_cast<off_t>(planned.line.size());
    if (start != planned.place.start) {
        // Not where it was planned: the planned record must not name the
        // place another line fills.
        journal_.erase(lSeq);
        journal_.record(lSeq, {fm_.base_name(), start, end});
    }
    fm_.append(planned.line);
    unsynced_.push_back(lSeq);
}

void BillingPass::deleteRow(long lSeq) {
    waiting_.push_back(lSeq);
    if (!bPerPass_) finish();
}

void BillingPass::finish() {
    // Even a pass without rows ends its transaction: an open one would keep
    // its snapshot (later rows unseen) and its lock on the table's definition.
    if (waiting_.empty() && unsynced_.empty() && !bPerPass_) return;
    {
        Journal::SyncAlongside journalSync(journal_);
        fm_.sync();
        journalSync.wait();
    }
    unsynced_.clear();
    for (long lSeq : waiting_) deleteNow(lSeq);
    if (bPerPass_) {
        try {
            con_->commit();
        } catch (const odbctemplate::OdbcError &e) {
            pm_.log().critical("[DB] Commit Fail: %s, %zu rows written come again (%s/%d)\n",
                               e.what(), waiting_.size(), "SelectCdr", __LINE__);
            waiting_.clear();  // reported here; the journal keeps their places
            throw;
        }
    }
    for (long lSeq : waiting_) journal_.forget(lSeq);
    nCommitted_ += static_cast<int>(waiting_.size());
    waiting_.clear();
}

void BillingPass::deleteNow(long lSeq) {
    long lDeleted = delete_->bindExecute(lSeq).getDeleteRowCount();
    if (lDeleted > 0)
        pm_.log().debug("[DB:DELETE] %s MSG_SEQ:%ld, Count:%ld (%s/%d)\n", kDeleteSql, lSeq,
                        lDeleted, "SelectCdr", __LINE__);
}

void BillingPass::abandon() {
    if (bPerPass_ && con_ != nullptr) {
        try {
            con_->rollback();
        } catch (const odbctemplate::OdbcError &) {
            // The connection is gone: the server rolled the transaction back.
        }
    }
    if (!unsynced_.empty()) {
        fm_.discard_unsynced();
        for (long lSeq : unsynced_) journal_.erase(lSeq);
        journal_.sync();
    }
    eraseUnwritten();
    if (bPerPass_ && !waiting_.empty())
        pm_.log().critical("[DB] %zu rows of the pass not committed: they come again (%s/%d)\n",
                           waiting_.size(), "SelectCdr", __LINE__);
    waiting_.clear();
    unsynced_.clear();
}

void BillingPass::eraseUnwritten() {
    bool bErased = false;
    for (; unNextPlanned_ < planned_.size(); ++unNextPlanned_) {
        const PlannedLine &planned = planned_[unNextPlanned_];
        if (planned.bBilled) continue;
        journal_.erase(planned.lSeq);
        bErased = true;
    }
    if (bErased) journal_.sync();
}

}  // namespace kest
