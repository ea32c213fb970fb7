#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "log_support.h"
#include "scratch_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

unsigned int g_mainTid = 0;

// Holds the writer thread inside a handler (under its section lock) while
// closed; handlers running in the caller's own thread pass.
class WriterGate {
public:
    void Close() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = false;
        held_ = false;
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cond_.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        held_ = !open_;
        cond_.wait(lock, [this] { return open_; });
    }
    bool Held() {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = true;
    bool held_ = false;
};

WriterGate g_gate;
std::atomic<bool> g_writerSeen{false};
std::atomic<unsigned int> g_reportTid{0};

void GateHandler(unsigned int, struct timeval, const char *text) {
    unsigned int tid = Get_ThrId();
    if (std::string(text).find("Put Queue Fail") != std::string::npos) g_reportTid = tid;
    if (tid == g_mainTid) return;
    g_writerSeen = true;
    g_gate.Pass();
}

// Logs probes until one is handled by another thread: the writer's queue
// exists from then on.
bool WaitForWriter(unsigned int sect) {
    g_mainTid = Get_ThrId();
    g_writerSeen = false;
    auto start = Clock::now();
    while (!g_writerSeen && Clock::now() - start < std::chrono::seconds(10)) {
        Log(sect, LOG_5, "probe\n");
        Flush_Log();
    }
    return g_writerSeen;
}

std::string Stamp(const timeval &tv) {
    struct tm local;
    localtime_r(&tv.tv_sec, &local);
    char text[64];
    size_t len = strftime(text, sizeof(text), "%m/%d %H:%M:%S", &local);
    snprintf(text + len, sizeof(text) - len, "-%06ld", static_cast<long>(tv.tv_usec));
    return text;
}

timeval Now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

struct Call {
    std::string before, after;  // stamps around the Log call
};

// Lines of a file without the probes.
std::vector<std::string> Records(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &line : ReadLines(path)) {
        if (MessageOf(line) != "probe") out.push_back(line);
    }
    return out;
}

