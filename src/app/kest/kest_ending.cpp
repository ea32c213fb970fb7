// The process's one way out: its state, its deadline and its exit.
#include "kest_ending.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

#include "base/util.h"

namespace kest::ending {

namespace {

enum State { kRunning, kEnding, kHandingOver };

std::atomic<int> gState{kRunning};
std::atomic<int> gOverdueStatus{1};
std::atomic<time_t> gDeadline{0};  // monotonic seconds

time_t MonotonicNow() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return stNow.tv_sec;
}

void OnDeadline(int) { _exit(gOverdueStatus.load()); }

}  // namespace

void Begin(int nOverdueStatus) {
    int nRunning = kRunning;
    if (gState.compare_exchange_strong(nRunning, kEnding)) {
        gOverdueStatus.store(nOverdueStatus);
        gDeadline.store(MonotonicNow() + kLimitSec);
    }
    // The process's one alarm clock carries the deadline. Set again on every
    // call: the signal library arms it with a bound of its own for a fault.
    struct sigaction stAction {};
    stAction.sa_handler = OnDeadline;
    sigemptyset(&stAction.sa_mask);
    sigaction(SIGALRM, &stAction, nullptr);
    time_t tLeft = gDeadline.load() - MonotonicNow();
    alarm(tLeft > 0 ? static_cast<unsigned int>(tLeft) : 1u);
}

void ClaimHandOver() {
    if (gState.exchange(kHandingOver) != kHandingOver) return;
    for (;;) pause();
}

void Exit(int nStatus) {
    Flush_StdoutNow();
    _exit(nStatus);
}

}  // namespace kest::ending
