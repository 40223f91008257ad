// Every thread gets its own alternate signal stack, so that a thread that overflows its
// stack can still run the crash handler. Threads started before the reporter was enabled
// (other than the one that enabled it) go without. Not for crash time.
//
// This file defines pthread_create: a program that links the crash engine starts every
// thread through the wrapper below, which hands over to the C library's own.
#include "VUCrashSignalHandler.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>

namespace {

typedef int (*CreateFunc)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

bool gEnabled = false;
pthread_once_t gKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t gStackKey;

void releaseStack(void *stack) {
  stack_t off = {};
  off.ss_flags = SS_DISABLE;
  sigaltstack(&off, nullptr);
  munmap(stack, VUCrashSignalHandler::kAlternateStackSize);
}

void makeKey() {
  pthread_key_create(&gStackKey, releaseStack);
}

CreateFunc gRealCreate = nullptr;

CreateFunc realCreate() {
  CreateFunc real = __atomic_load_n(&gRealCreate, __ATOMIC_ACQUIRE);
  if (real == nullptr) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // A sanitizer's own pthread_create comes next and must see every thread start; the
    // versioned lookup below would skip it for the C library's and leave the new thread
    // unknown to the sanitizer (which then crashes in it).
    void *symbol = dlsym(RTLD_NEXT, "pthread_create");
#else
    void *symbol = dlvsym(RTLD_NEXT, "pthread_create", "GLIBC_2.34");
    if (symbol == nullptr)
      symbol = dlsym(RTLD_NEXT, "pthread_create");
#endif
    real = reinterpret_cast<CreateFunc>(symbol);
    __atomic_store_n(&gRealCreate, real, __ATOMIC_RELEASE);
  }
  return real;
}

struct StartRecord {
  void *(*start)(void *);
  void *arg;
};

void *startWithStack(void *record) {
  StartRecord start = *static_cast<StartRecord *>(record);
  free(record);
  vucrash_thread_install_alternate_stack();
  return start.start(start.arg);
}

}  // namespace

void vucrash_thread_stacks_enable(void) {
  pthread_once(&gKeyOnce, makeKey);
  __atomic_store_n(&gEnabled, true, __ATOMIC_RELEASE);
}

bool vucrash_thread_install_alternate_stack(void) {
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0)
    return true;
  void *stack = mmap(nullptr, VUCrashSignalHandler::kAlternateStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (stack == MAP_FAILED)
    return false;
  stack_t mine = {};
  mine.ss_sp = stack;
  mine.ss_size = VUCrashSignalHandler::kAlternateStackSize;
  if (sigaltstack(&mine, nullptr) != 0) {
    munmap(stack, VUCrashSignalHandler::kAlternateStackSize);
    return false;
  }
  pthread_setspecific(gStackKey, stack);
  return true;
}

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                              void *(*start)(void *), void *arg) {
  CreateFunc real = realCreate();
  if (real == nullptr)
    return EAGAIN;
  if (!__atomic_load_n(&gEnabled, __ATOMIC_ACQUIRE))
    return real(thread, attr, start, arg);
  StartRecord *record = static_cast<StartRecord *>(malloc(sizeof(StartRecord)));
  if (record == nullptr)
    return real(thread, attr, start, arg);
  *record = {start, arg};
  int rc = real(thread, attr, startWithStack, record);
  if (rc != 0)
    free(record);
  return rc;
}
