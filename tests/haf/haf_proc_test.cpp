// /proc readers and the small utilities of the HA client library.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "haf/haf_proc_getlist.h"
#include "haf/haf_proc_util.h"
#include "scratch_dir.h"

namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text, '\0');
    return text;
}

std::string userOf(uid_t uid) {
    passwd *pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : "";
}

// A child process, killed and reaped at the end.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

// Waits (at most ten seconds) until the child's command line reads `wanted`.
bool waitForCmdLine(pid_t pid, const std::string &wanted) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(path, std::ios::binary);
        std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (raw == wanted) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::unique_ptr<Child> startSleep() {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", "/bin/sleep", "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    auto child = std::make_unique<Child>(pid);
    EXPECT_TRUE(waitForCmdLine(pid, std::string("/bin/sleep\0" "30\0", 14)));
    return child;
}

template <class List>
std::vector<std::string> items(const List *pstList) {
    std::vector<std::string> out;
    for (int i = 0; i < pstList->nNumOfStr; ++i) out.push_back(StrListItem(pstList, i));
    return out;
}

}  // namespace

TEST(HafProc, ReadsThisVeryProcess) {
    PROC_PID_STAT_TAB tab;
    memset(&tab, 0, sizeof(tab));
    ASSERT_EQ(getProcPIDProcStat(getpid(), &tab), getpid());
    EXPECT_EQ(tab.nPid, getpid());
    EXPECT_EQ(tab.nPPid, getppid());
    std::string comm = readFile("/proc/self/comm");
    EXPECT_EQ(std::string(tab.szCommand) + "\n", comm);
    EXPECT_EQ(std::string(tab.szCmdLine).rfind("haf_test", 0), 0u) << tab.szCmdLine;
    EXPECT_TRUE(std::filesystem::equivalent(std::string(tab.szPath) + "/haf_test",
                                            "/proc/self/exe"))
        << tab.szPath;
    EXPECT_GT(tab.vsize, 0u);
    EXPECT_GT(tab.starttime, 0u);
    EXPECT_EQ(tab.szUsername, userOf(geteuid()));

    EXPECT_EQ(getProcPIDProcStat(0, &tab), -1);
    EXPECT_EQ(getProcPIDProcStat(-5, &tab), -1);
    EXPECT_EQ(getFileProcStat(999999999, &tab), -1);
}

TEST(HafProc, ReadsAChildWithAKnownCommandLine) {
    std::unique_ptr<Child> child = startSleep();
    PROC_PID_STAT_TAB tab;
    memset(&tab, 0, sizeof(tab));
    ASSERT_EQ(getDirProcStat(child->pid(), &tab), 0);
    EXPECT_STREQ(tab.szPath, "/bin");
    EXPECT_STREQ(tab.szCmdLine, "sleep 30");
    EXPECT_STREQ(tab.szCommand, "sleep");
    EXPECT_EQ(tab.nPid, child->pid());
    EXPECT_EQ(tab.nPPid, getpid());

    PROC_PID_STAT_TAB *pList = nullptr;
    int nCnt = getDirProcStatList(&pList);
    std::unique_ptr<PROC_PID_STAT_TAB, decltype(&free)> owner(pList, &free);
    ASSERT_GT(nCnt, 1);
    PROC_PID_STAT_TAB found;
    ASSERT_EQ(getProcNameProcStat("sleep", "/bin/sleep 30", &found, nCnt, &pList), 0);
    EXPECT_EQ(found.nPid, child->pid());
    EXPECT_EQ(getProcNameProcStat("sleep", "sleep 30", &found, nCnt, &pList), 0);
    EXPECT_EQ(getProcNameProcStat("sleep", "sleep 31", &found, nCnt, &pList), -1);
    EXPECT_EQ(getProcNameProcStat("sleep", "sleep 30", &found, nCnt, nullptr), -1);
}

