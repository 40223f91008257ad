// The crash reporter's set-up, pending-report access and live reports. Not for crash time.
#include "VUCrashReporter.h"

#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncLog.h"
#include "VUCrashHostInfo.h"
#include "VUCrashReportFormat.h"
#include "VUCrashReporterContext.h"
#include "VUCrashThreadParking.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <pthread.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef VUCRASH_APPLICATION_IDENTIFIER
#define VUCRASH_APPLICATION_IDENTIFIER "org.quillon.Quillon"
#endif
#ifndef VUCRASH_APPLICATION_VERSION
#define VUCRASH_APPLICATION_VERSION ""
#endif
#ifndef VUCRASH_APPLICATION_MARKETING_VERSION
#define VUCRASH_APPLICATION_MARKETING_VERSION nullptr
#endif

namespace {

pthread_mutex_t enableMutex = PTHREAD_MUTEX_INITIALIZER;
bool enforceOne = false;
pthread_once_t imageListOnce = PTHREAD_ONCE_INIT;
uint32_t exception_is_handled = 0;
VUCrashUncaughtExceptionHandler gUncaughtExceptionHandler = nullptr;

struct MutexGuard {
  explicit MutexGuard(pthread_mutex_t *m) : mutex(m) { pthread_mutex_lock(mutex); }
  ~MutexGuard() { pthread_mutex_unlock(mutex); }
  pthread_mutex_t *mutex;
};

char *joinPath(const char *a, const char *b) {
  size_t length = strlen(a) + 1 + strlen(b) + 1;
  char *path = static_cast<char *>(malloc(length));
  if (path != nullptr)
    snprintf(path, length, "%s/%s", a, b);
  return path;
}

// The cache home of the XDG rules: $XDG_CACHE_HOME when absolute, else ~/.cache.
char *cacheHome() {
  const char *xdg = getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/')
    return strdup(xdg);
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] == 0) {
    struct passwd *entry = getpwuid(getuid());
    home = entry != nullptr ? entry->pw_dir : "/tmp";
  }
  return joinPath(home, ".cache");
}

bool makeDirectories(const char *path, VUCrashReporterError *error) {
  char *copy = strdup(path);
  if (copy == nullptr) {
    vucrash_populate_posix_error(error, ENOMEM, "Failed to create the crash report directory");
    return false;
  }
  for (char *p = copy + 1;; ++p) {
    const bool end = *p == 0;
    if (*p == '/' || end) {
      *p = 0;
      if (mkdir(copy, 0755) != 0 && errno != EEXIST) {
        vucrash_populate_posix_error(error, errno, "Failed to create the crash report directory");
        free(copy);
        return false;
      }
      if (end)
        break;
      *p = '/';
    }
  }
  free(copy);
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISDIR(info.st_mode)) {
    vucrash_populate_posix_error(error, ENOTDIR, "Failed to create the crash report directory");
    return false;
  }
  return true;
}

// Reads a regular file whole; false with errno for anything else (a pipe, a folder).
bool readWholeFile(const char *path, VUCrashReportData *out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0)
    return false;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return false;
  }
  size_t length = static_cast<size_t>(info.st_size);
  uint8_t *bytes = static_cast<uint8_t *>(malloc(length > 0 ? length : 1));
  if (bytes == nullptr) {
    close(fd);
    errno = ENOMEM;
    return false;
  }
  size_t got = 0;
  while (got < length) {
    ssize_t n = read(fd, bytes + got, length - got);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += static_cast<size_t>(n);
  }
  close(fd);
  out->bytes = bytes;
  out->length = got;
  return true;
}

constexpr uint32_t kReservedCrashTimeImages = 64;

void initialiseImageList() {
  vucrash_nasync_image_list_init(&shared_image_list, vu_task_self());
}

// Loaded images are listed at enable time and before a live report; the loader of this
// system tells nobody about later loads, so records are also reserved for the libraries the
// writer finds in the loader's map at crash time.
void refreshImages() {
  pthread_once(&imageListOnce, initialiseImageList);
  if (shared_image_list.list != nullptr) {
    vucrash_nasync_image_list_refresh(&shared_image_list);
    vucrash_nasync_image_list_reserve(&shared_image_list, kReservedCrashTimeImages);
  }
}

