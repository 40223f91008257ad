#pragma once
// Holding the process's other threads still while a report is written, and taking their
// registers: the counterpart of suspending threads and reading their state.
//
// At enable time, vucrash_nasync_thread_parking_init opens the process's task folder, picks
// a real-time signal nobody handles, maps a table of slots and installs the parking handler.
// At crash time the writer lists the threads (getdents64 on that folder), sends each one the
// parking signal (tgkill), and waits (bounded) until each has stored its interrupted
// registers in its slot. A parked thread waits on a futex until it is released, or until a
// bound passes, so a writer that never comes back cannot hold threads forever.
//
// Threads that block the parking signal, or do not answer in time, are written without
// registers. Only one round of parking runs at a time; the crash path guarantees that.
//
// Crash-time rules for every vucrash_async_* function: no heap, no locks, no stdio.

#include "VUCrashAsync.h"
#include "VUCrashAsyncThreadState.h"

#include <stddef.h>

// Most threads listed, parked and written per report.
inline constexpr size_t VUCRASH_MAX_THREADS = 512;

// Idempotent; VUCRASH_ERR_NOTSUP when no real-time signal is free, VUCRASH_ERR_NOMEM when
// the slots cannot be mapped, VUCRASH_ERR_OUTPUT when the task folder cannot be opened.
vucrash_error_t vucrash_nasync_thread_parking_init(void);
// The signal chosen at init (0 before).
int vucrash_thread_parking_signal(void);

// The process's threads in the kernel's order; false when they cannot be listed.
bool vucrash_async_thread_list(vucrash_thread_t *tids, size_t capacity, size_t *count);
// Parks every listed thread except skip1 and skip2 (pass 0 for none) and waits for them up
// to the bound. Threads that did not answer have no parked state.
void vucrash_async_threads_park(const vucrash_thread_t *tids, size_t count,
                                vucrash_thread_t skip1, vucrash_thread_t skip2);
// The registers a parked thread stored, or nullptr.
const vucrash_async_thread_state_t *vucrash_async_thread_parked_state(vucrash_thread_t tid);
// Lets every parked thread go on.
void vucrash_async_threads_release(void);

// How long the writer waits for the threads to answer, in total (milliseconds); tests and
// benchmarks may change it before a crash.
extern int vucrash_thread_parking_wait_ms;
