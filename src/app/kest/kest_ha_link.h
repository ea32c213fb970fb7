// Internal to the daemon: the calls of start-up, selecter and signal handlers into the HA client
// library. The role callbacks live in kest_ha_role.cpp, with the report record they need.
#pragma once

#include <string>
#include <vector>

namespace kest::halink {

using HangCallback = void (*)(unsigned int);

// Starts the HA client library; 0 on success.
int Init(const char *pcVersion, HangCallback pHangFunc);

// The host's HA runtime folders every local user may write: any of them can take the HA link over.
std::vector<std::string> ExposedFolders();

// Asks the HA framework to hand the active role to the other node; 0 when the request was sent.
int SetSwitchNode(const char *pcReason);

// Reports the calling thread as alive, allowed to stay silent for nInterval seconds.
void ThreadAlive(int nInterval);

// Blocks the calling thread for an hour once the HA master has started its hang test (message
// 1006), so that the test sees a real hung thread.
void HangTestPoint();

}  // namespace kest::halink
