// The process's one way out: its state, its deadline and its exit.
#include "kest_ending.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <ctime>

#include "base/util.h"

namespace kest::ending {

namespace {

// The state: running while no deadline is set, ending once one is, handing over once a path has
// claimed the hand-over.
std::atomic<time_t> gDeadline{0};  // monotonic seconds
std::atomic<bool> gHandingOver{false};
std::atomic<int> gOverdueStatus{1};

time_t MonotonicNow() {
    timespec stNow{};
    clock_gettime(CLOCK_MONOTONIC, &stNow);
    return stNow.tv_sec;
}

void OnDeadline(int) { _exit(gOverdueStatus.load()); }

}  // namespace

void Begin(int nOverdueStatus) {
    // The deadline is set in the same step that begins the ending: a path that comes at the same
    // moment never finds the ending begun without it.
    time_t tNone = 0;
    if (gDeadline.compare_exchange_strong(tNone, MonotonicNow() + kLimitSec))
        gOverdueStatus.store(nOverdueStatus);
    // The process's one alarm clock carries the deadline. Set again on every call: the signal
    // library arms it with a bound of its own for a fault.
    struct sigaction stAction {};
    stAction.sa_handler = OnDeadline;
    sigemptyset(&stAction.sa_mask);
    sigaction(SIGALRM, &stAction, nullptr);
    time_t tLeft = gDeadline.load() - MonotonicNow();
    alarm(tLeft > 0 ? static_cast<unsigned int>(tLeft) : 1u);
}

void ClaimHandOver() {
    if (!gHandingOver.exchange(true)) return;
    for (;;) pause();
}

void Exit(int nStatus) {
    Flush_StdoutNow();
    _exit(nStatus);
}

}  // namespace kest::ending
