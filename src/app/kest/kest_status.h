// Internal to the daemon: the status file, in the node-exporter textfile format, rewritten whole
// after passes (at most once a second while rows come) and on each connect and drop, so a stalled
// cycle shows. Every ending writes it once more, kest_up 0 and the reason: a stop reads as one.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace kest {

struct StatusSnapshot {
    int nRole = 0;              // HA_MODE value, 0 before any role is known
    std::string role;           // its name, e.g. "ACTIVE_SYSTEM"
    bool bConnected = false;    // database connection and statements ready
    bool bCommitPerPass = false;  // AUTO_COMMIT = 0: one commit per pass
    bool bJournal = false;        // the journal of written rows is in use
    uint64_t ulRowsBilled = 0;  // rows written and deleted since start
    uint64_t ulRowsRejected = 0;  // rows set aside in the reject file and deleted
    uint64_t ulPasses = 0;      // passes of the cycle that completed
    time_t tLastPass = 0;       // end of the last completed pass; 0: none yet
    std::string billFile;       // bill file in use; empty until the first row
    time_t tStarted = 0;        // process start
    time_t tWritten = 0;        // when this text was made
    bool bUp = true;            // false in the ending's text
    std::string exitReason;     // the ending's: stop, hand_over, fatal or fault; empty while up
    int nBillWritable = -1;     // the bill folder takes a new file (1/0); -1 before the first check
    int nRejectWritable = -1;   // the same for the reject folder
};

// The file's text (metric families prefixed "kest_").
std::string FormatStatus(const StatusSnapshot &stSnap);

// Replaces the file at path with text through a temporary file in the same directory and a rename:
// a reader sees the old or the new text, never a mix. The temporary file is made new under a random
// name with mode 0640 (whatever the umask), so that a name others planted in the folder is never
// followed or written. 0 on success, otherwise the errno of the failing step.
int ReplaceFile(const std::string &path, const std::string &text);

// The status of this process. The thread that runs the cycle updates it; an ending (another
// thread) writes its last text.
class StatusFile {
  public:
    // An empty path disables the file; the counters are kept all the same.
    explicit StatusFile(std::string path);
    StatusFile(const StatusFile &) = delete;
    StatusFile &operator=(const StatusFile &) = delete;

    // The first text of a process that holds its lock: up, nothing done yet.
    void start();
    // The folders' health (1/0; -1: not watched); written when it changes.
    void folders(int nBillWritable, int nRejectWritable);
    // The ending's text (kest_up 0, the reason), once; the cycle writes nothing after it. A process
    // that never wrote the file (one refused by the lock) leaves it to its owner. Any thread.
    void ended(const char *pcReason);
    // The ending's text with reason "fault", as prepared at the last write, through plain system
    // calls only: for a fault handler. Nothing when no text is prepared.
    void endedByFault();

    void connected(bool bUp);
    void modes(bool bCommitPerPass, bool bJournal);  // shown with the next write
    void passDone(int nRows, const std::string &billFile);
    // Rows billed by a pass that did not complete (database error, role lost); shown next write.
    void rowsBilled(int nRows);
    // A row set aside in the reject file and deleted; shown with the next write.
    void rowRejected();

    const StatusSnapshot &snapshot() const { return snap_; }

  private:
    static constexpr size_t kFaultTextSize = 8192;

    void publish();
    void write();
    void prepareFaultText();

    std::mutex mutex_;  // the snapshot and the file, between the cycle and the ending
    std::string path_;
    StatusSnapshot snap_;
    bool bFailing_ = false;  // the last write failed (reported once)
    std::atomic<bool> bEnded_{false};
    // Two copies of the fault text, so that a fault meets a whole one while the next is made.
    char szFaultText_[2][kFaultTextSize] = {};
    size_t unFaultLen_[2] = {};
    std::atomic<int> nFaultCurrent_{-1};
    std::string faultTemp_;  // the fault's temporary file name, fixed
};

// The process's StatusFile at the STATUS_FILE path; the database selecter keeps it.
StatusFile &ProcessStatus();

}  // namespace kest
