// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// The first thread to fault wins the right to write the report; a thread that faults while
// the report is written waits until it is done, then dies of its own signal; a fault of the
// writing thread itself ends the process at once. Handlers stay installed while the report
// is written, so a second fault never kills the write halfway.
#include "VUCrashAsyncLog.h"
#include "VUCrashAsyncSignalInfo.h"
#include "VUCrashReportFormat.h"
#include "VUCrashReporterContext.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

crash_handler_context signal_handler_context;
void *crashCallbackContext = nullptr;
void (*crashCallback)(siginfo_t *, ucontext_t *, void *) = nullptr;

const int monitored_signals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};
const size_t monitored_signals_count = sizeof(monitored_signals) / sizeof(monitored_signals[0]);

namespace {

// The thread writing the report (0 while nobody is), and whether it has finished.
vucrash_thread_t gCrashingThread = 0;
uint32_t gCrashDone = 0;
// How long a second faulting thread waits for the first one's report.
constexpr int kLoserWaitMs = 30000;

void restoreDefaultActions() {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < monitored_signals_count; ++i)
    sigaction(monitored_signals[i], &action, nullptr);
}

void restoreDefaultAction(int signo) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

int64_t nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

enum class Gate { Won, Nested, Lost };

Gate enterCrash() {
  const vucrash_thread_t self = vu_mach_thread_self();
  vucrash_thread_t expected = 0;
  if (__atomic_compare_exchange_n(&gCrashingThread, &expected, self, false, __ATOMIC_SEQ_CST,
                                  __ATOMIC_SEQ_CST))
    return Gate::Won;
  return expected == self ? Gate::Nested : Gate::Lost;
}

void finishCrash() {
  __atomic_store_n(&gCrashDone, 1, __ATOMIC_SEQ_CST);
  syscall(SYS_futex, &gCrashDone, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// A thread that lost the race parks here until the report is written (bounded), so the
// writer sees it stand still; then it dies of its own signal.
void waitForTheWinner(int signo) {
  const int64_t giveUp = nowMs() + kLoserWaitMs;
  while (__atomic_load_n(&gCrashDone, __ATOMIC_SEQ_CST) == 0) {
    const int64_t left = giveUp - nowMs();
    if (left <= 0)
      break;
    struct timespec timeout = {0, (left > 100 ? 100 : left) * 1000000L};
    syscall(SYS_futex, &gCrashDone, FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);
  }
  restoreDefaultAction(signo);
}

vucrash_log_writer_signal_info_t signalInfoOf(int signo, const siginfo_t *info) {
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = vucrash_async_signal_report_signo(signo);
  siginfo.bsd_info.code = vucrash_async_signal_report_code(signo, info->si_code);
  // Only faults carry an address; a sent signal's si_addr holds the sender's pid and uid.
  siginfo.bsd_info.address =
      info->si_code > 0 ? reinterpret_cast<uintptr_t>(info->si_addr) : 0;
  siginfo.mach_info = nullptr;
  return siginfo;
}

// Writes the report of a fault of the calling thread; runs the post-crash callback after a
// good write.
void writeOwnReport(int signo, siginfo_t *info, ucontext_t *uap) {
  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_mcontext_init(&state, &uap->uc_mcontext);
  const vucrash_log_writer_signal_info_t siginfo = signalInfoOf(signo, info);
  const vucrash_error_t err = vucrash_write_report(&signal_handler_context,
                                                   vu_mach_thread_self(), &state, &siginfo);
  if (err == VUCRASH_ERR_NONE && crashCallback != nullptr)
    crashCallback(info, uap, crashCallbackContext);
}

}  // namespace

vucrash_error_t vucrash_write_report(crash_handler_context *context,
                                     vucrash_thread_t crashed_thread,
                                     const vucrash_async_thread_state_t *state,
                                     const vucrash_log_writer_signal_info_t *siginfo) {
  // Written under a side name and renamed once complete: a process killed mid-write leaves
  // no half report under the name the next launch reads.
  int fd = open(context->partial_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    VUCR_LOG("Could not open the crashlog output file: errno %d", errno);
    return VUCRASH_ERR_INTERNAL;
  }
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, fd, VUCRASH_REPORT_MAX_SIZE);
  vucrash_error_t err = vucrash_log_writer_write(&context->writer, crashed_thread,
                                                 &shared_image_list, &file, siginfo, state);
  vucrash_log_writer_close(&context->writer);
  if (!vucrash_async_file_flush(&file)) {
    VUCR_LOG("Failed to flush output file");
    close(fd);
    return VUCRASH_ERR_INTERNAL;
  }
  if (!vucrash_async_file_close(&file)) {
    VUCR_LOG("Failed to close output file");
    return VUCRASH_ERR_INTERNAL;
  }
  if (err == VUCRASH_ERR_NONE && rename(context->partial_path, context->path) != 0) {
    VUCR_LOG("Could not move the crash log into place: errno %d", errno);
    return VUCRASH_ERR_INTERNAL;
  }
  return err;
}

