// Public: what an application of the HA framework calls — initialisation,
// role and event callbacks, requests to the HA master, read accessors over
// the master's tables, status words for logging, and the thread liveness
// reports that the library's checker thread watches.
//
// All functions return 0 on success and -1 (or another negative code) on
// failure unless said otherwise. Callbacks run on threads of the library:
// the role, status, process and message callbacks on its dispatch thread,
// one at a time; the hang handler on its checker thread.
#pragma once

#include <cstdint>

#include "haf/haf_def.h"

typedef void (*pfHafHangThrID)(unsigned int unThrId);
typedef void (*pfOnSystemState)(HafHostStatusRpt *pstStatus);
typedef void (*pfOnProcEvent)(ClientProInfoHAF_ *pstProc);
typedef void (*pfOnProcMsgEvent)(ProcMsg_Haf *pstMsg);

// ---------------------------------------------------------------------------
// Life cycle and registration.

// Attaches the master's tables, finds the own process-list row, binds the
// process socket and starts the checker, reception and dispatch threads.
// pszAppVer must be longer than 4 characters ("1.0.0"); cbFunc (may be null)
// is called with the kernel thread id of a hung thread.
// 0; -1 bad version or tables not attached; -2 queue not allocated; -4 socket
// not created; -3 checker not started; -5 link threads not started. A call
// after a successful one changes nothing and returns 0.
int HALibInit(const char *pszAppVer, pfHafHangThrID cbFunc);

// 0, or -1 before HALibInit or for a null pointer. A later registration
// replaces the earlier one. Registering the standby or active callback also
// starts the thread reports (HAThrAliveStart).
int HALibRegisterHostStatusCallback(pfOnSystemState pfFunc);
int HALibRegisterStandbyStatCallback(pfOnSystemState pfFunc);
int HALibRegisterActiveStatCallback(pfOnSystemState pfFunc);
int HALibRegisterProcEventCallback(pfOnProcEvent pfFunc);
int HALibRegisterProcMsgCallback(pfOnProcMsgEvent pfFunc);

// ---------------------------------------------------------------------------
// Requests to the master (causes cut to 127 characters).

// On an active node asks the master to make this node standby; 0 when the
// request was sent, -1 on a node that is not active, before HALibInit or
// when the send failed.
int HALibSetSwitchNode(const char *pszCause);
int HALibSetHostStatus(int16_t nOperStatus, const char *pszCause);
int HALibSetHostAdmnStatus(int16_t nAdmnStatus, const char *pszCause);
int HALibSetHostSvcStatus(int16_t nSvcStatus, const char *pszCause);
int HALibSetProcessStatusChange(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause);

// ---------------------------------------------------------------------------
// Accessors over the master's tables (own and peer row of the duplication
// status). The texts are the empty text before HALibInit.
int HALibGetHostStatus(HafHostStatusRpt *pstStatus);
const char *HALibGetNodeName();
const char *HALibGetRNodeName();
const char *HALibGetNodeType();
const char *HALibGetRNodeType();
const char *HALibGetNodeGroupName();
const char *HALibGetRNodeGroupName();
// The following five read the table unchecked: call them only after
// HALibInit returned 0.
int HALibGetNodeTypeNo();
int HALibGetNodeGroupNo();
int HALibGetNodeNo();
int HALibGetMsgPort();
int isHafMount();
// Number after the node type in the node name (ABCD12 of type ABCD: 12); 0
// when there is none. The node id is that number modulo 2.
int HALibGetNodeNumber();
int HALibGetRNodeNumber();
int HALibGetNodeID();
int HALibGetRNodeID();
// ${AREA_ID} and ${NODE_GROUP_ID} as numbers (0 when unset).
int HALibGetAreaID();
int HALibGetNodeGroupID();
// Own HA process name and id ("UNKOWN" and 1 until known); the setters work
// before HALibInit too.
const char *HALibGetProcessName();
int HALibGetProcessId();
void HALibSetProcessName(const char *pszName);
void HALibSetProcessId(int nId);
// The calling process's row of the process list: name (32-byte buffer) and
// id; 0 found, -1 not found or before HALibInit.
int HALibGetMyProcess(char *pszProcessName, int &nProcessId);
// Every process of the process list into a heap array (*pstHafProcessList)
// that the caller releases with free(); the count, or -1.
int HALibGetProcessStatus(ClientProInfoHAF_ **pstHafProcessList);

// ---------------------------------------------------------------------------
// Status words (constant texts).
const char *getHostRedState(int16_t nState);
const char *getHostStateKey(int16_t nState);
const char *getHostAdmnState(int16_t nState);
const char *getHostHWState(int16_t nState);
const char *getHostSvcState(int16_t nState);
const char *getHostOpertate(int16_t nState);
const char *getProcStatus(int nState);
const char *getProcStatus2(int nState);
const char *getProcActStr(int nAction);
const char *getProcRunStateStr(int nState);
const char *getRunSystemStateStr(int nState);
const char *getProcReportTypeStr(int nType);
const char *getProcDownDetectTypeStr(int nType);
const char *getProcDownDetectActionStr(int nAction);

// ---------------------------------------------------------------------------
// Thread liveness.

constexpr int HAF_MAX_THREAD_SLOT = 1024;  // slot 0 is never handed out

// Reports the calling thread alive; it promises to report again within
// nInterval seconds (0: stop watching it; negative: give its slot back).
// Only the first report of a second counts, except that 0 always takes
// effect. pcName (may be null) names the thread at its first report.
// 0, or -1 when no slot is left.
int HAThrAlive(int nInterval, const char *pcName);
// Starts the thread reports to the master; returns 1.
int HAThrAliveStart();
// Published totals of the checker's last pass: writes the alive and hung
// counts and returns the total; 0 and nothing written before HALibInit.
unsigned int getThreadCnt(unsigned int *unOK, unsigned int *unNok);
// Name given at a slot's registration; "Not_Initialized" for 1024 and above.
const char *HALibGetThrName(unsigned int unSlot);
// The slot held by a kernel thread id, or -1.
int _Haf_Has_ThrID(unsigned int unThrId);

// Stack dump of this process (the hung thread's id in the file name) or of
// another process, written by a forked child; they return once it is done.
int printHangThread(unsigned int unThrId);
int printHangThreadPID(unsigned int nPID);
// Writes the dump file of process p_pid; runs inside the forked child.
int printBacktrace(unsigned int unThrId, int p_pid);

// Hang test: 1 at once, unless the master switched the hang test on, in
// which case the caller is held for an hour.
int isHang();
// Thread body for the hang test: reports every half second until the
// master switches the hang test on, then ends.
void *_Haf_Thr_HangTest(void *pvArg);
