// Internal to the HA client library: one shared table of the master — its
// stored key path, attached address and initialisation flag — and the
// attach sequence the three tables share.
#pragma once

#include "haf/haf_proc_ListShm.h"

struct HafShmTableDesc {
    const char *pszKeyName;        // file name of the default key path
    int nSize;                     // bytes of the segment
    const char *pszInitName;       // operation that attaches the table
    const char *pszDefaultName;    // operation that sets the default key path
    const char *pszOpenName;       // operation that opens the segment
    const char *pszInitDirFail;    // printed when Init cannot create the directories
    const char *pszDefaultDirFail; // printed when the default path's directories fail
    bool bOpenFailShowsKey;        // the open failure line names key path and size
    bool bChmodAfterOpen;          // the key file gets mode 0666 after every open
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

    void *shm() const { return pvShm_; }
    int initFlag() const { return nInitFlag_; }
    int setInitFlag(int nFlag) { return nInitFlag_ = nFlag; }

private:
    void makeDefaultPath(char *pszBuf, int nLen) const;

    const HafShmTableDesc &desc_;
    char szKey_[HAF_KEY_PATH_SIZE] = "";
    void *pvShm_ = nullptr;
    int nInitFlag_ = 1;
};

// The ".shm" key file of a key path (the path itself when it already ends so).
void makeShmKeyFile_Haf(const char *pszKeyPath, char *pszBuf, int nLen);
