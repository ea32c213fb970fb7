// The status file: counters of the cycle, rewritten whole after passes (kest_status.h).
#include "kest_status.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/util.h"
#include "kest_file_util.h"
#include "kest_manager.h"

namespace kest {

namespace {

// Not ending in ".prom": a collector never reads a half-written file.
constexpr const char *kTempSuffix = ".tmp.";
// Readable by the monitoring group, whatever the umask.
constexpr mode_t kStatusMode = 0640;
// Fresh random names to try when one is taken (by a leftover or by others).
constexpr int kTempTries = 8;

// Label values are double-quoted; backslash, quote and line feed are escaped.
std::string LabelValue(const std::string &value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"' || c == '\n') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

void Metric(std::string &out, const char *pcName, const char *pcType, const char *pcHelp,
            const std::string &labels, unsigned long long ullValue) {
    char szLine[256];
    snprintf(szLine, sizeof(szLine), "# HELP %s %s\n# TYPE %s %s\n", pcName, pcHelp, pcName,
             pcType);
    out += szLine;
    out += pcName;
    out += labels;
    out += ' ';
    out += std::to_string(ullValue);
    out += '\n';
}

std::string RandomSuffix() {
    uint64_t ulRandom = 0;
    // Without the kernel's randomness a guessable name is still safe (it is made new or refused);
    // only a taken one costs a try.
    if (getrandom(&ulRandom, sizeof(ulRandom), 0) != static_cast<ssize_t>(sizeof(ulRandom)))
        ulRandom = static_cast<uint64_t>(time(nullptr)) << 20 ^ static_cast<uint64_t>(getpid());
    char szHex[17];
    snprintf(szHex, sizeof(szHex), "%016llx", static_cast<unsigned long long>(ulRandom));
    return szHex;
}

// The temporary copy "<path>.tmp.<random>", made new in the file's folder (which others may write):
// a name already there is never followed or reused. Its descriptor, or -1 with errno set.
int CreateTemp(const std::string &path, std::string &temp) {
    for (int i = 0; i < kTempTries; ++i) {
        temp = path + kTempSuffix + RandomSuffix();
        int fd = Create_NewFile(temp.c_str(), kStatusMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

unsigned long long Seconds(time_t t) {
    return t > 0 ? static_cast<unsigned long long>(t) : 0;
}

}  // namespace

std::string FormatStatus(const StatusSnapshot &stSnap) {
    std::string out;
    Metric(out, "kest_up", "gauge", "1 while the daemon runs; 0 written on every ending.", "",
           stSnap.bUp ? 1 : 0);
    Metric(out, "kest_build_info", "gauge", "Version of the running daemon.",
           "{version=\"" + LabelValue(KEST_VERSION) + "\"}", 1);
    if (!stSnap.exitReason.empty())
        Metric(out, "kest_exit_info", "gauge",
               "Why the daemon ended: stop, hand_over, fatal or fault.",
               "{reason=\"" + LabelValue(stSnap.exitReason) + "\"}", 1);
    if (stSnap.nBillWritable >= 0)
        Metric(out, "kest_bill_folder_writable", "gauge",
               "1 while the bill folder takes a new file and has room.", "",
               static_cast<unsigned long long>(stSnap.nBillWritable));
    if (stSnap.nRejectWritable >= 0)
        Metric(out, "kest_reject_folder_writable", "gauge",
               "1 while the reject folder takes a new file and has room.", "",
               static_cast<unsigned long long>(stSnap.nRejectWritable));
    Metric(out, "kest_role", "gauge", "HA role of the node (1 init, 2 standby, 3 active, 0 none).",
           "{role=\"" + LabelValue(stSnap.role) + "\"}",
           stSnap.nRole > 0 ? static_cast<unsigned long long>(stSnap.nRole) : 0);
    Metric(out, "kest_db_connected", "gauge",
           "1 while the database connection and its statements are ready.", "",
           stSnap.bConnected ? 1 : 0);
    Metric(out, "kest_commit_per_pass", "gauge",
           "1: one commit per pass (AUTO_COMMIT = 0); 0: each delete commits on its own.", "",
           stSnap.bCommitPerPass ? 1 : 0);
    Metric(out, "kest_journal", "gauge",
           "1 while the journal of written rows is in use (a restart bills no row twice).", "",
           stSnap.bJournal ? 1 : 0);
    Metric(out, "kest_rows_billed_total", "counter",
           "Rows written to the bill file and deleted since start.", "", stSnap.ulRowsBilled);
    Metric(out, "kest_rows_rejected_total", "counter",
           "Rows that could not be billed, set aside in the reject file and deleted since start.",
           "", stSnap.ulRowsRejected);
    Metric(out, "kest_passes_total", "counter", "Completed passes of the select cycle since start.",
           "", stSnap.ulPasses);
    Metric(out, "kest_last_pass_timestamp_seconds", "gauge",
           "Unix time of the last completed pass (0: none yet); stops moving when the cycle "
           "stalls.",
           "", Seconds(stSnap.tLastPass));
    Metric(out, "kest_bill_file_info", "gauge", "Bill file in use (empty before the first row).",
           "{file=\"" + LabelValue(stSnap.billFile) + "\"}", 1);
    Metric(out, "kest_start_time_seconds", "gauge", "Unix time the daemon started its cycle.", "",
           Seconds(stSnap.tStarted));
    Metric(out, "kest_status_time_seconds", "gauge", "Unix time this file was written.", "",
           Seconds(stSnap.tWritten));
    return out;
}

int ReplaceFile(const std::string &path, const std::string &text) {
    std::string temp;
    int fd = CreateTemp(path, temp);
    if (fd < 0) return errno;
    int nErr = fileutil::PwriteAll(fd, text.data(), text.size(), 0) ? 0 : errno;
    if (close(fd) != 0 && nErr == 0) nErr = errno;
    if (nErr == 0 && rename(temp.c_str(), path.c_str()) != 0) nErr = errno;
    if (nErr != 0) unlink(temp.c_str());
    return nErr;
}

StatusFile::StatusFile(std::string path)
    : path_(std::move(path)), faultTemp_(path_ + kTempSuffix + "fault") {
    snap_.tStarted = time(nullptr);
}

void StatusFile::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    publish();
}

void StatusFile::connected(bool bUp) {
    std::lock_guard<std::mutex> lock(mutex_);
    snap_.bConnected = bUp;
    publish();
}

void StatusFile::folders(int nBillWritable, int nRejectWritable) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (snap_.nBillWritable == nBillWritable && snap_.nRejectWritable == nRejectWritable) return;
    snap_.nBillWritable = nBillWritable;
    snap_.nRejectWritable = nRejectWritable;
    publish();
}

void StatusFile::modes(bool bCommitPerPass, bool bJournal) {
    std::lock_guard<std::mutex> lock(mutex_);
    snap_.bCommitPerPass = bCommitPerPass;
    snap_.bJournal = bJournal;
}

void StatusFile::rowsBilled(int nRows) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nRows > 0) snap_.ulRowsBilled += static_cast<uint64_t>(nRows);
}

void StatusFile::rowRejected() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++snap_.ulRowsRejected;
}

