// The HA client library against the simulated master: initialisation,
// callbacks on the dispatch thread, requests, accessors and the inter-thread
// queue. Every case runs in a fresh child process (haf_link_world.h).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/util.h"
#include "haf/haf_appLib.h"
#include "haf/haf_inter_buffer.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"
#include "haf_link_world.h"

namespace {

using haftest::LinkWorld;
using haftest::LogLines;
using haftest::Received;
using haftest::runIsolated;

// What the callbacks saw: which callback, on which thread, with what.
struct Call {
    std::string which;
    unsigned int unThrId;
    int nType;
    int nLength;
    int16_t nRedundancy;
    std::string payload;
    std::string src;
};

class Calls {
public:
    static Calls &get() {
        static Calls calls;
        return calls;
    }
    void add(Call call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
        cv_.notify_all();
    }
    // Waits until n calls were recorded; a copy of them.
    std::vector<Call> waitCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, haftest::kWait, [&] { return calls_.size() >= n; });
        return calls_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

void recordStatus(const char *pszWhich, HafHostStatusRpt *p) {
    Calls::get().add({pszWhich, Get_ThrId(), 0, 0, p->nLocalRedundancyStatus, "", ""});
}
void onStandby(HafHostStatusRpt *p) { recordStatus("standby", p); }
void onActive(HafHostStatusRpt *p) { recordStatus("active", p); }
void onHostStatus(HafHostStatusRpt *p) { recordStatus("host", p); }
void onProcEvent(ClientProInfoHAF_ *p) {
    Calls::get().add({"proc", Get_ThrId(), 0, 0, 0, p->szProcessName, ""});
}
void onMessage(ProcMsg_Haf *p) {
    int nPayload = p->h.nMsgLength - HAF_MSG_HEAD_SIZE;
    std::string payload(p->stD.cData, nPayload > 0 ? static_cast<size_t>(nPayload) : 0u);
    Calls::get().add(
        {"msg", Get_ThrId(), p->h.nMsgName, p->h.nMsgLength, 0, payload, p->h.cSrcProcName});
}

std::string cString(const char *pc, size_t n) { return std::string(pc, strnlen(pc, n)); }

// Thread starts of the master link; the second one fails.
std::atomic<int> gnLinkThreadCalls{0};
std::atomic<int> gnLinkThreadsStarted{0};
int failSecondLinkThread(pthread_t *pTid, const pthread_attr_t *pAttr, void *(*pfBody)(void *),
                         void *pArg) {
    if (gnLinkThreadCalls.fetch_add(1) == 1) return EAGAIN;
    int nRet = pthread_create(pTid, pAttr, pfBody, pArg);
    if (nRet == 0) gnLinkThreadsStarted.fetch_add(1);
    return nRet;
}

TEST(HafLinkTest, InitChecksVersionAndTablesAndRefusesEarlyRegistration) {
    runIsolated([] {
        EXPECT_EQ(HALibRegisterActiveStatCallback(onActive), -1);
        EXPECT_EQ(HALibSetSwitchNode("early"), -1);
        HafHostStatusRpt rpt{};
        EXPECT_EQ(HALibGetHostStatus(&rpt), -1);
        EXPECT_EQ(HALibInit("1.0", nullptr), -1);
        LinkWorld world(HAF_HOST_ACTIVE_SYSTEM, false);
        EXPECT_EQ(HALibInit("1.0.0", nullptr), -1);  // no master: its tables are missing
        world.start();
        ASSERT_TRUE(world.started());
        // The dispatch thread fails to start once: the retry starts only it.
        gHafLinkThreadCreate.store(failSecondLinkThread);
        EXPECT_EQ(HALibInit("1.0.0", nullptr), -5);
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        EXPECT_EQ(HALibInit("2.0.0", nullptr), 0);  // no second set of threads
        EXPECT_EQ(gnLinkThreadsStarted.load(), 2) << "one reception and one dispatch thread";
        gHafLinkThreadCreate.store(pthread_create);
        EXPECT_EQ(HALibRegisterActiveStatCallback(nullptr), -1);
        EXPECT_EQ(HALibRegisterActiveStatCallback(onActive), 0);
        // The own row of the process list gives the name and id.
        EXPECT_STREQ(HALibGetProcessName(), "kest");
        EXPECT_EQ(HALibGetProcessId(), 7);
        char szName[32] = "";
        int nId = 0;
        EXPECT_EQ(HALibGetMyProcess(szName, nId), 0);
        EXPECT_STREQ(szName, "kest");
        EXPECT_EQ(nId, 7);
        struct stat st;
        EXPECT_EQ(stat((world.root() + "/haf/sock/" + std::to_string(getpid())).c_str(), &st), 0);
    });
}

TEST(HafLinkTest, RoleReportsReachTheirCallbackOnceOnTheDispatchThread) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        ASSERT_EQ(HALibRegisterHostStatusCallback(onHostStatus), 0);
        ASSERT_EQ(HALibRegisterStandbyStatCallback(onStandby), 0);
        ASSERT_EQ(HALibRegisterActiveStatCallback(onActive), 0);
        ASSERT_EQ(HALibRegisterProcEventCallback(onProcEvent), 0);
        ASSERT_EQ(HALibRegisterProcMsgCallback(onMessage), 0);
        world.sendToClient("1002 standby");
        world.sendToClient("1002 init");
        world.sendToClient("1002 off");
        world.sendToClient("1002 active");
        world.sendToClient("1005 standby");
        world.sendToClient("1003");
        world.sendToClient("1004 marker");  // delivered in order: all before it are done
        std::vector<Call> calls = Calls::get().waitCount(5);
        ASSERT_EQ(calls.size(), 5u);
        EXPECT_EQ(calls[0].which, "standby");
        EXPECT_EQ(calls[0].nRedundancy, 2);
        EXPECT_EQ(calls[1].which, "active");
        EXPECT_EQ(calls[1].nRedundancy, 3);
        EXPECT_EQ(calls[2].which, "host");
        EXPECT_EQ(calls[3].which, "proc");
        EXPECT_EQ(calls[3].payload, "kest");
        EXPECT_EQ(calls[4].which, "msg");
        EXPECT_EQ(calls[4].payload, "marker");
        for (const Call &call : calls) {
            EXPECT_NE(call.unThrId, Get_ThrId());
            EXPECT_EQ(call.unThrId, calls[0].unThrId) << call.which;  // the one dispatch thread
        }
    });
}

