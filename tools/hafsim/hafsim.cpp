#include "hafsim.h"

#include <cstdlib>
#include <sstream>

#include "haf/haf_def.h"

namespace hafsim {

namespace {

std::vector<std::string> words(const std::string &line) {
    std::istringstream is(line);
    std::vector<std::string> out;
    for (std::string w; is >> w;) out.push_back(w);
    return out;
}

// Text after the first nWords words of line, without leading blanks.
std::string restAfter(const std::string &line, size_t nWords) {
    size_t pos = 0;
    for (size_t i = 0; i < nWords; ++i) {
        pos = line.find_first_not_of(" \t", pos);
        if (pos == std::string::npos) return "";
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string::npos) return "";
    }
    pos = line.find_first_not_of(" \t", pos);
    return pos == std::string::npos ? "" : line.substr(pos);
}

bool toInt(const std::string &text, int &nOut) {
    char *pcEnd = nullptr;
    long lValue = strtol(text.c_str(), &pcEnd, 10);
    if (text.empty() || *pcEnd != '\0') return false;
    nOut = static_cast<int>(lValue);
    return true;
}

Ports toPorts(const std::string &text) {
    Ports ports;
    if (text == "-") return ports;
    size_t comma = text.find(',');
    ports.first = text.substr(0, comma);
    if (comma != std::string::npos) ports.second = text.substr(comma + 1);
    return ports;
}

std::string describeRow(const char *pszWhich, const HOST_STATUS &row) {
    std::ostringstream os;
    os << pszWhich << "=" << row.szNodeName << " type=" << row.szNodeType
       << " group=" << row.szNodeGroupName << " role=" << row.nHostOperStatus;
    return os.str();
}

}  // namespace

bool parseRole(const std::string &text, int &nOut) {
    static const struct {
        const char *pszName;
        int nValue;
    } kRoles[] = {{"off", HAF_HOST_OFF_SYSTEM},
                  {"init", HAF_HOST_INIT_SYSTEM},
                  {"standby", HAF_HOST_STANDBY_SYSTEM},
                  {"active", HAF_HOST_ACTIVE_SYSTEM}};
    for (const auto &role : kRoles) {
        if (text == role.pszName) {
            nOut = role.nValue;
            return true;
        }
    }
    return toInt(text, nOut);
}

const char *commandHelp() {
    return "commands (one per line; each reply is one line starting \"ok\" or \"error\"):\n"
           "  proc NAME PID [ID]            add or replace the process-list row of PID\n"
           "  role OWN PEER                 redundancy status of the own and peer rows\n"
           "                                (off, init, standby, active or -1, 1, 2, 3)\n"
           "  net TYPE VIPS OWNIPS PEERIPS  add a port group of TYPE (1 to 5) to the own node\n"
           "                                group; addresses comma-separated, \"-\" for none\n"
           "  send PID TYPE [ARG]           send a message to the client of PID:\n"
           "                                1002, 1005: ARG = local redundancy status\n"
           "                                1003: the process-list row of PID\n"
           "                                1006, 1008: ARG = block text\n"
           "                                other types: ARG = raw payload text\n"
           "  show                          the own and peer rows\n"
           "  help                          this list\n"
           "  quit                          end the simulator\n";
}

std::vector<std::string> defaultNets() {
    return {"3 10.10.0.100 10.10.0.1 10.10.0.2", "2 - 10.20.0.1 10.20.0.2",
            "4 192.168.0.100 192.168.0.1 192.168.0.2"};
}

bool Simulator::start(const Options &opts, std::string &err) {
    if (!tables_.create(err)) return false;
    tables_.setPair(opts.own, opts.peer);
    tables_.setRoles(opts.nOwnRole, opts.nPeerRole);
    std::vector<std::string> lines;
    for (const std::string &proc : opts.procs) lines.push_back("proc " + proc);
    std::vector<std::string> nets = opts.nets;
    if (nets.empty() && opts.bDefaultNet) nets = defaultNets();
    for (const std::string &net : nets) lines.push_back("net " + net);
    for (const std::string &line : lines) {
        std::string reply = execute(line);
        if (reply.rfind("ok", 0) != 0) {
            err = reply;
            return false;
        }
    }
    return link_.bind(err);
}

