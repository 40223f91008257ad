// Enable-time half of the report writer: gathers every value the crash-time write needs.
// Not for crash time: it allocates and reads files.
#include "VUCrashLogWriter.h"

#include "VUCrashFrameSymbol.h"

#include "VUCrashAsyncLog.h"
#include "VUCrashProcessInfo.h"
#include "VUCrashReportFormat.h"
#include "VUCrashSysctl.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

char *copyOrNull(const char *text) {
  return text != nullptr ? strdup(text) : nullptr;
}

void makeUuid(uint8_t uuid[16]) {
  size_t got = 0;
  while (got < 16) {
    ssize_t n = getrandom(uuid + got, 16 - got, 0);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  // A random (version 4, RFC 4122 variant) UUID.
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x40);
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
}

// "major.minor.patch" of the distribution's VERSION_ID ("12" gives "12.0.0").
char *osVersion() {
  char *release = vucrash_read_small_file("/etc/os-release");
  if (release == nullptr)
    release = vucrash_read_small_file("/usr/lib/os-release");
  if (release == nullptr)
    return nullptr;
  int parts[3] = {0, 0, 0};
  bool found = false;
  for (char *line = release; line != nullptr && *line != 0;) {
    char *next = strchr(line, '\n');
    if (next != nullptr)
      *next++ = 0;
    if (strncmp(line, "VERSION_ID=", 11) == 0) {
      const char *p = line + 11;
      if (*p == '"' || *p == '\'')
        ++p;
      for (int i = 0; i < 3 && *p >= '0' && *p <= '9'; ++i) {
        parts[i] = atoi(p);
        while (*p >= '0' && *p <= '9')
          ++p;
        if (*p != '.')
          break;
        ++p;
      }
      found = true;
    }
    line = next;
  }
  free(release);
  if (!found)
    return nullptr;
  char text[64];
  snprintf(text, sizeof(text), "%d.%d.%d", parts[0], parts[1], parts[2]);
  return strdup(text);
}

// Physical cores: distinct (package, core) pairs; the logical count when they are not told.
uint32_t physicalCores(uint32_t logical) {
  char *info = vucrash_read_small_file("/proc/cpuinfo");
  if (info == nullptr)
    return logical;
  uint32_t pairs[1024];
  size_t count = 0;
  int package = -1;
  for (char *line = info; line != nullptr && *line != 0;) {
    char *next = strchr(line, '\n');
    if (next != nullptr)
      *next++ = 0;
    int value;
    if (sscanf(line, "physical id : %d", &value) == 1) {
      package = value;
    } else if (sscanf(line, "core id : %d", &value) == 1 && package >= 0) {
      const uint32_t pair = (static_cast<uint32_t>(package) << 16) | (value & 0xFFFF);
      bool seen = false;
      for (size_t i = 0; i < count && !seen; ++i)
        seen = pairs[i] == pair;
      if (!seen && count < 1024)
        pairs[count++] = pair;
    }
    line = next;
  }
  free(info);
  return count > 0 ? static_cast<uint32_t>(count) : logical;
}

// Cuts text to at most max bytes without splitting a character.
char *copyCapped(const char *text, size_t max) {
  if (text == nullptr)
    return nullptr;
  size_t length = strlen(text);
  if (length > max)
    length = vucrash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const uint8_t *>(text), max);
  return strndup(text, length);
}

}  // namespace

