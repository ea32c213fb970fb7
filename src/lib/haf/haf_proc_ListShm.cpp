// The process-list table, and the segment opening and attach sequence of the master's three tables.
#include "haf/haf_proc_ListShm.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/string.h"
#include "haf/haf_proc_util.h"
#include "haf_lib_state.h"
#include "haf_shm_table.h"
#include "ipc/shmlib.h"

namespace {

// Closed to others: whoever may write a table can steer the node's role.
constexpr mode_t kTableMode = SHM_MODE_PRIVATE;
// A segment of another size is refused (other processes may have it attached); key file and modes
// stay as the master left them.
constexpr unsigned kTableHow = SHM_REFUSE_RESIZE | SHM_AS_FOUND;
constexpr int kReattachWaitMs = 200;  // about the longest wait for another re-attach

void initialiseProcList(void *pvShm) { static_cast<ProcListHAF *>(pvShm)->Clear(); }

constexpr HafShmTableDesc kProcListDesc = {
    "processList",
    static_cast<int>(sizeof(ProcListHAF)),
    "Init_HafProcess",
    "getDefaultKetFileHafProcessList",
    "careateHafProcShm",
    "_gszKeyProcessList",
    initialiseProcList,
};

HafShmTable gProcList(kProcListDesc);

}  // namespace

void HafShmTable::makeDefaultPath(char *pszBuf, int nLen) const {
    char szDir[HAF_KEY_PATH_SIZE];
    getShmDirPath_Haf(szDir, sizeof(szDir));
    snprintf(pszBuf, static_cast<size_t>(nLen), "%s%s", szDir, desc_.pszKeyName);
}

void HafShmTable::printDirFail(const char *pszOp) const {
    int nErr = errno;
    printf("%s Fail makefulldir[%s] %d:%s %s:%d)\n",
           desc_.pszKeyVar != nullptr ? desc_.pszKeyVar : pszOp, szKey_, nErr, strerror(nErr),
           pszOp, __LINE__);
}

char *HafShmTable::defaultKey() {
    if (szKey_[0] == '\0') {
        makeDefaultPath(szKey_, sizeof(szKey_));
        if (makeRuntimeDirs_Haf(szKey_) != 0) printDirFail(desc_.pszDefaultName);
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
    if (makeRuntimeDirs_Haf(szKey_) != 0) printDirFail(desc_.pszInitName);
    return open(nCreateFlag);
}

void *HafShmTable::open(int nCreateFlag) {
    std::string key = this->key();
    int nFirstF = 0;
    int nId = -1;
    void *pvShm = nullptr;
    // A missing segment is created, one of another size refused: its other users would keep a copy
    // nobody updates.
    unsigned unHow = kTableHow | (nCreateFlag == 0 ? SHM_NO_KEY_FILE : 0u);
    if (nCreateFlag == 0 || makeRuntimeDirs_Haf(key.c_str()) == 0)
        pvShm = ShmOpenWith("HafShmOpenReadOnly", key.c_str(), desc_.nSize, unHow, kTableMode,
                            &nFirstF, &nId);
    if (pvShm == nullptr) {
        int nErr = errno;
        std::string head = desc_.pszOpenName;
        if (desc_.pszKeyVar != nullptr)
            head += " szKey(" + key + ") nSize(" + std::to_string(desc_.nSize) + ")";
        printf("%s Fail %d:%s %s:%d)\n", head.c_str(), nErr, strerror(nErr), desc_.pszOpenName,
               __LINE__);
        return nullptr;
    }
    nInitFlag_ = nFirstF;
    if (nFirstF != 0) desc_.pfInitialise(pvShm);
    publish(pvShm, nId);
    return pvShm;
}

bool HafShmTable::kept() {
    int nId = nShmId_.load(std::memory_order_acquire);
    if (nId < 0) return true;
    if (shm() == nullptr) return false;
    shmid_ds stDs;
    if (shmctl(nId, IPC_STAT, &stDs) != 0) return errno != EINVAL && errno != EIDRM;
    if ((stDs.shm_perm.mode & SHM_DEST) != 0) return false;
    key_t nKey = ftok(ShmKeyFileName(key()).c_str(), 0);
    int nKeyId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
    // A key that names nothing just now leaves the attached segment be.
    return nKeyId < 0 || nKeyId == nId;
}

void *HafShmTable::current() {
    if (kept()) return shm();
    // A thread on its way out must not wait long for one that is stuck, or for itself.
    for (int i = 1; bReattaching_.exchange(true); ++i) {
        if (i >= kReattachWaitMs) return shm();
        usleep(1000);
    }
    void *pvShm = shm();
    if (!kept()) {  // else another thread has attached the new segment meanwhile
        std::string key = this->key();
        int nId = -1;
        pvShm = ShmOpenWith(__func__, key.c_str(), desc_.nSize,
                            kTableHow | SHM_NO_KEY_FILE | SHM_NO_CREATE, kTableMode, nullptr, &nId);
        // Readers that do not look keep the old table rather than none.
        if (pvShm != nullptr) publish(pvShm, nId);
    }
    bReattaching_.store(false);
    return pvShm;
}

void *HafShmOpenReadOnly(const char *pszKeyFile, int nSize, int *pnFirstF) {
    return ShmOpenWith(__func__, pszKeyFile, nSize, kTableHow | SHM_NO_KEY_FILE, kTableMode,
                       pnFirstF, nullptr);
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

void ProcListHAF::Clear() {
    nProcCnt = 0;
    memset(stInfo, 0, sizeof(stInfo));
    for (ProcMngInfoHAF &stEntry : stCont) stEntry.Clear();
    nReloadState = 0;
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
