#include "UnwindFixture.h"

#include <signal.h>
#include <stdlib.h>

namespace {
vucrash_async_thread_state_current_callback sortCallback;
void *sortContext;
volatile int sink;
}  // namespace

extern "C" {

__attribute__((noinline)) int unwind_fixture_c(vucrash_async_thread_state_current_callback callback,
                                               void *context) {
  volatile int locals[12];
  for (int i = 0; i < 12; ++i)
    locals[i] = i;
  const int r = vucrash_async_thread_state_current(callback, context);
  return r + locals[3];
}

__attribute__((noinline)) int unwind_fixture_b(vucrash_async_thread_state_current_callback callback,
                                               void *context) {
  volatile long locals[7];
  locals[0] = 1;
  const int r = unwind_fixture_c(callback, context);
  return r + static_cast<int>(locals[0]);
}

__attribute__((noinline)) int unwind_fixture_a(vucrash_async_thread_state_current_callback callback,
                                               void *context) {
  volatile char locals[40];
  locals[0] = 2;
  const int r = unwind_fixture_b(callback, context);
  return r + locals[0];
}

static int compare(const void *l, const void *r) {
  if (sortCallback != nullptr) {
    vucrash_async_thread_state_current(sortCallback, sortContext);
    sortCallback = nullptr;
  }
  return *static_cast<const int *>(l) - *static_cast<const int *>(r);
}

__attribute__((noinline)) int unwind_fixture_sort(vucrash_async_thread_state_current_callback callback,
                                                  void *context) {
  sortCallback = callback;
  sortContext = context;
  int values[] = {5, 3, 9, 1, 7, 2};
  qsort(values, 6, sizeof(int), compare);
  return values[0] + values[5];
}

static int recurseDepth;

static int compareAndRecurse(const void *l, const void *r) {
  if (recurseDepth > 0) {
    const int depth = recurseDepth;
    recurseDepth = 0;
    unwind_fixture_recurse(depth - 1, sortCallback, sortContext);
  }
  return *static_cast<const int *>(l) - *static_cast<const int *>(r);
}

__attribute__((noinline)) int unwind_fixture_recurse(int depth, vucrash_async_thread_state_current_callback callback,
                                                     void *context) {
  if (depth == 0)
    return vucrash_async_thread_state_current(callback, context);
  sortCallback = callback;
  sortContext = context;
  recurseDepth = depth;
  int values[] = {2, 1};
  qsort(values, 2, sizeof(int), compareAndRecurse);
  return values[0];
}

__attribute__((noinline)) void unwind_fixture_ends_in_noreturn(void *context) {
  volatile int locals[4];
  locals[0] = 1;
  sink = locals[0];
  unwind_test_capture_and_leave(context);
}

__attribute__((noinline)) int unwind_fixture_after_noreturn(int x) { return x * 3 + sink; }

__attribute__((noinline)) int unwind_fixture_raise(int signal) {
  volatile int locals[6];
  locals[0] = signal;
  raise(locals[0]);
  return locals[0] + sink;
}

}  // extern "C"

std::vector<uint64_t> unwind_fixture_function_addresses() {
  return {reinterpret_cast<uintptr_t>(&unwind_fixture_a), reinterpret_cast<uintptr_t>(&unwind_fixture_b),
          reinterpret_cast<uintptr_t>(&unwind_fixture_c), reinterpret_cast<uintptr_t>(&unwind_fixture_sort),
          reinterpret_cast<uintptr_t>(&unwind_fixture_ends_in_noreturn),
          reinterpret_cast<uintptr_t>(&unwind_fixture_raise)};
}
