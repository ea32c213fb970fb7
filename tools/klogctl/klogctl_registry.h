// Internal to klogctl: the log registry as another process sees it. It attaches an existing segment
// only: an operator tool must not create a registry, nor claim a block of its own.
#pragma once

#include <string>
#include <vector>

#include "log/log_registry.h"

namespace klogctl {

struct SectionInfo {
    unsigned int unEntry;  // settings entry (section) number
    std::string path;
    std::string timeFormat;
    unsigned int unLevel;
    unsigned int unFileCnt;
    unsigned int unFileSizeMb;
};

struct BlockInfo {
    int nIndex;
    std::string name;
    std::vector<SectionInfo> sections;
};

// The host-wide fallback "/tmp/olog.shm" only when ORVO_TMP_ROOT does not move the root.
std::vector<std::string> RegistryKeyFiles();

class Registry {
  public:
    // Check attached() and error().
    explicit Registry(bool bWritable);
    Registry(const std::string &keyFile, bool bWritable);
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    bool attached() const { return pstShm_ != nullptr; }
    const std::string &error() const { return error_; }
    const std::string &keyFile() const { return keyFile_; }

    std::vector<BlockInfo> Blocks() const;
    // -1 when no such block (letter case ignored).
    int FindBlock(const std::string &name) const;
    // Level of the block's first section in use; 0 when it has none.
    unsigned int LevelOf(int nBlock) const;
    // Stores the level into every section in use of the block.
    void SetLevel(int nBlock, unsigned int unLevel);

  private:
    bool Attach(const std::string &keyFile, bool bWritable);

    _ST_LOG_INFORMATION *pstShm_ = nullptr;
    std::string keyFile_;
    std::string error_;
};

}  // namespace klogctl
