// klogctl against a private registry: level names, listing, reading and
// changing a registered process's level by block name, and its refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "klogctl_cli.h"
#include "klogctl_level.h"
#include "log/log.h"
#include "private_registry.h"
#include "run_as.h"
#include "scratch_dir.h"

static ::testing::Environment *const g_logEnv =
    ::testing::AddGlobalTestEnvironment(new LogRegistryEnv);

namespace {

struct Result {
    int nExit;
    std::string out;
    std::string err;
};

Result Klogctl(std::vector<const char *> args) {
    args.insert(args.begin(), "klogctl");
    std::ostringstream out, err;
    int nExit = klogctl::Run(static_cast<int>(args.size()), args.data(), out, err);
    return {nExit, out.str(), err.str()};
}

unsigned int Parse(const std::string &text) {
    unsigned int unWord = 0xDEADBEEF;
    std::string error;
    EXPECT_TRUE(klogctl::ParseLevel(text, unWord, error)) << text << ": " << error;
    return unWord;
}

std::string ParseError(const std::string &text) {
    unsigned int unWord = 0;
    std::string error;
    EXPECT_FALSE(klogctl::ParseLevel(text, unWord, error)) << text << " gave " << unWord;
    return error;
}

// The process registers like the daemon: block KEST, two sections.
class Registered : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Init_Log("KEST", (dir_ / "KEST").c_str()), 0);
        ASSERT_EQ(Add_Log((dir_ / "EXTRA").c_str(), LOG_DIRECT), 1);
        ASSERT_EQ(Set_LogLevel(0, LOG_3), 0);
        ASSERT_EQ(Set_LogLevel(1, LOG_3), 0);
        ASSERT_EQ(Set_LogFileSize(0, 128), 0);
    }
    ScratchDir dir_;
};

}  // namespace

TEST(KlogctlLevel, NamesNumbersAndCombinations) {
    EXPECT_EQ(Parse("N"), LOG_3);
    EXPECT_EQ(Parse("n"), LOG_3);
    EXPECT_EQ(Parse("3"), LOG_3);
    EXPECT_EQ(Parse("LOG_3"), LOG_3);
    EXPECT_EQ(Parse("C"), LOG_1);
    EXPECT_EQ(Parse("e"), LOG_2);
    EXPECT_EQ(Parse("I"), LOG_4);
    EXPECT_EQ(Parse("M"), LOG_5);
    EXPECT_EQ(Parse("0"), 0u);
    EXPECT_EQ(Parse("6"), static_cast<unsigned int>(LOG_6));  // a name, as Str_LogLevel prints it
    EXPECT_EQ(Parse("N+D"), LOG_3 | LOG_D);
    EXPECT_EQ(Parse("log_d, t | M"), LOG_5 | LOG_D | LOG_T);
    EXPECT_EQ(Parse("0x02000003"), LOG_3 | LOG_D);
    EXPECT_EQ(Parse("33554435"), LOG_3 | LOG_D);
    EXPECT_EQ(Parse("0x02000000 N"), LOG_3 | LOG_D);
    EXPECT_EQ(Parse("0xFFFFFFFF"), 0xFFFFFFFFu);

    // What Str_LogLevel prints reads back as the same word.
    for (unsigned int unWord : {LOG_1 | LOG_T, LOG_5 | LOG_6 | LOG_H, LOG_2 | LOG_7 | LOG_8 | LOG_9,
                                static_cast<unsigned int>(LOG_D)}) {
        char szNames[64];
        EXPECT_EQ(Parse(Str_LogLevel(unWord, szNames, sizeof(szNames))), unWord) << szNames;
    }

    EXPECT_NE(ParseError("C E").find("more than one ladder"), std::string::npos);
    EXPECT_NE(ParseError("0x00000003 M").find("more than one ladder"), std::string::npos);
    EXPECT_NE(ParseError("X").find("unknown level \"X\""), std::string::npos);
    EXPECT_NE(ParseError("LOG_Q").find("unknown level"), std::string::npos);
    ParseError("0x100000000");
    ParseError("-1");
    ParseError("12abc");
    EXPECT_EQ(ParseError(" , "), "no level given");

    EXPECT_EQ(klogctl::DescribeLevel(LOG_3 | LOG_D), "0x02000003 (3 D)");
    EXPECT_EQ(klogctl::DescribeLevel(0), "0x00000000 (off)");
}

TEST(KlogctlRegistry, MissingRegistryIsReportedNotCreated) {
    ScratchDir empty;
    std::string saved = getenv(ORVO_TMP_ROOT_ENV);
    setenv(ORVO_TMP_ROOT_ENV, empty.path().c_str(), 1);
    Result list = Klogctl({"list"});
    Result set = Klogctl({"set", "KEST", "M"});
    setenv(ORVO_TMP_ROOT_ENV, saved.c_str(), 1);

    EXPECT_EQ(list.nExit, klogctl::kExitFailed);
    EXPECT_NE(list.err.find("no log registry at " + (empty / "olog.shm")), std::string::npos)
        << list.err;
    EXPECT_EQ(set.nExit, klogctl::kExitFailed);
    // The moved root has no host-wide fallback, and nothing was made.
    EXPECT_EQ(list.err.find("/tmp/olog"), std::string::npos) << list.err;
    EXPECT_TRUE(std::filesystem::is_empty(empty.path()));
}

