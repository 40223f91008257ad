#pragma once
// Writes one crash report (VUCrashReportFormat.h, crash_report.proto) from inside the
// crashing process.
//
// Split in two: vucrash_log_writer_init gathers at enable time everything that needs
// allocation or files (application, process, machine and system facts, the report UUID);
// vucrash_log_writer_write runs at crash time and adds what only the crash can tell
// (threads, stacks, registers, loaded images, the signal) through the size-limited file and
// the field encoder, allocating nothing and taking no lock.
//
// The report stays within the file's limit without ever being cut mid-message: room for the
// images, the exception and the signal, and for the crashed thread, is reserved before the
// other threads are written; frames past the room, or whole threads, are left out instead.

#include "VUCrashAsync.h"
#include "VUCrashAsyncFile.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncThreadState.h"

#include <stddef.h>
#include <stdint.h>

// Longest exception name or reason kept; longer texts are cut at a character boundary.
inline constexpr size_t VUCRASH_EXCEPTION_TEXT_MAX = 8192;

// log_writer_state: filled once at enable time, read-only at crash time except for the
// single exception record. Every string is a heap copy owned by the state (or nullptr).
struct vucrash_frame_symbol_memo_t;

struct vucrash_log_writer_t {
  uint32_t symbolication_strategy;
  // Each frame address's symbol, looked up once per report (VUCrashFrameSymbol.h); made at
  // init when the strategy asks for symbols, else nullptr.
  vucrash_frame_symbol_memo_t *symbol_memo;
  bool user_requested;
  uint8_t uuid[16];
  struct {
    char *version;
    char *build;
  } system_info;
  struct {
    char *model;
    uint64_t cpu_type;
    uint64_t cpu_subtype;
    uint32_t processor_count;
    uint32_t logical_processor_count;
  } machine_info;
  struct {
    char *app_identifier;
    char *app_version;
    char *app_marketing_version;
  } application_info;
  struct {
    char *process_name;
    uint32_t process_id;
    char *process_path;
    uint64_t start_time;
    char *parent_process_name;
    uint32_t parent_process_id;
    bool native;
  } process_info;
  struct {
    bool has_exception;
    char *name;
    char *reason;
    uint64_t *callstack;
    size_t callstack_count;
  } uncaught_exception;
};

// The exception a signal was derived from (VUCrashMachExceptionServer.h).
struct vucrash_log_writer_mach_info_t {
  uint64_t type;
  const uint64_t *codes;
  size_t code_count;
};

// The signal of a report, already in the report numbering (VUCrashAsyncSignalInfo.h), and
// the exception it was derived from when there was one.
struct vucrash_log_writer_signal_info_t {
  struct {
    int signo;
    int code;
    uint64_t address;
  } bsd_info;
  const vucrash_log_writer_mach_info_t *mach_info;
};

// Not for crash time. Whatever cannot be learnt stays empty and the write substitutes;
// VUCRASH_ERR_INVAL when the process record cannot be read.
vucrash_error_t vucrash_log_writer_init(vucrash_log_writer_t *writer, const char *app_identifier,
                                        const char *app_version,
                                        const char *app_marketing_version,
                                        uint32_t symbolication_strategy, bool user_requested);
// Records the uncaught exception (once per state); not for crash time, but called just before
// the abort that produces the report.
void vucrash_log_writer_set_exception(vucrash_log_writer_t *writer, const char *name,
                                      const char *reason, const uint64_t *return_addresses,
                                      size_t count);

// Crash time. crashed_state is the crashed thread's registers: required when the crashed
// thread is the calling thread, or a thread that cannot be parked (it waits in a fault
// handler); otherwise the crashed thread is parked and read like the others. The calling
// thread is written only when it is the crashed one.
vucrash_error_t vucrash_log_writer_write(vucrash_log_writer_t *writer,
                                         vucrash_thread_t crashed_thread,
                                         vucrash_async_image_list_t *image_list,
                                         vucrash_async_file_t *file,
                                         const vucrash_log_writer_signal_info_t *siginfo,
                                         const vucrash_async_thread_state_t *crashed_state);
vucrash_error_t vucrash_log_writer_close(vucrash_log_writer_t *writer);
void vucrash_log_writer_free(vucrash_log_writer_t *writer);
