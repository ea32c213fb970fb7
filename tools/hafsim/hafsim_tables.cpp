#include "hafsim_tables.h"

#include <sys/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/error.h"
#include "base/string.h"
#include "haf/haf_proc_util.h"
#include "ipc/shmlib.h"

namespace hafsim {

namespace {

int nodeNumber(const Node &node) {
    if (node.name.size() <= node.type.size()) return 0;
    return atoi(node.name.c_str() + node.type.size());
}

void fillRow(HOST_STATUS &row, const Node &node) {
    StrCpy(row.szNodeType, node.type.c_str(), sizeof(row.szNodeType));
    row.nNodeType = 1;
    StrCpy(row.szNodeGroupName, node.group.c_str(), sizeof(row.szNodeGroupName));
    row.nNodeGroupNo = 1;
    StrCpy(row.szNodeName, node.name.c_str(), sizeof(row.szNodeName));
    row.nNodeNo = nodeNumber(node);
    row.tUpdateT = time(nullptr);
}

void fillSide(HafNetworkPortInfo &side, const std::string &name, const Ports &ports) {
    side.Clear();
    StrCpy(side.cNode, name.c_str(), sizeof(side.cNode));
    int nCnt = 0;
    for (const std::string *pAddr : {&ports.first, &ports.second}) {
        if (pAddr->empty()) continue;
        HafNetworkPort &port = side.stPortD[nCnt];
        port.nUsed = 1;
        SNPrintf(port.ifName, sizeof(port.ifName), "eth%d", nCnt);
        StrCpy(port.host, pAddr->c_str(), sizeof(port.host));
        StrCpy(port.netmask, "255.255.255.0", sizeof(port.netmask));
        side.stPortS[nCnt].oper_status = 1;
        ++nCnt;
    }
    side.nPortCnt = nCnt;
    side.nINSPortCnt = nCnt;
    side.updateT = static_cast<int32_t>(time(nullptr));
}

}  // namespace

Tables::~Tables() {
    for (Segment *pSeg : {&proc_, &dup_, &net_}) {
        if (pSeg->pvAddr != nullptr) shmdt(pSeg->pvAddr);
    }
}

bool Tables::openSegment(const char *pszKeyName, int nSize, Segment &seg, std::string &err) {
    char szPath[HAF_KEY_PATH_SIZE];
    getShmDirPath_Haf(szPath, sizeof(szPath));
    StrCat(szPath, pszKeyName, sizeof(szPath));
    int nFirst = 0;
    // The master owns the sizes: a segment left with another size is replaced.
    if (makeRuntimeDirs_Haf(szPath) != 0) {
        err = std::string("cannot create the directory of ") + szPath + ": " + StrError(errno);
        return false;
    }
    seg.pvAddr = ShmOpen(szPath, nSize, &nFirst, &seg.nId, 0, SHM_MODE_PRIVATE);
    if (seg.pvAddr == nullptr) {
        err = std::string("cannot open ") + szPath + ": " + StrError(errno);
        return false;
    }
    return true;
}

bool Tables::create(std::string &err) {
    if (!openSegment("processList", sizeof(ProcListHAF), proc_, err) ||
        !openSegment("dupInfo", sizeof(NET_STATUS), dup_, err) ||
        !openSegment("netInfo", sizeof(HafNetworkInformation), net_, err))
        return false;
    clear();
    return true;
}

void Tables::clear() {
    procList()->Clear();
    memset(static_cast<void *>(dupInfo()), 0, sizeof(NET_STATUS));
    netInfo()->Clear();
}

void Tables::removeSegments() {
    for (Segment *pSeg : {&proc_, &dup_, &net_}) {
        if (pSeg->nId >= 0) shmctl(pSeg->nId, IPC_RMID, nullptr);
        pSeg->nId = -1;
    }
}

void Tables::setPair(const Node &own, const Node &peer) {
    NET_STATUS *pDup = dupInfo();
    int nOwn = HALibGetNodeID_IN(own.name.c_str());
    if (nOwn != 1) nOwn = 0;
    pDup->nNode = nOwn;
    pDup->nPNode = 1 - nOwn;
    fillRow(pDup->stHostStatus[pDup->nNode], own);
    fillRow(pDup->stHostStatus[pDup->nPNode], peer);

    HafNetworkInformation *pNet = netInfo();
    pNet->nNodeGCnt = 1;
    pNet->nMyNodeG = 0;
    pNet->nMyNode = nOwn;
    HafNetNodeGroup &group = pNet->stNodeG[0];
    group.nUse = 1;
    StrCpy(group.cNodeG, own.group.c_str(), sizeof(group.cNodeG));
}

void Tables::setRoles(int nOwn, int nPeer) {
    NET_STATUS *pDup = dupInfo();
    pDup->stHostStatus[pDup->nNode].nHostOperStatus = static_cast<int16_t>(nOwn);
    pDup->stHostStatus[pDup->nPNode].nHostOperStatus = static_cast<int16_t>(nPeer);
    pDup->stHostStatus[pDup->nNode].tUpdateT = time(nullptr);
    pDup->stHostStatus[pDup->nPNode].tUpdateT = time(nullptr);
}

int Tables::findProcess(int nPid) const {
    const ProcListHAF *pList = procList();
    for (int i = 0; i < pList->nProcCnt && i < HAF_MAX_PROC; ++i) {
        if (pList->stCont[i].nPId.load() == nPid) return i;
    }
    return -1;
}

int Tables::addProcess(const std::string &name, int nPid, int nHaProcId) {
    ProcListHAF *pList = procList();
    int nRow = findProcess(nPid);
    if (nRow < 0) {
        if (pList->nProcCnt >= HAF_MAX_PROC) return -1;
        nRow = pList->nProcCnt;
    }
    ProcInfoHAF &info = pList->stInfo[nRow];
    memset(&info, 0, sizeof(info));
    info.nIndex = nRow;
    info.nUsed = 1;
    StrCpy(info.szProcessName, name.c_str(), sizeof(info.szProcessName));
    info.nProcessID = nHaProcId;
    info.nRunState = HAF_RUN_TYPE_BOTH;
    info.nAction = HAF_ACTION_TYPE_RESPAWN;
    ProcMngInfoHAF &cont = pList->stCont[nRow];
    cont.Clear();
    cont.nCurStat = HAF_PROC_STATUS_ENABLE;
    cont.nPId = nPid;
    cont.tStartTime = static_cast<int32_t>(time(nullptr));
    if (nRow == pList->nProcCnt) pList->nProcCnt = nRow + 1;
    return nRow;
}

bool Tables::addPortGroup(int nType, const Ports &virt, const Ports &own, const Ports &peer) {
    HafNetworkInformation *pNet = netInfo();
    const NET_STATUS *pDup = dupInfo();
    HafNetNodeGroup &group = pNet->stNodeG[0];
    int nIdx = group.nPortGrpCnt.load();
    if (nIdx >= HAF_MAX_PORT_GRP) return false;
    HafNetPortGroup &pg = group.stPG[nIdx];
    pg.Clear();
    pg.nPortGroupNo = nIdx;
    pg.nPortType = nType;
    int nOwn = pNet->nMyNode.load();
    fillSide(pg.stV, group.cNodeG, virt);
    fillSide(pg.stP[nOwn], pDup->stHostStatus[pDup->nNode].szNodeName, own);
    fillSide(pg.stP[1 - nOwn], pDup->stHostStatus[pDup->nPNode].szNodeName, peer);
    group.nPortGrpCnt = nIdx + 1;
    return true;
}

ClientProInfoHAF_ Tables::processEvent(int nPid) const {
    int nRow = findProcess(nPid);
    ClientProInfoHAF_ ev;
    memset(&ev, 0, sizeof(ev));
    if (nRow >= 0) ev = makeProcessEvent_Haf(procList()->stInfo[nRow], procList()->stCont[nRow]);
    ev.nPId = nPid;
    return ev;
}

HafHostStatusRpt Tables::hostStatus(int nLocalRedundancy) const {
    const NET_STATUS *pDup = dupInfo();
    HafHostStatusRpt rpt =
        makeHostStatusRpt_Haf(pDup->stHostStatus[pDup->nNode], pDup->stHostStatus[pDup->nPNode]);
    rpt.nLocalRedundancyStatus = static_cast<int16_t>(nLocalRedundancy);
    return rpt;
}

std::string Tables::processName(int nPid) const {
    int nRow = findProcess(nPid);
    if (nRow < 0) return "";
    const char *psz = procList()->stInfo[nRow].szProcessName;
    return std::string(psz, strnlen(psz, sizeof(procList()->stInfo[nRow].szProcessName)));
}

}  // namespace hafsim
