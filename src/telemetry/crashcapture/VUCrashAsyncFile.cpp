// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsyncFile.h"

#include "VUCrashAsync.h"
#include "VUCrashAsyncLog.h"

#include <errno.h>
#include <unistd.h>

void vucrash_async_file_init(vucrash_async_file_t *file, int fd, uint64_t limit) {
  file->fd = fd;
  file->limit = limit;
  file->total = 0;
  file->buffered = 0;
  file->refused = false;
}

uint64_t vucrash_async_file_room(const vucrash_async_file_t *file) {
  if (file->refused)
    return 0;
  if (file->limit == 0)
    return UINT64_MAX;
  return file->limit - file->total;
}

static bool writeOut(vucrash_async_file_t *file, const void *data, size_t length) {
  if (vucrash_async_writen(file->fd, data, length) < 0) {
    // strerror is not async-signal-safe; the number says the same.
    VUCR_LOG("Error occured writing to crash log: errno %d", errno);
    return false;
  }
  return true;
}

bool vucrash_async_file_write(vucrash_async_file_t *file, const void *data, size_t length) {
  if (file->refused)
    return false;
  if (file->limit > 0) {
    if (length > file->limit - file->total) {
      file->refused = true;
      return false;
    }
  }
  file->total += length;

  if (file->buffered + length > sizeof(file->buffer)) {
    if (!writeOut(file, file->buffer, file->buffered))
      return false;
    file->buffered = 0;
  }
  if (file->buffered + length <= sizeof(file->buffer)) {
    vucrash_async_memcpy(file->buffer + file->buffered, data, length);
    file->buffered += length;
    return true;
  }
  return writeOut(file, data, length);
}

bool vucrash_async_file_flush(vucrash_async_file_t *file) {
  if (file->buffered == 0)
    return true;
  if (!writeOut(file, file->buffer, file->buffered))
    return false;
  file->buffered = 0;
  return true;
}

bool vucrash_async_file_close(vucrash_async_file_t *file) {
  if (!vucrash_async_file_flush(file))
    return false;
  if (close(file->fd) != 0) {
    VUCR_LOG("Error closing file: errno %d", errno);
    return false;
  }
  return true;
}
