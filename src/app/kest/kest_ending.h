// Internal to the daemon: the process's one way out. Every path that ends the process (a signal, a
// hang report, a failure) goes through here: an atomic state, one deadline, the exit.
#pragma once

#include <chrono>
#include <functional>

namespace kest::ending {

// Seconds the whole ending may take from its first path's start: the pass in flight, stack listing,
// switch-over request and lock release fit; past it the process ends with its path's status.
constexpr unsigned int kLimitSec = 10;

// Begins the ending; the first call fixes the deadline. nOverdueStatus: the exit status should the
// deadline pass, as switch-over and lock release may then be left undone. Async-signal-safe.
void Begin(int nOverdueStatus);

// Whether the ending has begun. Async-signal-safe.
bool Begun();

// Runs fn on a thread of its own and waits for it at most unLimit, and never past the deadline less
// a second for the exit: a step that may block on a stuck disk must not hold the ending. True when
// fn ended in time; otherwise it runs on unwaited-for. Not for a fault: it starts a thread.
bool RunWithin(std::function<void()> fn, std::chrono::milliseconds unLimit);

// The hand-over (switch-over request, lock release, exit) is done once: the first caller gets it, a
// later one waits here for the end that the first one, or the deadline, makes.
void ClaimHandOver();

// Ends the process at once with nStatus while other threads run on: no exit handlers under them;
// stdio's standard output goes out only if unlocked and the output takes it at once.
[[noreturn]] void Exit(int nStatus);

}  // namespace kest::ending
