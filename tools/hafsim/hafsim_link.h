// HA master simulator: the master's datagram socket, and the one-line text of a received message.
#pragma once

#include <string>

#include "haf/haf_def.h"

namespace hafsim {

class Link {
public:
    Link() = default;
    ~Link();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;

    bool bind(std::string &err);
    int fd() const { return nSock_; }
    const std::string &path() const { return path_; }

    // Zeroed first; -1 when nothing is waiting.
    int receive(ProcMsg_Haf &msg);
    // False with a reason.
    bool send(int nPid, int nMsgName, const std::string &destName, const void *pvPayload, int nLen,
              std::string &err);

private:
    int nSock_ = -1;
    std::string path_;
};

// "recv 1001 HAF_MSG_PROC_THREAD_RPT len=132 from=NAME:ID pid=P to=HAF:1
// result=0" followed by the payload's fields as key=value.
std::string describe(const ProcMsg_Haf &msg, int nLen);

}  // namespace hafsim
