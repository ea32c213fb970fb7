#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/util.h"
#include "ipc/queue.h"
#include "scratch_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Items are small non-null numbers; the queue never looks into them.
void *Item(uintptr_t value) { return reinterpret_cast<void *>(value); }
uintptr_t Value(void *item) { return reinterpret_cast<uintptr_t>(item); }

bool ReportHas(const std::string &text) {
    return std::string(StrError(0)).find(text) != std::string::npos;
}

// Items the free callback received, in order.
std::vector<std::pair<unsigned int, uintptr_t>> g_freed;
void RecordFree(unsigned int sect, void *data) { g_freed.emplace_back(sect, Value(data)); }

class FreeRecorder {
public:
    FreeRecorder() {
        g_freed.clear();
        Set_QueueFreeFunc(RecordFree);
    }
    ~FreeRecorder() { Set_QueueFreeFunc(nullptr); }
};

// Scheduler state of a thread of this process ('S' while it sleeps in the
// kernel, e.g. in a condition wait).
char ThreadState(unsigned int tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t pos = stat.rfind(')');
    return pos == std::string::npos || pos + 2 >= stat.size() ? '?' : stat[pos + 2];
}

bool WaitUntilSleeping(unsigned int tid) {
    auto start = Clock::now();
    while (SecondsSince(start) < 10) {
        if (ThreadState(tid) == 'S') return true;
        std::this_thread::yield();
    }
    return false;
}

// Runs fn in a child process with standard error in a file; true when it
// returned true. Queue creation counts per process, so it is tested there.
bool InChild(const std::string &errFile, bool (*fn)()) {
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen(errFile.c_str(), "w", stderr) == nullptr) _exit(2);
        bool ok = fn();
        fflush(stderr);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool CreateEveryDynamicQueue() {
    if (Init_D_Queue(1024) != 1024) return false;
    fputs("--after first--\n", stderr);
    if (Init_D_Queue(4) != 1025) return false;
    for (int id = 1026; id < 2048; ++id) {
        if (Init_D_Queue(0) != id) return false;
    }
    fputs("--after all--\n", stderr);
    return Init_D_Queue(1) == -1;
}

}  // namespace

TEST(DynamicQueue, CreationPrintsOnceAndStopsAt1024Queues) {
    ScratchDir dir;
    ASSERT_TRUE(InChild(dir / "stderr", CreateEveryDynamicQueue));
    std::string err = ReadFile(dir / "stderr");
    size_t first = err.find("--after first--\n");
    size_t all = err.find("--after all--\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(all, std::string::npos);
    EXPECT_EQ(err.rfind("Queue malloc memory [Size 8240Byte:0Mbyte] (Init_D_Queue/", 0), 0u) << err;
    EXPECT_EQ(err.find("Queue malloc memory", 1), std::string::npos) << err;
    EXPECT_EQ(err.substr(first, all - first), "--after first--\n") << "only the 1,025th complains";
    EXPECT_EQ(err.substr(all).rfind("--after all--\nQueue sector full [1024] (_Init_Que/", 0), 0u) << err;
}

TEST(DynamicQueue, BadIdentifiersAndNullItemsAreRefused) {
    int id = Init_D_Queue(4);
    ASSERT_GE(id, 1024);
    Clr_Error();
    EXPECT_EQ(Push_Queue(static_cast<unsigned int>(id), nullptr), -1);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(Get_Queue_CurCount(static_cast<unsigned int>(id)), 0);
    EXPECT_TRUE(ReportHas("Invalid Parameter["));

    EXPECT_EQ(Pop_Queue(2047), nullptr);  // never created in this process
    EXPECT_TRUE(ReportHas("Not Initialized Sector Index\n"));
    EXPECT_EQ(Push_Queue(2047, Item(1)), -1);
    EXPECT_EQ(Pop_DynamicQueue(1024, -1), nullptr);
    EXPECT_TRUE(ReportHas("Invalid Parameter[1024/Max:1024]\n"));
    EXPECT_EQ(Get_Queue_CurCount(5000), -1);
    EXPECT_TRUE(ReportHas("Invalid Parameter[3976/Max:1024]\n"));
}

TEST(DynamicQueue, FullQueueRefusesWithError16AndTheItemStaysWithTheCaller) {
    FreeRecorder freed;
    int id = Init_D_Queue(2);
    ASSERT_GE(id, 1024);
    unsigned int q = static_cast<unsigned int>(id);
    ASSERT_EQ(Push_Queue(q, Item(1)), 0);
    ASSERT_EQ(Push_Queue(q, Item(2)), 0);
    Clr_Error();
    auto start = Clock::now();
    EXPECT_EQ(Push_Queue(q, Item(3)), -1);
    EXPECT_EQ(errno, 16);
    EXPECT_GE(SecondsSince(start), 0.001) << "one retry after a millisecond";
    char full[64];
    snprintf(full, sizeof(full), "[SECT=%03d]Queue buffer full [CurCnt:2/Max:2]\n", id - 1024);
    EXPECT_TRUE(ReportHas(full));

    EXPECT_EQ(Get_Queue_CurCount(q), 2);
    EXPECT_EQ(Get_Queue_PeakCount(q), 2);
    EXPECT_EQ(Get_Queue_IdleCount(q), 1);  // the node taken for the refused item
    EXPECT_EQ(Get_Queue_MaxCount(q), 2);
    EXPECT_TRUE(g_freed.empty()) << "a refused item is the caller's, never freed by the queue";

    EXPECT_EQ(Value(Pop_Queue(q)), 1u);
    EXPECT_EQ(Value(Pop_Queue(q)), 2u);
    EXPECT_TRUE(g_freed.empty()) << "a popped item is returned, never freed by the queue";
    EXPECT_EQ(Get_Queue_IdleCount(q), 3);
    EXPECT_EQ(Get_Queue_PeakCount(q), 2);
}

TEST(DynamicQueue, EmptyPopWaitsOneSecondAndAPushWakesItEarly) {
    unsigned int q = static_cast<unsigned int>(Init_D_Queue(8));
    ASSERT_EQ(Get_Queue_ThreadState(q), THR_STATE_WAIT);
    auto start = Clock::now();
    EXPECT_EQ(Pop_Queue(q), nullptr);
    double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 3.0);

    ASSERT_EQ(Push_Queue(q, Item(7)), 0);
    EXPECT_EQ(Get_Queue_ThreadState(q), THR_STATE_RUN);
    EXPECT_EQ(Value(Pop_Queue(q)), 7u);
    start = Clock::now();
    EXPECT_EQ(Pop_Queue(q), nullptr) << "the first pop on the drained queue returns at once";
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(Get_Queue_ThreadState(q), THR_STATE_WAIT);

    // The next pop waits; a push from another thread ends the wait early.
    std::promise<unsigned int> consumerTid;
    Clock::time_point popReturned;
    void *popped = nullptr;
    std::thread consumer([&] {
        consumerTid.set_value(Get_ThrId());
        popped = Pop_Queue(q);
        popReturned = Clock::now();
    });
    ASSERT_TRUE(WaitUntilSleeping(consumerTid.get_future().get()));
    auto pushed = Clock::now();
    ASSERT_EQ(Push_Queue(q, Item(8)), 0);
    consumer.join();
    EXPECT_EQ(Value(popped), 8u);
    EXPECT_LT(std::chrono::duration<double>(popReturned - pushed).count(), 0.5);
}

