// Thread liveness against the simulated master: thread reports and their
// start, the link re-created after a failed report, hang alarms with their
// dump and handler, one alarm at a time, slot deletion and reuse. Every case
// runs in a fresh child process (haf_link_world.h).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/util.h"
#include "haf/haf_appLib.h"
#include "haf/haf_proc_util.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"
#include "haf_link_world.h"
#include "hafsim_link.h"

namespace {

using haftest::Clock;
using haftest::LinkWorld;
using haftest::LogLines;
using haftest::Received;
using haftest::runIsolated;

// A thread that runs the jobs the test hands it, one at a time, and
// otherwise stays silent.
class Worker {
public:
    Worker() : thread_([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bStop_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    int run(std::function<int()> job) {
        std::packaged_task<int()> task(std::move(job));
        std::future<int> result = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_all();
        return result.get();
    }
    int alive(int nInterval, const char *pcName = nullptr) {
        return run([=] { return HAThrAlive(nInterval, pcName); });
    }
    unsigned int tid() {
        return static_cast<unsigned int>(run([] { return static_cast<int>(Get_ThrId()); }));
    }

private:
    void loop() {
        for (;;) {
            std::packaged_task<int()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [&] { return bStop_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::packaged_task<int()>> tasks_;
    bool bStop_ = false;
    std::thread thread_;  // last: starts once the rest exists
};

// Thread ids the hang handler was called with.
class Hangs {
public:
    static Hangs &get() {
        static Hangs hangs;
        return hangs;
    }
    static void handler(unsigned int unThrId) {
        Hangs &self = get();
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.ids_.push_back(unThrId);
        self.cv_.notify_all();
    }
    std::vector<unsigned int> waitCount(size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, haftest::kWait, [&] { return ids_.size() >= n; });
        return ids_;
    }
    std::vector<unsigned int> ids() {
        std::lock_guard<std::mutex> lock(mutex_);
        return ids_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<unsigned int> ids_;
};

void onRole(HafHostStatusRpt *) {}

// Starts the library with the hang recorder and, when bReports, the thread
// reports (a role callback registered).
void startLibrary(bool bReports) {
    ASSERT_EQ(HALibInit("1.0.0", &Hangs::handler), 0);
    if (bReports) {
        ASSERT_EQ(HALibRegisterActiveStatCallback(onRole), 0);
    }
}

// Next thread report whose down count is nDown.
bool waitReport(LinkWorld &world, int nDown, Received &r) {
    auto deadline = Clock::now() + haftest::kWait;
    while (Clock::now() < deadline) {
        if (!world.waitMessage(HAF_MSG_PROC_THREAD_RPT, r)) return false;
        if (r.msg.stD.szThrStatus.nDownThread == nDown) return true;
    }
    return false;
}

std::string alarmOf(const char *pszName, unsigned int unThrId) {
    return "Thread-Id(" + std::string(pszName) + "/" + std::to_string(unThrId) + "/";
}

long millisBetween(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

// The kernel's name of the process socket ("socket:[inode]"); sockets get
// fresh inode numbers, so a new name means a new socket.
std::string processSocket() {
    char szLink[64];
    std::string fdPath = "/proc/self/fd/" + std::to_string(g_procSock_haflib.load());
    ssize_t n = readlink(fdPath.c_str(), szLink, sizeof(szLink) - 1);
    if (n <= 0) return "";
    szLink[n] = '\0';
    return szLink;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(HafThreadTest, ReportsStartWithARoleCallbackOnceASecond) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(false);
        ASSERT_EQ(HAThrAlive(30, "main"), 0);
        ASSERT_EQ(HALibRegisterHostStatusCallback(onRole), 0);
        // Two passes with only the host status callback: nothing is sent.
        ASSERT_TRUE(LogLines::get().waitFor(
            {"[HafLib]NO THREAD [TOT=1/OK=1/NOK=0] gnNoReportTest[0] gnReportF[0]"}, 2));
        for (const Received &m : world.collect(0))
            EXPECT_NE(m.msg.h.nMsgName, HAF_MSG_PROC_THREAD_RPT);

        ASSERT_EQ(HALibRegisterStandbyStatCallback(onRole), 0);
        Received first, second, third;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, first));
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, second));
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, third));
        EXPECT_EQ(first.nLen, 132);
        EXPECT_EQ(first.msg.h.nSrcProcID, 7);
        EXPECT_STREQ(first.msg.h.cSrcProcName, "kest");
        EXPECT_EQ(first.msg.stD.szThrStatus.nMaxThread, 1);
        EXPECT_EQ(first.msg.stD.szThrStatus.nAliveThread, 1);
        EXPECT_EQ(first.msg.stD.szThrStatus.nDownThread, 0);
        EXPECT_STREQ(first.msg.stD.szThrStatus.cAppVersion, "1.0.0");
        for (long nGap : {millisBetween(first.at, second.at), millisBetween(second.at, third.at)}) {
            EXPECT_GE(nGap, 500);
            EXPECT_LE(nGap, 3000);
        }
        unsigned int unOK = 9, unNok = 9;
        EXPECT_EQ(getThreadCnt(&unOK, &unNok), 1u);
        EXPECT_EQ(unOK, 1u);
        EXPECT_EQ(unNok, 0u);

