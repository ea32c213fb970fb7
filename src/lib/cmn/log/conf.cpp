// Section settings in the shared registry and the operations by block name.
#include <cstring>

#include "base/memctrl.h"
#include "base/string.h"
#include "log_internal.h"

namespace {

constexpr unsigned int SIZE_UNIT_STEP = 1024;

// 0 is stored as given, so that it reads back as configured; the files apply the default for it.
unsigned int NormaliseFileSize(unsigned int unSize) {
    if (unSize > SIZE_UNIT_STEP) unSize /= SIZE_UNIT_STEP;
    if (unSize > SIZE_UNIT_STEP) unSize /= SIZE_UNIT_STEP;
    return unSize;
}

// Writers read these words without a lock, and other processes may change them at any time.
int StoreWord(unsigned int unLogSect, uint32_t _ST_LOG_LIST::*pWord, unsigned int unValue) {
    _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    if (pstList == nullptr) return -1;
    __atomic_store_n(&(pstList->*pWord), unValue, __ATOMIC_RELAXED);
    return 0;
}

int LoadWord(unsigned int unLogSect, uint32_t _ST_LOG_LIST::*pWord) {
    _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    if (pstList == nullptr) return -1;
    return static_cast<int>(__atomic_load_n(&(pstList->*pWord), __ATOMIC_RELAXED));
}

template <typename Visit>
int ForEachNamedEntry(const char *pcBlockName, Visit fVisit) {
    int nIndex = searchLogShm(pcBlockName);
    if (nIndex < 0) return -1;
    ForEach_LogEntryInUse(__pstLogShm->stD[nIndex].stLogInfo,
                          [&fVisit](unsigned int, _ST_LOG_LIST &stList) { return fVisit(stList); });
    return 0;
}

// The field may hold 128 characters without an end. One buffer per thread.
const char *TerminatedPath(const _ST_LOG_LIST &stList) {
    static thread_local char szPath[LOG_TEXT_SIZE];
    __Copy_LogPath(stList, szPath, sizeof(szPath));
    return szPath;
}

}  // namespace

// A file being opened meanwhile gets the old path or the new one, never a mix.
int Set_LogPath(unsigned int unLogSect, const char *pcLogPath) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr || pcLogPath == nullptr) return -1;
    MutexLocker stLock(&pstSect->tLock);
    stLock.Lock();
    __Store_LogPath(&__pstLogInfo->stList[pstSect->unLogId], pcLogPath);
    return 0;
}

const char *Get_LogPath(unsigned int unLogSect) {
    _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    return pstList != nullptr ? TerminatedPath(*pstList) : nullptr;
}

int Set_LogTimeFormat(unsigned int unLogSect, const char *pcTimeFormat) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    if (pstSect == nullptr || pcTimeFormat == nullptr) return -1;
    _ST_LOG_LIST &stList = __pstLogInfo->stList[pstSect->unLogId];
    MutexLocker stLock(&pstSect->tLock);
    stLock.Lock();
    StrCpy(stList.szTimeFormat, pcTimeFormat, sizeof(stList.szTimeFormat));
    pstSect->stTimeFormat = TimeFormat2Val(stList.szTimeFormat);
    __Reset_LogStamp(unLogSect);
    return 0;
}

const char *Get_LogTimeFormat(unsigned int unLogSect) {
    _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    return pstList != nullptr ? pstList->szTimeFormat : nullptr;
}

int Set_LogLevel(unsigned int unLogSect, unsigned int unLogLevel) {
    return StoreWord(unLogSect, &_ST_LOG_LIST::unLogLevel, unLogLevel);
}

int Get_LogLevel(unsigned int unLogSect) { return LoadWord(unLogSect, &_ST_LOG_LIST::unLogLevel); }

int Set_LogFileCnt(unsigned int unLogSect, unsigned int unLogFileCnt) {
    return StoreWord(unLogSect, &_ST_LOG_LIST::unLogFileCnt, unLogFileCnt);
}

int Get_LogFileCnt(unsigned int unLogSect) {
    return LoadWord(unLogSect, &_ST_LOG_LIST::unLogFileCnt);
}

int Set_LogFileSize(unsigned int unLogSect, unsigned int unLogFileSize) {
    return StoreWord(unLogSect, &_ST_LOG_LIST::unLogFileSize, NormaliseFileSize(unLogFileSize));
}

int Get_LogFileSize(unsigned int unLogSect) {
    return LoadWord(unLogSect, &_ST_LOG_LIST::unLogFileSize);
}

int Get_LogListCnt() { return static_cast<int>(__Get_LogSectCnt()); }

int Set_LogMore(unsigned int unLogSect, unsigned int unLogLevel, unsigned int unLogFileCnt,
                unsigned int unLogFileSize, const char *pcTimeFormat) {
    if (Set_LogTimeFormat(unLogSect, pcTimeFormat) < 0) return -1;
    if (Set_LogLevel(unLogSect, unLogLevel) < 0) return -1;
    if (Set_LogFileCnt(unLogSect, unLogFileCnt) < 0) return -1;
    if (Set_LogFileSize(unLogSect, unLogFileSize) < 0) return -1;
    return 0;
}

int Set_Log(unsigned int unLogLevel, unsigned int unLogFileCnt, unsigned int unLogFileSize,
            const char *pcTimeFormat) {
    return Set_LogMore(0, unLogLevel, unLogFileCnt, unLogFileSize, pcTimeFormat);
}

int Get_LogLevelName(const char *pcBlockName) {
    unsigned int unLevel = 0;
    ForEachNamedEntry(pcBlockName, [&unLevel](_ST_LOG_LIST &stList) {
        unLevel = __Load_LogLevel(&stList);
        return false;
    });
    return static_cast<int>(unLevel);
}

const char *Get_LogPathName(const char *pcBlockName) {
    const char *pcPath = "";
    ForEachNamedEntry(pcBlockName, [&pcPath](_ST_LOG_LIST &stList) {
        pcPath = TerminatedPath(stList);
        return false;
    });
    return pcPath;
}

int Set_LogLevelName(const char *pcBlockName, unsigned int unLogLevel) {
    return ForEachNamedEntry(pcBlockName, [unLogLevel](_ST_LOG_LIST &stList) {
        __atomic_store_n(&stList.unLogLevel, unLogLevel, __ATOMIC_RELAXED);
        return true;
    });
}
