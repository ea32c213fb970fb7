// Test helpers for the logging library: a private registry per test process
// (so a registry of a daemon on the same host is never touched), file reading
// and forked helper processes.
#pragma once

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <strings.h>

#include "base/error.h"
#include "base/util.h"
#include "log/log_registry.h"
#include "private_registry.h"

inline std::vector<std::string> ReadLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::string TodayName(const std::string &prefix) {
    time_t now = time(nullptr);
    struct tm tmNow;
    localtime_r(&now, &tmNow);
    char date[16];
    strftime(date, sizeof(date), "%Y%m%d", &tmNow);
    return prefix + ".log." + date;
}

// Names of the files in a directory, sorted.
inline std::vector<std::string> FileNames(const std::filesystem::path &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs fn in a child process; true when it returned true.
inline bool InChild(const std::function<bool()> &fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn() ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline bool ReportHas(const std::string &text) {
    return std::string(StrError(0)).find(text) != std::string::npos;
}

// The message part of a log line (after "[stamp]L) ").
inline std::string MessageOf(const std::string &line) {
    size_t pos = line.find(") ");
    return pos == std::string::npos ? line : line.substr(pos + 2);
}

// A settings entry of a block as any other process of the registry's group
// can write it: through its own read-write attachment of the segment (left
// attached until the process ends). Null when the block is not registered.
inline _ST_LOG_LIST *SharedEntry(const std::string &block, unsigned int entry) {
    void *p = shmat(LogRegistryEnv::SegmentId(), nullptr, 0);
    if (p == reinterpret_cast<void *>(-1)) return nullptr;
    _ST_LOG_INFORMATION *shm = static_cast<_ST_LOG_INFORMATION *>(p);
    for (int i = 0; i < shm->nCnt && i < static_cast<int>(LOG_MAX_BLOCK); ++i) {
        if (strcasecmp(shm->stD[i].szBlockName, block.c_str()) == 0) {
            return &shm->stD[i].stLogInfo.stList[entry];
        }
    }
    return nullptr;
}