// Thread id of a task in a system call, from /proc, without allocating.
long SyscallOf(unsigned int tid) {
    char path[64], buf[64] = {0};
    snprintf(path, sizeof(path), "/proc/self/task/%u/syscall", tid);
    int fd = open(path, O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    return n > 0 ? strtol(buf, nullptr, 10) : -1;
}

constexpr long SYS_FUTEX_NR = 202;  // x86-64

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file's text with every "[stamp]" emptied (the messages hold no brackets)
// and the leading probe lines dropped.
std::string WithoutStampsAndProbes(std::string text) {
    for (size_t open = text.find('['); open != std::string::npos; open = text.find('[', open + 1)) {
        size_t close = text.find(']', open);
        if (close == std::string::npos) break;
        text.erase(open + 1, close - open - 1);
    }
    while (text.rfind("[]", 0) == 0 && text.find(") probe\n") == 3) text.erase(0, text.find('\n') + 1);
    return text;
}

// Runs one disabled test of this program in a process of its own, with its
// log path in the environment and its standard error in path + ".err"; its
// exit status.
int RunAlone(const char *test, const std::string &path) {
    pid_t pid = fork();
    if (pid == 0) {
        setenv("KEST_INDIRECT_EXIT_PATH", path.c_str(), 1);
        if (freopen((path + ".err").c_str(), "w", stderr) == nullptr) _exit(126);
        std::string filter = std::string("--gtest_filter=IndirectSection.") + test;
        execl("/proc/self/exe", "indirect-exit", "--gtest_also_run_disabled_tests", filter.c_str(),
              nullptr);
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Waits up to the limit for a child; kills it when it has not ended.
bool EndedWithin(pid_t pid, std::chrono::seconds limit, int *status) {
    auto start = Clock::now();
    while (Clock::now() - start < limit) {
        if (waitpid(pid, status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    return false;
}

}  // namespace

TEST(IndirectSection, ThreadsRecordsOnceInOrderStampedAtTheCall) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("IndirectOrder", (dir / "main").c_str()), 0);
    ASSERT_EQ(Add_Log((dir / "ind").c_str(), LOG_INDIRECT), 1);
    ASSERT_EQ(Set_LogLevel(1, LOG_5), 0);
    ASSERT_EQ(Set_LogTimeFormat(1, "MM/DD hh:mm:ss-uuuuuu"), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 1), 0);
    ASSERT_TRUE(WaitForWriter(1));

    constexpr int HELD_THREADS = 4, HELD_RECORDS = 200;  // fit the queue of 1,024
    constexpr int FREE_THREADS = 8, FREE_RECORDS = 1000;
    std::vector<std::vector<Call>> calls(FREE_THREADS);
    auto produce = [&](int threads, int records) {
        std::vector<std::thread> producers;
        for (int t = 0; t < threads; ++t) {
            producers.emplace_back([&calls, t, records] {
                for (int i = 0; i < records; ++i) {
                    Call call;
                    call.before = Stamp(Now());
                    int seq = static_cast<int>(calls[t].size());
                    // A refused record was not queued: it is still ours to log.
                    while (Log(1, LOG_4, "t=%d seq=%d\n", t, seq) != 0) call.before = Stamp(Now());
                    call.after = Stamp(Now());
                    calls[t].push_back(call);
                }
            });
        }
        for (std::thread &p : producers) p.join();
    };

    // While the writer is held every record waits in the queue, so a stamp
    // taken at writing would come after every call returned.
    g_gate.Close();
    produce(HELD_THREADS, HELD_RECORDS);
    timeval last = Now();
    while (Stamp(Now()) <= Stamp(last)) std::this_thread::yield();
    g_gate.Open();
    produce(FREE_THREADS, FREE_RECORDS);
    ASSERT_EQ(Flush_Log(), 0);

    std::vector<std::string> lines = Records(TodayName(dir / "ind"));
    ASSERT_EQ(lines.size(), size_t(HELD_THREADS * HELD_RECORDS + FREE_THREADS * FREE_RECORDS));
    std::vector<size_t> next(FREE_THREADS, 0);
    for (const std::string &line : lines) {
        int t = -1, seq = -1;
        ASSERT_EQ(sscanf(MessageOf(line).c_str(), "t=%d seq=%d", &t, &seq), 2) << line;
        ASSERT_TRUE(t >= 0 && t < FREE_THREADS) << line;
        ASSERT_EQ(static_cast<size_t>(seq), next[t]++) << "order of thread " << t << ": " << line;
        ASSERT_EQ(line.substr(0, 1), "[");
        std::string stamp = line.substr(1, line.find(']') - 1);
        const Call &call = calls[t][static_cast<size_t>(seq)];
        ASSERT_GE(stamp, call.before) << line;
        ASSERT_LE(stamp, call.after) << line;
        ASSERT_EQ(line.substr(line.find(']') + 1, 3), "I) ");
    }
    for (int t = 0; t < FREE_THREADS; ++t) EXPECT_EQ(next[t], calls[t].size()) << t;
}

// Short records, records longer than a queued record's own storage and
// records cut at the record size come out exactly as the direct path writes
// them.
TEST(IndirectSection, RecordsOfEveryLengthWrittenAsDirectOnes) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("IndirectLengths", (dir / "direct").c_str()), 0);
    ASSERT_EQ(Add_Log((dir / "ind").c_str(), LOG_INDIRECT), 1);
    for (unsigned int sect : {0u, 1u}) ASSERT_EQ(Set_LogLevel(sect, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 1), 0);
    ASSERT_TRUE(WaitForWriter(1));

    std::vector<size_t> lengths;
    for (size_t len = 0; len <= 1100; ++len) lengths.push_back(len);
    for (size_t len : {4096, 8180, 8181, 8182, 8183, 8191, 20000}) lengths.push_back(len);
    for (size_t i = 0; i < lengths.size(); ++i) {
        std::string text = std::to_string(i) + ':' + std::string(lengths[i], char('a' + i % 26));
        for (unsigned int sect : {0u, 1u}) {
            ASSERT_EQ(Log(sect, LOG_3, "%s\n", text.c_str()), 0);
        }
        if (i % 256 == 0) {
            ASSERT_EQ(Flush_Log(), 0);  // the queue never fills
        }
    }
    ASSERT_EQ(Flush_Log(), 0);
    std::string direct = WithoutStampsAndProbes(ReadAll(TodayName(dir / "direct")));
    std::string indirect = WithoutStampsAndProbes(ReadAll(TodayName(dir / "ind")));
    ASSERT_GT(direct.size(), 600000u);
    EXPECT_TRUE(indirect == direct) << "sizes " << indirect.size() << " and " << direct.size();
}

