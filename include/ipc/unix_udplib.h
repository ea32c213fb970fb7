// Public: non-blocking Unix-domain datagram sockets addressed by file-system paths. The caller owns
// every descriptor returned here and closes it.
#pragma once

constexpr int UNIX_UDP_BUF_SIZE = 65536;  // send and receive buffer of every socket
constexpr int UNIX_UDP_PATH_MAX = 107;    // longer paths are cut to this many characters

// Binds a fresh socket to cPath (a stale file there is removed first). Returns the descriptor; -1
// for a null path or a set-up failure, -2 when binding fails.
int CreateUnixUDP(const char *cPath);
// An unbound socket for sending only; -1 on failure.
int CreateUnixUDP_SendOnly();
// Sends nLen bytes of cMsg as one datagram to cPath; the byte count or -1.
int WriteMsgToUDP(int nSock, const char *cPath, const char *cMsg, int nLen);
// Receives one datagram of at most nLen bytes (the rest of a longer one is lost); the byte count,
// or -1 (also when nothing is waiting).
int ReadMsgFromUDP(int nSock, char *cBuf, int nLen);
