#pragma once
// Facts about a process (ours or another, by id) from /proc, gathered at enable time for
// the report writer. Not for crash time.

#include <sys/time.h>
#include <sys/types.h>

class VUCrashProcessInfo {
 public:
  VUCrashProcessInfo() = default;
  ~VUCrashProcessInfo();
  VUCrashProcessInfo(const VUCrashProcessInfo &) = delete;
  VUCrashProcessInfo &operator=(const VUCrashProcessInfo &) = delete;

  // The calling process.
  static bool currentProcessInfo(VUCrashProcessInfo *out);
  // False when the process record cannot be read (no such process, no access).
  bool initWithProcessID(pid_t pid);

  pid_t processID() const { return _processID; }
  // The kernel's command name up to its valid UTF-8 prefix, or nullptr when that is empty.
  const char *processName() const { return _processName; }
  pid_t parentProcessID() const { return _parentProcessID; }
  bool isTraced() const { return _traced; }
  struct timeval startTime() const { return _startTime; }

 private:
  pid_t _processID = 0;
  char *_processName = nullptr;
  pid_t _parentProcessID = 0;
  bool _traced = false;
  struct timeval _startTime = {0, 0};
};
