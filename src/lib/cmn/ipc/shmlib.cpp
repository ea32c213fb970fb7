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
#include "base/string.h"
#include "base/util.h"

namespace {

constexpr int ERR_INVALID = 22;
constexpr const char *KEY_SUFFIX = ".shm";
constexpr mode_t KEY_DIR_MODE = 0755;

bool EndsWith(const char *pcText, const char *pcSuffix) {
    size_t unLen = strlen(pcText);
    size_t unSuffixLen = strlen(pcSuffix);
    return unLen >= unSuffixLen && strcmp(pcText + unLen - unSuffixLen, pcSuffix) == 0;
}

bool Is_Dir(const char *pcPath) {
    struct stat stStat;
    return stat(pcPath, &stStat) == 0 && S_ISDIR(stStat.st_mode);
}

// Creates every missing directory above the key file, never the key file's own
// name. Works on path prefixes instead of changing the working directory, so
// other threads' relative paths stay valid meanwhile.
int MakeKeyDirectories(const char *pszKeyFile) {
    char szPrefix[SHM_KEY_PATH_MAX + 1];
    StrCpy(szPrefix, pszKeyFile, sizeof(szPrefix));
    for (char *pcSlash = strchr(szPrefix + 1, '/'); pcSlash != nullptr;
         pcSlash = strchr(pcSlash + 1, '/')) {
        *pcSlash = '\0';
        bool bMade = mkdir(szPrefix, KEY_DIR_MODE) == 0 || (errno == EEXIST && Is_Dir(szPrefix));
        if (!bMade) {
            const char *pcLast = strrchr(szPrefix, '/');
            SET_ERROR(ERR_INVALID, "Key Path Create Fail (KeyFilePath[%s]/Dir[%s])", pszKeyFile,
                      pcLast != nullptr ? pcLast + 1 : szPrefix);
            return -1;
        }
        *pcSlash = '/';
    }
    return 0;
}

bool Is_Private(mode_t nMode) { return (nMode & S_IRWXO) == 0; }

// "<uid> (<name>)", for messages that name an owner.
std::string UserText(uid_t nUid) {
    char szBuf[1024];
    passwd stPw;
    passwd *pstPw = nullptr;
    std::string text = std::to_string(nUid);
    if (getpwuid_r(nUid, &stPw, szBuf, sizeof(szBuf), &pstPw) == 0 && pstPw != nullptr)
        text += std::string(" (") + pstPw->pw_name + ")";
    return text;
}

// The key file's folder gets a private segment's group: a set-group-ID
// folder hands its group down, so that who may use the registry does not
// depend on which process came first.
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

// A private key file must be a regular file of a trusted owner: whoever owns
// it decides the segment's group. One still open to others is narrowed
// through a descriptor, so that a link swapped in meanwhile is never
// followed; one that cannot be narrowed is refused.
int CheckPrivateKeyFile(const char *pszKeyFile, const char *pszShmFile, mode_t nMode) {
    int nFd = open(pszShmFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat stStat;
    if (nFd < 0 || fstat(nFd, &stStat) != 0 || !S_ISREG(stStat.st_mode)) {
        if (nFd >= 0) close(nFd);
        SET_ERROR(ERR_INVALID, "Shm Key File Untrusted (%s: not a regular file)", pszShmFile);
        return -1;
    }
    int nRet = 0;
    if (!ShmTrustedOwner(pszKeyFile, stStat.st_uid)) {
        SET_ERROR(ERR_INVALID, "Shm Key File Untrusted (%s: owner %s)", pszShmFile,
                  UserText(stStat.st_uid).c_str());
        nRet = -1;
    } else if ((stStat.st_mode & S_IRWXO) != 0) {
        if (fchmod(nFd, nMode) == 0) {
            GiveFolderGroup(nFd, pszShmFile);
        } else if ((stStat.st_mode & S_IWOTH) != 0) {
            SET_ERROR(ERR_INVALID, "Shm Key File Untrusted (%s: writable by others, owner %s)",
                      pszShmFile, UserText(stStat.st_uid).c_str());
            nRet = -1;
        }
    }
    close(nFd);
    return nRet;
}

}  // namespace

int ShmMakeKeyFile(const char *pszKeyFile, const char *pszShmFile, mode_t nMode) {
    struct stat stStat;
    if (lstat(pszShmFile, &stStat) == 0) return 0;
    int nFd = open(pszShmFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, nMode);
    if (nFd < 0 && errno != EEXIST) {
        SET_ERROR(ERR_INVALID, "Shm Create Fail (%s)", pszKeyFile);
        return -1;
    }
    if (nFd >= 0) {
        int nRet = fchmod(nFd, nMode);
        close(nFd);
        if (nRet < 0) {
            SET_ERROR(ERR_INVALID, "Shm Chomd Fail");
            return -1;
        }
    }
    return 0;
}

bool ShmTrustedOwner(const char *pszKeyFile, uid_t nUid) {
    if (nUid == 0 || nUid == geteuid()) return true;
    const char *pcRoot = Get_OrvoTmpRoot();
    size_t unRoot = strlen(pcRoot);
    bool bBelowRoot = strncmp(pszKeyFile, pcRoot, unRoot) == 0 && pszKeyFile[unRoot] == '/';
    struct stat stRoot;
    return bBelowRoot && stat(pcRoot, &stRoot) == 0 && stRoot.st_uid == nUid;
}

void ShmGiveKeyFileGroup(int nShmId, const char *pszKeyFile, const char *pszShmFile) {
    struct stat stKey;
    struct shmid_ds stDs;
    if (lstat(pszShmFile, &stKey) != 0 || !ShmTrustedOwner(pszKeyFile, stKey.st_uid) ||
        shmctl(nShmId, IPC_STAT, &stDs) != 0 || stDs.shm_perm.gid == stKey.st_gid)
        return;
    stDs.shm_perm.gid = stKey.st_gid;
    shmctl(nShmId, IPC_SET, &stDs);
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

namespace {

// An existing private segment is used only when neither its owner nor its
// creator is a third user, who could rewrite it at any time. One still open
// to others is narrowed.
int CheckPrivateSegment(const char *pszKeyFile, const char *pszShmFile, int nShmId,
                        mode_t nMode) {
    if (ShmCheckOwner(pszKeyFile, nShmId) < 0) return -1;
    struct shmid_ds stDs;
    if (shmctl(nShmId, IPC_STAT, &stDs) != 0) return 0;  // the attach reports it
    if ((stDs.shm_perm.mode & S_IRWXO) == 0) return 0;
    stDs.shm_perm.mode = static_cast<unsigned short>((stDs.shm_perm.mode & ~0777u) | nMode);
    // Its group as a new segment's: the members of the key file's group, who
    // could use it while it was open to all, still can.
    struct stat stKey;
    if (stat(pszShmFile, &stKey) == 0) stDs.shm_perm.gid = stKey.st_gid;
    if (shmctl(nShmId, IPC_SET, &stDs) != 0) {
        SET_ERROR(ERR_INVALID, "Shm Mode Open To Others (%s: mode %o)", pszKeyFile,
                  static_cast<unsigned int>(stDs.shm_perm.mode & 0777u));
        return -1;
    }
    return 0;
}

// A segment of another size is removed (attached processes keep their old
// copy), or refused in read-only mode.
int DropMismatchedSegment(const char *pszKeyFile, key_t nKey, int nSize, int nReadOnlyF) {
    int nId = shmget(nKey, 0, 0);
    struct shmid_ds stDs;
    if (nId < 0 || shmctl(nId, IPC_STAT, &stDs) < 0) return 0;
    int nOldSize = static_cast<int>(stDs.shm_segsz);
    if (nOldSize == nSize) return 0;
    if (nReadOnlyF != 0) {
        SET_ERROR(ERR_INVALID, "Shm Size Mismatched (%s/%d)", pszKeyFile, nOldSize);
        return -1;
    }
    shmctl(nId, IPC_RMID, nullptr);
    return 0;
}

}  // namespace

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
    if (pszKeyFile == nullptr || pszKeyFile[0] == '\0' ||
        strlen(pszKeyFile) > static_cast<size_t>(SHM_KEY_PATH_MAX)) {
        SET_ERROR(ERR_INVALID, "Invalid KeyFile parameter");
        return nullptr;
    }
    if (nSize <= 0) {
        SET_ERROR(ERR_INVALID, "Invalid Shm Size Parameter");
        return nullptr;
    }

    char szShmFile[SHM_KEY_PATH_MAX + 8];
    if (EndsWith(pszKeyFile, KEY_SUFFIX)) {
        StrCpy(szShmFile, pszKeyFile, sizeof(szShmFile));
    } else {
        SNPrintf(szShmFile, sizeof(szShmFile), "%s%s", pszKeyFile, KEY_SUFFIX);
    }

    if (nReadOnlyF == 0 && MakeKeyDirectories(pszKeyFile) < 0) return nullptr;
    if (ShmMakeKeyFile(pszKeyFile, szShmFile, nMode) < 0) return nullptr;
    if (Is_Private(nMode) && CheckPrivateKeyFile(pszKeyFile, szShmFile, nMode) < 0) return nullptr;

    key_t nKey = ftok(szShmFile, 0);
    if (nKey == -1) {
        SET_ERROR(ERR_INVALID, "Shm Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    if (DropMismatchedSegment(pszKeyFile, nKey, nSize, nReadOnlyF) < 0) return nullptr;

    int nFirstF = 0;
    size_t unSize = static_cast<size_t>(nSize);
    int nShmId = shmget(nKey, unSize, 0);
    if (nShmId < 0) {
        // Exclusive: of two processes racing here only one is the creator.
        nShmId = shmget(nKey, unSize, IPC_CREAT | IPC_EXCL | static_cast<int>(nMode & 0777));
        if (nShmId >= 0) {
            nFirstF = 1;
        } else if (errno == EEXIST) {
            nShmId = shmget(nKey, unSize, 0);
        }
    }
    if (nShmId < 0) {
        SET_ERROR(ERR_INVALID, "Shared Memory Open Fail (%s)", pszKeyFile);
        return nullptr;
    }
    if (Is_Private(nMode)) {
        if (nFirstF == 1) {
            ShmGiveKeyFileGroup(nShmId, pszKeyFile, szShmFile);
        } else if (CheckPrivateSegment(pszKeyFile, szShmFile, nShmId, nMode) < 0) {
            return nullptr;
        }
    }

    void *pvAddr = shmat(nShmId, nullptr, 0);
    if (pvAddr == reinterpret_cast<void *>(-1)) {
        SET_ERROR(ERR_INVALID, "Shared Memory Attach Fail (%s)", pszKeyFile);
        return nullptr;
    }
    // No fill here: the kernel zeroes a new segment, and a peer may already
    // have written into it.

    if (pnShmId != nullptr) *pnShmId = nShmId;
    if (pnFirstF != nullptr) *pnFirstF = nFirstF;
    return pvAddr;
}
