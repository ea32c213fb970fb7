// System V shared-memory segments named by a key file.
#include "ipc/shmlib.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/util.h"
#include "file/file.h"

// Every failure of an opening is recorded under the name of the operation the caller asked for.
#define SHM_FAIL(...) __Set_Error(ERR_INVALID, pszOp, __LINE__, __VA_ARGS__)

namespace {

constexpr int ERR_INVALID = 22;
constexpr const char *KEY_SUFFIX = ".shm";
constexpr mode_t KEY_DIR_MODE = 0755;

bool Is_Private(mode_t nMode) {
    return (nMode & S_IRWXO) == 0;
}

std::string UserText(uid_t nUid) {
    char szBuf[1024];
    passwd stPw;
    passwd *pstPw = nullptr;
    std::string text = std::to_string(nUid);
    if (getpwuid_r(nUid, &stPw, szBuf, sizeof(szBuf), &pstPw) == 0 && pstPw != nullptr)
        text += std::string(" (") + pstPw->pw_name + ")";
    return text;
}

// Root, the caller's user and, below the runtime root, that root's owner (the HA master's user):
// anybody else could rewrite the segment, or choose its group, at any time.
bool ShmTrustedOwner(const char *pszKeyFile, uid_t nUid) {
    if (nUid == 0 || nUid == geteuid()) return true;
    const char *pcRoot = Get_OrvoTmpRoot();
    size_t unRoot = strlen(pcRoot);
    bool bBelowRoot = strncmp(pszKeyFile, pcRoot, unRoot) == 0 && pszKeyFile[unRoot] == '/';
    struct stat stRoot;
    return bBelowRoot && stat(pcRoot, &stRoot) == 0 && stRoot.st_uid == nUid;
}

int ShmCheckOwner(const char *pszKeyFile, int nShmId) {
    struct shmid_ds stDs;
    if (shmctl(nShmId, IPC_STAT, &stDs) != 0) return 0;  // the attach reports it
    if (ShmTrustedOwner(pszKeyFile, stDs.shm_perm.uid) &&
        ShmTrustedOwner(pszKeyFile, stDs.shm_perm.cuid))
        return 0;
    SET_ERROR(ERR_INVALID, "Shm Owner Untrusted (%s: owner %s, creator %s)", pszKeyFile,
              UserText(stDs.shm_perm.uid).c_str(), UserText(stDs.shm_perm.cuid).c_str());
    return -1;
}

bool MakeKeyDirectories(const char *pszOp, const char *pszKeyFile) {
    std::string failed;
    if (Make_ParentDirectories(pszKeyFile, KEY_DIR_MODE, false, &failed) == 0) return true;
    SHM_FAIL("Key Path Create Fail (KeyFilePath[%s]/Dir[%s])", pszKeyFile,
             failed.substr(failed.find_last_of('/') + 1).c_str());
    return false;
}

// Takes the group of a set-group-ID folder, so that who may use the segment does not depend on
// which process came first.
void GiveFolderGroup(int nFd, const char *pszShmFile) {
    std::string folder(pszShmFile);
    size_t unSlash = folder.find_last_of('/');
    folder = unSlash == std::string::npos ? "." : unSlash == 0 ? "/" : folder.substr(0, unSlash);
    struct stat stFolder;
    if (stat(folder.c_str(), &stFolder) != 0 || (stFolder.st_mode & S_ISGID) == 0) return;
    if (fchown(nFd, static_cast<uid_t>(-1), stFolder.st_gid) != 0) {
        // Left in its group: the segment follows the key file's group either way.
    }
}

// Never through a link. A private key file must be a regular file of a trusted owner, as its owner
// decides the segment's group; one still open to others is narrowed through a descriptor.
int SettleKeyFile(const char *pszOp, const char *pszKeyFile, const char *pszShmFile, mode_t nMode,
                  bool bVet) {
    struct stat stStat;
    if (lstat(pszShmFile, &stStat) != 0) {
        int nFd = open(pszShmFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, nMode);
        if (nFd < 0 && errno != EEXIST) {
            SHM_FAIL("Shm Create Fail (%s)", pszKeyFile);
            return -1;
        }
        int nRet = nFd >= 0 ? fchmod(nFd, nMode) : 0;
        if (nFd >= 0) close(nFd);
        if (nRet < 0) {
            SHM_FAIL("Shm Chomd Fail");
            return -1;
        }
    }
    if (!bVet || !Is_Private(nMode)) return 0;
    int nFd = open(pszShmFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (nFd < 0 || fstat(nFd, &stStat) != 0 || !S_ISREG(stStat.st_mode)) {
        if (nFd >= 0) close(nFd);
        SHM_FAIL("Shm Key File Untrusted (%s: not a regular file)", pszShmFile);
        return -1;
    }
    int nRet = 0;
    if (!ShmTrustedOwner(pszKeyFile, stStat.st_uid)) {
        SHM_FAIL("Shm Key File Untrusted (%s: owner %s)", pszShmFile,
                 UserText(stStat.st_uid).c_str());
        nRet = -1;
    } else if ((stStat.st_mode & S_IRWXO) != 0) {
        if (fchmod(nFd, nMode) == 0) {
            GiveFolderGroup(nFd, pszShmFile);
        } else if ((stStat.st_mode & S_IWOTH) != 0) {
            SHM_FAIL("Shm Key File Untrusted (%s: writable by others, owner %s)", pszShmFile,
                     UserText(stStat.st_uid).c_str());
            nRet = -1;
        }
    }
    close(nFd);
    return nRet;
}

// A new private segment takes its key file's group, so that who may use it does not depend on
// which process came first. One open to others is narrowed to nMode (bNarrow) in that group.
int SettleSegment(const char *pszOp, const char *pszKeyFile, const char *pszShmFile, int nShmId,
                  mode_t nMode, bool bCreated, bool bNarrow) {
    struct shmid_ds stDs;
    if (shmctl(nShmId, IPC_STAT, &stDs) != 0) return 0;  // the attach reports it
    bNarrow = bNarrow && !bCreated && (stDs.shm_perm.mode & S_IRWXO) != 0;
    if (!bCreated && !bNarrow) return 0;
    struct stat stKey;
    if (lstat(pszShmFile, &stKey) == 0 && ShmTrustedOwner(pszKeyFile, stKey.st_uid))
        stDs.shm_perm.gid = stKey.st_gid;
    if (bNarrow)
        stDs.shm_perm.mode = static_cast<unsigned short>((stDs.shm_perm.mode & ~0777u) | nMode);
    if (shmctl(nShmId, IPC_SET, &stDs) == 0 || !bNarrow) return 0;
    SHM_FAIL("Shm Mode Open To Others (%s: mode %o)", pszKeyFile,
             static_cast<unsigned int>(stDs.shm_perm.mode & 0777u));
    return -1;
}

}  // namespace

std::string ShmKeyFileName(const char *pszKeyFile) {
    std::string name(pszKeyFile);
    size_t unSuffix = strlen(KEY_SUFFIX);
    bool bHasSuffix =
        name.size() >= unSuffix && name.compare(name.size() - unSuffix, unSuffix, KEY_SUFFIX) == 0;
    return bHasSuffix ? name : name + KEY_SUFFIX;
}

void *ShmOpen(const char *pszKeyFile, int nSize) {
    return ShmOpen(pszKeyFile, nSize, nullptr, nullptr, 0);
}

void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF) {
    return ShmOpen(pszKeyFile, nSize, pnFirstF, nullptr, 0);
}

