// Test helper: a private runtime root (ORVO_TMP_ROOT) for the HA tables and
// sockets; the System V segments keyed below it are removed at the end.
#pragma once

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/util.h"
#include "scratch_dir.h"

class HafRootEnv {
public:
    HafRootEnv() { setenv(ORVO_TMP_ROOT_ENV, dir_.path().c_str(), 1); }
    ~HafRootEnv() {
        removeSegments();
        unsetenv(ORVO_TMP_ROOT_ENV);
    }
    HafRootEnv(const HafRootEnv &) = delete;
    HafRootEnv &operator=(const HafRootEnv &) = delete;

    std::string root() const { return dir_.path().string(); }
    std::string operator/(const std::string &name) const { return dir_ / name; }
    std::string shmKey(const std::string &table) const { return root() + "/haf/shm/" + table; }

    // Id of the segment keyed by a key path (".shm" appended), or -1.
    static int segmentOf(const std::string &keyPath) {
        key_t nKey = ftok((keyPath + ".shm").c_str(), 0);
        return nKey == -1 ? -1 : shmget(nKey, 0, 0);
    }
    static long segmentSize(const std::string &keyPath) {
        int nId = segmentOf(keyPath);
        shmid_ds stDs;
        if (nId < 0 || shmctl(nId, IPC_STAT, &stDs) != 0) return -1;
        return static_cast<long>(stDs.shm_segsz);
    }

private:
    // Every key file below the root stands for a segment this test made.
    void removeSegments() const {
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(dir_.path(), ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().extension() != ".shm") continue;
            key_t nKey = ftok(it->path().c_str(), 0);
            int nId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
            if (nId >= 0) shmctl(nId, IPC_RMID, nullptr);
        }
    }

    ScratchDir dir_;
};
