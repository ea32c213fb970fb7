// Test helper: a fresh, private directory removed again at the end of a test.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class ScratchDir {
public:
    ScratchDir() {
        const char *pcBase = getenv("KEST_TEST_TMP");
        std::filesystem::path base = pcBase ? pcBase : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(base);
        std::string tmpl = (base / "scratch-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) abort();
        path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};
