// Attaching the master's three shared tables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "base/error.h"
#include "haf/haf_dup_infoShm.h"
#include "haf/haf_net_infoShm.h"
#include "haf/haf_proc_ListShm.h"
#include "haf_test_env.h"
#include "ipc/shmlib.h"
#include "run_as.h"

namespace {

void touch(const std::string &path) {
    int nFd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(nFd, 0) << path;
    close(nFd);
}

std::string registryReport() { return StrError(errno); }

mode_t modeOf(const std::string &path) {
    struct stat stStat;
    return stat(path.c_str(), &stStat) == 0 ? (stStat.st_mode & 07777) : 0;
}

}  // namespace

TEST(HafShm, MissingKeyFileFailsWithoutCreatingAnything) {
    HafRootEnv env;
    std::string key = env.shmKey("processList");
    testing::internal::CaptureStdout();
    ProcListHAF *pList = Init_HafProcess(nullptr, 0);
    int nErr = errno;
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(pList, nullptr);
    EXPECT_EQ(nErr, 22);
    EXPECT_NE(registryReport().find("Shm Open Fail (" + key + ")"), std::string::npos);
    EXPECT_NE(out.find("careateHafProcShm szKey(" + key + ") nSize(358416) Fail 22:"),
              std::string::npos)
        << out;
    EXPECT_FALSE(std::filesystem::exists(key + ".shm"));
    EXPECT_EQ(getHafProcShm(), nullptr);

    // The other two tables fail alike, with their own lines.
    testing::internal::CaptureStdout();
    EXPECT_EQ(Init_HafDupInfo(nullptr, 0), nullptr);
    EXPECT_EQ(Init_HafNetInfo(nullptr, 0), nullptr);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("careateHafDupInfoShm Fail 22:"), std::string::npos) << out;
    EXPECT_NE(out.find("careateHafNetInfoShm Fail 22:"), std::string::npos) << out;
    Clr_Error();
}

TEST(HafShm, KeyFileWithoutSegmentCreatesAndInitialisesEachTable) {
    HafRootEnv env;
    std::filesystem::create_directories(env.root() + "/haf/shm");
    for (const char *pszTable : {"processList", "dupInfo", "netInfo"})
        touch(env.shmKey(pszTable) + ".shm");
    chmod((env.shmKey("dupInfo") + ".shm").c_str(), 0600);

    ProcListHAF *pList = Init_HafProcess(nullptr, 0);
    ASSERT_NE(pList, nullptr) << registryReport();
    EXPECT_EQ(getHafProcShm(), pList);
    EXPECT_EQ(getHafProcShmInitFlag(), 1);
    EXPECT_EQ(env.segmentSize(env.shmKey("processList")), 358416);
    EXPECT_EQ(pList->nProcCnt, 0);
    EXPECT_EQ(pList->stCont[255].nPId.load(), 0);

    NET_STATUS *pDup = Init_HafDupInfo(nullptr, 0);
    ASSERT_NE(pDup, nullptr) << registryReport();
    EXPECT_EQ(getHafDupInfoShmInitFlag(), 1);
    EXPECT_EQ(env.segmentSize(env.shmKey("dupInfo")), 9496);
    EXPECT_EQ(modeOf(env.shmKey("dupInfo") + ".shm"), 0600u);  // the master's, left alone

    HafNetworkInformation *pNet = Init_HafNetInfo(nullptr, 0);
    ASSERT_NE(pNet, nullptr) << registryReport();
    EXPECT_EQ(getHafNetInfoShmInitFlag(), 1);
    EXPECT_EQ(env.segmentSize(env.shmKey("netInfo")), 1840652);
    const HafNetPortGroup &stPG = pNet->stNodeG[31].stPG[9];
    EXPECT_EQ(stPG.nPortGroupNo.load(), -1);
    EXPECT_EQ(stPG.stP[1].stPortD[1].nMTU.load(), 1500);
    EXPECT_EQ(stPG.stP[1].stPortD[1].nIPNo.load(), 1);
    EXPECT_EQ(stPG.stV.stPortS[0].udpSD.load(), -1);
    EXPECT_EQ(stPG.stV.stPortS[0].bond[1].nAlarmF, -1);
    EXPECT_EQ(stPG.stV.stPortS[0].currIf.nAlarmF, -1);

    // Found again: contents kept, flag 0.
    pList->nProcCnt = 3;
    pNet->nMyNode = 1;
    ProcListHAF *pAgain = Init_HafProcess(nullptr, 0);
    ASSERT_NE(pAgain, nullptr);
    EXPECT_EQ(getHafProcShmInitFlag(), 0);
    EXPECT_EQ(pAgain->nProcCnt, 3);
    ASSERT_NE(Init_HafNetInfo(nullptr, 0), nullptr);
    EXPECT_EQ(getHafNetInfoShmInitFlag(), 0);
    EXPECT_EQ(getHafNetInfoShm()->nMyNode.load(), 1);
}

