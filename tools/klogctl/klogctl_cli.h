// Internal to klogctl: the command interpreter, apart from main so tests run it in-process.
#pragma once

#include <ostream>

namespace klogctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // no registry, no such block
constexpr int kExitUsage = 2;

int Run(int argc, const char *const *argv, std::ostream &out, std::ostream &err);

}  // namespace klogctl