TEST(HafProc, CommandNameWithBlanksAndParenthesesKeepsTheFieldsApart) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "a (b) c", 0, 0, 0);
        (void)!write(fds[1], "x", 1);
        pause();
        _exit(0);
    }
    Child child(pid);
    close(fds[1]);
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);  // the child has renamed itself
    close(fds[0]);
    PROC_PID_STAT_TAB tab;
    memset(&tab, 0, sizeof(tab));
    ASSERT_EQ(getFileProcStat(pid, &tab), 0);
    EXPECT_STREQ(tab.szCommand, "a (b) c");
    EXPECT_EQ(tab.nPid, pid);
    EXPECT_EQ(tab.nPPid, getpid());
    EXPECT_GT(tab.vsize, 0u);
}

TEST(HafProc, UptimeAndCpuUse) {
    double dUptime = std::stod(readFile("/proc/uptime"));
    long lUptime = uptime();
    EXPECT_GE(lUptime, static_cast<long>(dUptime));
    EXPECT_LE(lUptime, static_cast<long>(dUptime) + 1);

    EXPECT_EQ(getCputime(30, 20, 100 * 500, 500), 0);  // started this second
    EXPECT_EQ(getCputime(30, 20, 0, 10), 50);          // half a second of 10: 5.0 %
    EXPECT_EQ(getCputime(1000, 0, 250, 12), 1000);     // busy all the time: 100.0 %
}

TEST(HafUtil, ChgenvExpandsVariablesAndRefusesTheRest) {
    setenv("HAF_TEST_VAR", "/opt/kest", 1);
    unsetenv("HAF_TEST_UNSET");
    char szPath[64] = "${HAF_TEST_VAR}/log";
    EXPECT_STREQ(chgenv(szPath, sizeof(szPath)), "/opt/kest/log");
    strcpy(szPath, "${HAF_TEST_UNSET}/core/x");
    EXPECT_STREQ(chgenv(szPath, sizeof(szPath)), "/core/x");
    strcpy(szPath, "${HAF_TEST_VAR/x");
    EXPECT_STREQ(chgenv(szPath, sizeof(szPath)), "${HAF_TEST_VAR/x");
    strcpy(szPath, "/tmp/$(touch /tmp/haf_chgenv_ran)");
    EXPECT_STREQ(chgenv(szPath, sizeof(szPath)), "/tmp/$(touch /tmp/haf_chgenv_ran)");
    EXPECT_FALSE(std::filesystem::exists("/tmp/haf_chgenv_ran"));
    char szShort[32] = "$HAF_TEST_VAR";
    EXPECT_STREQ(chgenv(szShort, 8), "/opt/ke");  // bounded by nLen
    unsetenv("HAF_TEST_VAR");
}

TEST(HafUtil, MakefulldirCreatesEveryDirectoryAboveTheLastComponent) {
    ScratchDir dir;
    std::string file = dir / "a/b/c/file";
    ASSERT_EQ(makefulldir(file.c_str(), 0700), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "a/b/c"));
    EXPECT_FALSE(std::filesystem::exists(file));
    struct stat stStat;
    ASSERT_EQ(stat((dir / "a/b").c_str(), &stStat), 0);
    EXPECT_EQ(stStat.st_mode & 0777, 0700u);
    EXPECT_EQ(makefulldir(file.c_str(), 0700), 0);  // all there already
    EXPECT_EQ(makefulldir("file", 0755), 0);
    EXPECT_EQ(makefulldir("/file", 0755), 0);
    std::ofstream(dir / "plain") << "x";
    EXPECT_EQ(makefulldir((dir / "plain/sub/file").c_str(), 0755), -1);

    char szA[32] = "/opt/x/bin/prog";
    EXPECT_STREQ(haf_basename(szA), "prog");
    EXPECT_STREQ(haf_dirname(szA), "/opt/x/bin");
    char szB[8] = "/prog";
    EXPECT_STREQ(haf_dirname(szB), "/");
    char szC[8] = "prog";
    EXPECT_STREQ(haf_basename(szC), "prog");
    EXPECT_STREQ(haf_dirname(szC), ".");

    struct stat stOut;
    EXPECT_EQ(__Get_PathStat(nullptr, &stOut), -1);
    EXPECT_NE(std::string(StrError(errno)).find("Path is NULL"), std::string::npos);
    EXPECT_EQ(__Get_PathStat("/", nullptr), -1);
    EXPECT_NE(std::string(StrError(errno)).find("pstStat is NULL"), std::string::npos);
    EXPECT_EQ(__Get_PathStat("/", &stOut), 0);
}

