// Status words for logging, and the process list as the application sees it.
#include <cstdlib>
#include <cstring>

#include "haf/haf_appLib.h"
#include "haf_lib_state.h"

namespace {

struct Word {
    int nValue;
    const char *pszText;
};

template <size_t N>
const char *lookUp(const Word (&table)[N], int nValue, const char *pszOther) {
    for (const Word &w : table) {
        if (w.nValue == nValue) return w.pszText;
    }
    return pszOther;
}

constexpr Word kRedState[] = {
    {-1, "OFF_SYSTEM"}, {1, "INIT_SYSTEM"}, {2, "STANDBY_SYSTEM"}, {3, "ACTIVE_SYSTEM"}};
constexpr Word kStateKey[] = {{-1, "OFF"}, {1, "INT"}, {2, "SBY"}, {3, "ACT"}};
constexpr Word kLockWord[] = {{0, "UNLOCK"}, {1, "LOCK"}};
constexpr Word kSvcWord[] = {{0, "ALLOW"}, {1, "INHIBIT"}};
constexpr Word kOperate[] = {{1, "ENAB"}, {2, "ENAB"}, {3, "ENAB"}};
constexpr Word kProcStatus[] = {{0, "INIT"}, {1, "ENAB"}, {2, "DISA"}, {3, "FAIL"}};
constexpr Word kProcStatus2[] = {{0, "INIT"}, {1, "NORM"}, {2, "DISA"}, {3, "FAIL"}};
constexpr Word kProcAct[] = {{1, "RESPAWN"}, {2, "WAIT"}, {3, "OFF"}, {4, "STOP"}};
constexpr Word kRunState[] = {{1, "BOTH"}, {2, "STANDBY"}, {3, "ACTIVE"}};
constexpr Word kReportType[] = {{1, "yes"}};
constexpr Word kDownDetectType[] = {{0, "no"},  {1, "sec"}, {2, "min"},
                                    {3, "hour"}, {4, "day"}, {5, "month"}};
constexpr Word kDownDetectAction[] = {{0, "Alarm"}, {1, "Stop"}, {2, "Switch"}};

}  // namespace

const char *getHostRedState(int16_t nState) { return lookUp(kRedState, nState, "UNDEF"); }
const char *getHostStateKey(int16_t nState) { return lookUp(kStateKey, nState, "UND"); }
const char *getHostAdmnState(int16_t nState) { return lookUp(kLockWord, nState, "UNDEF"); }
const char *getHostHWState(int16_t nState) { return lookUp(kLockWord, nState, "UNDEF"); }
const char *getHostSvcState(int16_t nState) { return lookUp(kSvcWord, nState, "UNDEF"); }
const char *getHostOpertate(int16_t nState) { return lookUp(kOperate, nState, "DISA"); }
const char *getProcStatus(int nState) { return lookUp(kProcStatus, nState, "UND"); }
const char *getProcStatus2(int nState) { return lookUp(kProcStatus2, nState, "UND"); }
const char *getProcActStr(int nAction) { return lookUp(kProcAct, nAction, "UNDEF"); }
const char *getProcRunStateStr(int nState) { return lookUp(kRunState, nState, "UNDEF"); }
const char *getRunSystemStateStr(int nState) { return lookUp(kRunState, nState, "UN_DEF"); }
const char *getProcReportTypeStr(int nType) { return lookUp(kReportType, nType, "no"); }
const char *getProcDownDetectTypeStr(int nType) {
    return lookUp(kDownDetectType, nType, "UN_DEF");
}
const char *getProcDownDetectActionStr(int nAction) {
    return lookUp(kDownDetectAction, nAction, "UN_DEF");
}

ClientProInfoHAF_ makeProcessEvent_Haf(const ProcInfoHAF &info, const ProcMngInfoHAF &cont) {
    ClientProInfoHAF_ out;
    memset(&out, 0, sizeof(out));
    out.nUsed = info.nUsed;
    memcpy(out.szProcessName, info.szProcessName, sizeof(out.szProcessName));
    out.nProcessID = info.nProcessID;
    out.nPriority = info.nPriority;
    out.nSleep = info.nSleep;
    memcpy(out.szUserName, info.szUserName, sizeof(out.szUserName));
    out.nRunState = info.nRunState;
    out.nAction = info.nAction;
    out.stReport = info.stReport;
    out.stDownCheck = info.stDownCheck;
    memcpy(out.szPath, info.szPath, sizeof(out.szPath));
    memcpy(out.szArgs, info.szArgs, sizeof(out.szArgs));
    out.nCurStat = cont.nCurStat.load();
    out.nPId = cont.nPId.load();
    out.tStartTime = cont.tStartTime.load();
    out.tDownTime = cont.tDownTime.load();
    out.nDownCnt = cont.nDownCnt.load();
    out.tLastMsg = cont.tLastMsg.load();
    out.nMaxThread = cont.nMaxThread.load();
    out.nAliveThread = cont.nAliveThread.load();
    out.nDownThread = cont.nDownThread.load();
    return out;
}

int HALibGetProcessStatus(ClientProInfoHAF_ **pstHafProcessList) {
    if (g_nInitHafLib.load() != 1 || pstHafProcessList == nullptr || _procHafLib == nullptr)
        return -1;
    const ProcListHAF *pList = currentHafProcShm();
    if (pList == nullptr) return -1;
    int nCnt = pList->nProcCnt;
    if (nCnt < 0) return -1;
    // Fields the list does not hold, and rows past the table's end, stay zero.
    auto *pstList = static_cast<ClientProInfoHAF_ *>(
        calloc(static_cast<size_t>(nCnt > 0 ? nCnt : 1), sizeof(ClientProInfoHAF_)));
    if (pstList == nullptr) return -1;
    *pstHafProcessList = pstList;
    for (int i = 0; i < nCnt && i < HAF_MAX_PROC; ++i)
        pstList[i] = makeProcessEvent_Haf(pList->stInfo[i], pList->stCont[i]);
    return nCnt;
}
