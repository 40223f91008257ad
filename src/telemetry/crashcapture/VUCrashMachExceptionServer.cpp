// The server's set-up and stop run at ordinary times. deliver() is crash-time code (no heap,
// no locks, no stdio), and so is the request loop while it answers a fault.
#include "VUCrashMachExceptionServer.h"

#include "VUCrashAsyncLog.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr uint32_t kRequestMagic = 0x76756578;  // "vuex"
constexpr uint32_t kStopMagic = 0xdeadbeef;
// How long a faulting thread waits for the server's answer.
constexpr int kAnswerBoundMs = 30000;

struct Request {
  uint32_t magic;
  uint32_t size;
  vucrash_thread_t thread;
  uint32_t code_count;
  uint64_t type;
  uint64_t codes[2];
  const siginfo_t *info;
  ucontext_t *uap;
  uint32_t *reply_state;
  vucrash_kern_return_t *reply_answer;
};
static_assert(sizeof(Request) <= PIPE_BUF, "requests must reach the pipe in one piece");

int64_t nowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

VUCrashMachExceptionServer *VUCrashMachExceptionServer::create(
    VUCrashMachExceptionCallback callback, void *context, VUCrashReporterError *error) {
  void *memory = calloc(1, sizeof(VUCrashMachExceptionServer));
  if (memory == nullptr) {
    vucrash_populate_posix_error(error, ENOMEM, "Failed to instantiate the Mach exception server.");
    return nullptr;
  }
  VUCrashMachExceptionServer *server = new (memory) VUCrashMachExceptionServer();
  server->_callback = callback;
  server->_context = context;

  int rc = pthread_mutex_init(&server->_mutex, nullptr);
  if (rc != 0) {
    vucrash_populate_posix_error(error, rc, "Mutex initialization failed");
    free(memory);
    return nullptr;
  }
  rc = pthread_cond_init(&server->_condition, nullptr);
  if (rc != 0) {
    vucrash_populate_posix_error(error, rc, "Condition initialization failed");
    pthread_mutex_destroy(&server->_mutex);
    free(memory);
    return nullptr;
  }
  // Packet mode: each request is read as the one message it was written as, so a malformed
  // write can never run into the next request.
  if (pipe2(server->_requestPipe, O_CLOEXEC | O_DIRECT) != 0) {
    vucrash_populate_posix_error(error, errno, "Failed to allocate exception server's port");
    destroy(server);
    return nullptr;
  }

  pthread_attr_t attr;
  rc = pthread_attr_init(&attr);
  if (rc != 0) {
    vucrash_populate_posix_error(error, rc, "Failed to initialize pthread_attr");
    destroy(server);
    return nullptr;
  }
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  rc = pthread_create(&thread, &attr, serverMain, server);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    vucrash_populate_posix_error(error, rc, "Failed to create exception server thread");
    destroy(server);
    return nullptr;
  }
  // The thread's id is known once it runs; faults are told apart by it.
  pthread_mutex_lock(&server->_mutex);
  server->_threadStarted = true;
  while (__atomic_load_n(&server->_serverThread, __ATOMIC_ACQUIRE) == 0)
    pthread_cond_wait(&server->_condition, &server->_mutex);
  pthread_mutex_unlock(&server->_mutex);
  return server;
}

