// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
//
// The last resort of the frame readers: follows the chain of saved frame pointers, which
// works for any code built with frame pointers, whether or not it has unwind information.
#include "VUCrashFrameCursor.h"

#include "VUCrashAsyncLog.h"

vuframe_error_t vuframe_cursor_read_frame_ptr(vucrash_task_t task,
                                              vucrash_async_image_list_t *image_list,
                                              const vucrash_async_thread_state_t *current_frame,
                                              const vucrash_async_thread_state_t *previous_frame,
                                              vucrash_async_thread_state_t *next_frame) {
  return vuframe_cursor_read_frame_ptr_cached(nullptr, task, image_list, current_frame, previous_frame,
                                              next_frame);
}

vuframe_error_t vuframe_cursor_read_frame_ptr_cached(vuframe_walk_cache_t *cache, vucrash_task_t task,
                                                     vucrash_async_image_list_t *image_list,
                                                     const vucrash_async_thread_state_t *current_frame,
                                                     const vucrash_async_thread_state_t *previous_frame,
                                                     vucrash_async_thread_state_t *next_frame) {
  (void)image_list;
  vucrash_async_page_cache_t *stack = vuframe_walk_cache_stack(cache);
  const size_t wordSize = vucrash_async_thread_state_get_greg_size(current_frame);

  if (!vucrash_async_thread_state_has_reg(current_frame, VUCRASH_REG_FP)) {
    VUCR_LOG("The frame pointer is unavailable, can't read saved register.");
    return VUFRAME_ERR_BADFRAME;
  }
  const vucrash_greg_t fp = vucrash_async_thread_state_get_reg(current_frame, VUCRASH_REG_FP);
  if (fp == 0)
    return VUFRAME_ERR_NOFRAME;

  if (previous_frame != nullptr &&
      vucrash_async_thread_state_has_reg(previous_frame, VUCRASH_REG_FP)) {
    const vucrash_greg_t prevFp =
        vucrash_async_thread_state_get_reg(previous_frame, VUCRASH_REG_FP);
    const uint32_t direction = vucrash_async_thread_state_get_stack_direction(current_frame);
    // After the first step the chain must move: a frame pointer equal to the previous one
    // would deliver the same frame again and again until the caller's frame cap.
    if ((direction == VUCRASH_ASYNC_STACK_DIRECTION_DOWN && fp <= prevFp) ||
        (direction == VUCRASH_ASYNC_STACK_DIRECTION_UP && fp >= prevFp)) {
      VUCR_LOG("Stack growing in wrong direction, terminating stack walk");
      return VUFRAME_ERR_BADFRAME;
    }
  }

  // The saved frame pointer, then the return address.
  vucrash_greg_t words[2] = {0, 0};
  vucrash_error_t err;
  if (wordSize == 4) {
    uint32_t small[2];
    err = vucrash_async_page_cache_read(stack, task, fp, small, sizeof(small));
    words[0] = small[0];
    words[1] = small[1];
  } else {
    err = vucrash_async_page_cache_read(stack, task, fp, words, sizeof(words));
  }
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to read frame: %d", static_cast<int>(err));
    return VUFRAME_ERR_BADFRAME;
  }

  vucrash_async_thread_state_copy(next_frame, current_frame);
  vucrash_async_thread_state_clear_all_regs(next_frame);
  next_frame->resumes_at_pc = false;
  vucrash_async_thread_state_set_reg(next_frame, VUCRASH_REG_FP, words[0]);
  vucrash_async_thread_state_set_reg(next_frame, VUCRASH_REG_IP, words[1]);
  return VUFRAME_ERR_NONE;
}
