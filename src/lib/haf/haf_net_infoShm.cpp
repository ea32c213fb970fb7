// The network-information table and the address accessors over it.
#include "haf/haf_net_infoShm.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "haf_lib_state.h"
#include "haf_shm_table.h"

void HafNetworkBondingPortStatus::Clear() {
    nUsed = 0;
    cIfName[0] = '\0';
    nStatus = 0;
    nAlarmF = -1;
}

void HafNetworkPortStatus::Clear() {
    family = 0;
    netmask[0] = '\0';
    broadaddr[0] = '\0';
    admin_status = 0;
    oper_status = 0;
    nAlarmF = 0;
    tUpdate = 0;
    nLoc = 0;
    udpSD = -1;
    nBondF = 0;
    currIf.Clear();
    for (HafNetworkBondingPortStatus &stBond : bond) stBond.Clear();
}

void HafNetworkPort::Clear() {
    nUsed = 0;
    ifName[0] = '\0';
    host[0] = '\0';
    netmask[0] = '\0';
    broadcast[0] = '\0';
    desc[0] = '\0';
    nMTU = 1500;
    nChg = 0;
    nIPNo = 1;
    nPORT = 0;
}

void HafNetworkPortInfo::Clear() {
    cNode[0] = '\0';
    nPortCnt = 0;
    updateT = 0;
    for (HafNetworkPort &stPort : stPortD) stPort.Clear();
    for (HafNetworkPortStatus &stStatus : stPortS) stStatus.Clear();
    nINSPortCnt = 0;
    nAlarmF = 0;
}

void HafNetPortGroup::Clear() {
    nPortGroupNo = -1;
    nPortType = 0;
    nSwitchF = 0;
    stV.Clear();
    for (HafNetworkPortInfo &stNode : stP) stNode.Clear();
}

void HafNetNodeGroup::Clear() {
    nUse = 0;
    cNodeG[0] = '\0';
    nPortGrpCnt = 0;
    for (HafNetPortGroup &stGroup : stPG) stGroup.Clear();
}

void HafNetworkInformation::Clear() {
    nNodeGCnt = 0;
    nMyNodeG = 0;
    nMyNode = 0;
    for (HafNetNodeGroup &stGroup : stNodeG) stGroup.Clear();
}

namespace {

void initialiseNetInfo(void *pvShm) { static_cast<HafNetworkInformation *>(pvShm)->Clear(); }

constexpr HafShmTableDesc kNetInfoDesc = {
    "netInfo",
    static_cast<int>(sizeof(HafNetworkInformation)),
    "Init_HafNetInfo",
    "getDefaultKetFileHafNetInfo",
    "careateHafNetInfoShm",
    nullptr,
    initialiseNetInfo,
};

HafShmTable gNetInfo(kNetInfoDesc);

}  // namespace

HafNetworkInformation *Init_HafNetInfo(const char *pcKeyPath, int nCreateFlag) {
    return static_cast<HafNetworkInformation *>(gNetInfo.init(pcKeyPath, nCreateFlag));
}

HafNetworkInformation *careateHafNetInfoShm(int nCreateFlag) {
    return static_cast<HafNetworkInformation *>(gNetInfo.open(nCreateFlag));
}

char *getDefaultKetFileHafNetInfo() { return gNetInfo.defaultKey(); }
const char *getKetFileHafNetInfo() { return gNetInfo.key(); }
HafNetworkInformation *getHafNetInfoShm() {
    return static_cast<HafNetworkInformation *>(gNetInfo.shm());
}
int getHafNetInfoShmInitFlag() { return gNetInfo.initFlag(); }
int getHafNetInfohmInitFlag(int nFlag) { return gNetInfo.setInitFlag(nFlag); }

int HALibGetNodeID_IN(const char *pszNodeName) {
    if (pszNodeName == nullptr || strnlen(pszNodeName, 5) <= 4) return 0;
    return static_cast<int>(strtol(pszNodeName + 4, nullptr, 10) % 2);
}