struct LiveReport {
  vucrash_log_writer_t *writer;
  vucrash_async_file_t *file;
  const vucrash_log_writer_signal_info_t *siginfo;
};

vucrash_error_t vucr_live_report_callback(vucrash_async_thread_state_t *state, void *context) {
  LiveReport *live = static_cast<LiveReport *>(context);
  return vucrash_log_writer_write(live->writer, vu_mach_thread_self(), &shared_image_list,
                                  live->file, live->siginfo, state);
}

}  // namespace

void VUCrashSetUncaughtExceptionHandler(VUCrashUncaughtExceptionHandler handler) {
  __atomic_store_n(&gUncaughtExceptionHandler, handler, __ATOMIC_SEQ_CST);
}

VUCrashUncaughtExceptionHandler VUCrashGetUncaughtExceptionHandler(void) {
  return __atomic_load_n(&gUncaughtExceptionHandler, __ATOMIC_SEQ_CST);
}

void uncaught_exception_handler(const char *name, const char *reason,
                                const uint64_t *return_addresses, size_t count) {
  uint32_t expected = 0;
  if (!__atomic_compare_exchange_n(&exception_is_handled, &expected, 1, false, __ATOMIC_SEQ_CST,
                                   __ATOMIC_SEQ_CST))
    return;
  vucrash_log_writer_set_exception(&signal_handler_context.writer, name != nullptr ? name : "",
                                   reason != nullptr ? reason : "", return_addresses, count);
  abort();
}

VUCrashReporter::VUCrashReporter(const char *applicationIdentifier,
                                 const char *applicationVersion,
                                 const char *applicationMarketingVersion,
                                 const VUCrashReporterConfig &config)
    : _config(config) {
  if (applicationIdentifier != nullptr && applicationIdentifier[0] != 0) {
    _applicationIdentifier = strdup(applicationIdentifier);
  } else if (program_invocation_short_name != nullptr && program_invocation_short_name[0] != 0) {
    VUCR_LOG("[VUCrashReporter] Warning -- bundle identifier, using process name %s",
             program_invocation_short_name);
    _applicationIdentifier = strdup(program_invocation_short_name);
  }
  if (applicationVersion == nullptr)
    VUCR_LOG("[VUCrashReporter] Warning -- bundle version unavailable");
  _applicationVersion = strdup(applicationVersion != nullptr ? applicationVersion : "");
  if (applicationMarketingVersion != nullptr)
    _applicationMarketingVersion = strdup(applicationMarketingVersion);

  // The identifier names a folder: a "/" in it must not make a path of it.
  char *folder = strdup(_applicationIdentifier != nullptr ? _applicationIdentifier : "");
  if (folder != nullptr)
    for (char *p = folder; *p != 0; ++p)
      if (*p == '/')
        *p = '_';
  char *cache = cacheHome();
  char *data = cache != nullptr ? joinPath(cache, VUCRASH_REPORTER_DATA_DIRECTORY) : nullptr;
  if (data != nullptr && folder != nullptr) {
    _crashReportDirectory = joinPath(data, folder);
    if (_crashReportDirectory != nullptr) {
      _queuedCrashReportDirectory =
          joinPath(_crashReportDirectory, VUCRASH_QUEUED_REPORTS_DIRECTORY);
      _crashReportPath = joinPath(_crashReportDirectory, VUCRASH_LIVE_REPORT_FILE_NAME);
    }
  }
  free(data);
  free(cache);
  free(folder);
}

VUCrashReporter::~VUCrashReporter() {
  // An enabled reporter's handlers read the process-wide context, not this object; the
  // strings here are ours alone.
  free(_applicationIdentifier);
  free(_applicationVersion);
  free(_applicationMarketingVersion);
  free(_crashReportDirectory);
  free(_queuedCrashReportDirectory);
  free(_crashReportPath);
}

VUCrashReporter *VUCrashReporter::sharedReporter() {
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  static VUCrashReporter *shared = nullptr;
  alignas(VUCrashReporter) static unsigned char storage[sizeof(VUCrashReporter)];
  pthread_once(&once, [] {
    shared = new (storage) VUCrashReporter(VUCRASH_APPLICATION_IDENTIFIER,
                                           VUCRASH_APPLICATION_VERSION,
                                           VUCRASH_APPLICATION_MARKETING_VERSION);
  });
  return shared;
}

