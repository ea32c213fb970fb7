// Who may speak as the master: the process socket admits its own user, the
// members of its group and root, by file mode and by the sender's kernel
// credentials; and the lock around that socket never holds up a fault
// handler.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "haf/haf_appLib.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"
#include "haf_link_world.h"

namespace {

using haftest::LinkWorld;
using haftest::LogLines;
using haftest::runIsolated;

constexpr uid_t kNobody = 65534;

std::atomic<int> gnActiveCalls{0};
std::atomic<int> gnMarkers{0};
void onActive(HafHostStatusRpt *) { gnActiveCalls.fetch_add(1); }
void onMessage(ProcMsg_Haf *) { gnMarkers.fetch_add(1); }

// An active-role report as the master would send it.
ProcMsg_Haf forgedActiveReport() {
    ProcMsg_Haf msg;
    memset(&msg, 0, sizeof(msg));
    msg.h.nMsgName = HAF_MSG_HOST_STATUS_RPT;
    msg.h.nMsgLength = HAF_MSG_HEAD_SIZE + static_cast<int>(sizeof(HafHostStatusRpt));
    strcpy(msg.h.cSrcProcName, HAF_MASTER_PROC_NAME);
    msg.h.nSrcProcID = HAF_MASTER_PROC_ID;
    msg.stD.szHostStatus.nLocalRedundancyStatus = HAF_HOST_ACTIVE_SYSTEM;
    return msg;
}

sockaddr_un addressOf(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

// A child that drops to nobody, with the given supplementary groups, and
// sends a forged active report twice: by path (which the file mode decides)
// and on a socket it connected while still root, so that the datagram
// reaches the socket and only the credential check stands in its way. It
// stays until released, so that its groups can be looked up.
class NobodySender {
public:
    // What the sends did, as bits.
    static constexpr int kPathRefused = 1;    // by path, refused with EACCES
    static constexpr int kPathSent = 2;       // by path, gone out
    static constexpr int kConnectedSent = 4;  // on the connected socket, gone out

    NobodySender(const std::string &path, std::vector<gid_t> groups, gid_t primary = kNobody) {
        int nStatus[2], nRelease[2];
        if (pipe(nStatus) != 0 || pipe(nRelease) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            // Only system calls here: the parent has threads.
            close(nStatus[0]);
            close(nRelease[1]);
            ProcMsg_Haf msg = forgedActiveReport();
            sockaddr_un addr = addressOf(path);
            int nByPath = socket(AF_UNIX, SOCK_DGRAM, 0);
            int nConnected = socket(AF_UNIX, SOCK_DGRAM, 0);
            if (nByPath < 0 || nConnected < 0 ||
                connect(nConnected, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
                setgroups(groups.size(), groups.data()) != 0 || setgid(primary) != 0 ||
                setuid(kNobody) != 0)
                _exit(100);
            unsigned char ucBits = 0;
            if (sendto(nByPath, &msg, msg.h.nMsgLength, 0, reinterpret_cast<sockaddr *>(&addr),
                       sizeof(addr)) == msg.h.nMsgLength)
                ucBits |= kPathSent;
            else if (errno == EACCES)
                ucBits |= kPathRefused;
            if (send(nConnected, &msg, msg.h.nMsgLength, 0) == msg.h.nMsgLength)
                ucBits |= kConnectedSent;
            if (write(nStatus[1], &ucBits, 1) != 1) _exit(101);
            char c;
            while (read(nRelease[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(nStatus[1]);
        close(nRelease[0]);
        nRelease_ = nRelease[1];
        unsigned char ucBits = 0;
        if (pid_ > 0 && read(nStatus[0], &ucBits, 1) == 1) nBits_ = ucBits;
        close(nStatus[0]);
    }
    ~NobodySender() {
        if (nRelease_ >= 0) close(nRelease_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }
    NobodySender(const NobodySender &) = delete;
    NobodySender &operator=(const NobodySender &) = delete;

    int bits() const { return nBits_; }

private:
    pid_t pid_ = -1;
    int nRelease_ = -1;
    int nBits_ = -1;
};

bool waitCount(const std::atomic<int> &nCount, int nAtLeast) {
    auto deadline = haftest::Clock::now() + haftest::kWait;
    while (nCount.load() < nAtLeast && haftest::Clock::now() < deadline) usleep(10000);
    return nCount.load() >= nAtLeast;
}

std::string processSocketPath(const LinkWorld &world) {
    return world.root() + "/haf/sock/" + std::to_string(getpid());
}

TEST(HafGuardTest, OnlyTheSocketsUserGroupOrRootSpeaksAsTheMaster) {
    runIsolated([] {
        LinkWorld world(HAF_HOST_STANDBY_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        ASSERT_EQ(HALibRegisterActiveStatCallback(onActive), 0);
        ASSERT_EQ(HALibRegisterProcMsgCallback(onMessage), 0);
        std::string path = processSocketPath(world);

        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0660u);

        if (geteuid() != 0) {
            GTEST_SKIP() << "sending as another user needs root";
        }
        // The way to the socket is open to everyone: its own mode decides.
        ASSERT_EQ(chmod(world.root().c_str(), 0711), 0);
        {
            // An outsider: the mode refuses its send by path, the credential
            // check its send on a borrowed connection.
            NobodySender outsider(path, {});
            EXPECT_EQ(outsider.bits(), NobodySender::kPathRefused | NobodySender::kConnectedSent);
            ASSERT_TRUE(LogLines::get().waitFor({"HafLib", "refused: not the master's user",
                                                 "uid 65534"}));
        }
        // The master's own messages still arrive, in order after the forgery.
        world.sendToClient("1004 marker");
        EXPECT_TRUE(waitCount(gnMarkers, 1));
        EXPECT_EQ(gnActiveCalls.load(), 0) << "the outsider's report reached the callback";

        // A member of the socket's group, through a supplementary group or
        // as its primary one, may write to the socket, and is heard both ways.
        NobodySender member(path, {st.st_gid});
        EXPECT_EQ(member.bits(), NobodySender::kPathSent | NobodySender::kConnectedSent);
        EXPECT_TRUE(waitCount(gnActiveCalls, 2));
        NobodySender primary(path, {}, st.st_gid);
        EXPECT_EQ(primary.bits(), NobodySender::kPathSent | NobodySender::kConnectedSent);
        EXPECT_TRUE(waitCount(gnActiveCalls, 4));
        EXPECT_EQ(LogLines::get().count({"refused"}), 1u);
    });
}

// A fault handler on the reception thread, which holds the link lock while
// it reads, asks for a switch-over while a re-creation of the socket waits
// for that lock. Played by a log handler: the refusal line is logged inside
// the read.
struct HandlerUnderLock {
    std::atomic<bool> bStarted{false};
    std::atomic<bool> bDone{false};
    std::atomic<int> nSwitch{-9};
    std::atomic<int> nReinit{-9};
    std::atomic<bool> bWriterWaited{false};
    std::thread writer;
};
HandlerUnderLock gUnderLock;

// True once a writer waits: writers are preferred, so a new reader is
// turned away. Asked from a thread of its own, which holds nothing yet.
bool writerWaits() {
    int nRet = 0;
    std::thread([&nRet] {
        nRet = pthread_rwlock_tryrdlock(&gHafSockLock);
        if (nRet == 0) pthread_rwlock_unlock(&gHafSockLock);
    }).join();
    return nRet == EBUSY;
}

void switchOverUnderTheLock(unsigned int, struct timeval, const char *pcText) {
    if (strstr(pcText, "refused: not the master's user") == nullptr ||
        gUnderLock.bStarted.exchange(true))
        return;
    gUnderLock.writer = std::thread([] { gUnderLock.nReinit = Reinit_UnixDoomainSocket_Haf(); });
    auto deadline = haftest::Clock::now() + haftest::kWait;
    while (!writerWaits() && haftest::Clock::now() < deadline) usleep(1000);
    gUnderLock.bWriterWaited = writerWaits();
    gUnderLock.nSwitch = HALibSetSwitchNode("fault under the link lock");
    gUnderLock.bDone = true;
}

TEST(HafGuardTest, SwitchOverFromAThreadHoldingTheLinkLockDoesNotWaitForIt) {
    runIsolated([] {
        if (geteuid() != 0) {
            GTEST_SKIP() << "a refused sender needs root";
        }
        LinkWorld world(HAF_HOST_ACTIVE_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        Add_LogHandler(&switchOverUnderTheLock, 0);
        {
            NobodySender outsider(processSocketPath(world), {});
            EXPECT_EQ(outsider.bits() & NobodySender::kConnectedSent,
                      NobodySender::kConnectedSent);
        }
        auto deadline = haftest::Clock::now() + haftest::kWait;
        while (!gUnderLock.bDone.load() && haftest::Clock::now() < deadline) usleep(10000);
        ASSERT_TRUE(gUnderLock.bDone.load()) << "the switch-over request waited for the lock";
        EXPECT_TRUE(gUnderLock.bWriterWaited.load());
        EXPECT_EQ(gUnderLock.nSwitch.load(), 0);
        gUnderLock.writer.join();
        EXPECT_GT(gUnderLock.nReinit.load(), 0) << "the re-creation went on afterwards";
        haftest::Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_OPER_STATUS_CHG_REQ, r));
        EXPECT_EQ(r.msg.stD.stHostStatusChgReq.nStatus, HAF_HOST_STANDBY_SYSTEM);
        EXPECT_STREQ(r.msg.stD.stHostStatusChgReq.szCause, "fault under the link lock");
    });
}

}  // namespace