std::string Simulator::execute(const std::string &line) {
    std::vector<std::string> args = words(line);
    if (args.empty()) return "";
    const std::string &cmd = args[0];
    if (cmd == "proc") return cmdProc(args);
    if (cmd == "role") return cmdRole(args);
    if (cmd == "net") return cmdNet(args);
    if (cmd == "send") return cmdSend(args, restAfter(line, 3));
    if (cmd == "show") return cmdShow();
    if (cmd == "help") return std::string("ok ") + commandHelp();
    if (cmd == "quit") {
        bQuit_ = true;
        return "ok quit";
    }
    return "error unknown command: " + cmd;
}

std::string Simulator::cmdProc(const std::vector<std::string> &args) {
    int nPid = 0;
    int nId = 1;
    if (args.size() < 3 || args.size() > 4 || !toInt(args[2], nPid) ||
        (args.size() == 4 && !toInt(args[3], nId)))
        return "error usage: proc NAME PID [ID]";
    int nRow = tables_.addProcess(args[1], nPid, nId);
    if (nRow < 0) return "error process list full";
    return "ok proc " + args[1] + " pid=" + args[2] + " id=" + std::to_string(nId) +
           " row=" + std::to_string(nRow);
}

std::string Simulator::cmdRole(const std::vector<std::string> &args) {
    int nOwn = 0;
    int nPeer = 0;
    if (args.size() != 3 || !parseRole(args[1], nOwn) || !parseRole(args[2], nPeer))
        return "error usage: role OWN PEER";
    tables_.setRoles(nOwn, nPeer);
    return "ok role own=" + std::to_string(nOwn) + " peer=" + std::to_string(nPeer);
}

std::string Simulator::cmdNet(const std::vector<std::string> &args) {
    int nType = 0;
    if (args.size() != 5 || !toInt(args[1], nType) || nType < DEF_HAF_NET_CHG_MONI ||
        nType >= DEF_HAF_NET_CHG_MAX)
        return "error usage: net TYPE VIPS OWNIPS PEERIPS";
    if (!tables_.addPortGroup(nType, toPorts(args[2]), toPorts(args[3]), toPorts(args[4])))
        return "error port groups full";
    return "ok net type=" + args[1];
}

std::string Simulator::cmdSend(const std::vector<std::string> &args, const std::string &rest) {
    int nPid = 0;
    int nType = 0;
    if (args.size() < 3 || !toInt(args[1], nPid) || !toInt(args[2], nType))
        return "error usage: send PID TYPE [ARG]";
    std::string err;
    std::string dest = tables_.processName(nPid);
    bool bSent = false;
    if (nType == HAF_MSG_HOST_STATUS_RPT || nType == HAF_MSG_HOST_ETC_STATUS_RPT) {
        int nRed = 0;
        if (args.size() != 4 || !parseRole(args[3], nRed))
            return "error usage: send PID " + args[2] + " REDUNDANCY";
        HafHostStatusRpt rpt = tables_.hostStatus(nRed);
        bSent = link_.send(nPid, nType, dest, &rpt, sizeof(rpt), err);
    } else if (nType == HAF_MSG_PROC_STATUS_RPT) {
        ClientProInfoHAF_ ev = tables_.processEvent(nPid);
        bSent = link_.send(nPid, nType, dest, &ev, sizeof(ev), err);
    } else if (nType == HAF_MSG_PROC_HANG_START_RPT || nType == HAF_MSG_PROC_NOREPORT_START_RPT) {
        HafCliHangStartRpt block{};
        rest.copy(block.cBlock, sizeof(block.cBlock) - 1);
        bSent = link_.send(nPid, nType, dest, &block, sizeof(block), err);
    } else {
        bSent = link_.send(nPid, nType, dest, rest.data(), static_cast<int>(rest.size()), err);
    }
    if (!bSent) return "error " + err;
    return "ok send " + args[1] + " " + args[2];
}

std::string Simulator::cmdShow() const {
    const NET_STATUS *pDup = tables_.dupInfo();
    return "ok " + describeRow("own", pDup->stHostStatus[pDup->nNode]) + " " +
           describeRow("peer", pDup->stHostStatus[pDup->nPNode]);
}

}  // namespace hafsim
