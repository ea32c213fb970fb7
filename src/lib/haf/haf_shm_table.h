// Internal to the HA client library: one shared table of the master — its stored key path, attached
// address and initialisation flag — and the attach sequence the three tables share.
#pragma once

#include <atomic>

#include "haf/haf_proc_ListShm.h"

struct HafShmTableDesc {
    const char *pszKeyName;      // file name of the default key path
    int nSize;                   // bytes of the segment
    const char *pszInitName;     // operation that attaches the table
    const char *pszDefaultName;  // operation that sets the default key path
    const char *pszOpenName;     // operation that opens the segment
    // The key path's variable, which the folder failure lines name instead of the operation; a
    // table that has one also names key path and size when its opening fails. Null for a table
    // whose lines name the operation.
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

    // The table the master keeps now. A restarted master removes its segments and makes new ones at
    // the same keys: when the attached segment is marked removed, or its key names another segment,
    // the segment at the key is attached in its place with the same size check (never created).
    // Null when there is none to be had; a later call tries again. The old segment stays attached,
    // as other threads may still read it. Never waits long for another thread doing the same.
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
    // The address is stored before the id and read after it: a reader seeing the new id sees the
    // new address.
    std::atomic<void *> pvShm_{nullptr};
    std::atomic<int> nShmId_{-1};
    std::atomic<bool> bReattaching_{false};
    int nInitFlag_ = 1;
};
