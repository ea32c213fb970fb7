// The HA master simulator program, driven through its pipes as a script
// would drive it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "haf/haf_def.h"
#include "haf/haf_dup_infoShm.h"
#include "haf/haf_proc_ListShm.h"
#include "haf_test_env.h"
#include "ipc/unix_udplib.h"

extern char **environ;

namespace {

constexpr int kTimeoutMs = 10000;

// hafsim as a child with its standard input and output on pipes.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string> &args) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char *> argv{const_cast<char *>(HAFSIM_PATH)};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, HAFSIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
    }
    ~SimProcess() {
        if (toSim_ >= 0) close(toSim_);
        if (fromSim_ >= 0) close(fromSim_);
        if (pid_ > 0 && !bReaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    bool started() const { return pid_ > 0; }

    void writeLine(const std::string &line) {
        std::string text = line + "\n";
        ASSERT_EQ(write(toSim_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Next output line, or "<timeout>" / "<eof>".
    std::string readLine() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
        for (;;) {
            size_t pos = buffered_.find('\n');
            if (pos != std::string::npos) {
                std::string line = buffered_.substr(0, pos);
                buffered_.erase(0, pos + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "<timeout>";
            pollfd fd{fromSim_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char szBuf[4096];
            ssize_t n = read(fromSim_, szBuf, sizeof(szBuf));
            if (n <= 0) return "<eof>";
            buffered_.append(szBuf, static_cast<size_t>(n));
        }
    }
    std::string command(const std::string &line) {
        writeLine(line);
        return readLine();
    }
    int wait() {
        int nStatus = 0;
        waitpid(pid_, &nStatus, 0);
        bReaped_ = true;
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }

private:
    pid_t pid_ = -1;
    int toSim_ = -1;
    int fromSim_ = -1;
    bool bReaped_ = false;
    std::string buffered_;
};

// This process's client socket below the runtime root.
class ClientSocket {
public:
    ClientSocket() {
        char szPath[128];
        sock_ = CreateUnixUDP(getClientSockPath_Haf(getpid(), szPath, sizeof(szPath)));
        path_ = szPath;
    }
    ~ClientSocket() {
        if (sock_ >= 0) close(sock_);
        unlink(path_.c_str());
    }
    ClientSocket(const ClientSocket &) = delete;
    ClientSocket &operator=(const ClientSocket &) = delete;

    int fd() const { return sock_; }
    // Waits for one datagram; its length, or -1.
    int receive(ProcMsg_Haf &msg) {
        memset(&msg, 0, sizeof(msg));
        pollfd fd{sock_, POLLIN, 0};
        if (poll(&fd, 1, kTimeoutMs) != 1) return -1;
        return ReadMsgFromUDP(sock_, reinterpret_cast<char *>(&msg), sizeof(msg));
    }
    void sendToMaster(ProcMsg_Haf &msg) {
        char szMaster[128];
        getMasterSockPath_Haf(szMaster, sizeof(szMaster));
        EXPECT_EQ(WriteMsgToUDP(sock_, szMaster, reinterpret_cast<char *>(&msg), msg.h.nMsgLength),
                  msg.h.nMsgLength);
    }

private:
    int sock_ = -1;
    std::string path_;
};

ProcMsg_Haf clientMessage(int nMsgName, int nPayload) {
    ProcMsg_Haf msg;
    memset(&msg, 0, sizeof(msg));
    msg.h.nMsgLength = HAF_MSG_HEAD_SIZE + nPayload;
    msg.h.nMsgName = nMsgName;
    msg.h.sSndPID = getpid();
    strcpy(msg.h.cSrcProcName, "kest");
    msg.h.nSrcProcID = 7;
    strcpy(msg.h.cDestProcName, "HAF");
    msg.h.nDestProcID = 1;
    return msg;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(HafSim, FillsTablesPrintsClientMessagesAndSendsOnCommand) {
    HafRootEnv env;
    std::string pid = std::to_string(getpid());
    SimProcess sim({"--proc", "kest:" + pid + ":7", "--role", "active,init"});
    ASSERT_TRUE(sim.started());
    std::string ready = sim.readLine();
    ASSERT_EQ(ready.rfind("ready master=" + env.root() + "/haf/sock/master pid=", 0), 0u) << ready;

    // The tables as the library finds them.
    ProcListHAF *pList = Init_HafProcess(nullptr, 0);
    NET_STATUS *pDup = Init_HafDupInfo(nullptr, 0);
    ASSERT_NE(pList, nullptr) << StrError(errno);
    ASSERT_NE(pDup, nullptr) << StrError(errno);
    EXPECT_EQ(getHafProcShmInitFlag(), 0);
    ASSERT_EQ(pList->nProcCnt, 1);
    EXPECT_STREQ(pList->stInfo[0].szProcessName, "kest");
    EXPECT_EQ(pList->stInfo[0].nProcessID, 7);
    EXPECT_EQ(pList->stCont[0].nPId.load(), getpid());
    const HOST_STATUS &own = pDup->stHostStatus[pDup->nNode];
    const HOST_STATUS &peer = pDup->stHostStatus[pDup->nPNode];
    EXPECT_STREQ(own.szNodeName, "KEST0");
    EXPECT_STREQ(peer.szNodeName, "KEST1");
    EXPECT_EQ(own.nHostOperStatus, HAF_HOST_ACTIVE_SYSTEM);
    EXPECT_EQ(peer.nHostOperStatus, HAF_HOST_INIT_SYSTEM);

    EXPECT_EQ(sim.command("role standby active"), "ok role own=2 peer=3");
    EXPECT_EQ(own.nHostOperStatus, HAF_HOST_STANDBY_SYSTEM);
    EXPECT_EQ(peer.nHostOperStatus, HAF_HOST_ACTIVE_SYSTEM);

    // Client to master: one decoded line per message.
    ClientSocket client;
    ASSERT_GE(client.fd(), 0);
    ProcMsg_Haf rpt = clientMessage(HAF_MSG_PROC_THREAD_RPT, sizeof(ProcThreadStatusRpt_HAF));
    rpt.stD.szThrStatus = {3, 2, 1, "1.0.0"};
    client.sendToMaster(rpt);
    std::string line = sim.readLine();
    EXPECT_TRUE(contains(line, "recv 1001 HAF_MSG_PROC_THREAD_RPT len=132 msglen=132 "
                               "from=\"kest\":7 pid=" + pid + " to=\"HAF\":1 result=0"))
        << line;
    EXPECT_TRUE(contains(line, "max=3 alive=2 down=1 version=\"1.0.0\"")) << line;
    ProcMsg_Haf req = clientMessage(HAF_MSG_PROC_STATUS_CHG_REQ, sizeof(HafProcStatusChgReq));
    req.stD.stProcStatusChgReq.nAction = 4;
    strcpy(req.stD.stProcStatusChgReq.szProcessName, "other");
    strcpy(req.stD.stProcStatusChgReq.szCause, "say \"stop\"\nnow");
    client.sendToMaster(req);
    line = sim.readLine();
    EXPECT_TRUE(contains(line, "action=4 proc=\"other\" id=0 cause=\"say \\\"stop\\\"\\x0anow\""))
        << line;

    // Master to client on command.
    EXPECT_EQ(sim.command("send " + pid + " 1002 active"), "ok send " + pid + " 1002");
    ProcMsg_Haf msg;
    ASSERT_EQ(client.receive(msg), HAF_MSG_HEAD_SIZE + 16);
    EXPECT_EQ(msg.h.nMsgName, HAF_MSG_HOST_STATUS_RPT);
    EXPECT_EQ(msg.h.nMsgLength, HAF_MSG_HEAD_SIZE + 16);
    EXPECT_STREQ(msg.h.cSrcProcName, "HAF");
    EXPECT_STREQ(msg.h.cDestProcName, "kest");
    EXPECT_EQ(msg.stD.szHostStatus.nLocalRedundancyStatus, HAF_HOST_ACTIVE_SYSTEM);
    EXPECT_EQ(msg.stD.szHostStatus.nRemotRedundancyStatus, HAF_HOST_ACTIVE_SYSTEM);

    EXPECT_EQ(sim.command("send " + pid + " 1003"), "ok send " + pid + " 1003");
    ASSERT_EQ(client.receive(msg), HAF_MSG_HEAD_SIZE + 1360);
    EXPECT_EQ(msg.stD.szProcEvent.nPId, getpid());
    EXPECT_STREQ(msg.stD.szProcEvent.szProcessName, "kest");

    EXPECT_EQ(sim.command("send " + pid + " 1008 block of text"), "ok send " + pid + " 1008");
    ASSERT_EQ(client.receive(msg), HAF_MSG_HEAD_SIZE + 64);
    EXPECT_STREQ(msg.stD.stNoReportStart.cBlock, "block of text");

    EXPECT_EQ(sim.command("send " + pid + " 2300 raw bytes"), "ok send " + pid + " 2300");
    ASSERT_EQ(client.receive(msg), HAF_MSG_HEAD_SIZE + 9);
    EXPECT_EQ(std::string(msg.stD.cData, 9), "raw bytes");

    EXPECT_EQ(sim.command("send 1 1002 active").rfind("error cannot send", 0), 0u);
    EXPECT_EQ(sim.command("send x 1002"), "error usage: send PID TYPE [ARG]");
    EXPECT_EQ(sim.command("net 9 - - -"), "error usage: net TYPE VIPS OWNIPS PEERIPS");
    EXPECT_EQ(sim.command("frobnicate"), "error unknown command: frobnicate");

    EXPECT_EQ(sim.command("quit"), "ok quit");
    EXPECT_EQ(sim.readLine(), "bye");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(env.segmentOf(env.shmKey("processList")), -1);  // removed unless --keep
    EXPECT_FALSE(std::filesystem::exists(env.root() + "/haf/sock/master"));
}
