// Any datagram at the HA process socket: through the real reception (with
// the sender's credentials), the inter-thread queue and the dispatch to the
// role, event and message callbacks.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.h"
#include "haf/haf_inter_buffer.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"
#include "log/log.h"

namespace {

int gnPeer = -1;
volatile int gnSeen = 0;

// The callbacks read what the application would: the whole record.
void onStatus(HafHostStatusRpt *p) { gnSeen += p->nLocalRedundancyStatus + p->nRemotSvcStatus; }
void onProc(ClientProInfoHAF_ *p) { gnSeen += static_cast<int>(strnlen(p->szProcessName, 32)); }
void onMessage(ProcMsg_Haf *p) {
    long nLen = static_cast<long>(p->h.nMsgLength) - HAF_MSG_HEAD_SIZE;
    if (nLen < 0) nLen = 0;
    if (nLen > HAF_MSG_DATA_MAX_SIZE) nLen = HAF_MSG_DATA_MAX_SIZE;
    for (long i = 0; i < nLen; ++i) gnSeen += p->stD.cData[i];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const std::string &root = fuzzsupport::UsePrivateRoot();
    if (Init_Log("FUZZHA", (root + "/log/ha").c_str()) != 0) abort();
    Set_LogLevel(0, LOG_5 | LOG_D);
    Set_LogFileSize(0, 1);
    Set_LogFileCnt(0, 2);
    if (Haf_Init_InterBuffer(16) != 0) abort();
    int nPair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, nPair) != 0) abort();
    int nOn = 1;
    setsockopt(nPair[0], SOL_SOCKET, SO_PASSCRED, &nOn, sizeof(nOn));
    g_procSock_haflib.store(nPair[0]);
    gnPeer = nPair[1];
    haf_standbyEvent_cb.store(onStatus);
    haf_activeEvent_cb.store(onStatus);
    haf_hostStatusChagEvent_cb.store(onStatus);
    haf_procEvent_cb.store(onProc);
    haf_procMsgEvent_cb.store(onMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t unSize) {
    if (unSize > HAF_MSG_MAX_SIZE + 64) return 0;  // the socket's datagram limit is not the point
    if (send(gnPeer, pData, unSize, 0) != static_cast<ssize_t>(unSize)) abort();
    if (ReceivePacket_Haf(1000) < 0) abort();  // our own user: never refused
    ProcMsg_Haf msg;
    while (getBufferCntHaf() > 0) {
        memset(&msg, 0, sizeof(msg));
        if (popBufferHaf(&msg) < 0) abort();
        ProcManageMsg_Haf(reinterpret_cast<char *>(&msg));
    }
    gnHangTest.store(0);
    gnNoReportTest.store(0);
    return 0;
}
