// Public: layout of the host-wide log registry segment, fixed for processes of different builds.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/dynamic_time.h"
#include "log/log.h"

constexpr unsigned int LOG_SECT_SLOTS = 12;   // stSect slots (Add_Log uses LOG_MAX_SECT)
constexpr unsigned int LOG_LIST_SLOTS = 128;  // stList slots (Add_Log uses LOG_MAX_LIST)
constexpr unsigned int LOG_NAME_SIZE = 32;
constexpr unsigned int LOG_TEXT_SIZE = 128;
constexpr size_t LOG_SHM_SIZE = 4721672;
constexpr const char *LOG_SHM_KEY_NAME = "/olog";         // below the runtime root
constexpr const char *LOG_SHM_KEY_FALLBACK = "/tmp/olog";  // when the root is unusable

// One section of the owning process; its mutex, stream and handler addresses mean something only
// there.
typedef struct _ST_LOG_SECT {
    uint8_t unLogId;    // index of the section's stList entry
    uint8_t unLogType;  // LOG_DIRECT or LOG_INDIRECT
    uint16_t unQueue;   // writer thread's queue; 0 until it exists
    pthread_mutex_t tLock;
    FILE *pLogFile;
    uint32_t unCurFileSize;
    _TIMEFORMAT stTimeFormat;
    uint32_t unHandlerCnt;
    LogHandlerType pHandlerFunc[LOG_MAX_HANDLER];
    uint32_t logfileOpenMDay;  // day index of the open file
} _ST_LOG_SECT;

typedef struct _ST_LOG_CTRL {
    uint32_t unCount;  // sections added by the owning process
    pthread_mutex_t tLock;
    _ST_LOG_SECT stSect[LOG_SECT_SLOTS];
} _ST_LOG_CTRL;

typedef struct _ST_LOG_LIST {
    char szTimeFormat[LOG_TEXT_SIZE];
    char szFilePath[LOG_TEXT_SIZE];  // empty: entry not in use
    uint32_t unLogLevel;
    uint32_t unLogFileCnt;
    uint32_t unLogFileSize;  // megabytes
} _ST_LOG_LIST;

typedef struct _ST_LOG_INFO {
    uint32_t unCount;  // stList entries in use
    _ST_LOG_LIST stList[LOG_LIST_SLOTS];
} _ST_LOG_INFO;

typedef struct __Tag_stLogInfSub {
    char szBlockName[LOG_NAME_SIZE];  // empty: slot free
    _ST_LOG_CTRL stLogCtrl;
    _ST_LOG_INFO stLogInfo;
} __Tag_stLogInfSub;

typedef struct _ST_LOG_INFORMATION {
    int32_t nCnt;  // block slots in use
    __Tag_stLogInfSub stD[LOG_MAX_BLOCK];
} _ST_LOG_INFORMATION;

static_assert(sizeof(pthread_mutex_t) == 40, "registry mutexes are 40 bytes");
static_assert(sizeof(_ST_LOG_SECT) == 208, "section entry is 208 bytes");
static_assert(offsetof(_ST_LOG_SECT, unLogId) == 0);
static_assert(offsetof(_ST_LOG_SECT, unLogType) == 1);
static_assert(offsetof(_ST_LOG_SECT, unQueue) == 2);
static_assert(offsetof(_ST_LOG_SECT, tLock) == 8);
static_assert(offsetof(_ST_LOG_SECT, pLogFile) == 48);
static_assert(offsetof(_ST_LOG_SECT, unCurFileSize) == 56);
static_assert(offsetof(_ST_LOG_SECT, stTimeFormat) == 60);
static_assert(offsetof(_ST_LOG_SECT, unHandlerCnt) == 96);
static_assert(offsetof(_ST_LOG_SECT, pHandlerFunc) == 104);
static_assert(offsetof(_ST_LOG_SECT, logfileOpenMDay) == 200);

static_assert(sizeof(_ST_LOG_CTRL) == 2544, "control part is 2,544 bytes");
static_assert(offsetof(_ST_LOG_CTRL, unCount) == 0);
static_assert(offsetof(_ST_LOG_CTRL, tLock) == 8);
static_assert(offsetof(_ST_LOG_CTRL, stSect) == 48);

static_assert(sizeof(_ST_LOG_LIST) == 268, "settings entry is 268 bytes");
static_assert(offsetof(_ST_LOG_LIST, szTimeFormat) == 0);
static_assert(offsetof(_ST_LOG_LIST, szFilePath) == 128);
static_assert(offsetof(_ST_LOG_LIST, unLogLevel) == 256);
static_assert(offsetof(_ST_LOG_LIST, unLogFileCnt) == 260);
static_assert(offsetof(_ST_LOG_LIST, unLogFileSize) == 264);

static_assert(sizeof(_ST_LOG_INFO) == 34308, "settings part is 34,308 bytes");
static_assert(offsetof(_ST_LOG_INFO, unCount) == 0);
static_assert(offsetof(_ST_LOG_INFO, stList) == 4);

static_assert(sizeof(__Tag_stLogInfSub) == 36888, "block is 36,888 bytes");
static_assert(offsetof(__Tag_stLogInfSub, szBlockName) == 0);
static_assert(offsetof(__Tag_stLogInfSub, stLogCtrl) == 32);
static_assert(offsetof(__Tag_stLogInfSub, stLogInfo) == 2576);

static_assert(sizeof(_ST_LOG_INFORMATION) == LOG_SHM_SIZE, "registry is 4,721,672 bytes");
static_assert(offsetof(_ST_LOG_INFORMATION, nCnt) == 0);
static_assert(offsetof(_ST_LOG_INFORMATION, stD) == 8);

// Walks over a registry as any process sees it: counts and names come from other processes, so the
// block count is capped at the table and names are compared within their field.
int Count_LogBlocks(const _ST_LOG_INFORMATION &stShm);
// The block of that name (letter case ignored, cut to the field), or -1.
int Find_LogBlock(const _ST_LOG_INFORMATION &stShm, const char *pcBlockName);
// Calls fVisit(entry number, entry) for each entry in use (path not empty) until it returns false.
template <typename Visit>
void ForEach_LogEntryInUse(_ST_LOG_INFO &stInfo, Visit fVisit) {
    unsigned int unCount = stInfo.unCount;
    for (unsigned int i = 0; i < unCount && i < LOG_LIST_SLOTS; ++i) {
        if (stInfo.stList[i].szFilePath[0] != '\0' && !fVisit(i, stInfo.stList[i])) break;
    }
}
