// Test helper for the HA client library's threads: every case runs in a
// forked child, so that each starts with a fresh library (HALibInit starts
// process-wide threads that never stop) whether the cases run one per
// process or all in one. Inside the child a LinkWorld provides a private
// runtime root, the simulator as the HA master, a log whose lines the test
// can wait for, and a fake pstack.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/util.h"
#include "haf/haf_appLib.h"
#include "haf_test_env.h"
#include "hafsim.h"
#include "log/log.h"

namespace haftest {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(20);  // generous: TSan builds are slow

// Runs body in a child process and fails the test when the child fails,
// ends by a signal or overruns its time.
inline void runIsolated(const std::function<void()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(240);
        body();
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus)) << "child ended by signal " << WTERMSIG(nStatus);
    EXPECT_EQ(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, 0);
}

// Log records of the process, kept for the test to wait on.
class LogLines {
public:
    static LogLines &get() {
        static LogLines lines;
        return lines;
    }
    static void handler(unsigned int, struct timeval, const char *pcText) {
        LogLines &self = get();
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.lines_.push_back(pcText);
        self.cv_.notify_all();
    }
    // Number of lines holding every one of the parts.
    size_t count(const std::vector<std::string> &parts) {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(parts);
    }
    // Waits until at least n lines hold every part; false on time-out.
    bool waitFor(const std::vector<std::string> &parts, size_t n = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, kWait, [&] { return countLocked(parts) >= n; });
    }

private:
    size_t countLocked(const std::vector<std::string> &parts) const {
        size_t n = 0;
        for (const std::string &line : lines_) {
            bool bAll = true;
            for (const std::string &part : parts) bAll = bAll && line.find(part) != std::string::npos;
            if (bAll) ++n;
        }
        return n;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

// One message the master received.
struct Received {
    ProcMsg_Haf msg;
    int nLen;
    Clock::time_point at;
};

class LinkWorld {
public:
    explicit LinkWorld(int nOwnRole = HAF_HOST_ACTIVE_SYSTEM, bool bStartMaster = true)
        : nOwnRole_(nOwnRole) {
        setenv("LOG_PATH", (root_ / "logs").c_str(), 1);
        installFakePstack();
        EXPECT_EQ(Init_Log("HAFLINKTEST", (root_ / "log/haflink").c_str()), 0);
        EXPECT_EQ(Set_LogLevel(0, LOG_5 | LOG_D), 0);  // every line of the library
        Add_LogHandler(&LogLines::handler, 0);
        if (bStartMaster) start();
    }
    // Creates the master's tables (own process in the list) and socket.
    void start() {
        hafsim::Options opts;
        opts.nOwnRole = nOwnRole_;
        opts.procs.push_back("kest " + std::to_string(getpid()) + " 7");
        std::string err;
        bStarted_ = sim_.start(opts, err);
        EXPECT_TRUE(bStarted_) << err;
    }

    bool started() const { return bStarted_; }
    hafsim::Simulator &sim() { return sim_; }
    std::string root() const { return root_.root(); }
    std::string dumpDir() const { return root_ / "logs/core"; }

    // Runs a simulator command; the reply must start with "ok".
    void command(const std::string &line) {
        std::string reply = sim_.execute(line);
        EXPECT_EQ(reply.rfind("ok", 0), 0u) << line << ": " << reply;
    }
    void sendToClient(const std::string &typeAndArg) {
        command("send " + std::to_string(getpid()) + " " + typeAndArg);
    }

    // Next message of nType at the master (others of interest are kept);
    // false on time-out.
    bool waitMessage(int nType, Received &out, int nMasterFd = -1) {
        auto deadline = Clock::now() + kWait;
        for (;;) {
            for (auto it = inbox_.begin(); it != inbox_.end(); ++it) {
                if (it->msg.h.nMsgName == nType) {
                    out = *it;
                    inbox_.erase(it);
                    return true;
                }
            }
            if (Clock::now() >= deadline) return false;
            if (!receiveOne(nMasterFd < 0 ? sim_.link().fd() : nMasterFd)) continue;
        }
    }
    // Drops what the master has received so far.
    void drainMaster() {
        while (receiveOne(sim_.link().fd(), 0)) {
        }
        inbox_.clear();
    }
    // Every message the master received that was not taken yet, with those
    // that arrive within the next nMs milliseconds.
    std::vector<Received> collect(int nMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(nMs);
        while (Clock::now() < deadline) receiveOne(sim_.link().fd(), 50);
        std::vector<Received> all;
        all.swap(inbox_);
        return all;
    }

private:
    bool receiveOne(int nFd, int nPollMs = 100) {
        pollfd stPoll{nFd, POLLIN, 0};
        if (poll(&stPoll, 1, nPollMs) <= 0) return false;
        Received r{};
        memset(&r.msg, 0, sizeof(r.msg));
        r.nLen = static_cast<int>(recv(nFd, &r.msg, HAF_MSG_MAX_SIZE, 0));
        r.at = Clock::now();
        if (r.nLen <= 0) return false;
        inbox_.push_back(r);
        return true;
    }
    void installFakePstack() {
        std::string dir = root_ / "bin";
        mkdir(dir.c_str(), 0755);
        std::string path = dir + "/pstack";
        std::ofstream(path) << "#!/bin/sh\necho \"Thread 1 (LWP $1):\"\necho \"#0  fake frame of $1\"\n";
        chmod(path.c_str(), 0755);
        std::string newPath = dir + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
        setenv("PATH", newPath.c_str(), 1);
    }

    HafRootEnv root_;
    int nOwnRole_;
    hafsim::Simulator sim_;
    bool bStarted_ = false;
    std::vector<Received> inbox_;
};

}  // namespace haftest
