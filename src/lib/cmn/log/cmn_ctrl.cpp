// Daily log files: names, opening, size rotation within the day.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/error.h"
#include "base/string.h"
#include "file/file.h"
#include "log_internal.h"

namespace {

constexpr uint64_t MEGABYTE = 1u << 20;
constexpr uint32_t MAX_FILE_SIZE_MB = 1024;  // the largest limit the setter stores
constexpr const char *LOG_OPEN_MODE = "a+";
constexpr mode_t LOG_FILE_MODE = 0666;  // less the umask
constexpr unsigned int LOG_DIR_MODE = 0755;
// Beyond this many rotations within one second the oldest of that second is replaced.
constexpr int MAX_SAME_SECOND_ROTATIONS = 999;

// Own stat tests: the file library records a missing path as an error, which is normal here.
bool Is_RegularFile(const char *pcPath) {
    struct stat stStat;
    return stat(pcPath, &stStat) == 0 && S_ISREG(stStat.st_mode);
}

bool Is_Present(const char *pcPath) {
    struct stat stStat;
    return lstat(pcPath, &stStat) == 0;
}

// Any process may have written it: 0 means the default, and it never exceeds the setter's maximum,
// so that it cannot wrap the 32-bit size counter.
uint64_t SizeLimit(const _ST_LOG_LIST &stList) {
    uint32_t unMb = __atomic_load_n(&stList.unLogFileSize, __ATOMIC_RELAXED);
    if (unMb == 0) unMb = LOG_DEFAULT_FILE_SIZE;
    if (unMb > MAX_FILE_SIZE_MB) unMb = MAX_FILE_SIZE_MB;
    return unMb * MEGABYTE;
}

// What each section opened last and when it looked, so that a moved registry path or a removed file
// is noticed. Used under the section lock.
struct OpenedFile {
    char szPrefix[LOG_TEXT_SIZE];
    char szName[LOG_FILE_NAME_SIZE];
    int nCheckedSecond;
};

OpenedFile g_stOpened[LOG_SECT_SLOTS];

int SecondOfDay(const struct tm &stLocal) {
    return (stLocal.tm_hour * 60 + stLocal.tm_min) * 60 + stLocal.tm_sec;
}

// The registry's path prefix, or the one in use while that is rewritten; false when neither.
bool PathPrefix(unsigned int unLogSect, const _ST_LOG_LIST &stList, char *pcOut, size_t unSize) {
    char *pcInUse = g_stOpened[unLogSect].szPrefix;
    if (__Read_LogPath(stList, pcOut, unSize)) {
        StrCpy(pcInUse, pcOut, sizeof(g_stOpened[unLogSect].szPrefix));
        return true;
    }
    if (pcInUse[0] == '\0') return false;
    StrCpy(pcOut, pcInUse, unSize);
    return true;
}

// The open file is not the one its name leads to (removed or moved): its records reach nobody.
bool LostItsName(const char *pcName, FILE *pFile) {
    struct stat stOpen;
    if (fstat(fileno(pFile), &stOpen) != 0) return false;
    struct stat stNamed;
    if (stat(pcName, &stNamed) != 0) return true;
    return stNamed.st_dev != stOpen.st_dev || stNamed.st_ino != stOpen.st_ino;
}

// At most once a second of record time: the record's local time is already at hand for its stamp.
bool DueForNameCheck(unsigned int unLogSect, const struct tm &stLocal) {
    int nSecond = SecondOfDay(stLocal);
    if (g_stOpened[unLogSect].nCheckedSecond == nSecond) return false;
    g_stOpened[unLogSect].nCheckedSecond = nSecond;
    return true;
}

// Opens as "a+" but refuses a symbolic link at the file's name: it would send records elsewhere.
FILE *OpenNoFollow(const char *pcName) {
    if (__Make_Directory(pcName, LOG_DIR_MODE) != 0) return nullptr;
    int nFd = open(pcName, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW, LOG_FILE_MODE);
    if (nFd < 0) return nullptr;
    FILE *pFile = fdopen(nFd, LOG_OPEN_MODE);
    if (pFile == nullptr) {
        int nErrno = errno;
        close(nFd);
        errno = nErrno;
    }
    return pFile;
}

void RotatedName(const char *pcName, unsigned int unIndex, char *pcOut, size_t unSize) {
    SNPrintf(pcOut, unSize, "%s_%u", pcName, unIndex);
}

// Moves pcFrom over pcTo; either being anything but a regular file is left alone.
void MoveOver(const char *pcFrom, const char *pcTo) {
    if (Is_RegularFile(pcTo)) Del_File(pcTo);
    if (Is_RegularFile(pcFrom)) Move_File(pcFrom, pcTo);
}

// Keeps the current file and at most N - 1 rotated ones (_1 the newest).
void RotateByCount(const char *pcName, unsigned int unCount) {
    char szTo[LOG_FILE_NAME_SIZE];
    char szFrom[LOG_FILE_NAME_SIZE];
    // Only as far as rotated files go: a huge count must not walk absent names under the lock.
    unsigned int unTop = 1;
    while (unTop + 1 < unCount) {
        RotatedName(pcName, unTop, szFrom, sizeof(szFrom));
        if (!Is_Present(szFrom)) break;
        ++unTop;
    }
    for (unsigned int i = unTop; unCount > 2 && i >= 2; --i) {
        RotatedName(pcName, i, szTo, sizeof(szTo));
        RotatedName(pcName, i - 1, szFrom, sizeof(szFrom));
        MoveOver(szFrom, szTo);
    }
    RotatedName(pcName, 1, szTo, sizeof(szTo));
    MoveOver(pcName, szTo);
}

// Keeps every rotated file, named by the time of its rotation (see MAX_SAME_SECOND_ROTATIONS).
void RotateByTime(const char *pcName) {
    if (!Is_RegularFile(pcName)) return;
    time_t tNow = time(nullptr);
    struct tm stNow;
    localtime_r(&tNow, &stNow);
    char szBase[LOG_FILE_NAME_SIZE];
    SNPrintf(szBase, sizeof(szBase), "%s_%02d%02d%02d", pcName, stNow.tm_hour, stNow.tm_min,
             stNow.tm_sec);
    char szTo[LOG_FILE_NAME_SIZE];
    StrCpy(szTo, szBase, sizeof(szTo));
    for (int i = 1; Is_Present(szTo) && i <= MAX_SAME_SECOND_ROTATIONS; ++i) {
        SNPrintf(szTo, sizeof(szTo), "%s_%d", szBase, i);
    }
    Move_File(pcName, szTo);
}

void ReportOpenFailure(const char *pcName) {
    int nErrno = errno;
    fprintf(stderr, "Open Log(%s,%s) fails! [%d/%s]\n", pcName, LOG_OPEN_MODE, nErrno,
            strerror(nErrno));
    SET_ERROR(E_LIB_INTERNAL, "Open Log(%s,%s) fails! [%d/%s]\n", pcName, LOG_OPEN_MODE, nErrno,
              strerror(nErrno));
}

uint32_t OpenedSize(FILE *pFile) {
    struct stat stStat;
    if (fstat(fileno(pFile), &stStat) != 0 || stStat.st_size < 0) return 0;
    return stStat.st_size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(stStat.st_size);
}

}  // namespace