TEST(DynamicQueue, ManyProducersOneConsumerLoseNothingAndKeepEachProducersOrder) {
    constexpr int PRODUCERS = 4;
    constexpr uintptr_t PER_PRODUCER = 20000;
    constexpr int CAPACITY = 256;  // small, so producers meet a full queue
    unsigned int q = static_cast<unsigned int>(Init_D_Queue(CAPACITY));

    std::atomic<long> refusals{0};
    std::vector<std::thread> producers;
    for (uintptr_t p = 0; p < PRODUCERS; ++p) {
        producers.emplace_back([&, p] {
            for (uintptr_t seq = 1; seq <= PER_PRODUCER; ++seq) {
                // A refused item is still ours: push it again.
                while (Push_Queue(q, Item((p << 32) | seq)) != 0) ++refusals;
            }
        });
    }
    std::vector<uintptr_t> next(PRODUCERS, 1);
    uintptr_t received = 0;
    bool inOrder = true;
    auto start = Clock::now();
    while (received < PRODUCERS * PER_PRODUCER && SecondsSince(start) < 120) {
        void *item = Pop_Queue(q);
        if (item == nullptr) continue;
        uintptr_t p = Value(item) >> 32, seq = Value(item) & 0xFFFFFFFFu;
        ASSERT_LT(p, static_cast<uintptr_t>(PRODUCERS));
        if (seq != next[p]) inOrder = false;
        next[p] = seq + 1;
        ++received;
    }
    for (std::thread &t : producers) t.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, PRODUCERS * PER_PRODUCER);
    for (int p = 0; p < PRODUCERS; ++p) EXPECT_EQ(next[p], PER_PRODUCER + 1) << p;
    EXPECT_EQ(Get_Queue_CurCount(q), 0);
    EXPECT_LE(Get_Queue_PeakCount(q), CAPACITY);
    EXPECT_GE(Get_Queue_IdleCount(q), CAPACITY);
    EXPECT_LE(Get_Queue_IdleCount(q), CAPACITY + PRODUCERS) << "a node per producer at most beyond the pool";
}

