// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashFrameCursor.h"

#include "VUCrashAsyncLog.h"

const char *vuframe_strerror(vuframe_error_t error) {
  switch (error) {
    case VUFRAME_ERR_NONE: return "No error";
    case VUFRAME_ERR_UNKNOWN: return "Unknown error";
    case VUFRAME_ERR_NOFRAME: return "No frames are available";
    case VUFRAME_ERR_BADFRAME: return "Corrupted frame";
    case VUFRAME_ERR_NOTSUP: return "Operation not supported";
    case VUFRAME_ERR_INVAL: return "Invalid argument";
    case VUFRAME_ERR_INTERNAL: return "Internal error";
    case VUFRAME_ERR_BADREG: return "Invalid register";
  }
  return "Unhandled error code";
}

vuframe_error_t vuframe_cursor_init(vuframe_cursor_t *cursor, vucrash_task_t task,
                                    const vucrash_async_thread_state_t *thread_state,
                                    vucrash_async_image_list_t *image_list) {
  cursor->depth = 0;
  cursor->task = task;
  cursor->image_list = image_list;
  vucrash_async_memset(&cursor->prev_frame, 0, sizeof(cursor->prev_frame));
  vucrash_async_thread_state_copy(&cursor->frame, thread_state);
  cursor->cache = vuframe_walk_cache_claim();
  return VUFRAME_ERR_NONE;
}

vucrash_error_t vuframe_cursor_thread_init(vuframe_cursor_t *cursor, vucrash_task_t task, vucrash_thread_t thread,
                                           vucrash_async_image_list_t *image_list) {
  vucrash_async_thread_state_t state;
  const vucrash_error_t err = vucrash_async_thread_state_mach_thread_init(&state, thread);
  if (err != VUCRASH_ERR_NONE)
    return err;
  vuframe_cursor_init(cursor, task, &state, image_list);
  return VUCRASH_ERR_NONE;
}

namespace {

// One step; runReader(i, previous, next) runs the i-th of reader_count readers.
template <typename RunReader>
vuframe_error_t step(vuframe_cursor_t *cursor, size_t reader_count, RunReader runReader) {
  if (cursor->depth == 0) {
    cursor->depth = 1;
    return VUFRAME_ERR_NONE;
  }
  if (reader_count == 0)
    return VUFRAME_ERR_INVAL;
  const vucrash_async_thread_state_t *previous =
      cursor->depth >= 2 ? &cursor->prev_frame : nullptr;

  vucrash_async_thread_state_t next;
  vuframe_error_t err = VUFRAME_ERR_INVAL;
  for (size_t i = 0; i < reader_count; ++i) {
    err = runReader(i, previous, &next);
    if (err == VUFRAME_ERR_NONE)
      break;
  }
  if (err != VUFRAME_ERR_NONE)
    return err;

  if (!vucrash_async_thread_state_has_reg(&next, VUCRASH_REG_IP)) {
    VUCR_LOG("Missing expected IP value in successfully read frame");
    return VUFRAME_ERR_NOFRAME;
  }
  // A return address in the first page is the end of the chain, not a frame.
  if (vucrash_async_thread_state_get_reg(&next, VUCRASH_REG_IP) <= 0x1000)
    return VUFRAME_ERR_NOFRAME;

  vucrash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
  vucrash_async_thread_state_copy(&cursor->frame, &next);
  cursor->depth++;
  return VUFRAME_ERR_NONE;
}

}  // namespace

vuframe_error_t vuframe_cursor_next(vuframe_cursor_t *cursor) {
  // Unwind information first, compact then DWARF: it is exact where it exists. Frame
  // pointers cover code without it.
  return step(cursor, 3, [cursor](size_t i, const vucrash_async_thread_state_t *previous,
                                  vucrash_async_thread_state_t *next) {
    if (i == 0)
      return vuframe_cursor_read_compact_unwind_cached(cursor->cache, cursor->task, cursor->image_list,
                                                       &cursor->frame, previous, next);
    if (i == 1)
      return vuframe_cursor_read_dwarf_unwind_cached(cursor->cache, cursor->task, cursor->image_list,
                                                     &cursor->frame, previous, next);
    return vuframe_cursor_read_frame_ptr_cached(cursor->cache, cursor->task, cursor->image_list,
                                                &cursor->frame, previous, next);
  });
}

vuframe_error_t vuframe_cursor_next_with_readers(vuframe_cursor_t *cursor,
                                                 const vuframe_cursor_frame_reader_t *readers,
                                                 size_t reader_count) {
  return step(cursor, reader_count, [cursor, readers](size_t i, const vucrash_async_thread_state_t *previous,
                                                      vucrash_async_thread_state_t *next) {
    return readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, next);
  });
}

vuframe_error_t vuframe_cursor_get_reg(const vuframe_cursor_t *cursor, vucrash_regnum_t regnum,
                                       vucrash_greg_t *value) {
  if (!vucrash_async_thread_state_has_reg(&cursor->frame, regnum))
    return VUFRAME_ERR_NOTSUP;
  *value = vucrash_async_thread_state_get_reg(&cursor->frame, regnum);
  return VUFRAME_ERR_NONE;
}

const char *vuframe_cursor_get_regname(const vuframe_cursor_t *cursor, vucrash_regnum_t regnum) {
  return vucrash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

size_t vuframe_cursor_get_regcount(const vuframe_cursor_t *cursor) {
  return vucrash_async_thread_state_get_reg_count(&cursor->frame);
}

void vuframe_cursor_free(vuframe_cursor_t *cursor) {
  // The process is not a counted reference here; the walk cache is all there is to give back.
  vuframe_walk_cache_release(cursor->cache);
  cursor->cache = nullptr;
}