namespace {

// The master writes the table at any time: counts and indexes are bounded before use.
int bounded(int nValue, int nMax) { return nValue < 0 ? 0 : (nValue > nMax ? nMax : nValue); }

template <size_t N>
bool nameEquals(const char (&szField)[N], const char *pszName) {
    char szCopy[N + 1];
    copyField_Haf(szCopy, sizeof(szCopy), szField);
    return strcasecmp(szCopy, pszName) == 0;
}

enum class Side { kVirtual, kOwn, kPeer };

bool isType(const HafNetPortGroup &stPG, int nType) { return stPG.nPortType.load() == nType; }
bool isInternal(const HafNetPortGroup &stPG) { return isType(stPG, DEF_HAF_NET_CHG_INTR); }
bool isExternal(const HafNetPortGroup &stPG) {
    return isType(stPG, DEF_HAF_NET_CHG_SSVC) || isType(stPG, DEF_HAF_NET_CHG_MSVC);
}

class OwnView {
public:
    OwnView() {
        const HafNetworkInformation *pstNet = getHafNetInfoShm();
        if (pstNet == nullptr) return;
        int nGroup = pstNet->nMyNodeG.load();
        int nNode = pstNet->nMyNode.load();
        if (nGroup < 0 || nGroup >= HAF_MAX_NODE_GRP || nNode < 0 || nNode >= HAF_NODES_PER_GRP)
            return;
        pstGroup_ = &pstNet->stNodeG[nGroup];
        nOwn_ = nNode;
    }
    bool valid() const { return pstGroup_ != nullptr; }
    int portGroupCount() const { return bounded(pstGroup_->nPortGrpCnt.load(), HAF_MAX_PORT_GRP); }
    const HafNetPortGroup &portGroup(int i) const { return pstGroup_->stPG[i]; }
    const HafNetworkPortInfo &side(const HafNetPortGroup &stPG, Side side) const {
        if (side == Side::kVirtual) return stPG.stV;
        return stPG.stP[side == Side::kOwn ? nOwn_ : (nOwn_ + 1) % HAF_NODES_PER_GRP];
    }

private:
    const HafNetNodeGroup *pstGroup_ = nullptr;
    int nOwn_ = 0;
};

struct Found {
    const HafNetworkPort *pstPort = nullptr;
    const HafNetworkPortStatus *pstStatus = nullptr;
};

// Each non-empty address of the chosen side of the matching port groups, until fn returns true.
template <class Match, class Fn>
bool forEachAddress(const OwnView &view, Side side, Match match, Fn fn) {
    if (!view.valid()) return false;
    for (int i = 0; i < view.portGroupCount(); ++i) {
        const HafNetPortGroup &stPG = view.portGroup(i);
        if (!match(stPG)) continue;
        const HafNetworkPortInfo &stInfo = view.side(stPG, side);
        int nPorts = bounded(stInfo.nPortCnt.load(), HAF_MAX_PORT);
        for (int k = 0; k < nPorts; ++k) {
            if (stInfo.stPortD[k].host[0] == '\0') continue;
            if (fn(Found{&stInfo.stPortD[k], &stInfo.stPortS[k]})) return true;
        }
    }
    return false;
}

bool validBuffer(int nLen, const char *psz) { return nLen > 0 && psz != nullptr; }

// First address (and its port's operational status when asked).
template <class Match>
int firstAddress(Side side, Match match, int nLen, char *pszIP, int *pnStatus = nullptr) {
    if (!validBuffer(nLen, pszIP)) return -1;
    OwnView view;
    bool bFound = forEachAddress(view, side, match, [&](const Found &stFound) {
        copyField_Haf(pszIP, static_cast<size_t>(nLen), stFound.pstPort->host);
        if (pnStatus != nullptr) *pnStatus = stFound.pstStatus->oper_status.load();
        return true;
    });
    if (!bFound && pnStatus != nullptr) *pnStatus = 0;
    return bFound ? 0 : -1;
}

// Addresses of a node's own type first, then of the other types except monitoring.
int preferredThenOthers(int nType, Side side, int nLen, char *pszIP, int *pnStatus = nullptr) {
    auto preferred = [nType](const HafNetPortGroup &stPG) { return isType(stPG, nType); };
    auto others = [nType](const HafNetPortGroup &stPG) {
        return !isType(stPG, nType) && !isType(stPG, DEF_HAF_NET_CHG_MONI);
    };
    if (firstAddress(side, preferred, nLen, pszIP, pnStatus) == 0) return 0;
    return firstAddress(side, others, nLen, pszIP, pnStatus);
}

int twoExternal(Side side, int nLen, char *pszIP1, char *pszIP2) {
    if (!validBuffer(nLen, pszIP1)) return -1;
    OwnView view;
    int nFound = 0;
    forEachAddress(view, side, isExternal, [&](const Found &stFound) {
        char *pszOut = nFound == 0 ? pszIP1 : pszIP2;
        if (pszOut != nullptr)
            copyField_Haf(pszOut, static_cast<size_t>(nLen), stFound.pstPort->host);
        return ++nFound == 2;
    });
    return nFound > 0 ? 0 : -1;
}

int byGroupIndex(int nGID, Side side, int nLen, char *pszIP) {
    OwnView view;
    if (!view.valid() || nGID < 0 || nGID >= view.portGroupCount()) return -1;
    const HafNetPortGroup *pstWanted = &view.portGroup(nGID);
    return firstAddress(side, [pstWanted](const HafNetPortGroup &stPG) { return &stPG == pstWanted; },
                        nLen, pszIP);
}

// The name lookups scan node groups 0 up to and including nNodeGCnt.
template <class Match, class Fn>
bool forEachPortGroup(Match match, Fn fn) {
    const HafNetworkInformation *pstNet = getHafNetInfoShm();
    if (pstNet == nullptr) return false;
    int nLast = bounded(pstNet->nNodeGCnt.load(), HAF_MAX_NODE_GRP - 1);
    for (int g = 0; g <= nLast; ++g) {
        const HafNetNodeGroup &stGroup = pstNet->stNodeG[g];
        int nCnt = bounded(stGroup.nPortGrpCnt.load(), HAF_MAX_PORT_GRP);
        for (int i = 0; i < nCnt; ++i) {
            if (match(stGroup.stPG[i]) && fn(stGroup, stGroup.stPG[i])) return true;
        }
    }
    return false;
}

void fillNode(HafLibIfIpAddr *pstOut, const HafNetPortGroup &stPG, int nNode) {
    const HafNetworkPortInfo &stNode = stPG.stP[nNode];
    copyField_Haf(pstOut->cName, sizeof(pstOut->cName), stNode.cNode);
    copyField_Haf(pstOut->cVIP1, sizeof(pstOut->cVIP1), stPG.stV.stPortD[0].host);
    copyField_Haf(pstOut->cVIP2, sizeof(pstOut->cVIP2), stPG.stV.stPortD[1].host);
    copyField_Haf(pstOut->cPIP1, sizeof(pstOut->cPIP1), stNode.stPortD[0].host);
    copyField_Haf(pstOut->cPIP2, sizeof(pstOut->cPIP2), stNode.stPortD[1].host);
}

void fillGroup(HafLibGrpIfIpAddr *pstOut, const HafNetNodeGroup &stGroup,
               const HafNetPortGroup &stPG) {
    copyField_Haf(pstOut->cName, sizeof(pstOut->cName), stGroup.cNodeG);
    copyField_Haf(pstOut->cVIP1, sizeof(pstOut->cVIP1), stPG.stV.stPortD[0].host);
    copyField_Haf(pstOut->cVIP2, sizeof(pstOut->cVIP2), stPG.stV.stPortD[1].host);
}

template <class Match>
int nodeAddresses(const char *cNodeName, HafLibIfIpAddr *pstAddr, Match match) {
    if (cNodeName == nullptr || pstAddr == nullptr) return -1;
    int nNode = HALibGetNodeID_IN(cNodeName);
    if (nNode != 0 && nNode != 1) return -1;
    bool bFound = forEachPortGroup(match, [&](const HafNetNodeGroup &, const HafNetPortGroup &stPG) {
        if (!nameEquals(stPG.stP[nNode].cNode, cNodeName)) return false;
        fillNode(pstAddr, stPG, nNode);
        return true;
    });
    return bFound ? 0 : -1;
}

template <class Match>
int nodeAddressList(HafLibIfIpAddrList *pstList, Match match) {
    if (pstList == nullptr) return -1;
    constexpr int kMax = static_cast<int>(sizeof(pstList->stD) / sizeof(pstList->stD[0]));
    pstList->nCnt = 0;
    forEachPortGroup(match, [&](const HafNetNodeGroup &, const HafNetPortGroup &stPG) {
        for (int nNode = 0; nNode < HAF_NODES_PER_GRP && pstList->nCnt < kMax; ++nNode)
            fillNode(&pstList->stD[pstList->nCnt++], stPG, nNode);
        return pstList->nCnt >= kMax;
    });
    return pstList->nCnt;
}

template <class Match>
int groupAddresses(const char *cNodegrpName, HafLibGrpIfIpAddr *pstAddr, Match match) {
    if (cNodegrpName == nullptr || pstAddr == nullptr) return -1;
    bool bFound = forEachPortGroup(match, [&](const HafNetNodeGroup &stGroup,
                                              const HafNetPortGroup &stPG) {
        if (!nameEquals(stGroup.cNodeG, cNodegrpName)) return false;
        fillGroup(pstAddr, stGroup, stPG);
        return true;
    });
    return bFound ? 0 : -1;
}

template <class Match>
int groupAddressList(HafLibGrpIfIpAddrList *pstList, Match match) {
    if (pstList == nullptr) return -1;
    constexpr int kMax = static_cast<int>(sizeof(pstList->stD) / sizeof(pstList->stD[0]));
    pstList->nCnt = 0;
    forEachPortGroup(match, [&](const HafNetNodeGroup &stGroup, const HafNetPortGroup &stPG) {
        fillGroup(&pstList->stD[pstList->nCnt++], stGroup, stPG);
        return pstList->nCnt >= kMax;
    });
    return pstList->nCnt;
}

}  // namespace

