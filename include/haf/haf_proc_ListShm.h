// Public: the HA master's process-list table and the segment opening of its tables.
#pragma once

#include <sys/socket.h>

#include "haf/haf_def.h"

constexpr int HAF_MAX_PROC = 256;        // rows of the process list
constexpr int HAF_KEY_PATH_SIZE = 128;   // bytes of a stored key path

typedef struct ProcInfoHAF {
    int32_t nIndex;
    int32_t nUsed;
    char szProcessName[64];
    int32_t nProcessID;  // HA process id
    int32_t nPriority;
    int32_t nSleep;
    char szUserName[32];
    int32_t nRunState;  // _enProcRunStateType
    int32_t nAction;    // _enProcActionType
    CheckTimeProcInfoHAF stReport;
    stDownProcActionHAF stDownCheck;
    char cAppVersion[32];
    char szPath[256];
    char szArgs[256];
    int32_t nMangState;
    int32_t nFIleSize;
    int64_t tMakeTime;
} _PROC_INFO_HAF;
static_assert(sizeof(ProcInfoHAF) == 1280);
static_assert(offsetof(ProcInfoHAF, nIndex) == 0);
static_assert(offsetof(ProcInfoHAF, nUsed) == 4);
static_assert(offsetof(ProcInfoHAF, szProcessName) == 8);
static_assert(offsetof(ProcInfoHAF, nProcessID) == 72);
static_assert(offsetof(ProcInfoHAF, nPriority) == 76);
static_assert(offsetof(ProcInfoHAF, nSleep) == 80);
static_assert(offsetof(ProcInfoHAF, szUserName) == 84);
static_assert(offsetof(ProcInfoHAF, nRunState) == 116);
static_assert(offsetof(ProcInfoHAF, nAction) == 120);
static_assert(offsetof(ProcInfoHAF, stReport) == 128);
static_assert(offsetof(ProcInfoHAF, stDownCheck) == 416);
static_assert(offsetof(ProcInfoHAF, cAppVersion) == 720);
static_assert(offsetof(ProcInfoHAF, szPath) == 752);
static_assert(offsetof(ProcInfoHAF, szArgs) == 1008);
static_assert(offsetof(ProcInfoHAF, nMangState) == 1264);
static_assert(offsetof(ProcInfoHAF, nFIleSize) == 1268);
static_assert(offsetof(ProcInfoHAF, tMakeTime) == 1272);

// Run-time state of one managed process (times in seconds).
typedef struct ProcMngInfoHAF {
    HafAtomic32 nCurStat;  // _enProcStatus
    HafAtomic32 nPId;      // OS process id
    struct sockaddr client_addr;
    int32_t client_addr_size;
    HafAtomic32 tStartTime;
    HafAtomic32 tDownTime;
    HafAtomic32 nDownCnt;
    HafAtomic32 tLastMsg;
    HafAtomic32 nMaxThread;
    HafAtomic32 nAliveThread;
    HafAtomic32 nDownThread;
    HafAtomic32 nAbnormalTermCnt;
    HafAtomic32 nKIllCnt;
    int32_t nPPid;
    uint32_t priority;
    uint32_t nice;
    uint64_t utime;
    uint64_t stime;
    uint64_t starttime;
    uint64_t vsize;
    int32_t nCputime;

    void Clear();  // zeroes every field
} _PROC_MNG_INFO_HAF;
static_assert(sizeof(ProcMngInfoHAF) == 120);
static_assert(offsetof(ProcMngInfoHAF, nCurStat) == 0);
static_assert(offsetof(ProcMngInfoHAF, nPId) == 4);
static_assert(offsetof(ProcMngInfoHAF, client_addr) == 8);
static_assert(offsetof(ProcMngInfoHAF, client_addr_size) == 24);
static_assert(offsetof(ProcMngInfoHAF, tStartTime) == 28);
static_assert(offsetof(ProcMngInfoHAF, tDownTime) == 32);
static_assert(offsetof(ProcMngInfoHAF, nDownCnt) == 36);
static_assert(offsetof(ProcMngInfoHAF, tLastMsg) == 40);
static_assert(offsetof(ProcMngInfoHAF, nMaxThread) == 44);
static_assert(offsetof(ProcMngInfoHAF, nAliveThread) == 48);
static_assert(offsetof(ProcMngInfoHAF, nDownThread) == 52);
static_assert(offsetof(ProcMngInfoHAF, nAbnormalTermCnt) == 56);
static_assert(offsetof(ProcMngInfoHAF, nKIllCnt) == 60);
static_assert(offsetof(ProcMngInfoHAF, nPPid) == 64);
static_assert(offsetof(ProcMngInfoHAF, priority) == 68);
static_assert(offsetof(ProcMngInfoHAF, nice) == 72);
static_assert(offsetof(ProcMngInfoHAF, utime) == 80);
static_assert(offsetof(ProcMngInfoHAF, stime) == 88);
static_assert(offsetof(ProcMngInfoHAF, starttime) == 96);
static_assert(offsetof(ProcMngInfoHAF, vsize) == 104);
static_assert(offsetof(ProcMngInfoHAF, nCputime) == 112);

typedef struct ProcListHAF {
    int32_t nProcCnt;
    ProcInfoHAF stInfo[HAF_MAX_PROC];
    ProcMngInfoHAF stCont[HAF_MAX_PROC];
    int32_t nReloadState;

    void Clear();  // as a segment created just now
} _PROCLIST_HAF;
static_assert(sizeof(ProcListHAF) == 358416);
static_assert(offsetof(ProcListHAF, nProcCnt) == 0);
static_assert(offsetof(ProcListHAF, stInfo) == 8);
static_assert(offsetof(ProcListHAF, stCont) == 327688);
static_assert(offsetof(ProcListHAF, nReloadState) == 358408);

// Fields the row lacks are zero.
ClientProInfoHAF_ makeProcessEvent_Haf(const ProcInfoHAF &stInfo, const ProcMngInfoHAF &stCont);

// pcKeyPath null: the default. nCreateFlag non-zero also creates the key file. A segment of another
// size is refused.
ProcListHAF *Init_HafProcess(const char *pcKeyPath, int nCreateFlag);
ProcListHAF *careateHafProcShm(int nCreateFlag);
char *getDefaultKetFileHafProcessList();
const char *getKetFileHafProcessList();
ProcListHAF *getHafProcShm();
int getHafProcShmInitFlag();
int getHafProcShmInitFlag(int nFlag);

// The key file must exist. A missing segment is created and zeroed (*pnFirstF = 1); one of another
// size is refused (reason in the error registry).
void *HafShmOpenReadOnly(const char *pszKeyFile, int nSize, int *pnFirstF);

// -3 key file not created, -4 its mode not set, -2 no key, -1 no segment.
int SharedCreate(const char *pszKeyFile, int nSize, int *pnKey, int *pnFirstF);
