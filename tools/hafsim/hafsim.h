// HA master simulator: the tables, the master socket and the line commands that drive them; tests
// may drive a Simulator in-process as the program does from standard input.
#pragma once

#include <string>
#include <vector>

#include "hafsim_link.h"
#include "hafsim_tables.h"

namespace hafsim {

struct Options {
    Node own{"KEST0", "KEST", "KESTG"};
    Node peer{"KEST1", "KEST", "KESTG"};
    int nOwnRole = HAF_HOST_ACTIVE_SYSTEM;
    int nPeerRole = HAF_HOST_STANDBY_SYSTEM;
    std::vector<std::string> procs;  // "NAME PID [ID]" as for the proc command
    std::vector<std::string> nets;   // "TYPE VIPS OWNIPS PEERIPS" as for the net command
    bool bDefaultNet = true;         // add the default port groups when nets is empty
};

const char *commandHelp();

class Simulator {
public:
    // False with a reason.
    bool start(const Options &opts, std::string &err);
    // The reply line (empty for an empty line).
    std::string execute(const std::string &line);
    bool quitRequested() const { return bQuit_; }

    Tables &tables() { return tables_; }
    Link &link() { return link_; }

private:
    std::string cmdProc(const std::vector<std::string> &args);
    std::string cmdRole(const std::vector<std::string> &args);
    std::string cmdNet(const std::vector<std::string> &args);
    std::string cmdSend(const std::vector<std::string> &args, const std::string &rest);
    std::string cmdShow() const;

    Tables tables_;
    Link link_;
    bool bQuit_ = false;
};

// A redundancy status: off, init, standby, active or a number.
bool parseRole(const std::string &text, int &nOut);

// Default port groups: internal (3) and external service (4) with a virtual address, heartbeat (2).
std::vector<std::string> defaultNets();

}  // namespace hafsim
