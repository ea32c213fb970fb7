// Internal to the daemon: the billing pass in flight and the process's end. A stop lets the pass
// end, but only so long, then takes it over: its commit never follows the cut of its lines.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace kest {

class PassGate {
public:
    // Worker: a pass starts; false once the process is ending.
    bool enter() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bEnding_) return false;
        state_ = State::Running;
        return true;
    }
    // Worker: the pass's commit may be sent; false when the ending took the pass over.
    bool enterCommit() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_ != State::Running) return false;
        state_ = State::Committing;
        return true;
    }
    void leaveCommit() { move(State::Committing, State::Running); }
    // Worker: the pass has ended, committed or abandoned.
    void leave() { move(State::Running, State::Idle); }
    bool ending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bEnding_;
    }

    // What the ending does to a pass it takes over (cut its lines).
    void onTakeOver(std::function<void()> takeOver) {
        std::lock_guard<std::mutex> lock(mutex_);
        takeOver_ = std::move(takeOver);
    }

    // Ending: no pass starts from here on. Waits up to limit for the pass in flight to end; past it
    // the pass is taken over, unless its commit is already on its way, which is waited for (the
    // database's read time-out bounds it). True when the pass in flight had to be taken over.
    bool close(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        bEnding_ = true;
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (cv_.wait_until(lock, deadline, [this] { return state_ == State::Idle; }))
                return false;
            if (state_ == State::Running) break;
            // A commit on its way ends first; what follows it is taken over.
            cv_.wait(lock, [this] { return state_ != State::Committing; });
        }
        state_ = State::TakenOver;
        std::function<void()> takeOver = takeOver_;
        lock.unlock();
        if (takeOver) takeOver();
        return true;
    }

private:
    enum class State { Idle, Running, Committing, TakenOver };

    void move(State from, State to) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ != from) return;
            state_ = to;
        }
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    State state_ = State::Idle;
    bool bEnding_ = false;
    std::function<void()> takeOver_;
};

}  // namespace kest
