// The datagram link with the HA master: process socket, reception and dispatch threads, sends.
#include "haf/haf_sessLib.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "base/error.h"
#include "base/string.h"
#include "base/util.h"
#include "haf/haf_inter_buffer.h"
#include "haf/haf_proc_util.h"
#include "haf_lib_state.h"
#include "ipc/unix_udplib.h"
#include "log/log.h"

std::atomic<int> g_procSock_haflib{0};
std::atomic<HafThreadCreateFn> gHafLinkThreadCreate{pthread_create};
pthread_rwlock_t gHafSockLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

namespace {

constexpr int kPathLen = 128;
constexpr int kPollMs = 50;
constexpr mode_t kSockMode = 0660;

// Users hold the shared side, re-creation the exclusive side, so no thread uses a closed (perhaps
// reused) descriptor. Writers are preferred against starvation; waits are bounded because a fault
// handler may run on a thread holding the lock and must still send its switch-over request.
constexpr long kSockLockWaitSec = 2;
thread_local int tnSockLockDepth = 0;

// Bounded by the monotonic clock; waits in short slices of the wall clock, which may jump.
int lockWithinBound(int (*pfLock)(pthread_rwlock_t *, const timespec *)) {
    constexpr long kSliceNs = 100L * 1000 * 1000;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSockLockWaitSec);
    for (;;) {
        timespec stSlice;
        clock_gettime(CLOCK_REALTIME, &stSlice);
        stSlice.tv_nsec += kSliceNs;
        if (stSlice.tv_nsec >= 1000000000L) {
            ++stSlice.tv_sec;
            stSlice.tv_nsec -= 1000000000L;
        }
        int nRet = pfLock(&gHafSockLock, &stSlice);
        if (nRet != ETIMEDOUT || std::chrono::steady_clock::now() >= end) return nRet;
    }
}

class SockGuard {
public:
    enum Side { Shared, Exclusive };
    explicit SockGuard(Side side) {
        if (tnSockLockDepth > 0) {
            bHeld_ = true;
            return;
        }
        int nRet = lockWithinBound(side == Shared ? pthread_rwlock_timedrdlock
                                                  : pthread_rwlock_timedwrlock);
        if (nRet != 0) {
            errno = nRet;
            return;
        }
        bHeld_ = bOwned_ = true;
        ++tnSockLockDepth;
    }
    ~SockGuard() {
        if (!bOwned_) return;
        --tnSockLockDepth;
        pthread_rwlock_unlock(&gHafSockLock);
    }
    SockGuard(const SockGuard &) = delete;
    SockGuard &operator=(const SockGuard &) = delete;
    // False when the lock could not be had in time (errno ETIMEDOUT).
    bool held() const { return bHeld_; }

private:
    bool bHeld_ = false;
    bool bOwned_ = false;
};

// Group of the process socket's file: its members may speak as the master.
std::atomic<gid_t> gSockGid{0};

const char *masterPath() {
    // One buffer per thread: senders run on several threads.
    thread_local char szPath[kPathLen];
    return getMasterSockPath_Haf(szPath, sizeof(szPath));
}

int createSocketLocked() {
    char szPath[kPathLen];
    getClientSockPath_Haf(static_cast<int>(getpid()), szPath, sizeof(szPath));
    if (makeRuntimeDirs_Haf(szPath) != 0) {
        int nErr = errno;
        printf("udpPath Fail makefulldir[%s] %d:%s %s:%d)\n", szPath, nErr, StrError(nErr),
               "Init_UnixDoomainSocket_Haf", __LINE__);
        return -1;
    }
    int nSock = CreateUnixUDP(szPath);
    if (nSock < 0) {
        printf("Init_UnixDoomainSocket_Haf Create Fail %s [%s]\n", szPath, StrError(errno));
        return -2;
    }
    // Only the process's user, its group and root may send: the file mode keeps others out, and
    // each datagram carries its sender's credentials for acceptedSender().
    int nOn = 1;
    struct stat stSock;
    if (chmod(szPath, kSockMode) != 0 || stat(szPath, &stSock) != 0 ||
        setsockopt(nSock, SOL_SOCKET, SO_PASSCRED, &nOn, sizeof(nOn)) != 0) {
        printf("Init_UnixDoomainSocket_Haf Create Fail %s [%s]\n", szPath, StrError(errno));
        close(nSock);
        return -2;
    }
    gSockGid.store(stSock.st_gid);
    return nSock;
}

