// Public: the HA framework as an application calls it; callbacks run on the library's threads.
#pragma once

#include <cstdint>

#include "haf/haf_def.h"

typedef void (*pfHafHangThrID)(unsigned int unThrId);
typedef void (*pfOnSystemState)(HafHostStatusRpt *pstStatus);
typedef void (*pfOnProcEvent)(ClientProInfoHAF_ *pstProc);
typedef void (*pfOnProcMsgEvent)(ProcMsg_Haf *pstMsg);

// pszAppVer must be longer than 4 characters. 0; -1 bad version or tables not attached; -2 queue
// not allocated; -4 socket not created; -3 checker not started; -5 link threads not started. Once
// it succeeded, a call changes nothing and returns 0.
int HALibInit(const char *pszAppVer, pfHafHangThrID cbFunc);

// Registering the standby or active callback also starts HAThrAliveStart.
int HALibRegisterHostStatusCallback(pfOnSystemState pfFunc);
int HALibRegisterStandbyStatCallback(pfOnSystemState pfFunc);
int HALibRegisterActiveStatCallback(pfOnSystemState pfFunc);
int HALibRegisterProcEventCallback(pfOnProcEvent pfFunc);
int HALibRegisterProcMsgCallback(pfOnProcMsgEvent pfFunc);

// Causes are cut to 127 characters. HALibSetSwitchNode asks an active node to become standby.
int HALibSetSwitchNode(const char *pszCause);
int HALibSetHostStatus(int16_t nOperStatus, const char *pszCause);
int HALibSetHostAdmnStatus(int16_t nAdmnStatus, const char *pszCause);
int HALibSetHostSvcStatus(int16_t nSvcStatus, const char *pszCause);
int HALibSetProcessStatusChange(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause);

// The texts are empty before HALibInit.
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
// Number after the node type in the node name (ABCD12 of type ABCD: 12), 0 when none; the node id
// is that number modulo 2.
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
// Name into a 32-byte buffer.
int HALibGetMyProcess(char *pszProcessName, int &nProcessId);
// A heap array the caller free()s; count or -1.
int HALibGetProcessStatus(ClientProInfoHAF_ **pstHafProcessList);

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

// nInterval 0: unwatched; negative: slot given back. Only a second's first report counts, but 0
// always does. -1 when no slot is left.
int HAThrAlive(int nInterval, const char *pcName);
// Returns 1.
int HAThrAliveStart();
// Totals of the checker's last pass; 0 and nothing written before HALibInit.
unsigned int getThreadCnt(unsigned int *unOK, unsigned int *unNok);
// "Not_Initialized" for 1024 and above.
const char *HALibGetThrName(unsigned int unSlot);
int _Haf_Has_ThrID(unsigned int unThrId);

// Stack dumps written by a forked child; they return once it is done.
int printHangThread(unsigned int unThrId);
int printHangThreadPID(unsigned int nPID);
// Runs inside the forked child.
int printBacktrace(unsigned int unThrId, int p_pid);

// 1 at once, unless the master switched the hang test on: then the caller is held an hour.
int isHang();
void *_Haf_Thr_HangTest(void *pvArg);
