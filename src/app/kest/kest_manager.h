// Internal to the daemon: the application manager. It owns every setting, runs start-up in a fixed
// order, offers the logging facade and takes signals and hang report to the process's end.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kest_pass_gate.h"

namespace kest {

enum HA_MODE { INIT = 1, STANDBY = 2, ACTIVE = 3 };

// Stateless facade over the logging library's section 0.
class OrvoLogger {
public:
    int critical(const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
    int info(const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
    int debug(const char *pcFormat, ...) __attribute__((format(printf, 2, 3)));
};

class KestManager {
public:
    static constexpr size_t PATH_SIZE = 1024;
    static constexpr size_t LOGIN_SIZE = 64;

    struct COMMON {
        char BASE_PATH[PATH_SIZE];
        char KEY_PATH[PATH_SIZE];
        char CONFIG_PATH[PATH_SIZE];
        char LOG_PATH[PATH_SIZE];
        char LOCK_FILE[PATH_SIZE];
        uint32_t LOG_LEVEL;
        uint32_t LOG_FILE_SIZE_MB;
        uint32_t LOG_FILE_COUNT;
        // Status file for monitoring; empty: none.
        char STATUS_FILE[PATH_SIZE];
        void initEnv();
    };
    struct BILL {
        char BILL_PATH[PATH_SIZE];
        // 1: every bill line reaches the disk before its row is deleted.
        uint32_t BILL_SYNC;
        // Folder of reject files; empty: a row that cannot be billed ends the process.
        char REJECT_PATH[PATH_SIZE];
        // 1: a journal of written rows, so that a restart bills no row twice; 0: at least once.
        uint32_t JOURNAL;
        void initEnv();
    };
    struct DB {
        char DSN[LOGIN_SIZE];
        char UID[LOGIN_SIZE];
        char PWD[LOGIN_SIZE];
        int64_t LOGIN_TIMEOUT;
        // 1: each delete commits on its own; 0: one commit per pass.
        int64_t AUTO_COMMIT;
        // Rows a select brings at most, and with a commit per pass the rows of one transaction.
        int64_t PASS_ROWS;
        static constexpr int64_t kPassRowsMin = 1;
        static constexpr int64_t kPassRowsMax = 1000;
    };
    struct HA {
        // Written by the HA library's dispatch thread, read by the worker.
        std::atomic<int> MODE{0};
        const char *getString() const;
        bool isActive() const { return MODE.load() == ACTIVE; }
    };

    static KestManager *getInstance();

    // Start-up in two steps; each throws std::runtime_error with the operator's text on a fatal
    // failure. readSettings: command line, environment and configuration file, nothing taken yet.
    // start: process lock, HA library, log, signal handlers.
    void readSettings(int argc, char **argv);
    void start();
    OrvoLogger &log() { return logger; }

    void getProgromParam(int argc, char **argv);
    void printHelp(FILE *pOut);
    void readConfigINI();
    // What reading the settings found worth saying (a word where a number belongs).
    const std::vector<std::string> &notes() const { return configNotes; }

    static void OnHafHangThrID(unsigned int unThrId);

    // Ends the process after a fatal error, with status 1: its cause (already logged, where the log
    // is open) on standard error, the status file's last text with reason "fatal".
    [[noreturn]] static void Fatal(const char *pcCause);

    // A general signal: reported, a stack listing for all but a termination request, then the
    // hand-over. Does not return.
    static void SignalHandler(int n);
    // Passes a SIGCONT on as a general signal unless a stop came with it; the main thread calls it
    // once a second.
    static void PassOnContinue();
    static void SighUsr(int n);
    static void SighUsr2(int n);
    static void Create_Core();
    static int FOpen_S(FILE **f, const char *pszName, const char *pszMode);

    std::string name;
    COMMON common{};
    BILL bill{};
    DB db{};
    HA ha;
    // --check-config: the settings are checked and nothing starts.
    bool checkConfig = false;
    OrvoLogger logger;
    // The billing pass in flight, which a stop lets end first.
    PassGate gate;

private:
    KestManager() = default;
    std::vector<std::string> configNotes;
    // Lets the pass in flight end first when bEndPass (not in a fault, whose thread may be the
    // worker), then switch-over request, the status file's last text with pcExitReason (none when
    // null), lock release, exit 0; once, within the ending's deadline.
    [[noreturn]] static void handOverAndExit(const char *pcReason, const char *pcExitReason,
                                             bool bEndPass);
    // The status file's last text, bounded in time (pcExitReason: a string literal).
    static void RecordEnding(const char *pcExitReason);
};

// Registers the HA role callbacks in order; false, after a critical line, on a refusal.
bool RegisterRoleCallbacks(OrvoLogger &log);

}  // namespace kest