TEST(HafShm, SegmentOfAnotherSizeIsRefusedNeverResized) {
    HafRootEnv env;
    std::string key = env / "dup/keys/dupInfo";
    ASSERT_NE(ShmOpen(key.c_str(), 100), nullptr);  // a stale segment of another size

    NET_STATUS *pBefore = getHafDupInfoShm();
    for (int nCreateFlag : {0, 1}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Init_HafDupInfo(key.c_str(), nCreateFlag), nullptr) << nCreateFlag;
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(registryReport().find("Shm Size Mismatched (" + key + "/100)"), std::string::npos);
        EXPECT_NE(out.find("careateHafDupInfoShm Fail 22:"), std::string::npos) << out;
        EXPECT_EQ(env.segmentSize(key), 100) << "create flag " << nCreateFlag;
        EXPECT_EQ(getHafDupInfoShm(), pBefore);
    }
    EXPECT_STREQ(getKetFileHafDupInfo(), key.c_str());
}

TEST(HafShm, TableAnotherUserMadeAtTheKeyIsRefusedByName) {
    if (!CanDropRoot()) GTEST_SKIP() << "needs root and the user nobody";
    HafRootEnv env;
    std::string key = env.shmKey("dupInfo");
    std::filesystem::create_directories(env.root() + "/haf/shm");
    touch(key + ".shm");
    key_t nKey = ftok((key + ".shm").c_str(), 0);
    ASSERT_TRUE(RunAsNobody(
        [nKey] { return shmget(nKey, sizeof(NET_STATUS), IPC_CREAT | 0666) >= 0; }));
    for (int nCreateFlag : {0, 1}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Init_HafDupInfo(nullptr, nCreateFlag), nullptr) << nCreateFlag;
        testing::internal::GetCapturedStdout();
        EXPECT_NE(registryReport().find("Shm Owner Untrusted (" + key + ": owner " +
                                        std::to_string(Nobody().uid) + " (nobody)"),
                  std::string::npos);
    }
}

TEST(HafShm, CreateFlagMakesKeyFileDirectoriesAndSegment) {
    HafRootEnv env;
    std::string key = env / "a/b/netInfo";
    HafNetworkInformation *pNet = Init_HafNetInfo(key.c_str(), 1);
    ASSERT_NE(pNet, nullptr) << registryReport();
    EXPECT_EQ(getHafNetInfoShmInitFlag(), 1);
    EXPECT_EQ(modeOf(key + ".shm"), 0660u);
    EXPECT_EQ(modeOf(env / "a/b"), 03770u);
    EXPECT_EQ(env.segmentSize(key), 1840652);
    EXPECT_EQ(pNet->stNodeG[0].stPG[0].nPortGroupNo.load(), -1);

    // A key path that already names the ".shm" file is used as it is, in
    // both modes.
    std::string named = env / "c/procs.shm";
    ASSERT_NE(Init_HafProcess(named.c_str(), 1), nullptr) << registryReport();
    EXPECT_TRUE(std::filesystem::exists(named));
    EXPECT_FALSE(std::filesystem::exists(named + ".shm"));
    ASSERT_NE(Init_HafProcess(named.c_str(), 0), nullptr) << registryReport();
    EXPECT_EQ(getHafProcShmInitFlag(), 0);
    key_t nKey = ftok(named.c_str(), 0);
    int nId = shmget(nKey, 0, 0);
    EXPECT_GE(nId, 0);
    if (nId >= 0) shmctl(nId, IPC_RMID, nullptr);
}

