// Message names and the link's locations below the runtime root.
#include "haf/haf_def.h"

#include <cstdio>

#include "base/util.h"

namespace {

struct MsgName {
    int nMsgName;
    const char *pszName;
};

#define HAF_MSG_NAME(name) {name, #name}
constexpr MsgName kMsgNames[] = {
    HAF_MSG_NAME(HAF_MSG_PROC_THREAD_RPT), HAF_MSG_NAME(HAF_MSG_HOST_STATUS_RPT),
    HAF_MSG_NAME(HAF_MSG_PROC_STATUS_RPT), HAF_MSG_NAME(HAF_MSG_HOST_STATUS_HB_RPT),
    HAF_MSG_NAME(HAF_MSG_HOST_ETC_STATUS_RPT), HAF_MSG_NAME(HAF_MSG_PROC_HANG_START_RPT),
    HAF_MSG_NAME(HAF_MSG_HOST_OLU_STATUS_RPT), HAF_MSG_NAME(HAF_MSG_PROC_NOREPORT_START_RPT),
    HAF_MSG_NAME(HAF_MSG_HOST_STATUS_REQ), HAF_MSG_NAME(HAF_MSG_HOST_STATUS_RSP),
    HAF_MSG_NAME(HAF_MSG_HOST_OPER_STATUS_CHG_REQ), HAF_MSG_NAME(HAF_MSG_HOST_OPER_STATUS_CHG_RSP),
    HAF_MSG_NAME(HAF_MSG_HOST_ADMN_STATUS_CHG_REQ), HAF_MSG_NAME(HAF_MSG_HOST_ADMN_STATUS_CHG_RSP),
    HAF_MSG_NAME(HAF_MSG_HOST_SVC_STATUS_CHG_REQ), HAF_MSG_NAME(HAF_MSG_HOST_SVC_STATUS_CHG_RSP),
    HAF_MSG_NAME(HAF_MSG_PROC_LIST_REQ), HAF_MSG_NAME(HAF_MSG_PROC_LIST_RSP),
    HAF_MSG_NAME(HAF_MSG_PROC_STATUS_CHG_REQ), HAF_MSG_NAME(HAF_MSG_PROC_STATUS_CHG_RSP),
    HAF_MSG_NAME(HAF_MSG_CLI_TEST_REQ), HAF_MSG_NAME(HAF_MSG_CLI_TEST_RSP),
    HAF_MSG_NAME(HAF_MSG_REMOTE_MSG_REQ), HAF_MSG_NAME(HAF_MSG_REMOTE_MSG_RSP),
    HAF_MSG_NAME(HAF_MSG_LOCAL_MSG_REQ), HAF_MSG_NAME(HAF_MSG_LOCAL_MSG_RSP),
};
#undef HAF_MSG_NAME

char *formatPath(char *pszBuf, int nLen, const char *pszTail) {
    if (pszBuf == nullptr || nLen <= 0) return pszBuf;
    snprintf(pszBuf, static_cast<size_t>(nLen), "%s/haf/%s", Get_OrvoTmpRoot(), pszTail);
    return pszBuf;
}

}  // namespace

const char *getMsgName_Haf(int nMsgName) {
    for (const MsgName &stName : kMsgNames) {
        if (stName.nMsgName == nMsgName) return stName.pszName;
    }
    return "UNKNOWN";
}

char *getMasterSockPath_Haf(char *pszBuf, int nLen) {
    return formatPath(pszBuf, nLen, "sock/master");
}

char *getClientSockPath_Haf(int nPid, char *pszBuf, int nLen) {
    char szTail[32];
    snprintf(szTail, sizeof(szTail), "sock/%d", nPid);
    return formatPath(pszBuf, nLen, szTail);
}

char *getShmDirPath_Haf(char *pszBuf, int nLen) { return formatPath(pszBuf, nLen, "shm/"); }