bool VUCrashReporter::hasPendingCrashReport() const {
  return _crashReportPath != nullptr && access(_crashReportPath, F_OK) == 0;
}

bool VUCrashReporter::loadPendingCrashReportData(VUCrashReportData *out,
                                                 VUCrashReporterError *error) const {
  if (_crashReportPath == nullptr || !readWholeFile(_crashReportPath, out)) {
    vucrash_populate_posix_error(error, _crashReportPath == nullptr ? ENOENT : errno,
                                 "Failed to read the pending crash report");
    return false;
  }
  return true;
}

bool VUCrashReporter::purgePendingCrashReport(VUCrashReporterError *error) const {
  if (_crashReportPath == nullptr || unlink(_crashReportPath) != 0) {
    vucrash_populate_posix_error(error, _crashReportPath == nullptr ? ENOENT : errno,
                                 "Failed to remove the pending crash report");
    return false;
  }
  return true;
}

bool VUCrashReporter::populateCrashReportDirectory(VUCrashReporterError *error) const {
  if (_crashReportDirectory == nullptr || _queuedCrashReportDirectory == nullptr) {
    vucrash_populate_error(error, VUCrashReporterErrorUnknown,
                           "Can not determine process identifier or process name");
    return false;
  }
  return makeDirectories(_crashReportDirectory, error) &&
         makeDirectories(_queuedCrashReportDirectory, error);
}

bool VUCrashReporter::setCrashCallbacks(const VUCrashReporterCallbacks *callbacks) {
  if (_enabled) {
    VUCR_LOG("The crash reporter has alread been enabled");
    return false;
  }
  if (callbacks == nullptr || callbacks->version != 0)
    return false;
  crashCallbackContext = callbacks->context;
  crashCallback = callbacks->handleSignal;
  return true;
}

bool VUCrashReporter::enableMachExceptionServer(VUCrashReporterError *error) {
  // The mask the server answers for; guard exceptions join on kernels that raise them. Kept
  // for its decisions on forwarding; this system's kernel raises signals.
  VUCrashHostInfo host;
  uint32_t mask = 0x6E;
  if (VUCrashHostInfo::currentHostInfo(&host) && host.darwinVersion().major >= 13)
    mask = 0x106E;
  (void)mask;

  VUCrashReporterError inner = {};
  VUCrashMachExceptionServer *server =
      VUCrashMachExceptionServer::create(mach_exception_callback, &signal_handler_context, &inner);
  if (server == nullptr) {
    vucrash_populate_error(error, VUCrashReporterErrorOperatingSystem,
                           "Failed to instantiate the Mach exception server.");
    if (error != nullptr) {
      error->underlyingDomain = inner.underlyingDomain;
      error->underlyingCode = inner.underlyingCode;
    }
    return false;
  }
  _machServer = server;
  signal_handler_context.server = server;
  // Nothing was registered before us on this system.
  memset(&signal_handler_context.port_set, 0, sizeof(signal_handler_context.port_set));

  VUCrashSignalHandler *handler = VUCrashSignalHandler::sharedHandler();
  for (size_t i = 0; i < monitored_signals_count; ++i) {
    if (monitored_signals[i] == SIGABRT)
      continue;
    if (!handler->registerHandlerForSignal(monitored_signals[i], mach_fault_signal_callback,
                                           &signal_handler_context, error))
      return false;
  }
  return true;
}

