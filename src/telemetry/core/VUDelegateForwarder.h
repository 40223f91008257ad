#pragma once
// The process-wide trace buffer: messages produced before the component's log level is
// configured are held and logged when the level is first set (VUVovUdezir::setLogLevel
// flushes it); later traces are logged at once.
//
// The design's application-delegate forwarding (replacing the application delegate's
// methods at run time) has no counterpart with Qt: the application forwards its own
// events, so forwarding is always off and only the trace buffer remains.
//
// Thread-safe: the buffer has its own lock, which is never held while a trace runs.

#include <functional>

class VUDelegateForwarder
{
public:
    using TraceBlock = std::function<void()>;

    static void addTraceBlock(TraceBlock block);
    static void flushTraceBuffer();
    // Whether application-delegate forwarding is on: never, with Qt.
    static bool isEnabled() { return false; }
    // A fresh buffer, as at process start (tests).
    static void resetTraceBuffer();
};