TEST(HafShm, KeyPathsFollowTheRuntimeRoot) {
    HafRootEnv env;
    // The stored key paths are process-wide: look at them in a fresh process
    // (the threadsafe style runs this test again in a new process).
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto checkDefaults = [&env] {
        bool bOk = std::string(getKetFileHafProcessList()) == env.shmKey("processList") &&
                   !std::filesystem::exists(env.root() + "/haf/shm") &&
                   std::string(getDefaultKetFileHafNetInfo()) == env.shmKey("netInfo") &&
                   std::filesystem::is_directory(env.root() + "/haf/shm") &&
                   modeOf(env.root() + "/haf/shm") == 03770u &&
                   std::string(getKetFileHafNetInfo()) == env.shmKey("netInfo");
        std::error_code ec;
        std::filesystem::remove_all(env.root(), ec);  // _exit skips the destructors
        _exit(bOk ? 0 : 1);
    };
    EXPECT_EXIT(checkDefaults(), testing::ExitedWithCode(0), "");

    // An attach with another path replaces the stored one.
    std::string other = env / "other/processList";
    ASSERT_NE(Init_HafProcess(other.c_str(), 1), nullptr);
    EXPECT_EQ(std::string(getKetFileHafProcessList()), other);
    EXPECT_EQ(std::string(getDefaultKetFileHafProcessList()), other);
}

TEST(HafShm, OpenReadOnlyChecksItsArguments) {
    HafRootEnv env;
    int nFirst = -1;
    EXPECT_EQ(HafShmOpenReadOnly(nullptr, 16, &nFirst), nullptr);
    std::string report = registryReport();
    EXPECT_NE(report.find("Invalid KeyFile parameter"), std::string::npos);
    EXPECT_NE(report.find("HafShmOpenReadOnly"), std::string::npos) << report;
    EXPECT_EQ(HafShmOpenReadOnly("", 16, &nFirst), nullptr);
    EXPECT_NE(registryReport().find("Invalid KeyFile parameter"), std::string::npos);
    EXPECT_EQ(HafShmOpenReadOnly((env / "k").c_str(), 0, &nFirst), nullptr);
    EXPECT_NE(registryReport().find("Invalid Shm Size Parameter"), std::string::npos);
    EXPECT_EQ(nFirst, -1);
}

TEST(HafShm, OpenReadOnlyKeepsWhatAPeerWroteRightAfterTheCreation) {
    HafRootEnv env;
    // Large, so that a fill after the creation would still be running when
    // the peer writes the last byte.
    constexpr int kSize = 64 << 20;
    for (int nRound = 0; nRound < 3; ++nRound) {
        std::string key = env / ("peer" + std::to_string(nRound));
        touch(key + ".shm");
        key_t nKey = ftok((key + ".shm").c_str(), 0);
        ASSERT_NE(nKey, -1);
        std::thread peer([nKey] {
            int nId;
            while ((nId = shmget(nKey, 0, 0)) < 0) {
            }
            void *pv = shmat(nId, nullptr, 0);
            if (pv == reinterpret_cast<void *>(-1)) return;
            static_cast<volatile char *>(pv)[kSize - 1] = 'P';
            shmdt(pv);
        });
        int nFirst = -1;
        void *pv = HafShmOpenReadOnly(key.c_str(), kSize, &nFirst);
        peer.join();
        ASSERT_NE(pv, nullptr) << registryReport();
        EXPECT_EQ(nFirst, 1);
        EXPECT_EQ(static_cast<volatile char *>(pv)[kSize - 1], 'P') << "round " << nRound;
        shmdt(pv);
    }
}

TEST(HafShm, SharedCreateReportsFirstCreation) {
    HafRootEnv env;
    std::string file = env / "shared.shm";  // removed with the root's segments
    int nKey = 0;
    int nFirst = -1;
    int nId = SharedCreate(file.c_str(), 64, &nKey, &nFirst);
    ASSERT_GE(nId, 0);
    EXPECT_EQ(nFirst, 1);
    EXPECT_EQ(nKey, static_cast<int>(ftok(file.c_str(), 0)));
    EXPECT_EQ(modeOf(file), 0660u);
    EXPECT_EQ(SharedCreate(file.c_str(), 64, &nKey, &nFirst), nId);
    EXPECT_EQ(nFirst, 0);
    EXPECT_EQ(SharedCreate((env / "no/such/dir/key").c_str(), 64, &nKey, &nFirst), -3);
}
