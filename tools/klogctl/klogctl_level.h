// Internal to klogctl: level words as the operator writes and reads them.
#pragma once

#include <string>

namespace klogctl {

// Parses a level word from names or numbers. Names are the level characters of the log lines and
// the names of Str_LogLevel, in either letter case and with an optional "LOG_" prefix: C E N I M or
// 1 to 5 for the ladder (one of them at most), 6 7 8 9 H D T for the flags, 0 for nothing. A token
// of more than one digit, or in hexadecimal with "0x", is a whole level word. Tokens are separated
// by blanks, ',', '+' or '|'; all of them are combined. Returns false with the reason in error for
// anything else.
bool ParseLevel(const std::string &text, unsigned int &unWord, std::string &error);

// "0x02000003 (3 D)": the word and its names.
std::string DescribeLevel(unsigned int unWord);

}  // namespace klogctl