constexpr int FLUSH_THREADS = 4;
std::atomic<int> g_handled[FLUSH_THREADS];

void CountHandled(unsigned int, struct timeval, const char *text) {
    int t = -1, seq = -1;
    if (sscanf(text, "flush t=%d seq=%d", &t, &seq) == 2 && t >= 0 && t < FLUSH_THREADS) {
        g_handled[t] = seq;
    }
}

// Each caller's Flush_Log returns once its own records are written, while
// other callers log and flush at the same time; none waits for the time-out.
TEST(IndirectSection, FlushReturnsOnceTheCallersRecordsAreWritten) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("IndirectFlush", (dir / "main").c_str()), 0);
    ASSERT_EQ(Add_Log((dir / "ind").c_str(), LOG_INDIRECT), 1);
    ASSERT_EQ(Set_LogLevel(1, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 1), 0);
    ASSERT_EQ(Add_LogHandler(CountHandled, 1), 0);
    ASSERT_TRUE(WaitForWriter(1));

    constexpr int ROUNDS = 2000;
    std::vector<int> failures(FLUSH_THREADS, 0);
    std::vector<std::thread> callers;
    for (int t = 0; t < FLUSH_THREADS; ++t) {
        g_handled[t] = -1;
        callers.emplace_back([t, &failures] {
            for (int seq = 0; seq < ROUNDS && failures[t] == 0; ++seq) {
                if (Log(1, LOG_3, "flush t=%d seq=%d\n", t, seq) != 0) continue;
                if (Flush_Log() != 0 || g_handled[t] != seq) ++failures[t];
            }
        });
    }
    for (std::thread &c : callers) c.join();
    for (int t = 0; t < FLUSH_THREADS; ++t) EXPECT_EQ(failures[t], 0) << t;
}

TEST(IndirectSection, RefusalOfItsOwnQueueIsReportedDirectly) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("IndirectFull", (dir / "main").c_str(), LOG_INDIRECT), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_5 | LOG_D), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 0), 0);
    ASSERT_TRUE(WaitForWriter(0));
    g_reportTid = 0;

    // The writer is held under the section lock, so the direct report of the
    // refusal waits for that lock: open the gate once this thread blocks there.
    g_gate.Close();
    std::atomic<bool> filling{true};
    std::thread opener([&] {
        int blocked = 0;
        auto start = Clock::now();
        while (filling && blocked < 3 && Clock::now() - start < std::chrono::seconds(30)) {
            bool inFutex = g_gate.Held() && SyscallOf(g_mainTid) == SYS_FUTEX_NR;
            blocked = inFutex ? blocked + 1 : 0;
            std::this_thread::yield();
        }
        g_gate.Open();
    });
    int accepted = 0;
    Clr_Error();
    while (accepted < 5000 && Log(LOG_3, "rec %d\n", accepted) == 0) ++accepted;
    filling = false;
    opener.join();
    std::string report = StrError(0);  // read once: reading clears it
    EXPECT_NE(report.find("Queue buffer full [CurCnt:1024/Max:1024]\n"), std::string::npos) << report;
    EXPECT_NE(report.find("]Put Queue Fail\n"), std::string::npos) << report;
    EXPECT_GE(accepted, 1024);
    EXPECT_LE(accepted, 1025);
    EXPECT_EQ(g_reportTid.load(), g_mainTid) << "the report is written by the caller, not queued";
    ASSERT_EQ(Flush_Log(), 0);

    std::vector<std::string> lines = Records(TodayName(dir / "main"));
    int next = 0, reports = 0;
    for (const std::string &line : lines) {
        std::string msg = MessageOf(line);
        if (msg.find("Put Queue Fail") != std::string::npos) {
            ++reports;
            EXPECT_NE(line.find("]D) [SECT="), std::string::npos) << line;
            continue;
        }
        ASSERT_EQ(msg, "rec " + std::to_string(next)) << line;
        ++next;
    }
    EXPECT_EQ(next, accepted) << "every accepted record once, the refused one never";
    EXPECT_EQ(reports, 1);
}

