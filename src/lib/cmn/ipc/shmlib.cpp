// System V shared-memory segments named by a key file.
#include "ipc/shmlib.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/error.h"
#include "base/string.h"

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

bool Is_Mine(uid_t nUid) { return nUid == 0 || nUid == geteuid(); }

// Created without following a link planted at the name, and given exactly
// nMode whatever the umask.
// A key file narrowed from an earlier release's takes the group that a
// set-group-ID folder hands down to the files made in it, as a new one would.
void GiveFolderGroup(const char *pszShmFile) {
    std::string folder(pszShmFile);
    size_t unSlash = folder.find_last_of('/');
    folder = unSlash == std::string::npos ? "." : unSlash == 0 ? "/" : folder.substr(0, unSlash);
    struct stat stFolder;
    if (stat(folder.c_str(), &stFolder) != 0 || (stFolder.st_mode & S_ISGID) == 0) return;
    if (lchown(pszShmFile, static_cast<uid_t>(-1), stFolder.st_gid) != 0) {
        // Left in its group: the segment follows the key file's group either way.
    }
}

int MakeKeyFile(const char *pszKeyFile, const char *pszShmFile, mode_t nMode) {
    struct stat stStat;
    if (lstat(pszShmFile, &stStat) == 0) {
        // A key file still open to others, left by an earlier release.
        if (Is_Private(nMode) && S_ISREG(stStat.st_mode) && (stStat.st_mode & S_IRWXO) != 0 &&
            (geteuid() == 0 || stStat.st_uid == geteuid())) {
            chmod(pszShmFile, nMode);
            GiveFolderGroup(pszShmFile);
        }
        return 0;
    }
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

// A new private segment belongs to the key file's group, so that the group
// that may use the registry does not depend on which process came first.
void GiveKeyFileGroup(int nShmId, const char *pszShmFile) {
    struct stat stKey;
    struct shmid_ds stDs;
    if (stat(pszShmFile, &stKey) != 0 || shmctl(nShmId, IPC_STAT, &stDs) != 0) return;
    if (stDs.shm_perm.gid == stKey.st_gid) return;
    stDs.shm_perm.gid = stKey.st_gid;
    shmctl(nShmId, IPC_SET, &stDs);
}

// An existing private segment is used only when neither its owner nor its
// creator is a third user, who could rewrite it at any time. One still open
// to others is narrowed.
int CheckPrivateSegment(const char *pszKeyFile, const char *pszShmFile, int nShmId,
                        mode_t nMode) {
    struct shmid_ds stDs;
    if (shmctl(nShmId, IPC_STAT, &stDs) != 0) return 0;  // the attach reports it
    if (!Is_Mine(stDs.shm_perm.uid) || !Is_Mine(stDs.shm_perm.cuid)) {
        SET_ERROR(ERR_INVALID, "Shm Owner Untrusted (%s: owner %d, creator %d)", pszKeyFile,
                  static_cast<int>(stDs.shm_perm.uid), static_cast<int>(stDs.shm_perm.cuid));
        return -1;
    }
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
    if (MakeKeyFile(pszKeyFile, szShmFile, nMode) < 0) return nullptr;

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
            GiveKeyFileGroup(nShmId, szShmFile);
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
