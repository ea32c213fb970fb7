// Internal to the daemon: whether the bill and reject folders can take a new file.
#pragma once

#include <cstdint>
#include <string>


namespace kest {

struct Verdict {
    bool bOk = false;
    std::string detail;  // why not, or the room left
};

// Room a folder must have to count as able to take a new file.
constexpr uint64_t kFolderMinFreeBytes = 1024 * 1024;

// What a new bill or reject file needs, asked as the daemon's own user: a probe file made new and
// removed again (a read-only mount refuses even root), and room on the file system.
Verdict ProbeFolder(const std::string &dir);

}  // namespace kest
