#include "ipc/unix_udplib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "base/error.h"
#include "scratch_dir.h"

namespace {

bool ReportHas(const std::string &text) {
    return std::string(StrError(0)).find(text) != std::string::npos;
}

// Closes the descriptor at the end of the test.
struct Fd {
    explicit Fd(int n) : fd(n) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    int fd;
};

}  // namespace

TEST(UnixUdp, DatagramsTravelBetweenSocketsAndEmptyReadFails) {
    ScratchDir dir;
    std::string path = dir / "rx.sock";
    std::ofstream(path) << "stale";  // a leftover file is removed before binding
    Clr_Error();
    Fd rx(CreateUnixUDP(path.c_str()));
    ASSERT_GE(rx.fd, 0);
    Fd tx(CreateUnixUDP_SendOnly());
    ASSERT_GE(tx.fd, 0);

    EXPECT_EQ(fcntl(rx.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    EXPECT_EQ(fcntl(tx.fd, F_GETFL) & O_NONBLOCK, O_NONBLOCK);
    int size = 0;
    socklen_t len = sizeof(size);
    ASSERT_EQ(getsockopt(rx.fd, SOL_SOCKET, SO_RCVBUF, &size, &len), 0);
    EXPECT_GE(size, UNIX_UDP_BUF_SIZE);

    EXPECT_EQ(WriteMsgToUDP(tx.fd, path.c_str(), "hello", 5), 5);
    EXPECT_EQ(WriteMsgToUDP(tx.fd, path.c_str(), "0123456789", 10), 10);
    char buf[16] = {};
    EXPECT_EQ(ReadMsgFromUDP(rx.fd, buf, sizeof(buf)), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    // A datagram longer than the buffer is cut and its rest is lost.
    EXPECT_EQ(ReadMsgFromUDP(rx.fd, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");

    EXPECT_EQ(ReadMsgFromUDP(rx.fd, buf, sizeof(buf)), -1);
    EXPECT_TRUE(ReportHas("Failed recvfrom Message"));
    EXPECT_EQ(WriteMsgToUDP(tx.fd, (dir / "nobody.sock").c_str(), "x", 1), -1);
    EXPECT_TRUE(ReportHas("Failed Sendto Message"));
}

TEST(UnixUdp, BadPathsAndLongDestinations) {
    EXPECT_EQ(CreateUnixUDP(nullptr), -1);
    EXPECT_EQ(WriteMsgToUDP(0, nullptr, "x", 1), -1);
    EXPECT_EQ(CreateUnixUDP("/nonexistent-dir-for-kest/x.sock"), -2);

    // A 200-character destination reaches the socket bound to its first 107.
    ScratchDir dir;
    std::string base = dir.path().string() + "/";
    ASSERT_LT(base.size(), 100u);
    std::string longPath = base + std::string(200 - base.size(), 'p');
    std::string cutPath = longPath.substr(0, UNIX_UDP_PATH_MAX);
    // Bound under the cut path too: the stale file removed first is that one.
    std::ofstream(cutPath) << "stale";
    Fd rx(CreateUnixUDP(longPath.c_str()));
    ASSERT_GE(rx.fd, 0);
    Fd tx(CreateUnixUDP_SendOnly());
    EXPECT_EQ(WriteMsgToUDP(tx.fd, longPath.c_str(), "cut", 3), 3);
    char buf[8];
    EXPECT_EQ(ReadMsgFromUDP(rx.fd, buf, sizeof(buf)), 3);
}
