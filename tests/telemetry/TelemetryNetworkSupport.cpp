#include "TelemetryNetworkSupport.h"

#include "telemetry/core/VUTimings.h"
#include "telemetry/core/VU_Reachability.h"

#include <QJsonArray>

void ShortTimingsTest::SetUp()
{
    VUTimings timings;
    timings.retryIntervalsMs = {20, 20, 20};
    timings.flushIntervalSeconds = 0.05f;
    timings.requestTimeoutMs = 5000;
    timings.retryLaterMs = 100;
    VUTimings::set(timings);
    VU_Reachability::setSimulatedStatus(VU_Reachability::Reachable);
}

void ShortTimingsTest::TearDown()
{
    server.stop();
    VU_Reachability::setSimulatedStatus(std::nullopt);
    VUTimings::reset();
}

void ShortTimingsTest::startServer()
{
    ASSERT_TRUE(server.start());
}

VUSendAsyncCompletionHandler CompletionRecorder::handler()
{
    return [this](const QString &callId, qint64 status, const QByteArray &, const std::optional<VUError> &error) {
        std::lock_guard guard(mLock);
        mCalls.append({callId, status, error});
    };
}

QList<CompletedCall> CompletionRecorder::calls() const
{
    std::lock_guard guard(mLock);
    return mCalls;
}

int CompletionRecorder::count() const
{
    std::lock_guard guard(mLock);
    return int(mCalls.size());
}

QJsonArray logsOfRequest(const LoopbackHttpServer::Request &request)
{
    return QJsonDocument::fromJson(request.decodedBody()).object().value(QStringLiteral("logs")).toArray();
}
