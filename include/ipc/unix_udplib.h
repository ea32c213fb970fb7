// Public: non-blocking Unix-domain datagram sockets; the caller owns every descriptor returned.
#pragma once

constexpr int UNIX_UDP_BUF_SIZE = 65536;  // send and receive buffer of every socket
constexpr int UNIX_UDP_PATH_MAX = 107;    // longer paths are cut to this many characters

// A stale file at cPath is removed first. -1 for a null path or a set-up failure, -2 when binding
// fails.
int CreateUnixUDP(const char *cPath);
int CreateUnixUDP_SendOnly();
int WriteMsgToUDP(int nSock, const char *cPath, const char *cMsg, int nLen);
// The rest of a longer datagram is lost; -1 also when nothing is waiting.
int ReadMsgFromUDP(int nSock, char *cBuf, int nLen);
