#pragma once
// Finds the current user's processes by name, for the single-instance test and the backup
// session's check for the host's own sync tools.
//
// Names are compared as the kernel keeps them: a name longer than its command-name limit
// (15 bytes here) matches any process whose command name equals its first 15 bytes. Only
// processes whose effective user id is the caller's user id are reported. Any thread.

#include <sys/types.h>

// Fills up to `NumberOfPossiblePIDsInArray` pids. Returns 0 when at least one was found,
// -1 when none, -2 for a missing name, array or count pointer or a capacity of 0, -3 when
// the process table could not be read (*SysctlError = the system error number; EAGAIN when
// it kept growing), -4 when memory ran out (*SysctlError = 12).
int GetAllPIDsForProcessName(const char *ProcessName, pid_t ArrayOfReturnedPIDs[],
                             unsigned int NumberOfPossiblePIDsInArray, unsigned int *NumberOfMatchesFound,
                             int *SysctlError);

// The first matching pid, or -1 when the lookup fails or finds none.
int GetPIDForProcessName(const char *ProcessName);
