#include "hafsim_link.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "base/error.h"
#include "base/string.h"
#include "haf/haf_proc_util.h"
#include "ipc/unix_udplib.h"

namespace hafsim {

namespace {

// Quotes, backslashes and control characters escaped, so that one message stays one line.
template <size_t N>
std::string quoted(const char (&szField)[N]) {
    std::string out = "\"";
    for (size_t i = 0; i < N && szField[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(szField[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char szHex[8];
            snprintf(szHex, sizeof(szHex), "\\x%02x", c);
            out += szHex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void describePayload(std::ostringstream &os, const ProcMsg_Haf &msg, int nPayload) {
    switch (msg.h.nMsgName) {
    case HAF_MSG_PROC_THREAD_RPT: {
        const ProcThreadStatusRpt_HAF &rpt = msg.stD.szThrStatus;
        os << " max=" << rpt.nMaxThread << " alive=" << rpt.nAliveThread
           << " down=" << rpt.nDownThread << " version=" << quoted(rpt.cAppVersion);
        return;
    }
    case HAF_MSG_HOST_OPER_STATUS_CHG_REQ:
    case HAF_MSG_HOST_ADMN_STATUS_CHG_REQ:
    case HAF_MSG_HOST_SVC_STATUS_CHG_REQ: {
        const HafHostStatusChgReq &req = msg.stD.stHostStatusChgReq;
        os << " status=" << req.nStatus << " cause=" << quoted(req.szCause);
        return;
    }
    case HAF_MSG_PROC_STATUS_CHG_REQ: {
        const HafProcStatusChgReq &req = msg.stD.stProcStatusChgReq;
        os << " action=" << req.nAction << " proc=" << quoted(req.szProcessName)
           << " id=" << req.nProcessID << " cause=" << quoted(req.szCause);
        return;
    }
    default: {
        char szData[HAF_MSG_DATA_MAX_SIZE + 1] = "";
        int nShown = nPayload < 0 ? 0 : (nPayload > HAF_MSG_DATA_MAX_SIZE ? HAF_MSG_DATA_MAX_SIZE
                                                                          : nPayload);
        memcpy(szData, msg.stD.cData, static_cast<size_t>(nShown));
        os << " bytes=" << nShown << " data=" << quoted(szData);
        return;
    }
    }
}

}  // namespace

Link::~Link() {
    if (nSock_ >= 0) {
        close(nSock_);
        unlink(path_.c_str());
    }
}

bool Link::bind(std::string &err) {
    char szPath[128];
    getMasterSockPath_Haf(szPath, sizeof(szPath));
    path_ = szPath;
    if (makeRuntimeDirs_Haf(szPath) != 0) {
        err = "cannot create the directory of " + path_ + ": " + strerror(errno);
        return false;
    }
    nSock_ = CreateUnixUDP(szPath);
    if (nSock_ < 0) {
        err = "cannot bind " + path_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

int Link::receive(ProcMsg_Haf &msg) {
    memset(&msg, 0, sizeof(msg));
    int nLen = ReadMsgFromUDP(nSock_, reinterpret_cast<char *>(&msg), HAF_MSG_MAX_SIZE);
    if (nLen < 0) Clr_Error();  // nothing waiting is no error here
    return nLen;
}

bool Link::send(int nPid, int nMsgName, const std::string &destName, const void *pvPayload,
                int nLen, std::string &err) {
    if (nLen < 0 || nLen > HAF_MSG_DATA_MAX_SIZE) {
        err = "payload too long";
        return false;
    }
    ProcMsg_Haf msg;
    memset(&msg, 0, sizeof(msg));
    msg.h.nMsgLength = HAF_MSG_HEAD_SIZE + nLen;
    msg.h.nMsgName = nMsgName;
    msg.h.sSndPID = getpid();
    StrCpy(msg.h.cSrcProcName, HAF_MASTER_PROC_NAME, sizeof(msg.h.cSrcProcName));
    msg.h.nSrcProcID = HAF_MASTER_PROC_ID;
    StrCpy(msg.h.cDestProcName, destName.c_str(), sizeof(msg.h.cDestProcName));
    if (nLen > 0) memcpy(msg.stD.cData, pvPayload, static_cast<size_t>(nLen));
    char szDest[128];
    getClientSockPath_Haf(nPid, szDest, sizeof(szDest));
    int nSent = WriteMsgToUDP(nSock_, szDest, reinterpret_cast<const char *>(&msg), msg.h.nMsgLength);
    if (nSent != msg.h.nMsgLength) {
        err = std::string("cannot send to ") + szDest + ": " + strerror(errno);
        Clr_Error();
        return false;
    }
    return true;
}

std::string describe(const ProcMsg_Haf &msg, int nLen) {
    std::ostringstream os;
    os << "recv " << msg.h.nMsgName << ' ' << getMsgName_Haf(msg.h.nMsgName) << " len=" << nLen
       << " msglen=" << msg.h.nMsgLength << " from=" << quoted(msg.h.cSrcProcName) << ':'
       << msg.h.nSrcProcID << " pid=" << msg.h.sSndPID << " to=" << quoted(msg.h.cDestProcName)
       << ':' << msg.h.nDestProcID << " result=" << msg.h.nResult;
    describePayload(os, msg, nLen - HAF_MSG_HEAD_SIZE);
    return os.str();
}

}  // namespace hafsim
