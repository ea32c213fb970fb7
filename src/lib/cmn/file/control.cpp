// File-system changes: directories, opening, deleting, copying, renaming.
#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "file/file.h"

namespace {

constexpr size_t kPathLimit = 1023;
constexpr size_t kCopyBlock = 256;

bool IsNullArg(const void *p, const char *pcName) {
    if (p != nullptr) return false;
    SET_ERROR(EINVAL, "%s is NULL", pcName);
    return true;
}

// The last component too when bLast.
int MakeDirectories(const char *pcPath, unsigned int mMode, bool bLast) {
    if (IsNullArg(pcPath, "pcPath")) return -1;
    std::string path = std::string(pcPath).substr(0, kPathLimit) + (bLast ? "/" : "");
    std::string failed;
    if (Make_ParentDirectories(path.c_str(), mMode, false, &failed) == 0) return 0;
    if (errno == ENOTDIR) {
        SET_ERROR(EEXIST, "Already file[%s]", failed.c_str());
    } else {
        SET_ERROR(errno, "Make directory fail[%s]", failed.c_str());
    }
    return -1;
}

int RemoveEntry(const char *pcPath, const struct stat *, int, struct FTW *) {
    return remove(pcPath) == 0 ? 0 : -1;
}

}  // namespace

// Works on path prefixes, not chdir, so other threads' relative paths stay valid meanwhile.
int Make_ParentDirectories(const char *pcPath, unsigned int mMode, bool bExact,
                           std::string *pFailed) {
    std::string path(pcPath);
    for (size_t unSlash = path.find('/', 1); unSlash != std::string::npos;
         unSlash = path.find('/', unSlash + 1)) {
        if (path[unSlash - 1] == '/') continue;
        std::string dir = path.substr(0, unSlash);
        struct stat st {};
        int nErr = 0;
        if (stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) nErr = ENOTDIR;
        } else if (mkdir(dir.c_str(), mMode) == 0) {
            if (bExact) chmod(dir.c_str(), mMode);  // leaves the process-wide mask alone
        } else {
            nErr = errno;  // a directory made meanwhile by another process will do
            if (nErr == EEXIST && stat(dir.c_str(), &st) == 0)
                nErr = S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
        }
        if (nErr != 0) {
            if (pFailed != nullptr) *pFailed = dir;
            errno = nErr;
            return -1;
        }
    }
    return 0;
}

int __Make_Directory(const char *pcPath, unsigned int mMode) {
    return MakeDirectories(pcPath, mMode, false);
}

int Make_Directory(const char *pcPath, unsigned int mMode) {
    return MakeDirectories(pcPath, mMode, true);
}

FILE *Open_File(const char *pcPath, const char *pcMode) {
    if (IsNullArg(pcPath, "pcPath") || IsNullArg(pcMode, "pcMode")) return nullptr;
    if (__Make_Directory(pcPath, 0755) != 0) {
        SET_ERROR(errno, "Failed create directory[%s]", pcPath);
        return nullptr;
    }
    FILE *pFile = fopen(pcPath, pcMode);
    if (pFile == nullptr) SET_ERROR(errno, "Failed create file[%s]", pcPath);
    return pFile;
}

int Close_File(FILE *pFile) {
    if (IsNullArg(pFile, "pFile")) return -1;
    if (fclose(pFile) != 0) {
        SET_ERROR(errno, "Failed fclose API");
        return -1;
    }
    return 0;
}

int Del_File(const char *pcPath) {
    if (IsNullArg(pcPath, "pcPath")) return -1;
    struct stat st {};
    if (lstat(pcPath, &st) != 0 || !S_ISREG(st.st_mode)) {
        SET_ERROR(EINVAL, "Unknow file system[%s]", pcPath);
        return -1;
    }
    return unlink(pcPath) == 0 ? 0 : -1;
}

int Del_Directory(const char *pcPath, unsigned int unForceF) {
    if (IsNullArg(pcPath, "pcPath")) return -1;
    struct stat st {};
    if (lstat(pcPath, &st) != 0 || !S_ISDIR(st.st_mode)) {
        SET_ERROR(EINVAL, "Unknow file system[%s]", pcPath);
        return -1;
    }
    // Forced: everything below goes first, deepest first, links not followed.
    int nRet = unForceF == 1 ? nftw(pcPath, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) : rmdir(pcPath);
    if (nRet != 0) {
        SET_ERROR(errno, "Failed delete directory[%s]", pcPath);
        return -1;
    }
    return 0;
}

int Copy_File(const char *pcSrcPath, const char *pcDestPath) {
    if (IsNullArg(pcSrcPath, "pcSrcPath") || IsNullArg(pcDestPath, "pcDestPath")) return -1;
    if (Is_File(pcSrcPath) != 1) {
        SET_ERROR(errno, "pcSrcPath isn't file");
        return -1;
    }
    FILE *pSrc = Open_File(pcSrcPath, "r");
    if (pSrc == nullptr) return -1;
    FILE *pDest = Open_File(pcDestPath, "a+");
    if (pDest == nullptr) {
        fclose(pSrc);
        return -1;
    }
    fseek(pDest, 0, SEEK_END);
    long lOrgSize = ftell(pDest);

    char szBlock[kCopyBlock];
    bool bFailed = false;
    for (size_t unRead; (unRead = fread(szBlock, 1, sizeof(szBlock), pSrc)) > 0;) {
        if (fwrite(szBlock, 1, unRead, pDest) != unRead) {
            bFailed = true;
            break;
        }
    }
    if (!bFailed && (ferror(pSrc) || fflush(pDest) != 0)) bFailed = true;
    int nErr = errno;
    fclose(pSrc);
    if (!bFailed) return fclose(pDest) == 0 ? 0 : -1;

    // A failed copy must not destroy what the destination held: cut it back to its old size, and
    // remove it only if the copy created it.
    if (lOrgSize > 0) {
        if (ftruncate(fileno(pDest), lOrgSize) != 0) nErr = errno;
        fclose(pDest);
    } else {
        fclose(pDest);
        unlink(pcDestPath);
    }
    SET_ERROR(nErr, "Falied wirte data. So remove dest file");
    return -1;
}

int Move_File(const char *pcSrcPath, const char *pcDestPath) {
    if (IsNullArg(pcSrcPath, "pcSrcPath") || IsNullArg(pcDestPath, "pcDestPath")) return -1;
    if (rename(pcSrcPath, pcDestPath) != 0) {
        SET_ERROR(errno, "Failed file rename [%s -> %s]", pcSrcPath, pcDestPath);
        return -1;
    }
    return 0;
}

int Link_Symbolic(const char *pcSrcPath, const char *pcDestPath) {
    if (IsNullArg(pcSrcPath, "pcSrcPath") || IsNullArg(pcDestPath, "pcDestPath")) return -1;
    if (link(pcSrcPath, pcDestPath) != 0) {
        SET_ERROR(errno, "Failed file link [%s -> %s]", pcSrcPath, pcDestPath);
        return -1;
    }
    return 0;
}

int Unlink_Symbolic(const char *pcPath) {
    if (IsNullArg(pcPath, "pcPath")) return -1;
    if (unlink(pcPath) != 0) {
        SET_ERROR(errno, "Failed file unlink [%s]", pcPath);
        return -1;
    }
    return 0;
}
