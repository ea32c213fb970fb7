// Test helper: the descriptors this process has open, read from /proc/self/fd
// (without the one used for reading the directory itself).
#pragma once

#include <dirent.h>
#include <stdlib.h>

#include <set>

inline std::set<int> OpenFds() {
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) abort();
    int own = dirfd(dir);
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = atoi(entry->d_name);
        if (fd != own) fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

// The descriptors in `after` that are not in `before`.
inline std::set<int> NewFds(const std::set<int> &before, const std::set<int> &after) {
    std::set<int> added;
    for (int fd : after) {
        if (before.count(fd) == 0) added.insert(fd);
    }
    return added;
}
