// Internal to the daemon: the append-only file the bill and reject writers share, and file steps.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <set>
#include <stdexcept>
#include <string>

namespace kest::fileutil {

// Makes a new file's name in its directory durable, as fdatasync does not. Returns 0, or the errno
// of the failure; a file system that cannot sync a directory at all (EINVAL, EROFS) counts as done.
int SyncDirectoryOf(const std::string &path);

// Reads or writes all unLen bytes at offset, across short transfers and interrupts; false on a
// failure (errno set) or an early end of the file.
bool PreadAll(int fd, void *pBuf, size_t unLen, off_t offset);
bool PwriteAll(int fd, const void *pBuf, size_t unLen, off_t offset);

// Bytes of the file up to the end of its last whole record; -1 when it cannot be read.
using WholeSizeFn = off_t (*)(int fd);

// Cuts the torn tail a killed process may have left in the newest file of folder whose name has
// shape ('#' any digit: such names sort by date) and in the files of names that have it (a shape
// keeps input names in the folder). Regular files only, never through a link; cuts logged.
void CutTornTails(const std::string &folder, const char *pcShape, std::set<std::string> names,
                  WholeSizeFn wholeSize, bool bSync);

// Thrown by a write after the ending took the pass over: no line may follow the cut of its lines.
struct Fenced : std::runtime_error {
    Fenced() : std::runtime_error("the pass was taken over by the ending of the process") {}
};

// One file of records that only grows, followed at its path: a collector may move or remove it at
// any time, and the next open() uses the file at the path. A tail that is not a whole record (a
// write cut short by a kill) is cut off at open and close. Bytes are settled once the rows of
// their records are committed; those after them may still be cut off.
class AppendFile {
public:
    enum class Opened { Kept, Opened, Replaced, OpenFailed, DirectorySyncFailed };

    // bSync: new names and written records reach the disk (BILL_SYNC).
    AppendFile(WholeSizeFn wholeSize, bool bSync);
    ~AppendFile();
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    // Makes the file at path the open one: Kept when it is already, Opened when another path was
    // open (or none), Replaced (and logged) when the open file has left path (moved, renamed or
    // removed). On a failure (errno set) nothing is open.
    Opened open(const std::string &path);
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const std::string &path() const { return path_; }

    // Appends text in one write; false with errno set when it is not whole in the file (what was
    // written of it is cut off again). Throws Fenced after fence().
    bool append(const std::string &text);
    // Makes the bytes written durable (when syncing); false with errno set.
    bool sync();
    // Cuts off everything after the settled bytes and syncs the cut; false with errno set.
    bool discardUnsettled();
    // After a failed write or sync: cuts off the unsettled bytes and closes the file, so nothing is
    // written after them; errno is kept. Should the cut fail, the next open cuts the torn tail.
    void abandon();
    void settle();
    off_t end() const { return written_; }
    // The open file has no name left: its records reach nobody.
    bool removed() const;
    // From another thread, as the process ends: no byte is appended from here on, and the unsettled
    // ones are cut off (and the cut synced).
    void fence();

private:
    bool atPath(const std::string &path) const;
    bool cutTo(off_t size);

    WholeSizeFn wholeSize_;
    bool bSync_;
    std::string path_;
    int fd_ = -1;
    off_t settled_ = 0;
    off_t written_ = 0;
    // Held while the file, its sizes or its bytes change, so that fence() from the ending thread
    // never interleaves with the worker.
    std::timed_mutex writeMutex_;
    bool bFenced_ = false;
};

}  // namespace kest::fileutil
