// Folder health: a probe file and the free room of the bill and reject folders
// (kest_folder_health.h).
#include "kest_folder_health.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/util.h"

namespace kest {

namespace {

// Hidden, and shaped like no bill or reject file: collectors never take it.
std::string ProbeName(const std::string &dir) {
    return dir + "/.kest-probe." + std::to_string(getpid());
}

std::string MiB(uint64_t ulBytes) {
    return std::to_string(ulBytes / (1024 * 1024)) + " MiB";
}

}  // namespace

Verdict ProbeFolder(const std::string &dir) {
    std::string probe = ProbeName(dir);
    unlink(probe.c_str());  // left by a process of this pid that was killed between the two steps
    int fd = Create_NewFile(probe.c_str(), 0600);
    if (fd < 0)
        return {false, strerror(errno)};
    close(fd);
    unlink(probe.c_str());
    struct statvfs stFs {};
    if (statvfs(dir.c_str(), &stFs) != 0)
        return {false, "room unknown: " + std::string(strerror(errno))};
    uint64_t ulFree = static_cast<uint64_t>(stFs.f_bavail) * stFs.f_frsize;
    if (ulFree < kFolderMinFreeBytes)
        return {false, "no room: " + MiB(ulFree) + " free"};
    // A file system without an inode count reports none at all.
    if (stFs.f_files > 0 && stFs.f_favail == 0)
        return {false, "no free inodes"};
    return {true, MiB(ulFree) + " free"};
}

}  // namespace kest
