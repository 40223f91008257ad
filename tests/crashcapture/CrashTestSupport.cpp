#include "CrashTestSupport.h"

#include "AllocationGuard.h"
#include "VUCrashReportFormat.h"
#include "VUCrashReporter.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

int gCallbackFd = -1;

void postCrashCallback(siginfo_t *, ucontext_t *, void *) {
  (void)!write(gCallbackFd, "C", 1);
}

[[noreturn]] void runChild(const std::function<void()> &crash, const CrashChildOptions &options,
                           const std::string &cacheHome, int callbackFd) {
  struct rlimit noCore = {0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
  gCallbackFd = callbackFd;
  static VUCrashReporter reporter("org.quillon.CrashTest", "42", "4.2",
                                  VUCrashReporterConfig(options.handlerType, 0, true));
  VUCrashReporterCallbacks callbacks = {0, nullptr, postCrashCallback};
  if (!reporter.setCrashCallbacks(&callbacks))
    _exit(89);
  VUCrashReporterError error = {};
  if (!reporter.enableCrashReporter(&error))
    _exit(90);
  if (options.prepare)
    options.prepare();
  if (options.armGuard)
    armAllocationGuard();
  // Nothing may leave the child by unwinding: the test runner above would catch it and go
  // on running tests in the child. An exception that escapes here terminates instead.
  [&]() noexcept { crash(); }();
  _exit(91);
}

}  // namespace

std::vector<uint8_t> readFile(const std::string &path) {
  std::vector<uint8_t> bytes;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0)
    return bytes;
  uint8_t buffer[65536];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  close(fd);
  return bytes;
}

Vucrash__CrashReport *decodeReport(const std::vector<uint8_t> &bytes) {
  if (bytes.size() <= VUCRASH_REPORT_FILE_HEADER_SIZE ||
      std::string(bytes.begin(), bytes.begin() + 8) != std::string("vucrash\x01", 8))
    return nullptr;
  return vucrash__crash_report__unpack(nullptr, bytes.size() - VUCRASH_REPORT_FILE_HEADER_SIZE,
                                       bytes.data() + VUCRASH_REPORT_FILE_HEADER_SIZE);
}

std::vector<std::string> registerNames(const Vucrash__CrashReport__Thread *thread) {
  std::vector<std::string> names;
  for (size_t i = 0; thread != nullptr && i < thread->n_registers; ++i)
    names.push_back(thread->registers[i]->name != nullptr ? thread->registers[i]->name : "");
  return names;
}

CrashChild::CrashChild(const std::function<void()> &crash, const CrashChildOptions &options) {
  char base[] = "/tmp/vucrash-child-XXXXXX";
  const char *home = getenv("HOME");
  std::string pattern = std::string(home != nullptr ? home : "/tmp") + "/crash-child-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back(0);
  char *made = mkdtemp(buffer.data());
  mCacheHome = made != nullptr ? made : mkdtemp(base);
  mReportPath = mCacheHome + "/org.quillon.crashreporter.data/org.quillon.CrashTest/" +
                "live_report.vucrash";

  int callbackPipe[2];
  EXPECT_EQ(pipe(callbackPipe), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(callbackPipe[0]);
    runChild(crash, options, mCacheHome, callbackPipe[1]);
  }
  close(callbackPipe[1]);

  // Bounded: a child that hangs is a failure, not a stuck test run.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  struct pollfd ended = {pidfd, POLLIN, 0};
  bool gone = pidfd >= 0 && poll(&ended, 1, 60000) == 1;
  if (pidfd >= 0)
    close(pidfd);
  if (gone) {
    waitpid(pid, &mStatus, 0);
  } else {
    kill(pid, SIGKILL);
    waitpid(pid, &mStatus, 0);
    ADD_FAILURE() << "crashing child did not end in time";
  }
  char mark = 0;
  fcntl(callbackPipe[0], F_SETFL, O_NONBLOCK);
  mCallbackRan = read(callbackPipe[0], &mark, 1) == 1;
  close(callbackPipe[0]);

  mReport = readFile(mReportPath);
  mHasReport = !mReport.empty();
  mDecoded = decodeReport(mReport);
}

CrashChild::~CrashChild() {
  if (mDecoded != nullptr)
    vucrash__crash_report__free_unpacked(mDecoded, nullptr);
}

bool CrashChild::exited() const {
  return WIFEXITED(mStatus);
}

int CrashChild::exitCode() const {
  return WIFEXITED(mStatus) ? WEXITSTATUS(mStatus) : -1;
}

bool CrashChild::killedBy(int signo) const {
  return WIFSIGNALED(mStatus) && WTERMSIG(mStatus) == signo;
}

const Vucrash__CrashReport__Thread *CrashChild::crashedThread() const {
  if (mDecoded == nullptr)
    return nullptr;
  const Vucrash__CrashReport__Thread *crashed = nullptr;
  for (size_t i = 0; i < mDecoded->n_threads; ++i) {
    if (mDecoded->threads[i]->crashed) {
      if (crashed != nullptr)
        return nullptr;  // more than one is as wrong as none
      crashed = mDecoded->threads[i];
    }
  }
  return crashed;
}
