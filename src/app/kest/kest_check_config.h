// Internal to the daemon: --check-config. The checks a start would meet, each with a verdict line,
// without taking the lock, billing or telling the HA master anything.
#pragma once

#include "kest_manager.h"

namespace kest {

// Checks the settings read (pcConfigError: why reading them failed, or null), prints one verdict
// line per item and a summary on standard output; the exit status: 0 when every check holds,
// else 1.
int CheckConfig(const KestManager &pm, const char *pcConfigError);

}  // namespace kest
