#pragma once
// The running kernel's version, read at enable time (not for crash time).

#include <stdint.h>

struct VUCrashHostInfoVersion {
  uint64_t major;
  uint64_t minor;
  uint64_t revision;
};

class VUCrashHostInfo {
 public:
  // Reads the kernel release; false (with a log line) when the system will not tell.
  static bool currentHostInfo(VUCrashHostInfo *out);
  bool init();
  // Scans "major.minor.revision" at the start of a release text; what cannot be scanned
  // stays 0 (with a log line). Exposed for tests.
  static VUCrashHostInfoVersion parseRelease(const char *release);

  VUCrashHostInfoVersion darwinVersion() const { return _darwinVersion; }

 private:
  VUCrashHostInfoVersion _darwinVersion = {0, 0, 0};
};
