// Public: what an application of the HA framework calls: initialisation, role and event callbacks,
// requests to the master, accessors over its tables, status words and thread liveness reports.
//
// All functions return 0 on success and -1 (or another negative code) on failure unless said
// otherwise. Callbacks run on threads of the library: the role, status, process and message
// callbacks on its dispatch thread, one at a time; the hang handler on its checker thread.
#pragma once

#include <cstdint>

#include "haf/haf_def.h"

typedef void (*pfHafHangThrID)(unsigned int unThrId);
typedef void (*pfOnSystemState)(HafHostStatusRpt *pstStatus);
typedef void (*pfOnProcEvent)(ClientProInfoHAF_ *pstProc);
typedef void (*pfOnProcMsgEvent)(ProcMsg_Haf *pstMsg);

// Attaches the master's tables, finds the own process-list row, binds the process socket and starts
// the checker, reception and dispatch threads. pszAppVer must be longer than 4 characters
// ("1.0.0"); cbFunc (may be null) gets the kernel thread id of a hung thread. 0; -1 bad version or
// tables not attached; -2 queue not allocated; -4 socket not created; -3 checker not started; -5
// link threads not started. Once it succeeded, a call changes nothing and returns 0.
int HALibInit(const char *pszAppVer, pfHafHangThrID cbFunc);

// 0, or -1 before HALibInit or for a null pointer. A later registration replaces the earlier one.
// Registering the standby or active callback also starts HAThrAliveStart.
int HALibRegisterHostStatusCallback(pfOnSystemState pfFunc);
int HALibRegisterStandbyStatCallback(pfOnSystemState pfFunc);
int HALibRegisterActiveStatCallback(pfOnSystemState pfFunc);
int HALibRegisterProcEventCallback(pfOnProcEvent pfFunc);
int HALibRegisterProcMsgCallback(pfOnProcMsgEvent pfFunc);

// Requests to the master (causes cut to 127 characters). HALibSetSwitchNode: on an active node,
// asks to become standby; 0 sent, -1 not active, before HALibInit or send failed.
int HALibSetSwitchNode(const char *pszCause);
int HALibSetHostStatus(int16_t nOperStatus, const char *pszCause);
int HALibSetHostAdmnStatus(int16_t nAdmnStatus, const char *pszCause);
int HALibSetHostSvcStatus(int16_t nSvcStatus, const char *pszCause);
int HALibSetProcessStatusChange(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause);

// Accessors over the master's tables (own and peer row of the duplication status). The texts are
// empty before HALibInit.
int HALibGetHostStatus(HafHostStatusRpt *pstStatus);
const char *HALibGetNodeName();
const char *HALibGetRNodeName();
const char *HALibGetNodeType();
const char *HALibGetRNodeType();
const char *HALibGetNodeGroupName();
const char *HALibGetRNodeGroupName();
// The following five read the table unchecked: call them only after HALibInit returned 0.
int HALibGetNodeTypeNo();
int HALibGetNodeGroupNo();
int HALibGetNodeNo();
int HALibGetMsgPort();
int isHafMount();
// Number after the node type in the node name (ABCD12 of type ABCD: 12); 0 when there is none. The
// node id is that number modulo 2.
int HALibGetNodeNumber();
int HALibGetRNodeNumber();
int HALibGetNodeID();
int HALibGetRNodeID();
// ${AREA_ID} and ${NODE_GROUP_ID} as numbers (0 when unset).
int HALibGetAreaID();
int HALibGetNodeGroupID();
// Own HA process name and id ("UNKOWN" and 1 until known); the setters work before HALibInit.
const char *HALibGetProcessName();
int HALibGetProcessId();
void HALibSetProcessName(const char *pszName);
void HALibSetProcessId(int nId);
// The calling process's row of the process list: name (32-byte buffer) and id; 0 found, -1 not
// found or before HALibInit.
int HALibGetMyProcess(char *pszProcessName, int &nProcessId);
// Every process of the list into a heap array (*pstHafProcessList) the caller free()s; count or -1.
int HALibGetProcessStatus(ClientProInfoHAF_ **pstHafProcessList);

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

constexpr int HAF_MAX_THREAD_SLOT = 1024;  // slot 0 is never handed out

// Reports the calling thread alive, due again within nInterval seconds (0: unwatched; negative:
// slot given back). Only a second's first report counts, but 0 always does. pcName (may be null)
// names the thread at its first report. 0, or -1 when no slot is left.
int HAThrAlive(int nInterval, const char *pcName);
// Starts the thread reports to the master; returns 1.
int HAThrAliveStart();
// Totals of the checker's last pass: writes the alive and hung counts and returns the total; 0 and
// nothing written before HALibInit.
unsigned int getThreadCnt(unsigned int *unOK, unsigned int *unNok);
// Name given at a slot's registration; "Not_Initialized" for 1024 and above.
const char *HALibGetThrName(unsigned int unSlot);
// The slot held by a kernel thread id, or -1.
int _Haf_Has_ThrID(unsigned int unThrId);

// Stack dump of this process (the hung thread's id in the file name) or of another process, written
// by a forked child; they return once it is done.
int printHangThread(unsigned int unThrId);
int printHangThreadPID(unsigned int nPID);
// Writes the dump file of process p_pid; runs inside the forked child.
int printBacktrace(unsigned int unThrId, int p_pid);

// 1 at once, unless the master switched the hang test on: then the caller is held an hour.
int isHang();
// Hang-test thread body: reports every half second until the master switches the test on.
void *_Haf_Thr_HangTest(void *pvArg);
