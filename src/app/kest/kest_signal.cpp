// What the daemon does on signals: a general signal ends the process after a
// stack listing and a switch-over request; the user signals are only logged.
// The signal library runs these on its dispatcher thread (or, for faults, on
// the faulting thread), never inside an interrupted stdio or log call.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "base/memctrl.h"
#include "base/util.h"
#include "kest_manager.h"
#include "log/log.h"

namespace kest {

namespace {

constexpr size_t kCoreNameSize = 512;
constexpr size_t kCommandSize = 128;
constexpr size_t kPieceSize = 512;
constexpr std::chrono::seconds kTerminationSayLimit(1);

// Runs say on a thread of its own and waits for it only so long: a standard
// output that nobody reads, or whose lock a stuck thread holds, must not keep
// a termination request from ending the process. A thread still stuck there
// goes with the process.
template <typename Say>
void SayWithin(std::chrono::milliseconds limit, Say say) {
    auto said = std::make_shared<std::promise<void>>();
    std::future<void> done = said->get_future();
    try {
        std::thread([said, say] {
            say();
            said->set_value();
        }).detach();
    } catch (const std::system_error &) {
        return;  // no thread to spare: the lines are left unsaid
    }
    done.wait_for(limit);
}

}  // namespace

void KestManager::SignalHandler(int n) {
    StdoutNeverWaits();  // every signal handled here ends the process
    bool bTermination = n == SIGTERM || n == SIGINT;
    auto sayCatch = [n] {
        printf("## Catch The Signal %d\n", n);
        puts("## Exit KEST...");
    };
    if (bTermination)
        SayWithin(kTerminationSayLimit, [sayCatch] {
            sayCatch();
            fflush(stdout);
        });
    else
        sayCatch();
    if (!bTermination) {
        puts("Create_Core");
        Create_Core();
    }
    Log(LOG_1, "Catch The Signal %d\n", n);
    char szReason[128];
    snprintf(szReason, sizeof(szReason), "Catch The Signal %d", n);
    HandOverAndExit(szReason, bTermination);
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

void KestManager::Create_Core() {
    char szName[kCoreNameSize];
    snprintf(szName, sizeof(szName), "./down_KEST_%d.core", static_cast<int>(getpid()));
    printf("[CORE] Core file path[%s] \n", szName);
    FILE *pLog = nullptr;
    if (FOpen_S(&pLog, szName, "w") != 0) {
        puts(" s_log == NULL -> return");
        return;
    }
    puts(" s_log != NULL");
    char szCommand[kCommandSize];
    snprintf(szCommand, sizeof(szCommand), "/usr/bin/pstack %d", static_cast<int>(getpid()));
    FILE *pPipe = popen(szCommand, "r");
    puts("popen");
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
    puts("end");
}

}  // namespace kest