vucrash_error_t vucrash_log_writer_init(vucrash_log_writer_t *writer, const char *app_identifier,
                                        const char *app_version,
                                        const char *app_marketing_version,
                                        uint32_t symbolication_strategy, bool user_requested) {
  memset(writer, 0, sizeof(*writer));
  writer->symbolication_strategy = symbolication_strategy;
  if (symbolication_strategy != 0) {
    void *memo = mmap(nullptr, sizeof(vucrash_frame_symbol_memo_t), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memo != MAP_FAILED)
      writer->symbol_memo = static_cast<vucrash_frame_symbol_memo_t *>(memo);
    else
      VUCR_LOG("Could not reserve the frame symbol table; reports will carry no symbols");
  }
  writer->user_requested = user_requested;
  makeUuid(writer->uuid);

  writer->application_info.app_identifier = copyOrNull(app_identifier);
  writer->application_info.app_version = copyOrNull(app_version);
  writer->application_info.app_marketing_version = copyOrNull(app_marketing_version);

  VUCrashProcessInfo process;
  if (!VUCrashProcessInfo::currentProcessInfo(&process)) {
    VUCR_LOG("Could not retreive process info for target");
    return VUCRASH_ERR_INVAL;
  }
  writer->process_info.process_id = static_cast<uint32_t>(process.processID());
  writer->process_info.process_name = copyOrNull(process.processName());
  writer->process_info.start_time = static_cast<uint64_t>(process.startTime().tv_sec);
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n > 0) {
    path[n] = 0;
    writer->process_info.process_path = strdup(path);
  }

  writer->process_info.parent_process_id = static_cast<uint32_t>(process.parentProcessID());
  VUCrashProcessInfo parent;
  if (parent.initWithProcessID(process.parentProcessID()))
    writer->process_info.parent_process_name = copyOrNull(parent.processName());
  else
    VUCR_LOG("Could not retreive parent process name: %s", strerror(errno));

  // Nothing translates processes here: every process runs natively.
  writer->process_info.native = true;

  writer->machine_info.model = vucrash_read_small_file("/sys/class/dmi/id/product_name");
  if (writer->machine_info.model == nullptr)
    VUCR_LOG("Could not retrive hw.model: %s", strerror(errno));
#if defined(__x86_64__)
  writer->machine_info.cpu_type = VUCRASH_CPU_TYPE_X86_64;
  writer->machine_info.cpu_subtype = VUCRASH_CPU_SUBTYPE_X86_64_ALL;
#elif defined(__aarch64__)
  writer->machine_info.cpu_type = VUCRASH_CPU_TYPE_ARM64;
  writer->machine_info.cpu_subtype = VUCRASH_CPU_SUBTYPE_ARM64_ALL;
#endif
  long logical = sysconf(_SC_NPROCESSORS_CONF);
  writer->machine_info.logical_processor_count = logical > 0 ? static_cast<uint32_t>(logical) : 0;
  writer->machine_info.processor_count =
      physicalCores(writer->machine_info.logical_processor_count);

  struct utsname names;
  if (uname(&names) == 0)
    writer->system_info.build = strdup(names.release);
  else
    VUCR_LOG("Could not retrive kern.osversion: %s", strerror(errno));

  writer->system_info.version = osVersion();
  if (writer->system_info.version == nullptr) {
    VUCR_LOG("Could not retreive system major version");
    return VUCRASH_ERR_INTERNAL;
  }
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  return VUCRASH_ERR_NONE;
}

void vucrash_log_writer_set_exception(vucrash_log_writer_t *writer, const char *name,
                                      const char *reason, const uint64_t *return_addresses,
                                      size_t count) {
  if (writer->uncaught_exception.has_exception) {
    VUCR_LOG("Assertion failed: writer->uncaught_exception.has_exception == false");
    return;
  }
  writer->uncaught_exception.name = copyCapped(name, VUCRASH_EXCEPTION_TEXT_MAX);
  writer->uncaught_exception.reason = copyCapped(reason, VUCRASH_EXCEPTION_TEXT_MAX);
  if (return_addresses != nullptr && count > 0) {
    writer->uncaught_exception.callstack =
        static_cast<uint64_t *>(malloc(count * sizeof(uint64_t)));
    if (writer->uncaught_exception.callstack != nullptr) {
      memcpy(writer->uncaught_exception.callstack, return_addresses, count * sizeof(uint64_t));
      writer->uncaught_exception.callstack_count = count;
    }
  }
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  writer->uncaught_exception.has_exception = true;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
}

vucrash_error_t vucrash_log_writer_close(vucrash_log_writer_t *) {
  return VUCRASH_ERR_NONE;
}

void vucrash_log_writer_free(vucrash_log_writer_t *writer) {
  if (writer->symbol_memo != nullptr)
    munmap(writer->symbol_memo, sizeof(vucrash_frame_symbol_memo_t));
  free(writer->system_info.version);
  free(writer->system_info.build);
  free(writer->machine_info.model);
  free(writer->application_info.app_identifier);
  free(writer->application_info.app_version);
  free(writer->application_info.app_marketing_version);
  free(writer->process_info.process_name);
  free(writer->process_info.process_path);
  free(writer->process_info.parent_process_name);
  if (writer->uncaught_exception.has_exception) {
    free(writer->uncaught_exception.name);
    free(writer->uncaught_exception.reason);
    free(writer->uncaught_exception.callstack);
  }
  memset(writer, 0, sizeof(*writer));
}
