#pragma once
// Crashing a forked child on purpose and reading back the report it left.
//
// The child points its cache home at a folder of its own, enables a reporter of the given
// capture type, optionally arms the allocation guard, and runs the crash. The parent waits
// (bounded) for it to die and decodes the report with the format's generated bindings.

#include "crash_report.pb-c.h"

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct CrashChildOptions {
  uint64_t handlerType = 0;
  bool armGuard = false;
  // Runs in the child after enabling, before the guard is armed and the crash runs.
  std::function<void()> prepare;
};

class CrashChild {
 public:
  CrashChild(const std::function<void()> &crash, const CrashChildOptions &options = {});
  ~CrashChild();
  CrashChild(const CrashChild &) = delete;

  bool exited() const;
  int exitCode() const;
  bool killedBy(int signo) const;
  int status() const { return mStatus; }
  bool callbackRan() const { return mCallbackRan; }
  const std::string &reportPath() const { return mReportPath; }
  const std::vector<uint8_t> &reportBytes() const { return mReport; }
  bool hasReport() const { return mHasReport; }
  // The decoded report, or nullptr when there is none or it does not decode.
  const Vucrash__CrashReport *report() const { return mDecoded; }
  const Vucrash__CrashReport__Thread *crashedThread() const;

 private:
  int mStatus = 0;
  bool mCallbackRan = false;
  bool mHasReport = false;
  std::string mCacheHome;
  std::string mReportPath;
  std::vector<uint8_t> mReport;
  Vucrash__CrashReport *mDecoded = nullptr;
};

// Decodes report file bytes (header checked); nullptr when they are not a report.
Vucrash__CrashReport *decodeReport(const std::vector<uint8_t> &bytes);
std::vector<uint8_t> readFile(const std::string &path);
// Names of a thread's registers, in order.
std::vector<std::string> registerNames(const Vucrash__CrashReport__Thread *thread);
