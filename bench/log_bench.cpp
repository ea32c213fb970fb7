// Throughput of Log() to a file, side by side with the floor for a record
// flushed at once (a bare fprintf + fflush of a line of the same length) and
// with spdlog's basic file sink flushing every message; then the cost of a
// record that the level filter rejects.
//
// Usage: log_bench [records-per-round] [rounds]
// The registry lives under a private runtime root, removed at the end.
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "base/util.h"
#include "bench_support.h"
#include "log/log.h"

#ifdef KEST_HAVE_SPDLOG
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace fs = std::filesystem;

namespace {

using bench::Clock;
using bench::PrivateRoot;
using bench::QuietStdout;
using bench::SecondsOf;

// The message of every record; the floor writes it behind a prefix of the
// same length as the library's "[MM/DD hh:mm:ss-uuu]N) ".
constexpr const char *MESSAGE_FORMAT = BENCH_MESSAGE;
constexpr const char *FLOOR_FORMAT = "[12/07 08:00:00-000]N) " BENCH_MESSAGE;


struct Result {
    const char *pcName;
    double dBest = 1e30;  // seconds per round, best of all rounds
};

void RunLog(int nRecords) {
    for (int i = 0; i < nRecords; ++i) Log(LOG_3, MESSAGE_FORMAT, i);
}

void RunFloor(FILE *pFile, int nRecords) {
    for (int i = 0; i < nRecords; ++i) {
        fprintf(pFile, FLOOR_FORMAT, i);
        fflush(pFile);
    }
}

#ifdef KEST_HAVE_SPDLOG
void RunSpdlog(spdlog::logger &stLogger, int nRecords) {
    for (int i = 0; i < nRecords; ++i) {
        stLogger.info("benchmark record {:08d} carrying a typical payload text", i);
    }
}
#endif

double FilteredNanos(long lRecords) {
    Set_LogLevel(0, LOG_1);
    double dSec = SecondsOf([lRecords] {
        for (long i = 0; i < lRecords; ++i) Log(LOG_5, MESSAGE_FORMAT, static_cast<int>(i));
    });
    Set_LogLevel(0, LOG_3);
    return dSec * 1e9 / static_cast<double>(lRecords);
}

void Print(const Result &stResult, int nRecords) {
    printf("  %-34s %10.0f records/s  %7.0f ns/record\n", stResult.pcName, nRecords / stResult.dBest,
           stResult.dBest * 1e9 / nRecords);
}

}  // namespace

int main(int argc, char **argv) {
    int nRecords = argc > 1 ? atoi(argv[1]) : 200000;
    int nRounds = argc > 2 ? atoi(argv[2]) : 5;
    if (nRecords <= 0 || nRounds <= 0) {
        fprintf(stderr, "usage: %s [records-per-round] [rounds]\n", argv[0]);
        return 2;
    }
    PrivateRoot root("kest-log-bench");

    int nSect = -1;
    {
        QuietStdout stQuiet;  // Init_Log prints the section table
        nSect = Init_Log("LOG_BENCH", (root / "kest").c_str());
        Set_LogLevel(0, LOG_3);
        Set_LogFileSize(0, 1024);  // no rotation during the run
    }
    if (nSect != 0) {
        fprintf(stderr, "Init_Log failed\n");
        return 1;
    }

    FILE *pFloor = fopen((root / "floor.log").c_str(), "a");
    Result stLog{"Log() to file (flush per record)"};
    Result stFloor{"fprintf+fflush floor"};
#ifdef KEST_HAVE_SPDLOG
    auto pSpd = spdlog::basic_logger_mt("bench", root / "spdlog.log");
    pSpd->set_pattern("[%m/%d %H:%M:%S-%e]N) %v");
    pSpd->flush_on(spdlog::level::trace);
    Result stSpd{"spdlog basic sink, flush_on(trace)"};
#endif

    // Rounds interleave the contenders so that machine noise hits all alike.
    for (int r = 0; r < nRounds; ++r) {
        stLog.dBest = std::min(stLog.dBest, SecondsOf([&] { RunLog(nRecords); }));
        stFloor.dBest = std::min(stFloor.dBest, SecondsOf([&] { RunFloor(pFloor, nRecords); }));
#ifdef KEST_HAVE_SPDLOG
        stSpd.dBest = std::min(stSpd.dBest, SecondsOf([&] { RunSpdlog(*pSpd, nRecords); }));
#endif
    }
    double dFiltered = FilteredNanos(20000000);

    printf("log_bench: %d records per round, best of %d rounds\n", nRecords, nRounds);
    Print(stLog, nRecords);
    Print(stFloor, nRecords);
#ifdef KEST_HAVE_SPDLOG
    Print(stSpd, nRecords);
#endif
    double dFloorRatio = stLog.dBest / stFloor.dBest;
    printf("  Log / floor time ratio:   %.2fx  (target <= 1.30x: %s)\n", dFloorRatio,
           dFloorRatio <= 1.3 ? "met" : "NOT met");
#ifdef KEST_HAVE_SPDLOG
    double dSpdRatio = stSpd.dBest / stLog.dBest;
    printf("  spdlog / Log time ratio:  %.2fx  (target > 1.00x: %s)\n", dSpdRatio,
           dSpdRatio > 1.0 ? "met" : "NOT met");
#else
    printf("  spdlog comparison: not built (libspdlog-dev missing)\n");
#endif
    printf("  filtered-out record:      %.1f ns  (target < 50 ns: %s)\n", dFiltered,
           dFiltered < 50.0 ? "met" : "NOT met");
    fclose(pFloor);
    return 0;
}
