// Test helper: a private runtime root (log registry key file, HA paths) per
// test process, so that a registry of a daemon on the same host is never
// touched; the registry segment and the directory are removed at the end.
#pragma once

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/util.h"

// Install before the first Init_Log of the process.
class LogRegistryEnv : public ::testing::Environment {
public:
    void SetUp() override {
        const char *base = getenv("KEST_TEST_TMP");
        root_ = std::filesystem::path(base ? base : "/tmp") /
                ("log-root-" + std::to_string(getpid()));
        std::filesystem::create_directories(root_);
        setenv(ORVO_TMP_ROOT_ENV, root_.c_str(), 1);
    }
    void TearDown() override {
        int id = SegmentId();
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    static std::string KeyFile() { return std::string(getenv(ORVO_TMP_ROOT_ENV)) + "/olog.shm"; }
    static int SegmentId() {
        key_t key = ftok(KeyFile().c_str(), 0);
        return key == -1 ? -1 : shmget(key, 0, 0);
    }

private:
    std::filesystem::path root_;
};