void StatusFile::passDone(int nRows, const std::string &billFile) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (nRows > 0) snap_.ulRowsBilled += static_cast<uint64_t>(nRows);
    ++snap_.ulPasses;
    snap_.tLastPass = time(nullptr);
    if (!billFile.empty()) snap_.billFile = billFile;
    // Passes with rows come within milliseconds, and a replace costs more than a pass: while they
    // come, the file is replaced at most once a second (its times count seconds). A pass without
    // rows, or after a failed write, always replaces it: counters never lag the one-second poll.
    if (nRows > 0 && !bFailing_ && snap_.tWritten == snap_.tLastPass) return;
    publish();
}

void StatusFile::ended(const char *pcReason) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (snap_.tWritten == 0 || bEnded_.exchange(true)) return;
    snap_.bUp = false;
    snap_.exitReason = pcReason;
    write();
}

void StatusFile::endedByFault() {
    int nCurrent = nFaultCurrent_.load();
    if (nCurrent < 0 || bEnded_.exchange(true)) return;
    unlink(faultTemp_.c_str());  // a leftover of an earlier fault
    int fd = Create_NewFile(faultTemp_.c_str(), kStatusMode);
    if (fd < 0) return;
    bool bWritten = fileutil::PwriteAll(fd, szFaultText_[nCurrent], unFaultLen_[nCurrent], 0);
    if (close(fd) == 0 && bWritten && rename(faultTemp_.c_str(), path_.c_str()) == 0) return;
    unlink(faultTemp_.c_str());
}

// Within the lock, by the cycle: the ending's text, once written, stays.
void StatusFile::publish() {
    if (!bEnded_.load()) write();
}

void StatusFile::write() {
    KestManager &pm = *KestManager::getInstance();
    snap_.nRole = pm.ha.MODE.load();
    snap_.role = pm.ha.getString();
    snap_.tWritten = time(nullptr);
    if (path_.empty()) return;
    if (snap_.bUp) prepareFaultText();
    int nErr = ReplaceFile(path_, FormatStatus(snap_));
    // Reported when it starts and when it ends, not on every pass.
    if (nErr != 0 && !bFailing_)
        pm.log().info("[STATUS] Status file %s not written : %s\n", path_.c_str(), strerror(nErr));
    if (nErr == 0 && bFailing_)
        pm.log().info("[STATUS] Status file %s written again\n", path_.c_str());
    bFailing_ = nErr != 0;
}

void StatusFile::prepareFaultText() {
    StatusSnapshot stFault = snap_;
    stFault.bUp = false;
    stFault.exitReason = "fault";
    std::string text = FormatStatus(stFault);
    int nNext = nFaultCurrent_.load() == 0 ? 1 : 0;
    // A text that does not fit is not prepared: the fault then leaves the file as it is.
    if (text.size() > kFaultTextSize) {
        nFaultCurrent_.store(-1);
        return;
    }
    memcpy(szFaultText_[nNext], text.data(), text.size());
    unFaultLen_[nNext] = text.size();
    nFaultCurrent_.store(nNext);
}

// Without a configuration file (the daemon always has one) there is no status file.
StatusFile &ProcessStatus() {
    static StatusFile stFile(KestManager::getInstance()->common.STATUS_FILE);
    return stFile;
}

}  // namespace kest
