// Internal to the HA client library: the attach sequence the master's three tables share.
#pragma once

#include <atomic>

#include "haf/haf_proc_ListShm.h"

struct HafShmTableDesc {
    const char *pszKeyName;      // file name of the default key path
    int nSize;                   // bytes of the segment
    const char *pszInitName;     // operation that attaches the table
    const char *pszDefaultName;  // operation that sets the default key path
    const char *pszOpenName;     // operation that opens the segment
    // Named by the folder failure lines instead of the operation; null for tables whose lines name
    // the operation.
    const char *pszKeyVar;
    void (*pfInitialise)(void *pvShm);  // prepares a segment created just now
};

class HafShmTable {
public:
    constexpr explicit HafShmTable(const HafShmTableDesc &stDesc) : desc_(stDesc) {}
    HafShmTable(const HafShmTable &) = delete;
    HafShmTable &operator=(const HafShmTable &) = delete;

    void *init(const char *pcKeyPath, int nCreateFlag);
    void *open(int nCreateFlag);
    char *defaultKey();
    const char *key();

    void *shm() const { return pvShm_.load(std::memory_order_acquire); }
    int initFlag() const { return nInitFlag_; }
    int setInitFlag(int nFlag) { return nInitFlag_ = nFlag; }

    // A restarted master makes new segments at the same keys: a segment marked removed, or no
    // longer at its key, is replaced by the one at the key (never created). The old one stays
    // attached, as other threads may still read it. Null when there is none.
    void *current();

private:
    void makeDefaultPath(char *pszBuf, int nLen) const;
    void printDirFail(const char *pszOp) const;
    bool kept();
    void publish(void *pvShm, int nId) {
        pvShm_.store(pvShm, std::memory_order_release);
        nShmId_.store(nId, std::memory_order_release);
    }

    const HafShmTableDesc &desc_;
    char szKey_[HAF_KEY_PATH_SIZE] = "";
    // The address is stored before the id and read after it.
    std::atomic<void *> pvShm_{nullptr};
    std::atomic<int> nShmId_{-1};
    std::atomic<bool> bReattaching_{false};
    int nInitFlag_ = 1;
};
