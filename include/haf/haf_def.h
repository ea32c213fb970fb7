// Public: the HA master's wire records, each size and offset pinned: they cross process boundaries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Message types (the value travels in HafProcHostMsgHead::nMsgName).
enum _enProcMsgName_Haf {
    HAF_MSG_PROC_THREAD_RPT = 1001,
    HAF_MSG_HOST_STATUS_RPT = 1002,
    HAF_MSG_PROC_STATUS_RPT = 1003,
    HAF_MSG_HOST_STATUS_HB_RPT = 1004,
    HAF_MSG_HOST_ETC_STATUS_RPT = 1005,
    HAF_MSG_PROC_HANG_START_RPT = 1006,
    HAF_MSG_HOST_OLU_STATUS_RPT = 1007,
    HAF_MSG_PROC_NOREPORT_START_RPT = 1008,
    HAF_MSG_HOST_STATUS_REQ = 2001,
    HAF_MSG_HOST_STATUS_RSP = 2002,
    HAF_MSG_HOST_OPER_STATUS_CHG_REQ = 2003,
    HAF_MSG_HOST_OPER_STATUS_CHG_RSP = 2004,
    HAF_MSG_HOST_ADMN_STATUS_CHG_REQ = 2005,
    HAF_MSG_HOST_ADMN_STATUS_CHG_RSP = 2006,
    HAF_MSG_HOST_SVC_STATUS_CHG_REQ = 2007,
    HAF_MSG_HOST_SVC_STATUS_CHG_RSP = 2008,
    HAF_MSG_PROC_LIST_REQ = 2100,
    HAF_MSG_PROC_LIST_RSP = 2101,
    HAF_MSG_PROC_STATUS_CHG_REQ = 2102,
    HAF_MSG_PROC_STATUS_CHG_RSP = 2103,
    HAF_MSG_CLI_TEST_REQ = 2200,
    HAF_MSG_CLI_TEST_RSP = 2201,
    HAF_MSG_REMOTE_MSG_REQ = 2300,
    HAF_MSG_REMOTE_MSG_RSP = 2301,
    HAF_MSG_LOCAL_MSG_REQ = 2302,
    HAF_MSG_LOCAL_MSG_RSP = 2303,
    HAF_MSG_MAX = 2304,
};

const char *getMsgName_Haf(int nMsgName);

enum _enHostOperStatus {  // redundancy state
    HAF_HOST_OFF_SYSTEM = -1,
    HAF_HOST_INIT_SYSTEM = 1,
    HAF_HOST_STANDBY_SYSTEM = 2,
    HAF_HOST_ACTIVE_SYSTEM = 3,
};
enum _enHostAdmnStatus { HAF_HOST_ADMIN_UNLOCK = 0, HAF_HOST_ADMIN_LOCK = 1 };
enum _enHostServiceStatus { HAF_HOST_SVC_UNLOCK = 0, HAF_HOST_SVC_LOCK = 1 };
enum _enHostHardwareStatus { HAF_HOST_HW_UNLOCK = 0, HAF_HOST_HW_LOCK = 1 };
enum _enProcStatus {
    HAF_PROC_STATUS_INIT = 0,
    HAF_PROC_STATUS_ENABLE = 1,
    HAF_PROC_STATUS_DISABLE = 2,
    HAF_PROC_STATUS_FAIL = 3,
    HAF_PROC_STATUS_MAX = 4,
};
enum _enProcActionType {
    HAF_ACTION_TYPE_RESPAWN = 1,
    HAF_ACTION_TYPE_WAIT = 2,
    HAF_ACTION_TYPE_OFF = 3,
    HAF_ACTION_TYPE_STOP = 4,
};
enum _enProcRunStateType { HAF_RUN_TYPE_BOTH = 1, HAF_RUN_TYPE_STANDBY = 2, HAF_RUN_TYPE_ACTIVE = 3 };
enum _enProcDownDetectActionType {
    HAF_PROC_DOWN_ALARM = 0,
    HAF_PROC_DOWN_STOP = 1,
    HAF_PROC_DOWN_SWITCH = 2,
};

// Lock-free atomics are plain values in memory, so they keep the layout the master shares.
using HafAtomic32 = std::atomic<int32_t>;
using HafAtomic16 = std::atomic<int16_t>;
static_assert(HafAtomic32::is_always_lock_free && sizeof(HafAtomic32) == 4);
static_assert(HafAtomic16::is_always_lock_free && sizeof(HafAtomic16) == 2);