TEST(HafLinkTest, OtherTypesReachTheMessageCallbackWhole) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        world.sendToClient("1004 heartbeat");  // before registration: consumed silently
        world.sendToClient("1006 hang-block");
        world.sendToClient("1008 quiet-block");
        ASSERT_TRUE(LogLines::get().waitFor({"NoReportStart Msg [quiet-block] ON"}));
        EXPECT_EQ(LogLines::get().count({"HangStart Msg [hang-block] ON"}), 1u);
        ASSERT_EQ(HALibRegisterProcMsgCallback(onMessage), 0);
        world.sendToClient("1007 olu status");
        world.sendToClient("4321 anything at all");
        world.sendToClient("1004 hb");
        std::vector<Call> calls = Calls::get().waitCount(3);
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].nType, 1007);
        EXPECT_EQ(calls[0].payload, "olu status");
        EXPECT_EQ(calls[0].nLength, HAF_MSG_HEAD_SIZE + 10);
        EXPECT_EQ(calls[0].src, "HAF");
        EXPECT_EQ(calls[1].nType, 4321);
        EXPECT_EQ(calls[1].payload, "anything at all");
        EXPECT_EQ(calls[2].nType, 1004);
        EXPECT_EQ(calls[2].payload, "hb");
    });
}

TEST(HafLinkTest, RequestsCarryTheirHeaderAndPayload) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        EXPECT_EQ(HALibSetHostAdmnStatus(1, "admin lock"), 0);
        EXPECT_EQ(HALibSetHostSvcStatus(1, "svc"), 0);
        EXPECT_EQ(HALibSetProcessStatusChange(4, "other", 9, "stop it"), 0);
        std::string longCause(300, 'c');
        EXPECT_EQ(HALibSetHostStatus(1, longCause.c_str()), 0);
        const char szData[] = "raw";
        EXPECT_EQ(sendMsgGwData_Haf(2302, "PEER", 5, szData, 3, 9), 0);
        EXPECT_EQ(sendMsgGwData_Haf(2302, "PEER", 5, nullptr, 0, 0), 0);
        char szBig[HAF_MSG_DATA_MAX_SIZE + 1] = {};
        EXPECT_EQ(sendMsgGwData_Haf(2302, "PEER", 5, szBig, HAF_MSG_DATA_MAX_SIZE + 1, 0), -1);

        Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_ADMN_STATUS_CHG_REQ, r));
        EXPECT_EQ(r.nLen, 220);
        EXPECT_EQ(r.msg.h.nMsgLength, 220);
        EXPECT_EQ(r.msg.h.sSndPID, getpid());
        EXPECT_EQ(cString(r.msg.h.cSrcProcName, 32), "kest");
        EXPECT_EQ(r.msg.h.nSrcProcID, 7);
        EXPECT_EQ(cString(r.msg.h.cDestProcName, 32), "HAF");
        EXPECT_EQ(r.msg.h.nDestProcID, 1);
        EXPECT_EQ(r.msg.stD.stHostStatusChgReq.nStatus, 1);
        EXPECT_EQ(cString(r.msg.stD.stHostStatusChgReq.szCause, 128), "admin lock");
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_SVC_STATUS_CHG_REQ, r));
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_STATUS_CHG_REQ, r));
        EXPECT_EQ(r.nLen, 288);
        EXPECT_EQ(r.msg.stD.stProcStatusChgReq.nAction, 4);
        EXPECT_EQ(cString(r.msg.stD.stProcStatusChgReq.szProcessName, 64), "other");
        EXPECT_EQ(r.msg.stD.stProcStatusChgReq.nProcessID, 9);
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_OPER_STATUS_CHG_REQ, r));
        EXPECT_EQ(cString(r.msg.stD.stHostStatusChgReq.szCause, 128), std::string(127, 'c'));
        ASSERT_TRUE(world.waitMessage(2302, r));
        EXPECT_EQ(r.nLen, HAF_MSG_HEAD_SIZE + 3);
        EXPECT_EQ(cString(r.msg.h.cDestProcName, 32), "PEER");
        EXPECT_EQ(r.msg.h.nDestProcID, 5);
        EXPECT_EQ(r.msg.h.nResult, 9);
        EXPECT_EQ(std::string(r.msg.stD.cData, 3), "raw");
        ASSERT_TRUE(world.waitMessage(2302, r));
        EXPECT_EQ(r.nLen, HAF_MSG_HEAD_SIZE);
    });
}

