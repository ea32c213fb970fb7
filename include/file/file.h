// Public: file-system utilities (existence and type tests, directories, opening, deleting, copying,
// renaming, sizes and times).
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>

int __Get_Stat(const char *pcPath, struct stat *pstStat);
int Is_File(const char *pcPath);
int Is_Directory(const char *pcPath);
int Is_FileExist(const char *pcPath);

// Creates the missing directories above the last component of pcPath (every one when it ends in
// '/'), each with mMode, or with exactly mMode whatever the file-creation mask when bExact. 0 when
// all are directories then; else -1 with errno set (ENOTDIR: another kind of file is in the way)
// and the failing directory in *pFailed when given.
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
// Number of regular files (Get_FileList) or directories (Get_DirList) directly in pcPath, at most
// nMaxListCnt; -1 when the directory cannot be read.
int Get_FileList(const char *pcPath, int nMaxListCnt);
int Get_DirList(const char *pcPath, int nMaxListCnt);
// Names of the regular files (Get_FileList) or directories (Get_DirList) directly in pcPath,
// sorted, at most nMaxListCnt; the caller frees the array with Free_List. Returns the count, or -1.
int Get_FileList(const char *pcPath, int nMaxListCnt, char ***pppszList);
int Get_DirList(const char *pcPath, int nMaxListCnt, char ***pppszList);
void Free_List(char **ppszList, int nCnt);
