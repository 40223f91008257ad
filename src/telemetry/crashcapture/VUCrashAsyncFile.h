#pragma once
// A buffered output file with a size limit, for writing the report at crash time. The caller
// owns the record (usually on its stack) and the descriptor.
//
// A write that would pass the limit is refused whole, and so is every write after it: a
// report is never left with a message cut mid-way and later bytes appended as if nothing was
// lost. Writers that want to stay within the limit ask vucrash_async_file_room first.
//
// Crash-time rules: no heap, no locks, no stdio. All functions are safe in a signal handler.

#include <stddef.h>
#include <stdint.h>

struct vucrash_async_file_t {
  int fd;
  // Most bytes accepted in total; 0 means no limit.
  uint64_t limit;
  // Bytes accepted so far.
  uint64_t total;
  // Bytes waiting in the buffer.
  uint64_t buffered;
  // Set by the first refused write; every later write is refused too.
  bool refused;
  char buffer[256];
};

void vucrash_async_file_init(vucrash_async_file_t *file, int fd, uint64_t limit);
bool vucrash_async_file_write(vucrash_async_file_t *file, const void *data, size_t length);
// Bytes that may still be accepted (UINT64_MAX without a limit, 0 after a refusal).
uint64_t vucrash_async_file_room(const vucrash_async_file_t *file);
bool vucrash_async_file_flush(vucrash_async_file_t *file);
// Flushes, then closes. When the flush fails the descriptor is left open.
bool vucrash_async_file_close(vucrash_async_file_t *file);
