// File-system queries: sizes, owners, times and directory listings.
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/memctrl.h"
#include "file/file.h"

namespace {

bool StatOrRecord(const char *pcPath, struct stat &st) {
    if (__Get_Stat(pcPath, &st) == 0) return true;
    if (pcPath != nullptr) SET_ERROR(ENODATA, "Get stat fail");
    return false;
}

int ListEntries(const char *pcPath, mode_t mType, std::vector<std::string> &names) {
    if (pcPath == nullptr) {
        SET_ERROR(EINVAL, "pcPath is NULL");
        return -1;
    }
    DIR *pDir = opendir(pcPath);
    if (pDir == nullptr) {
        SET_ERROR(errno, "Failed open directory[%s]", pcPath);
        return -1;
    }
    std::string base(pcPath);
    base += '/';
    while (dirent *pEntry = readdir(pDir)) {
        if (strcmp(pEntry->d_name, ".") == 0 || strcmp(pEntry->d_name, "..") == 0) continue;
        struct stat st {};
        if (stat((base + pEntry->d_name).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == mType)
            names.emplace_back(pEntry->d_name);
    }
    closedir(pDir);
    std::sort(names.begin(), names.end());
    return 0;
}

int CountEntries(const char *pcPath, int nMaxListCnt, mode_t mType) {
    std::vector<std::string> names;
    if (ListEntries(pcPath, mType, names) != 0) return -1;
    return std::min(static_cast<int>(names.size()), std::max(nMaxListCnt, 0));
}

int CopyList(const char *pcPath, int nMaxListCnt, mode_t mType, char ***pppszList) {
    if (pppszList == nullptr) {
        SET_ERROR(EINVAL, "pppszList is NULL");
        return -1;
    }
    *pppszList = nullptr;
    std::vector<std::string> names;
    if (ListEntries(pcPath, mType, names) != 0) return -1;
    int nCnt = std::min(static_cast<int>(names.size()), std::max(nMaxListCnt, 0));
    if (nCnt == 0) return 0;
    char **ppszList = static_cast<char **>(calloc(nCnt, sizeof(char *)));
    if (ppszList == nullptr) {
        SET_ERROR(ENOMEM, "Failed alloc list[%d]", nCnt);
        return -1;
    }
    for (int i = 0; i < nCnt; ++i) {
        ppszList[i] = strdup(names[i].c_str());
        if (ppszList[i] == nullptr) {
            Free_List(ppszList, i);
            SET_ERROR(ENOMEM, "Failed alloc list entry[%d]", i);
            return -1;
        }
    }
    *pppszList = ppszList;
    return nCnt;
}

}  // namespace

int Get_FileSize(const char *pcPath) {
    struct stat st {};
    return StatOrRecord(pcPath, st) ? static_cast<int>(st.st_size) : -1;
}

int Get_UId(const char *pcPath) {
    struct stat st {};
    return __Get_Stat(pcPath, &st) == 0 ? static_cast<int>(st.st_uid) : -1;
}

int Get_GId(const char *pcPath) {
    struct stat st {};
    return StatOrRecord(pcPath, st) ? static_cast<int>(st.st_gid) : -1;
}

time_t Get_AccessTime(const char *pcPath) {
    struct stat st {};
    return StatOrRecord(pcPath, st) ? st.st_atime : static_cast<time_t>(-1);
}

time_t Get_ModifyTime(const char *pcPath) {
    struct stat st {};
    return StatOrRecord(pcPath, st) ? st.st_mtime : static_cast<time_t>(-1);
}

time_t Get_CreateTime(const char *pcPath) {
    struct stat st {};
    return StatOrRecord(pcPath, st) ? st.st_ctime : static_cast<time_t>(-1);
}

int Get_FileList(const char *pcPath, int nMaxListCnt) {
    return CountEntries(pcPath, nMaxListCnt, S_IFREG);
}

int Get_DirList(const char *pcPath, int nMaxListCnt) {
    return CountEntries(pcPath, nMaxListCnt, S_IFDIR);
}

int Get_FileList(const char *pcPath, int nMaxListCnt, char ***pppszList) {
    return CopyList(pcPath, nMaxListCnt, S_IFREG, pppszList);
}

int Get_DirList(const char *pcPath, int nMaxListCnt, char ***pppszList) {
    return CopyList(pcPath, nMaxListCnt, S_IFDIR, pppszList);
}

void Free_List(char **ppszList, int nCnt) {
    if (ppszList == nullptr) return;
    for (int i = 0; i < nCnt; ++i) free(ppszList[i]);
    free(ppszList);
}
