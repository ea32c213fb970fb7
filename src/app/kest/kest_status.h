// Internal to the daemon: the status file, in the node-exporter textfile format. It is rewritten
// whole after every pass (at most once a second while rows keep coming) and on every connect and
// drop, so monitoring sees a daemon that runs but moves no rows: its last pass time stops.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
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
};

// The file's text (metric families prefixed "kest_").
std::string FormatStatus(const StatusSnapshot &stSnap);

// Replaces the file at path with text through a temporary file in the same directory and a rename:
// a reader sees the old or the new text, never a mix. The temporary file is made new under a random
// name with mode 0640 (whatever the umask), so that a name others planted in the folder is never
// followed or written. 0 on success, otherwise the errno of the failing step.
int ReplaceFile(const std::string &path, const std::string &text);

// The status of this process. Only the thread that runs the cycle calls it.
class StatusFile {
  public:
    // An empty path disables the file; the counters are kept all the same.
    explicit StatusFile(std::string path);

    void connected(bool bUp);
    void modes(bool bCommitPerPass, bool bJournal);  // shown with the next write
    void passDone(int nRows, const std::string &billFile);
    // Rows billed by a pass that did not complete (database error, role lost); shown next write.
    void rowsBilled(int nRows);
    // A row set aside in the reject file and deleted; shown with the next write.
    void rowRejected();

    const StatusSnapshot &snapshot() const { return snap_; }

  private:
    void publish();

    std::string path_;
    StatusSnapshot snap_;
    bool bFailing_ = false;  // the last write failed (reported once)
};

// The process's StatusFile at the STATUS_FILE path; the database selecter keeps it.
StatusFile &ProcessStatus();

}  // namespace kest
