// This program's own malloc, calloc, realloc, free and pthread_mutex_lock: they pass every
// call on to the C library until the guard is armed.
#include "AllocationGuard.h"

#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {
volatile bool gArmed = false;

void trap() {
  static const char message[] = "allocation or lock at crash time\n";
  (void)!write(2, message, sizeof(message) - 1);
  _exit(kAllocationGuardExit);
}
}  // namespace

void armAllocationGuard() {
  gArmed = true;
}

extern "C" void *malloc(size_t size) {
  if (gArmed)
    trap();
  return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size) {
  if (gArmed)
    trap();
  return __libc_calloc(count, size);
}

extern "C" void *realloc(void *pointer, size_t size) {
  if (gArmed)
    trap();
  return __libc_realloc(pointer, size);
}

extern "C" void free(void *pointer) {
  if (gArmed)
    trap();
  __libc_free(pointer);
}

extern "C" int pthread_mutex_lock(pthread_mutex_t *mutex) {
  if (gArmed)
    trap();
  using Lock = int (*)(pthread_mutex_t *);
  static Lock real = reinterpret_cast<Lock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
  return real(mutex);
}