// Values of the line "<pszKey>:" of /proc/<nPid>/status; empty when the process is gone.
std::string procStatusLine(int nPid, const char *pszKey) {
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/%d/status", nPid);
    int nFd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (nFd < 0) return "";
    char szText[4096];
    ssize_t nRead = read(nFd, szText, sizeof(szText) - 1);
    close(nFd);
    if (nRead <= 0) return "";
    szText[nRead] = '\0';
    std::string text(szText);
    std::string key = std::string("\n") + pszKey + ":";
    size_t unAt = text.find(key);
    if (unAt == std::string::npos) return "";
    size_t unStart = unAt + key.size();
    return text.substr(unStart, text.find('\n', unStart) - unStart);
}

bool listHolds(const std::string &list, unsigned long ulId) {
    const char *pc = list.c_str();
    for (;;) {
        char *pcEnd = nullptr;
        unsigned long ulValue = strtoul(pc, &pcEnd, 10);
        if (pcEnd == pc) return false;
        if (ulValue == ulId) return true;
        pc = pcEnd;
    }
}

// The groups the kernel gives the running process (checked to be the same user), else the group
// database's for its user.
bool supplementaryMember(const ucred &cred, gid_t gid) {
    std::string uids = procStatusLine(static_cast<int>(cred.pid), "Uid");
    if (listHolds(uids, cred.uid))
        return listHolds(procStatusLine(static_cast<int>(cred.pid), "Groups"), gid);
    char szBuf[4096];
    passwd stPw;
    passwd *pstPw = nullptr;
    if (getpwuid_r(cred.uid, &stPw, szBuf, sizeof(szBuf), &pstPw) != 0 || pstPw == nullptr)
        return false;
    gid_t groups[256];
    int nGroups = 256;
    if (getgrouplist(pstPw->pw_name, pstPw->pw_gid, groups, &nGroups) < 0) return false;
    for (int i = 0; i < nGroups; ++i)
        if (groups[i] == gid) return true;
    return false;
}

// The circle the socket's mode lets send. The kernel vouches for the credentials, not the header.
bool acceptedSender(const ucred &cred) {
    gid_t gid = gSockGid.load();
    return cred.uid == 0 || cred.uid == geteuid() || cred.gid == gid ||
           supplementaryMember(cred, gid);
}

// -1 when nothing was read; -2 when its sender may not speak as the master (it is dropped).
int readFromMaster(int nSock, char *pcBuf, int nLen) {
    iovec stIov{pcBuf, static_cast<size_t>(nLen)};
    alignas(cmsghdr) char szControl[CMSG_SPACE(sizeof(ucred))];
    msghdr stMsg{};
    stMsg.msg_iov = &stIov;
    stMsg.msg_iovlen = 1;
    stMsg.msg_control = szControl;
    stMsg.msg_controllen = sizeof(szControl);
    ssize_t nRead = recvmsg(nSock, &stMsg, MSG_DONTWAIT);
    if (nRead < 0) return -1;
    for (cmsghdr *pstC = CMSG_FIRSTHDR(&stMsg); pstC != nullptr; pstC = CMSG_NXTHDR(&stMsg, pstC)) {
        if (pstC->cmsg_level != SOL_SOCKET || pstC->cmsg_type != SCM_CREDENTIALS) continue;
        ucred stCred;
        memcpy(&stCred, CMSG_DATA(pstC), sizeof(stCred));
        if (acceptedSender(stCred)) return static_cast<int>(nRead);
        Log(LOG_3, "[%s]Datagram from pid %d uid %u gid %u refused: not the master's user\n",
            logHafLibTitle, static_cast<int>(stCred.pid), static_cast<unsigned>(stCred.uid),
            static_cast<unsigned>(stCred.gid));
        return -2;
    }
    Log(LOG_3, "[%s]Datagram without sender credentials refused\n", logHafLibTitle);
    return -2;
}

void fillHeader(ProcMsg_Haf &msg, int nMsgName, int nPayloadLen) {
    memset(&msg, 0, sizeof(msg));
    msg.h.nMsgLength = HAF_MSG_HEAD_SIZE + nPayloadLen;
    msg.h.nMsgName = nMsgName;
    msg.h.sSndPID = static_cast<int32_t>(getpid());
    StrCpy(msg.h.cSrcProcName, HALibGetProcessName(), sizeof(msg.h.cSrcProcName));
    msg.h.nSrcProcID = HALibGetProcessId();
    StrCpy(msg.h.cDestProcName, HAF_MASTER_PROC_NAME, sizeof(msg.h.cDestProcName));
    msg.h.nDestProcID = HAF_MASTER_PROC_ID;
}

