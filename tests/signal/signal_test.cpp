// Each case runs in a forked child, since handlers are process-wide; the child
// reports what its callbacks saw through a pipe.
#include "signal/signal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

int gReportFd = -1;

void Report(const std::string &text) {
    std::string line = text + "\n";
    ssize_t n = write(gReportFd, line.data(), line.size());
    (void)n;
}

void ReportAndExit(int nSignal) {
    Report("app " + std::to_string(nSignal) + " tid " + std::to_string(syscall(SYS_gettid)));
    _exit(0);
}

std::atomic<int> gUserCalls{0};
void ReportUser(int nSignal) {
    Report("user " + std::to_string(nSignal));
    ++gUserCalls;
}

// Lets go of standard error (which the exit of a sanitized build needs) and
// ends like ReportAndExit.
std::atomic<bool> gbReleaseStderr{false};
void ReleaseStderrAndExit(int nSignal) {
    Report("app " + std::to_string(nSignal) + " tid " + std::to_string(syscall(SYS_gettid)));
    gbReleaseStderr = true;
    for (;;) pause();  // the main thread ends the child once the holder let go
}

// A hang-up whose handling never ends; any other signal is reported and
// ends the process.
void StickOnHangUp(int nSignal) {
    if (nSignal != SIGHUP) ReportAndExit(nSignal);
    Report("stuck " + std::to_string(nSignal));
    for (;;) pause();
}

// A handling that never ends, whatever the signal.
void StickForEver(int nSignal) {
    Report("stuck " + std::to_string(nSignal));
    for (;;) pause();
}

// Runs body in a child; returns the child's report lines, its pid and its
// wait status.
std::vector<std::string> InChild(const std::function<void()> &body, pid_t *pChild = nullptr,
                                 int *pStatus = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return {"pipe failed"};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        gReportFd = fds[1];
        body();
        _exit(3);
    }
    close(fds[1]);
    // A child that never ends (a signal never acted on) is killed after a
    // generous time and says so.
    std::string text;
    char buf[256];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        pollfd stPoll{fds[0], POLLIN, 0};
        if (poll(&stPoll, 1, 100) > 0) {
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0) break;
            text.append(buf, n);
        } else if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            text += "timed out\n";
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (pChild) *pChild = pid;
    if (pStatus) *pStatus = status;
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<fs::path> DumpFiles(pid_t pid) {
    std::vector<fs::path> found;
    std::string suffix = "_" + std::to_string(pid) + ".log";
    for (const auto &entry : fs::directory_iterator(SIG_DUMP_DIR)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("down_", 0) == 0 && name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path());
    }
    return found;
}

void RemoveDumps(pid_t pid) {
    for (const auto &path : DumpFiles(pid)) fs::remove(path);
}

std::string Disposition(int nSignal) {
    struct sigaction sa {};
    sigaction(nSignal, nullptr, &sa);
    if (sa.sa_handler == SIG_DFL) return "dfl";
    if (sa.sa_handler == SIG_IGN) return "ign";
    if (sa.sa_handler == __SigFunc) return "lib";
    return "other";
}

std::string Dispositions(int nFrom, int nTo) {
    std::string text;
    for (int s = nFrom; s <= nTo; ++s) text += std::to_string(s) + ":" + Disposition(s) + " ";
    return text;
}

}  // namespace

TEST(SignalInstall, RangesAndDispositions) {
    auto lines = InChild([] {
        EXPECT_EQ(Init_SignalLib(nullptr), 0);
        Report(Dispositions(1, 2));
        Init_SignalLib(1, 20, ReportAndExit, nullptr, nullptr);
        Report(Dispositions(1, 21));
        _exit(0);
    });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1:dfl 2:dfl ");
    EXPECT_EQ(lines[1],
              "1:lib 2:lib 3:lib 4:lib 5:lib 6:lib 7:lib 8:lib 9:dfl 10:ign 11:lib 12:ign "
              "13:ign 14:lib 15:lib 16:lib 17:ign 18:lib 19:dfl 20:dfl 21:dfl ");

    lines = InChild([] {
        Init_SignalLib(40, 50, ReportAndExit);  // clamped to 1..30
        Report(Dispositions(29, 31));
        Init_SignalLib(5, 5, ReportAndExit);
        _exit(0);
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "29:lib 30:lib 31:dfl ");

    lines = InChild([] {
        Init_SignalLib(5, 5, ReportAndExit);  // empty range: nothing installed
        Report(Dispositions(5, 6));
        _exit(0);
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "5:dfl 6:dfl ");
}

TEST(SignalDelivery, TerminationLeavesNoDumpAndHangUpDoes) {
    pid_t child = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReportAndExit);
            raise(SIGTERM);
            pause();
        },
        &child);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("app 15 ", 0), 0u);
    EXPECT_TRUE(DumpFiles(child).empty());

    lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReportAndExit);
            raise(SIGHUP);
            pause();
        },
        &child);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("app 1 ", 0), 0u);
    auto dumps = DumpFiles(child);
    ASSERT_EQ(dumps.size(), 1u);
    std::ifstream in(dumps[0]);
    std::string first, frame;
    std::getline(in, first);
    std::getline(in, frame);
    EXPECT_NE(first.find(" Error : signal 1"), std::string::npos) << first;
    EXPECT_NE(frame.find(" [0]"), std::string::npos) << frame;
    RemoveDumps(child);
}