        // The master's no-report test stops them for good.
        world.sendToClient("1008 quiet");
        ASSERT_TRUE(LogLines::get().waitFor({"NO THREAD", "gnNoReportTest[1] gnReportF[1]"}));
    });
}

TEST(HafThreadTest, LostMasterFailsTheSendAndTheLinkIsRecreated) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(true);
        ASSERT_EQ(HAThrAlive(30, "main"), 0);
        Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, r));
        std::string before = processSocket();
        ASSERT_NE(before, "");
        struct stat st;
        ASSERT_EQ(stat((world.root() + "/haf/sock/" + std::to_string(getpid())).c_str(), &st), 0);

        std::string masterPath = world.sim().link().path();
        ASSERT_EQ(unlink(masterPath.c_str()), 0);
        EXPECT_EQ(HALibSetHostAdmnStatus(1, "nobody listens"), -1);
        EXPECT_EQ(LogLines::get().count({"[HafLib]WriteMsgToUDP dst[" + masterPath + "] Fail"}), 1u);

        // The checker's failed report re-binds the process socket.
        auto deadline = Clock::now() + haftest::kWait;
        bool bRecreated = false;
        while (!bRecreated && Clock::now() < deadline) {
            std::string now = processSocket();
            bRecreated = !now.empty() && now != before;
            if (!bRecreated) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(bRecreated);
        EXPECT_EQ(stat((world.root() + "/haf/sock/" + std::to_string(getpid())).c_str(), &st), 0);

        // A master back at its path gets the reports again, and the new
        // socket receives what the master sends.
        hafsim::Link master;
        std::string err;
        ASSERT_TRUE(master.bind(err)) << err;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, r, master.fd()));
        EXPECT_EQ(r.msg.stD.szThrStatus.nAliveThread, 1);
        EXPECT_EQ(HALibSetHostAdmnStatus(1, "heard"), 0);
        ASSERT_TRUE(world.waitMessage(HAF_MSG_HOST_ADMN_STATUS_CHG_REQ, r, master.fd()));
        world.sendToClient("1006 after-recreate");
        EXPECT_TRUE(LogLines::get().waitFor({"HangStart Msg [after-recreate] ON"}));
    });
}

