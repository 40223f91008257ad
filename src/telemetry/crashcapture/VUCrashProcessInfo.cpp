#include "VUCrashProcessInfo.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashSysctl.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

// Seconds since 1970 at which the machine booted, from /proc/stat.
bool bootTime(long long *seconds) {
  char *stat = vucrash_read_small_file("/proc/stat");
  if (stat == nullptr)
    return false;
  const char *line = strstr(stat, "\nbtime ");
  bool ok = line != nullptr && sscanf(line + 7, "%lld", seconds) == 1;
  free(stat);
  return ok;
}

}  // namespace

VUCrashProcessInfo::~VUCrashProcessInfo() {
  free(_processName);
}

bool VUCrashProcessInfo::currentProcessInfo(VUCrashProcessInfo *out) {
  return out->initWithProcessID(getpid());
}

bool VUCrashProcessInfo::initWithProcessID(pid_t pid) {
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  char *stat = vucrash_read_small_file(path);
  if (stat == nullptr) {
    VUCR_LOG("Unexpected sysctl error %d: %s", errno, strerror(errno));
    return false;
  }
  // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so it ends at
  // the last ')'.
  char *open = strchr(stat, '(');
  char *close = strrchr(stat, ')');
  if (open == nullptr || close == nullptr || close < open) {
    free(stat);
    errno = EINVAL;
    return false;
  }
  *close = 0;
  const char *comm = open + 1;

  char state = 0;
  int ppid = 0;
  unsigned long long startTicks = 0;
  // Fields after the name: state(3) ppid(4) ... starttime(22).
  int scanned = sscanf(close + 1,
                       " %c %d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d "
                       "%llu",
                       &state, &ppid, &startTicks);
  if (scanned != 3) {
    free(stat);
    errno = EINVAL;
    return false;
  }

  free(_processName);
  _processName = nullptr;
  const size_t valid = vucrash_sysctl_valid_utf8_bytes(reinterpret_cast<const uint8_t *>(comm));
  if (valid > 0) {
    _processName = strndup(comm, valid);
  } else {
    VUCR_LOG("Failed to decode p_comm for pid=%jd as UTF-8!", static_cast<intmax_t>(pid));
  }
  free(stat);

  _processID = pid;
  _parentProcessID = ppid;

  long long booted = 0;
  const long ticks = sysconf(_SC_CLK_TCK);
  if (bootTime(&booted) && ticks > 0) {
    _startTime.tv_sec = static_cast<time_t>(booted + static_cast<long long>(startTicks / ticks));
    _startTime.tv_usec =
        static_cast<suseconds_t>((startTicks % ticks) * 1000000ull / static_cast<unsigned long long>(ticks));
  }

  snprintf(path, sizeof(path), "/proc/%d/status", static_cast<int>(pid));
  _traced = false;
  if (char *status = vucrash_read_small_file(path)) {
    const char *tracer = strstr(status, "\nTracerPid:");
    int tracerPid = 0;
    if (tracer != nullptr && sscanf(tracer + 11, "%d", &tracerPid) == 1)
      _traced = tracerPid != 0;
    free(status);
  }
  return true;
}
