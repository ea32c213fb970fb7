// Public: the network-information table the HA master keeps in shared memory, and its accessors.
#pragma once

#include "haf/haf_def.h"
#include "haf/haf_proc_ListShm.h"

constexpr int HAF_MAX_NODE_GRP = 32;   // node groups
constexpr int HAF_MAX_PORT_GRP = 10;   // port groups per node group
constexpr int HAF_MAX_PORT = 2;        // ports per node of a port group
constexpr int HAF_NODES_PER_GRP = 2;   // the pair

enum _enHAF_NetConfigType {
    DEF_HAF_NET_CHG_MONI = 1,
    DEF_HAF_NET_CHG_HEART = 2,  // heartbeat
    DEF_HAF_NET_CHG_INTR = 3,   // internal
    DEF_HAF_NET_CHG_SSVC = 4,   // external service
    DEF_HAF_NET_CHG_MSVC = 5,   // external service
    DEF_HAF_NET_CHG_MAX = 6,
};

struct ip_info_st {
    int32_t ip_ver;
    char ip[46];
    char network[46];
    char broadcast[46];
    char netmask[46];
    uint32_t prefix;
    char hostmin[46];
    char hostmax[46];
};
static_assert(sizeof(ip_info_st) == 284);
static_assert(offsetof(ip_info_st, ip_ver) == 0);
static_assert(offsetof(ip_info_st, ip) == 4);
static_assert(offsetof(ip_info_st, network) == 50);
static_assert(offsetof(ip_info_st, broadcast) == 96);
static_assert(offsetof(ip_info_st, netmask) == 142);
static_assert(offsetof(ip_info_st, prefix) == 188);
static_assert(offsetof(ip_info_st, hostmin) == 192);
static_assert(offsetof(ip_info_st, hostmax) == 238);

typedef struct HafNetworkPort {
    HafAtomic32 nUsed;
    char ifName[64];
    char host[64];  // the address text
    char netmask[20];
    char broadcast[20];
    HafAtomic32 nMTU;
    char desc[76];
    HafAtomic32 nChg;
    HafAtomic16 nIPNo;
    HafAtomic16 nPORT;
    ip_info_st ip_info;

    void Clear();
} _HAF_NET_PORT;
static_assert(sizeof(HafNetworkPort) == 544);
static_assert(offsetof(HafNetworkPort, nUsed) == 0);
static_assert(offsetof(HafNetworkPort, ifName) == 4);
static_assert(offsetof(HafNetworkPort, host) == 68);
static_assert(offsetof(HafNetworkPort, netmask) == 132);
static_assert(offsetof(HafNetworkPort, broadcast) == 152);
static_assert(offsetof(HafNetworkPort, nMTU) == 172);
static_assert(offsetof(HafNetworkPort, desc) == 176);
static_assert(offsetof(HafNetworkPort, nChg) == 252);
static_assert(offsetof(HafNetworkPort, nIPNo) == 256);
static_assert(offsetof(HafNetworkPort, nPORT) == 258);
static_assert(offsetof(HafNetworkPort, ip_info) == 260);

typedef struct HafNetworkBondingPortStatus {
    int32_t nUsed;
    char cIfName[64];
    int32_t nStatus;
    int32_t nAlarmF;

    void Clear();
} _HAF_NET_BOND_STATUS;
static_assert(sizeof(HafNetworkBondingPortStatus) == 76);
static_assert(offsetof(HafNetworkBondingPortStatus, nUsed) == 0);
static_assert(offsetof(HafNetworkBondingPortStatus, cIfName) == 4);
static_assert(offsetof(HafNetworkBondingPortStatus, nStatus) == 68);
static_assert(offsetof(HafNetworkBondingPortStatus, nAlarmF) == 72);

