#include "VUCrashHostInfo.h"

#include "VUCrashAsyncLog.h"

#include <errno.h>
#include <string.h>
#include <sys/utsname.h>

namespace {

bool scanNumber(const char *&p, uint64_t *out) {
  if (*p < '0' || *p > '9')
    return false;
  uint64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  *out = value;
  return true;
}

}  // namespace

VUCrashHostInfoVersion VUCrashHostInfo::parseRelease(const char *release) {
  VUCrashHostInfoVersion version = {0, 0, 0};
  const char *p = release;
  bool ok = scanNumber(p, &version.major) && *p++ == '.' && scanNumber(p, &version.minor) &&
            *p++ == '.' && scanNumber(p, &version.revision);
  if (!ok)
    VUCR_LOG("Unexpected kern.osrelease string format: %s", release);
  return version;
}

bool VUCrashHostInfo::init() {
  struct utsname names;
  if (uname(&names) != 0) {
    VUCR_LOG("Failed to fetch kern.osrelease value %d: %s", errno, strerror(errno));
    return false;
  }
  _darwinVersion = parseRelease(names.release);
  return true;
}

bool VUCrashHostInfo::currentHostInfo(VUCrashHostInfo *out) {
  return out->init();
}
