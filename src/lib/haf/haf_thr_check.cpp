// Thread liveness: the slots watched threads report into, and the checker thread.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "base/error.h"
#include "base/string.h"
#include "base/util.h"
#include "haf/haf_appLib.h"
#include "haf/haf_proc_util.h"
#include "haf/haf_sessLib.h"
#include "haf_lib_state.h"
#include "log/log.h"

namespace {

constexpr int kNameLen = 128;
constexpr uint32_t kLastSlot = HAF_MAX_THREAD_SLOT - 1;
constexpr int kFirstInterval = 10;
constexpr int kDetailLen = 512;

}  // namespace

// The checker reads unThrId, tUpdate and nInterval while the owner writes them; nAlarmF and szName
// change under _HAFLIB_THREAD_CHECK_MUTEX.
struct HafThrEntry {
    std::atomic<uint32_t> unThrId;
    int32_t nAlarmF;
    std::atomic<int32_t> tUpdate;
    std::atomic<int32_t> nInterval;
    char szName[kNameLen];
};

typedef struct Tag_HafProThreadCheck {
    std::atomic<int32_t> nPid;
    int32_t nAlarmF;  // under _HAFLIB_THREAD_CHECK_MUTEX
    std::atomic<int32_t> nCnt;
    HafThrEntry stThr[HAF_MAX_THREAD_SLOT];

    void Clear() {
        nPid.store(-1);
        nAlarmF = 0;
        nCnt.store(0);
        for (HafThrEntry &e : stThr) {
            e.unThrId.store(0);
            e.nAlarmF = 0;
            e.tUpdate.store(0);
            e.nInterval.store(0);
            e.szName[0] = '\0';
        }
    }
} _HAF_PRO_THREAD_CHK;

_HAF_PRO_THREAD_CHK _stHafLibProThrChk;
pthread_mutex_t _HAFLIB_THREAD_CHECK_MUTEX = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> nModeThreadDel{0};
std::atomic<uint32_t> __TOT{0}, __OK{0}, __NOK{0};

// Empty here: a test defines its own to hold the checker between its two reads of a slot.
__attribute__((weak)) void hafCheckSlotRead(uint32_t) {}

thread_local uint32_t __HafLcThrId = 0;
thread_local int32_t __tCur = 0;

