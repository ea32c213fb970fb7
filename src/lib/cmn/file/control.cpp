// File-system changes: directories, opening, deleting, copying, renaming.
#include <ftw.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// Creates pcDir when missing; 0 when it is a directory afterwards.
int EnsureDirectory(const char *pcDir, unsigned int mMode) {
    struct stat st {};
    if (stat(pcDir, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        SET_ERROR(EEXIST, "Already file[%s]", pcDir);
        return -1;
    }
    if (mkdir(pcDir, mMode) != 0 && errno != EEXIST) {
        SET_ERROR(errno, "Make directory fail[%s]", pcDir);
        return -1;
    }
    return 0;
}

int RemoveEntry(const char *pcPath, const struct stat *, int, struct FTW *) {
    return remove(pcPath) == 0 ? 0 : -1;
}

}  // namespace

int __Make_Directory(const char *pcPath, unsigned int mMode) {
    if (IsNullArg(pcPath, "pcPath")) return -1;
    char szPath[kPathLimit + 1];
    snprintf(szPath, sizeof(szPath), "%s", pcPath);
    for (char *p = szPath + 1; *p != '\0'; ++p) {
        if (*p != '/' || p[-1] == '/') continue;
        *p = '\0';
        int nRet = EnsureDirectory(szPath, mMode);
        *p = '/';
        if (nRet != 0) return -1;
    }
    return 0;
}

int Make_Directory(const char *pcPath, unsigned int mMode) {
    if (__Make_Directory(pcPath, mMode) != 0) return -1;
    return EnsureDirectory(pcPath, mMode);
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

    // A failed copy must not destroy what the destination held before it:
    // cut it back to its old size, and remove it only if the copy created it.
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