int HALibGetIntVIP(int nLen, char *pszIP) {
    return firstAddress(Side::kVirtual, isInternal, nLen, pszIP);
}

int HALibGetIntLocalIP(int nLen, char *pszIP) {
    return preferredThenOthers(DEF_HAF_NET_CHG_INTR, Side::kOwn, nLen, pszIP);
}

int HALibGetIntLocalIPStatus(int nLen, char *pszIP, int &nStatus) {
    return firstAddress(Side::kOwn, isInternal, nLen, pszIP, &nStatus);
}

int HALibGetIntRemoteIP(int nLen, char *pszIP) {
    return preferredThenOthers(DEF_HAF_NET_CHG_INTR, Side::kPeer, nLen, pszIP);
}

int HALibGetHBLocalIP(int nLen, char *pszIP) {
    return preferredThenOthers(DEF_HAF_NET_CHG_HEART, Side::kOwn, nLen, pszIP);
}

int HALibGetHBLocalIPStatus(int nLen, char *pszIP, int &nStatus) {
    return preferredThenOthers(DEF_HAF_NET_CHG_HEART, Side::kOwn, nLen, pszIP, &nStatus);
}

int HALibGetHBRemoteIP(int nLen, char *pszIP) {
    return preferredThenOthers(DEF_HAF_NET_CHG_HEART, Side::kPeer, nLen, pszIP);
}