TEST(HafLinkTest, SwitchNodeAsksOnceOnAnActiveNodeOnly) {
    runIsolated([] {
        LinkWorld world(HAF_HOST_STANDBY_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        EXPECT_EQ(HALibSetSwitchNode("standby asks"), -1);
        world.command("role active standby");
        EXPECT_EQ(HALibSetSwitchNode("signal 11"), 0);
        EXPECT_EQ(HALibSetHostAdmnStatus(0, "marker"), 0);
        Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_ADMN_STATUS_CHG_REQ, r));
        std::vector<Received> all = world.collect(200);
        int nRequests = 0;
        for (const Received &m : all) {
            if (m.msg.h.nMsgName != HAF_MSG_HOST_OPER_STATUS_CHG_REQ) continue;
            ++nRequests;
            EXPECT_EQ(m.msg.stD.stHostStatusChgReq.nStatus, HAF_HOST_STANDBY_SYSTEM);
            EXPECT_EQ(cString(m.msg.stD.stHostStatusChgReq.szCause, 128), "signal 11");
        }
        EXPECT_EQ(nRequests, 1);
    });
}

// The tables a restarted master makes anew at the same keys, filled as the
// simulator fills its own.
class RemadeTables {
public:
    explicit RemadeTables(int nOwnRole) {
        std::string err;
        bMade_ = tables_.create(err);
        EXPECT_TRUE(bMade_) << err;
        if (!bMade_) return;
        hafsim::Options opts;
        tables_.setPair(opts.own, opts.peer);
        tables_.setRoles(nOwnRole, HAF_HOST_STANDBY_SYSTEM);
        EXPECT_GE(tables_.addProcess("kest", getpid(), 8), 0);
    }
    bool made() const { return bMade_; }
    hafsim::Tables &tables() { return tables_; }

private:
    hafsim::Tables tables_;
    bool bMade_ = false;
};

