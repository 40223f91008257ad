#include "VUCrashSysctl.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

char *vucrash_read_small_file(const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return nullptr;
  size_t capacity = 256, used = 0;
  char *text = static_cast<char *>(malloc(capacity));
  if (text == nullptr) {
    close(fd);
    errno = ENOMEM;
    return nullptr;
  }
  for (;;) {
    if (used + 1 == capacity) {
      // Values of interest are short; refuse runaway input (a device node, say).
      if (capacity >= 65536) {
        free(text);
        close(fd);
        errno = EFBIG;
        return nullptr;
      }
      char *grown = static_cast<char *>(realloc(text, capacity * 2));
      if (grown == nullptr) {
        free(text);
        close(fd);
        errno = ENOMEM;
        return nullptr;
      }
      text = grown;
      capacity *= 2;
    }
    ssize_t n = read(fd, text + used, capacity - 1 - used);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      int saved = errno;
      free(text);
      close(fd);
      errno = saved;
      return nullptr;
    }
    if (n == 0)
      break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  while (used > 0 && (text[used - 1] == '\n' || text[used - 1] == '\r'))
    --used;
  text[used] = 0;
  return text;
}

char *vucrash_sysctl_string(const char *name) {
  char path[256] = "/proc/sys/";
  size_t n = strlen(path);
  for (const char *p = name; *p != 0; ++p) {
    if (n + 1 >= sizeof(path) || *p == '/') {
      errno = EINVAL;
      return nullptr;
    }
    path[n++] = *p == '.' ? '/' : *p;
  }
  path[n] = 0;
  return vucrash_read_small_file(path);
}

bool vucrash_sysctl_int(const char *name, int32_t *result) {
  char *text = vucrash_sysctl_string(name);
  if (text == nullptr)
    return false;
  char *end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  bool ok = errno == 0 && end != text && *end == 0 && value >= INT32_MIN && value <= INT32_MAX;
  free(text);
  if (ok)
    *result = static_cast<int32_t>(value);
  return ok;
}

size_t vucrash_sysctl_valid_utf8_bytes_max(const uint8_t *bytes, size_t max_length) {
  size_t i = 0;
  if (max_length > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
    i = 3;
  while (i < max_length) {
    const uint8_t lead = bytes[i];
    if (lead == 0)
      break;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t needed;
    // The allowed range of the first continuation byte: it rules out overlong forms (E0, F0),
    // surrogates (ED) and values past U+10FFFF (F4).
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      needed = 2;
      if (lead == 0xE0)
        low = 0xA0;
      else if (lead == 0xED)
        high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      needed = 3;
      if (lead == 0xF0)
        low = 0x90;
      else if (lead == 0xF4)
        high = 0x8F;
    } else {
      break;  // continuation byte, C0/C1 (always overlong) or F5-FF
    }
    if (max_length - i - 1 < needed)
      break;
    bool valid = true;
    for (size_t k = 1; k <= needed && valid; ++k) {
      const uint8_t c = bytes[i + k];
      if (k == 1)
        valid = c >= low && c <= high;
      else
        valid = (c & 0xC0) == 0x80;
    }
    if (!valid)
      break;
    i += needed + 1;
  }
  return i;
}

size_t vucrash_sysctl_valid_utf8_bytes(const uint8_t *bytes) {
  size_t length = 0;
  while (bytes[length] != 0)
    ++length;
  return vucrash_sysctl_valid_utf8_bytes_max(bytes, length);
}
