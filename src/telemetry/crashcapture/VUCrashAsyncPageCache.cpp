// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsyncPageCache.h"

#include <sys/uio.h>

void vucrash_async_page_cache_reset(vucrash_async_page_cache_t *cache) {
  for (auto &window : cache->windows)
    window.length = 0;
  cache->next_victim = 0;
}

namespace {

// Reads as many whole pages from `address` as can be read: one remote element per page, as
// process_vm_readv stops at the first element it cannot read whole.
uint64_t readPages(vucrash_task_t task, uint64_t address, uint8_t *bytes) {
  constexpr uint64_t kPage = vucrash_async_page_cache_t::kPageBytes;
  constexpr size_t kCount = vucrash_async_page_cache_t::kWindowBytes / kPage;
  iovec local{bytes, static_cast<size_t>(vucrash_async_page_cache_t::kWindowBytes)};
  iovec remote[kCount];
  for (size_t i = 0; i < kCount; ++i)
    remote[i] = iovec{reinterpret_cast<void *>(static_cast<uintptr_t>(address + i * kPage)), kPage};
  const ssize_t got = process_vm_readv(task, &local, 1, remote, kCount, 0);
  if (got <= 0)
    return 0;
  return static_cast<uint64_t>(got) & ~(kPage - 1);
}

}  // namespace

vucrash_error_t vucrash_async_page_cache_read(vucrash_async_page_cache_t *cache,
                                              vucrash_task_t task, vucrash_vm_address_t address,
                                              void *dest, vucrash_vm_size_t length) {
  if (cache == nullptr || length == 0)
    return vucrash_async_read_addr(task, address, dest, length);

  for (auto &window : cache->windows) {
    if (address >= window.address && address - window.address < window.length &&
        length <= window.length - (address - window.address)) {
      vucrash_async_memcpy(dest, window.bytes + (address - window.address), static_cast<size_t>(length));
      return VUCRASH_ERR_NONE;
    }
  }

  constexpr uint64_t kBytes = vucrash_async_page_cache_t::kWindowBytes;
  const uint64_t start = address & ~(vucrash_async_page_cache_t::kPageBytes - 1);
  if (length > kBytes - (address - start) || start > UINT64_MAX - kBytes)
    return vucrash_async_read_addr(task, address, dest, length);
  auto &window = cache->windows[cache->next_victim];
  window.address = start;
  window.length = readPages(task, start, window.bytes);
  if (window.length < address - start + length)
    return vucrash_async_read_addr(task, address, dest, length);
  cache->next_victim = (cache->next_victim + 1) % vucrash_async_page_cache_t::kWindows;
  vucrash_async_memcpy(dest, window.bytes + (address - start), static_cast<size_t>(length));
  return VUCRASH_ERR_NONE;
}