bool VUCrashReporter::enableCrashReporter(VUCrashReporterError *error) {
  {
    MutexGuard guard(&enableMutex);
    if (enforceOne) {
      vucrash_populate_error(error, VUCrashReporterErrorResourceBusy,
                             "A VUCrashReporter instance has already been enabled");
      return false;
    }
    enforceOne = true;
  }

  if (!populateCrashReportDirectory(error))
    return false;

  signal_handler_context.path = strdup(_crashReportPath);
  size_t partialLength = strlen(_crashReportPath) + sizeof(".partial");
  signal_handler_context.partial_path = static_cast<char *>(malloc(partialLength));
  if (signal_handler_context.path == nullptr || signal_handler_context.partial_path == nullptr) {
    vucrash_populate_posix_error(error, ENOMEM, "Failed to prepare the crash report path");
    return false;
  }
  snprintf(signal_handler_context.partial_path, partialLength, "%s.partial", _crashReportPath);
  // A side file left by a process killed while writing is of no use.
  unlink(signal_handler_context.partial_path);

  vucrash_log_writer_init(&signal_handler_context.writer, _applicationIdentifier,
                          _applicationVersion, _applicationMarketingVersion,
                          static_cast<uint32_t>(
                              mapToAsyncSymbolicationStrategy(_config.symbolicationStrategy())),
                          false);
  refreshImages();
  vucrash_error_t parking = vucrash_nasync_thread_parking_init();
  if (parking != VUCRASH_ERR_NONE)
    VUCR_LOG("Other threads will be reported without registers: %s",
             vucrash_async_strerror(parking));

  VUCrashSignalHandler *handler = VUCrashSignalHandler::sharedHandler();
  switch (_config.signalHandlerType()) {
    case VUCrashReporterConfig::VUCrashReporterSignalHandlerTypeMach:
      if (!handler->registerHandlerForSignal(SIGABRT, signal_handler_callback,
                                             &signal_handler_context, error))
        return false;
      if (!enableMachExceptionServer(error))
        return false;
      break;
    case VUCrashReporterConfig::VUCrashReporterSignalHandlerTypeBSD:
      for (size_t i = 0; i < monitored_signals_count; ++i) {
        if (!handler->registerHandlerForSignal(monitored_signals[i], signal_handler_callback,
                                               &signal_handler_context, error))
          return false;
      }
      break;
    default:
      break;
  }

  if (_config.shouldRegisterUncaughtExceptionHandler())
    VUCrashSetUncaughtExceptionHandler(uncaught_exception_handler);
  _enabled = true;
  return true;
}

bool VUCrashReporter::generateLiveReportWithThread(pid_t thread, VUCrashReportData *out,
                                                   VUCrashReporterError *error) {
  const char *tmp = getenv("TMPDIR");
  if (tmp == nullptr || tmp[0] != '/')
    tmp = "/tmp";
  char *path = joinPath(tmp, VUCRASH_LIVE_REPORT_TEMPLATE);
  int fd = path != nullptr ? mkstemp(path) : -1;
  if (fd < 0) {
    vucrash_populate_posix_error(error, path != nullptr ? errno : ENOMEM,
                                 "Failed to create temporary path");
    free(path);
    return false;
  }
  refreshImages();
  vucrash_nasync_thread_parking_init();

  vucrash_log_writer_t writer;
  vucrash_log_writer_init(&writer, _applicationIdentifier, _applicationVersion,
                          _applicationMarketingVersion,
                          static_cast<uint32_t>(
                              mapToAsyncSymbolicationStrategy(_config.symbolicationStrategy())),
                          true);
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, fd, VUCRASH_REPORT_MAX_SIZE);
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = 5;  // SIGTRAP
  siginfo.bsd_info.code = 2;   // TRAP_TRACE
  siginfo.bsd_info.address = 0;

  vucrash_error_t err;
  if (thread == 0 || thread == vu_mach_thread_self()) {
    LiveReport live = {&writer, &file, &siginfo};
    err = vucrash_async_thread_state_current(vucr_live_report_callback, &live);
  } else {
    err = vucrash_log_writer_write(&writer, thread, &shared_image_list, &file, &siginfo, nullptr);
  }
  vucrash_log_writer_close(&writer);
  bool closed = vucrash_async_file_close(&file);
  if (!closed)
    close(fd);

  bool ok = false;
  if (err != VUCRASH_ERR_NONE || !closed) {
    VUCR_LOG("Write failed with error %s", vucrash_async_strerror(err));
    vucrash_populate_error(error, VUCrashReporterErrorUnknown,
                           "Failed to write the crash report to disk");
  } else if (!readWholeFile(path, out)) {
    vucrash_populate_error(error, VUCrashReporterErrorUnknown,
                           "Unable to open live crash report for reading");
  } else {
    ok = true;
  }
  vucrash_log_writer_free(&writer);
  if (unlink(path) != 0)
    VUCR_LOG("Failure occured deleting live crash report: %s", strerror(errno));
  free(path);
  return ok;
}
