// The process's one way out: its state, its deadline and its exit.
#include "kest_ending.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

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

bool Begun() { return gDeadline.load() != 0; }

bool RunWithin(std::function<void()> fn, std::chrono::milliseconds unLimit) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    try {
        std::thread([fn = std::move(fn), done] {
            fn();
            done->set_value();
        }).detach();
    } catch (const std::system_error &) {
        return false;
    }
    std::chrono::milliseconds unWait = unLimit;
    if (Begun()) {
        // The exit itself needs the last second before the deadline.
        std::chrono::milliseconds unLeft =
            std::chrono::seconds(gDeadline.load() - MonotonicNow() - 1);
        unWait = std::max(std::chrono::milliseconds(0), std::min(unWait, unLeft));
    }
    return finished.wait_for(unWait) == std::future_status::ready;
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
