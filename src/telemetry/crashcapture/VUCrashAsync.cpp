// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsync.h"

#include "VUCrashAsyncLog.h"

#include <errno.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

const char *vucrash_async_strerror(vucrash_error_t error) {
  switch (error) {
    case VUCRASH_ERR_NONE: return "No error";
    case VUCRASH_ERR_UNKNOWN: return "Unknown error";
    case VUCRASH_ERR_OUTPUT: return "Output file can not be opened (or written to)";
    case VUCRASH_ERR_NOMEM: return "No memory available";
    case VUCRASH_ERR_NOTSUP: return "Operation not supported";
    case VUCRASH_ERR_INVAL: return "Invalid argument";
    case VUCRASH_ERR_INTERNAL: return "Internal error";
    case VUCRASH_ERR_ACCESS: return "Access denied";
    case VUCRASH_ERR_NOTFOUND: return "Not found";
    case VUCRASH_ERR_INVALID_DATA: return "The input data is in an unknown or invalid format.";
  }
  return "Unhandled error code";
}

vucrash_task_t vu_task_self(void) {
  return static_cast<vucrash_task_t>(syscall(SYS_getpid));
}

vucrash_thread_t vu_mach_thread_self(void) {
  return static_cast<vucrash_thread_t>(syscall(SYS_gettid));
}

static uint16_t vucr_swap16(uint16_t v) { return __builtin_bswap16(v); }
static uint32_t vucr_swap32(uint32_t v) { return __builtin_bswap32(v); }
static uint64_t vucr_swap64(uint64_t v) { return __builtin_bswap64(v); }
static uint16_t vucr_nswap16(uint16_t v) { return v; }
static uint32_t vucr_nswap32(uint32_t v) { return v; }
static uint64_t vucr_nswap64(uint64_t v) { return v; }

const vucrash_async_byteorder_t vucrash_async_byteorder_swapped = {vucr_swap16, vucr_swap32,
                                                                   vucr_swap64};
const vucrash_async_byteorder_t vucrash_async_byteorder_direct = {vucr_nswap16, vucr_nswap32,
                                                                  vucr_nswap64};

const vucrash_async_byteorder_t *vucrash_async_byteorder_little_endian(void) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return &vucrash_async_byteorder_direct;
#else
  return &vucrash_async_byteorder_swapped;
#endif
}

const vucrash_async_byteorder_t *vucrash_async_byteorder_big_endian(void) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  return &vucrash_async_byteorder_swapped;
#else
  return &vucrash_async_byteorder_direct;
#endif
}

ssize_t vucrash_async_writen(int fd, const void *data, size_t length) {
  const char *p = static_cast<const char *>(data);
  size_t left = length;
  ssize_t last = 0;
  while (left > 0) {
    last = write(fd, p, left);
    if (last < 0) {
      // Only a call that failed says anything about errno; an old EINTR left behind by
      // some earlier call must not turn a stuck descriptor into an endless loop.
      if (errno == EINTR)
        continue;
      return -1;
    }
    if (last == 0)
      return -1;
    p += last;
    left -= static_cast<size_t>(last);
  }
  return last;
}

vucrash_error_t vucrash_async_read_addr(vucrash_task_t task, vucrash_vm_address_t address,
                                        void *dest, vucrash_vm_size_t length) {
  if (length == 0)
    return VUCRASH_ERR_NONE;
  struct iovec local = {dest, static_cast<size_t>(length)};
  struct iovec remote = {reinterpret_cast<void *>(static_cast<uintptr_t>(address)),
                         static_cast<size_t>(length)};
  const int savedErrno = errno;
  ssize_t got = process_vm_readv(task, &local, 1, &remote, 1, 0);
  vucrash_error_t result = VUCRASH_ERR_NONE;
  if (got < 0) {
    switch (errno) {
      case EFAULT: result = VUCRASH_ERR_NOTFOUND; break;
      case EPERM: result = VUCRASH_ERR_ACCESS; break;
      case ESRCH: result = VUCRASH_ERR_NOTFOUND; break;
      default:
        VUCR_LOG("Unexpected error from process_vm_readv: %d", errno);
        result = VUCRASH_ERR_UNKNOWN;
        break;
    }
  } else if (static_cast<vucrash_vm_size_t>(got) != length) {
    // The range ran into memory that is not mapped.
    result = VUCRASH_ERR_NOTFOUND;
  }
  errno = savedErrno;
  return result;
}

bool vucrash_async_address_apply_offset(vucrash_vm_address_t base, vucrash_vm_off_t offset,
                                        vucrash_vm_address_t *result) {
  if (offset > 0) {
    const uint64_t up = static_cast<uint64_t>(offset);
    if (UINT64_MAX - base < up)
      return false;
  } else if (offset < 0) {
    // -(INT64_MIN) does not fit: compute the magnitude in unsigned arithmetic.
    const uint64_t down = 0 - static_cast<uint64_t>(offset);
    if (down > base)
      return false;
  }
  if (result != nullptr)
    *result = base + static_cast<uint64_t>(offset);
  return true;
}

vucrash_error_t vucrash_async_task_memcpy(vucrash_task_t task, vucrash_vm_address_t address,
                                          vucrash_vm_off_t offset, void *dest,
                                          vucrash_vm_size_t length) {
  vucrash_vm_address_t target;
  if (!vucrash_async_address_apply_offset(address, offset, &target))
    return VUCRASH_ERR_NOMEM;
  return vucrash_async_read_addr(task, target, dest, length);
}

vucrash_error_t vucrash_async_task_read_uint8(vucrash_task_t task, vucrash_vm_address_t address,
                                              vucrash_vm_off_t offset, uint8_t *result) {
  return vucrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
}

vucrash_error_t vucrash_async_task_read_uint16(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint16_t *result) {
  vucrash_error_t err = vucrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
  *result = byteorder->swap16(*result);
  return err;
}

vucrash_error_t vucrash_async_task_read_uint32(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint32_t *result) {
  vucrash_error_t err = vucrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
  *result = byteorder->swap32(*result);
  return err;
}

vucrash_error_t vucrash_async_task_read_uint64(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint64_t *result) {
  vucrash_error_t err = vucrash_async_task_memcpy(task, address, offset, result, sizeof(*result));
  *result = byteorder->swap64(*result);
  return err;
}

int vucrash_async_strcmp(const char *s1, const char *s2) {
  const unsigned char *a = reinterpret_cast<const unsigned char *>(s1);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(s2);
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<int>(*a) - static_cast<int>(*b);
}

int vucrash_async_strncmp(const char *s1, const char *s2, size_t n) {
  const unsigned char *a = reinterpret_cast<const unsigned char *>(s1);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(s2);
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i])
      return static_cast<int>(a[i]) - static_cast<int>(b[i]);
    if (a[i] == 0)
      return 0;
  }
  return 0;
}

size_t vucrash_async_strlen(const char *s) {
  size_t n = 0;
  while (s[n] != 0)
    ++n;
  return n;
}

// memcpy and memset are on the async-signal-safe list (POSIX.1-2016) and take no locks; a
// byte loop of our own would make every frame of a stack walk several times slower.
void *vucrash_async_memcpy(void *dest, const void *source, size_t n) {
  return memcpy(dest, source, n);
}

void *vucrash_async_memset(void *dest, int value, size_t n) {
  return memset(dest, value, n);
}