TEST(HafUtil, StringTokSplitsIntoItemsAndARest) {
    std::vector<char> buf(STRLIST16_BUF_SIZE, 0);
    auto *pstList = reinterpret_cast<stStrList16 *>(buf.data());
    EXPECT_EQ(StringTok("a b c", 2, pstList, " "), 2);
    EXPECT_EQ(items(pstList), (std::vector<std::string>{"a", "b c"}));

    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(StringTok("  one\ttwo three \n", 1, pstList, " \t\n\r\f\v"), 2);
    EXPECT_EQ(items(pstList), (std::vector<std::string>{"one", "two three"}));

    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(StringTok("x,y", 5, pstList, ","), 2);
    EXPECT_EQ(items(pstList), (std::vector<std::string>{"x", "y"}));

    // Long items fill the text area before the item slots: the list stops
    // there instead of writing past the caller's buffer.
    std::string longText;
    for (int i = 0; i < 20; ++i) longText += std::string(200, static_cast<char>('a' + i)) + " ";
    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(StringTok(longText.c_str(), 16, pstList, " "), 4);  // 4 x 201 of 988 bytes
    EXPECT_EQ(std::string(StrListItem(pstList, 3)), std::string(200, 'd'));

    std::vector<char> buf64(STRLIST64_BUF_SIZE, 0);
    auto *pst64 = reinterpret_cast<stStrList64 *>(buf64.data());
    EXPECT_EQ(StringTok64("p q r\n", 2, pst64, " "), 2);
    EXPECT_EQ(items(pst64), (std::vector<std::string>{"p", "q r"}));
    std::fill(buf64.begin(), buf64.end(), 0);
    EXPECT_EQ(StringTok64(longText.c_str(), 64, pst64, " "), 9);  // 9 x 201 of 1916 bytes
}

TEST(HafUtil, TrimsAndDigits) {
    char szText[32] = "xx--text--yy";
    EXPECT_STREQ(rtrim(szText, "y-"), "xx--text");
    EXPECT_STREQ(ltrim(szText, "x-"), "text");
    char szAll[32] = "  both  ";
    EXPECT_STREQ(trimAll(szAll, " "), "both");
    EXPECT_EQ(IsDigit("0123"), 1);
    EXPECT_EQ(IsDigit(""), 1);
    EXPECT_EQ(IsDigit("12a"), 0);
    EXPECT_EQ(IsDigit(std::string(64, '1').append("x").c_str()), 1);  // only 64 looked at
}

TEST(HafUtil, TimeAndByteTexts) {
    char szBuf[64];
    EXPECT_STREQ(getByteString(123456789, 5, szBuf, sizeof(szBuf)), "117m");
    EXPECT_STREQ(getByteString(123, 5, szBuf, sizeof(szBuf)), "123");
    EXPECT_STREQ(getByteString(2048, 2, szBuf, sizeof(szBuf)), "2k");

    currentTime(szBuf, sizeof(szBuf));
    EXPECT_EQ(strlen(szBuf), 17u) << szBuf;  // "[hh:mm:ss.uuuuuu]"
    EXPECT_EQ(szBuf[0], '[');
    EXPECT_EQ(szBuf[9], '.');

    time_t tTime = 0;
    char szMsg[80];
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_STREQ(Str_Time(&tTime, szMsg), "1970/01/01 - 00:00:00");
    EXPECT_STREQ(Str_Time(&tTime, "%H-%M", szMsg, sizeof(szMsg)), "00-00");
    unsetenv("TZ");
    tzset();
    EXPECT_GT(getClockTime(), 0);
}

