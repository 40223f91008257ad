#pragma once
// In which state the host application is, for the services that decide by it (the crash
// service, the session tracker): 0 active (running, not hidden), 2 background (hidden).
// The GUI installs a provider (the window library does at start-up, like the screen-size
// provider); without one the application counts as active. The value 3 (an application
// extension) has no meaning here and is never produced.
//
// Thread-safe: the provider is swapped under a lock and called outside it, from any
// thread, so it must read a value the GUI keeps rather than ask the main thread.

#include <QtGlobal>

#include <functional>

enum VUApplicationState : qint64 {
    VUApplicationStateActive = 0,
    VUApplicationStateBackground = 2,
    VUApplicationStateUnknown = 3,
};

class VUApplicationStateProvider
{
public:
    static void setApplicationStateProvider(std::function<qint64()> provider);
    // The provider's answer, or active without one.
    static qint64 applicationState();
};
