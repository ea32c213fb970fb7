// Process lock, sleeps, number parsing, enumeration texts, output on the way out, runtime root.
#include "base/util.h"

#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/error.h"
#include "file/file.h"

namespace {

constexpr size_t kLockPathSize = 256;
constexpr size_t kStdoutLineSize = 1024;

FILE *pFileProcLoc = nullptr;
thread_local unsigned int __unChkLastRunTime = 0;

// The error names the component that failed.
int MakeLockDirectories(const char *pcFilePath) {
    std::string failed;
    if (Make_ParentDirectories(pcFilePath, 0755, false, &failed) == 0) return 0;
    SET_ERROR(EINVAL, "Key Path Create Fail (KeyFilePath[%s]/Dir[%s])", pcFilePath,
              failed.substr(failed.rfind('/') + 1).c_str());
    return -1;
}

// A forked child does not hold the record lock: its stream copy is dropped, the file untouched.
void ForgetLockInChild() {
    if (pFileProcLoc == nullptr) return;
    close(fileno(pFileProcLoc));
    pFileProcLoc = nullptr;
}

int WaitFor(long lSec, long lUsec) {
    timeval tv{};
    tv.tv_sec = lSec;
    tv.tv_usec = lUsec;
    return select(0, nullptr, nullptr, nullptr, &tv) < 0 ? -1 : 0;
}

// False when pcText does not fit. Async-signal-safe.
bool AppendText(char *pcOut, size_t unSize, size_t *punLen, const char *pcText) {
    if (unSize == 0) return false;
    for (; *pcText != '\0'; ++pcText) {
        if (*punLen + 1 >= unSize) return false;
        pcOut[(*punLen)++] = *pcText;
    }
    pcOut[*punLen] = '\0';
    return true;
}

// Without stdio, which is not async-signal-safe.
bool NumberedName(char *pcOut, size_t unSize, const char *pcStem, int n, const char *pcExt) {
    char szNumber[16];
    char *pcNumber = szNumber + sizeof(szNumber);
    *--pcNumber = '\0';
    for (unsigned int u = static_cast<unsigned int>(n); u != 0; u /= 10)
        *--pcNumber = static_cast<char>('0' + u % 10);
    *--pcNumber = '.';
    size_t unLen = 0;
    return AppendText(pcOut, unSize, &unLen, pcStem) &&
           (n == 0 || AppendText(pcOut, unSize, &unLen, pcNumber)) &&
           AppendText(pcOut, unSize, &unLen, pcExt);
}

bool IsNullArg(const char *p, const char *pcName) {
    if (p != nullptr) return false;
    SET_ERROR(EINVAL, "%s is NULL", pcName);
    return true;
}

bool IsTooSmall(long lValue, const char *pcName, const char *pcFunc) {
    if (lValue > 0) return false;
    __Set_Error(EINVAL, pcFunc, __LINE__, "%s is small[%d] (%s/%d)", pcName,
                static_cast<int>(lValue), pcFunc, __LINE__);
    return true;
}

}  // namespace

int Lock_Process(const char *pcFilePath) {
    if (pFileProcLoc != nullptr) return 0;
    if (IsNullArg(pcFilePath, "pcFilePath")) return -1;
    if (MakeLockDirectories(pcFilePath) != 0) return -1;

    char szLockPath[kLockPathSize];
    snprintf(szLockPath, sizeof(szLockPath), "%s.lock", pcFilePath);
    // Opened without truncation: a refused lock must leave the owner's pid.
    int fd = open(szLockPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    FILE *pFile = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (pFile == nullptr) {
        if (fd >= 0) close(fd);
        fprintf(stderr, "[PROC_LOCK] Fail to open [%s]\n", szLockPath);
        return -1;
    }
    if (lockf(fd, F_TLOCK, 0) != 0) {
        int nErr = errno;
        fclose(pFile);
        errno = nErr;
        fprintf(stderr, "[PROC_LOCK] Lock Error [%s] [%s]\n", szLockPath, StrError(nErr));
        return -1;
    }
    if (ftruncate(fd, 0) != 0 || fprintf(pFile, "%-10d\n", static_cast<int>(getpid())) < 0 ||
        fflush(pFile) != 0) {
        SET_ERROR(errno, "Failed write pid[%s]", szLockPath);
        lseek(fd, 0, SEEK_SET);
        lockf(fd, F_ULOCK, 0);
        fclose(pFile);
        return -1;
    }
    static bool bAtForkSet = false;
    if (!bAtForkSet) bAtForkSet = pthread_atfork(nullptr, nullptr, ForgetLockInChild) == 0;
    pFileProcLoc = pFile;
    return 0;
}

int UnLock_Process() {
    if (pFileProcLoc == nullptr) return -1;
    int fd = fileno(pFileProcLoc);
    // lockf works from the current offset; the pid was written past 0.
    lseek(fd, 0, SEEK_SET);
    if (lockf(fd, F_ULOCK, 0) != 0) {
        fprintf(stderr, "[PROC_LOCK] Unlock Error [%s]\n", strerror(errno));
        return -1;
    }
    fclose(pFileProcLoc);
    pFileProcLoc = nullptr;
    return 0;
}

int Sleep(int nSec) {
    if (IsTooSmall(nSec, "nSec", __func__)) return -1;
    return WaitFor(nSec, 0);
}

int Sleep_m(int nMsec) {
    if (IsTooSmall(nMsec, "nMsec", __func__)) return -1;
    return WaitFor(nMsec / 1000, (nMsec % 1000) * 1000L);
}

int Sleep_u(long lUsec) {
    if (IsTooSmall(lUsec, "lUsec", __func__)) return -1;
    return WaitFor(lUsec / 1000000L, lUsec % 1000000L);
}

int Atoi(const char *pcSrc) { return StrToi(pcSrc, 10); }

unsigned int Atoui(const char *pcSrc) {
    if (IsNullArg(pcSrc, "pcSrc")) return 0;
    errno = 0;
    unsigned long long ullValue = strtoull(pcSrc, nullptr, 10);
    if (errno == ERANGE || ullValue > UINT_MAX) return 0;
    return static_cast<unsigned int>(ullValue);
}

int StrToi(const char *pcData, int nBase) {
    if (IsNullArg(pcData, "pcData")) return -1;
    return static_cast<int>(strtol(pcData, nullptr, nBase));
}

long StrTol(const char *pcData, int nBase) {
    if (IsNullArg(pcData, "pcData")) return -1;
    return strtol(pcData, nullptr, nBase);
}

float StrTof(const char *pcData) {
    if (IsNullArg(pcData, "pcData")) return -1.0f;
    return strtof(pcData, nullptr);
}

double StrTod(const char *pcData) {
    if (IsNullArg(pcData, "pcData")) return -1.0;
    return strtod(pcData, nullptr);
}

unsigned int Get_ThrId() { return static_cast<unsigned int>(syscall(SYS_gettid)); }

u_int ChkRunTime() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    unsigned int unNow =
        static_cast<unsigned int>((tv.tv_sec % 3600) * 1000 + tv.tv_usec / 1000);
    unsigned int unElapsed = unNow - __unChkLastRunTime;
    __unChkLastRunTime = unNow;
    return unElapsed;
}

