// Helpers shared by the benchmarks: timing, a private runtime root (so a
// benchmark never shares the host's log registry) and a quiet stdout.
#pragma once

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "base/util.h"

// The message of every benchmark record (a typical log line's length).
#define BENCH_MESSAGE "benchmark record %08d carrying a typical payload text\n"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsOf(const std::function<void()> &fn) {
    auto start = Clock::now();
    fn();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A scratch directory whose "root" becomes the runtime root; the registry
// segment and the directory go away with it.
class PrivateRoot {
public:
    explicit PrivateRoot(const char *pcName) {
        namespace fs = std::filesystem;
        std::string tmpl = (fs::temp_directory_path() / (std::string(pcName) + "-XXXXXX")).string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror("mkdtemp");
            exit(1);
        }
        dir_ = tmpl;
        setenv(ORVO_TMP_ROOT_ENV, (dir_ / "root").c_str(), 1);
    }
    ~PrivateRoot() {
        key_t key = ftok((dir_ / "root/olog.shm").c_str(), 0);
        int id = key == -1 ? -1 : shmget(key, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    PrivateRoot(const PrivateRoot &) = delete;
    PrivateRoot &operator=(const PrivateRoot &) = delete;
    std::string operator/(const char *name) const { return (dir_ / name).string(); }

private:
    std::filesystem::path dir_;
};

// Sends standard output to /dev/null while it lives (Init_Log and Add_Log
// print their section tables).
class QuietStdout {
public:
    QuietStdout() {
        fflush(stdout);
        nSaved_ = dup(STDOUT_FILENO);
        int nNull = open("/dev/null", O_WRONLY);
        if (nNull >= 0) {
            dup2(nNull, STDOUT_FILENO);
            close(nNull);
        }
    }
    ~QuietStdout() {
        fflush(stdout);
        if (nSaved_ >= 0) {
            dup2(nSaved_, STDOUT_FILENO);
            close(nSaved_);
        }
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int nSaved_ = -1;
};

}  // namespace bench
