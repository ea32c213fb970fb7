// Internal to the HA client library: state its modules share (initialisation, identity, callbacks,
// test switches). What its threads read while application threads write is atomic.
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

// The tables as HALibInit attached them (null until then). Readers take the tables as they stand
// now from the table accessors.
extern ProcListHAF *_procHafLib;
extern NET_STATUS *_netHafLib;
extern HafNetworkInformation *_networkHafLib;

// The process list and duplication status the master keeps now, attached anew when the master made
// them anew (HafShmTable::current); null when there is none. A few system calls each: for reads
// that decide something.
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

// Guards the process socket against re-creation while it is used (haf_sessLib.cpp).
extern pthread_rwlock_t gHafSockLock;

// Starts the checker thread with its hang handler; 0, or -1.
int Init_THreadCheck_Haf(pfHafHangThrID cbFunc);

// Test seams. The checker calls the first between reading a slot's interval and its update time; a
// test build that defines it can hold that window open. The master link starts its threads through
// the second, the system's pthread_create in production.
void hafCheckSlotRead(uint32_t unSlot);
using HafThreadCreateFn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
extern std::atomic<HafThreadCreateFn> gHafLinkThreadCreate;

// A text field of the master's tables or messages, which the writer need not terminate: copied no
// further than the field, cut to unDestLen - 1 and terminated. Returns pszDest.
template <size_t N>
char *copyField_Haf(char *pszDest, size_t unDestLen, const char (&szField)[N]) {
    if (unDestLen == 0) return pszDest;
    size_t unLen = strnlen(szField, N);
    if (unLen > unDestLen - 1) unLen = unDestLen - 1;
    memcpy(pszDest, szField, unLen);
    pszDest[unLen] = '\0';
    return pszDest;
}