// The texts are indexed by the enumerations' values.
const char *Str_MsgType(unsigned int unType) {
    static const char *const kTexts[] = {"Unknow", "REQ", "RSP", "RPT"};
    return unType < std::size(kTexts) ? kTexts[unType] : kTexts[0];
}

const char *Str_HuntMethod(unsigned int unMethod) {
    static const char *const kTexts[] = {"DIS", "STAC", "ASCD", "DECD", "ODD", "RAND"};
    return unMethod < std::size(kTexts) ? kTexts[unMethod] : "UNKNOWN";
}

const char *Str_OPSTS(unsigned int unState) {
    static const char *const kTexts[] = {"OOS", "INS", "NOTUSE"};
    return unState < std::size(kTexts) ? kTexts[unState] : "UNKNOWN";
}

size_t Write_Now(int nFd, const char *pcText, size_t unLen) {
    size_t unDone = 0;
    while (unDone < unLen) {
        size_t unPiece = std::min(unLen - unDone, static_cast<size_t>(PIPE_BUF));
        ssize_t n = send(nFd, pcText + unDone, unPiece, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) {
            pollfd stPoll{nFd, POLLOUT, 0};
            n = poll(&stPoll, 1, 0) == 1 && (stPoll.revents & POLLOUT) != 0
                    ? write(nFd, pcText + unDone, unPiece)
                    : -1;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        unDone += static_cast<size_t>(n);
    }
    return unDone;
}

void Flush_StdoutNow() {
    if (ftrylockfile(stdout) != 0) return;
    size_t unPending = __fpending(stdout);
    if (unPending > 0) Write_Now(STDOUT_FILENO, stdout->_IO_write_base, unPending);
    __fpurge(stdout);
    funlockfile(stdout);
}

int Print_StdoutNow(const char *pcFormat, ...) {
    char szLine[kStdoutLineSize];
    va_list args;
    va_start(args, pcFormat);
    int nLen = vsnprintf(szLine, sizeof(szLine), pcFormat, args);
    va_end(args);
    if (nLen < 0) return -1;
    size_t unLen = std::min(static_cast<size_t>(nLen), sizeof(szLine) - 1);
    Flush_StdoutNow();
    size_t unDone = Write_Now(STDOUT_FILENO, szLine, unLen);
    return unDone == unLen ? static_cast<int>(unDone) : -1;
}

const char *Get_OrvoTmpRoot() {
    const char *pcRoot = getenv(ORVO_TMP_ROOT_ENV);
    return (pcRoot != nullptr && pcRoot[0] != '\0') ? pcRoot : ORVO_TMP_ROOT_DEFAULT;
}

int Create_NewFile(const char *pcPath, mode_t mode) {
    // O_EXCL with O_CREAT fails on any existing name, a dangling link too.
    int fd = open(pcPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    if (fchmod(fd, mode) != 0) {
        int nErr = errno;
        close(fd);
        unlink(pcPath);
        errno = nErr;
        return -1;
    }
    return fd;
}

int Create_NewNumberedFile(char *pcName, size_t unSize, const char *pcStem, const char *pcExt,
                           int nTries, mode_t mode) {
    errno = EEXIST;
    for (int i = 0; i < nTries; ++i) {
        if (!NumberedName(pcName, unSize, pcStem, i, pcExt)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = Create_NewFile(pcName, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}