int HALibGetExtVIP(int nLen, char *pszIP1, char *pszIP2) {
    return twoExternal(Side::kVirtual, nLen, pszIP1, pszIP2);
}

int HALibGetExtLocalIP(int nLen, char *pszIP1, char *pszIP2) {
    return twoExternal(Side::kOwn, nLen, pszIP1, pszIP2);
}

int HALibGetExtRemoteIP(int nLen, char *pszIP1, char *pszIP2) {
    return twoExternal(Side::kPeer, nLen, pszIP1, pszIP2);
}

int HALibGetGIDVIP(int nGID, int nLen, char *pszIP) {
    return byGroupIndex(nGID, Side::kVirtual, nLen, pszIP);
}

int HALibGetGIDLocalIP(int nGID, int nLen, char *pszIP) {
    return byGroupIndex(nGID, Side::kOwn, nLen, pszIP);
}

int HALibGetVIP(int nLen, char *pszIP) {
    if (HALibGetExtVIP(nLen, pszIP, nullptr) == 0) return 0;
    if (HALibGetIntVIP(nLen, pszIP) == 0) return 0;
    if (HALibGetExtLocalIP(nLen, pszIP, nullptr) == 0) return 0;
    return HALibGetIntLocalIP(nLen, pszIP);
}

int HALibGetIntSVCIP(int nLen, char *pszIP) {
    if (HALibGetIntVIP(nLen, pszIP) == 0) return 0;
    return HALibGetIntLocalIP(nLen, pszIP);
}

int HALibGetExtSVCIP(int nLen, char *pszIP1, char *pszIP2) {
    if (HALibGetExtVIP(nLen, pszIP1, pszIP2) == 0) return 0;
    return HALibGetExtLocalIP(nLen, pszIP1, pszIP2);
}

int HALibGetNodeIntIP(const char *cNodeName, HafLibIfIpAddr *pstAddr) {
    return nodeAddresses(cNodeName, pstAddr, isInternal);
}

int HALibGetNodeExtIP(const char *cNodeName, HafLibIfIpAddr *pstAddr) {
    return nodeAddresses(cNodeName, pstAddr, isExternal);
}

int HALibGetNodeIntIPList(HafLibIfIpAddrList *pstList) {
    return nodeAddressList(pstList, isInternal);
}

int HALibGetNodeExtIPList(HafLibIfIpAddrList *pstList) {
    return nodeAddressList(pstList, isExternal);
}

int HALibGetGroupIntIP(const char *cNodegrpName, HafLibGrpIfIpAddr *pstAddr) {
    return groupAddresses(cNodegrpName, pstAddr, isInternal);
}

int HALibGetGroupExtIP(const char *cNodegrpName, HafLibGrpIfIpAddr *pstAddr) {
    return groupAddresses(cNodegrpName, pstAddr, isExternal);
}

int HALibGetGroupIntIPList(HafLibGrpIfIpAddrList *pstList) {
    return groupAddressList(pstList, isInternal);
}

int HALibGetGroupExtIPList(HafLibGrpIfIpAddrList *pstList) {
    return groupAddressList(pstList, isExternal);
}
