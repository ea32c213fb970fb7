// Internal to the daemon: file steps shared by the bill and reject files.
#pragma once

#include <cstdio>
#include <string>

namespace kest::fileutil {

// Read-and-append stream, created 0640 (less the umask): bill and reject
// records carry subscribers' numbers, which are no business of other users.
// Null with errno set on failure.
FILE *OpenForAppend(const std::string &path);

// Makes a new file's name in its directory durable, as fdatasync does not.
// Returns 0, or the errno of the failure; a file system that cannot sync a
// directory at all (EINVAL, EROFS) counts as done.
int SyncDirectoryOf(const std::string &path);

}  // namespace kest::fileutil