// The master's socket must belong to root or its folder's owner: in a folder others can write,
// anybody could bind a socket at the name and read the role requests.
bool masterSocketTrusted(const char *pszPath) {
    static std::atomic<bool> bRefusing{false};
    struct stat stSock;
    if (lstat(pszPath, &stSock) != 0) return true;
    std::string folder(pszPath);
    folder.erase(folder.find_last_of('/'));
    struct stat stFolder;
    bool bTrusted = S_ISSOCK(stSock.st_mode) &&
                    (stSock.st_uid == 0 ||
                     (stat(folder.c_str(), &stFolder) == 0 && stSock.st_uid == stFolder.st_uid));
    if (bTrusted) {
        bRefusing.store(false);
        return true;
    }
    SET_ERROR(EPERM, "Master socket %s belongs to uid %u, neither root nor its folder's owner: "
              "nothing sent", pszPath, static_cast<unsigned>(stSock.st_uid));
    if (!bRefusing.exchange(true))
        Log(LOG_1, "[%s]Master socket %s belongs to uid %u, neither root nor its folder's owner: "
            "nothing is sent to it\n", logHafLibTitle, pszPath,
            static_cast<unsigned>(stSock.st_uid));
    errno = EPERM;
    return false;
}

// 0 when all nMsgLength bytes of msg left; else -1 and errno tells why.
int writeToMaster(const ProcMsg_Haf &msg) {
    SockGuard guard(SockGuard::Shared);
    if (!guard.held()) return -1;
    int nSock = g_procSock_haflib.load();
    if (nSock <= 0) {
        errno = EBADF;  // never send on descriptor 0, which is not the link
        return -1;
    }
    const char *pszMaster = masterPath();
    if (!masterSocketTrusted(pszMaster)) return -1;
    int nSent = WriteMsgToUDP(nSock, pszMaster, reinterpret_cast<const char *>(&msg),
                              msg.h.nMsgLength);
    return nSent == msg.h.nMsgLength ? 0 : -1;
}

int sendStatusChange(int nMsgName, int nStatus, const char *pszCause, ProcMsg_Haf &msg) {
    fillHeader(msg, nMsgName, static_cast<int>(sizeof(HafHostStatusChgReq)));
    msg.stD.stHostStatusChgReq.nStatus = nStatus;
    StrCpy(msg.stD.stHostStatusChgReq.szCause, pszCause != nullptr ? pszCause : "",
           sizeof(msg.stD.stHostStatusChgReq.szCause));
    return writeToMaster(msg);
}

// Status change whose failure is logged at LOG_3.
int sendLoggedStatusChange(int nMsgName, int nStatus, const char *pszCause) {
    ProcMsg_Haf msg;
    if (sendStatusChange(nMsgName, nStatus, pszCause, msg) == 0) return 0;
    int nErr = errno;
    Log(LOG_3, "[%s]WriteMsgToUDP dst[%s] Fail %s\n", logHafLibTitle, masterPath(), StrError(nErr));
    return -1;
}

void *receivePacketThread(void *) {
    Log(LOG_4, "[%s]ReceivePacket_Thread Start\n", logHafLibTitle);
    for (;;) {
        if (ReceivePacket_Haf(kPollMs) < 0) Sleep_m(kPollMs);
    }
    return nullptr;
}

void *receivePacketProcThread(void *) {
    Log(LOG_4, "[%s]_Haf_ReceivePacketProc_Thread Start\n", logHafLibTitle);
    ProcMsg_Haf msg;
    for (;;) {
        if (getBufferCntHaf() <= 0) {
            Sleep_m(kPollMs);
            continue;
        }
        memset(&msg, 0, sizeof(msg));
        if (popBufferHaf(&msg) >= 0) ProcManageMsg_Haf(reinterpret_cast<char *>(&msg));
    }
    return nullptr;
}

// Starts one detached thread; the failure texts name the attribute set.
int startDetached(void *(*pfBody)(void *), const char *pszInitFail, const char *pszDetachFail) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        printf("%s\n", pszInitFail);
        return -1;
    }
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        pthread_attr_destroy(&attr);
        printf("%s\n", pszDetachFail);
        return -1;
    }
    pthread_t tid;
    int nRet = gHafLinkThreadCreate.load()(&tid, &attr, pfBody, nullptr);
    pthread_attr_destroy(&attr);
    if (nRet != 0) {
        printf("_Haf_ReceivePacket_Thread Create Fail [%s]\n", StrError(nRet));
        return -1;
    }
    return 0;
}

}  // namespace

