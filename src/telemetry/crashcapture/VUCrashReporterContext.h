#pragma once
// The process-wide state the crash paths read: filled at enable time, read at crash time.

#include "VUCrashLogWriter.h"
#include "VUCrashMachExceptionServer.h"
#include "VUCrashReporter.h"
#include "VUCrashSignalHandler.h"

struct crash_handler_context {
  vucrash_log_writer_t writer;
  // The report's final name, and the name it is written under until it is complete.
  char *path;
  char *partial_path;
  vucrash_mach_exception_port_set port_set;
  VUCrashMachExceptionServer *server;
};

extern crash_handler_context signal_handler_context;
extern void *crashCallbackContext;
extern void (*crashCallback)(siginfo_t *, ucontext_t *, void *);

// The signals a type-0 reporter handles, in registration order.
extern const int monitored_signals[];
extern const size_t monitored_signals_count;

// Crash-time entry points (VUCrashReporterCallbacks.cpp).
bool signal_handler_callback(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                             VUCrashSignalHandlerCallback *next);
bool mach_fault_signal_callback(int signo, siginfo_t *info, ucontext_t *uap, void *context,
                                VUCrashSignalHandlerCallback *next);
vucrash_kern_return_t mach_exception_callback(vucrash_task_t task, vucrash_thread_t thread,
                                              uint64_t exception_type, const uint64_t *codes,
                                              uint32_t code_count, const siginfo_t *info,
                                              ucontext_t *uap, void *context);
void uncaught_exception_handler(const char *name, const char *reason,
                                const uint64_t *return_addresses, size_t count);
// Opens, writes, completes and names the report file.
vucrash_error_t vucrash_write_report(crash_handler_context *context,
                                     vucrash_thread_t crashed_thread,
                                     const vucrash_async_thread_state_t *state,
                                     const vucrash_log_writer_signal_info_t *siginfo);