typedef struct HafNetworkPortStatus {
    HafAtomic32 family;
    char netmask[64];
    char broadaddr[64];
    HafAtomic32 admin_status;
    HafAtomic32 oper_status;
    HafAtomic32 nAlarmF;
    HafAtomic32 tUpdate;
    HafAtomic32 nLoc;
    HafAtomic32 udpSD;
    int32_t nBondF;
    HafNetworkBondingPortStatus currIf;
    HafNetworkBondingPortStatus bond[2];

    void Clear();
} _HAF_NET_PORT_STATUS;
static_assert(sizeof(HafNetworkPortStatus) == 388);
static_assert(offsetof(HafNetworkPortStatus, family) == 0);
static_assert(offsetof(HafNetworkPortStatus, netmask) == 4);
static_assert(offsetof(HafNetworkPortStatus, broadaddr) == 68);
static_assert(offsetof(HafNetworkPortStatus, admin_status) == 132);
static_assert(offsetof(HafNetworkPortStatus, oper_status) == 136);
static_assert(offsetof(HafNetworkPortStatus, nAlarmF) == 140);
static_assert(offsetof(HafNetworkPortStatus, tUpdate) == 144);
static_assert(offsetof(HafNetworkPortStatus, nLoc) == 148);
static_assert(offsetof(HafNetworkPortStatus, udpSD) == 152);
static_assert(offsetof(HafNetworkPortStatus, nBondF) == 156);
static_assert(offsetof(HafNetworkPortStatus, currIf) == 160);
static_assert(offsetof(HafNetworkPortStatus, bond) == 236);

typedef struct HafNetworkPortInfo {
    HafAtomic32 updateT;
    char cNode[32];  // node name
    HafAtomic32 nPortCnt;
    HafNetworkPort stPortD[HAF_MAX_PORT];
    HafNetworkPortStatus stPortS[HAF_MAX_PORT];
    HafAtomic32 nINSPortCnt;
    HafAtomic32 nAlarmF;

    void Clear();
} _HAF_NET_PORT_INFO;
static_assert(sizeof(HafNetworkPortInfo) == 1912);
static_assert(offsetof(HafNetworkPortInfo, updateT) == 0);
static_assert(offsetof(HafNetworkPortInfo, cNode) == 4);
static_assert(offsetof(HafNetworkPortInfo, nPortCnt) == 36);
static_assert(offsetof(HafNetworkPortInfo, stPortD) == 40);
static_assert(offsetof(HafNetworkPortInfo, stPortS) == 1128);
static_assert(offsetof(HafNetworkPortInfo, nINSPortCnt) == 1904);
static_assert(offsetof(HafNetworkPortInfo, nAlarmF) == 1908);

typedef struct HafNetPortGroup {
    HafAtomic32 nPortGroupNo;
    HafAtomic32 nPortType;  // _enHAF_NetConfigType
    HafAtomic32 nSwitchF;
    HafNetworkPortInfo stV;                      // virtual addresses
    HafNetworkPortInfo stP[HAF_NODES_PER_GRP];   // node 0 and node 1

    void Clear();
} _HAF_NET_PORT_GRP;
static_assert(sizeof(HafNetPortGroup) == 5748);
static_assert(offsetof(HafNetPortGroup, nPortGroupNo) == 0);
static_assert(offsetof(HafNetPortGroup, nPortType) == 4);
static_assert(offsetof(HafNetPortGroup, nSwitchF) == 8);
static_assert(offsetof(HafNetPortGroup, stV) == 12);
static_assert(offsetof(HafNetPortGroup, stP) == 1924);

typedef struct HafNetNodeGroup {
    HafAtomic32 nUse;
    char cNodeG[32];  // group name
    HafAtomic32 nPortGrpCnt;
    HafNetPortGroup stPG[HAF_MAX_PORT_GRP];

    void Clear();
} _HAF_NET_NODE_GRP;
static_assert(sizeof(HafNetNodeGroup) == 57520);
static_assert(offsetof(HafNetNodeGroup, nUse) == 0);
static_assert(offsetof(HafNetNodeGroup, cNodeG) == 4);
static_assert(offsetof(HafNetNodeGroup, nPortGrpCnt) == 36);
static_assert(offsetof(HafNetNodeGroup, stPG) == 40);

