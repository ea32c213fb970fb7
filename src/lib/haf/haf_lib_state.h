// Internal to the HA client library: state its modules share, atomic where threads meet.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "haf/haf_appLib.h"
#include "haf/haf_dup_infoShm.h"
#include "haf/haf_net_infoShm.h"
#include "haf/haf_proc_ListShm.h"

constexpr int HAF_APP_VERSION_LEN = 128;
constexpr int HAF_TITLE_LEN = 128;

extern std::atomic<int> g_nInitHafLib;
extern char gszAppVersion[HAF_APP_VERSION_LEN];
extern char logHafLibTitle[HAF_TITLE_LEN];

// The tables as HALibInit attached them (null until then).
extern ProcListHAF *_procHafLib;
extern NET_STATUS *_netHafLib;
extern HafNetworkInformation *_networkHafLib;

// The tables the master keeps now (HafShmTable::current): for reads that decide something.
ProcListHAF *currentHafProcShm();
NET_STATUS *currentHafDupInfoShm();

extern std::atomic<pfHafHangThrID> haf_hang_cb;
extern std::atomic<pfOnSystemState> haf_hostStatusChagEvent_cb;
extern std::atomic<pfOnSystemState> haf_standbyEvent_cb;
extern std::atomic<pfOnSystemState> haf_activeEvent_cb;
extern std::atomic<pfOnProcEvent> haf_procEvent_cb;
extern std::atomic<pfOnProcMsgEvent> haf_procMsgEvent_cb;

extern std::atomic<int> gnReportF;
extern std::atomic<int> gnHangTest;
extern std::atomic<int> gnNoReportTest;

extern pthread_rwlock_t gHafSockLock;

int Init_THreadCheck_Haf(pfHafHangThrID cbFunc);

// Test seams: a test build can hold the checker between its two reads of a slot, and fail the
// link's thread starts.
void hafCheckSlotRead(uint32_t unSlot);
using HafThreadCreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern std::atomic<HafThreadCreateFn> gHafLinkThreadCreate;

// A text field the writer need not terminate: copied no further than the field, cut to
// unDestLen - 1 and terminated.
template <size_t N>
char *copyField_Haf(char *pszDest, size_t unDestLen, const char (&szField)[N]) {
    if (unDestLen == 0) return pszDest;
    size_t unLen = strnlen(szField, N);
    if (unLen > unDestLen - 1) unLen = unDestLen - 1;
    memcpy(pszDest, szField, unLen);
    pszDest[unLen] = '\0';
    return pszDest;
}
