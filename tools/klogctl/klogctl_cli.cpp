// klogctl commands: list, get, set, levels.
#include "klogctl_cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include "klogctl_level.h"
#include "klogctl_registry.h"
#include "log/log.h"

namespace klogctl {

namespace {

constexpr const char *kUsage =
    "usage: klogctl list                  blocks and sections of the log registry\n"
    "       klogctl get BLOCK             level of a process's block\n"
    "       klogctl set BLOCK LEVEL...    change it (every section of the block)\n"
    "       klogctl levels                level names\n"
    "LEVEL: C E N I M (or 1-5) for critical, error, notice, information, debug;\n"
    "       flags 6 7 8 9 H D T (D also enables hexadecimal dumps, T text dumps);\n"
    "       0 for nothing; or a whole level word as a number (decimal or 0x...).\n"
    "       Several may be given, e.g. \"N+D\" or N D.\n"
    "The registry is <ORVO_TMP_ROOT or /opt/orvo/tmp>/olog.shm.\n";

// Other processes write the registry: bytes outside printable ASCII are shown as \xHH (a backslash
// doubled), so that none reaches the terminal raw.
std::string Shown(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char szHex[5];
            snprintf(szHex, sizeof(szHex), "\\x%02x", c);
            out += szHex;
        }
    }
    return out;
}

std::string Row(const char *pcFormat, const std::string &a, const std::string &b,
                const std::string &c, const std::string &d, const std::string &e,
                const std::string &f) {
    char szLine[1024];  // room for a name and a path shown escaped whole
    snprintf(szLine, sizeof(szLine), pcFormat, a.c_str(), b.c_str(), c.c_str(), d.c_str(),
             e.c_str(), f.c_str());
    return szLine;
}

int List(const Registry &registry, std::ostream &out) {
    const char *pcFormat = "%-31s %4s  %-26s %5s %7s  %s\n";
    out << "registry " << registry.keyFile() << "\n";
    out << Row(pcFormat, "BLOCK", "SECT", "LEVEL", "FILES", "SIZE_MB", "PATH");
    for (const BlockInfo &block : registry.Blocks()) {
        std::string name = Shown(block.name);
        if (block.sections.empty())
            out << Row(pcFormat, name, "-", "-", "-", "-", "-");
        for (const SectionInfo &sect : block.sections)
            out << Row(pcFormat, name, std::to_string(sect.unEntry), DescribeLevel(sect.unLevel),
                       std::to_string(sect.unFileCnt), std::to_string(sect.unFileSizeMb),
                       Shown(sect.path));
    }
    return kExitOk;
}

int Levels(std::ostream &out) {
    const unsigned int kLevels[] = {LOG_1, LOG_2, LOG_3, LOG_4, LOG_5, LOG_6,
                                    LOG_7, LOG_8, LOG_9, LOG_H, LOG_D, LOG_T};
    const char *kMeaning[] = {"critical (ladder)",
                              "error (ladder)",
                              "notice (ladder)",
                              "information (ladder)",
                              "debug (ladder)",
                              "flag",
                              "flag",
                              "flag",
                              "flag",
                              "flag",
                              "flag, and hexadecimal dumps",
                              "flag, and text dumps"};
    char szLine[128];
    for (size_t i = 0; i < sizeof(kLevels) / sizeof(kLevels[0]); ++i) {
        snprintf(szLine, sizeof(szLine), "%c  0x%08x  %s\n", __Char_LogLevel(kLevels[i]),
                 kLevels[i], kMeaning[i]);
        out << szLine;
    }
    return kExitOk;
}

int FindOrFail(const Registry &registry, const std::string &block, std::ostream &err) {
    int nBlock = registry.FindBlock(block);
    if (nBlock < 0)
        err << "klogctl: no block \"" << block << "\" in " << registry.keyFile() << "\n";
    return nBlock;
}

}  // namespace

int Run(int argc, const char *const *argv, std::ostream &out, std::ostream &err) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        (args.empty() ? err : out) << kUsage;
        return args.empty() ? kExitUsage : kExitOk;
    }
    const std::string &command = args[0];
    if (command == "levels" && args.size() == 1)
        return Levels(out);

    bool bKnown = (command == "list" && args.size() == 1) ||
                  (command == "get" && args.size() == 2) || (command == "set" && args.size() >= 3);
    if (!bKnown) {
        err << kUsage;
        return kExitUsage;
    }
    unsigned int unLevel = 0;
    if (command == "set") {
        std::string text, error;
        for (size_t i = 2; i < args.size(); ++i) text += (i > 2 ? " " : "") + args[i];
        if (!ParseLevel(text, unLevel, error)) {
            err << "klogctl: " << error << "\n";
            return kExitUsage;
        }
    }

    Registry registry(command == "set");
    if (!registry.attached()) {
        err << "klogctl: " << registry.error() << "\n";
        return kExitFailed;
    }
    if (command == "list")
        return List(registry, out);

    int nBlock = FindOrFail(registry, args[1], err);
    if (nBlock < 0)
        return kExitFailed;
    unsigned int unOld = registry.LevelOf(nBlock);
    if (command == "set") {
        registry.SetLevel(nBlock, unLevel);
        out << args[1] << " " << DescribeLevel(registry.LevelOf(nBlock)) << " was "
            << DescribeLevel(unOld) << "\n";
        return kExitOk;
    }
    out << args[1] << " " << DescribeLevel(unOld) << "\n";
    return kExitOk;
}

}  // namespace klogctl
