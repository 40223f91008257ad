#pragma once
// Errors of the crash reporter's set-up (domain "VUCrashReporterErrorDomain"), filled into a
// caller's record. Not for crash time.

#include <stdint.h>

inline constexpr char VUCrashReporterErrorDomain[] = "VUCrashReporterErrorDomain";

enum VUCrashReporterErrorCode : int64_t {
  VUCrashReporterErrorUnknown = 0,
  VUCrashReporterErrorOperatingSystem = 1,
  VUCrashReporterErrorCrashReportInvalid = 2,
  VUCrashReporterErrorResourceBusy = 3,
};

enum VUCrashUnderlyingErrorDomain : int32_t {
  VUCrashUnderlyingErrorNone = 0,
  VUCrashUnderlyingErrorPOSIX = 1,
  VUCrashUnderlyingErrorEngine = 2,
};

struct VUCrashReporterError {
  int64_t code;
  char description[256];
  VUCrashUnderlyingErrorDomain underlyingDomain;
  int64_t underlyingCode;
};

// Each does nothing when error is nullptr.
void vucrash_populate_error(VUCrashReporterError *error, int64_t code, const char *description);
void vucrash_populate_posix_error(VUCrashReporterError *error, int errnoValue,
                                  const char *description);
void vucrash_populate_engine_error(VUCrashReporterError *error, int engineCode,
                                   const char *description);
