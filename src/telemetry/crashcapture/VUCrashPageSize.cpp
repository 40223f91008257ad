// Not crash-time code: runs once, as a static initialiser, before anything can crash.
#include "VUCrashMemoryObject.h"

#include <unistd.h>

const uint64_t vucrash_page_size_value = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));

uint64_t vucrash_async_page_size() { return vucrash_page_size_value; }