TEST(HafUtil, AddressArithmetic) {
    char szIP[32] = "10.1.2.3/24";
    char szMask[32], szBcast[32], szNet[32];
    testing::internal::CaptureStdout();
    EXPECT_EQ(makeIPAddrInfo(szIP, szMask, szBcast, szNet, 32), 254);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ip(10.1.2.3) num(24)\n");
    EXPECT_STREQ(szIP, "10.1.2.3");
    EXPECT_STREQ(szMask, "255.255.255.0");
    EXPECT_STREQ(szBcast, "10.1.2.255");
    EXPECT_STREQ(szNet, "10.1.2.0");
    char szNoPrefix[32] = "192.168.7.9";
    EXPECT_EQ(makeIPAddrInfo(szNoPrefix, szMask, szBcast, szNet, 32), 254);
    char sz20[32] = "172.16.5.4/20";
    testing::internal::CaptureStdout();
    EXPECT_EQ(makeIPAddrInfo(sz20, szMask, szBcast, szNet, 32), 4094);
    testing::internal::GetCapturedStdout();
    EXPECT_STREQ(szNet, "172.16.0.0");
    EXPECT_STREQ(szBcast, "172.16.15.255");
    for (const char *pszBad : {"10.1.2.3/31", "10.1.2.3/0", "not.an.ip"}) {
        char szBad[32];
        strcpy(szBad, pszBad);
        testing::internal::CaptureStdout();
        EXPECT_EQ(makeIPAddrInfo(szBad, szMask, szBcast, szNet, 32), -1) << pszBad;
        testing::internal::GetCapturedStdout();
    }

    EXPECT_EQ(getNetmask("255.255.255.0"), 24);
    EXPECT_EQ(getNetmask("255.255.240.0"), 20);
    EXPECT_EQ(getNetmask("0.0.0.0"), 0);
    EXPECT_EQ(getNetmask("nonsense"), -1);

    char szHost[64] = "";
    ASSERT_EQ(haf_Hostname2IP("localhost", szHost, sizeof(szHost)), 0);
    EXPECT_TRUE(std::string(szHost) == "127.0.0.1" || std::string(szHost) == "::1") << szHost;
    EXPECT_EQ(haf_Hostname2IP("no-such-host.invalid", szHost, sizeof(szHost)), -1);
}

TEST(HafUtil, InstallationPathsAndNodeTypes) {
    ScratchDir dir;
    const char *pszSavedHome = getenv("HOME");
    std::string savedHome = pszSavedHome != nullptr ? pszSavedHome : "";
    setenv("PKG_ROOT", dir.path().c_str(), 1);
    unsetenv("WORKHOME");
    char szPath[128];
    EXPECT_EQ(std::string(GetEnvPathHaf(szPath, "config/haf.ini")), dir / "config/haf.ini");
    setenv("WORKHOME", "/work/home", 1);
    EXPECT_STREQ(GetEnvPathHaf(nullptr, "x.cfg"), "/work/home/x.cfg");
    unsetenv("WORKHOME");
    unsetenv("PKG_ROOT");
    setenv("HOME", "/home/kest", 1);
    EXPECT_STREQ(GetEnvPathHaf(szPath, "y"), "/home/kest/y");
    setenv("HOME", savedHome.c_str(), 1);

    setenv("PKG_ROOT", dir.path().c_str(), 1);
    std::string myName = getMyName();
    EXPECT_EQ(myName, dir / "bin/haf_test");
    std::filesystem::create_directories(dir / "key");
    writePID("kestd");
    EXPECT_EQ(readFile(dir / "key/kestd.pid"), std::to_string(getpid()) + "\n");
    unsetenv("PKG_ROOT");

    EXPECT_STREQ(GetHafNodeType("smsg01"), "SMSC");
    EXPECT_STREQ(GetHafNodeType("KEST1"), "KEST");
    setenv("NODE_TYPE", "OMPS", 1);
    EXPECT_STREQ(GetHafNodeType("XYZW1"), "OMPS");
    unsetenv("NODE_TYPE");
    EXPECT_EQ(isEMSType("omp"), 1);
    EXPECT_EQ(isEMSType("MGW"), 0);
    EXPECT_EQ(isMGWType("mgws"), 1);

    EXPECT_EQ(chkLogLevelHaf(4), 0);  // the initial level word
    EXPECT_EQ(chkLogLevelHaf(1), -1);
    setLogLvHaf(1);
    EXPECT_EQ(chkLogLevelHaf(1), 0);
    setLogLvHaf(4);
}
