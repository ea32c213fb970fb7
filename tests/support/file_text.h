// Test helper: the whole content of a file ("" when it cannot be read).
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string ReadAll(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
