// Without the HA client library in this build, the daemon runs only with a
// role forced on the command line: Init fails and liveness reports go nowhere.
#include "kest_ha_link.h"

namespace kest::halink {

int Init(const char *, HangCallback) { return -1; }

int SetSwitchNode(const char *) { return -1; }

void ThreadAlive(int) {}

}  // namespace kest::halink