// Run in a process of its own by the test below: leaves records queued
// behind a held writer when the process exits.
TEST(IndirectSection, DISABLED_ExitWithRecordsQueued) {
    const char *path = getenv("KEST_INDIRECT_EXIT_PATH");
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(Init_Log("IndirectExit", path, LOG_INDIRECT), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 0), 0);
    ASSERT_TRUE(WaitForWriter(0));
    g_gate.Close();
    // Runs before the library's own exit handler (registered earlier).
    atexit([] { g_gate.Open(); });
    for (int i = 0; i < 500; ++i) ASSERT_EQ(Log(LOG_3, "left %d\n", i), 0);
}

TEST(IndirectSection, RecordsStillQueuedAtExitAreWritten) {
    ScratchDir dir;
    std::string path = dir / "exit";
    ASSERT_EQ(RunAlone("DISABLED_ExitWithRecordsQueued", path), 0);
    std::vector<std::string> lines = Records(TodayName(path));
    ASSERT_EQ(lines.size(), 500u);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(MessageOf(lines[i]), "left " + std::to_string(i));
}

std::atomic<bool> g_stickWriter{false};
std::atomic<bool> g_writerStuck{false};

void StickWriter(unsigned int, struct timeval, const char *) {
    if (!g_stickWriter || Get_ThrId() == g_mainTid) return;
    g_writerStuck = true;
    for (;;) pause();
}

// Run in a process of its own by the test below: its writer never returns
// from a record, with records queued behind it, when the process exits.
TEST(IndirectSection, DISABLED_ExitWithWriterStuck) {
    ASSERT_EQ(Init_Log("IndirectStuck", getenv("KEST_INDIRECT_EXIT_PATH"), LOG_INDIRECT), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 0), 0);
    ASSERT_EQ(Add_LogHandler(StickWriter, 0), 0);
    ASSERT_TRUE(WaitForWriter(0));
    g_stickWriter = true;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(Log(LOG_3, "stuck %d\n", i), 0);
    auto start = Clock::now();
    while (!g_writerStuck && Clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(g_writerStuck);
}

// The exit gives up on a stuck writer after its 5 s and says how many queued
// records are therefore not written.
TEST(IndirectSection, RecordsBehindAStuckWriterAtExitAreReported) {
    ScratchDir dir;
    std::string path = dir / "stuck";
    ASSERT_EQ(RunAlone("DISABLED_ExitWithWriterStuck", path), 0);
    EXPECT_NE(ReadAll(path + ".err")
                  .find("Log writer of section 0 did not end within 5 s: 49 queued records not "
                        "written\n"),
              std::string::npos)
        << ReadAll(path + ".err");
    for (const std::string &line : Records(TodayName(path))) {
        EXPECT_EQ(MessageOf(line).rfind("stuck ", 0), std::string::npos) << line;
    }
}

constexpr int EXIT_LOGGERS = 4;
constexpr int EXIT_LOGGER_RECORDS = 2000;  // each, before the exit
std::atomic<bool> g_exitStop{false};
std::atomic<int> g_exitTaken[EXIT_LOGGERS];
std::thread g_exitLoggers[EXIT_LOGGERS];

// Runs after the log's own exit handler: stops the loggers and notes how many
// records the log took from each.
void CountExitLoggers() {
    g_exitStop = true;
    for (std::thread &t : g_exitLoggers) {
        if (t.joinable()) t.join();
    }
    std::ofstream out(std::string(getenv("KEST_INDIRECT_EXIT_PATH")) + ".taken");
    for (std::atomic<int> &taken : g_exitTaken) out << taken << '\n';
}

