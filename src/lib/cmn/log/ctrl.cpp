// Registration: attaching the registry, claiming the block, adding sections and handlers.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "base/memctrl.h"
#include "base/string.h"
#include "base/util.h"
#include "ipc/shmlib.h"
#include "log_internal.h"

namespace {

_ST_LOG_CTRL g_stLocalCtrl;

// Private to root and the registry's group: a writer can point every process's log anywhere. A new
// segment is not filled again, so that a block a peer claimed right after the creation survives.
_ST_LOG_INFORMATION *OpenRegistry(const char *pcKeyFile) {
    void *pvShm = ShmOpen(pcKeyFile, static_cast<int>(LOG_SHM_SIZE), nullptr, nullptr, 0,
                          SHM_MODE_PRIVATE);
    if (pvShm == nullptr) {
        printf("ShmOpen Fail [%s] (%s:%d)\n%s\n", pcKeyFile, "Init_LogMem", __LINE__,
               StrError(errno));
        return nullptr;
    }
    return static_cast<_ST_LOG_INFORMATION *>(pvShm);
}

// An isolated instance (root moved by the environment) must not share the host's registry.
bool Is_RootOverridden() {
    const char *pcRoot = getenv(ORVO_TMP_ROOT_ENV);
    return pcRoot != nullptr && pcRoot[0] != '\0';
}

int Init_LogMem() {
    if (__pstLogShm != nullptr) return 0;
    char szKeyFile[LOG_TEXT_SIZE];
    SNPrintf(szKeyFile, sizeof(szKeyFile), "%s%s", Get_OrvoTmpRoot(), LOG_SHM_KEY_NAME);
    __pstLogShm = OpenRegistry(szKeyFile);
    if (__pstLogShm == nullptr && !Is_RootOverridden()) {
        __pstLogShm = OpenRegistry(LOG_SHM_KEY_FALLBACK);
    }
    return __pstLogShm != nullptr ? 0 : -1;
}

// A restart finds its block's level words again. Slots are never released.
int addLogShm(const char *pcBlockName) {
    int nIndex = searchLogShm(pcBlockName);
    if (nIndex >= 0) return nIndex;
    for (unsigned int i = 0; i < LOG_MAX_BLOCK; ++i) {
        __Tag_stLogInfSub &stBlock = __pstLogShm->stD[i];
        if (stBlock.szBlockName[0] != '\0') continue;
        StrCpy(stBlock.szBlockName, pcBlockName, sizeof(stBlock.szBlockName));
        int nUsed = static_cast<int>(i) + 1;
        if (__pstLogShm->nCnt < nUsed) __pstLogShm->nCnt = nUsed;
        return static_cast<int>(i);
    }
    return -1;
}

void ResetLocalCtrl() {
    for (unsigned int i = 0; i < g_stLocalCtrl.unCount && i < LOG_SECT_SLOTS; ++i) {
        __Close_LogFP(&g_stLocalCtrl.stSect[i]);
    }
    memset(&g_stLocalCtrl, 0, sizeof(g_stLocalCtrl));
    for (unsigned int i = 0; i < LOG_SECT_SLOTS; ++i) __Reset_LogStamp(i);
}

void ResetSettings(_ST_LOG_INFO *pstInfo) {
    if (pstInfo->stList[0].szFilePath[0] != '\0') {
        pstInfo->unCount = 0;  // the entries keep their level words for this run
    } else {
        memset(pstInfo, 0, sizeof(*pstInfo));
    }
}

void FailGlobally(const char *pcText) {
    SET_ERROR(LOG_ERR_NOSPACE, "%s", pcText);
    printf("%s\n", pcText);
}

// The count is published last. unEntry is read once by the caller: another process may change it.
unsigned int ClaimSection(unsigned int unEntry, const char *pcLogPath, unsigned int unType) {
    __pstLogInfo->unCount = unEntry + 1;
    _ST_LOG_LIST &stList = __pstLogInfo->stList[unEntry];
    StrCpy(stList.szTimeFormat, LOG_DEFAULT_TIME_FORMAT, sizeof(stList.szTimeFormat));
    StrCpy(stList.szFilePath, pcLogPath, sizeof(stList.szFilePath));
    stList.unLogFileCnt = LOG_DEFAULT_FILE_CNT;
    stList.unLogFileSize = LOG_DEFAULT_FILE_SIZE;

    unsigned int unSect = __pstLogCtrl->unCount;
    _ST_LOG_SECT &stSect = __pstLogCtrl->stSect[unSect];
    memset(&stSect, 0, sizeof(stSect));
    Mutex_Init(&stSect.tLock, nullptr);
    stSect.unLogId = static_cast<uint8_t>(unEntry);
    stSect.unLogType = static_cast<uint8_t>(unType);
    stSect.stTimeFormat = TimeFormat2Val(stList.szTimeFormat);
    __Reset_LogStamp(unSect);
    __atomic_store_n(&__pstLogCtrl->unCount, unSect + 1, __ATOMIC_RELEASE);
    return unSect;
}

}  // namespace

int Count_LogBlocks(const _ST_LOG_INFORMATION &stShm) {
    int nCnt = stShm.nCnt;
    if (nCnt < 0) return 0;
    return nCnt > static_cast<int>(LOG_MAX_BLOCK) ? static_cast<int>(LOG_MAX_BLOCK) : nCnt;
}

