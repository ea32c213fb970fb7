// Shared by the fuzz targets: a private runtime root for the host-wide log
// registry, removed with its shared-memory segment when the run ends.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/util.h"
#include "log/log_registry.h"

namespace fuzzsupport {

inline std::string &RootDir() {
    static std::string root;
    return root;
}

inline void RemoveRoot() {
    const std::string &root = RootDir();
    if (root.empty()) return;
    // The registry's key file is its name under the root plus ".shm".
    key_t key = ftok((root + LOG_SHM_KEY_NAME + ".shm").c_str(), 0);
    if (key != -1) {
        int nId = shmget(key, 0, 0);
        if (nId >= 0) shmctl(nId, IPC_RMID, nullptr);
    }
    std::string cmd = "rm -rf '" + root + "'";
    if (system(cmd.c_str()) != 0) {
        // Leftovers in /tmp are harmless.
    }
}

// Makes a scratch directory the runtime root of this process; its path.
inline const std::string &UsePrivateRoot() {
    std::string &root = RootDir();
    if (!root.empty()) return root;
    char szDir[] = "/tmp/kest-fuzz-XXXXXX";
    if (mkdtemp(szDir) == nullptr) abort();
    root = szDir;
    setenv(ORVO_TMP_ROOT_ENV, root.c_str(), 1);
    atexit(RemoveRoot);
    return root;
}

}  // namespace fuzzsupport