// Run in a process of its own by the test below: threads go on logging
// while the process exits.
TEST(IndirectSection, DISABLED_ExitWhileThreadsLog) {
    ASSERT_NE(getenv("KEST_INDIRECT_EXIT_PATH"), nullptr);
    atexit(CountExitLoggers);  // before the log's own, so it runs after it
    ASSERT_EQ(Init_Log("IndirectExitRace", getenv("KEST_INDIRECT_EXIT_PATH"), LOG_INDIRECT), 0);
    ASSERT_EQ(Set_LogLevel(0, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 0), 0);
    ASSERT_TRUE(WaitForWriter(0));
    for (int t = 0; t < EXIT_LOGGERS; ++t) {
        g_exitLoggers[t] = std::thread([t] {
            int seq = 0;
            while (!g_exitStop) {
                if (Log(LOG_3, "exit t=%d seq=%d\n", t, seq) == 0) g_exitTaken[t] = ++seq;
            }
        });
    }
    auto start = Clock::now();
    for (std::atomic<int> &taken : g_exitTaken) {
        while (taken < EXIT_LOGGER_RECORDS && Clock::now() - start < std::chrono::seconds(30)) {
            std::this_thread::yield();
        }
        ASSERT_GE(taken, EXIT_LOGGER_RECORDS);
    }
}

// Every record the log took while the process exited is written, and each
// thread's records in the order it logged them, over a few exits.
TEST(IndirectSection, RecordsLoggedDuringExitWrittenOnceInOrder) {
    constexpr int EXITS = 4;
    for (int run = 0; run < EXITS; ++run) {
        ScratchDir dir;
        std::string path = dir / "exit";
        ASSERT_EQ(RunAlone("DISABLED_ExitWhileThreadsLog", path), 0);
        std::vector<std::string> taken = ReadLines(path + ".taken");
        ASSERT_EQ(taken.size(), size_t(EXIT_LOGGERS));
        std::vector<int> next(EXIT_LOGGERS, 0);
        for (const std::string &line : Records(TodayName(path))) {
            int t = -1, seq = -1;
            if (sscanf(MessageOf(line).c_str(), "exit t=%d seq=%d", &t, &seq) != 2) continue;
            ASSERT_TRUE(t >= 0 && t < EXIT_LOGGERS) << line;
            ASSERT_EQ(seq, next[t]++) << "run " << run << ", order of thread " << t;
        }
        for (int t = 0; t < EXIT_LOGGERS; ++t) {
            EXPECT_EQ(next[t], std::stoi(taken[t])) << "run " << run << ", records of thread " << t;
        }
    }
}

// A forked child has no writer thread: its records are written directly,
// although the parent's writer held the section's lock at the fork, and its
// flush does not wait for the records its parent queued.
TEST(IndirectSection, ForkedChildWritesItsRecordsDirectly) {
    ScratchDir dir;
    ASSERT_EQ(Init_Log("IndirectFork", (dir / "main").c_str()), 0);
    ASSERT_EQ(Add_Log((dir / "ind").c_str(), LOG_INDIRECT), 1);
    ASSERT_EQ(Set_LogLevel(1, LOG_5), 0);
    ASSERT_EQ(Add_LogHandler(GateHandler, 1), 0);
    ASSERT_TRUE(WaitForWriter(1));
    g_gate.Close();
    constexpr int PARENT_RECORDS = 10, CHILD_RECORDS = 3;
    for (int i = 0; i < PARENT_RECORDS; ++i) ASSERT_EQ(Log(1, LOG_3, "parent %d\n", i), 0);
    auto start = Clock::now();
    while (!g_gate.Held() && Clock::now() - start < std::chrono::seconds(10)) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(g_gate.Held());

    pid_t pid = fork();
    if (pid == 0) {
        g_mainTid = Get_ThrId();  // the child's own records pass the gate
        bool ok = true;
        for (int i = 0; i < CHILD_RECORDS; ++i) ok = Log(1, LOG_3, "child %d\n", i) == 0 && ok;
        ok = Flush_Log() == 0 && ok;
        _exit(ok ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    bool ended = EndedWithin(pid, std::chrono::seconds(30), &status);
    g_gate.Open();
    ASSERT_TRUE(ended) << "the child hung";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a record refused or a flush failed in the child";
    ASSERT_EQ(Flush_Log(), 0);

    std::vector<std::string> expected;
    for (int i = 0; i < CHILD_RECORDS; ++i) expected.push_back("child " + std::to_string(i));
    for (int i = 0; i < PARENT_RECORDS; ++i) expected.push_back("parent " + std::to_string(i));
    std::vector<std::string> messages;
    for (const std::string &line : Records(TodayName(dir / "ind"))) {
        messages.push_back(MessageOf(line));
    }
    EXPECT_EQ(messages, expected);
}
