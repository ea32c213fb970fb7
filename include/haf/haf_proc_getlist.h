// Public: facts about processes from /proc. Readers return -1 with the record partly filled.
#pragma once

#include <cstdint>

typedef struct PROC_PID_STAT_TAB {
    int32_t nPid;            // field 1 of the stat line
    char szCommand[128];     // field 2, without parentheses
    int32_t nPPid;           // field 4
    uint32_t priority;       // field 18
    uint32_t nice;           // field 19
    uint64_t utime;          // field 14, clock ticks
    uint64_t stime;          // field 15, clock ticks
    uint64_t starttime;      // field 22, clock ticks after boot
    uint64_t vsize;          // field 23, bytes
    int32_t nCputime;        // CPU use since start, tenths of a percent
    char szPath[512];        // directory of the program
    char szCmdLine[512];     // program name, a blank, the arguments
    char szUsername[512];    // owner
} PROC_PID_STAT;

// Whole seconds since boot; 0 when /proc/uptime cannot be read.
long uptime();
// Tenths of a percent; starttime in ticks after boot, `seconds` after boot.
int getCputime(uint64_t utime, uint64_t stime, uint64_t starttime, long seconds);

int getFileProcPidCmdLine(int pid, PROC_PID_STAT_TAB *pstTab);
int getFileProcStat(int pid, PROC_PID_STAT_TAB *pstTab);
int getDirProcStat(int pid, PROC_PID_STAT_TAB *pstTab);
// The pid on success; -1 for a pid of 0 or less or on failure.
int getProcPIDProcStat(int pid, PROC_PID_STAT_TAB *pstTab);
// Among the first nLen (at most 300) entries of a getDirProcStatList list.
int getProcNameProcStat(const char *Command, const char *args, PROC_PID_STAT_TAB *pstOut, int nLen,
                        PROC_PID_STAT_TAB **ppstList);
// A heap array the caller free()s; the count, or -1.
int getDirProcStatList(PROC_PID_STAT_TAB **ppstOut);
