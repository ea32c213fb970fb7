// hafsim: plays the HA master on one host for tests, demos and operators (see --help).
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "base/util.h"
#include "hafsim.h"

namespace {

volatile sig_atomic_t gnStop = 0;

void onStopSignal(int) { gnStop = 1; }

void emit(const std::string &line) {
    if (line.empty()) return;
    fputs(line.c_str(), stdout);
    if (line.back() != '\n') fputc('\n', stdout);
    fflush(stdout);
}

void printUsage(const char *pszProg) {
    printf("usage: %s [options]\n"
           "Plays the HA master: creates and fills its three shared tables below the runtime\n"
           "root, binds the master socket, prints every received message on one line, and\n"
           "runs the commands read from standard input. Prints \"ready master=PATH pid=PID\"\n"
           "once the socket is bound. Every output line is flushed at once.\n"
           "\n"
           "options:\n"
           "  -r, --root DIR        runtime root (sets ORVO_TMP_ROOT; default: the\n"
           "                        environment's, else /opt/orvo/tmp)\n"
           "  -n, --node NAME       own node name (default KEST0)\n"
           "  -p, --peer NAME       peer node name (default KEST1)\n"
           "  -t, --type TYPE       node type of both nodes (default KEST)\n"
           "  -g, --group NAME      node group of both nodes (default KESTG)\n"
           "  -R, --role OWN,PEER   redundancy status of the own and peer rows (default\n"
           "                        active,standby)\n"
           "  -P, --proc NAME:PID[:ID]  a process-list row (repeatable)\n"
           "  -N, --net TYPE:VIPS:OWNIPS:PEERIPS  a port group (repeatable); without it an\n"
           "                        internal (3), heartbeat (2) and external (4) group\n"
           "      --no-net          no port groups unless given with --net\n"
           "  -k, --keep            leave the segments in the system at exit\n"
           "  -w, --wait            keep running after the end of standard input (until\n"
           "                        SIGINT or SIGTERM)\n"
           "  -h, --help            this text\n"
           "\n"
           "Node names: the digits after the fourth character pick the slot of a node in\n"
           "the network table (even 0, odd 1), so own and peer names should differ in\n"
           "parity.\n"
           "\n%s",
           pszProg, hafsim::commandHelp());
}

std::string colonsToBlanks(std::string text) {
    std::replace(text.begin(), text.end(), ':', ' ');
    return text;
}

bool parseRoles(const char *pszArg, hafsim::Options &opts) {
    std::string roles = pszArg;
    size_t comma = roles.find(',');
    return comma != std::string::npos && hafsim::parseRole(roles.substr(0, comma), opts.nOwnRole) &&
           hafsim::parseRole(roles.substr(comma + 1), opts.nPeerRole);
}

struct Cli {
    hafsim::Options opts;
    bool bKeep = false;
    bool bWait = false;
};

// Exits on --help (0) and on errors (2).
Cli parseCommandLine(int argc, char **argv) {
    enum { kNoNet = 1000 };
    static const option kLong[] = {
        {"root", required_argument, nullptr, 'r'}, {"node", required_argument, nullptr, 'n'},
        {"peer", required_argument, nullptr, 'p'}, {"type", required_argument, nullptr, 't'},
        {"group", required_argument, nullptr, 'g'}, {"role", required_argument, nullptr, 'R'},
        {"proc", required_argument, nullptr, 'P'}, {"net", required_argument, nullptr, 'N'},
        {"no-net", no_argument, nullptr, kNoNet},   {"keep", no_argument, nullptr, 'k'},
        {"wait", no_argument, nullptr, 'w'},        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    Cli cli;
    int nOpt;
    while ((nOpt = getopt_long(argc, argv, "r:n:p:t:g:R:P:N:kwh", kLong, nullptr)) != -1) {
        switch (nOpt) {
        case 'r': setenv(ORVO_TMP_ROOT_ENV, optarg, 1); break;
        case 'n': cli.opts.own.name = optarg; break;
        case 'p': cli.opts.peer.name = optarg; break;
        case 't': cli.opts.own.type = cli.opts.peer.type = optarg; break;
        case 'g': cli.opts.own.group = cli.opts.peer.group = optarg; break;
        case 'R':
            if (!parseRoles(optarg, cli.opts)) {
                fprintf(stderr, "hafsim: bad --role %s (expected OWN,PEER)\n", optarg);
                exit(2);
            }
            break;
        case 'P': cli.opts.procs.push_back(colonsToBlanks(optarg)); break;
        case 'N': cli.opts.nets.push_back(colonsToBlanks(optarg)); break;
        case kNoNet: cli.opts.bDefaultNet = false; break;
        case 'k': cli.bKeep = true; break;
        case 'w': cli.bWait = true; break;
        case 'h': printUsage(argv[0]); exit(0);
        default: printUsage(argv[0]); exit(2);
        }
    }
    return cli;
}

void drainSocket(hafsim::Simulator &sim) {
    ProcMsg_Haf msg;
    for (int nLen; (nLen = sim.link().receive(msg)) >= 0;) emit(hafsim::describe(msg, nLen));
}

void run(hafsim::Simulator &sim, bool bWait) {
    std::string pending;
    bool bInputOpen = true;
    while (gnStop == 0 && !sim.quitRequested()) {
        pollfd fds[2] = {{sim.link().fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int nReady = poll(fds, bInputOpen ? 2 : 1, -1);
        if (nReady < 0) continue;  // a signal: the loop condition decides
        if (fds[0].revents & POLLIN) drainSocket(sim);
        if (bInputOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            char szBuf[4096];
            ssize_t nRead = read(STDIN_FILENO, szBuf, sizeof(szBuf));
            if (nRead <= 0) {
                bInputOpen = false;
                if (!bWait) break;
                continue;
            }
            pending.append(szBuf, static_cast<size_t>(nRead));
            for (size_t pos; (pos = pending.find('\n')) != std::string::npos;) {
                emit(sim.execute(pending.substr(0, pos)));
                pending.erase(0, pos + 1);
                if (sim.quitRequested()) break;
            }
        }
    }
    drainSocket(sim);
}

}  // namespace

int main(int argc, char **argv) {
    Cli cli = parseCommandLine(argc, argv);
    struct sigaction stAct {};
    stAct.sa_handler = onStopSignal;
    sigaction(SIGINT, &stAct, nullptr);
    sigaction(SIGTERM, &stAct, nullptr);
    signal(SIGPIPE, SIG_IGN);

    hafsim::Simulator sim;
    std::string err;
    if (!sim.start(cli.opts, err)) {
        fprintf(stderr, "hafsim: %s\n", err.c_str());
        if (!cli.bKeep) sim.tables().removeSegments();
        return 1;
    }
    emit("ready master=" + sim.link().path() + " pid=" + std::to_string(getpid()));
    run(sim, cli.bWait);
    if (!cli.bKeep) sim.tables().removeSegments();
    emit("bye");
    return 0;
}
