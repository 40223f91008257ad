#pragma once
// Code built the way much of a crashing process is: optimised and without frame pointers
// (see CMakeLists.txt), so only call frame information can walk through it.
#include "VUCrashAsyncThreadState.h"

#include <cstdint>
#include <vector>

extern "C" {
// a -> b -> c, each keeping locals on the stack; c captures the thread there.
int unwind_fixture_a(vucrash_async_thread_state_current_callback callback, void *context);
// Sorts with qsort; the comparator captures the thread, so the walk crosses libc.
int unwind_fixture_sort(vucrash_async_thread_state_current_callback callback, void *context);
// Recurses `depth` levels, each through qsort's comparator, and captures the thread at the
// bottom: the same few return addresses over and over.
int unwind_fixture_recurse(int depth, vucrash_async_thread_state_current_callback callback, void *context);
// Defined by the test: captures the thread and leaves by longjmp.
[[noreturn]] void unwind_test_capture_and_leave(void *context);
// Calls unwind_test_capture_and_leave as its final instruction.
void unwind_fixture_ends_in_noreturn(void *context);
// Raises the signal from frameless code and does more work after the handler returns.
int unwind_fixture_raise(int signal);
}

std::vector<uint64_t> unwind_fixture_function_addresses();
