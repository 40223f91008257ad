#pragma once
// The front of the crash capture engine. The crashes service makes one reporter, gives it a
// post-crash callback, enables it once per process, and at the next launch asks it for the
// report a crash left behind.
//
// Enabling prepares the report writer with everything that cannot be gathered at crash time,
// installs the capture (signal handlers or the exception server) and the uncaught-exception
// slot. From then on a crash in any thread writes
// <cache home>/org.quillon.crashreporter.data/<identifier>/live_report.vucrash and the
// process dies of its signal. Enabling is a one-shot per process, across all instances,
// whether it succeeded or not; there is no disable.
//
// Every member function runs at ordinary times on the caller's thread; none is for crash
// time. Set-up failures come back as VUCrashReporterError records (VUCrashReporterError.h).

#include "VUCrashReporterConfig.h"
#include "VUCrashReporterError.h"

#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <ucontext.h>

// What setCrashCallbacks takes. The post-crash callback runs inside the crashed process
// after a report was written successfully, and only then: it must be async-signal-safe.
struct VUCrashReporterCallbacks {
  uint16_t version;  // must be 0
  void *context;
  void (*handleSignal)(siginfo_t *info, ucontext_t *uap, void *context);
};

// Bytes handed to a caller, who frees them with free().
struct VUCrashReportData {
  uint8_t *bytes;
  size_t length;
};

// The uncaught-exception slot: whoever learns of an exception nobody caught (a terminate
// handler, say) hands it here. The reporter fills the slot when enabled; the handler it
// installs records the exception and aborts, and the abort writes the report.
typedef void (*VUCrashUncaughtExceptionHandler)(const char *name, const char *reason,
                                                const uint64_t *return_addresses, size_t count);
void VUCrashSetUncaughtExceptionHandler(VUCrashUncaughtExceptionHandler handler);
VUCrashUncaughtExceptionHandler VUCrashGetUncaughtExceptionHandler(void);

class VUCrashMachExceptionServer;

class VUCrashReporter {
 public:
  // identifier: nullptr or empty uses the process name; "/" in it becomes "_" in the folder
  // name. version: nullptr becomes empty text. marketingVersion may be nullptr.
  VUCrashReporter(const char *applicationIdentifier, const char *applicationVersion,
                  const char *applicationMarketingVersion,
                  const VUCrashReporterConfig &config = VUCrashReporterConfig());
  ~VUCrashReporter();
  VUCrashReporter(const VUCrashReporter &) = delete;
  VUCrashReporter &operator=(const VUCrashReporter &) = delete;

  // One reporter for Quillon's own identifier and version, made on first use.
  static VUCrashReporter *sharedReporter();

  bool hasPendingCrashReport() const;
  bool loadPendingCrashReportData(VUCrashReportData *out, VUCrashReporterError *error) const;
  bool purgePendingCrashReport(VUCrashReporterError *error) const;
  const char *crashReportDirectory() const { return _crashReportDirectory; }
  const char *queuedCrashReportDirectory() const { return _queuedCrashReportDirectory; }
  const char *crashReportPath() const { return _crashReportPath; }
  bool populateCrashReportDirectory(VUCrashReporterError *error) const;

  // Before enabling only (false afterwards, or for a version other than 0).
  bool setCrashCallbacks(const VUCrashReporterCallbacks *callbacks);
  bool enableCrashReporter(VUCrashReporterError *error);
  bool isEnabled() const { return _enabled; }
  static uint64_t mapToAsyncSymbolicationStrategy(uint64_t strategy) { return strategy & 3; }

  // A complete report of the running process in which the given thread is the crashed one;
  // the calling thread when thread is 0. The caller frees out->bytes.
  bool generateLiveReportWithThread(pid_t thread, VUCrashReportData *out,
                                    VUCrashReporterError *error);
  bool generateLiveReport(VUCrashReportData *out, VUCrashReporterError *error) {
    return generateLiveReportWithThread(0, out, error);
  }

 private:
  bool enableMachExceptionServer(VUCrashReporterError *error);

  bool _enabled = false;
  char *_applicationIdentifier = nullptr;
  char *_applicationVersion = nullptr;
  char *_applicationMarketingVersion = nullptr;
  VUCrashReporterConfig _config;
  VUCrashMachExceptionServer *_machServer = nullptr;
  char *_crashReportDirectory = nullptr;
  char *_queuedCrashReportDirectory = nullptr;
  char *_crashReportPath = nullptr;
};