TEST_F(Registered, ListShowsBlocksAndSections) {
    Result r = Klogctl({"list"});
    ASSERT_EQ(r.nExit, klogctl::kExitOk) << r.err;
    EXPECT_NE(r.out.find("registry " + LogRegistryEnv::KeyFile() + "\n"), std::string::npos);
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> kest;
    while (std::getline(lines, line))
        if (line.rfind("KEST ", 0) == 0)
            kest.push_back(line);
    ASSERT_EQ(kest.size(), 2u) << r.out;
    EXPECT_NE(kest[0].find(" 0  0x00000003 (3)"), std::string::npos) << kest[0];
    EXPECT_NE(kest[0].find(" 10     128  " + (dir_ / "KEST")), std::string::npos) << kest[0];
    EXPECT_NE(kest[1].find(" 1  0x00000003 (3)"), std::string::npos) << kest[1];
    EXPECT_NE(kest[1].find(dir_ / "EXTRA"), std::string::npos) << kest[1];

    // Another process's path with an escape sequence and a line feed: escaped.
    ASSERT_EQ(Add_Log((dir_ / "E\x1b[2J\n").c_str(), LOG_DIRECT), 2);
    r = Klogctl({"list"});
    EXPECT_NE(r.out.find("/E\\x1b[2J\\x0a\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
}

TEST_F(Registered, GetAndSetByBlockNameReachTheRunningProcess) {
    Result get = Klogctl({"get", "kest"});  // letter case ignored, as the library does
    ASSERT_EQ(get.nExit, klogctl::kExitOk) << get.err;
    EXPECT_EQ(get.out, "kest 0x00000003 (3)\n");

    Result set = Klogctl({"set", "KEST", "M", "D"});
    ASSERT_EQ(set.nExit, klogctl::kExitOk) << set.err;
    EXPECT_EQ(set.out, "KEST 0x02000005 (5 D) was 0x00000003 (3)\n");
    // Every section of the block, seen by the process's own filter at once.
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevel(0)), LOG_5 | LOG_D);
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevel(1)), LOG_5 | LOG_D);
    EXPECT_EQ(__Chk_LogLevel(0, LOG_5), 0);
    EXPECT_EQ(__Chk_LogLevel(0, LOG_D), 0);
    EXPECT_EQ(__Chk_LogLevel(0, LOG_T), -1);
    // The library's own reading by block name agrees.
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevelName("KEST")), LOG_5 | LOG_D);

    ASSERT_EQ(Set_LogLevelName("KEST", LOG_1), 0);
    EXPECT_EQ(Klogctl({"get", "KEST"}).out, "KEST 0x00000001 (1)\n");
    ASSERT_EQ(Klogctl({"set", "KEST", "0"}).nExit, klogctl::kExitOk);
    EXPECT_EQ(__Chk_LogLevel(0, LOG_1), -1);
}

TEST_F(Registered, RefusalsChangeNothing) {
    Result unknown = Klogctl({"get", "NOPE"});
    EXPECT_EQ(unknown.nExit, klogctl::kExitFailed);
    EXPECT_NE(unknown.err.find("no block \"NOPE\""), std::string::npos) << unknown.err;
    EXPECT_EQ(Klogctl({"set", "NOPE", "M"}).nExit, klogctl::kExitFailed);

    Result bad = Klogctl({"set", "KEST", "Q"});
    EXPECT_EQ(bad.nExit, klogctl::kExitUsage);
    EXPECT_NE(bad.err.find("unknown level \"Q\""), std::string::npos) << bad.err;
    EXPECT_EQ(Klogctl({"set", "KEST"}).nExit, klogctl::kExitUsage);
    EXPECT_EQ(Klogctl({"get"}).nExit, klogctl::kExitUsage);
    EXPECT_EQ(Klogctl({"frobnicate"}).nExit, klogctl::kExitUsage);
    EXPECT_EQ(Klogctl({}).nExit, klogctl::kExitUsage);
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevel(0)), LOG_3);

    Result help = Klogctl({"--help"});
    EXPECT_EQ(help.nExit, klogctl::kExitOk);
    EXPECT_NE(help.out.find("klogctl set BLOCK LEVEL"), std::string::npos);
    Result levels = Klogctl({"levels"});
    EXPECT_NE(levels.out.find("D  0x02000000"), std::string::npos) << levels.out;
    EXPECT_NE(levels.out.find("N  0x00000003"), std::string::npos) << levels.out;
}

TEST_F(Registered, GroupMembersChangeLevelsOthersAreRefused) {
    if (!CanDropRoot()) GTEST_SKIP() << "needs root and the user nobody";
    struct stat stKey {};
    ASSERT_EQ(stat(LogRegistryEnv::KeyFile().c_str(), &stKey), 0);
    const TestUser member{Nobody().uid, stKey.st_gid};
    EXPECT_TRUE(RunAs(member, [] {
        Result list = Klogctl({"list"});
        Result set = Klogctl({"set", "KEST", "M"});
        bool ok = list.nExit == klogctl::kExitOk && list.out.find("KEST ") != std::string::npos &&
                  set.nExit == klogctl::kExitOk;
        if (!ok) std::cerr << list.err << set.err;
        return ok;
    }));
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevel(0)), LOG_5);

    const TestUser outsider{Nobody().uid, Nobody().gid};
    for (const char *command : {"list", "get", "set"}) {
        EXPECT_TRUE(RunAs(outsider, [command] {
            Result r = std::string(command) == "list" ? Klogctl({command})
                       : std::string(command) == "get" ? Klogctl({command, "KEST"})
                                                       : Klogctl({command, "KEST", "C"});
            bool ok = r.nExit == klogctl::kExitFailed &&
                      r.err.find("Permission denied (the registry is for root and the members "
                                 "of the group ") != std::string::npos;
            if (!ok) std::cerr << command << ": " << r.err;
            return ok;
        })) << command;
    }
    EXPECT_EQ(static_cast<unsigned int>(Get_LogLevel(0)), LOG_5);
}
