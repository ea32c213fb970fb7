// Who may speak as the master: the process socket admits its own user, its
// group and root, by file mode and by the sender's kernel credentials.
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

#include "haf/haf_appLib.h"
#include "haf/haf_sessLib.h"
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

// In a child that drops to another user: the send by path (which the file
// mode must refuse), then a send on a socket connected while still root, so
// that the datagram reaches the socket and only the credential check stands
// in its way. Exit status: bit 0 set when the path send was refused with
// EACCES, bit 1 when the connected send went out.
int sendAsAnotherUser(const std::string &path) {
    pid_t pid = fork();
    if (pid == 0) {
        // Only system calls here: the parent has threads.
        ProcMsg_Haf msg = forgedActiveReport();
        sockaddr_un addr = addressOf(path);
        int nByPath = socket(AF_UNIX, SOCK_DGRAM, 0);
        int nConnected = socket(AF_UNIX, SOCK_DGRAM, 0);
        if (nByPath < 0 || nConnected < 0 ||
            connect(nConnected, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(100);
        int nStatus = 0;
        if (sendto(nByPath, &msg, msg.h.nMsgLength, 0, reinterpret_cast<sockaddr *>(&addr),
                   sizeof(addr)) < 0 &&
            errno == EACCES)
            nStatus |= 1;
        if (send(nConnected, &msg, msg.h.nMsgLength, 0) == msg.h.nMsgLength) nStatus |= 2;
        _exit(nStatus);
    }
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus)) return -1;
    return WEXITSTATUS(nStatus);
}

TEST(HafGuardTest, OnlyTheOwnUserGroupOrRootSpeaksAsTheMaster) {
    runIsolated([] {
        LinkWorld world(HAF_HOST_STANDBY_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        ASSERT_EQ(HALibRegisterActiveStatCallback(onActive), 0);
        ASSERT_EQ(HALibRegisterProcMsgCallback(onMessage), 0);
        std::string path = world.root() + "/haf/sock/" + std::to_string(getpid());

        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0660u);

        if (geteuid() != 0) {
            GTEST_SKIP() << "sending as another user needs root";
        }
        EXPECT_EQ(sendAsAnotherUser(path), 3) << "path send refused, connected send delivered";
        ASSERT_TRUE(LogLines::get().waitFor({"HafLib", "refused: not the master's user",
                                             "uid 65534"}));
        // The master's own messages still arrive, in order after the forgery.
        world.sendToClient("1004 marker");
        auto deadline = haftest::Clock::now() + haftest::kWait;
        while (gnMarkers.load() == 0 && haftest::Clock::now() < deadline) usleep(10000);
        EXPECT_EQ(gnMarkers.load(), 1);
        EXPECT_EQ(gnActiveCalls.load(), 0) << "the forged active report reached the callback";
        world.sendToClient("1002 active");
        deadline = haftest::Clock::now() + haftest::kWait;
        while (gnActiveCalls.load() == 0 && haftest::Clock::now() < deadline) usleep(10000);
        EXPECT_EQ(gnActiveCalls.load(), 1);
    });
}

}  // namespace
