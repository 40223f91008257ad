// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashAsyncLog.h"

#include "VUCrashAsync.h"

#include <stdint.h>

namespace {

struct Out {
  char *buffer;
  size_t size;
  size_t used;

  void put(char c) {
    if (used + 1 < size)
      buffer[used] = c;
    ++used;
  }
};

void putDigits(Out &out, uint64_t value, unsigned base, bool upper, bool negative, int width,
               bool zeroPad, bool leftAlign) {
  char digits[24];
  int n = 0;
  const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    digits[n++] = set[value % base];
    value /= base;
  } while (value != 0);
  int length = n + (negative ? 1 : 0);
  int pad = width > length ? width - length : 0;
  if (!leftAlign && !zeroPad)
    for (; pad > 0; --pad)
      out.put(' ');
  if (negative)
    out.put('-');
  if (!leftAlign && zeroPad)
    for (; pad > 0; --pad)
      out.put('0');
  while (n > 0)
    out.put(digits[--n]);
  for (; pad > 0; --pad)
    out.put(' ');
}

}  // namespace

size_t vucrash_async_vformat(char *buffer, size_t size, const char *format, va_list args) {
  Out out{buffer, size, 0};
  for (const char *p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.put(*p);
      continue;
    }
    const char *start = p++;
    bool zeroPad = false, leftAlign = false;
    for (;; ++p) {
      if (*p == '0')
        zeroPad = true;
      else if (*p == '-')
        leftAlign = true;
      else
        break;
    }
    int width = 0;
    while (*p >= '0' && *p <= '9')
      width = width * 10 + (*p++ - '0');
    int longs = 0;  // 0 int, 1 long, 2 long long, -1 short, -2 char; 3 size_t/intmax_t
    if (*p == 'h') {
      longs = -1;
      if (*++p == 'h') {
        longs = -2;
        ++p;
      }
    } else if (*p == 'l') {
      longs = 1;
      if (*++p == 'l') {
        longs = 2;
        ++p;
      }
    } else if (*p == 'j' || *p == 'z' || *p == 't') {
      longs = 3;
      ++p;
    }
    switch (*p) {
      case 'd':
      case 'i': {
        int64_t v;
        if (longs == 2 || longs == 3)
          v = va_arg(args, long long);
        else if (longs == 1)
          v = va_arg(args, long);
        else
          v = va_arg(args, int);
        if (longs == -1)
          v = static_cast<short>(v);
        else if (longs == -2)
          v = static_cast<signed char>(v);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        putDigits(out, magnitude, 10, false, v < 0, width, zeroPad, leftAlign);
        break;
      }
      case 'u':
      case 'x':
      case 'X':
      case 'o': {
        uint64_t v;
        if (longs == 2 || longs == 3)
          v = va_arg(args, unsigned long long);
        else if (longs == 1)
          v = va_arg(args, unsigned long);
        else
          v = va_arg(args, unsigned int);
        if (longs == -1)
          v = static_cast<unsigned short>(v);
        else if (longs == -2)
          v = static_cast<unsigned char>(v);
        unsigned base = *p == 'u' ? 10 : (*p == 'o' ? 8 : 16);
        putDigits(out, v, base, *p == 'X', false, width, zeroPad, leftAlign);
        break;
      }
      case 'p': {
        uintptr_t v = reinterpret_cast<uintptr_t>(va_arg(args, void *));
        out.put('0');
        out.put('x');
        putDigits(out, v, 16, false, false, 0, false, false);
        break;
      }
      case 'c':
        out.put(static_cast<char>(va_arg(args, int)));
        break;
      case 's': {
        const char *s = va_arg(args, const char *);
        if (s == nullptr)
          s = "(null)";
        size_t n = vucrash_async_strlen(s);
        int pad = width > static_cast<int>(n) ? width - static_cast<int>(n) : 0;
        if (!leftAlign)
          for (; pad > 0; --pad)
            out.put(' ');
        for (size_t i = 0; i < n; ++i)
          out.put(s[i]);
        for (; pad > 0; --pad)
          out.put(' ');
        break;
      }
      case '%':
        out.put('%');
        break;
      default:
        // Unknown conversion: copy it as written, and stop at a trailing '%'.
        for (const char *q = start; q <= p && *q != 0; ++q)
          out.put(*q);
        if (*p == 0)
          --p;
        break;
    }
  }
  if (size > 0)
    buffer[out.used < size ? out.used : size - 1] = 0;
  return out.used < size ? out.used : (size > 0 ? size - 1 : 0);
}

size_t vucrash_async_format(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  size_t n = vucrash_async_vformat(buffer, size, format, args);
  va_end(args);
  return n;
}

void vucrash_async_log(const char *function, int line, const char *format, ...) {
  static const char prefix[] = "[VUCrashReport] ";
  char buffer[128];
  vucrash_async_writen(2, prefix, sizeof(prefix) - 1);
  vucrash_async_writen(2, function, vucrash_async_strlen(function));
  size_t n = vucrash_async_format(buffer, sizeof(buffer), ":%d: ", line);
  vucrash_async_writen(2, buffer, n);
  va_list args;
  va_start(args, format);
  n = vucrash_async_vformat(buffer, sizeof(buffer), format, args);
  va_end(args);
  vucrash_async_writen(2, buffer, n);
  vucrash_async_writen(2, "\n", 1);
}
