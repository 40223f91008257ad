#pragma once
// Walks one thread's stack frame by frame, from a thread state, at crash time. Each step asks
// an ordered list of frame readers for the caller's frame; the first that answers wins.
//
// Life of a cursor (on the caller's stack): vuframe_cursor_init, vuframe_cursor_next until it
// returns non-zero (VUFRAME_ERR_NOFRAME is the normal end), vuframe_cursor_free. The first
// step delivers the initial state itself; the cursor bounds nothing, the caller caps frames.
//
// A cursor claims a walk cache at init (VUCrashFrameWalkCache.h) and gives it back at free:
// free every cursor that was initialised.
//
// Crash-time code: nothing here allocates or locks.

#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncThreadState.h"
#include "VUCrashFrameWalkCache.h"

#include <pthread.h>

typedef enum {
  VUFRAME_ERR_NONE = 0,
  VUFRAME_ERR_UNKNOWN = 1,
  VUFRAME_ERR_NOFRAME = 2,
  VUFRAME_ERR_BADFRAME = 3,
  VUFRAME_ERR_NOTSUP = 4,
  VUFRAME_ERR_INVAL = 5,
  VUFRAME_ERR_INTERNAL = 6,
  VUFRAME_ERR_BADREG = 7,
} vuframe_error_t;

const char *vuframe_strerror(vuframe_error_t error);

struct vuframe_cursor_t {
  vucrash_task_t task;
  vucrash_async_image_list_t *image_list;
  uint32_t depth;
  vucrash_async_thread_state_t prev_frame;
  vucrash_async_thread_state_t frame;
  // What the standard readers map and read, kept for the walk; nullptr when none was free.
  vuframe_walk_cache_t *cache;
};

// A frame reader: fills next_frame with the caller of current_frame. previous_frame is
// nullptr on the first reader step of a walk.
typedef vuframe_error_t (*vuframe_cursor_frame_reader_t)(
    vucrash_task_t task, vucrash_async_image_list_t *image_list,
    const vucrash_async_thread_state_t *current_frame,
    const vucrash_async_thread_state_t *previous_frame,
    vucrash_async_thread_state_t *next_frame);

vuframe_error_t vuframe_cursor_init(vuframe_cursor_t *cursor, vucrash_task_t task,
                                    const vucrash_async_thread_state_t *thread_state,
                                    vucrash_async_image_list_t *image_list);
// The same from another thread's parked registers (vucrash_async_thread_state_mach_thread_init);
// returns that call's engine code, and the cursor is usable (and must be freed) only on success.
vucrash_error_t vuframe_cursor_thread_init(vuframe_cursor_t *cursor, vucrash_task_t task, vucrash_thread_t thread,
                                           vucrash_async_image_list_t *image_list);
// One step with the standard readers.
vuframe_error_t vuframe_cursor_next(vuframe_cursor_t *cursor);
vuframe_error_t vuframe_cursor_next_with_readers(vuframe_cursor_t *cursor,
                                                 const vuframe_cursor_frame_reader_t *readers,
                                                 size_t reader_count);
vuframe_error_t vuframe_cursor_get_reg(const vuframe_cursor_t *cursor, vucrash_regnum_t regnum,
                                       vucrash_greg_t *value);
const char *vuframe_cursor_get_regname(const vuframe_cursor_t *cursor, vucrash_regnum_t regnum);
size_t vuframe_cursor_get_regcount(const vuframe_cursor_t *cursor);
void vuframe_cursor_free(vuframe_cursor_t *cursor);

// A thread known to be waiting, for exercising walks of other threads: spawn returns once the
// thread is waiting on the record's condition; stop wakes it and joins it. Not crash-time code.
struct vuframe_test_thread_t {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t cond;
};
void vuframe_test_thread_spawn(vuframe_test_thread_t *args);
void vuframe_test_thread_stop(vuframe_test_thread_t *args);

// Applies the image's compact unwind entry for the frame's pc (VUCrashFrameWalkerCompactUnwind.cpp).
vuframe_error_t vuframe_cursor_read_compact_unwind(vucrash_task_t task,
                                                   vucrash_async_image_list_t *image_list,
                                                   const vucrash_async_thread_state_t *current_frame,
                                                   const vucrash_async_thread_state_t *previous_frame,
                                                   vucrash_async_thread_state_t *next_frame);
// Runs the image's call frame information for the frame's pc (VUCrashFrameWalkerDwarf.cpp).
vuframe_error_t vuframe_cursor_read_dwarf_unwind(vucrash_task_t task,
                                                 vucrash_async_image_list_t *image_list,
                                                 const vucrash_async_thread_state_t *current_frame,
                                                 const vucrash_async_thread_state_t *previous_frame,
                                                 vucrash_async_thread_state_t *next_frame);
// Follows the chain of saved frame pointers (VUCrashFrameWalkerFramePointer.cpp).
vuframe_error_t vuframe_cursor_read_frame_ptr(vucrash_task_t task,
                                              vucrash_async_image_list_t *image_list,
                                              const vucrash_async_thread_state_t *current_frame,
                                              const vucrash_async_thread_state_t *previous_frame,
                                              vucrash_async_thread_state_t *next_frame);

// Where the table readers look a frame's rules up. Every frame but the first holds a return
// address: the instruction after a call. When the call was its function's last instruction
// (abort, a throw) that address already belongs to the next function, so the lookup is one
// byte back, inside the call; not for a frame resumed after a signal, whose pc is exact.
inline vucrash_vm_address_t vuframe_rule_lookup_pc(vucrash_vm_address_t pc,
                                                  const vucrash_async_thread_state_t *current_frame,
                                                  const vucrash_async_thread_state_t *previous_frame) {
  const bool returnAddress = previous_frame != nullptr && !current_frame->resumes_at_pc;
  return returnAddress && pc > 0 ? pc - 1 : pc;
}

// The standard readers as vuframe_cursor_next runs them: with the walk's cache (which may be
// nullptr). The readers above are these without a cache.
vuframe_error_t vuframe_cursor_read_compact_unwind_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
                                                          vucrash_async_image_list_t *image_list,
                                                          const vucrash_async_thread_state_t *current_frame,
                                                          const vucrash_async_thread_state_t *previous_frame,
                                                          vucrash_async_thread_state_t *next_frame);
vuframe_error_t vuframe_cursor_read_dwarf_unwind_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
                                                        vucrash_async_image_list_t *image_list,
                                                        const vucrash_async_thread_state_t *current_frame,
                                                        const vucrash_async_thread_state_t *previous_frame,
                                                        vucrash_async_thread_state_t *next_frame);
vuframe_error_t vuframe_cursor_read_frame_ptr_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
                                                     vucrash_async_image_list_t *image_list,
                                                     const vucrash_async_thread_state_t *current_frame,
                                                     const vucrash_async_thread_state_t *previous_frame,
                                                     vucrash_async_thread_state_t *next_frame);