TEST(HafThreadTest, SilentThreadIsAlarmedDumpedHandledOnceAndCleared) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(true);
        Worker silent;
        unsigned int unTid = silent.tid();
        auto reported = Clock::now();
        time_t tStamp = 0;  // the second the report is stamped with
        ASSERT_EQ(silent.run([&] {
            int nRet = 0;
            do {
                tStamp = getClockTime();
                nRet = HAThrAlive(2, "silent");
            } while (getClockTime() != tStamp);
            return nRet;
        }),
                  0);
        std::string alarm = alarmOf("silent", unTid);
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Alarm [", alarm, "nInterval[2]"}));
        // Not in the pass exactly at its deadline, but in the first pass after.
        EXPECT_GT(getClockTime(), tStamp + 2);
        EXPECT_LE(millisBetween(reported, Clock::now()), 6000);

        std::vector<unsigned int> hangs = Hangs::get().waitCount(1);
        ASSERT_EQ(hangs.size(), 1u);
        EXPECT_EQ(hangs[0], unTid);
        EXPECT_EQ(LogLines::get().count({"[HafLib]pstack End [" + std::to_string(unTid) + "] \n"}),
                  1u);
        std::string dump = world.dumpDir() + "/pstack_KEST0_" + program_invocation_short_name + "_" +
                           std::to_string(getpid()) + "_" + std::to_string(unTid);
        std::string text = readFile(dump);
        EXPECT_EQ(text.rfind("======= ZAV PSTACK DUMP SERVICE =======\n", 0), 0u) << dump;
        EXPECT_NE(text.find("TARGET NAME is " + std::string(program_invocation_short_name) +
                            " Thread " + std::to_string(unTid) + "\n"),
                  std::string::npos);
        EXPECT_NE(text.find("#0  fake frame of " + std::to_string(getpid())), std::string::npos);

        // Later passes see it still hung but raise nothing new.
        Received r;
        ASSERT_TRUE(waitReport(world, 1, r));
        ASSERT_TRUE(waitReport(world, 1, r));
        EXPECT_EQ(r.msg.stD.szThrStatus.nMaxThread, 1);
        EXPECT_EQ(r.msg.stD.szThrStatus.nAliveThread, 0);
        EXPECT_EQ(Hangs::get().ids().size(), 1u);
        EXPECT_EQ(LogLines::get().count({"[HafLib]Alarm ["}), 1u);

        ASSERT_EQ(silent.alive(2), 0);
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Clear [", "Thread-Id(silent/"}));
        ASSERT_TRUE(waitReport(world, 0, r));
        EXPECT_EQ(r.msg.stD.szThrStatus.nAliveThread, 1);
    });
}

TEST(HafThreadTest, TwoSilentThreadsRaiseOneAlarmAtATime) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(true);
        Worker first, second;
        unsigned int unFirst = first.tid(), unSecond = second.tid();
        ASSERT_EQ(first.alive(1, "first"), 0);
        ASSERT_EQ(second.alive(1, "second"), 0);
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Alarm [", alarmOf("first", unFirst)}));
        ASSERT_EQ(Hangs::get().waitCount(1).size(), 1u);
        Received r;
        ASSERT_TRUE(waitReport(world, 2, r));
        ASSERT_TRUE(waitReport(world, 2, r));
        EXPECT_EQ(LogLines::get().count({"[HafLib]Alarm ["}), 1u);
        EXPECT_EQ(Hangs::get().ids().size(), 1u);

        ASSERT_EQ(first.alive(30), 0);
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Clear [", alarmOf("first", unFirst)}));
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Alarm [", alarmOf("second", unSecond)}));
        std::vector<unsigned int> hangs = Hangs::get().waitCount(2);
        ASSERT_EQ(hangs.size(), 2u);
        EXPECT_EQ(hangs[0], unFirst);
        EXPECT_EQ(hangs[1], unSecond);
    });
}

TEST(HafThreadTest, DeletedSlotIsReusedAndLetsLaterHangsAlarm) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(true);
        int nSlot = -1;
        {
            Worker doomed;
            unsigned int unTid = doomed.tid();
            ASSERT_EQ(doomed.alive(1, "doomed"), 0);
            nSlot = _Haf_Has_ThrID(unTid);
            ASSERT_GT(nSlot, 0);
            ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Alarm [", alarmOf("doomed", unTid)}));
            // Deleted while alarmed: it can never clear by reporting.
            ASSERT_EQ(doomed.alive(-1), 0);
            EXPECT_EQ(_Haf_Has_ThrID(unTid), -1);
        }
        Worker heir;
        unsigned int unHeir = heir.tid();
        ASSERT_EQ(heir.alive(1), 0);
        EXPECT_EQ(_Haf_Has_ThrID(unHeir), nSlot);
        EXPECT_STREQ(HALibGetThrName(static_cast<unsigned int>(nSlot)), "doomed");
        EXPECT_STREQ(HALibGetThrName(1024), "Not_Initialized");
        ASSERT_TRUE(LogLines::get().waitFor({"[HafLib]Alarm [", alarmOf("doomed", unHeir)}));
        std::vector<unsigned int> hangs = Hangs::get().waitCount(2);
        ASSERT_EQ(hangs.size(), 2u);
        EXPECT_EQ(hangs[1], unHeir);
    });
}

// The slot whose reads the checker is held between, until the test lets go.
struct HeldRead {
    std::atomic<int> nSlot{-1};
    std::atomic<bool> bTaken{false};
    std::promise<void> held, released;
};
HeldRead gHeldRead;

}  // namespace