int __Make_LogFileName(const char *pcPath, const struct tm &stLocal, char *pcName,
                       size_t unSize) {
    int nLen = snprintf(pcName, unSize, "%s.log.%04d%02d%02d", pcPath, stLocal.tm_year + 1900,
                        stLocal.tm_mon + 1, stLocal.tm_mday);
    return nLen < 0 || static_cast<size_t>(nLen) >= unSize ? -1 : 0;
}

void __Close_LogFP(_ST_LOG_SECT *pstSect) {
    if (pstSect->pLogFile != nullptr) Close_File(pstSect->pLogFile);
    pstSect->pLogFile = nullptr;
    pstSect->unCurFileSize = 0;
}

int __Rm_OldFile_Today(unsigned int unLogSect, const char *pcName) {
    const _ST_LOG_LIST &stList = *__Get_LogList(unLogSect);
    unsigned int unCount = __atomic_load_n(&stList.unLogFileCnt, __ATOMIC_RELAXED);
    if (unCount == 0) {
        RotateByTime(pcName);
    } else {
        RotateByCount(pcName, unCount);
    }
    return 0;
}

FILE *__Open_LogFP(unsigned int unLogSect, const struct tm &stLocal) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr) return nullptr;
    const _ST_LOG_LIST &stList = __pstLogInfo->stList[pstSect->unLogId];

    char szPrefix[LOG_TEXT_SIZE];
    bool bPrefix = PathPrefix(unLogSect, stList, szPrefix, sizeof(szPrefix));
    char szName[LOG_FILE_NAME_SIZE];
    __Make_LogFileName(szPrefix, stLocal, szName, sizeof(szName));
    if (!bPrefix) {
        __Close_LogFP(pstSect);
        errno = EBUSY;
        ReportOpenFailure(szName);
        return nullptr;
    }
    struct stat stFile;
    bool bFound = stat(szName, &stFile) == 0;
    if (bFound && S_ISDIR(stFile.st_mode)) {
        SET_ERROR(LOG_ERR_ISDIR, "Log file path is Directory");
        fprintf(stderr, "Failed Make Log file path\n%s\n", StrError(errno));
        SET_ERROR(LOG_ERR_INVALID, "Failed Make Log file path [%s]", szName);
        __Close_LogFP(pstSect);
        return nullptr;
    }
    // The size in 64 bits: a file of 2 GiB or more must rotate as well.
    if (bFound && S_ISREG(stFile.st_mode) &&
        static_cast<uint64_t>(stFile.st_size) >= SizeLimit(stList)) {
        __Rm_OldFile_Today(unLogSect, szName);
    }
    __Close_LogFP(pstSect);

    FILE *pFile = OpenNoFollow(szName);
    if (pFile == nullptr) {
        ReportOpenFailure(szName);
        return nullptr;
    }
    pstSect->pLogFile = pFile;
    pstSect->unCurFileSize = OpenedSize(pFile);
    StrCpy(g_stOpened[unLogSect].szName, szName, sizeof(g_stOpened[unLogSect].szName));
    g_stOpened[unLogSect].nCheckedSecond = SecondOfDay(stLocal);
    return pFile;
}

