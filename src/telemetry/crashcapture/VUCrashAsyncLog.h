#pragma once
// The engine's debug lines: "[VUCrashReport] <function>:<line>: <message>\n" on standard
// error. Safe at crash time: the message is formatted by our own formatter into a 128-byte
// stack buffer (snprintf may take locks or allocate) and written with vucrash_async_writen.
//
// The formatter understands %d %i %u %x %X %o %c %s %p %% with the length modifiers hh, h,
// l, ll, j, z and t, an optional field width and the flags '0' and '-'. Anything else is
// copied as it stands. Output is cut to fit the buffer and always NUL-terminated.

#include <stdarg.h>
#include <stddef.h>

size_t vucrash_async_vformat(char *buffer, size_t size, const char *format, va_list args);
size_t vucrash_async_format(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

void vucrash_async_log(const char *function, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

#define VUCR_LOG(...) vucrash_async_log(__func__, __LINE__, __VA_ARGS__)
