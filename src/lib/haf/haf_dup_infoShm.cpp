// The duplication-status table (this node's and the peer's role).
#include "haf/haf_dup_infoShm.h"

#include <cstring>

#include "haf_lib_state.h"
#include "haf_shm_table.h"

namespace {

void initialiseDupInfo(void *pvShm) { memset(pvShm, 0, sizeof(NET_STATUS)); }

constexpr HafShmTableDesc kDupInfoDesc = {
    "dupInfo",
    static_cast<int>(sizeof(NET_STATUS)),
    "Init_HafDupInfo",
    "getDefaultKetFileHafDupInfo",
    "careateHafDupInfoShm",
    nullptr,
    initialiseDupInfo,
};

HafShmTable gDupInfo(kDupInfoDesc);

}  // namespace

NET_STATUS *Init_HafDupInfo(const char *pcKeyPath, int nCreateFlag) {
    return static_cast<NET_STATUS *>(gDupInfo.init(pcKeyPath, nCreateFlag));
}

NET_STATUS *careateHafDupInfoShm(int nCreateFlag) {
    return static_cast<NET_STATUS *>(gDupInfo.open(nCreateFlag));
}

char *getDefaultKetFileHafDupInfo() { return gDupInfo.defaultKey(); }
const char *getKetFileHafDupInfo() { return gDupInfo.key(); }
NET_STATUS *getHafDupInfoShm() { return static_cast<NET_STATUS *>(gDupInfo.shm()); }
NET_STATUS *currentHafDupInfoShm() { return static_cast<NET_STATUS *>(gDupInfo.current()); }
int getHafDupInfoShmInitFlag() { return gDupInfo.initFlag(); }
int getHafDupInfohmInitFlag(int nFlag) { return gDupInfo.setInitFlag(nFlag); }

HafHostStatusRpt makeHostStatusRpt_Haf(const HOST_STATUS &stOwn, const HOST_STATUS &stPeer) {
    HafHostStatusRpt stRpt;
    stRpt.nLocalAdmnStatus = stOwn.nHostAdmnStatus;
    stRpt.nLocalRedundancyStatus = stOwn.nHostOperStatus;
    stRpt.nLocalHardwareStatus = stOwn.nHostHardwareStatus;
    stRpt.nLocalSvcStatus = stOwn.nHostSvcStatus;
    stRpt.nRemotAdmnStatus = stPeer.nHostAdmnStatus;
    stRpt.nRemotRedundancyStatus = stPeer.nHostOperStatus;
    stRpt.nRemotHardwareStatus = stPeer.nHostHardwareStatus;
    stRpt.nRemotSvcStatus = stPeer.nHostSvcStatus;
    return stRpt;
}
