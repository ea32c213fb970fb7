// The application manager: start-up (command line, configuration, process lock, HA library,
// logging, in that order), the signal handlers with their stack listing, and the final hand-over.
#include "kest_manager.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/memctrl.h"
#include "base/string.h"
#include "base/util.h"
#include "cfg/conf.h"
#include "file/file.h"
#include "kest_ending.h"
#include "kest_ha_link.h"
#include "kest_status.h"
#include "log/log.h"
#include "signal/signal.h"

namespace kest {

namespace {

// The version text the HA framework expects of its applications, not the build's version.
constexpr const char *kHaAppVersion = "1.0.0";
// Long-only option without a short letter.
constexpr int kCheckConfigOption = 1000;
// A command line the parser refuses.
constexpr int kUsageStatus = 2;
// Within the ending's deadline, the time the pass in flight gets before the ending takes it over:
// the switch-over and the lock release come after it.
constexpr std::chrono::seconds kPassEndLimit(3);
// Within the ending's deadline, the time the status file's last text gets: a stuck disk must not
// keep the lock from being released.
constexpr std::chrono::milliseconds kStatusLimit(2000);
constexpr size_t kCoreNameSize = 512;
constexpr size_t kCommandSize = 128;
constexpr size_t kPieceSize = 512;

// A SIGCONT noted and not yet passed on.
std::atomic<bool> gContinueHeld{false};
// Set by the first stop request, before the signal library sees it.
std::atomic<bool> gStopRequested{false};

void OnStopRequest(int n) {
    gStopRequested.store(true);
    __SigFunc(n);
}

// systemd follows its stop signal with SIGCONT, which would otherwise add a backtrace dump and a
// stack listing to a planned stop. The two may reach two threads, and their handlers run, in either
// order: SIGCONT is only noted here, and passed on as the general signal it is outside a stop by
// PassOnContinue, once the stop has had time to show.
void OnContinue(int) { gContinueHeld.store(true); }

void Install(int nSignal, void (*pHandler)(int)) {
    struct sigaction stAction {};
    stAction.sa_handler = pHandler;
    sigemptyset(&stAction.sa_mask);
    stAction.sa_flags = SA_RESTART;
    sigaction(nSignal, &stAction, nullptr);
}

// Over the signal library's own handler, which each of these passes the signal on to.
void InstallStopSignals() {
    Install(SIGTERM, OnStopRequest);
    Install(SIGINT, OnStopRequest);
    Install(SIGCONT, OnContinue);
}

// Copies a command-line argument into a settings field; one that does not fit is refused, not cut.
void CopyArgument(char *pcField, size_t unSize, const char *pcArg, const char *pcOption) {
    if (strlen(pcArg) >= unSize)
        throw std::runtime_error(std::string("Failed ! Argument of --") + pcOption +
                                 " is longer than " + std::to_string(unSize - 1) + " characters");
    StrCpy(pcField, pcArg, unSize);
}

void PrintOption(FILE *pOut, const char *pcOption, const char *pcDescription) {
    fprintf(pOut, "%-40s%s", pcOption, pcDescription);
}

struct ConfKey {
    const char *pcSection;
    const char *pcKey;
    const char *pcDefault;
    char *pcText;              // text destination, or null for a number
    size_t unTextSize;
    uint32_t *pu32 = nullptr;  // unsigned 32-bit number destination
    int64_t *pi64 = nullptr;   // signed 64-bit number destination
};

// As the select's "rownum < 10" of old.
constexpr const char *kPassRowsDefault = "9";

// False for a value without leading digits, which is left unstored.
bool StoreNumber(const ConfKey &key, const char *pcValue) {
    if (pcValue[0] == '\0') return true;  // present but empty: the field keeps its value
    char *pcEnd = nullptr;
    long lValue = strtol(pcValue, &pcEnd, 10);
    if (pcEnd == pcValue) return false;
    if (key.pu32 != nullptr) *key.pu32 = static_cast<uint32_t>(lValue);
    if (key.pi64 != nullptr) *key.pi64 = lValue;
    return true;
}

}  // namespace

int OrvoLogger::critical(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    int nRet = Log(LOG_1, pcFormat, &args);
    va_end(args);
    return nRet;
}

int OrvoLogger::info(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    int nRet = Log(LOG_3, pcFormat, &args);
    va_end(args);
    return nRet;
}

int OrvoLogger::debug(const char *pcFormat, ...) {
    va_list args;
    va_start(args, pcFormat);
    int nRet = Log(LOG_5, pcFormat, &args);
    va_end(args);
    return nRet;
}

void KestManager::COMMON::initEnv() {
    for (char *pcField : {BASE_PATH, KEY_PATH, CONFIG_PATH, LOG_PATH, LOCK_FILE, STATUS_FILE})
        GetEnv(pcField, PATH_SIZE);
}

void KestManager::BILL::initEnv() {
    for (char *pcField : {BILL_PATH, REJECT_PATH}) GetEnv(pcField, PATH_SIZE);
}

const char *KestManager::HA::getString() const {
    switch (MODE.load()) {
        case INIT: return "INIT_SYSTEM";
        case STANDBY: return "STANDBY_SYSTEM";
        case ACTIVE: return "ACTIVE_SYSTEM";
        default: return "NONE_SYSTEM";
    }
}

KestManager *KestManager::getInstance() {
    // Created before any other thread starts, never destroyed.
    static KestManager *pInstance = new KestManager();
    return pInstance;
}

void KestManager::readSettings(int argc, char **argv) {
    name = "KEST";
    StrCpy(common.BASE_PATH, "${PKG_ROOT}", PATH_SIZE);
    StrCpy(common.CONFIG_PATH, (std::string(common.BASE_PATH) + "/config/kest.ini").c_str(),
           PATH_SIZE);

    getProgromParam(argc, argv);
    common.initEnv();
    bill.initEnv();

    if (!Is_FileExist(common.CONFIG_PATH))
        throw std::runtime_error(std::string("Failed ! Check your config file : ") +
                                 common.CONFIG_PATH);
    readConfigINI();
}

void KestManager::start() {
    if (Lock_Process(common.LOCK_FILE) != 0)
        throw std::runtime_error(std::string("Failed Lock.. Check your") + common.LOCK_FILE +
                                 " : " + strerror(errno));

    if (ha.MODE != ACTIVE && ha.MODE != STANDBY) {
        puts("NO HAF");
        if (halink::Init(kHaAppVersion, OnHafHangThrID) != 0) {
            UnLock_Process();
            throw std::runtime_error("Failed HALibInit.. Check HA");
        }
        // Registration refuses only a null callback; should it ever refuse, the daemon runs on
        // without log and signal handlers.
        if (!RegisterRoleCallbacks(log())) return;
    }

    if (Init_Log(name.c_str(), common.LOG_PATH) == -1) {
        UnLock_Process();
        throw std::runtime_error("Failed Init_Log Check Log");
    }
    // At once: a new log block lets nothing through until its level is set, and the HA threads may
    // already report a role.
    Set_LogLevel(0, common.LOG_LEVEL);
    Set_LogFileCnt(0, common.LOG_FILE_COUNT);
    Set_LogFileSize(0, common.LOG_FILE_SIZE_MB);
    if (ha.MODE != ACTIVE && ha.MODE != STANDBY) {
        for (const std::string &dir : halink::ExposedFolders())
            log().critical("[HA] %s is writable by every local user: any of them can take the "
                           "HA link over; narrow it to mode 3770\n",
                           dir.c_str());
    }
    printf("LOG_PATH: %s\n", common.LOG_PATH);
    printf("LOG_LEVEL: %d\n", common.LOG_LEVEL);
    printf("LOG_FILE_COUNT: %d\n", common.LOG_FILE_COUNT);
    printf("LOG_FILE_SIZE_MB: %d\n", common.LOG_FILE_SIZE_MB);
    fflush(stdout);

    Init_SignalLib(1, 20, SignalHandler, SighUsr, SighUsr2);
    InstallStopSignals();
}

void KestManager::getProgromParam(int argc, char **argv) {
    static const option kOptions[] = {
        {"config-file", required_argument, nullptr, 'c'},
        {"base-path", required_argument, nullptr, 'b'},
        {"active", no_argument, nullptr, 'a'},
        {"standby", no_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"check-config", no_argument, nullptr, kCheckConfigOption},
        {nullptr, 0, nullptr, 0},
    };
    std::string startLines;
    optind = 1;
    for (int nOpt; (nOpt = getopt_long(argc, argv, "c:b:ashV", kOptions, nullptr)) != -1;) {
        switch (nOpt) {
            case 'c':
                CopyArgument(common.CONFIG_PATH, PATH_SIZE, optarg, "config-file");
                break;
            case 'b':
                CopyArgument(common.BASE_PATH, PATH_SIZE, optarg, "base-path");
                break;
            case 'a':
                startLines += "flag a..";
                ha.MODE = ACTIVE;
                break;
            case 's':
                ha.MODE = STANDBY;
                break;
            case 'h':
                printHelp(stdout);
                fflush(stdout);
                exit(0);
            case 'V':
                printf("kest %s\n", KEST_VERSION);
                fflush(stdout);
                exit(0);
            case kCheckConfigOption:
                checkConfig = true;
                break;
            default:
                // A mistyped option must not start a daemon that then runs other than meant; the
                // parser has named it on standard error.
                fflush(stdout);
                printHelp(stderr);
                exit(kUsageStatus);
        }
    }
    // A check prints its verdict lines alone.
    if (!checkConfig) printf("%shaf mode : %d", startLines.c_str(), ha.MODE.load());
}

void KestManager::printHelp(FILE *pOut) {
    char szLine[PATH_SIZE + 128];
    fprintf(pOut, "Process : %s\n", name.c_str());
    PrintOption(pOut, "-h [ --help ]", "show help\n");
    snprintf(szLine, sizeof(szLine), "base path [defualt:%s] \n", common.BASE_PATH);
    PrintOption(pOut, "-b [--base-path]", szLine);
    snprintf(szLine, sizeof(szLine), "process configuration file path [defualt:%s] \n",
             common.CONFIG_PATH);
    PrintOption(pOut, "-c [--config-file]", szLine);
    snprintf(szLine, sizeof(szLine), "process log file folder [default:%s] \n", common.LOG_PATH);
    PrintOption(pOut, "-l [--log-folder]", szLine);
    snprintf(szLine, sizeof(szLine), "process key file folder [default:%s] \n", common.KEY_PATH);
    PrintOption(pOut, "-k [--key-folder]", szLine);
    PrintOption(pOut, "-a [--active]", "manually active \n");
    PrintOption(pOut, "-s [--standby]", "manually standby if not used --active\n");
    PrintOption(pOut, "-V [--version]", "print the version and exit\n");
    PrintOption(pOut, "--check-config", "check settings, folders, lock, log and database, start "
                                        "nothing\n");
}

void KestManager::readConfigINI() {
    const ConfKey kKeys[] = {
        {"COMMON", "KEY_PATH", "${PKG_ROOT}/key", common.KEY_PATH, PATH_SIZE},
        {"COMMON", "LOCK_FILE", "${PKG_ROOT}/key/KEST.EXE", common.LOCK_FILE, PATH_SIZE},
        {"COMMON", "LOG_PATH", "${PKG_ROOT}/log/KEST/KEST", common.LOG_PATH, PATH_SIZE},
        {"COMMON", "LOG_LEVEL", "3", nullptr, 0, &common.LOG_LEVEL},
        {"COMMON", "LOG_FILE_SIZE_MB", "128", nullptr, 0, &common.LOG_FILE_SIZE_MB},
        {"COMMON", "LOG_FILE_COUNT", "10", nullptr, 0, &common.LOG_FILE_COUNT},
        {"COMMON", "STATUS_FILE", "${PKG_ROOT}/log/kest.prom", common.STATUS_FILE, PATH_SIZE},
        {"BILL", "BILL_PATH", "${PKG_ROOT}/bill", bill.BILL_PATH, PATH_SIZE},
        {"BILL", "BILL_SYNC", "1", nullptr, 0, &bill.BILL_SYNC},
        {"BILL", "JOURNAL", "1", nullptr, 0, &bill.JOURNAL},
        {"BILL", "REJECT_PATH", "${PKG_ROOT}/reject", bill.REJECT_PATH, PATH_SIZE},
        {"DB", "DSN", "ALTIBASE_DSN", db.DSN, LOGIN_SIZE},
        {"DB", "UID", "", db.UID, LOGIN_SIZE},
        {"DB", "PWD", "", db.PWD, LOGIN_SIZE},
        {"DB", "AUTO_COMMIT", "1", nullptr, 0, nullptr, &db.AUTO_COMMIT},
        {"DB", "LOGIN_TIMEOUT", "10", nullptr, 0, nullptr, &db.LOGIN_TIMEOUT},
        {"DB", "PASS_ROWS", kPassRowsDefault, nullptr, 0, nullptr, &db.PASS_ROWS},
    };
    char szScratch[PATH_SIZE] = {};
    for (const ConfKey &key : kKeys) {
        char *pcDest = key.pcText ? key.pcText : szScratch;
        size_t unSize = key.pcText ? key.unTextSize : sizeof(szScratch);
        if (ReadConfFile(common.CONFIG_PATH, key.pcSection, key.pcKey, key.pcDefault, pcDest,
                         unSize) == CONF_TOO_LONG)
            throw std::runtime_error(std::string("Failed ! Value of [") + key.pcSection + "] " +
                                     key.pcKey + " is longer than " +
                                     std::to_string(unSize - 1) + " characters");
        // A word such as "on" read as 0 would turn the sync or the journal off unseen: the default
        // holds instead, and the operator is told.
        if (key.pcText == nullptr && !StoreNumber(key, szScratch)) {
            StoreNumber(key, key.pcDefault);
            configNotes.push_back(std::string("Value of [") + key.pcSection + "] " + key.pcKey +
                                  " is not a number [" + szScratch + "]: its default " +
                                  key.pcDefault + " is used");
            if (!checkConfig) printf("%s\n", configNotes.back().c_str());
        }
    }
    if (db.PASS_ROWS < DB::kPassRowsMin || db.PASS_ROWS > DB::kPassRowsMax) {
        configNotes.push_back("Value of [DB] PASS_ROWS is out of range [" +
                              std::to_string(db.PASS_ROWS) + "] (" +
                              std::to_string(DB::kPassRowsMin) + " to " +
                              std::to_string(DB::kPassRowsMax) + "): its default " +
                              kPassRowsDefault + " is used");
        if (!checkConfig) printf("%s\n", configNotes.back().c_str());
        db.PASS_ROWS = atol(kPassRowsDefault);
    }
    common.initEnv();
    bill.initEnv();
}

void KestManager::OnHafHangThrID(unsigned int unThrId) {
    ending::Begin(EXIT_FAILURE);
    Log(LOG_1, "OnHangThrID  Thread-Id(%d) is hang up\n", unThrId);
    Log(LOG_1, "Exit KEST...\n");
    // The other node takes over what this one stops doing.
    char szReason[128];
    snprintf(szReason, sizeof(szReason), "THREAD HANG-UP Detect: Thread-ID: %d", unThrId);
    handOverAndExit(szReason, "hand_over", true);
}

// Runs on a dispatcher thread of the signal library, or for a fault on the faulting thread; every
// signal handled here ends the process.
void KestManager::SignalHandler(int n) {
    ending::Begin(EXIT_FAILURE);
    bool bFault = Is_FaultSignal(n);
    // First, while the faulting thread can still do it: the prepared text, plain system calls.
    if (bFault) ProcessStatus().endedByFault();
    Print_StdoutNow("## Catch The Signal %d\n## Exit KEST...\n", n);
    bool bTermination = n == SIGTERM || n == SIGINT;
    if (!bTermination) {
        Print_StdoutNow("Create_Core\n");
        Create_Core();
    }
    Log(LOG_1, "Catch The Signal %d\n", n);
    char szReason[128];
    snprintf(szReason, sizeof(szReason), "Catch The Signal %d", n);
    // Every stop lets the pass in flight end first; a fault may have struck the worker itself,
    // whose pass cannot end while it waits here.
    handOverAndExit(szReason, bFault ? nullptr : "stop", !bFault);
}

void KestManager::PassOnContinue() {
    static bool bSeen = false;  // noted at the previous call: the stop has had a second to show
    if (!gContinueHeld.load()) return;
    if (gStopRequested.load() || ending::Begun()) return;
    if (!bSeen) {
        bSeen = true;
        return;
    }
    bSeen = false;
    gContinueHeld.store(false);
    __SigFunc(SIGCONT);
}

void KestManager::SighUsr(int n) {
    printf("Catch The Signal SIGUSR1(%d)\n", n);
    fflush(stdout);
    Log(LOG_1, "Catch The Signal SIGUSR1(%d)\n", n);
}

void KestManager::SighUsr2(int n) {
    printf("Catch The Signal SIGUSR2(%d)\n", n);
    fflush(stdout);
    Log(LOG_1, "Catch The Signal SIGUSR2(%d)\n", n);
}

int KestManager::FOpen_S(FILE **f, const char *pszName, const char *pszMode) {
    *f = fopen(pszName, pszMode);
    return *f != nullptr ? 0 : errno;
}

// Part of the ending: its lines go out only where standard output takes them at once, and the
// ending's deadline bounds a listing that never ends.
void KestManager::Create_Core() {
    char szName[kCoreNameSize];
    snprintf(szName, sizeof(szName), "./down_KEST_%d.core", static_cast<int>(getpid()));
    Print_StdoutNow("[CORE] Core file path[%s] \n", szName);
    FILE *pLog = nullptr;
    if (FOpen_S(&pLog, szName, "w") != 0) {
        Print_StdoutNow(" s_log == NULL -> return\n");
        return;
    }
    Print_StdoutNow(" s_log != NULL\n");
    char szCommand[kCommandSize];
    snprintf(szCommand, sizeof(szCommand), "/usr/bin/pstack %d", static_cast<int>(getpid()));
    FILE *pPipe = popen(szCommand, "r");
    Print_StdoutNow("popen\n");
    if (pPipe != nullptr) {
        char szPiece[kPieceSize];
        for (;;) {
            Memset(szPiece, 0, sizeof(szPiece));
            if (fgets(szPiece, sizeof(szPiece), pPipe) == nullptr) break;
            fprintf(pLog, "[PSTACK] %s", szPiece);
        }
        pclose(pPipe);
    }
    fclose(pLog);
    Print_StdoutNow("end\n");
}

void KestManager::handOverAndExit(const char *pcReason, const char *pcExitReason,
                                  bool bEndPass) {
    // One path hands over; a later one waits here for the end the first one makes. A path stuck
    // before this point (a listing that never ends) leaves the hand-over to the next.
    ending::ClaimHandOver();
    // The other node bills what this one leaves: no pass of this node may commit after the request,
    // nor leave lines of rows it did not commit.
    if (bEndPass && getInstance()->gate.close(kPassEndLimit))
        Log(LOG_1, "[STOP] The pass in flight did not end within 3 s: abandoned, its rows come "
                   "again\n");
    halink::SetSwitchNode(pcReason);
    if (pcExitReason != nullptr) RecordEnding(pcExitReason);
    UnLock_Process();
    ending::Exit(0);
}

void KestManager::RecordEnding(const char *pcExitReason) {
    if (!ending::RunWithin([pcExitReason] { ProcessStatus().ended(pcExitReason); }, kStatusLimit))
        Log(LOG_1, "[STATUS] The status file was not rewritten within %lld ms: it may still show "
                   "the daemon up\n",
            static_cast<long long>(kStatusLimit.count()));
}

void KestManager::Fatal(const char *pcCause) {
    ending::Begin(EXIT_FAILURE);
    Flush_StdoutNow();
    std::string line = std::string(pcCause) + "\n";
    Write_Now(STDERR_FILENO, line.data(), line.size());
    RecordEnding("fatal");
    ending::Exit(EXIT_FAILURE);
}

}  // namespace kest
