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
#include "haf_shm_table.h"
#include "ipc/shmlib.h"

namespace {

constexpr int kErrInvalid = 22;
constexpr mode_t kKeyFileMode = 0666;
constexpr unsigned int kKeyDirMode = 0755;
constexpr const char *kShmSuffix = ".shm";

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
    false,
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
    nId = shmget(nKey, unSize, IPC_CREAT | IPC_EXCL | kKeyFileMode);
    if (nId >= 0) {
        *pbCreated = true;
        return nId;
    }
    return errno == EEXIST ? shmget(nKey, unSize, 0) : -1;
}

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
        if (makefulldir(szKey_, kKeyDirMode) != 0) {
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
    if (makefulldir(szKey_, kKeyDirMode) != 0) {
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
    void *pvShm = nullptr;
    if (nCreateFlag != 0) {
        // Creates the key file and a missing segment, but refuses (never
        // resizes) a segment of another size: other processes may have it
        // attached and would go on with a copy nobody updates.
        makefulldir(szKey, kKeyDirMode);
        pvShm = ShmOpen(szKey, desc_.nSize, &nFirstF, nullptr, 1);
        if (pvShm != nullptr) chmod(szKeyFile, kKeyFileMode);
    } else {
        pvShm = HafShmOpenReadOnly(szKey, desc_.nSize, &nFirstF);
    }
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
    if (desc_.bChmodAfterOpen) chmod(szKeyFile, kKeyFileMode);
    if (nFirstF != 0) {
        desc_.pfInitialise(pvShm);
        nInitFlag_ = 1;
    } else {
        nInitFlag_ = 0;
    }
    pvShm_ = pvShm;
    return pvShm;
}

// ---------------------------------------------------------------------------
// Segments

void *HafShmOpenReadOnly(const char *pszKeyFile, int nSize, int *pnFirstF) {
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
    int nOldId = shmget(nKey, 0, 0);
    shmid_ds stDs;
    if (nOldId >= 0 && shmctl(nOldId, IPC_STAT, &stDs) == 0 &&
        static_cast<int>(stDs.shm_segsz) != nSize) {
        SET_ERROR(kErrInvalid, "Shm Size Mismatched (%s/%d)", pszKeyFile,
                  static_cast<int>(stDs.shm_segsz));
        return nullptr;
    }
    bool bCreated = false;
    int nId = getOrCreateSegment(nKey, nSize, &bCreated);
    void *pvShm = nId < 0 ? reinterpret_cast<void *>(-1) : shmat(nId, nullptr, 0);
    if (pvShm == reinterpret_cast<void *>(-1)) {
        SET_ERROR(kErrInvalid, "Shared Memory Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    // No fill: the kernel zeroes a new segment, and a peer that attached it
    // the moment it existed may already have written into it.
    if (pnFirstF != nullptr) *pnFirstF = bCreated ? 1 : 0;
    return pvShm;
}

int SharedCreate(const char *pszKeyFile, int nSize, int *pnKey, int *pnFirstF) {
    if (pszKeyFile == nullptr || nSize <= 0) return -1;
    int nFd = open(pszKeyFile, O_CREAT | O_WRONLY, kKeyFileMode);
    if (nFd < 0) return -3;
    close(nFd);
    if (chmod(pszKeyFile, kKeyFileMode) != 0) return -4;
    key_t nKey = ftok(pszKeyFile, 0);
    if (nKey == -1) return -2;
    if (pnKey != nullptr) *pnKey = static_cast<int>(nKey);
    int nId = shmget(nKey, static_cast<size_t>(nSize), 0);
    if (nId >= 0) {
        if (pnFirstF != nullptr) *pnFirstF = 0;
        return nId;
    }
    if (pnFirstF != nullptr) *pnFirstF = 1;
    return shmget(nKey, static_cast<size_t>(nSize), IPC_CREAT | kKeyFileMode);
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
int getHafProcShmInitFlag() { return gProcList.initFlag(); }
int getHafProcShmInitFlag(int nFlag) { return gProcList.setInitFlag(nFlag); }