void VUCrashMachExceptionServer::destroy(VUCrashMachExceptionServer *server) {
  if (server == nullptr)
    return;
  if (server->_threadStarted) {
    uint32_t expected = 0;
    __atomic_compare_exchange_n(&server->_stop, &expected, 1, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    Request stop = {};
    stop.magic = kStopMagic;
    stop.size = sizeof(stop);
    if (vucrash_async_writen(server->_requestPipe[1], &stop, sizeof(stop)) < 0) {
      VUCR_LOG("Unexpected error sending termination message to background thread: %d", errno);
      return;
    }
    pthread_mutex_lock(&server->_mutex);
    while (!server->_stopped)
      pthread_cond_wait(&server->_condition, &server->_mutex);
    pthread_mutex_unlock(&server->_mutex);
  }
  for (int fd : server->_requestPipe)
    if (fd >= 0)
      close(fd);
  pthread_cond_destroy(&server->_condition);
  pthread_mutex_destroy(&server->_mutex);
  server->~VUCrashMachExceptionServer();
  free(server);
}

vucrash_thread_t VUCrashMachExceptionServer::serverThread() {
  return __atomic_load_n(&_serverThread, __ATOMIC_ACQUIRE);
}

int VUCrashMachExceptionServer::requestDescriptorForTesting() const {
  return _requestPipe[1];
}

void *VUCrashMachExceptionServer::serverMain(void *self) {
  auto *server = static_cast<VUCrashMachExceptionServer *>(self);
  pthread_mutex_lock(&server->_mutex);
  __atomic_store_n(&server->_serverThread, vu_mach_thread_self(), __ATOMIC_RELEASE);
  pthread_cond_broadcast(&server->_condition);
  pthread_mutex_unlock(&server->_mutex);
  server->serve();
  return nullptr;
}

void VUCrashMachExceptionServer::serve() {
  for (;;) {
    Request request;
    ssize_t n = read(_requestPipe[0], &request, sizeof(request));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      VUCR_LOG("Unexpected error in mach_msg(): 0x%x", n < 0 ? errno : 0);
      return;
    }
    if (static_cast<size_t>(n) == sizeof(request) && request.magic == kStopMagic &&
        __atomic_load_n(&_stop, __ATOMIC_SEQ_CST) != 0) {
      pthread_mutex_lock(&_mutex);
      _stopped = true;
      pthread_cond_broadcast(&_condition);
      pthread_mutex_unlock(&_mutex);
      return;
    }
    // Only whole requests of our own form are answered; anything else makes no report.
    if (static_cast<size_t>(n) != sizeof(request) || request.magic != kRequestMagic ||
        request.size != sizeof(request) || request.code_count > 2 ||
        request.reply_state == nullptr || request.reply_answer == nullptr) {
      VUCR_LOG("Unexpected message size of %llu", static_cast<unsigned long long>(n));
      continue;
    }
    const vucrash_kern_return_t answer =
        _callback(vu_task_self(), request.thread, request.type, request.codes, request.code_count,
                  request.info, request.uap, _context);
    *request.reply_answer = answer;
    __atomic_store_n(request.reply_state, 1, __ATOMIC_RELEASE);
    syscall(SYS_futex, request.reply_state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
  }
}

bool VUCrashMachExceptionServer::deliver(vucrash_thread_t thread, uint64_t exception_type,
                                         const uint64_t *codes, uint32_t code_count,
                                         const siginfo_t *info, ucontext_t *uap,
                                         vucrash_kern_return_t *answer) {
  // The server cannot wait for itself.
  if (vu_mach_thread_self() == serverThread() || _requestPipe[1] < 0 ||
      __atomic_load_n(&_stop, __ATOMIC_SEQ_CST) != 0)
    return false;
  uint32_t state = 0;
  vucrash_kern_return_t reply = VUCRASH_KERN_FAILURE;
  Request request;
  vucrash_async_memset(&request, 0, sizeof(request));
  request.magic = kRequestMagic;
  request.size = sizeof(request);
  request.thread = thread;
  request.type = exception_type;
  request.code_count = code_count < 2 ? code_count : 2;
  for (uint32_t i = 0; i < request.code_count; ++i)
    request.codes[i] = codes[i];
  request.info = info;
  request.uap = uap;
  request.reply_state = &state;
  request.reply_answer = &reply;
  if (vucrash_async_writen(_requestPipe[1], &request, sizeof(request)) < 0)
    return false;
  const int64_t giveUp = nowMs() + kAnswerBoundMs;
  while (__atomic_load_n(&state, __ATOMIC_ACQUIRE) == 0) {
    const int64_t left = giveUp - nowMs();
    if (left <= 0)
      return false;
    struct timespec timeout = {0, (left > 100 ? 100 : left) * 1000000L};
    syscall(SYS_futex, &state, FUTEX_WAIT_PRIVATE, 0, &timeout, nullptr, 0);
  }
  *answer = reply;
  return true;
}
