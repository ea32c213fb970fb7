// The append-only file of the bill and reject writers.
#include "kest_file_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "kest_manager.h"

namespace kest::fileutil {

namespace {

// Bill and reject records carry subscribers' numbers, no business of other users: 0640 less umask.
constexpr mode_t kFileMode = 0640;
// The ending waits this long for a write of the worker to finish.
constexpr std::chrono::seconds kFenceWait(1);

bool SameFile(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

template <typename Byte, typename Transfer>
bool TransferAll(Transfer transfer, int fd, Byte *pc, size_t unLen, off_t offset) {
    while (unLen > 0) {
        ssize_t n = transfer(fd, pc, unLen, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        pc += n;
        unLen -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

bool HasShape(const std::string &name, const char *pcShape) {
    size_t i = 0;
    for (; pcShape[i] != '\0'; ++i) {
        if (i >= name.size()) return false;
        bool bDigit = name[i] >= '0' && name[i] <= '9';
        if (pcShape[i] == '#' ? !bDigit : name[i] != pcShape[i]) return false;
    }
    return i == name.size();
}

}  // namespace

bool PreadAll(int fd, void *pBuf, size_t unLen, off_t offset) {
    return TransferAll(::pread, fd, static_cast<char *>(pBuf), unLen, offset);
}

bool PwriteAll(int fd, const void *pBuf, size_t unLen, off_t offset) {
    return TransferAll(::pwrite, fd, static_cast<const char *>(pBuf), unLen, offset);
}

int SyncDirectoryOf(const std::string &path) {
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int nErr = fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
    ::close(fd);
    return nErr;
}

AppendFile::AppendFile(WholeSizeFn wholeSize, bool bSync) : wholeSize_(wholeSize), bSync_(bSync) {}

AppendFile::~AppendFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool AppendFile::atPath(const std::string &path) const {
    struct stat stPath {}, stOpen {};
    return stat(path.c_str(), &stPath) == 0 && fstat(fd_, &stOpen) == 0 &&
           SameFile(stPath, stOpen);
}

AppendFile::Opened AppendFile::open(const std::string &path) {
    Opened result = Opened::Opened;
    if (fd_ >= 0 && path == path_) {
        if (atPath(path)) return Opened::Kept;
        result = Opened::Replaced;
    }
    close();
    path_ = path;
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kFileMode);
    if (fd < 0) return Opened::OpenFailed;
    struct stat st {};
    off_t size = fstat(fd, &st) == 0 ? st.st_size : 0;
    off_t whole = wholeSize_(fd);
    // Unreadable, or a cut that fails: the file stays as it is.
    if (whole < 0 || (whole != size && ftruncate(fd, whole) != 0)) whole = size;
    // Rows of records in a file whose name may not survive a power failure must not be deleted.
    int nErr = size == 0 && bSync_ ? SyncDirectoryOf(path) : 0;
    if (nErr != 0) {
        ::close(fd);
        errno = nErr;
        return Opened::DirectorySyncFailed;
    }
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    fd_ = fd;
    settled_ = written_ = whole;
    if (result == Opened::Replaced)
        KestManager::getInstance()->log().critical(
            "[FILE] %s moved or removed: the file at its path is used from here on\n",
            path.c_str());
    return result;
}

void AppendFile::close() {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    if (fd_ < 0) return;
    off_t whole = wholeSize_(fd_);
    if (whole >= 0 && whole < written_) cutTo(whole);
    ::close(fd_);
    fd_ = -1;
    settled_ = written_ = 0;
}

void AppendFile::settle() {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    settled_ = written_;
}

bool AppendFile::append(const std::string &text) {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    if (bFenced_) throw Fenced();
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    ssize_t n = write(fd_, text.data(), text.size());
    if (n == static_cast<ssize_t>(text.size())) {
        written_ += n;
        return true;
    }
    int nErr = n < 0 ? errno : ENOSPC;  // a short write on a regular file: the disk is full
    cutTo(written_);
    errno = nErr;
    return false;
}

bool AppendFile::sync() { return fd_ >= 0 && (!bSync_ || fdatasync(fd_) == 0); }

bool AppendFile::cutTo(off_t size) {
    if (ftruncate(fd_, size) != 0) return false;
    written_ = size;
    return true;
}

bool AppendFile::discardUnsettled() {
    std::lock_guard<std::timed_mutex> lock(writeMutex_);
    if (fd_ < 0 || written_ == settled_) return true;
    return cutTo(settled_) && sync();
}

void AppendFile::abandon() {
    int nErr = errno;
    discardUnsettled();
    close();
    errno = nErr;
}

bool AppendFile::removed() const {
    struct stat st {};
    return fd_ >= 0 && fstat(fd_, &st) == 0 && st.st_nlink == 0;
}

void AppendFile::fence() {
    // A worker stuck inside a write keeps the lock: its bytes stay, as the restart's journal check
    // and torn-tail cut take care of them.
    std::unique_lock<std::timed_mutex> lock(writeMutex_, kFenceWait);
    if (!lock.owns_lock()) return;
    bFenced_ = true;
    if (fd_ >= 0 && written_ != settled_ && cutTo(settled_)) sync();
}

namespace {

void CutTornTail(const std::string &path, WholeSizeFn wholeSize, bool bSync) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0 && errno == ENOENT) return;
    struct stat st {};
    off_t whole = 0;
    bool bOk = fd >= 0 && fstat(fd, &st) == 0;
    if (bOk && S_ISREG(st.st_mode)) {
        whole = wholeSize(fd);
        bOk = whole >= 0 && (whole == st.st_size || (ftruncate(fd, whole) == 0 &&
                                                      (!bSync || fdatasync(fd) == 0)));
    }
    int nErr = errno;
    if (fd >= 0) ::close(fd);
    OrvoLogger &log = KestManager::getInstance()->log();
    if (!bOk)
        log.critical("[FILE] %s torn line check fail : %s\n", path.c_str(), strerror(nErr));
    else if (S_ISREG(st.st_mode) && whole < st.st_size)
        log.critical("[FILE] %s ended in a torn line: %ld bytes cut off\n", path.c_str(),
                     static_cast<long>(st.st_size - whole));
}

std::string NewestIn(const std::string &folder, const char *pcShape) {
    std::string newest;
    if (DIR *pDir = opendir(folder.c_str())) {
        while (const dirent *pEntry = readdir(pDir)) {
            std::string name = pEntry->d_name;
            if (HasShape(name, pcShape) && name > newest) newest = name;
        }
        closedir(pDir);
    }
    return newest;
}

}  // namespace

void CutTornTails(const std::string &folder, const char *pcShape, std::set<std::string> names,
                  WholeSizeFn wholeSize, bool bSync) {
    names.insert(NewestIn(folder, pcShape));
    for (const std::string &name : names)
        if (HasShape(name, pcShape)) CutTornTail(folder + "/" + name, wholeSize, bSync);
}

}  // namespace kest::fileutil
