#pragma once
// Small readers of system values for enable-time code, and the UTF-8 check that crash-time
// code may use too.

#include <stddef.h>
#include <stdint.h>

// The value of a kernel parameter named like "kernel.osrelease" (read from /proc/sys), as a
// heap copy without the trailing newline (caller frees), or nullptr with errno set.
// Not for crash time.
char *vucrash_sysctl_string(const char *name);
// The same value as a 32-bit integer; false when it cannot be read or is not a number.
bool vucrash_sysctl_int(const char *name, int32_t *result);

// Reads a whole small file into a heap string without the trailing newline (caller frees);
// nullptr with errno set. Not for crash time.
char *vucrash_read_small_file(const char *path);

// The length of the longest prefix of bytes (bounded by max_length, stopped by a NUL) that
// is well-formed UTF-8: overlong forms, surrogates and values past U+10FFFF end it. A
// leading byte-order mark counts as valid. Pure: safe at crash time.
size_t vucrash_sysctl_valid_utf8_bytes_max(const uint8_t *bytes, size_t max_length);
size_t vucrash_sysctl_valid_utf8_bytes(const uint8_t *bytes);
