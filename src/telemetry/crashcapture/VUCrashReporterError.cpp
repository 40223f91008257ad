#include "VUCrashReporterError.h"

#include <string.h>

namespace {

void fill(VUCrashReporterError *error, int64_t code, const char *description,
          VUCrashUnderlyingErrorDomain domain, int64_t underlying) {
  if (error == nullptr)
    return;
  error->code = code;
  strncpy(error->description, description != nullptr ? description : "",
          sizeof(error->description) - 1);
  error->description[sizeof(error->description) - 1] = 0;
  error->underlyingDomain = domain;
  error->underlyingCode = underlying;
}

}  // namespace

void vucrash_populate_error(VUCrashReporterError *error, int64_t code, const char *description) {
  fill(error, code, description, VUCrashUnderlyingErrorNone, 0);
}

void vucrash_populate_posix_error(VUCrashReporterError *error, int errnoValue,
                                  const char *description) {
  fill(error, VUCrashReporterErrorOperatingSystem, description, VUCrashUnderlyingErrorPOSIX,
       errnoValue);
}

void vucrash_populate_engine_error(VUCrashReporterError *error, int engineCode,
                                   const char *description) {
  fill(error, VUCrashReporterErrorOperatingSystem, description, VUCrashUnderlyingErrorEngine,
       engineCode);
}
