// Public: System V shared-memory segments named by a key file.
#pragma once

constexpr int SHM_KEY_PATH_MAX = 123;  // longest key file path accepted

// Finds or creates the segment of nSize bytes whose key derives from the key
// file (pszKeyFile, with ".shm" appended unless it already ends so). Missing
// directories and the key file are created. A segment of another size is
// removed and created anew (read-only mode refuses it instead). A segment
// created by this call is zero-filled and reported through *pnFirstF = 1.
// Returns the attached address, or null; the segment is never detached here.
void *ShmOpen(const char *pszKeyFile, int nSize);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId);
void *ShmOpen(const char *pszKeyFile, int nSize, int *pnFirstF, int *pnShmId, int nReadOnlyF);
