// HA master simulator: the master's three shared tables, at their exact sizes, filled as it would.
#pragma once

#include <string>

#include "haf/haf_def.h"
#include "haf/haf_dup_infoShm.h"
#include "haf/haf_net_infoShm.h"
#include "haf/haf_proc_ListShm.h"

namespace hafsim {

struct Node {
    std::string name;   // e.g. "KEST0": the digits after the fourth character pick its slot
    std::string type;   // e.g. "KEST"
    std::string group;  // node group name
};

// Up to two addresses of a port group side (empty: none).
struct Ports {
    std::string first;
    std::string second;
};

class Tables {
public:
    Tables() = default;
    ~Tables();
    Tables(const Tables &) = delete;
    Tables &operator=(const Tables &) = delete;

    // Empties the tables. False with a reason when a table cannot be had.
    bool create(std::string &err);
    // Attached processes keep the segments until they detach.
    void removeSegments();

    void setPair(const Node &own, const Node &peer);
    void setRoles(int nOwn, int nPeer);
    // The row, or -1 when full.
    int addProcess(const std::string &name, int nPid, int nHaProcId);
    // False when the own node group holds ten already.
    bool addPortGroup(int nType, const Ports &virt, const Ports &own, const Ports &peer);

    // Zeroed but for nPId when pid is unknown.
    ClientProInfoHAF_ processEvent(int nPid) const;
    HafHostStatusRpt hostStatus(int nLocalRedundancy) const;
    std::string processName(int nPid) const;

    ProcListHAF *procList() const { return static_cast<ProcListHAF *>(proc_.pvAddr); }
    NET_STATUS *dupInfo() const { return static_cast<NET_STATUS *>(dup_.pvAddr); }
    HafNetworkInformation *netInfo() const {
        return static_cast<HafNetworkInformation *>(net_.pvAddr);
    }

private:
    struct Segment {
        void *pvAddr = nullptr;
        int nId = -1;
    };
    static bool openSegment(const char *pszKeyName, int nSize, Segment &seg, std::string &err);
    void clear();
    int findProcess(int nPid) const;

    Segment proc_, dup_, net_;
};

}  // namespace hafsim
