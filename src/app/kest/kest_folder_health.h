// Internal to the daemon: whether the bill and reject folders can take a new file. A folder made
// read-only or full shows while today's file is still open, not only at the next day's first row.
#pragma once

#include <cstdint>
#include <string>

#include "event_loop/Epoll.h"
#include "kest_manager.h"

namespace kest {

struct Verdict {
    bool bOk = false;
    std::string detail;  // why not, or the room left
};

// Room a folder must have to count as able to take a new file.
constexpr uint64_t kFolderMinFreeBytes = 1024 * 1024;

// What a new bill or reject file needs, asked as the daemon's own user: a probe file made new and
// removed again (a read-only mount refuses even root), and room on the file system.
Verdict ProbeFolder(const std::string &dir);

// Checks both folders at start-up and then periodically on the reactor, shows them in the status
// file and logs each change at critical level. Lives as long as the process.
class FolderHealth {
  public:
    static constexpr unsigned int kIntervalSec = 15;

    explicit FolderHealth(EventCLoop::Epoll &loop);
    FolderHealth(const FolderHealth &) = delete;
    FolderHealth &operator=(const FolderHealth &) = delete;

    // Checks now (on the thread that will run the reactor, or before it runs), then every
    // kIntervalSec seconds.
    void start();

  private:
    // The folder's verdict, logged when it differs from nLast (-1: none yet); 1 or 0.
    int verdict(const char *pcWhat, const std::string &dir, int nLast);

    EventCLoop::Epoll &epoll;
    KestManager &pm;
    int nBill = -1;
    int nReject = -1;
};

}  // namespace kest