TEST(SignalDelivery, NeitherALockedStderrNorAStuckHandlerHoldsUpTermination) {
    // The dump does not wait for the stdio lock of standard error.
    pid_t child = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReleaseStderrAndExit);
            std::atomic<bool> bLocked{false};
            std::thread holder([&bLocked] {
                flockfile(stderr);
                bLocked = true;
                while (!gbReleaseStderr.load()) usleep(1000);
                funlockfile(stderr);
            });
            while (!bLocked.load()) usleep(1000);
            raise(SIGHUP);
            holder.join();
            _exit(0);
        },
        &child);
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("app 1 ", 0), 0u) << lines[0];
    EXPECT_EQ(DumpFiles(child).size(), 1u);
    RemoveDumps(child);

    // A termination request is acted on while an earlier signal's handling
    // is stuck.
    for (int nSignal : {SIGTERM, SIGINT}) {
        lines = InChild(
            [nSignal] {
                Init_SignalLib(1, 20, StickOnHangUp);
                raise(SIGHUP);
                raise(nSignal);
                pause();
            },
            &child);
        bool bActedOn = std::any_of(lines.begin(), lines.end(), [&](const std::string &line) {
            return line.rfind("app " + std::to_string(nSignal) + " ", 0) == 0;
        });
        EXPECT_TRUE(bActedOn) << "signal " << nSignal << ": " << ::testing::PrintToString(lines);
        RemoveDumps(child);
    }
}

TEST(SignalDelivery, ASignalInAForkedChildStaysInTheChild) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer delivers signals at points of its own, so a signal raised "
                    "in a forked child does not take its default action at once there";
#endif
    pid_t child = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReportAndExit);
            signal(SIGCHLD, SIG_DFL);  // so that the child's status can be had
            pid_t grandchild = fork();
            if (grandchild == 0) {
                raise(SIGHUP);  // the default action: it ends here
                _exit(0);
            }
            int nStatus = 0;
            waitpid(grandchild, &nStatus, 0);
            Report(WIFSIGNALED(nStatus) ? "child signal " + std::to_string(WTERMSIG(nStatus))
                                        : "child exit " + std::to_string(WEXITSTATUS(nStatus)));
            raise(SIGQUIT);  // the parent's own signals still reach its callback
            pause();
        },
        &child);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "child signal 1");
    EXPECT_EQ(lines[1].rfind("app 3 ", 0), 0u) << lines[1];
    RemoveDumps(child);
}

TEST(SignalDelivery, UserSignalsGoToTheirCallbacksWithoutDump) {
    pid_t child = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReportAndExit, ReportUser, ReportUser);
            raise(SIGUSR1);
            raise(SIGUSR2);
            // A termination request has a dispatcher of its own and would
            // overtake the user callbacks still queued on the general one.
            while (gUserCalls.load() < 2) std::this_thread::yield();
            raise(SIGINT);
            pause();
        },
        &child);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "user 10");
    EXPECT_EQ(lines[1], "user 12");
    EXPECT_EQ(lines[2].rfind("app 2 ", 0), 0u);
    RemoveDumps(child);
}

TEST(SignalDelivery, FaultSignalIsHandledOnTheFaultingThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a fault is handled inside its signal handler, which ThreadSanitizer "
                    "reports as signal-unsafe by design";
#endif
    pid_t child = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, ReportAndExit);
            Report("raiser " + std::to_string(syscall(SYS_gettid)));
            raise(SIGSEGV);
        },
        &child);
    ASSERT_EQ(lines.size(), 2u);
    std::string raiser = lines[0].substr(strlen("raiser "));
    EXPECT_EQ(lines[1], "app 11 tid " + raiser);
    EXPECT_EQ(DumpFiles(child).size(), 1u);
    RemoveDumps(child);
}

// A fault cannot return, and its handling may meet a lock that the faulting
// thread holds (the allocator's, after heap damage): the process must end all
// the same, or its node neither bills nor hands over.
TEST(SignalDelivery, AFaultWhoseHandlingIsStuckStillEndsTheProcess) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a fault is handled inside its signal handler, which ThreadSanitizer "
                    "reports as signal-unsafe by design";
#endif
    pid_t child = 0;
    int nStatus = 0;
    auto lines = InChild(
        [] {
            Init_SignalLib(1, 20, StickForEver);
            raise(SIGSEGV);
        },
        &child, &nStatus);
    EXPECT_EQ(lines, std::vector<std::string>{"stuck 11"});
    EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGALRM) << std::hex << nStatus;
    RemoveDumps(child);
}

TEST(SignalDump, ProcessNameIsCutAndTimeZeroIsADash) {
    pid_t child = 0;
    std::string name(200, 'n');
    InChild(
        [&] {
            Init_SignalLib(1, 20, ReportAndExit, nullptr, nullptr, name.c_str());
            raise(SIGQUIT);
            pause();
        },
        &child);
    auto dumps = DumpFiles(child);
    ASSERT_EQ(dumps.size(), 1u);
    EXPECT_NE(dumps[0].filename().string().find("_" + std::string(127, 'n') + "_"),
              std::string::npos);
    EXPECT_EQ(dumps[0].filename().string().find(std::string(128, 'n')), std::string::npos);
    RemoveDumps(child);

    char szBuf[8] = "xxxxxxx";
    EXPECT_STREQ(__Con_Time2Str(0, szBuf, 8), "   -");
    memset(szBuf, 'x', sizeof(szBuf));
    EXPECT_STREQ(__Con_Time2Str(0, szBuf, 2), " ") << "the dash is cut, the buffer kept";
    EXPECT_EQ(szBuf[2], 'x');
    EXPECT_EQ(__Con_Time2Str(1, nullptr, 8), nullptr);
}