namespace {

// Registrations must not pick the same freed slot twice: they take turns.
std::mutex gRegisterMutex;

int32_t nowSec() { return static_cast<int32_t>(getClockTime()); }

class CheckLock {
public:
    CheckLock() { pthread_mutex_lock(&_HAFLIB_THREAD_CHECK_MUTEX); }
    ~CheckLock() { pthread_mutex_unlock(&_HAFLIB_THREAD_CHECK_MUTEX); }
    CheckLock(const CheckLock &) = delete;
    CheckLock &operator=(const CheckLock &) = delete;
};

// Caller holds the check lock. A slot that cannot clear its alarm by reporting drops it and the
// process alarm, so later hangs are alarmed.
bool dropAlarmLocked(HafThrEntry &e) {
    if (e.nAlarmF != 1) return false;
    e.nAlarmF = 0;
    _stHafLibProThrChk.nAlarmF = 0;
    return true;
}

uint32_t highestSlot() {
    int32_t nCnt = _stHafLibProThrChk.nCnt.load();
    if (nCnt <= 0) return 0;
    return static_cast<uint32_t>(nCnt) < kLastSlot ? static_cast<uint32_t>(nCnt) : kLastSlot;
}

uint32_t claimFreedSlot(uint32_t unThrId) {
    for (uint32_t i = 1; i <= highestSlot(); ++i) {
        uint32_t unFree = 0;
        if (_stHafLibProThrChk.stThr[i].unThrId.compare_exchange_strong(unFree, unThrId)) return i;
    }
    return 0;
}

// Above 1023 when no slot is left.
uint32_t registerThread(int32_t tNow) {
    uint32_t unThrId = Get_ThrId();
    std::lock_guard<std::mutex> lock(gRegisterMutex);
    uint32_t unSlot = nModeThreadDel.load() == 1 ? claimFreedSlot(unThrId) : 0;
    if (unSlot == 0) unSlot = static_cast<uint32_t>(_stHafLibProThrChk.nCnt.fetch_add(1) + 1);
    if (unSlot <= kLastSlot) {
        HafThrEntry &e = _stHafLibProThrChk.stThr[unSlot];
        e.unThrId.store(unThrId);
        // tUpdate before nInterval: the checker must never pair a new interval with an old stamp.
        e.tUpdate.store(tNow);
        e.nInterval.store(kFirstInterval);
    }
    return unSlot;
}

void deleteThread() {
    uint32_t unSlot = __HafLcThrId;
    __HafLcThrId = 0;
    if (unSlot == 0 || unSlot > kLastSlot) return;
    nModeThreadDel.store(1);
    HafThrEntry &e = _stHafLibProThrChk.stThr[unSlot];
    Log(LOG_2, "[%s]DEBUG)ThrId Del[Lc:%u/Thr:%u] CNT(%d)\n", logHafLibTitle, unSlot,
        e.unThrId.load(), _stHafLibProThrChk.nCnt.load());
    e.nInterval.store(0);
    e.tUpdate.store(0);
    {
        CheckLock lock;
        dropAlarmLocked(e);
    }
    e.unThrId.store(0);  // free only once quiet
}

void firstReport(uint32_t unSlot, const char *pcName) {
    HafThrEntry &e = _stHafLibProThrChk.stThr[unSlot];
    uint32_t unThrId = Get_ThrId();
    e.unThrId.store(unThrId);
    char szName[kNameLen];
    {
        CheckLock lock;
        dropAlarmLocked(e);
        if (pcName != nullptr) StrCpy(e.szName, pcName, sizeof(e.szName));
        StrCpy(szName, e.szName, sizeof(szName));
    }
    Log(LOG_2, "[%s]DEBUG)ThrId New[Lc:%u/Thr:%u/Name:%s]\n", logHafLibTitle, unSlot, unThrId,
        szName);
}

struct PassTotals {
    int nTot = 0;
    int nOK = 0;
    uint32_t unHungThrId = 0;
};

enum class AlarmChange { None, Raised, Cleared };

// The detail names the slot "Idx:<i>" in an alarm and "<i>" in a clear.
void logAlarmChange(AlarmChange change, uint32_t i, const HafThrEntry &e, const char *pszName,
                    int32_t nInterval, int32_t tUpdate) {
    if (change == AlarmChange::None) return;
    bool bRaised = change == AlarmChange::Raised;
    char szIdx[32];
    snprintf(szIdx, sizeof(szIdx), bRaised ? "Idx:%d" : "%d", static_cast<int>(i));
    char szTime[32];
    StrTime(static_cast<time_t>(tUpdate), szTime, sizeof(szTime));
    char szDetail[kDetailLen];
    snprintf(szDetail, sizeof(szDetail),
             "Process-Id(%d) Thread-Id(%s/%u/%s) is hang up nInterval[%d] tUpdate[%s] ",
             _stHafLibProThrChk.nPid.load(), pszName, e.unThrId.load(), szIdx, nInterval, szTime);
    Log(LOG_1, "[%s]%s [%s]\n", logHafLibTitle, bRaised ? "Alarm" : "Clear", szDetail);
}

void checkSlot(uint32_t i, int32_t tNow, PassTotals &totals, int &nMakeStackF) {
    HafThrEntry &e = _stHafLibProThrChk.stThr[i];
    // The owner stamps before it sets the interval. A deletion between the two reads leaves stamp
    // 0, which no report writes: the slot is unwatched, not hung.
    int32_t nInterval = e.nInterval.load();
    hafCheckSlotRead(i);
    int32_t tUpdate = e.tUpdate.load();
    if (tUpdate == 0) nInterval = 0;
    AlarmChange change = AlarmChange::None;
    char szName[kNameLen];
    ++totals.nTot;
    {
        CheckLock lock;
        StrCpy(szName, e.szName, sizeof(szName));
        if (nInterval <= 0) {
            ++totals.nOK;
            if (dropAlarmLocked(e)) change = AlarmChange::Cleared;
        } else {
            int64_t tDeadline = static_cast<int64_t>(tUpdate) + nInterval;
            if (_stHafLibProThrChk.nAlarmF == 0 && tDeadline < tNow) {
                _stHafLibProThrChk.nAlarmF = 1;
                totals.unHungThrId = e.unThrId.load();
                nMakeStackF = 1;
                e.nAlarmF = 1;
                change = AlarmChange::Raised;
            } else if (_stHafLibProThrChk.nAlarmF == 1 && e.nAlarmF == 1 && tDeadline > tNow) {
                _stHafLibProThrChk.nAlarmF = 0;
                e.nAlarmF = 0;
                change = AlarmChange::Cleared;
            }
            if (tDeadline >= tNow) ++totals.nOK;
        }
    }
    logAlarmChange(change, i, e, szName, nInterval, tUpdate);
}

void dumpAndNotify(uint32_t unThrId) {
    Log(LOG_1, "[%s]printHangThread [%u]\n", logHafLibTitle, unThrId);
    printHangThread(unThrId);
    Log(LOG_1, "[%s]printHangThread User Func [%u]\n", logHafLibTitle, unThrId);
    if (pfHafHangThrID pfFunc = haf_hang_cb.load()) pfFunc(unThrId);
}

void reportThreads(const PassTotals &totals) {
    if (totals.nTot > 0 && gnNoReportTest.load() == 0 && gnReportF.load() == 1) {
        if (sendMasterThreadInfo_Haf(totals.nOK, totals.nTot, gszAppVersion) == 0) return;
        if (Reinit_UnixDoomainSocket_Haf() < 0) {
            Log(LOG_1, "[%s]Init_UnixDoomainSocket_Haf Fail [%s]\n", logHafLibTitle,
                StrError(errno));
            return;
        }
        sendMasterThreadInfo_Haf(totals.nOK, totals.nTot, gszAppVersion);
        return;
    }
    Log(LOG_3, "[%s]NO THREAD [TOT=%d/OK=%d/NOK=%d] gnNoReportTest[%d] gnReportF[%d] (%s:%d)\n",
        logHafLibTitle, totals.nTot, totals.nOK, totals.nTot - totals.nOK, gnNoReportTest.load(),
        gnReportF.load(), "_Haf_Thr_Chker", __LINE__);
}

void *_Haf_Thr_Chker(void *) {
    Log(LOG_4, "[%s]======== Start Process Checker[%ld] ======== _stHafLibProThrChk.nCnt=%d\n",
        logHafLibTitle, static_cast<long>(Get_ThrId()), _stHafLibProThrChk.nCnt.load());
    int nMakeStackF = 0;  // set by the first alarm, never cleared
    for (;;) {
        Sleep(1);
        PassTotals totals;
        int32_t tNow = nowSec();
        for (uint32_t i = 1; i <= highestSlot(); ++i) checkSlot(i, tNow, totals, nMakeStackF);
        if (nMakeStackF == 1 && totals.unHungThrId > 0 && gnReportF.load() == 1)
            dumpAndNotify(totals.unHungThrId);
        reportThreads(totals);
        CheckLock lock;
        __TOT.store(static_cast<uint32_t>(totals.nTot));
        __OK.store(static_cast<uint32_t>(totals.nOK));
        __NOK.store(static_cast<uint32_t>(totals.nTot - totals.nOK));
    }
    return nullptr;
}

}  // namespace