TEST(StaticQueue, SectorsTypedPopsFlagsAndCapacity) {
    ASSERT_EQ(Init_Queue(3, 4), 0);
    EXPECT_EQ(Check_Queue(), 1);
    EXPECT_EQ(Get_Queue_MaxCount(2), 4);
    EXPECT_EQ(Get_QueueWaitFlag(0), 1);
    EXPECT_EQ(Get_QueueReTryFlag(0), 1);
    ASSERT_EQ(Set_QueueWaitFlag(0, 0), 0);
    ASSERT_EQ(Set_QueueReTryFlag(0, 0), 0);

    // Typed pops skip other types and leave them queued in their order.
    ASSERT_EQ(Push_Queue(0, 1, Item(11)), 0);
    ASSERT_EQ(Push_Queue(0, 2, Item(12)), 0);
    ASSERT_EQ(Push_Queue(0, 1, Item(13)), 0);
    ASSERT_EQ(Push_Queue(0, 3, Item(14)), 0);
    EXPECT_EQ(Value(Pop_Queue(0, 3)), 14u);
    EXPECT_EQ(Value(Pop_Queue(0, 1)), 11u);
    auto start = Clock::now();
    EXPECT_EQ(Pop_Queue(0, 5), nullptr) << "no item of that type";
    EXPECT_EQ(Get_QueueCnt(0), 2);
    EXPECT_EQ(Value(Pop_Queue(0)), 12u);
    EXPECT_EQ(Value(Pop_Queue(0)), 13u);
    EXPECT_EQ(Pop_Queue(0), nullptr);
    EXPECT_LT(SecondsSince(start), 0.5) << "pops of a sector without the wait flag never wait";

    // Sector capacity, without retry: the refusal is immediate.
    ASSERT_EQ(Set_Queue_MaxCount(0, 2), 0);
    ASSERT_EQ(Push_Queue(0, Item(21)), 0);
    ASSERT_EQ(Push_Queue(0, Item(22)), 0);
    Clr_Error();
    EXPECT_EQ(Push_Queue(0, Item(23)), -1);
    EXPECT_EQ(errno, 16);
    EXPECT_TRUE(ReportHas("[SECT=  0]Put Queue Fail\n"));
    EXPECT_EQ(Get_Queue_MaxCount(0), 4) << "static sectors report the default capacity";
    ASSERT_EQ(Set_Queue_MaxCount(0, 99), 0);  // out of range: back to the default
    EXPECT_EQ(Push_Queue(0, Item(23)), 0);
    EXPECT_EQ(Get_Queue_CurCount(0), 3);
    EXPECT_EQ(Get_Queue_PeakCount(0), 4) << "the four typed items earlier";

    ASSERT_EQ(Set_QueueTimeout(2, 30), 0);
    EXPECT_EQ(Get_QueueTimeout(2), 30);
    Clr_Error();
    EXPECT_EQ(Set_QueueWaitFlag(3, 1), -1);
    EXPECT_TRUE(ReportHas("Invalid Parameter\n"));
    EXPECT_EQ(Get_QueueTimeout(3), -1);
    EXPECT_TRUE(ReportHas("Invalid Parameter[Input:3/Max:3]\n"));
    EXPECT_EQ(Push_Queue(3, Item(1)), -1);
    EXPECT_TRUE(ReportHas("Invalid Parameter[3/Max:3]\n"));
    EXPECT_EQ(Push_Queue(1, nullptr), -1);
    EXPECT_EQ(errno, 22);
    EXPECT_EQ(Get_QueueCnt(1), 0);

    Close_Queue();
    EXPECT_EQ(Check_Queue(), 0);
    EXPECT_EQ(Push_Queue(0, Item(1)), -1);
    EXPECT_EQ(errno, 22);
}

TEST(StaticQueue, DelQueueHandsEveryItemToTheFreeCallbackAndKeepsTheNodes) {
    ASSERT_EQ(Init_Queue(2, 3), 0);
    FreeRecorder freed;  // Init_Queue clears the callbacks; set it after
    ASSERT_EQ(Push_Queue(1, Item(31)), 0);
    ASSERT_EQ(Push_Queue(1, Item(32)), 0);
    ASSERT_EQ(Push_Queue(1, Item(33)), 0);
    EXPECT_EQ(Get_Queue_IdleCount(1), 0);
    ASSERT_EQ(Del_Queue(1), 0);
    using Freed = std::vector<std::pair<unsigned int, uintptr_t>>;
    EXPECT_EQ(g_freed, (Freed{{1, 31}, {1, 32}, {1, 33}}));
    EXPECT_EQ(Get_QueueCnt(1), 0);
    EXPECT_EQ(Get_Queue_IdleCount(1), 3) << "the discarded nodes serve later pushes";

    // The sector works on; its consumer wakes on the next push.
    ASSERT_EQ(Push_Queue(1, Item(34)), 0);
    EXPECT_EQ(Value(Pop_Queue(1)), 34u);
    EXPECT_EQ(g_freed.size(), 3u);
    Close_Queue();
}
