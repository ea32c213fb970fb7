// Read and level changes over the registry segment of another process.
#include "klogctl_registry.h"

#include <grp.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/util.h"

namespace klogctl {

namespace {

constexpr const char *kKeySuffix = ".shm";

std::string NameOf(const char *pcField, size_t unSize) {
    return std::string(pcField, strnlen(pcField, unSize));
}

std::string AccessHint(int nErr, const struct shmid_ds &stDs, const struct stat &stKey) {
    if (nErr != EACCES && nErr != EPERM)
        return "";
    gid_t nGid = stDs.shm_perm.mode != 0 ? stDs.shm_perm.gid : stKey.st_gid;
    const group *pGroup = getgrgid(nGid);
    std::string name = pGroup != nullptr ? pGroup->gr_name : std::to_string(nGid);
    return " (the registry is for root and the members of the group " + name + ")";
}

}  // namespace

std::vector<std::string> RegistryKeyFiles() {
    std::vector<std::string> keys{std::string(Get_OrvoTmpRoot()) + LOG_SHM_KEY_NAME + kKeySuffix};
    const char *pcRoot = getenv(ORVO_TMP_ROOT_ENV);
    if (pcRoot == nullptr || pcRoot[0] == '\0')
        keys.push_back(std::string(LOG_SHM_KEY_FALLBACK) + kKeySuffix);
    return keys;
}

Registry::Registry(bool bWritable) {
    std::string reasons;
    for (const std::string &key : RegistryKeyFiles()) {
        if (Attach(key, bWritable))
            return;
        reasons += (reasons.empty() ? "" : "; ") + error_;
    }
    error_ = reasons;
}

Registry::Registry(const std::string &keyFile, bool bWritable) {
    Attach(keyFile, bWritable);
}

Registry::~Registry() {
    if (pstShm_ != nullptr)
        shmdt(pstShm_);
}

bool Registry::Attach(const std::string &keyFile, bool bWritable) {
    keyFile_ = keyFile;
    struct stat stKey {};
    if (stat(keyFile.c_str(), &stKey) != 0) {
        error_ = errno == ENOENT
                     ? "no log registry at " + keyFile + " (no process has logged there)"
                     : "cannot reach the log registry at " + keyFile + ": " + strerror(errno);
        return false;
    }
    key_t nKey = ftok(keyFile.c_str(), 0);
    int nId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
    if (nId < 0) {
        error_ = "no log registry segment for " + keyFile + ": " + strerror(errno);
        return false;
    }
    struct shmid_ds stDs {};
    if (shmctl(nId, IPC_STAT, &stDs) != 0) {
        int nErr = errno;
        error_ = "cannot read the log registry of " + keyFile + ": " + strerror(nErr) +
                 AccessHint(nErr, stDs, stKey);
        return false;
    }
    if (stDs.shm_segsz != LOG_SHM_SIZE) {
        error_ = "the segment of " + keyFile + " is not a log registry (size " +
                 std::to_string(stDs.shm_segsz) + ")";
        return false;
    }
    void *pvAddr = shmat(nId, nullptr, bWritable ? 0 : SHM_RDONLY);
    if (pvAddr == reinterpret_cast<void *>(-1)) {
        int nErr = errno;
        error_ = "cannot attach the log registry of " + keyFile + ": " + strerror(nErr) +
                 AccessHint(nErr, stDs, stKey);
        return false;
    }
    pstShm_ = static_cast<_ST_LOG_INFORMATION *>(pvAddr);
    error_.clear();
    return true;
}

std::vector<BlockInfo> Registry::Blocks() const {
    std::vector<BlockInfo> blocks;
    int nCount = Count_LogBlocks(*pstShm_);
    for (int i = 0; i < nCount; ++i) {
        __Tag_stLogInfSub &stBlock = pstShm_->stD[i];
        if (stBlock.szBlockName[0] == '\0')
            continue;
        BlockInfo stInfo{i, NameOf(stBlock.szBlockName, sizeof(stBlock.szBlockName)), {}};
        ForEach_LogEntryInUse(
            stBlock.stLogInfo, [&stInfo](unsigned int unEntry, _ST_LOG_LIST &stList) {
                stInfo.sections.push_back({unEntry,
                                           NameOf(stList.szFilePath, sizeof(stList.szFilePath)),
                                           NameOf(stList.szTimeFormat, sizeof(stList.szTimeFormat)),
                                           __atomic_load_n(&stList.unLogLevel, __ATOMIC_RELAXED),
                                           stList.unLogFileCnt, stList.unLogFileSize});
                return true;
            });
        blocks.push_back(std::move(stInfo));
    }
    return blocks;
}

int Registry::FindBlock(const std::string &name) const {
    return Find_LogBlock(*pstShm_, name.c_str());
}

unsigned int Registry::LevelOf(int nBlock) const {
    unsigned int unLevel = 0;
    ForEach_LogEntryInUse(pstShm_->stD[nBlock].stLogInfo,
                        [&unLevel](unsigned int, _ST_LOG_LIST &stList) {
                            unLevel = __atomic_load_n(&stList.unLogLevel, __ATOMIC_RELAXED);
                            return false;
                        });
    return unLevel;
}

// The writers read the word without a lock at every record: one whole store.
void Registry::SetLevel(int nBlock, unsigned int unLevel) {
    ForEach_LogEntryInUse(pstShm_->stD[nBlock].stLogInfo,
                        [unLevel](unsigned int, _ST_LOG_LIST &stList) {
                            __atomic_store_n(&stList.unLogLevel, unLevel, __ATOMIC_RELAXED);
                            return true;
                        });
}

}  // namespace klogctl
