// The process-list table, and the segment opening and attach sequence shared
// by the master's three tables.
#include "haf/haf_proc_ListShm.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/error.h"
#include "base/string.h"
#include "haf/haf_proc_util.h"
#include "haf_lib_state.h"
#include "haf_shm_table.h"
#include "ipc/shmlib.h"

namespace {

constexpr int kErrInvalid = 22;
// Closed to others: whoever may write a table can steer the node's role.
constexpr mode_t kTableMode = SHM_MODE_PRIVATE;
constexpr const char *kShmSuffix = ".shm";
constexpr int kReattachWaitMs = 200;

void initialiseProcList(void *pvShm) {
    auto *pstList = static_cast<ProcListHAF *>(pvShm);
    pstList->nProcCnt = 0;
    memset(pstList->stInfo, 0, sizeof(pstList->stInfo));
    for (ProcMngInfoHAF &stCont : pstList->stCont) stCont.Clear();
    pstList->nReloadState = 0;
}

constexpr HafShmTableDesc kProcListDesc = {
    "processList",
    static_cast<int>(sizeof(ProcListHAF)),
    "Init_HafProcess",
    "getDefaultKetFileHafProcessList",
    "careateHafProcShm",
    "_gszKeyProcessList Fail makefulldir[%s] %d:%s %s:%d)\n",
    "_gszKeyProcessList Fail makefulldir[%s] %d:%s %s:%d)\n",
    true,
    initialiseProcList,
};

HafShmTable gProcList(kProcListDesc);

// Id of the segment keyed by nKey with exactly nSize bytes, created when
// missing (*pbCreated); -1 when there is none to be had.
int getOrCreateSegment(key_t nKey, int nSize, bool *pbCreated) {
    size_t unSize = static_cast<size_t>(nSize);
    *pbCreated = false;
    int nId = shmget(nKey, unSize, 0);
    if (nId >= 0) return nId;
    // Exclusive creation tells a creator apart from a process that lost the
    // race to create and must not zero what the winner may already fill.
    nId = shmget(nKey, unSize, IPC_CREAT | IPC_EXCL | kTableMode);
    if (nId >= 0) {
        *pbCreated = true;
        return nId;
    }
    return errno == EEXIST ? shmget(nKey, unSize, 0) : -1;
}

// Bytes of the segment nId, or -1 when it cannot be read.
long segmentBytes(int nId) {
    shmid_ds stDs;
    return nId >= 0 && shmctl(nId, IPC_STAT, &stDs) == 0 ? static_cast<long>(stDs.shm_segsz) : -1;
}

// The segment that exists at a key path with exactly nSize bytes, attached
// (its id in *pnId); null when there is none, or its size differs.
void *attachExisting(const char *pszKeyFile, int nSize, int *pnId) {
    char szKeyFile[HAF_KEY_PATH_SIZE + 8];
    makeShmKeyFile_Haf(pszKeyFile, szKeyFile, sizeof(szKeyFile));
    key_t nKey = ftok(szKeyFile, 0);
    int nId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
    long nBytes = segmentBytes(nId);
    if (nBytes < 0) {
        SET_ERROR(kErrInvalid, "Shm Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    if (nBytes != nSize) {
        SET_ERROR(kErrInvalid, "Shm Size Mismatched (%s/%ld)", pszKeyFile, nBytes);
        return nullptr;
    }
    if (ShmCheckOwner(szKeyFile, nId) < 0) return nullptr;
    void *pvShm = shmat(nId, nullptr, 0);
    if (pvShm == reinterpret_cast<void *>(-1)) {
        SET_ERROR(kErrInvalid, "Shared Memory Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    *pnId = nId;
    return pvShm;
}

// Takes a busy flag, waiting for it at most about kReattachWaitMs: a thread
// on its way out must not wait long for one that is stuck, or for itself.
class BoundedFlag {
public:
    explicit BoundedFlag(std::atomic<bool> &bFlag) : bFlag_(bFlag) {
        for (int i = 0; i < kReattachWaitMs && !(bOwned_ = !bFlag_.exchange(true)); ++i)
            usleep(1000);
    }
    ~BoundedFlag() {
        if (bOwned_) bFlag_.store(false);
    }
    BoundedFlag(const BoundedFlag &) = delete;
    BoundedFlag &operator=(const BoundedFlag &) = delete;
    bool owned() const { return bOwned_; }

private:
    std::atomic<bool> &bFlag_;
    bool bOwned_ = false;
};

}  // namespace

void makeShmKeyFile_Haf(const char *pszKeyPath, char *pszBuf, int nLen) {
    size_t unLen = strlen(pszKeyPath);
    size_t unSuffix = strlen(kShmSuffix);
    bool bHasSuffix = unLen >= unSuffix && strcmp(pszKeyPath + unLen - unSuffix, kShmSuffix) == 0;
    snprintf(pszBuf, static_cast<size_t>(nLen), "%s%s", pszKeyPath, bHasSuffix ? "" : kShmSuffix);
}

// ---------------------------------------------------------------------------
// HafShmTable

void HafShmTable::makeDefaultPath(char *pszBuf, int nLen) const {
    char szDir[HAF_KEY_PATH_SIZE];
    getShmDirPath_Haf(szDir, sizeof(szDir));
    snprintf(pszBuf, static_cast<size_t>(nLen), "%s%s", szDir, desc_.pszKeyName);
}

char *HafShmTable::defaultKey() {
    if (szKey_[0] == '\0') {
        makeDefaultPath(szKey_, sizeof(szKey_));
        if (makeRuntimeDirs_Haf(szKey_) != 0) {
            int nErr = errno;
            printf(desc_.pszDefaultDirFail, szKey_, nErr, strerror(nErr), desc_.pszDefaultName,
                   __LINE__);
        }
    }
    return szKey_;
}

const char *HafShmTable::key() {
    if (szKey_[0] != '\0') return szKey_;
    static thread_local char szDefault[HAF_KEY_PATH_SIZE];
    makeDefaultPath(szDefault, sizeof(szDefault));
    return szDefault;
}

void *HafShmTable::init(const char *pcKeyPath, int nCreateFlag) {
    if (pcKeyPath != nullptr) {
        StrCpy(szKey_, pcKeyPath, sizeof(szKey_));
    } else {
        makeDefaultPath(szKey_, sizeof(szKey_));
    }
    if (makeRuntimeDirs_Haf(szKey_) != 0) {
        int nErr = errno;
        printf(desc_.pszInitDirFail, szKey_, nErr, strerror(nErr), desc_.pszInitName, __LINE__);
    }
    return open(nCreateFlag);
}

void *HafShmTable::open(int nCreateFlag) {
    char szKey[HAF_KEY_PATH_SIZE];
    StrCpy(szKey, key(), sizeof(szKey));
    char szKeyFile[HAF_KEY_PATH_SIZE + 8];
    makeShmKeyFile_Haf(szKey, szKeyFile, sizeof(szKeyFile));

    int nFirstF = 0;
    int nId = -1;
    void *pvShm = nullptr;
    // The create flag adds the folders and the key file. Either way a
    // missing segment is created, and one of another size is refused (never
    // resized): other processes may have it attached and would go on with a
    // copy nobody updates.
    if (nCreateFlag == 0 || (makeRuntimeDirs_Haf(szKey) == 0 &&
                             ShmMakeKeyFile(szKey, szKeyFile, kTableMode) == 0))
        pvShm = HafShmOpenReadOnly(szKey, desc_.nSize, &nFirstF, &nId);
    if (pvShm == nullptr) {
        int nErr = errno;
        if (desc_.bOpenFailShowsKey) {
            printf("%s szKey(%s) nSize(%d) Fail %d:%s %s:%d)\n", desc_.pszOpenName, szKey,
                   desc_.nSize, nErr, strerror(nErr), desc_.pszOpenName, __LINE__);
        } else {
            printf("%s Fail %d:%s %s:%d)\n", desc_.pszOpenName, nErr, strerror(nErr),
                   desc_.pszOpenName, __LINE__);
        }
        return nullptr;
    }
    if (nFirstF != 0) {
        desc_.pfInitialise(pvShm);
        nInitFlag_ = 1;
    } else {
        nInitFlag_ = 0;
    }
    pvShm_.store(pvShm, std::memory_order_release);
    nShmId_.store(nId, std::memory_order_release);
    return pvShm;
}

bool HafShmTable::superseded(int nId) {
    shmid_ds stDs;
    if (shmctl(nId, IPC_STAT, &stDs) != 0) return errno == EINVAL || errno == EIDRM;
    if ((stDs.shm_perm.mode & SHM_DEST) != 0) return true;
    char szKeyFile[HAF_KEY_PATH_SIZE + 8];
    makeShmKeyFile_Haf(key(), szKeyFile, sizeof(szKeyFile));
    key_t nKey = ftok(szKeyFile, 0);
    int nKeyId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
    // A key that names nothing just now leaves the attached segment be.
    return nKeyId >= 0 && nKeyId != nId;
}

void *HafShmTable::current() {
    int nId = nShmId_.load(std::memory_order_acquire);
    void *pvShm = shm();
    if (nId < 0) return pvShm;  // never attached: nothing to compare with
    if (pvShm != nullptr && !superseded(nId)) return pvShm;
    return reattach();
}

void *HafShmTable::reattach() {
    BoundedFlag busy(bReattaching_);
    if (!busy.owned()) return shm();
    // Another thread may have attached the new segment meanwhile.
    int nOldId = nShmId_.load(std::memory_order_acquire);
    void *pvOld = shm();
    if (pvOld != nullptr && !superseded(nOldId)) return pvOld;
    char szKey[HAF_KEY_PATH_SIZE];
    StrCpy(szKey, key(), sizeof(szKey));
    int nNewId = -1;
    void *pvNew = attachExisting(szKey, desc_.nSize, &nNewId);
    // No new table yet: a decision reads it as missing, while the readers
    // that do not look keep the old one rather than none.
    if (pvNew == nullptr) return nullptr;
    pvShm_.store(pvNew, std::memory_order_release);
    nShmId_.store(nNewId, std::memory_order_release);
    return pvNew;
}

// ---------------------------------------------------------------------------
// Segments

void *HafShmOpenReadOnly(const char *pszKeyFile, int nSize, int *pnFirstF) {
    return HafShmOpenReadOnly(pszKeyFile, nSize, pnFirstF, nullptr);
}

void *HafShmOpenReadOnly(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnId) {
    if (pszKeyFile == nullptr || pszKeyFile[0] == '\0') {
        SET_ERROR(kErrInvalid, "Invalid KeyFile parameter");
        return nullptr;
    }
    if (nSize <= 0) {
        SET_ERROR(kErrInvalid, "Invalid Shm Size Parameter");
        return nullptr;
    }
    char szKeyFile[HAF_KEY_PATH_SIZE + 8];
    makeShmKeyFile_Haf(pszKeyFile, szKeyFile, sizeof(szKeyFile));
    key_t nKey = ftok(szKeyFile, 0);
    if (nKey == -1) {
        SET_ERROR(kErrInvalid, "Shm Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    long nOldBytes = segmentBytes(shmget(nKey, 0, 0));
    if (nOldBytes >= 0 && nOldBytes != nSize) {
        SET_ERROR(kErrInvalid, "Shm Size Mismatched (%s/%d)", pszKeyFile,
                  static_cast<int>(nOldBytes));
        return nullptr;
    }
    bool bCreated = false;
    int nId = getOrCreateSegment(nKey, nSize, &bCreated);
    if (bCreated) {
        ShmGiveKeyFileGroup(nId, pszKeyFile, szKeyFile);
    } else if (nId >= 0 && ShmCheckOwner(pszKeyFile, nId) < 0) {
        return nullptr;
    }
    void *pvShm = nId < 0 ? reinterpret_cast<void *>(-1) : shmat(nId, nullptr, 0);
    if (pvShm == reinterpret_cast<void *>(-1)) {
        SET_ERROR(kErrInvalid, "Shared Memory Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    // No fill: the kernel zeroes a new segment, and a peer that attached it
    // the moment it existed may already have written into it.
    if (pnFirstF != nullptr) *pnFirstF = bCreated ? 1 : 0;
    if (pnId != nullptr) *pnId = nId;
    return pvShm;
}

int SharedCreate(const char *pszKeyFile, int nSize, int *pnKey, int *pnFirstF) {
    if (pszKeyFile == nullptr || nSize <= 0) return -1;
    // Through the descriptor: a link planted at the name is never followed.
    int nFd = open(pszKeyFile, O_CREAT | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kTableMode);
    if (nFd < 0) return -3;
    int nMode = fchmod(nFd, kTableMode);
    close(nFd);
    if (nMode != 0) return -4;
    key_t nKey = ftok(pszKeyFile, 0);
    if (nKey == -1) return -2;
    if (pnKey != nullptr) *pnKey = static_cast<int>(nKey);
    int nId = shmget(nKey, static_cast<size_t>(nSize), 0);
    if (nId >= 0) {
        if (pnFirstF != nullptr) *pnFirstF = 0;
        return nId;
    }
    if (pnFirstF != nullptr) *pnFirstF = 1;
    return shmget(nKey, static_cast<size_t>(nSize), IPC_CREAT | kTableMode);
}

// ---------------------------------------------------------------------------
// Process list

void ProcMngInfoHAF::Clear() {
    nCurStat = 0;
    nPId = 0;
    memset(&client_addr, 0, sizeof(client_addr));
    client_addr_size = 0;
    tStartTime = 0;
    tDownTime = 0;
    nDownCnt = 0;
    tLastMsg = 0;
    nMaxThread = 0;
    nAliveThread = 0;
    nDownThread = 0;
    nAbnormalTermCnt = 0;
    nKIllCnt = 0;
    nPPid = 0;
    priority = 0;
    nice = 0;
    utime = 0;
    stime = 0;
    starttime = 0;
    vsize = 0;
    nCputime = 0;
}

ProcListHAF *Init_HafProcess(const char *pcKeyPath, int nCreateFlag) {
    return static_cast<ProcListHAF *>(gProcList.init(pcKeyPath, nCreateFlag));
}

ProcListHAF *careateHafProcShm(int nCreateFlag) {
    return static_cast<ProcListHAF *>(gProcList.open(nCreateFlag));
}

char *getDefaultKetFileHafProcessList() { return gProcList.defaultKey(); }
const char *getKetFileHafProcessList() { return gProcList.key(); }
ProcListHAF *getHafProcShm() { return static_cast<ProcListHAF *>(gProcList.shm()); }
ProcListHAF *currentHafProcShm() { return static_cast<ProcListHAF *>(gProcList.current()); }
int getHafProcShmInitFlag() { return gProcList.initFlag(); }
int getHafProcShmInitFlag(int nFlag) { return gProcList.setInitFlag(nFlag); }
