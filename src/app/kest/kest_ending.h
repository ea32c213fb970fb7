// Internal to the daemon: the process's one way out. Every path that ends the process (a signal, a
// hang report, a failure) goes through here: an atomic state, one deadline, the exit.
#pragma once

namespace kest::ending {

// Seconds the whole ending may take from its first path's start: the pass in flight, stack listing,
// switch-over request and lock release fit; past it the process ends with its path's status.
constexpr unsigned int kLimitSec = 10;

// Begins the ending; the first call fixes the deadline. nOverdueStatus: the exit status should the
// deadline pass, as switch-over and lock release may then be left undone. Async-signal-safe.
void Begin(int nOverdueStatus);

// The hand-over (switch-over request, lock release, exit) is done once: the first caller gets it, a
// later one waits here for the end that the first one, or the deadline, makes.
void ClaimHandOver();

// Ends the process at once with nStatus while other threads run on: no exit handlers under them;
// stdio's standard output goes out only if unlocked and the output takes it at once.
[[noreturn]] void Exit(int nStatus);

}  // namespace kest::ending
