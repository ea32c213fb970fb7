// Internal to the daemon: its calls into the HA client library, kept behind
// one small interface so that the daemon does not depend on the library's
// headers in more than one place.
#pragma once

namespace kest::halink {

using HangCallback = void (*)(unsigned int);

// Starts the HA client library; 0 on success.
int Init(const char *pcVersion, HangCallback pHangFunc);

// Asks the HA framework to hand the active role to the other node; 0 when
// the request was sent.
int SetSwitchNode(const char *pcReason);

// Reports the calling thread as alive, allowed to stay silent for nInterval
// seconds.
void ThreadAlive(int nInterval);

// Blocks the calling thread for an hour once the HA master has started its
// hang test (message 1006), so that the test sees a real hung thread.
void HangTestPoint();

}  // namespace kest::halink