void hafCheckSlotRead(uint32_t unSlot) {
    if (static_cast<int>(unSlot) != gHeldRead.nSlot.load() || gHeldRead.bTaken.exchange(true))
        return;
    gHeldRead.held.set_value();
    gHeldRead.released.get_future().wait_for(haftest::kWait);
}

namespace {

TEST(HafThreadTest, DeletionWhileTheCheckerReadsTheSlotRaisesNoAlarm) {
    runIsolated([] {
        LinkWorld world;
        ASSERT_TRUE(world.started());
        startLibrary(true);
        Worker leaving;
        unsigned int unTid = leaving.tid();
        ASSERT_EQ(leaving.alive(30, "leaving"), 0);
        std::future<void> held = gHeldRead.held.get_future();
        gHeldRead.nSlot.store(_Haf_Has_ThrID(unTid));
        ASSERT_GT(gHeldRead.nSlot.load(), 0);
        ASSERT_EQ(held.wait_for(haftest::kWait), std::future_status::ready);

        ASSERT_EQ(leaving.alive(-1), 0);
        gHeldRead.released.set_value();
        // Two whole passes after the one that was held.
        world.drainMaster();
        Received r;
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, r));
        ASSERT_TRUE(world.waitMessage(HAF_MSG_PROC_THREAD_RPT, r));
        EXPECT_EQ(r.msg.stD.szThrStatus.nDownThread, 0);
        EXPECT_EQ(LogLines::get().count({"[HafLib]Alarm ["}), 0u);
        EXPECT_TRUE(Hangs::get().ids().empty());
    });
}

TEST(HafThreadTest, SlotsRunOutAfter1023Threads) {
    runIsolated([] {
        Worker owner;
        ASSERT_EQ(owner.alive(0), 0);  // slot 1, unwatched
        for (int i = 2; i <= 1023; ++i) {
            int nResult = -2;
            std::thread([&] { nResult = HAThrAlive(0, nullptr); }).join();
            ASSERT_EQ(nResult, 0) << "thread " << i;
        }
        std::vector<int> late;
        std::thread([&] {
            late.push_back(HAThrAlive(0, nullptr));
            late.push_back(HAThrAlive(30, nullptr));
        }).join();
        EXPECT_EQ(late, (std::vector<int>{-1, -1}));
        // A freed slot is found again by the next newcomer.
        ASSERT_EQ(owner.alive(-1), 0);
        int nSlot = 0;
        std::thread([&] {
            if (HAThrAlive(0, nullptr) == 0) nSlot = _Haf_Has_ThrID(Get_ThrId());
        }).join();
        EXPECT_EQ(nSlot, 1);
    });
}

}  // namespace

namespace {

TEST(HafThreadTest, DumpGoesUnderLogPathOrElseTmp) {
    runIsolated([] {
        LinkWorld world(HAF_HOST_ACTIVE_SYSTEM, false);  // fake pstack, LOG_PATH, no master
        char szHost[128] = "";
        ASSERT_EQ(gethostname(szHost, sizeof(szHost)), 0);
        std::string tail = std::string("pstack_") + szHost + "_" + program_invocation_short_name +
                           "_" + std::to_string(getpid()) + "_0";
        ASSERT_EQ(printHangThreadPID(static_cast<unsigned int>(getpid())), 0);
        std::string text = readFile(world.dumpDir() + "/" + tail);
        EXPECT_NE(text.find("#0  fake frame of " + std::to_string(getpid())), std::string::npos);

        // A link planted at the predictable name in /tmp is never followed.
        unsetenv("LOG_PATH");
        std::string planted = "/tmp/" + tail;
        std::string victim = world.dumpDir() + "/victim";
        std::ofstream(victim) << "kept";
        ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
        ASSERT_EQ(printBacktrace(0, getpid()), 0);
        unlink(planted.c_str());
        EXPECT_EQ(readFile(victim), "kept");
        std::string tmpDump = planted + ".1";
        struct stat st;
        ASSERT_EQ(stat(tmpDump.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        text = readFile(tmpDump);
        unlink(tmpDump.c_str());
        EXPECT_NE(text.find("TARGET NAME is " + std::string(program_invocation_short_name)),
                  std::string::npos);
        EXPECT_NE(text.find("#0  fake frame of"), std::string::npos);
    });
}

}  // namespace
