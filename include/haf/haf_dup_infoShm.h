// Public: the duplication-status table the HA master keeps in shared memory.
#pragma once

#include "haf/haf_def.h"
#include "haf/haf_proc_ListShm.h"

typedef struct HOST_STATUS {
    char szNodeType[16];
    int32_t nNodeType;
    char szNodeGroupName[16];
    int32_t nNodeGroupNo;
    char szNodeName[16];
    int32_t nNodeNo;
    int16_t nHostAdmnStatus;      // _enHostAdmnStatus
    int16_t nHostOperStatus;      // _enHostOperStatus
    int16_t nHostHardwareStatus;
    int16_t nHostSvcStatus;
    int64_t tUpdateT;
} _HOST_STATUS;
static_assert(sizeof(HOST_STATUS) == 80);
static_assert(offsetof(HOST_STATUS, szNodeType) == 0);
static_assert(offsetof(HOST_STATUS, nNodeType) == 16);
static_assert(offsetof(HOST_STATUS, szNodeGroupName) == 20);
static_assert(offsetof(HOST_STATUS, nNodeGroupNo) == 36);
static_assert(offsetof(HOST_STATUS, szNodeName) == 40);
static_assert(offsetof(HOST_STATUS, nNodeNo) == 56);
static_assert(offsetof(HOST_STATUS, nHostAdmnStatus) == 60);
static_assert(offsetof(HOST_STATUS, nHostOperStatus) == 62);
static_assert(offsetof(HOST_STATUS, nHostHardwareStatus) == 64);
static_assert(offsetof(HOST_STATUS, nHostSvcStatus) == 66);
static_assert(offsetof(HOST_STATUS, tUpdateT) == 72);

typedef struct HAFSubMountPointConfigTab {
    int32_t nUsed;
    char szType[50];
    char szMountDev[256];
    char szMountDest[256];
    char cMountCheckDir[256];
    int32_t nMountF;
} _HAF_SUB_MOUNT_POINT;
static_assert(sizeof(HAFSubMountPointConfigTab) == 828);
static_assert(offsetof(HAFSubMountPointConfigTab, nUsed) == 0);
static_assert(offsetof(HAFSubMountPointConfigTab, szType) == 4);
static_assert(offsetof(HAFSubMountPointConfigTab, szMountDev) == 54);
static_assert(offsetof(HAFSubMountPointConfigTab, szMountDest) == 310);
static_assert(offsetof(HAFSubMountPointConfigTab, cMountCheckDir) == 566);
static_assert(offsetof(HAFSubMountPointConfigTab, nMountF) == 824);

typedef struct stMountInfoHAF {
    uint32_t unAction;
    uint32_t unSwitchF;
    int32_t nWaitT;
    HAFSubMountPointConfigTab stD[10];
    int32_t mountTOT;
    int32_t mountFlag;
} _MOUNT_INFO;
static_assert(sizeof(stMountInfoHAF) == 8300);
static_assert(offsetof(stMountInfoHAF, unAction) == 0);
static_assert(offsetof(stMountInfoHAF, unSwitchF) == 4);
static_assert(offsetof(stMountInfoHAF, nWaitT) == 8);
static_assert(offsetof(stMountInfoHAF, stD) == 12);
static_assert(offsetof(stMountInfoHAF, mountTOT) == 8292);
static_assert(offsetof(stMountInfoHAF, mountFlag) == 8296);

typedef struct NET_STATUS {
    int32_t nNode;   // index of this node's row (0 or 1)
    int32_t nPNode;  // index of the peer's row
    HOST_STATUS stHostStatus[2];
    stMountInfoHAF mount;
    union {
        struct {
            int32_t nMsgSocketPort;
        } info;
        char szReserved[1024];
    } reserved;
} _NET_STATUS;
static_assert(sizeof(NET_STATUS) == 9496);
static_assert(offsetof(NET_STATUS, nNode) == 0);
static_assert(offsetof(NET_STATUS, nPNode) == 4);
static_assert(offsetof(NET_STATUS, stHostStatus) == 8);
static_assert(offsetof(NET_STATUS, mount) == 168);
static_assert(offsetof(NET_STATUS, reserved) == 8468);
static_assert(sizeof(NET_STATUS::reserved) == 1024);

NET_STATUS *Init_HafDupInfo(const char *pcKeyPath, int nCreateFlag);
NET_STATUS *careateHafDupInfoShm(int nCreateFlag);
char *getDefaultKetFileHafDupInfo();
const char *getKetFileHafDupInfo();
NET_STATUS *getHafDupInfoShm();
int getHafDupInfoShmInitFlag();
int getHafDupInfohmInitFlag(int nFlag);

HafHostStatusRpt makeHostStatusRpt_Haf(const HOST_STATUS &stOwn, const HOST_STATUS &stPeer);