int Init_UnixDoomainSocket_Haf() {
    SockGuard guard(SockGuard::Exclusive);
    if (!guard.held()) return -2;
    return createSocketLocked();
}

int Reinit_UnixDoomainSocket_Haf() {
    SockGuard guard(SockGuard::Exclusive);
    if (!guard.held()) return -2;
    int nOld = g_procSock_haflib.exchange(0);
    if (nOld != 0) close(nOld);
    int nSock = createSocketLocked();
    if (nSock > 0) g_procSock_haflib.store(nSock);
    return nSock;
}

int Init_ThreadMsgRecv_Haf() {
    // A second reader could reorder the master's reports: a retry starts only what is missing.
    static std::mutex mutex;
    static bool bReceiving = false;
    static bool bDispatching = false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!bReceiving) {
        if (startDetached(receivePacketThread, "Failed Init thread attr1",
                          "Failed detach thread attr1") != 0)
            return -1;
        bReceiving = true;
    }
    if (!bDispatching) {
        if (startDetached(receivePacketProcThread, "Failed Init thread attr2",
                          "Failed detach thread attr") != 0)
            return -1;
        bDispatching = true;
    }
    return 0;
}

int ReceivePacket_Haf(int nTimeOut) {
    ProcMsg_Haf msg;
    {
        SockGuard guard(SockGuard::Shared);
        if (!guard.held()) return -1;
        int nSock = g_procSock_haflib.load();
        if (nSock <= 0) return -1;
        pollfd stPoll{nSock, POLLIN, 0};
        if (poll(&stPoll, 1, nTimeOut) <= 0 || (stPoll.revents & POLLIN) == 0) return -1;
        memset(&msg, 0, sizeof(msg));
        // An empty record would hand out a message of type 0.
        if (readFromMaster(nSock, reinterpret_cast<char *>(&msg), HAF_MSG_MAX_SIZE) < 0) return -1;
    }
    return pushBufferHaf(&msg, nullptr);
}

int ProcManageMsg_Haf(char *pcMsg) {
    if (pcMsg == nullptr) return 0;
    ProcMsg_Haf *pstMsg = reinterpret_cast<ProcMsg_Haf *>(pcMsg);
    char szBlock[HAF_BLOCK_LEN + 1];
    switch (pstMsg->h.nMsgName) {
    case HAF_MSG_HOST_STATUS_RPT: {
        pfOnSystemState pfFunc = nullptr;
        if (pstMsg->stD.szHostStatus.nLocalRedundancyStatus == HAF_HOST_STANDBY_SYSTEM)
            pfFunc = haf_standbyEvent_cb.load();
        else if (pstMsg->stD.szHostStatus.nLocalRedundancyStatus == HAF_HOST_ACTIVE_SYSTEM)
            pfFunc = haf_activeEvent_cb.load();
        if (pfFunc != nullptr) pfFunc(&pstMsg->stD.szHostStatus);
        break;
    }
    case HAF_MSG_PROC_STATUS_RPT:
        if (pfOnProcEvent pfFunc = haf_procEvent_cb.load()) pfFunc(&pstMsg->stD.szProcEvent);
        break;
    case HAF_MSG_HOST_ETC_STATUS_RPT:
        if (pfOnSystemState pfFunc = haf_hostStatusChagEvent_cb.load())
            pfFunc(&pstMsg->stD.szHostStatus);
        break;
    case HAF_MSG_PROC_HANG_START_RPT:
        gnHangTest.store(1);
        copyField_Haf(szBlock, sizeof(szBlock), pstMsg->stD.stHangStart.cBlock);
        Log(LOG_4, "[%s]HangStart Msg [%s] ON\n", logHafLibTitle, szBlock);
        break;
    case HAF_MSG_PROC_NOREPORT_START_RPT:
        gnNoReportTest.store(1);
        copyField_Haf(szBlock, sizeof(szBlock), pstMsg->stD.stNoReportStart.cBlock);
        Log(LOG_4, "[%s]NoReportStart Msg [%s] ON\n", logHafLibTitle, szBlock);
        break;
    default:
        if (pfOnProcMsgEvent pfFunc = haf_procMsgEvent_cb.load()) pfFunc(pstMsg);
        break;
    }
    return 0;
}

