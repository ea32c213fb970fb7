// Folder health: a probe file and the free room of the bill and reject folders
// (kest_folder_health.h).
#include "kest_folder_health.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/util.h"
#include "event_loop/Timer.h"
#include "kest_status.h"

namespace kest {

namespace {

std::string MiB(uint64_t ulBytes) {
    return std::to_string(ulBytes / (1024 * 1024)) + " MiB";
}

}  // namespace

Verdict ProbeFolder(const std::string &dir) {
    // Hidden, and shaped like no bill or reject file: collectors never take it.
    std::string probe = dir + "/.kest-probe." + std::to_string(getpid());
    unlink(probe.c_str());  // left by a process of this pid that was killed between the two steps
    int fd = Create_NewFile(probe.c_str(), 0600);
    if (fd < 0) return {false, strerror(errno)};
    close(fd);
    unlink(probe.c_str());
    struct statvfs stFs {};
    if (statvfs(dir.c_str(), &stFs) != 0)
        return {false, "room unknown: " + std::string(strerror(errno))};
    uint64_t ulFree = static_cast<uint64_t>(stFs.f_bavail) * stFs.f_frsize;
    if (ulFree < kFolderMinFreeBytes) return {false, "no room: " + MiB(ulFree) + " free"};
    // A file system without an inode count reports none at all.
    if (stFs.f_files > 0 && stFs.f_favail == 0) return {false, "no free inodes"};
    return {true, MiB(ulFree) + " free"};
}

FolderHealth::FolderHealth(EventCLoop::Epoll &loop)
    : epoll(loop), pm(*KestManager::getInstance()) {}

void FolderHealth::start() {
    nBill = verdict("Bill", pm.bill.BILL_PATH, nBill);
    // Without a reject folder a row that cannot be billed ends the process: nothing to watch.
    if (pm.bill.REJECT_PATH[0] != '\0') nReject = verdict("Reject", pm.bill.REJECT_PATH, nReject);
    ProcessStatus().folders(nBill, nReject);
    EventCLoop::RunAfter(epoll, kIntervalSec, [this](EventCLoop::Error &) { start(); });
}

int FolderHealth::verdict(const char *pcWhat, const std::string &dir, int nLast) {
    Verdict stVerdict = ProbeFolder(dir);
    int nNow = stVerdict.bOk ? 1 : 0;
    if (nNow == nLast || (nLast < 0 && nNow == 1)) return nNow;
    if (nNow == 0)
        pm.log().critical("[FOLDER] %s folder %s cannot take a new file: %s\n", pcWhat, dir.c_str(),
                          stVerdict.detail.c_str());
    else
        pm.log().critical("[FOLDER] %s folder %s takes new files again: %s\n", pcWhat, dir.c_str(),
                          stVerdict.detail.c_str());
    return nNow;
}

}  // namespace kest
