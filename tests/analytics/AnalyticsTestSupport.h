#pragma once
// The analytics service started the way Quillon starts it, against a loopback server that
// stands in for both the log endpoint and the common-schema endpoint; and a channel-group
// delegate that records each log as it is enqueued, with its flags.

#include "TelemetryNetworkSupport.h"
#include "TelemetryTestSupport.h"
#include "TestHome.h"

#include "telemetry/analytics/VUAnalytics.h"

#include <QJsonObject>

class RecordingGroupDelegate : public VUChannelDelegate
{
public:
    struct Prepared
    {
        QString groupId;
        std::shared_ptr<VUAbstractLog> log;
        quint64 flags = 0;
    };
    void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                              const QString &, quint64 flags) override;
    QList<Prepared> prepared() const;
    // The enqueued logs of a class, in order.
    template <class T> QList<std::shared_ptr<T>> logsOf() const
    {
        QList<std::shared_ptr<T>> found;
        for (const auto &entry : prepared())
            if (auto log = std::dynamic_pointer_cast<T>(entry.log))
                found.append(log);
        return found;
    }

private:
    mutable std::mutex mLock;
    QList<Prepared> mPrepared;
};

class AnalyticsTest : public ShortTimingsTest
{
protected:
    static inline const QString kSecret = QStringLiteral("3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");

    void SetUp() override;
    void TearDown() override;
    static void resetSingletons();
    // Starts the component with the analytics service alone; both endpoints are the server.
    void startAnalytics(const QString &startString = kSecret);

    // Logs of one type posted to the log endpoint.
    QList<QJsonObject> postedLogs(const QString &type) const;
    // Common-schema logs posted to their endpoint.
    QList<QJsonObject> postedCommonSchemaLogs() const;

    // Records the component's log lines until the component is gone: its queue may still
    // be logging when a test body ends.
    RecordingLogHandler &logLines();

    std::unique_ptr<TestHome> home;
    std::shared_ptr<RecordingGroupDelegate> recorder;
    std::unique_ptr<RecordingLogHandler> mLogLines;
};
