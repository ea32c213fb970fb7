// Public: file-system utilities.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>

int __Get_Stat(const char *pcPath, struct stat *pstStat);
int Is_File(const char *pcPath);
int Is_Directory(const char *pcPath);
int Is_FileExist(const char *pcPath);

// Every one when pcPath ends in '/'; exactly mMode whatever the umask when bExact. ENOTDIR when
// another kind of file is in the way; the failing directory in *pFailed when given.
int Make_ParentDirectories(const char *pcPath, unsigned int mMode, bool bExact = false,
                           std::string *pFailed = nullptr);
int __Make_Directory(const char *pcPath, unsigned int mMode);
int Make_Directory(const char *pcPath, unsigned int mMode);
FILE *Open_File(const char *pcPath, const char *pcMode);
int Close_File(FILE *pFile);
int Del_File(const char *pcPath);
// Removes an empty directory; with unForceF 1 also everything below it.
int Del_Directory(const char *pcPath, unsigned int unForceF);
int Copy_File(const char *pcSrcPath, const char *pcDestPath);
int Move_File(const char *pcSrcPath, const char *pcDestPath);
int Link_Symbolic(const char *pcSrcPath, const char *pcDestPath);
int Unlink_Symbolic(const char *pcPath);

int Get_FileSize(const char *pcPath);
int Get_UId(const char *pcPath);
int Get_GId(const char *pcPath);
time_t Get_AccessTime(const char *pcPath);
time_t Get_ModifyTime(const char *pcPath);
time_t Get_CreateTime(const char *pcPath);
// At most nMaxListCnt; -1 when the directory cannot be read.
int Get_FileList(const char *pcPath, int nMaxListCnt);
int Get_DirList(const char *pcPath, int nMaxListCnt);
// Sorted, at most nMaxListCnt; the caller frees the array with Free_List.
int Get_FileList(const char *pcPath, int nMaxListCnt, char ***pppszList);
int Get_DirList(const char *pcPath, int nMaxListCnt, char ***pppszList);
void Free_List(char **ppszList, int nCnt);
