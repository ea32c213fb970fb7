// The node's HA role as the HA client library reports it: three callbacks, run on the library's
// dispatch thread, that only log and store the role.
#include "haf/haf_appLib.h"
#include "kest_manager.h"

namespace kest {

namespace {

void LogStatus(const char *pcWhich, int16_t nAdmin, int16_t nRed, int16_t nHw, int16_t nSvc) {
    KestManager::getInstance()->log().critical(
        "==> OnHafHostStatus :: %s Admin=%d:%s Rep=%d:%s HW=%d:%s SVC=%d:%s\n", pcWhich, nAdmin,
        getHostAdmnState(nAdmin), nRed, getHostRedState(nRed), nHw, getHostHWState(nHw), nSvc,
        getHostSvcState(nSvc));
}

void OnHafHostStatus(HafHostStatusRpt *r) {
    LogStatus("Local  ", r->nLocalAdmnStatus, r->nLocalRedundancyStatus, r->nLocalHardwareStatus,
              r->nLocalSvcStatus);
    LogStatus("Remote ", r->nRemotAdmnStatus, r->nRemotRedundancyStatus, r->nRemotHardwareStatus,
              r->nRemotSvcStatus);
}

void OnHafStandbyCallback(HafHostStatusRpt *r) {
    KestManager *pm = KestManager::getInstance();
    pm->log().critical("==> OnHafStandbyCallback [%s -> %s] \n", pm->ha.getString(),
                       getHostRedState(r->nLocalRedundancyStatus));
    pm->ha.MODE = r->nLocalRedundancyStatus;
}

void OnHafActiveCallback(HafHostStatusRpt *r) {
    KestManager *pm = KestManager::getInstance();
    pm->log().critical("==> OnHafActiveCallback [%s -> %s] \n", pm->ha.getString(),
                       getHostRedState(r->nLocalRedundancyStatus));
    pm->ha.MODE = r->nLocalRedundancyStatus;
    pm->log().critical("Current HA state:%s\n", pm->ha.getString());
}

}  // namespace

bool RegisterRoleCallbacks(OrvoLogger &log) {
    if (HALibRegisterHostStatusCallback(OnHafHostStatus) != 0) {
        log.critical("[FAIL] HALibRegisterHostStatusCallback Fail \n");
        return false;
    }
    if (HALibRegisterStandbyStatCallback(OnHafStandbyCallback) != 0) {
        log.critical("[FAIL] HALibRegisterStandbyStatCallback Fail \n");
        return false;
    }
    if (HALibRegisterActiveStatCallback(OnHafActiveCallback) != 0) {
        log.critical("[FAIL] HALibRegisterActiveStatCallback Fail \n");
        return false;
    }
    return true;
}

}  // namespace kest