constexpr int HAF_MSG_MAX_SIZE = 4096;      // largest datagram on the link
constexpr int HAF_MSG_HEAD_SIZE = 88;       // header in front of every payload
constexpr int HAF_MSG_DATA_MAX_SIZE = HAF_MSG_MAX_SIZE - HAF_MSG_HEAD_SIZE;
constexpr int HAF_PROC_NAME_LEN = 32;       // process names in the header
constexpr int HAF_CAUSE_LEN = 128;
constexpr int HAF_BLOCK_LEN = 64;
constexpr const char *HAF_MASTER_PROC_NAME = "HAF";
constexpr int HAF_MASTER_PROC_ID = 1;

// Below the runtime root (Get_OrvoTmpRoot()); the path is always terminated within nLen.
char *getMasterSockPath_Haf(char *pszBuf, int nLen);        // ".../haf/sock/master"
char *getClientSockPath_Haf(int nPid, char *pszBuf, int nLen);  // ".../haf/sock/<pid>"
char *getShmDirPath_Haf(char *pszBuf, int nLen);            // ".../haf/shm/"

// The payload follows at offset 88.
typedef struct HafProcHostMsgHead {
    int32_t nMsgLength;   // 88 + payload size
    int32_t nMsgName;     // message type
    int32_t sSndPID;      // sender's OS process id
    char cSrcProcName[HAF_PROC_NAME_LEN];
    int32_t nSrcProcID;   // sender's HA process id
    char cDestProcName[HAF_PROC_NAME_LEN];
    int32_t nDestProcID;
    int32_t nResult;
} HAF_PROC_HOST_HEAD;
static_assert(sizeof(HafProcHostMsgHead) == 88);
static_assert(offsetof(HafProcHostMsgHead, nMsgLength) == 0);
static_assert(offsetof(HafProcHostMsgHead, nMsgName) == 4);
static_assert(offsetof(HafProcHostMsgHead, sSndPID) == 8);
static_assert(offsetof(HafProcHostMsgHead, cSrcProcName) == 12);
static_assert(offsetof(HafProcHostMsgHead, nSrcProcID) == 44);
static_assert(offsetof(HafProcHostMsgHead, cDestProcName) == 48);
static_assert(offsetof(HafProcHostMsgHead, nDestProcID) == 80);
static_assert(offsetof(HafProcHostMsgHead, nResult) == 84);

// Host status report (1002, 1005): local then remote admin, redundancy, hardware, service status.
typedef struct HafHostStatusRpt {
    int16_t nLocalAdmnStatus;
    int16_t nLocalRedundancyStatus;
    int16_t nLocalHardwareStatus;
    int16_t nLocalSvcStatus;
    int16_t nRemotAdmnStatus;
    int16_t nRemotRedundancyStatus;
    int16_t nRemotHardwareStatus;
    int16_t nRemotSvcStatus;
} HAF_HOST_STATUS_RPT, HAF_HOST_STATUS;
static_assert(sizeof(HafHostStatusRpt) == 16);
static_assert(offsetof(HafHostStatusRpt, nLocalAdmnStatus) == 0);
static_assert(offsetof(HafHostStatusRpt, nLocalRedundancyStatus) == 2);
static_assert(offsetof(HafHostStatusRpt, nLocalHardwareStatus) == 4);
static_assert(offsetof(HafHostStatusRpt, nLocalSvcStatus) == 6);
static_assert(offsetof(HafHostStatusRpt, nRemotAdmnStatus) == 8);
static_assert(offsetof(HafHostStatusRpt, nRemotRedundancyStatus) == 10);
static_assert(offsetof(HafHostStatusRpt, nRemotHardwareStatus) == 12);
static_assert(offsetof(HafHostStatusRpt, nRemotSvcStatus) == 14);

// Seconds and microseconds, 64 bits each whatever the platform's timeval.
struct HafTimeVal {
    int64_t tv_sec;
    int64_t tv_usec;
};
static_assert(sizeof(HafTimeVal) == 16);

typedef struct CheckTimeProcInfoHAF {
    int32_t nType;
    int32_t nValue;
    int32_t nSecVal;
    char szPidLoc[256];
    HafTimeVal _t;
} _CHECK_TIME_HAF;
static_assert(sizeof(CheckTimeProcInfoHAF) == 288);
static_assert(offsetof(CheckTimeProcInfoHAF, nType) == 0);
static_assert(offsetof(CheckTimeProcInfoHAF, nValue) == 4);
static_assert(offsetof(CheckTimeProcInfoHAF, nSecVal) == 8);
static_assert(offsetof(CheckTimeProcInfoHAF, szPidLoc) == 12);
static_assert(offsetof(CheckTimeProcInfoHAF, _t) == 272);

