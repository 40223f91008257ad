#include "telemetry/core/VUDelegateForwarder.h"

#include "telemetry/core/VULogger.h"

#include <QList>

#include <mutex>
#include <optional>

namespace {

std::mutex gTraceLock;
std::optional<QList<VUDelegateForwarder::TraceBlock>> gTraceBuffer = QList<VUDelegateForwarder::TraceBlock>();

} // namespace

void VUDelegateForwarder::addTraceBlock(TraceBlock block)
{
    {
        std::lock_guard guard(gTraceLock);
        if (gTraceBuffer) {
            if (gTraceBuffer->isEmpty())
                gTraceBuffer->append([] { VULogVerbose(VULogTag(), "Start buffering traces."); });
            gTraceBuffer->append(std::move(block));
            return;
        }
    }
    if (block)
        block();
}

void VUDelegateForwarder::flushTraceBuffer()
{
    std::optional<QList<TraceBlock>> buffered;
    {
        // Taken out whole first: a trace that logs, or adds another trace, never runs
        // under the buffer's lock.
        std::lock_guard guard(gTraceLock);
        if (!gTraceBuffer)
            return;
        buffered.swap(gTraceBuffer);
    }
    for (const auto &block : *buffered)
        if (block)
            block();
    VULogVerbose(VULogTag(), "Stop buffering traces, flushed.");
}

void VUDelegateForwarder::resetTraceBuffer()
{
    std::lock_guard guard(gTraceLock);
    gTraceBuffer = QList<TraceBlock>();
}