typedef struct HafNetworkInformation {
    HafAtomic32 nNodeGCnt;
    HafNetNodeGroup stNodeG[HAF_MAX_NODE_GRP];
    HafAtomic32 nMyNodeG;  // this node's group index
    HafAtomic32 nMyNode;   // this node's index within its group (0 or 1)

    void Clear();
} _HAF_NET_INF;
static_assert(sizeof(HafNetworkInformation) == 1840652);
static_assert(offsetof(HafNetworkInformation, nNodeGCnt) == 0);
static_assert(offsetof(HafNetworkInformation, stNodeG) == 4);
static_assert(offsetof(HafNetworkInformation, nMyNodeG) == 1840644);
static_assert(offsetof(HafNetworkInformation, nMyNode) == 1840648);

HafNetworkInformation *Init_HafNetInfo(const char *pcKeyPath, int nCreateFlag);
HafNetworkInformation *careateHafNetInfoShm(int nCreateFlag);
char *getDefaultKetFileHafNetInfo();
const char *getKetFileHafNetInfo();
HafNetworkInformation *getHafNetInfoShm();
int getHafNetInfoShmInitFlag();
int getHafNetInfohmInitFlag(int nFlag);

// Null table: nothing found. Addresses are copied with at most nLen - 1 characters.

constexpr int HAF_LIB_IP_LEN = 1025;

typedef struct HafLibIfIpAddr {
    char cName[32];
    char cVIP1[HAF_LIB_IP_LEN];
    char cVIP2[HAF_LIB_IP_LEN];
    char cPIP1[HAF_LIB_IP_LEN];
    char cPIP2[HAF_LIB_IP_LEN];
} _HAF_LIB_IF_IPADDR;

typedef struct HafLibIfIpAddrList {
    int32_t nCnt;
    HafLibIfIpAddr stD[64];
} _HAF_LIB_IF_IPADDR_LIST;

typedef struct HafLibGrpIfIpAddr {
    char cName[32];
    char cVIP1[HAF_LIB_IP_LEN];
    char cVIP2[HAF_LIB_IP_LEN];
} _HAF_LIB_GRP_IF_IPADDR;

typedef struct HafLibGrpIfIpAddrList {
    int32_t nCnt;
    HafLibGrpIfIpAddr stD[32];
} _HAF_LIB_GRP_IF_IPADDR_LIST;

int HALibGetIntVIP(int nLen, char *pszIP);
int HALibGetIntLocalIP(int nLen, char *pszIP);
int HALibGetIntLocalIPStatus(int nLen, char *pszIP, int &nStatus);
int HALibGetIntRemoteIP(int nLen, char *pszIP);
int HALibGetHBLocalIP(int nLen, char *pszIP);
int HALibGetHBLocalIPStatus(int nLen, char *pszIP, int &nStatus);
int HALibGetHBRemoteIP(int nLen, char *pszIP);
int HALibGetExtVIP(int nLen, char *pszIP1, char *pszIP2);
int HALibGetExtLocalIP(int nLen, char *pszIP1, char *pszIP2);
int HALibGetExtRemoteIP(int nLen, char *pszIP1, char *pszIP2);
int HALibGetGIDVIP(int nGID, int nLen, char *pszIP);
int HALibGetGIDLocalIP(int nGID, int nLen, char *pszIP);
int HALibGetVIP(int nLen, char *pszIP);
int HALibGetIntSVCIP(int nLen, char *pszIP);
int HALibGetExtSVCIP(int nLen, char *pszIP1, char *pszIP2);

// Names compare ignoring letter case.
int HALibGetNodeIntIP(const char *cNodeName, HafLibIfIpAddr *pstAddr);
int HALibGetNodeExtIP(const char *cNodeName, HafLibIfIpAddr *pstAddr);
int HALibGetNodeIntIPList(HafLibIfIpAddrList *pstList);
int HALibGetNodeExtIPList(HafLibIfIpAddrList *pstList);
int HALibGetGroupIntIP(const char *cNodegrpName, HafLibGrpIfIpAddr *pstAddr);
int HALibGetGroupExtIP(const char *cNodegrpName, HafLibGrpIfIpAddr *pstAddr);
int HALibGetGroupIntIPList(HafLibGrpIfIpAddrList *pstList);
int HALibGetGroupExtIPList(HafLibGrpIfIpAddrList *pstList);

// The decimal number after the name's first four characters, modulo 2; 0 when there is none.
int HALibGetNodeID_IN(const char *pszNodeName);