FILE *__Get_LogFP(unsigned int unLogSect, const struct tm &stLocal) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid LogSect[%d/%d]", static_cast<int>(unLogSect),
                  static_cast<int>(__Get_LogSectCnt()));
        return nullptr;
    }
    if (pstSect->pLogFile != nullptr &&
        pstSect->unCurFileSize < SizeLimit(__pstLogInfo->stList[pstSect->unLogId]) &&
        !(DueForNameCheck(unLogSect, stLocal) &&
          LostItsName(g_stOpened[unLogSect].szName, pstSect->pLogFile))) {
        return pstSect->pLogFile;
    }
    return __Open_LogFP(unLogSect, stLocal);
}

void __Store_LogPath(_ST_LOG_LIST *pstList, const char *pcPath) {
    size_t unLen = strnlen(pcPath, sizeof(pstList->szFilePath) - 1);
    for (size_t i = 0; i < unLen; ++i) {
        __atomic_store_n(&pstList->szFilePath[i], pcPath[i], __ATOMIC_RELAXED);
    }
    __atomic_store_n(&pstList->szFilePath[unLen], '\0', __ATOMIC_RELEASE);
}

void __Copy_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize) {
    size_t unMax = sizeof(stList.szFilePath) - 1;
    if (unMax > unSize - 1) unMax = unSize - 1;
    size_t i = 0;
    for (; i < unMax; ++i) {
        char cChar = __atomic_load_n(&stList.szFilePath[i], __ATOMIC_ACQUIRE);
        if (cChar == '\0') break;
        pcOut[i] = cChar;
    }
    pcOut[i] = '\0';
}

bool __Read_LogPath(const _ST_LOG_LIST &stList, char *pcOut, size_t unSize) {
    char szFirst[LOG_TEXT_SIZE];
    char szSecond[LOG_TEXT_SIZE];
    __Copy_LogPath(stList, szFirst, sizeof(szFirst));
    __Copy_LogPath(stList, szSecond, sizeof(szSecond));
    StrCpy(pcOut, szSecond, unSize);
    return strcmp(szFirst, szSecond) == 0;
}
