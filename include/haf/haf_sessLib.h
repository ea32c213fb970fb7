// Public: the datagram link to the HA master; sends return -1 unless the whole message left.
#pragma once

#include <atomic>

#include "haf/haf_def.h"

extern std::atomic<int> g_procSock_haflib;

// -1 when its directory cannot be made, -2 when it cannot be bound.
int Init_UnixDoomainSocket_Haf();
// Excludes every reader and sender meanwhile.
int Reinit_UnixDoomainSocket_Haf();
int Init_ThreadMsgRecv_Haf();
// Waits up to nTimeOut milliseconds; the queue slot, or -1 when nothing readable came.
int ReceivePacket_Haf(int nTimeOut);
int ProcManageMsg_Haf(char *pcMsg);

int sendMasterThreadInfo_Haf(int nOK, int nTot, const char *pszVersion);
int sendMasterHostOperStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostAdmnStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostSvcStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterProcStatusChg_Haf(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause);
// nDataLen 0 to 4008; other lengths are refused with -1.
int sendMsgGwData_Haf(int nMsgName, const char *pszDstProcName, int nDstProcID,
                      const void *pszData, int nDataLen, int nResult);
