// One ending of the process at a time: a signal and a hang report may both
// end it, and only one of them does.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace kest {

// A later caller waits for the first to end the process, but only so long:
// a fault inside the first one's exit path must not leave a process that
// never ends while its main thread goes on reporting alive.
class EndingTurn {
public:
    constexpr explicit EndingTurn(std::chrono::milliseconds wait) : wait_(wait) {}
    EndingTurn(const EndingTurn &) = delete;
    EndingTurn &operator=(const EndingTurn &) = delete;

    // True for the first caller. A later one gets false once the wait is
    // over, and then ends the process itself.
    bool take() {
        if (!taken_.test_and_set()) return true;
        std::this_thread::sleep_for(wait_);  // nanosleep: safe in a fault handler
        return false;
    }

private:
    std::atomic_flag taken_ = ATOMIC_FLAG_INIT;
    std::chrono::milliseconds wait_;
};

}  // namespace kest