int Init_THreadCheck_Haf(pfHafHangThrID cbFunc) {
    _stHafLibProThrChk.Clear();
    int nPid = static_cast<int>(getpid());
    _stHafLibProThrChk.nPid.store(nPid);
    haf_hang_cb.store(cbFunc);
    Log(LOG_4, "[%s]Init: Pid:%d\n", logHafLibTitle, nPid);
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        Log(LOG_1, "[%s]Failed Init thread attr\n", logHafLibTitle);
        exit(1);
    }
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        Log(LOG_1, "[%s]Failed detach thread attr\n", logHafLibTitle);
        exit(1);
    }
    pthread_t tid;
    int nRet = pthread_create(&tid, &attr, _Haf_Thr_Chker, nullptr);
    pthread_attr_destroy(&attr);
    if (nRet != 0) {
        printf("Pthread for Cheader Create Fail [%s]\n", StrError(nRet));
        return -1;
    }
    return 0;
}

int HAThrAlive(int nInterval, const char *pcName) {
    if (nInterval < 0) {
        deleteThread();
        return 0;
    }
    int32_t tNow = nowSec();
    bool bNew = false;
    if (__HafLcThrId == 0) {
        __HafLcThrId = registerThread(tNow);
        __tCur = 0;
        bNew = true;
    }
    uint32_t unSlot = __HafLcThrId;
    if (unSlot > kLastSlot) return -1;
    HafThrEntry &e = _stHafLibProThrChk.stThr[unSlot];
    if (__tCur != tNow) {
        __tCur = tNow;
        if (bNew) firstReport(unSlot, pcName);
        e.tUpdate.store(tNow);
        e.nInterval.store(nInterval);
    } else if (nInterval == 0 && e.nInterval.load() != 0) {
        e.nInterval.store(0);
    }
    return 0;
}

int HAThrAliveStart() {
    gnReportF.store(1);
    return 1;
}

unsigned int getThreadCnt(unsigned int *unOK, unsigned int *unNok) {
    if (g_nInitHafLib.load() != 1) return 0;
    if (unOK != nullptr) *unOK = __OK.load();
    if (unNok != nullptr) *unNok = __NOK.load();
    return __TOT.load();
}

const char *HALibGetThrName(unsigned int unSlot) {
    if (unSlot >= static_cast<unsigned int>(HAF_MAX_THREAD_SLOT)) return "Not_Initialized";
    return _stHafLibProThrChk.stThr[unSlot].szName;
}

int _Haf_Has_ThrID(unsigned int unThrId) {
    for (uint32_t i = 1; i <= highestSlot(); ++i) {
        if (_stHafLibProThrChk.stThr[i].unThrId.load() == unThrId) return static_cast<int>(i);
    }
    return -1;
}

int isHang() {
    if (g_nInitHafLib.load() != 1 || gnHangTest.load() != 1) return 1;
    for (int i = 0; i < 3600; ++i) Sleep_m(1000);
    return 0;
}

void *_Haf_Thr_HangTest(void *) {
    while (gnHangTest.load() != 1) {
        if (_stHafLibProThrChk.nCnt.load() != 0) HAThrAlive(5, nullptr);
        Sleep_m(500);
    }
    return nullptr;
}
