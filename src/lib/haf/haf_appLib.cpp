// HA client initialisation, callbacks, requests to the master and accessors over its tables.
#include "haf/haf_appLib.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/error.h"
#include "base/string.h"
#include "base/util.h"
#include "cfg/conf.h"
#include "haf/haf_inter_buffer.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"

std::atomic<int> g_nInitHafLib{0};
char gszAppVersion[HAF_APP_VERSION_LEN] = "1.0.0";
char logHafLibTitle[HAF_TITLE_LEN] = "HafLib";

ProcListHAF *_procHafLib = nullptr;
NET_STATUS *_netHafLib = nullptr;
HafNetworkInformation *_networkHafLib = nullptr;

std::atomic<pfHafHangThrID> haf_hang_cb{nullptr};
std::atomic<pfOnSystemState> haf_hostStatusChagEvent_cb{nullptr};
std::atomic<pfOnSystemState> haf_standbyEvent_cb{nullptr};
std::atomic<pfOnSystemState> haf_activeEvent_cb{nullptr};
std::atomic<pfOnProcEvent> haf_procEvent_cb{nullptr};
std::atomic<pfOnProcMsgEvent> haf_procMsgEvent_cb{nullptr};

std::atomic<int> gnReportF{0};
std::atomic<int> gnHangTest{0};
std::atomic<int> gnNoReportTest{0};

// Written before the library's threads start (or by the application before HALibInit).
char g_szMyProcessName[HAF_PROC_NAME_LEN] = "UNKOWN";
int g_nMyProcessId = 1;

namespace {

constexpr int kMinVersionLen = 5;
constexpr int kEnvLen = 128;

// Steps of HALibInit that must happen once per process even when a failed call is repeated.
struct InitProgress {
    std::mutex mutex;
    bool bQueue = false;
    bool bChecker = false;
    bool bLink = false;
};
InitProgress gInit;

bool initialised() { return g_nInitHafLib.load() == 1; }

const NET_STATUS *dupTable() { return _netHafLib != nullptr ? getHafDupInfoShm() : nullptr; }
// The same, attached anew first when the master made it anew: for reads that a decision rests on.
const NET_STATUS *currentDupTable() {
    return _netHafLib != nullptr ? currentHafDupInfoShm() : nullptr;
}
const ProcListHAF *currentProcTable() {
    return _procHafLib != nullptr ? currentHafProcShm() : nullptr;
}

const HOST_STATUS *rowOf(const NET_STATUS *pTable, int nNode) {
    return pTable != nullptr && (nNode == 0 || nNode == 1) ? &pTable->stHostStatus[nNode] : nullptr;
}
const HOST_STATUS *ownRow(const NET_STATUS *pTable = dupTable()) {
    return pTable != nullptr ? rowOf(pTable, pTable->nNode) : nullptr;
}
const HOST_STATUS *peerRow(const NET_STATUS *pTable = dupTable()) {
    return pTable != nullptr ? rowOf(pTable, pTable->nPNode) : nullptr;
}

// One copy per thread, row and field: a returned text stays valid while the master rewrites its row.
template <bool bPeer, char (HOST_STATUS::*Field)[16]>
const char *rowField() {
    thread_local char szBuf[17];
    const HOST_STATUS *pRow = bPeer ? peerRow() : ownRow();
    if (!initialised() || pRow == nullptr) return "";
    return copyField_Haf(szBuf, sizeof(szBuf), pRow->*Field);
}

// A number of the own row; 0 before HALibInit attached the table.
int ownNumber(int32_t HOST_STATUS::*field) {
    const HOST_STATUS *pRow = ownRow();
    return pRow != nullptr ? pRow->*field : 0;
}

int nodeNumber(const HOST_STATUS *pRow) {
    if (!initialised() || pRow == nullptr) return 0;
    char szName[17], szType[17];
    size_t unSkip = strlen(copyField_Haf(szType, sizeof(szType), pRow->szNodeType));
    if (strlen(copyField_Haf(szName, sizeof(szName), pRow->szNodeName)) <= unSkip) return 0;
    return StrToi(szName + unSkip, 10);
}

int envNumber(const char *pszRef) {
    char szBuf[kEnvLen];
    StrCpy(szBuf, pszRef, sizeof(szBuf));
    GetEnv(szBuf, sizeof(szBuf));  // an unset variable leaves the reference, read as 0
    return Atoi(szBuf);
}

// Name (at most unLen bytes) and id of the process-list row whose run-time pid is ours.
bool readMyRow(const ProcListHAF *pList, char *pszName, size_t unLen, int &nId) {
    if (pList == nullptr) return false;
    int nPid = static_cast<int>(getpid());
    for (int i = 0; i < pList->nProcCnt && i < HAF_MAX_PROC; ++i) {
        if (pList->stCont[i].nPId.load() != nPid) continue;
        nId = pList->stInfo[i].nProcessID;
        if (pszName != nullptr) copyField_Haf(pszName, unLen, pList->stInfo[i].szProcessName);
        return true;
    }
    return false;
}

// A retry after a partly failed call attaches only the missing tables.
int attachTables() {
    if (_procHafLib == nullptr) _procHafLib = Init_HafProcess(nullptr, 0);
    if (_procHafLib != nullptr && _netHafLib == nullptr) _netHafLib = Init_HafDupInfo(nullptr, 0);
    if (_procHafLib == nullptr || _netHafLib == nullptr) {
        int nErr = errno;
        printf("HALibInitShm Fail %d:%s\n", nErr, StrError(nErr));
        return -1;
    }
    if (_networkHafLib == nullptr) _networkHafLib = Init_HafNetInfo(nullptr, 0);
    if (_networkHafLib == nullptr) {
        int nErr = errno;
        printf("Init_HafNetInfo Fail %d:%s\n", nErr, StrError(nErr));
        return -1;
    }
    return 0;
}

void lookUpMyProcess() {
    if (!readMyRow(_procHafLib, g_szMyProcessName, sizeof(g_szMyProcessName), g_nMyProcessId))
        printf("HALibGetMyProcess Fail [%s:%d]\n", g_szMyProcessName, g_nMyProcessId);
}

int startLibrary(const char *pszAppVer, pfHafHangThrID cbFunc) {
    StrCpy(gszAppVersion, pszAppVer, sizeof(gszAppVersion));
    if (attachTables() != 0) {
        printf("initShm Fail [%s]\n", StrError(errno));
        return -1;
    }
    lookUpMyProcess();
    if (!gInit.bQueue) {
        if (Haf_Init_InterBuffer(HAF_INTER_BUFFER_DEFAULT_CNT) != 0) {
            printf("initShm Fail [%s]\n", StrError(errno));
            return -2;
        }
        gInit.bQueue = true;
    }
    if (g_procSock_haflib.load() <= 0) {
        int nSock = Init_UnixDoomainSocket_Haf();
        if (nSock < 0) {
            printf("Init_UnixDoomainSocket_Haf Fail [%s]\n", StrError(errno));
            return -4;
        }
        g_procSock_haflib.store(nSock);
    }
    if (!gInit.bChecker) {
        if (Init_THreadCheck_Haf(cbFunc) != 0) {
            printf("Init_THreadCheck_Haf Fail [%s]\n", StrError(errno));
            return -3;
        }
        gInit.bChecker = true;
    }
    if (!gInit.bLink) {
        if (Init_ThreadMsgRecv_Haf() != 0) {
            printf("Init_THreadMsgRecv_Haf Fail [%s]\n", StrError(errno));
            return -5;
        }
        gInit.bLink = true;
    }
    g_nInitHafLib.store(1);
    return 0;
}

template <typename Fn>
int registerCallback(std::atomic<Fn> &slot, Fn pfFunc) {
    if (!initialised() || pfFunc == nullptr) return -1;
    slot.store(pfFunc);
    return 0;
}

}  // namespace

