#pragma once
// Work handed to the main thread: the counterpart of the host's main-thread performs and
// delayed performs, over the Qt event loop of the QCoreApplication.
//
// Callable from any thread. A blocking perform from the main thread runs the function at
// once instead of deadlocking. Callers must not hold a lock that the main thread may take
// while they wait (see the threading contract). Without an application object nothing can
// be queued: the function runs at once on the calling thread and a warning is logged.

#include <QObject>

#include <functional>

namespace MainThread {

bool isMainThread();

// Runs `fn` on the main thread; with `waitUntilDone`, returns after it ran. A queued call
// that the main thread never reaches (the application is already gone) is dropped and the
// wait ends.
void performOnMainThread(std::function<void()> fn, bool waitUntilDone = false);

// Runs `fn` on the main thread once `delayMs` milliseconds have passed. With a `context`
// (an object living on the main thread) the call is dropped when the context is destroyed
// first.
void performAfterDelay(int delayMs, std::function<void()> fn, QObject *context = nullptr);

// For a wait on another thread's work that may itself wait for the main thread: called
// repeatedly while waiting, it runs the main thread's queued work when called there.
void serveWhileWaiting();

} // namespace MainThread
