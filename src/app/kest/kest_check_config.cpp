// --check-config: configuration, folders, lock, log registry and data source (kest_check_config.h).
#include "kest_check_config.h"

#include <fcntl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/util.h"
#include "ipc/shmlib.h"
#include "kest_db_selecter.h"
#include "kest_folder_health.h"
#include "kest_query.h"
#include "log/log_registry.h"
#include "odbc/odbc_connect.h"
#include "odbc/odbc_error.h"

namespace kest {

namespace {

struct Item {
    const char *pcName;
    std::function<Verdict()> check;
};

Verdict Folder(const std::string &dir) {
    Verdict stVerdict = ProbeFolder(dir);
    stVerdict.detail = dir + ": " + stVerdict.detail;
    return stVerdict;
}

Verdict RejectFolder(const char *pcDir) {
    if (pcDir[0] == '\0') return {true, "none set: a row that cannot be billed ends the process"};
    return Folder(pcDir);
}

// Asked of the kernel without taking the lock: a check beside a running daemon changes nothing.
Verdict Lock(const std::string &lockFile) {
    std::string path = lockFile + ".lock";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return {true, path + ": free"};
    if (fd < 0) return {false, path + ": " + strerror(errno)};
    struct flock stLock {};
    stLock.l_type = F_WRLCK;
    stLock.l_whence = SEEK_SET;
    int nRet = fcntl(fd, F_GETLK, &stLock);
    int nErr = errno;
    close(fd);
    if (nRet != 0) return {false, path + ": " + strerror(nErr)};
    if (stLock.l_type == F_UNLCK) return {true, path + ": free"};
    return {false, path + ": held by pid " + std::to_string(stLock.l_pid)};
}

// Opened as a start opens it (made when missing, its owners vetted), then let go.
Verdict LogRegistry() {
    std::string key = std::string(Get_OrvoTmpRoot()) + LOG_SHM_KEY_NAME;
    void *pvShm =
        ShmOpen(key.c_str(), static_cast<int>(LOG_SHM_SIZE), nullptr, nullptr, 0, SHM_MODE_PRIVATE);
    if (pvShm == nullptr) {
        std::string why = StrError(errno);
        return {false, ShmKeyFileName(key.c_str()) + ": " + why.substr(0, why.find('\n'))};
    }
    shmdt(pvShm);
    return {true, ShmKeyFileName(key.c_str())};
}

// The ODBC layer echoes each diagnostic on standard output, which carries only verdicts here: the
// echo goes to standard error while the data source is checked.
class StdoutToStderr {
  public:
    StdoutToStderr() : fdSaved(dup(STDOUT_FILENO)) {
        fflush(stdout);
        if (fdSaved >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    ~StdoutToStderr() {
        fflush(stdout);
        if (fdSaved < 0) return;
        dup2(fdSaved, STDOUT_FILENO);
        close(fdSaved);
    }
    StdoutToStderr(const StdoutToStderr &) = delete;
    StdoutToStderr &operator=(const StdoutToStderr &) = delete;

  private:
    int fdSaved;
};

Verdict DataSource(const KestManager::DB &db) {
    std::string where = DbSelecter::ConnectionString(db, true);
    StdoutToStderr stEcho;
    try {
        odbctemplate::OdbcConnect connection =
            odbctemplate::OdbcConnect::OdbcConnectBuilder(DbSelecter::ConnectionString(db, false))
                .setLoginTimeout(DbSelecter::LoginTimeoutSec(db))
                .build();
        connection.preparedStmt(DAO::SELECT_SQL);
    } catch (const odbctemplate::OdbcError &e) {
        return {false, where + ": " + e.what()};
    }
    return {true, where + ": connected, select prepared"};
}

Verdict Configuration(const KestManager &pm, const char *pcConfigError) {
    if (pcConfigError != nullptr) return {false, pcConfigError};
    std::string detail = pm.common.CONFIG_PATH;
    for (const std::string &note : pm.notes()) detail += "; " + note;
    return {pm.notes().empty(), detail};
}

}  // namespace

int CheckConfig(const KestManager &pm, const char *pcConfigError) {
    const std::vector<Item> kItems = {
        {"configuration", [&] { return Configuration(pm, pcConfigError); }},
        {"bill folder", [&] { return Folder(pm.bill.BILL_PATH); }},
        {"reject folder", [&] { return RejectFolder(pm.bill.REJECT_PATH); }},
        {"key folder", [&] { return Folder(pm.common.KEY_PATH); }},
        {"lock", [&] { return Lock(pm.common.LOCK_FILE); }},
        {"log registry", [] { return LogRegistry(); }},
        {"data source", [&] { return DataSource(pm.db); }},
    };
    size_t unFailed = 0;
    for (const Item &item : kItems) {
        Verdict stVerdict = pcConfigError != nullptr && unFailed > 0
                                ? Verdict{false, "not checked: the configuration cannot be read"}
                                : item.check();
        if (!stVerdict.bOk) ++unFailed;
        printf("[%s] %s: %s\n", stVerdict.bOk ? " OK " : "FAIL", item.pcName,
               stVerdict.detail.c_str());
    }
    if (unFailed == 0)
        printf("kest: configuration ok\n");
    else
        printf("kest: %zu of %zu checks failed\n", unFailed, kItems.size());
    fflush(stdout);
    return unFailed == 0 ? 0 : 1;
}

}  // namespace kest
