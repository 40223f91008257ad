#pragma once
// Arms a trap on allocation and locking: once armed, malloc, calloc, realloc, free and
// pthread_mutex_lock end the process with status 97. A crashed child arms it just before its
// fault, so a report that exists proves the crash path did neither.
void armAllocationGuard();

inline constexpr int kAllocationGuardExit = 97;