typedef struct stDownProcActionHAF {
    CheckTimeProcInfoHAF chk;
    int32_t nDownCnt;
    int32_t nDownAction;  // _enProcDownDetectActionType
    int32_t nCurrCnt;
} _DOWN_PROC_ACTION_HAF;
static_assert(sizeof(stDownProcActionHAF) == 304);
static_assert(offsetof(stDownProcActionHAF, chk) == 0);
static_assert(offsetof(stDownProcActionHAF, nDownCnt) == 288);
static_assert(offsetof(stDownProcActionHAF, nDownAction) == 292);
static_assert(offsetof(stDownProcActionHAF, nCurrCnt) == 296);

// One managed process as the master reports it (1003).
typedef struct ClientProInfoHAF_ {
    int32_t nUsed;
    char szProcessName[64];
    int32_t nProcessID;
    int32_t nPriority;
    int32_t nSleep;
    char szUserName[32];
    int32_t nRunState;  // _enProcRunStateType
    int32_t nAction;    // _enProcActionType
    CheckTimeProcInfoHAF stReport;
    stDownProcActionHAF stDownCheck;
    char szPath[256];
    char szArgs[256];
    int32_t nCurStat;  // _enProcStatus
    int32_t nPId;      // OS process id
    int64_t tStartTime;
    int64_t tDownTime;
    int32_t nDownCnt;
    int64_t tLastMsg;
    int32_t nMaxThread;
    int32_t nAliveThread;
    int32_t nDownThread;
    char cAppVersion[32];
    int32_t nPPid;
    uint32_t priority;
    uint32_t nice;
    uint64_t utime;
    uint64_t stime;
    uint64_t starttime;
    uint64_t vsize;
    int32_t nCputime;
} _CLIENT_PROCLIST_HAF;
static_assert(sizeof(ClientProInfoHAF_) == 1360);
static_assert(offsetof(ClientProInfoHAF_, nUsed) == 0);
static_assert(offsetof(ClientProInfoHAF_, szProcessName) == 4);
static_assert(offsetof(ClientProInfoHAF_, nProcessID) == 68);
static_assert(offsetof(ClientProInfoHAF_, nPriority) == 72);
static_assert(offsetof(ClientProInfoHAF_, nSleep) == 76);
static_assert(offsetof(ClientProInfoHAF_, szUserName) == 80);
static_assert(offsetof(ClientProInfoHAF_, nRunState) == 112);
static_assert(offsetof(ClientProInfoHAF_, nAction) == 116);
static_assert(offsetof(ClientProInfoHAF_, stReport) == 120);
static_assert(offsetof(ClientProInfoHAF_, stDownCheck) == 408);
static_assert(offsetof(ClientProInfoHAF_, szPath) == 712);
static_assert(offsetof(ClientProInfoHAF_, szArgs) == 968);
static_assert(offsetof(ClientProInfoHAF_, nCurStat) == 1224);
static_assert(offsetof(ClientProInfoHAF_, nPId) == 1228);
static_assert(offsetof(ClientProInfoHAF_, tStartTime) == 1232);
static_assert(offsetof(ClientProInfoHAF_, tDownTime) == 1240);
static_assert(offsetof(ClientProInfoHAF_, nDownCnt) == 1248);
static_assert(offsetof(ClientProInfoHAF_, tLastMsg) == 1256);
static_assert(offsetof(ClientProInfoHAF_, nMaxThread) == 1264);
static_assert(offsetof(ClientProInfoHAF_, nAliveThread) == 1268);
static_assert(offsetof(ClientProInfoHAF_, nDownThread) == 1272);
static_assert(offsetof(ClientProInfoHAF_, cAppVersion) == 1276);
static_assert(offsetof(ClientProInfoHAF_, nPPid) == 1308);
static_assert(offsetof(ClientProInfoHAF_, priority) == 1312);
static_assert(offsetof(ClientProInfoHAF_, nice) == 1316);
static_assert(offsetof(ClientProInfoHAF_, utime) == 1320);
static_assert(offsetof(ClientProInfoHAF_, stime) == 1328);
static_assert(offsetof(ClientProInfoHAF_, starttime) == 1336);
static_assert(offsetof(ClientProInfoHAF_, vsize) == 1344);
static_assert(offsetof(ClientProInfoHAF_, nCputime) == 1352);

