#pragma once
// The crash engine's toolkit for code that runs inside a signal handler: result codes, reads
// of process memory that cannot fault, byte-order conversion and string helpers.
//
// Crash-time rules for this file and everything built on it: no heap, no locks, no stdio, no
// exceptions; only async-signal-safe system calls. Every function here may run at crash time
// on any thread, unless its name contains "nasync".

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

// The engine's result code.
typedef enum {
  VUCRASH_ERR_NONE = 0,
  VUCRASH_ERR_UNKNOWN = 1,
  VUCRASH_ERR_OUTPUT = 2,
  VUCRASH_ERR_NOMEM = 3,
  VUCRASH_ERR_NOTSUP = 4,
  VUCRASH_ERR_INVAL = 5,
  VUCRASH_ERR_INTERNAL = 6,
  VUCRASH_ERR_ACCESS = 7,
  VUCRASH_ERR_NOTFOUND = 8,
  VUCRASH_ERR_INVALID_DATA = 9,
} vucrash_error_t;

// The text of a result code; "Unhandled error code" for any other value.
const char *vucrash_async_strerror(vucrash_error_t error);

// The process whose memory the engine reads (always our own here) and a thread of it.
typedef pid_t vucrash_task_t;
typedef pid_t vucrash_thread_t;
typedef uint64_t vucrash_vm_address_t;
typedef int64_t vucrash_vm_off_t;
typedef uint64_t vucrash_vm_size_t;

vucrash_task_t vu_task_self(void);
// The calling thread's id (what the writer compares threads against).
vucrash_thread_t vu_mach_thread_self(void);

// Converts 16-, 32- and 64-bit values read from foreign data into host order.
struct vucrash_async_byteorder_t {
  uint16_t (*swap16)(uint16_t);
  uint32_t (*swap32)(uint32_t);
  uint64_t (*swap64)(uint64_t);
};
extern const vucrash_async_byteorder_t vucrash_async_byteorder_swapped;
extern const vucrash_async_byteorder_t vucrash_async_byteorder_direct;
const vucrash_async_byteorder_t *vucrash_async_byteorder_little_endian(void);
const vucrash_async_byteorder_t *vucrash_async_byteorder_big_endian(void);

// Writes all bytes, retrying a write interrupted before it wrote anything. Negative on
// failure (including a write that makes no progress); callers test only for that.
ssize_t vucrash_async_writen(int fd, const void *data, size_t length);

// Reads length bytes of the task's memory at address into dest without ever faulting:
// VUCRASH_ERR_NOTFOUND for memory that is not mapped (or not wholly readable),
// VUCRASH_ERR_ACCESS when the kernel refuses the read.
vucrash_error_t vucrash_async_read_addr(vucrash_task_t task, vucrash_vm_address_t address,
                                        void *dest, vucrash_vm_size_t length);

// base + offset unless that leaves the 64-bit unsigned range (then false, out untouched).
bool vucrash_async_address_apply_offset(vucrash_vm_address_t base, vucrash_vm_off_t offset,
                                        vucrash_vm_address_t *result);

// Reads (address + offset, length); an overflowing address gives VUCRASH_ERR_NOMEM.
vucrash_error_t vucrash_async_task_memcpy(vucrash_task_t task, vucrash_vm_address_t address,
                                          vucrash_vm_off_t offset, void *dest,
                                          vucrash_vm_size_t length);
vucrash_error_t vucrash_async_task_read_uint8(vucrash_task_t task, vucrash_vm_address_t address,
                                              vucrash_vm_off_t offset, uint8_t *result);
// The stored value is converted with the byte order even when the read failed.
vucrash_error_t vucrash_async_task_read_uint16(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint16_t *result);
vucrash_error_t vucrash_async_task_read_uint32(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint32_t *result);
vucrash_error_t vucrash_async_task_read_uint64(vucrash_task_t task,
                                               const vucrash_async_byteorder_t *byteorder,
                                               vucrash_vm_address_t address,
                                               vucrash_vm_off_t offset, uint64_t *result);

// Byte-wise unsigned comparisons: the difference of the first differing bytes, else 0.
int vucrash_async_strcmp(const char *s1, const char *s2);
int vucrash_async_strncmp(const char *s1, const char *s2, size_t n);
size_t vucrash_async_strlen(const char *s);
void *vucrash_async_memcpy(void *dest, const void *source, size_t n);
// Fills with the low byte of value; returns dest.
void *vucrash_async_memset(void *dest, int value, size_t n);
