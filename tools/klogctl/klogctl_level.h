// Internal to klogctl: level words as the operator writes and reads them.
#pragma once

#include <string>

namespace klogctl {

// Names in either letter case with an optional "LOG_" prefix: C E N I M or 1 to 5 for the ladder
// (one at most), 6 7 8 9 H D T for the flags, 0 for nothing; more than one digit, or "0x", is a
// whole word. Tokens separated by blanks, ',', '+' or '|' are combined.
bool ParseLevel(const std::string &text, unsigned int &unWord, std::string &error);

// "0x02000003 (3 D)": the word and its names.
std::string DescribeLevel(unsigned int unWord);

}  // namespace klogctl
