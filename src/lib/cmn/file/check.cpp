// File-system tests: existence and type.
#include <cerrno>

#include "base/error.h"
#include "file/file.h"

int __Get_Stat(const char *pcPath, struct stat *pstStat) {
    if (pcPath == nullptr) {
        SET_ERROR(EINVAL, "Path is NULL");
        return -1;
    }
    if (pstStat == nullptr) {
        SET_ERROR(EINVAL, "pstStat is NULL");
        return -1;
    }
    return stat(pcPath, pstStat) == 0 ? 0 : -1;
}

namespace {

// 1 when the path has the given type, 0 otherwise; a missing path records "Get stat fail".
int HasType(const char *pcPath, mode_t mType) {
    struct stat st {};
    if (__Get_Stat(pcPath, &st) != 0) {
        if (pcPath != nullptr) SET_ERROR(ENODATA, "Get stat fail");
        return 0;
    }
    return (st.st_mode & S_IFMT) == mType ? 1 : 0;
}

}  // namespace

int Is_File(const char *pcPath) { return HasType(pcPath, S_IFREG); }

int Is_Directory(const char *pcPath) { return HasType(pcPath, S_IFDIR); }

int Is_FileExist(const char *pcPath) {
    struct stat st {};
    return (pcPath != nullptr && stat(pcPath, &st) == 0) ? 1 : 0;
}
