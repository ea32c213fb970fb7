// HA master simulator: the master's three shared tables, at their exact sizes, filled as it would.
#pragma once

#include <string>

#include "haf/haf_def.h"
#include "haf/haf_dup_infoShm.h"
#include "haf/haf_net_infoShm.h"
#include "haf/haf_proc_ListShm.h"

namespace hafsim {

// One node of the pair as the duplication status and network tables show it.
struct Node {
    std::string name;   // e.g. "KEST0": the digits after the fourth character pick its slot
    std::string type;   // e.g. "KEST"
    std::string group;  // node group name
};

// Up to two addresses of one side of a port group (empty: none).
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

    // Creates (or finds) the key files and segments below the runtime root
    // and empties them. False with a reason when a table cannot be had.
    bool create(std::string &err);
    // Removes the segments from the system (attached processes keep them until they detach).
    void removeSegments();

    // Own and peer rows of the duplication status, and the own node group.
    void setPair(const Node &own, const Node &peer);
    // Redundancy status (_enHostOperStatus) of the own and peer rows.
    void setRoles(int nOwn, int nPeer);
    // Adds or replaces the process-list row of pid; the row, or -1 when full.
    int addProcess(const std::string &name, int nPid, int nHaProcId);
    // Adds a port group of the type to the own node group; false when it holds ten already.
    bool addPortGroup(int nType, const Ports &virt, const Ports &own, const Ports &peer);

    // The process event record of pid (zeroed but for nPId when unknown).
    ClientProInfoHAF_ processEvent(int nPid) const;
    // Status report of the pair, with the given local redundancy status.
    HafHostStatusRpt hostStatus(int nLocalRedundancy) const;
    // Name of the process bound for pid, or "".
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
