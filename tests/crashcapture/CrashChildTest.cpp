// Crashes of forked children, one per kind of fault and capture type: each dies of its
// signal and leaves a report that decodes, with one crashed thread and its registers.
#include "CrashTestSupport.h"

#include "AllocationGuard.h"
#include "VUCrashReporter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::vector<std::string> kRegisters = {
    "rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx", "rdi", "rsi", "r8",     "r9",
    "r10", "r11", "r12", "r13", "r14", "r15", "rflags", "cs", "fs", "gs"};

void nullWrite() {
  *static_cast<volatile int *>(nullptr) = 1;
}

void truncatedMapping() {
  char path[] = "/tmp/vucrash-bus-XXXXXX";
  int fd = mkstemp(path);
  unlink(path);
  (void)!ftruncate(fd, 4096);
  volatile char *mapped =
      static_cast<char *>(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  (void)!ftruncate(fd, 0);
  mapped[100] = 1;
}

void divideByZero() {
  volatile int numerator = 7;
  volatile int zero = 0;
  volatile int result = numerator / zero;
  (void)result;
}

void undefinedInstruction() {
  asm volatile("ud2");
}

void breakpoint() {
  asm volatile("int3");
}

void callAbort() {
  abort();
}

// What a terminate handler of the application does: hand the exception nobody caught to
// the uncaught-exception slot, which records it and aborts.
void uncaughtException() {
  std::set_terminate([] {
    std::string reason = "unknown";
    try {
      throw;
    } catch (const std::exception &e) {
      reason = e.what();
    } catch (...) {
    }
    const uint64_t addresses[] = {0x1111, 0x2222, 0x3333};
    if (VUCrashUncaughtExceptionHandler handler = VUCrashGetUncaughtExceptionHandler())
      handler("std::runtime_error", reason.c_str(), addresses, 3);
    abort();
  });
  throw std::runtime_error("the disk is on fire");
}

#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int recurse(int depth) {
  volatile char pad[256];
  pad[0] = static_cast<char>(depth);
  return recurse(depth + 1) + pad[0];
}

void mainStackOverflow() {
  recurse(0);
}

// Threads are started before the guard is armed (starting one allocates); the crash only
// lets them go.
std::atomic<bool> gGo{false};
std::atomic<int> gStarted{0};

void waitForGo() {
  gStarted++;
  while (!gGo.load()) {
  }
}

// Returns once every thread runs: a thread's start frees what its creator allocated.
void waitUntilStarted(int count) {
  while (gStarted.load() < count) {
  }
}

void startOverflowingWorker() {
  std::thread([] {
    waitForGo();
    recurse(0);
  }).detach();
  waitUntilStarted(1);
}

void startTwoFaultingThreads() {
  for (int i = 0; i < 2; ++i)
    std::thread([] {
      waitForGo();
      nullWrite();
    }).detach();
  waitUntilStarted(2);
}

void letThemGo() {
  gGo = true;
  for (;;) {
  }
}

struct Case {
  const char *name;
  void (*prepare)();
  void (*crash)();
  int signo;
  const char *signalName;
  const char *codeName;        // capture type 0
  const char *machSignalName;  // capture type 1: what the exception maps back to
  const char *machCodeName;
};