// Thread report (1001).
typedef struct ProcThreadStatusRpt_HAF {
    int32_t nMaxThread;
    int32_t nAliveThread;
    int32_t nDownThread;
    char cAppVersion[32];
} HAF_PROC_THREAD_STATUS_RPT;
static_assert(sizeof(ProcThreadStatusRpt_HAF) == 44);
static_assert(offsetof(ProcThreadStatusRpt_HAF, nMaxThread) == 0);
static_assert(offsetof(ProcThreadStatusRpt_HAF, nAliveThread) == 4);
static_assert(offsetof(ProcThreadStatusRpt_HAF, nDownThread) == 8);
static_assert(offsetof(ProcThreadStatusRpt_HAF, cAppVersion) == 12);

// Hang test start (1006).
typedef struct HafCliHangStartRpt {
    char cBlock[HAF_BLOCK_LEN];
} HAF_CLI_HANG_START_RPT;
static_assert(sizeof(HafCliHangStartRpt) == 64);

// No-report test start (1008).
typedef struct HafCliNoReportStartRpt {
    char cBlock[HAF_BLOCK_LEN];
} HAF_CLI_NOREPORT_START_RPT;
static_assert(sizeof(HafCliNoReportStartRpt) == 64);

// Host oper/admin/service status change request (2003, 2005, 2007).
typedef struct HafHostStatusChgReq {
    int32_t nStatus;
    char szCause[HAF_CAUSE_LEN];
} HAF_HOST_STATUS_CHG_REQ;
static_assert(sizeof(HafHostStatusChgReq) == 132);
static_assert(offsetof(HafHostStatusChgReq, nStatus) == 0);
static_assert(offsetof(HafHostStatusChgReq, szCause) == 4);

typedef struct HafHostStatusChgRsp {
    int32_t nResult;
    int32_t nStatus;
    char szCause[HAF_CAUSE_LEN];
} HAF_HOST_STATUS_CHG_RSP;
static_assert(sizeof(HafHostStatusChgRsp) == 136);
static_assert(offsetof(HafHostStatusChgRsp, nResult) == 0);
static_assert(offsetof(HafHostStatusChgRsp, nStatus) == 4);
static_assert(offsetof(HafHostStatusChgRsp, szCause) == 8);

// Process status change request (2102).
typedef struct HafProcStatusChgReq {
    int32_t nAction;
    char szProcessName[64];
    int32_t nProcessID;
    char szCause[HAF_CAUSE_LEN];
} HAF_PROC_STATUS_CHG_REQ;
static_assert(sizeof(HafProcStatusChgReq) == 200);
static_assert(offsetof(HafProcStatusChgReq, nAction) == 0);
static_assert(offsetof(HafProcStatusChgReq, szProcessName) == 4);
static_assert(offsetof(HafProcStatusChgReq, nProcessID) == 68);
static_assert(offsetof(HafProcStatusChgReq, szCause) == 72);

typedef struct HafProcStatusChgRsp {
    int32_t nResult;
    ClientProInfoHAF_ stProc;
} HAF_PROC_STATUS_CHG_RSP;
static_assert(sizeof(HafProcStatusChgRsp) == 1368);
static_assert(offsetof(HafProcStatusChgRsp, nResult) == 0);
static_assert(offsetof(HafProcStatusChgRsp, stProc) == 8);

typedef struct HafCliTestReq {
    char cli[512];
} HAF_CLI_TEST_REQ;
static_assert(sizeof(HafCliTestReq) == 512);

typedef struct HafCliTestRsp {
    int32_t nResult;
    char cResult[3996];
} HAF_CLI_TEST_RSP;
static_assert(sizeof(HafCliTestRsp) == 4000);
static_assert(offsetof(HafCliTestRsp, nResult) == 0);
static_assert(offsetof(HafCliTestRsp, cResult) == 4);

// 4184 bytes, more than the largest datagram, so that a received datagram always fits.
typedef struct ProcMsg_Haf {
    HafProcHostMsgHead h;
    union {
        ProcThreadStatusRpt_HAF szThrStatus;
        HafHostStatusRpt szHostStatus;
        ClientProInfoHAF_ szProcEvent;
        HafCliHangStartRpt stHangStart;
        HafHostStatusChgReq stHostStatusChgReq;
        HafHostStatusChgRsp stHostStatusChgRsp;
        HafProcStatusChgReq stProcStatusChgReq;
        HafProcStatusChgRsp stProcStatusChgRsp;
        HafCliTestReq stCliTestReq;
        HafCliTestRsp stCliTestRsp;
        HafCliNoReportStartRpt stNoReportStart;
        char cData[4096];
    } stD;
} PROC_MSG_HAF;
static_assert(sizeof(ProcMsg_Haf) == 4184);
static_assert(offsetof(ProcMsg_Haf, h) == 0);
static_assert(offsetof(ProcMsg_Haf, stD) == 88);
static_assert(sizeof(ProcMsg_Haf::stD) == 4096);
