// Not crash-time code: a helper for tests of walks over other threads.
#include "VUCrashFrameCursor.h"

namespace {

void *waitUntilStopped(void *arg) {
  auto *args = static_cast<vuframe_test_thread_t *>(arg);
  pthread_mutex_lock(&args->lock);
  pthread_cond_signal(&args->cond);
  pthread_cond_wait(&args->cond, &args->lock);
  pthread_mutex_unlock(&args->lock);
  return nullptr;
}

}  // namespace

void vuframe_test_thread_spawn(vuframe_test_thread_t *args) {
  pthread_mutex_init(&args->lock, nullptr);
  pthread_cond_init(&args->cond, nullptr);
  pthread_mutex_lock(&args->lock);
  pthread_create(&args->thread, nullptr, waitUntilStopped, args);
  // The thread signals once it holds the lock; waiting here releases the lock to it, and it
  // gives it back only by waiting on the condition itself.
  pthread_cond_wait(&args->cond, &args->lock);
  pthread_mutex_unlock(&args->lock);
}

void vuframe_test_thread_stop(vuframe_test_thread_t *args) {
  pthread_mutex_lock(&args->lock);
  pthread_cond_signal(&args->cond);
  pthread_mutex_unlock(&args->lock);
  pthread_join(args->thread, nullptr);
  pthread_cond_destroy(&args->cond);
  pthread_mutex_destroy(&args->lock);
}