int Find_LogBlock(const _ST_LOG_INFORMATION &stShm, const char *pcBlockName) {
    if (pcBlockName == nullptr || pcBlockName[0] == '\0') return -1;
    char szName[LOG_NAME_SIZE];
    StrCpy(szName, pcBlockName, sizeof(szName));
    for (int i = 0, nCnt = Count_LogBlocks(stShm); i < nCnt; ++i) {
        if (strncasecmp(stShm.stD[i].szBlockName, szName, LOG_NAME_SIZE) == 0) return i;
    }
    return -1;
}

int searchLogShm(const char *pcBlockName) {
    return __pstLogShm != nullptr ? Find_LogBlock(*__pstLogShm, pcBlockName) : -1;
}

int Init_Log(const char *pcBlockName, const char *pcLogPath) {
    return Init_Log(pcBlockName, pcLogPath, LOG_DIRECT);
}

int Init_Log(const char *pcBlockName, const char *pcLogPath, unsigned int unType) {
    if (pcBlockName == nullptr || pcBlockName[0] == '\0') return -1;
    if (Init_LogMem() < 0) return -1;
    int nIndex = addLogShm(pcBlockName);
    if (nIndex < 0) return -1;

    __Tag_stLogInfSub &stBlock = __pstLogShm->stD[nIndex];
    __Stop_LogWriters();  // their sections are about to be forgotten
    ResetLocalCtrl();
    __nLogShmIndex = nIndex;
    __pstLogCtrl = &g_stLocalCtrl;
    __pstLogInfo = &stBlock.stLogInfo;
    StrCpy(__cLogBlockName, stBlock.szBlockName, sizeof(__cLogBlockName));

    memset(&stBlock.stLogCtrl, 0, sizeof(stBlock.stLogCtrl));
    ResetSettings(__pstLogInfo);
    Mutex_Init(&__pstLogCtrl->tLock, nullptr);
    return Add_Log(pcLogPath, unType);
}

int Add_Log(const char *pcLogPath, unsigned int unType) {
    if (__pstLogCtrl == nullptr) return -1;
    if (pcLogPath == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid parameter [pcLogPath is NULL]");
        return -1;
    }
    if (__Get_LogSectCnt() >= LOG_MAX_SECT) {
        SET_ERROR(LOG_ERR_NOSPACE, "Log sector is Over");
        return -1;
    }

    unsigned int unSect = 0;
    {
        MutexLocker stLock(&__pstLogCtrl->tLock);
        stLock.Lock();
        if (__pstLogCtrl->unCount >= LOG_MAX_SECT) {
            FailGlobally("Local Log sector is Over");
            return -1;
        }
        unsigned int unEntries = __pstLogInfo->unCount;
        if (unEntries >= LOG_MAX_LIST) {
            FailGlobally("Global Log sector is Over");
            return -1;
        }
        unSect = ClaimSection(unEntries, pcLogPath, unType);
        __Print_LogInfo();
    }
    // Until its writer has created the queue, a LOG_INDIRECT section writes directly.
    if (unType == LOG_INDIRECT && __Start_LogWriter(unSect) < 0) return -1;
    return static_cast<int>(unSect);
}

int Add_LogHandler(LogHandlerType pHandlerFunc, unsigned int unLogSect) {
    unsigned int unCount = __Get_LogSectCnt();
    if (unLogSect >= unCount) {
        SET_ERROR(LOG_ERR_INVALID, "Invalid sect-id [unLogSect:%d/ConfiguredSect:%d]",
                  static_cast<int>(unLogSect), static_cast<int>(unCount));
        return -1;
    }
    if (pHandlerFunc == nullptr) {
        SET_ERROR(LOG_ERR_INVALID, "Invlid parameter [pHandlerFunc is NULL]");
        return -1;
    }
    _ST_LOG_SECT &stSect = __pstLogCtrl->stSect[unLogSect];
    MutexLocker stLock(&stSect.tLock);
    stLock.Lock();
    if (stSect.unHandlerCnt >= LOG_MAX_HANDLER) {
        SET_ERROR(E_LIB_INTERNAL, "Handler count full[Current : %d / Max :%d]",
                  static_cast<int>(stSect.unHandlerCnt), static_cast<int>(LOG_MAX_HANDLER));
        return -1;
    }
    stSect.pHandlerFunc[stSect.unHandlerCnt++] = pHandlerFunc;
    return 0;
}

void __Print_LogInfo() {
    if (__pstLogInfo == nullptr) return;
    printf("==[Block = %s(%d)] =======================\n", __cLogBlockName, __nLogShmIndex);
    char szLevel[LOG_TEXT_SIZE];
    ForEach_LogEntryInUse(*__pstLogInfo, [&szLevel](unsigned int i, const _ST_LOG_LIST &stList) {
        printf("======================= Log section ID %u =======================\n", i);
        // Texts of the registry may lack their end within the field.
        printf("| %-20s | %-.*s\n", "Time format", static_cast<int>(LOG_TEXT_SIZE - 1),
               stList.szTimeFormat);
        printf("| %-20s | %-.*s\n", "File path", static_cast<int>(LOG_TEXT_SIZE - 1),
               stList.szFilePath);
        printf("| %-20s | %-s\n", "Level",
               Str_LogLevel(__Load_LogLevel(&stList), szLevel, sizeof(szLevel)));
        printf("| %-20s | %u\n", "File count", stList.unLogFileCnt);
        printf("| %-20s | %u\n", "File size", stList.unLogFileSize);
        return true;
    });
}
