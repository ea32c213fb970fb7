// Internal to the daemon: the process's one way out. Every path that ends the
// process (a general signal, a hang report, a failure) goes through here: an
// atomic state, one deadline for the whole ending, and the exit itself.
#pragma once

namespace kest::ending {

// Seconds the whole ending may take from the moment its first path begins:
// the pass in flight, the stack listing, the switch-over request and the lock
// release fit; past it the process ends with the status its path named.
constexpr unsigned int kLimitSec = 10;

// Begins the ending; the first call fixes the deadline, later ones keep it.
// nOverdueStatus: the exit status should the deadline pass, since the
// switch-over and the lock release may then not be done. Async-signal-safe.
void Begin(int nOverdueStatus);

// The hand-over (switch-over request, lock release, exit) is done once: the
// first caller gets it, a later one waits here for the end that the first
// one, or the deadline, makes.
void ClaimHandOver();

// Ends the process at once with nStatus while other threads run on: no exit
// handlers under them; what stdio holds for standard output goes out only if
// no other thread holds it and the output takes it without waiting.
[[noreturn]] void Exit(int nStatus);

}  // namespace kest::ending
