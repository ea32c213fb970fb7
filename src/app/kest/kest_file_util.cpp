// File steps shared by the bill and reject files.
#include "kest_file_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kest::fileutil {

FILE *OpenForAppend(const std::string &path) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) return nullptr;
    FILE *pStream = fdopen(fd, "a+");
    if (pStream == nullptr) {
        int nErr = errno;
        close(fd);
        errno = nErr;
    }
    return pStream;
}

int SyncDirectoryOf(const std::string &path) {
    std::string dir = path.substr(0, path.find_last_of('/') + 1);
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int nErr = fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
    close(fd);
    return nErr;
}

}  // namespace kest::fileutil
