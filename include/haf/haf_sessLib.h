// Public: the datagram link to the HA master: process socket, reception and dispatch threads, one
// send function per request. Sends return 0 when the whole message left, else -1 (never retried).
#pragma once

#include <atomic>

#include "haf/haf_def.h"

// The process socket; 0 or negative while there is none.
extern std::atomic<int> g_procSock_haflib;

// Binds the process socket at ".../haf/sock/<pid>". The socket; -1 when its directory cannot be
// made, -2 when it cannot be bound.
int Init_UnixDoomainSocket_Haf();
// Closes the process socket and binds a fresh one, excluding every reader and sender meanwhile; the
// new socket or the negative code above.
int Reinit_UnixDoomainSocket_Haf();
// Starts the reception and dispatch threads; 0, or -1.
int Init_ThreadMsgRecv_Haf();
// Waits up to nTimeOut milliseconds for one datagram and queues it; the queue slot, or -1 when
// nothing (or nothing readable) came.
int ReceivePacket_Haf(int nTimeOut);
// Hands one received message to the callback its type calls for; 0.
int ProcManageMsg_Haf(char *pcMsg);

int sendMasterThreadInfo_Haf(int nOK, int nTot, const char *pszVersion);
int sendMasterHostOperStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostAdmnStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterHostSvcStatusChg_Haf(int nStatus, const char *pszCause);
int sendMasterProcStatusChg_Haf(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause);
// Any message for the master with nDataLen payload bytes (0 to 4008; longer or negative lengths are
// refused with -1) and the given destination.
int sendMsgGwData_Haf(int nMsgName, const char *pszDstProcName, int nDstProcID,
                      const void *pszData, int nDataLen, int nResult);