int HALibInit(const char *pszAppVer, pfHafHangThrID cbFunc) {
    if (pszAppVer == nullptr || strlen(pszAppVer) < static_cast<size_t>(kMinVersionLen)) {
        printf("AppVer Fail [%s] (ex:1.0.0)\n", pszAppVer != nullptr ? pszAppVer : "");
        return -1;
    }
    std::lock_guard<std::mutex> lock(gInit.mutex);
    // A second set-up would start a second checker and reception pair.
    if (initialised()) return 0;
    return startLibrary(pszAppVer, cbFunc);
}

int HALibRegisterHostStatusCallback(pfOnSystemState pfFunc) {
    return registerCallback(haf_hostStatusChagEvent_cb, pfFunc);
}

int HALibRegisterStandbyStatCallback(pfOnSystemState pfFunc) {
    if (registerCallback(haf_standbyEvent_cb, pfFunc) != 0) return -1;
    HAThrAliveStart();
    return 0;
}

int HALibRegisterActiveStatCallback(pfOnSystemState pfFunc) {
    if (registerCallback(haf_activeEvent_cb, pfFunc) != 0) return -1;
    HAThrAliveStart();
    return 0;
}

int HALibRegisterProcEventCallback(pfOnProcEvent pfFunc) {
    return registerCallback(haf_procEvent_cb, pfFunc);
}

int HALibRegisterProcMsgCallback(pfOnProcMsgEvent pfFunc) {
    return registerCallback(haf_procMsgEvent_cb, pfFunc);
}

