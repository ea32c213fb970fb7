// The daemon's calls into the HA client library.
#include "kest_ha_link.h"

#include "haf/haf_appLib.h"
#include "haf/haf_proc_util.h"

namespace kest::halink {

int Init(const char *pcVersion, HangCallback pHangFunc) { return HALibInit(pcVersion, pHangFunc); }

std::vector<std::string> ExposedFolders() { return exposedRuntimeDirs_Haf(); }

int SetSwitchNode(const char *pcReason) { return HALibSetSwitchNode(pcReason); }

void ThreadAlive(int nInterval) { HAThrAlive(nInterval, nullptr); }

void HangTestPoint() { isHang(); }

}  // namespace kest::halink
