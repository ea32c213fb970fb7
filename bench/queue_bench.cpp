// Producer throughput of a LOG_INDIRECT section beside a direct one (same
// records, one run, rounds in turn), and push/pop throughput of a dynamic queue with 1, 2
// and 4 producers and one consumer.
//
// Usage: queue_bench [records] [items-per-producer]
// The log registry lives under a private runtime root, removed at the end.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/util.h"
#include "bench_support.h"
#include "ipc/queue.h"
#include "log/log.h"

namespace fs = std::filesystem;

namespace {

using bench::Clock;
using bench::PrivateRoot;
using bench::QuietStdout;
using bench::SecondsOf;

constexpr int BURST = 1000;  // records per burst: fits the writer's queue of 1,024
// Direct and indirect runs take turns, so that a busy spell of the machine
// falls on both; the medians are printed.
constexpr int ROUNDS = 5;
constexpr double TARGET_RATIO = 2.0;  // indirect caller against direct caller


unsigned int g_mainTid = 0;
std::atomic<bool> g_writerSeen{false};
void SpotWriter(unsigned int, struct timeval, const char *) {
    if (Get_ThrId() != g_mainTid) g_writerSeen = true;
}

// Sections 0 (direct) and 1 (indirect); false when the writer never starts.
bool SetUpSections(const PrivateRoot &root) {
    QuietStdout stQuiet;
    if (Init_Log("QUEUE_BENCH", (root / "direct").c_str()) != 0) return false;
    if (Add_Log((root / "indirect").c_str(), LOG_INDIRECT) != 1) return false;
    for (unsigned int unSect : {0u, 1u}) {
        Set_LogLevel(unSect, LOG_3);
        Set_LogFileSize(unSect, 1024);  // no rotation during the run
    }
    g_mainTid = Get_ThrId();
    Add_LogHandler(SpotWriter, 1);
    auto start = Clock::now();
    while (!g_writerSeen && Clock::now() - start < std::chrono::seconds(10)) {
        Log(1, LOG_3, "warm-up\n");
        Flush_Log();
    }
    return g_writerSeen;
}

struct LogRun {
    double dProducers = 0;  // until every Log call returned
    double dWritten = 0;    // until the writer wrote the last record
    long lRefused = 0;
};

LogRun RunLog(unsigned int unSect, int nRecords) {
    LogRun stRun;
    for (int nDone = 0; nDone < nRecords; nDone += BURST) {
        int nEnd = std::min(nRecords, nDone + BURST);
        auto start = Clock::now();
        for (int i = nDone; i < nEnd; ++i) {
            if (Log(unSect, LOG_3, BENCH_MESSAGE, i) != 0) ++stRun.lRefused;
        }
        stRun.dProducers += std::chrono::duration<double>(Clock::now() - start).count();
        Flush_Log();
        stRun.dWritten += std::chrono::duration<double>(Clock::now() - start).count();
    }
    return stRun;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void PrintLogComparison(int nRecords) {
    std::vector<double> direct, indirect, written, ratio;
    long lRefused = 0;
    for (int nRound = 0; nRound < ROUNDS; ++nRound) {
        LogRun stDirect = RunLog(0, nRecords);
        LogRun stIndirect = RunLog(1, nRecords);
        direct.push_back(nRecords / stDirect.dProducers);
        indirect.push_back(nRecords / stIndirect.dProducers);
        written.push_back(nRecords / stIndirect.dWritten);
        ratio.push_back(indirect.back() / direct.back());
        lRefused += stIndirect.lRefused;
    }
    double dRatio = Median(ratio);
    printf("Log section throughput, %d records in bursts of %d (one producer), median of %d "
           "rounds\n",
           nRecords, BURST, ROUNDS);
    printf("  %-44s %12.0f records/s\n", "direct: caller writes and flushes", Median(direct));
    printf("  %-44s %12.0f records/s  (refused %ld)\n", "indirect: caller formats and queues",
           Median(indirect), lRefused);
    printf("  %-44s %12.0f records/s\n", "indirect: until the writer wrote them",
           Median(written));
    printf("  indirect/direct producer throughput: %.2fx (target %.0fx: %s)\n\n", dRatio,
           TARGET_RATIO, dRatio >= TARGET_RATIO ? "met" : "NOT met");
}

// Items carry their producer and sequence; the consumer counts them.
double QueueRun(int nProducers, long lPerProducer) {
    unsigned int unQueue = static_cast<unsigned int>(Init_D_Queue(1024));
    long lTotal = nProducers * lPerProducer;
    double dSeconds = SecondsOf([&] {
        std::vector<std::thread> producers;
        for (int p = 0; p < nProducers; ++p) {
            producers.emplace_back([unQueue, p, lPerProducer] {
                for (long i = 1; i <= lPerProducer; ++i) {
                    void *pvItem = reinterpret_cast<void *>((static_cast<uintptr_t>(p) << 40) |
                                                            static_cast<uintptr_t>(i));
                    while (Push_Queue(unQueue, pvItem) != 0) {
                    }
                }
            });
        }
        long lReceived = 0;
        while (lReceived < lTotal) {
            if (Pop_Queue(unQueue) != nullptr) ++lReceived;
        }
        for (std::thread &t : producers) t.join();
    });
    return lTotal / dSeconds;
}

}  // namespace

int main(int argc, char **argv) {
    int nRecords = argc > 1 ? atoi(argv[1]) : 100000;
    long lItems = argc > 2 ? atol(argv[2]) : 500000;
    if (nRecords <= 0 || lItems <= 0) {
        fprintf(stderr, "usage: %s [records] [items-per-producer]\n", argv[0]);
        return 2;
    }
    PrivateRoot root("kest-queue-bench");
    if (!SetUpSections(root)) {
        fprintf(stderr, "log sections could not be set up\n");
        return 1;
    }
    PrintLogComparison(nRecords);

    printf("Dynamic queue push/pop, one consumer, %ld items per producer\n", lItems);
    for (int nProducers : {1, 2, 4}) {
        printf("  %d producer%s %12.0f items/s\n", nProducers, nProducers == 1 ? " " : "s",
               QueueRun(nProducers, lItems));
    }
    return 0;
}
