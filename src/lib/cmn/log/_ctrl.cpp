// Process-local state of the logging library, section lookup and the level filter.
#include <cstring>

#include "base/error.h"
#include "base/string.h"
#include "log_internal.h"

_ST_LOG_INFORMATION *__pstLogShm = nullptr;
int __nLogShmIndex = -1;
_ST_LOG_CTRL *__pstLogCtrl = nullptr;
_ST_LOG_INFO *__pstLogInfo = nullptr;
char __cLogBlockName[LOG_NAME_SIZE];

unsigned int __Get_LogSectCnt() {
    if (__pstLogCtrl == nullptr) return 0;
    return __atomic_load_n(&__pstLogCtrl->unCount, __ATOMIC_ACQUIRE);
}

_ST_LOG_SECT *__Get_LogSect(unsigned int unLogSect) {
    if (unLogSect >= __Get_LogSectCnt()) return nullptr;
    _ST_LOG_SECT *pstSect = &__pstLogCtrl->stSect[unLogSect];
    return pstSect->unLogId < LOG_LIST_SLOTS ? pstSect : nullptr;
}

_ST_LOG_LIST *__Get_LogList(unsigned int unLogSect) {
    _ST_LOG_SECT *pstSect = __Get_LogSect(unLogSect);
    return pstSect != nullptr ? &__pstLogInfo->stList[pstSect->unLogId] : nullptr;
}

int __Chk_LogLevel(unsigned int unLogSect, unsigned int unLogLevel) {
    _ST_LOG_LIST *pstList = __Get_LogList(unLogSect);
    if (pstList == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid log section ID[%d]", static_cast<int>(unLogSect));
        return -1;
    }
    return __Filter_LogLevel(__Load_LogLevel(pstList), unLogLevel);
}

namespace {

struct LevelName {
    unsigned int unLevel;
    char cChar;
};

// The flags in the order Str_LogLevel names them.
constexpr LevelName FLAG_NAMES[] = {
    {LOG_6, '6'}, {LOG_7, '7'}, {LOG_8, '8'}, {LOG_9, '9'},
    {LOG_H, 'H'}, {LOG_D, 'D'}, {LOG_T, 'T'},
};
constexpr char LADDER_CHARS[] = {' ', 'C', 'E', 'N', 'I', 'M'};
constexpr int SHARED_LEVEL_BUF_SIZE = 128;

char g_szLevelBuf[SHARED_LEVEL_BUF_SIZE];

}  // namespace

char __Char_LogLevel(unsigned int unLogLevel) {
    if (unLogLevel <= LOG_5) return LADDER_CHARS[unLogLevel];
    for (const LevelName &stName : FLAG_NAMES) {
        if (stName.unLevel == unLogLevel) return stName.cChar;
    }
    return ' ';
}

char *Str_LogLevel(unsigned int unLogLevel, char *pcOutBuf, int nMaxBufSize) {
    if (pcOutBuf == nullptr || nMaxBufSize <= 0) {
        pcOutBuf = g_szLevelBuf;
        nMaxBufSize = SHARED_LEVEL_BUF_SIZE;
    }
    size_t unSize = static_cast<size_t>(nMaxBufSize);
    pcOutBuf[0] = '\0';
    char szName[3] = {0, ' ', 0};
    unsigned int unLadder = unLogLevel & LOG_LADDER_MASK;
    if (unLadder >= LOG_1 && unLadder <= LOG_5) {
        szName[0] = static_cast<char>('0' + unLadder);
        StrCat(pcOutBuf, szName, unSize);
    }
    for (const LevelName &stName : FLAG_NAMES) {
        if ((unLogLevel & stName.unLevel) == 0) continue;
        szName[0] = stName.cChar;
        StrCat(pcOutBuf, szName, unSize);
    }
    return pcOutBuf;
}
