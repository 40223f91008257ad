// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// Another thread's registers: there is no call that reads a stopped thread's state here, so
// a thread's registers are the ones it stored itself when the parking signal interrupted it
// (VUCrashThreadParking.h).
#include "VUCrashAsyncLog.h"
#include "VUCrashAsyncThreadState.h"
#include "VUCrashThreadParking.h"

#include <errno.h>

vucrash_error_t vucrash_async_thread_state_mach_thread_init(vucrash_async_thread_state_t *state,
                                                            vucrash_thread_t thread) {
  vucrash_async_memset(state, 0, sizeof(*state));
#if defined(__x86_64__)
  const vucrash_async_thread_state_t *parked = vucrash_async_thread_parked_state(thread);
  if (parked == nullptr || parked->x86_state.thread.tsh.flavor != VUCRASH_x86_THREAD_STATE64) {
    VUCR_LOG("Fetch of x86 thread state failed with Mach error: %d", ESRCH);
    return VUCRASH_ERR_INTERNAL;
  }
  if (parked->x86_state.exception.esh.flavor != VUCRASH_x86_EXCEPTION_STATE64) {
    VUCR_LOG("Fetch of x86 exception state failed with Mach error: %d", EINVAL);
    return VUCRASH_ERR_INTERNAL;
  }
  vucrash_async_thread_state_copy(state, parked);
  state->stack_direction = VUCRASH_ASYNC_STACK_DIRECTION_DOWN;
  state->greg_size = 8;
  state->valid_regs = UINT64_MAX;
  state->resumes_at_pc = false;
  return VUCRASH_ERR_NONE;
#else
  // No register set of this processor is described: its threads carry no frames.
  (void)thread;
  return VUCRASH_ERR_NOTSUP;
#endif
}
