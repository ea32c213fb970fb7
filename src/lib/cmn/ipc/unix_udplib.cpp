// Non-blocking Unix-domain datagram sockets.
#include "ipc/unix_udplib.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "base/string.h"

namespace {

constexpr int ERR_INVALID = 22;
constexpr int ERR_MSG = 119;

class SocketGuard {
public:
    explicit SocketGuard(int nSock) : nSock_(nSock) {}
    ~SocketGuard() {
        if (nSock_ >= 0) close(nSock_);
    }
    SocketGuard(const SocketGuard &) = delete;
    SocketGuard &operator=(const SocketGuard &) = delete;
    int Release() {
        int nSock = nSock_;
        nSock_ = -1;
        return nSock;
    }

private:
    int nSock_;
};

sockaddr_un MakeAddress(const char *cPath) {
    sockaddr_un stAddr{};
    stAddr.sun_family = AF_UNIX;
    StrCpy(stAddr.sun_path, cPath, sizeof(stAddr.sun_path));
    return stAddr;
}

int SetBufferSize(int nSock, int nOption) {
    int nSize = UNIX_UDP_BUF_SIZE;
    return setsockopt(nSock, SOL_SOCKET, nOption, &nSize, sizeof(nSize));
}

int SetSendBuffer(int nSock, const char *pcFunc) {
    if (SetBufferSize(nSock, SO_SNDBUF) < 0) {
        __Set_Error(ERR_INVALID, pcFunc, __LINE__, "Failed socket send buffer change\n");
        return -1;
    }
    return 0;
}

int SetNonBlocking(int nSock, const char *pcFunc) {
    if (fcntl(nSock, F_SETFL, O_NONBLOCK) < 0) {
        __Set_Error(ERR_INVALID, pcFunc, __LINE__, "Failed socket File Open\n");
        return -1;
    }
    return 0;
}

}  // namespace

int CreateUnixUDP(const char *cPath) {
    if (cPath == nullptr) return -1;
    // The address may be cut to the socket path limit: remove what is bound.
    sockaddr_un stAddr = MakeAddress(cPath);
    unlink(stAddr.sun_path);

    int nSock = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (nSock < 0) return -1;
    SocketGuard stOwner(nSock);

    if (bind(nSock, reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr)) < 0) return -2;
    if (SetSendBuffer(nSock, __func__) < 0) return -1;
    if (SetBufferSize(nSock, SO_RCVBUF) < 0) {
        SET_ERROR(ERR_INVALID, "Failed socket receive buffer change\n");
        return -1;
    }
    if (SetNonBlocking(nSock, __func__) < 0) return -1;
    return stOwner.Release();
}

int CreateUnixUDP_SendOnly() {
    int nSock = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (nSock < 0) return -1;
    SocketGuard stOwner(nSock);
    if (SetSendBuffer(nSock, __func__) < 0) return -1;
    if (SetNonBlocking(nSock, __func__) < 0) return -1;
    return stOwner.Release();
}

int WriteMsgToUDP(int nSock, const char *cPath, const char *cMsg, int nLen) {
    if (cPath == nullptr) return -1;
    sockaddr_un stAddr = MakeAddress(cPath);
    ssize_t nSent = sendto(nSock, cMsg, static_cast<size_t>(nLen < 0 ? 0 : nLen), 0,
                           reinterpret_cast<sockaddr *>(&stAddr), sizeof(stAddr));
    if (nSent < 0) {
        SET_ERROR(ERR_MSG, "Failed Sendto Message");
        return -1;
    }
    return static_cast<int>(nSent);
}

int ReadMsgFromUDP(int nSock, char *cBuf, int nLen) {
    sockaddr_un stFrom{};
    socklen_t nFromLen = sizeof(stFrom);
    ssize_t nRead = recvfrom(nSock, cBuf, static_cast<size_t>(nLen < 0 ? 0 : nLen), 0,
                             reinterpret_cast<sockaddr *>(&stFrom), &nFromLen);
    if (nRead < 0) {
        SET_ERROR(ERR_MSG, "Failed recvfrom Message");
        return -1;
    }
    return static_cast<int>(nRead);
}
