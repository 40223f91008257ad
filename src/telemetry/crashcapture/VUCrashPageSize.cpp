// Not crash-time code: runs once, before any ordinary static initialiser, so image lists
// made by other initialisers (before main) already probe with the real page size.
#include "VUCrashMemoryObject.h"

#include <unistd.h>

// Constant-initialised, so no reader ever sees 0.
uint64_t vucrash_page_size_value = 4096;

__attribute__((constructor(101))) static void readPageSize() {
  const long size = sysconf(_SC_PAGESIZE);
  if (size > 0)
    vucrash_page_size_value = static_cast<uint64_t>(size);
}

uint64_t vucrash_async_page_size() { return vucrash_page_size_value; }
