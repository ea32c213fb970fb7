#include "base/util.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "base/error.h"
#include "file_text.h"
#include "scratch_dir.h"

namespace {

std::string PidLine(pid_t pid) {
    char sz[32];
    snprintf(sz, sizeof(sz), "%-10d\n", static_cast<int>(pid));
    return sz;
}

// Runs fn in a child process; returns its exit status.
template <typename Fn>
int InChild(Fn fn) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(ProcessLock, ExcludesASecondProcessAndKeepsTheOwnersPid) {
    ScratchDir dir;
    std::string base = dir / "a/b/c/app";
    ASSERT_EQ(Lock_Process(base.c_str()), 0);
    EXPECT_EQ(Lock_Process((dir / "other").c_str()), 0);  // already held: nothing touched
    EXPECT_FALSE(std::ifstream(dir / "other.lock").good());

    testing::internal::CaptureStderr();
    int childResult = InChild([&] { return Lock_Process(base.c_str()) == -1 ? 0 : 1; });
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(childResult, 0);
    // Read last: closing any descriptor of the file ends this process's record lock.
    EXPECT_EQ(ReadAll(base + ".lock"), PidLine(getpid()));

    ASSERT_EQ(UnLock_Process(), 0);
    EXPECT_EQ(UnLock_Process(), -1);
    // Once released, another process gets it and writes its own pid.
    EXPECT_EQ(InChild([&] {
                  if (Lock_Process(base.c_str()) != 0) return 1;
                  return ReadAll(base + ".lock") == PidLine(getpid()) ? 0 : 2;
              }),
              0);
}

TEST(ProcessLock, RefusalMessageNamesTheLockFile) {
    ScratchDir dir;
    std::string base = dir / "app";
    ASSERT_EQ(Lock_Process(base.c_str()), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int result = InChild([&] {
        dup2(fds[1], STDERR_FILENO);
        return Lock_Process(base.c_str()) == -1 ? 0 : 1;
    });
    close(fds[1]);
    char szBuf[512] = {};
    ssize_t n = read(fds[0], szBuf, sizeof(szBuf) - 1);
    close(fds[0]);
    EXPECT_EQ(result, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(szBuf).rfind("[PROC_LOCK] Lock Error [" + base + ".lock] [", 0), 0u)
        << szBuf;
    UnLock_Process();
}

TEST(ProcessLock, RelativePathCreatesDirectoriesBelowTheWorkingDirectory) {
    ScratchDir dir;
    char szOld[4096];
    ASSERT_NE(getcwd(szOld, sizeof(szOld)), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_EQ(Lock_Process("rel/dir/app"), 0);
    char szNow[4096];
    ASSERT_NE(getcwd(szNow, sizeof(szNow)), nullptr);
    EXPECT_EQ(std::string(szNow), dir.path().string());
    EXPECT_TRUE(std::ifstream(dir / "rel/dir/app.lock").good());
    EXPECT_EQ(UnLock_Process(), 0);
    ASSERT_EQ(chdir(szOld), 0);
}

TEST(Sleeps, WaitTheirDelayAndRefuseNonPositiveArguments) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Sleep_m(150), 0);
    EXPECT_EQ(Sleep_u(50000), 0);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_EQ(Sleep_m(0), -1);
    EXPECT_NE(std::string(StrError(0)).find("nMsec is small[0] (Sleep_m/"), std::string::npos);
    EXPECT_EQ(Sleep(-1), -1);
    EXPECT_NE(std::string(StrError(0)).find("nSec is small[-1] (Sleep/"), std::string::npos);
    EXPECT_EQ(Sleep_u(0), -1);
    Clr_Error();
}

TEST(Numbers, ParseLikeStrtolWithNullChecks) {
    EXPECT_EQ(Atoi("42abc"), 42);
    EXPECT_EQ(StrToi("ff", 16), 255);
    EXPECT_EQ(StrTol("-9000000000", 10), -9000000000L);
    EXPECT_EQ(Atoui("4294967295"), 4294967295u);
    EXPECT_EQ(Atoui("4294967296"), 0u);
    EXPECT_FLOAT_EQ(StrTof("1.5"), 1.5f);
    EXPECT_DOUBLE_EQ(StrTod("2.25"), 2.25);
    EXPECT_EQ(StrToi(nullptr, 10), -1);
    EXPECT_NE(std::string(StrError(0)).find("pcData is NULL"), std::string::npos);
    EXPECT_EQ(Atoui(nullptr), 0u);
    EXPECT_NE(std::string(StrError(0)).find("pcSrc is NULL"), std::string::npos);
    EXPECT_DOUBLE_EQ(StrTod(nullptr), -1.0);
    Clr_Error();
}

TEST(Small, ThreadIdsStopwatchAndEnumerationTexts) {
    EXPECT_EQ(Get_ThrId(), static_cast<unsigned int>(getpid()));
    unsigned int unOther = 0;
    std::thread([&] { unOther = Get_ThrId(); }).join();
    EXPECT_NE(unOther, Get_ThrId());

    std::thread([] {
        u_int first = ChkRunTime();
        EXPECT_LT(first, 3600u * 1000u);
        Sleep_m(20);
        u_int second = ChkRunTime();
        EXPECT_GE(second, 15u);
        EXPECT_LT(second, 5000u);
    }).join();

    EXPECT_STREQ(Str_MsgType(MSG_TYPE_RPT), "RPT");
    EXPECT_STREQ(Str_MsgType(9), "Unknow");
    EXPECT_STREQ(Str_HuntMethod(HUNT_ODDEVEN_RR), "ODD");
    EXPECT_STREQ(Str_HuntMethod(6), "UNKNOWN");
    EXPECT_STREQ(Str_OPSTS(OPS_NOTUSE), "NOTUSE");
    EXPECT_STREQ(Str_OPSTS(3), "UNKNOWN");
}

TEST(RuntimeRoot, EnvironmentReplacesTheDefault) {
    const char *pcSaved = getenv(ORVO_TMP_ROOT_ENV);
    std::string saved = pcSaved ? pcSaved : "";
    unsetenv(ORVO_TMP_ROOT_ENV);
    EXPECT_STREQ(Get_OrvoTmpRoot(), "/opt/orvo/tmp");
    setenv(ORVO_TMP_ROOT_ENV, "/tmp/kest-root", 1);
    EXPECT_STREQ(Get_OrvoTmpRoot(), "/tmp/kest-root");
    if (pcSaved) setenv(ORVO_TMP_ROOT_ENV, saved.c_str(), 1); else unsetenv(ORVO_TMP_ROOT_ENV);
}

// Standard output on the way out: a line follows what stdio held for it, and
// an output that nobody reads makes it give up at once without changing what
// other holders of the descriptor see.
TEST(StdoutOnTheWayOut, LinesKeepTheirOrderAndAStuckOutputIsNotWaitedFor) {
    EXPECT_EQ(InChild([] {
                  int fds[2];
                  if (pipe(fds) != 0) return 2;
                  dup2(fds[1], STDOUT_FILENO);
                  fputs("held ", stdout);
                  int n = Print_StdoutNow("line\n");
                  char sz[32] = {};
                  ssize_t nRead = read(fds[0], sz, sizeof(sz) - 1);
                  return n == 5 && nRead == 10 && std::string(sz) == "held line\n" ? 0 : 1;
              }),
              0)
        << "a line lost or ahead of the text stdio held";

#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer's own exit flushes standard output, whose lock the test's "
                    "holder keeps for ever";
#endif
    for (bool bSocket : {false, true}) {
        EXPECT_EQ(InChild([bSocket] {
                      int fds[2];
                      if ((bSocket ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds)) != 0)
                          return 2;
                      int nOut = bSocket ? fds[0] : fds[1];
                      fcntl(nOut, F_SETFL, O_NONBLOCK);
                      std::string block(4096, 'x');
                      while (write(nOut, block.data(), block.size()) > 0) {
                      }
                      fcntl(nOut, F_SETFL, 0);
                      dup2(nOut, STDOUT_FILENO);
                      std::thread holder([] {
                          flockfile(stdout);  // a thread that never lets go
                          for (;;) pause();
                      });
                      holder.detach();
                      auto start = std::chrono::steady_clock::now();
                      int n = Print_StdoutNow("line\n");
                      Flush_StdoutNow();
                      bool bQuick = std::chrono::steady_clock::now() - start <
                                    std::chrono::seconds(1);
                      bool bShared = (fcntl(nOut, F_GETFL) & O_NONBLOCK) != 0;
                      return n == -1 && bQuick && !bShared ? 0 : 1;
                  }),
                  0)
            << (bSocket ? "socket" : "pipe") << ": waited, or its flags changed for others";
    }
}