// Through the exception server a fault travels as the exception it stands for, and comes
// back as that exception's signal: codes the exception does not carry are lost, and a
// protection fault (a thread stack's guard page) reads as a bus error.
const Case kCases[] = {
    {"null write", nullptr, nullWrite, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "SIGSEGV", "SEGV_MAPERR"},
    {"truncated mapping", nullptr, truncatedMapping, SIGBUS, "SIGBUS", "BUS_ADRERR", "SIGBUS", "BUS_ADRERR"},
    {"divide by zero", nullptr, divideByZero, SIGFPE, "SIGFPE", "FPE_INTDIV", "SIGFPE", "FPE_NOOP"},
    {"ud2", nullptr, undefinedInstruction, SIGILL, "SIGILL", "ILL_ILLOPN", "SIGILL", "ILL_NOOP"},
    {"int3", nullptr, breakpoint, SIGTRAP, "SIGTRAP", "TRAP_BRKPT", "SIGTRAP", "TRAP_BRKPT"},
    {"abort", nullptr, callAbort, SIGABRT, "SIGABRT", "#0", "SIGABRT", "#0"},
    {"stack overflow on main", nullptr, mainStackOverflow, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "SIGSEGV",
     "SEGV_MAPERR"},
    {"stack overflow on a worker", startOverflowingWorker, letThemGo, SIGSEGV, "SIGSEGV", "SEGV_ACCERR",
     "SIGBUS", "BUS_ADRERR"},
    {"two threads at once", startTwoFaultingThreads, letThemGo, SIGSEGV, "SIGSEGV", "SEGV_MAPERR", "SIGSEGV",
     "SEGV_MAPERR"},
};

std::string executablePath() {
  char path[PATH_MAX] = {};
  EXPECT_GT(readlink("/proc/self/exe", path, sizeof(path) - 1), 0);
  return path;
}

void expectReport(const CrashChild &child, const Case &c, uint64_t type) {
  EXPECT_TRUE(child.killedBy(c.signo)) << "status " << child.status();
  ASSERT_TRUE(child.hasReport());
  ASSERT_NE(child.report(), nullptr) << "the report does not decode";
  const Vucrash__CrashReport *report = child.report();
  ASSERT_NE(report->signal, nullptr);
  EXPECT_STREQ(report->signal->name, type == 0 ? c.signalName : c.machSignalName);
  EXPECT_STREQ(report->signal->code, type == 0 ? c.codeName : c.machCodeName);
  const bool viaServer = type == 1 && c.signo != SIGABRT;
  EXPECT_EQ(report->signal->mach_exception != nullptr, viaServer);

  const Vucrash__CrashReport__Thread *crashed = child.crashedThread();
  ASSERT_NE(crashed, nullptr) << "exactly one crashed thread";
  EXPECT_EQ(registerNames(crashed), kRegisters);
  EXPECT_GE(crashed->n_frames, 1u);

  ASSERT_NE(report->report_info, nullptr);
  EXPECT_FALSE(report->report_info->user_requested);
  ASSERT_NE(report->application_info, nullptr);
  EXPECT_STREQ(report->application_info->identifier, "org.quillon.CrashTest");
  ASSERT_NE(report->system_info, nullptr);
  EXPECT_EQ(report->system_info->operating_system,
            VUCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN);
  EXPECT_EQ(report->system_info->architecture, VUCRASH__ARCHITECTURE__X86_64);

  const std::string exe = executablePath();
  bool sawExecutable = false;
  for (size_t i = 0; i < report->n_binary_images; ++i)
    sawExecutable |= report->binary_images[i]->name == exe;
  EXPECT_TRUE(sawExecutable);
  // Nothing the decoder dropped, nothing it had to fold together.
  EXPECT_EQ(vucrash__crash_report__get_packed_size(report),
            child.reportBytes().size() - 8);
  EXPECT_TRUE(child.callbackRan());
}

class CrashKinds : public ::testing::TestWithParam<uint64_t> {};

TEST_P(CrashKinds, EachFaultDiesOfItsSignalAndLeavesAReport) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    CrashChildOptions options;
    options.handlerType = GetParam();
    options.prepare = c.prepare;
    CrashChild child(c.crash, options);
    expectReport(child, c, GetParam());
  }
}

// The same crashes with allocation and locking trapped from just before the fault.
TEST_P(CrashKinds, CrashPathNeitherAllocatesNorLocks) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    CrashChildOptions options;
    options.handlerType = GetParam();
    options.prepare = c.prepare;
    options.armGuard = true;
    CrashChild child(c.crash, options);
    EXPECT_FALSE(child.exited() && child.exitCode() == kAllocationGuardExit);
    expectReport(child, c, GetParam());
  }
}