int HALibSetSwitchNode(const char *pszCause) {
    if (!initialised()) return -1;
    const HOST_STATUS *pRow = ownRow(currentDupTable());
    int16_t nState = pRow != nullptr ? pRow->nHostOperStatus : static_cast<int16_t>(0);
    // Asked for by an ending or faulting process: the request goes first. The send keeps the socket
    // lock's bound, since normal sends take that lock too.
    if (nState == HAF_HOST_ACTIVE_SYSTEM) {
        int nSent = sendMasterHostOperStatusChg_Haf(HAF_HOST_STANDBY_SYSTEM, pszCause);
        Print_StdoutNow("Active System(%s[%d]) Cause(%s) send OK (HALibSetSwitchNode:257)\n",
                        getHostRedState(nState), nState, pszCause != nullptr ? pszCause : "");
        return nSent;
    }
    Print_StdoutNow("Not Active System(%s[%d]) (HALibSetSwitchNode:261)\n",
                    getHostRedState(nState), nState);
    return -1;
}

int HALibSetHostStatus(int16_t nOperStatus, const char *pszCause) {
    if (!initialised()) return -1;
    return sendMasterHostOperStatusChg_Haf(nOperStatus, pszCause);
}

int HALibSetHostAdmnStatus(int16_t nAdmnStatus, const char *pszCause) {
    return sendMasterHostAdmnStatusChg_Haf(nAdmnStatus, pszCause);
}

int HALibSetHostSvcStatus(int16_t nSvcStatus, const char *pszCause) {
    return sendMasterHostSvcStatusChg_Haf(nSvcStatus, pszCause);
}

int HALibSetProcessStatusChange(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause) {
    return sendMasterProcStatusChg_Haf(nAction, pszProcessName, nProcessID, pszCause);
}

int HALibGetHostStatus(HafHostStatusRpt *pstStatus) {
    if (!initialised() || pstStatus == nullptr) return -1;
    const NET_STATUS *pTable = currentDupTable();
    const HOST_STATUS *pOwn = ownRow(pTable);
    const HOST_STATUS *pPeer = peerRow(pTable);
    if (pOwn == nullptr || pPeer == nullptr) return -1;
    *pstStatus = makeHostStatusRpt_Haf(*pOwn, *pPeer);
    return 0;
}

const char *HALibGetNodeName() { return rowField<false, &HOST_STATUS::szNodeName>(); }
const char *HALibGetRNodeName() { return rowField<true, &HOST_STATUS::szNodeName>(); }
const char *HALibGetNodeType() { return rowField<false, &HOST_STATUS::szNodeType>(); }
const char *HALibGetRNodeType() { return rowField<true, &HOST_STATUS::szNodeType>(); }
const char *HALibGetNodeGroupName() { return rowField<false, &HOST_STATUS::szNodeGroupName>(); }
const char *HALibGetRNodeGroupName() { return rowField<true, &HOST_STATUS::szNodeGroupName>(); }

int HALibGetNodeTypeNo() { return ownNumber(&HOST_STATUS::nNodeType); }
int HALibGetNodeGroupNo() { return ownNumber(&HOST_STATUS::nNodeGroupNo); }
int HALibGetNodeNo() { return ownNumber(&HOST_STATUS::nNodeNo); }
int HALibGetMsgPort() {
    const NET_STATUS *pTable = dupTable();
    return pTable != nullptr ? pTable->reserved.info.nMsgSocketPort : 0;
}

int isHafMount() {
    const NET_STATUS *pTable = dupTable();
    if (pTable == nullptr) return 0;
    const stMountInfoHAF &mount = pTable->mount;
    return mount.unAction == 0 || mount.mountTOT == mount.mountFlag ? 1 : 0;
}

int HALibGetNodeNumber() { return nodeNumber(ownRow()); }
int HALibGetRNodeNumber() { return nodeNumber(peerRow()); }
int HALibGetNodeID() { return HALibGetNodeNumber() % 2; }
int HALibGetRNodeID() { return HALibGetRNodeNumber() % 2; }

int HALibGetAreaID() { return envNumber("${AREA_ID}"); }
int HALibGetNodeGroupID() { return envNumber("${NODE_GROUP_ID}"); }

const char *HALibGetProcessName() { return g_szMyProcessName; }
int HALibGetProcessId() { return g_nMyProcessId; }
void HALibSetProcessName(const char *pszName) {
    StrCpy(g_szMyProcessName, pszName != nullptr ? pszName : "", sizeof(g_szMyProcessName));
}
void HALibSetProcessId(int nId) { g_nMyProcessId = nId; }

int HALibGetMyProcess(char *pszProcessName, int &nProcessId) {
    if (!initialised()) return -1;
    return readMyRow(currentProcTable(), pszProcessName, HAF_PROC_NAME_LEN, nProcessId) ? 0 : -1;
}
