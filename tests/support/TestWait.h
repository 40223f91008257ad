#pragma once
// Tests wait on conditions, never on fixed sleeps: this turns the calling thread's event loop
// (so queued main-thread work runs) until `done` holds or the time runs out.

#include <functional>

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000);