INSTANTIATE_TEST_SUITE_P(CaptureTypes, CrashKinds, ::testing::Values(0u, 1u),
                         [](const ::testing::TestParamInfo<uint64_t> &info) {
                           return info.param == 0 ? std::string("Signals")
                                                  : std::string("ExceptionServer");
                         });

TEST(CrashChild, UncaughtExceptionIsRecordedBeforeTheAbort) {
  CrashChild child(uncaughtException);
  EXPECT_TRUE(child.killedBy(SIGABRT));
  ASSERT_NE(child.report(), nullptr);
  const Vucrash__CrashReport__Exception *exception = child.report()->exception;
  ASSERT_NE(exception, nullptr);
  EXPECT_STREQ(exception->name, "std::runtime_error");
  EXPECT_STREQ(exception->reason, "the disk is on fire");
  ASSERT_EQ(exception->n_frames, 3u);
  EXPECT_EQ(exception->frames[1]->pc, 0x2222u);
  EXPECT_STREQ(child.report()->signal->name, "SIGABRT");
}

TEST(CrashChild, OtherThreadsAreWrittenWithTheirStacks) {
  CrashChildOptions options;
  options.prepare = [] {
    static std::atomic<int> started{0};
    for (int i = 0; i < 3; ++i) {
      std::thread([] {
        started++;
        for (;;)
          pause();
      }).detach();
    }
    while (started.load() < 3) {
    }
  };
  CrashChild child(nullWrite, options);
  ASSERT_NE(child.report(), nullptr);
  ASSERT_EQ(child.report()->n_threads, 4u);
  for (size_t i = 0; i < 4; ++i) {
    const Vucrash__CrashReport__Thread *thread = child.report()->threads[i];
    EXPECT_EQ(thread->thread_number, i);
    EXPECT_GE(thread->n_frames, 1u) << "thread " << i;
    // Registers belong to the crashed thread only.
    EXPECT_EQ(thread->n_registers, thread->crashed ? 21u : 0u);
  }
}

TEST(CrashChild, DeepStacksAreCutAt512Frames) {
  struct Deep {
    __attribute__((noinline)) static void down(int n) {
      if (n == 0)
        nullWrite();
      else
        down(n - 1);
      asm volatile("");
    }
  };
  CrashChild child([] { Deep::down(1000); });
  ASSERT_NE(child.crashedThread(), nullptr);
  EXPECT_EQ(child.crashedThread()->n_frames, 512u);
}

TEST(CrashChild, ANewCrashReplacesAPendingReport) {
  CrashChildOptions options;
  options.prepare = [] {
    std::string path = std::string(getenv("XDG_CACHE_HOME")) +
                       "/org.quillon.crashreporter.data/org.quillon.CrashTest/live_report.vucrash";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string old(300000, 'x');
    (void)!write(fd, old.data(), old.size());
    close(fd);
  };
  CrashChild child(callAbort, options);
  EXPECT_TRUE(child.killedBy(SIGABRT));
  ASSERT_NE(child.report(), nullptr);
  EXPECT_STREQ(child.report()->signal->name, "SIGABRT");
}

// The callback is for after a report exists: when the report cannot be written, it stays
// silent.
TEST(CrashChild, PostCrashCallbackRunsOnlyAfterAGoodWrite) {
  CrashChildOptions options;
  options.prepare = [] {
    // The report is written under a side name first: a folder there makes the open fail.
    std::string dir = std::string(getenv("XDG_CACHE_HOME")) +
                      "/org.quillon.crashreporter.data/org.quillon.CrashTest/"
                      "live_report.vucrash.partial";
    mkdir(dir.c_str(), 0755);
  };
  CrashChild child(nullWrite, options);
  EXPECT_TRUE(child.killedBy(SIGSEGV));
  EXPECT_FALSE(child.hasReport());
  EXPECT_FALSE(child.callbackRan());
}

}  // namespace