void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId) {
    return ShmOpen(pszKeyFile, nSize, pnFirstF, pnShmId, 0);
}

void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF) {
    return ShmOpen(pszKeyFile, nSize, pnFirstF, pnShmId, nReadOnlyF, SHM_MODE_SHARED);
}

void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF,
              mode_t nMode) {
    if (pszKeyFile != nullptr && strlen(pszKeyFile) > static_cast<size_t>(SHM_KEY_PATH_MAX)) {
        SET_ERROR(ERR_INVALID, "Invalid KeyFile parameter");
        return nullptr;
    }
    return ShmOpenWith(__func__, pszKeyFile, nSize, nReadOnlyF != 0 ? SHM_REFUSE_RESIZE : 0u, nMode,
                       pnFirstF, pnShmId);
}

void *ShmOpenWith(const char *pszOp, const char *pszKeyFile, int nSize, unsigned unHow,
                  mode_t nMode, int *pnFirstF, int *pnShmId) {
    if (pszKeyFile == nullptr || pszKeyFile[0] == '\0') {
        SHM_FAIL("Invalid KeyFile parameter");
        return nullptr;
    }
    if (nSize <= 0) {
        SHM_FAIL("Invalid Shm Size Parameter");
        return nullptr;
    }
    std::string shmFile = ShmKeyFileName(pszKeyFile);
    const char *pszShmFile = shmFile.c_str();
    bool bAsFound = (unHow & SHM_AS_FOUND) != 0;
    if ((unHow & SHM_REFUSE_RESIZE) == 0 && !MakeKeyDirectories(pszOp, pszKeyFile)) return nullptr;
    if ((unHow & SHM_NO_KEY_FILE) == 0 &&
        SettleKeyFile(pszOp, pszKeyFile, pszShmFile, nMode, !bAsFound) < 0)
        return nullptr;

    key_t nKey = ftok(pszShmFile, 0);
    int nShmId = nKey == -1 ? -1 : shmget(nKey, 0, 0);
    struct shmid_ds stDs;
    bool bFound = nShmId >= 0 && shmctl(nShmId, IPC_STAT, &stDs) == 0;
    if (nKey == -1 || (!bFound && (unHow & SHM_NO_CREATE) != 0)) {
        SHM_FAIL("Shm Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    int nOldSize = bFound ? static_cast<int>(stDs.shm_segsz) : nSize;
    if (nOldSize != nSize) {
        if ((unHow & SHM_REFUSE_RESIZE) != 0) {
            SHM_FAIL("Shm Size Mismatched (%s/%d)", pszKeyFile, nOldSize);
            return nullptr;
        }
        shmctl(nShmId, IPC_RMID, nullptr);  // attached processes keep their old copy
    }

    bool bCreated = false;
    size_t unSize = static_cast<size_t>(nSize);
    nShmId = shmget(nKey, unSize, 0);
    if (nShmId < 0 && (unHow & SHM_NO_CREATE) == 0) {
        // Exclusive: only one racing process creates, and the other must not zero what it fills.
        nShmId = shmget(nKey, unSize, IPC_CREAT | IPC_EXCL | static_cast<int>(nMode & 0777));
        bCreated = nShmId >= 0;
        if (!bCreated && errno == EEXIST) nShmId = shmget(nKey, unSize, 0);
    }
    if (nShmId < 0) {
        SHM_FAIL("Shared Memory Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    // A private segment whose owner or creator is a third user, who could rewrite it, is refused.
    if (Is_Private(nMode) &&
        ((!bCreated && ShmCheckOwner(pszKeyFile, nShmId) < 0) ||
         SettleSegment(pszOp, pszKeyFile, pszShmFile, nShmId, nMode, bCreated, !bAsFound) < 0))
        return nullptr;

    // No fill here: the kernel zeroes a new segment, and a peer may already have written into it.
    void *pvAddr = shmat(nShmId, nullptr, 0);
    if (pvAddr == reinterpret_cast<void *>(-1)) {
        SHM_FAIL(bAsFound ? "Shared Memory Open Fail (%s)" : "Shared Memory Attach Fail (%s)",
                 pszKeyFile);
        return nullptr;
    }
    if (pnShmId != nullptr) *pnShmId = nShmId;
    if (pnFirstF != nullptr) *pnFirstF = bCreated ? 1 : 0;
    return pvAddr;
}