TEST(HafLinkTest, TablesMadeAnewByARestartedMasterAreReadThereAndNotInTheRemovedOnes) {
    runIsolated([] {
        LinkWorld world(HAF_HOST_STANDBY_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        HafHostStatusRpt rpt{};
        ASSERT_EQ(HALibGetHostStatus(&rpt), 0);
        EXPECT_EQ(rpt.nLocalRedundancyStatus, HAF_HOST_STANDBY_SYSTEM);
        // Another thread reads the status all along while the tables go and come.
        std::atomic<bool> bStop{false};
        std::thread reader([&bStop] {
            HafHostStatusRpt r{};
            while (!bStop.load()) HALibGetHostStatus(&r);
        });

        // The master restarts: its old segments are removed (this process
        // keeps them attached), the new ones show this node active.
        world.sim().tables().removeSegments();
        auto remade = std::make_unique<RemadeTables>(HAF_HOST_ACTIVE_SYSTEM);
        ASSERT_TRUE(remade->made());
        EXPECT_EQ(HALibSetSwitchNode("signal 15"), 0);
        Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_OPER_STATUS_CHG_REQ, r));
        EXPECT_EQ(r.msg.stD.stHostStatusChgReq.nStatus, HAF_HOST_STANDBY_SYSTEM);
        EXPECT_EQ(cString(r.msg.stD.stHostStatusChgReq.szCause, 128), "signal 15");
        ASSERT_EQ(HALibGetHostStatus(&rpt), 0);
        EXPECT_EQ(rpt.nLocalRedundancyStatus, HAF_HOST_ACTIVE_SYSTEM);
        char szName[32] = "";
        int nId = 0;
        EXPECT_EQ(HALibGetMyProcess(szName, nId), 0);
        EXPECT_EQ(nId, 8);

        // Removed with no successor: read as a missing table, not as the
        // active row left in the removed segment.
        remade->tables().removeSegments();
        EXPECT_EQ(HALibSetSwitchNode("signal 15"), -1);
        EXPECT_EQ(HALibGetHostStatus(&rpt), -1);
        ClientProInfoHAF_ *pList = nullptr;
        EXPECT_EQ(HALibGetProcessStatus(&pList), -1);
        // Readers that do not look for a new table keep the last one meanwhile.
        EXPECT_STREQ(HALibGetNodeName(), "KEST0");
        // A master that comes back later is found again.
        RemadeTables again(HAF_HOST_ACTIVE_SYSTEM);
        ASSERT_TRUE(again.made());
        ASSERT_EQ(HALibGetHostStatus(&rpt), 0);
        EXPECT_EQ(rpt.nLocalRedundancyStatus, HAF_HOST_ACTIVE_SYSTEM);
        bStop.store(true);
        reader.join();
    });
}

TEST(HafLinkTest, AccessorsReadTheMastersRows) {
    runIsolated([] {
        EXPECT_STREQ(HALibGetNodeName(), "");
        EXPECT_EQ(HALibGetNodeNumber(), 0);
        LinkWorld world(HAF_HOST_ACTIVE_SYSTEM);
        ASSERT_TRUE(world.started());
        ASSERT_EQ(HALibInit("1.0.0", nullptr), 0);
        EXPECT_STREQ(HALibGetNodeName(), "KEST0");
        EXPECT_STREQ(HALibGetRNodeName(), "KEST1");
        EXPECT_STREQ(HALibGetNodeType(), "KEST");
        EXPECT_STREQ(HALibGetNodeGroupName(), "KESTG");
        EXPECT_EQ(HALibGetNodeNumber(), 0);
        EXPECT_EQ(HALibGetRNodeNumber(), 1);
        EXPECT_EQ(HALibGetRNodeID(), 1);
        HafHostStatusRpt rpt{};
        ASSERT_EQ(HALibGetHostStatus(&rpt), 0);
        EXPECT_EQ(rpt.nLocalRedundancyStatus, HAF_HOST_ACTIVE_SYSTEM);
        EXPECT_EQ(rpt.nRemotRedundancyStatus, HAF_HOST_STANDBY_SYSTEM);
        // Every field from its own column of the right row.
        HOST_STATUS &own = _netHafLib->stHostStatus[_netHafLib->nNode];
        HOST_STATUS &peer = _netHafLib->stHostStatus[_netHafLib->nPNode];
        own.nHostAdmnStatus = 11;
        own.nHostOperStatus = 12;
        own.nHostHardwareStatus = 13;
        own.nHostSvcStatus = 14;
        peer.nHostAdmnStatus = 15;
        peer.nHostOperStatus = 16;
        peer.nHostHardwareStatus = 17;
        peer.nHostSvcStatus = 18;
        ASSERT_EQ(HALibGetHostStatus(&rpt), 0);
        const int16_t nExpected[8] = {11, 12, 13, 14, 15, 16, 17, 18};
        static_assert(sizeof(rpt) == sizeof(nExpected));
        EXPECT_EQ(memcmp(&rpt, nExpected, sizeof(rpt)), 0)
            << rpt.nLocalAdmnStatus << " " << rpt.nLocalRedundancyStatus << " "
            << rpt.nLocalHardwareStatus << " " << rpt.nLocalSvcStatus << " "
            << rpt.nRemotAdmnStatus << " " << rpt.nRemotRedundancyStatus << " "
            << rpt.nRemotHardwareStatus << " " << rpt.nRemotSvcStatus;
        setenv("AREA_ID", "42", 1);
        unsetenv("NODE_GROUP_ID");
        EXPECT_EQ(HALibGetAreaID(), 42);
        EXPECT_EQ(HALibGetNodeGroupID(), 0);
        world.command("proc other 999999 3");
        ClientProInfoHAF_ *pList = nullptr;
        ASSERT_EQ(HALibGetProcessStatus(&pList), 2);
        EXPECT_STREQ(pList[0].szProcessName, "kest");
        EXPECT_EQ(pList[0].nPId, getpid());
        EXPECT_EQ(pList[1].nProcessID, 3);
        EXPECT_EQ(pList[1].nPId, 999999);
        EXPECT_EQ(pList[1].cAppVersion[0], '\0');
        free(pList);
    });
}