bool signal_handler_callback(int signo, siginfo_t *info, ucontext_t *uap, void *,
                             VUCrashSignalHandlerCallback *) {
  switch (enterCrash()) {
    case Gate::Nested:
      // The writer itself faulted: no report is better than a hang.
      restoreDefaultActions();
      return false;
    case Gate::Lost:
      waitForTheWinner(signo);
      return false;
    case Gate::Won:
      break;
  }
  writeOwnReport(signo, info, uap);
  restoreDefaultActions();
  finishCrash();
  return false;
}

bool mach_fault_signal_callback(int signo, siginfo_t *info, ucontext_t *uap, void *,
                                VUCrashSignalHandlerCallback *) {
  switch (enterCrash()) {
    case Gate::Nested:
      restoreDefaultActions();
      return false;
    case Gate::Lost:
      waitForTheWinner(signo);
      return false;
    case Gate::Won:
      break;
  }
  uint64_t type = 0, codes[2] = {0, 0};
  vucrash_kern_return_t answer = VUCRASH_KERN_FAILURE;
  VUCrashMachExceptionServer *server = signal_handler_context.server;
  if (!vucrash_async_signal_to_mach_exception(signo, info, &type, codes) || server == nullptr ||
      !server->deliver(vu_mach_thread_self(), type, codes, 2, info, uap, &answer)) {
    // The server cannot take it (this is the server's own fault, or it is gone): write here.
    writeOwnReport(signo, info, uap);
  } else if (answer == VUCRASH_KERN_SUCCESS) {
    // Someone handled the exception: the thread goes on.
    __atomic_store_n(&gCrashingThread, 0, __ATOMIC_SEQ_CST);
    return true;
  }
  restoreDefaultActions();
  finishCrash();
  return false;
}

vucrash_kern_return_t mach_exception_callback(vucrash_task_t task, vucrash_thread_t thread,
                                              uint64_t exception_type, const uint64_t *codes,
                                              uint32_t code_count, const siginfo_t *,
                                              ucontext_t *uap, void *context) {
  crash_handler_context *ctx = static_cast<crash_handler_context *>(context);
  if (VUCrashMachExceptionForward(task, thread, exception_type, codes, code_count,
                                  &ctx->port_set) == VUCRASH_KERN_SUCCESS)
    return VUCRASH_KERN_SUCCESS;

  siginfo_t mapped;
  if (!vucrash_async_mach_exception_get_siginfo(exception_type, codes, code_count, 0, &mapped)) {
    VUCR_LOG("Unexpected error mapping Mach exception to a POSIX signal");
    return VUCRASH_KERN_FAILURE;
  }
  const vucrash_log_writer_mach_info_t machInfo = {exception_type, codes, code_count};
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = mapped.si_signo;
  siginfo.bsd_info.code = mapped.si_code;
  siginfo.bsd_info.address = reinterpret_cast<uintptr_t>(mapped.si_addr);
  siginfo.mach_info = &machInfo;

  vucrash_async_thread_state_t state;
  vucrash_async_thread_state_mcontext_init(&state, &uap->uc_mcontext);
  const vucrash_error_t err = vucrash_write_report(ctx, thread, &state, &siginfo);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to write live report: %d", static_cast<int>(err));
    return VUCRASH_KERN_FAILURE;
  }
  if (crashCallback != nullptr)
    crashCallback(&mapped, uap, crashCallbackContext);
  return VUCRASH_KERN_FAILURE;
}
