#pragma once
// Tests wait on conditions, never on fixed sleeps: this turns the calling thread's event loop
// (so queued main-thread work runs) until `done` holds or the time runs out.

#include <functional>

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000);

// A test's time limit as this build needs it: sanitizer builds run many times slower, so
// there every limit is stretched. A wait that succeeds still ends as soon as it holds; a
// window in which nothing may happen is stretched alike, which only makes it stricter.
int scaledTimeoutMs(int timeoutMs);