TEST(HafLinkTest, StatusWordsNameEveryCodeAndFallBack) {
    EXPECT_STREQ(getHostRedState(3), "ACTIVE_SYSTEM");
    EXPECT_STREQ(getHostRedState(-1), "OFF_SYSTEM");
    EXPECT_STREQ(getHostRedState(0), "UNDEF");
    EXPECT_STREQ(getHostStateKey(2), "SBY");
    EXPECT_STREQ(getHostStateKey(5), "UND");
    EXPECT_STREQ(getHostAdmnState(1), "LOCK");
    EXPECT_STREQ(getHostHWState(0), "UNLOCK");
    EXPECT_STREQ(getHostSvcState(1), "INHIBIT");
    EXPECT_STREQ(getHostSvcState(2), "UNDEF");
    EXPECT_STREQ(getHostOpertate(2), "ENAB");
    EXPECT_STREQ(getHostOpertate(-1), "DISA");
    EXPECT_STREQ(getProcStatus(1), "ENAB");
    EXPECT_STREQ(getProcStatus2(1), "NORM");
    EXPECT_STREQ(getProcStatus2(4), "UND");
    EXPECT_STREQ(getProcActStr(4), "STOP");
    EXPECT_STREQ(getProcRunStateStr(0), "UNDEF");
    EXPECT_STREQ(getRunSystemStateStr(0), "UN_DEF");
    EXPECT_STREQ(getProcReportTypeStr(1), "yes");
    EXPECT_STREQ(getProcReportTypeStr(7), "no");
    EXPECT_STREQ(getProcDownDetectTypeStr(5), "month");
    EXPECT_STREQ(getProcDownDetectActionStr(2), "Switch");
    EXPECT_STREQ(getProcDownDetectActionStr(3), "UN_DEF");
}

TEST(HafLinkTest, FullQueueDropsTheOldestAndKeepsOrder) {
    runIsolated([] {
        ProcMsg_Haf msg{};
        EXPECT_EQ(pushBufferHaf(&msg, nullptr), -1);  // no queue yet
        EXPECT_EQ(popBufferHaf(&msg), -1);
        EXPECT_EQ(getBufferCntHaf(), -1);
        EXPECT_EQ(Haf_Init_InterBuffer(1), -1);  // cannot tell full from empty
        HafRootEnv root;
        ASSERT_EQ(Init_Log("HAFQUEUETEST", (root / "log/q").c_str()), 0);
        ASSERT_EQ(Set_LogLevel(0, LOG_5), 0);
        Add_LogHandler(&LogLines::handler, 0);
        ASSERT_EQ(Haf_Init_InterBuffer(-1), 0);
        EXPECT_EQ(popBufferHaf(&msg), -1);
        for (int i = 0; i < 999; ++i) {
            msg.h.nMsgName = i;
            ASSERT_GE(pushBufferHaf(&msg, nullptr), 0);
        }
        EXPECT_EQ(getBufferCntHaf(), 999);
        EXPECT_EQ(LogLines::get().count({"CIRCULAR QUEUE FULL"}), 0u);
        ProcMsg_Haf dropped{};
        msg.h.nMsgName = 999;
        ASSERT_GE(pushBufferHaf(&msg, &dropped), 0);
        EXPECT_EQ(dropped.h.nMsgName, 0);
        EXPECT_EQ(getBufferCntHaf(), 999);
        EXPECT_EQ(LogLines::get().count({"[HafLib][INTER_Q] CIRCULAR QUEUE FULL and clear 1 "}), 1u);
        for (int i = 1; i <= 999; ++i) {
            ASSERT_GE(popBufferHaf(&msg), 0);
            ASSERT_EQ(msg.h.nMsgName, i);
        }
        EXPECT_EQ(popBufferHaf(&msg), -1);
        EXPECT_EQ(getBufferCntHaf(), 0);
    });
}

}  // namespace