int sendMasterThreadInfo_Haf(int nOK, int nTot, const char *pszVersion) {
    ProcMsg_Haf msg;
    fillHeader(msg, HAF_MSG_PROC_THREAD_RPT, static_cast<int>(sizeof(ProcThreadStatusRpt_HAF)));
    ProcThreadStatusRpt_HAF &rpt = msg.stD.szThrStatus;
    rpt.nMaxThread = nTot;
    rpt.nAliveThread = nOK;
    rpt.nDownThread = nTot - nOK;
    StrCpy(rpt.cAppVersion, pszVersion != nullptr ? pszVersion : "", sizeof(rpt.cAppVersion));
    if (writeToMaster(msg) == 0) return 0;
    int nErr = errno;
    Log(LOG_D, "[%s]WriteMsgToUDP dst[%s] Fail %s\n", logHafLibTitle, masterPath(), StrError(nErr));
    return -1;
}

int sendMasterHostOperStatusChg_Haf(int nStatus, const char *pszCause) {
    ProcMsg_Haf msg;
    if (sendStatusChange(HAF_MSG_HOST_OPER_STATUS_CHG_REQ, nStatus, pszCause, msg) == 0) return 0;
    int nErr = errno;
    printf("WriteMsgToUDP dst[%s] Fail %s\n", masterPath(), StrError(nErr));
    return -1;
}

int sendMasterHostStatusChg_Haf(int nStatus, const char *pszCause) {
    return sendLoggedStatusChange(HAF_MSG_HOST_OPER_STATUS_CHG_REQ, nStatus, pszCause);
}

int sendMasterHostAdmnStatusChg_Haf(int nStatus, const char *pszCause) {
    return sendLoggedStatusChange(HAF_MSG_HOST_ADMN_STATUS_CHG_REQ, nStatus, pszCause);
}

int sendMasterHostSvcStatusChg_Haf(int nStatus, const char *pszCause) {
    return sendLoggedStatusChange(HAF_MSG_HOST_SVC_STATUS_CHG_REQ, nStatus, pszCause);
}

int sendMasterProcStatusChg_Haf(int nAction, const char *pszProcessName, int nProcessID,
                                const char *pszCause) {
    ProcMsg_Haf msg;
    fillHeader(msg, HAF_MSG_PROC_STATUS_CHG_REQ, static_cast<int>(sizeof(HafProcStatusChgReq)));
    HafProcStatusChgReq &req = msg.stD.stProcStatusChgReq;
    req.nAction = nAction;
    StrCpy(req.szProcessName, pszProcessName != nullptr ? pszProcessName : "",
           sizeof(req.szProcessName));
    req.nProcessID = nProcessID;
    StrCpy(req.szCause, pszCause != nullptr ? pszCause : "", sizeof(req.szCause));
    if (writeToMaster(msg) == 0) return 0;
    int nErr = errno;
    Log(LOG_3, "[%s]WriteMsgToUDP dst[%s] Fail %d:%s\n", logHafLibTitle, masterPath(), nErr,
        StrError(nErr));
    return -1;
}

int sendMsgGwData_Haf(int nMsgName, const char *pszDstProcName, int nDstProcID,
                      const void *pszData, int nDataLen, int nResult) {
    if (nDataLen < 0 || nDataLen > HAF_MSG_DATA_MAX_SIZE || (nDataLen > 0 && pszData == nullptr)) {
        Log(LOG_3, "[%s]sendMsgGwData_Haf refused length %d (at most %d)\n", logHafLibTitle,
            nDataLen, HAF_MSG_DATA_MAX_SIZE);
        return -1;
    }
    ProcMsg_Haf msg;
    fillHeader(msg, nMsgName, nDataLen);
    StrCpy(msg.h.cDestProcName, pszDstProcName != nullptr ? pszDstProcName : "",
           sizeof(msg.h.cDestProcName));
    msg.h.nDestProcID = nDstProcID;
    msg.h.nResult = nResult;
    if (nDataLen > 0) memcpy(msg.stD.cData, pszData, static_cast<size_t>(nDataLen));
    if (writeToMaster(msg) == 0) return 0;
    int nErr = errno;
    Log(LOG_3,
        "[%s]WriteMsgToUDP path[%s] Fail [%d:%d] SRC(%s:%d) -> DST(%s:%d) %d:%s (%s:%d)\n",
        logHafLibTitle, masterPath(), nMsgName, msg.h.nMsgLength, msg.h.cSrcProcName,
        msg.h.nSrcProcID, msg.h.cDestProcName, msg.h.nDestProcID, nErr, StrError(nErr),
        "sendMsgGwData_Haf", __LINE__);
    return -1;
}
