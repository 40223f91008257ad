#include "AnalyticsTestSupport.h"

#include "telemetry/analytics/VUAnalyticsCategory.h"
#include "telemetry/analytics/VUAnalyticsTransmissionTarget.h"
#include "telemetry/core/VUApplicationState.h"
#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VUHttpIngestion.h"
#include "telemetry/core/VUSessionContext.h"
#include "telemetry/core/VUUserIdContext.h"
#include "telemetry/core/VUVovUdezir.h"

void RecordingGroupDelegate::channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                                  const QString &, quint64 flags)
{
    const auto *unit = dynamic_cast<VUChannelUnitProtocol *>(channel);
    std::lock_guard guard(mLock);
    mPrepared.append({unit ? unit->configuration().groupId() : QString(), log, flags});
}

QList<RecordingGroupDelegate::Prepared> RecordingGroupDelegate::prepared() const
{
    std::lock_guard guard(mLock);
    return mPrepared;
}

void AnalyticsTest::SetUp()
{
    ShortTimingsTest::SetUp();
    home = std::make_unique<TestHome>();
    qunsetenv("VOV_UDEZIR_DISABLE");
    startServer();
    resetSingletons();
    recorder = std::make_shared<RecordingGroupDelegate>();
}

RecordingLogHandler &AnalyticsTest::logLines()
{
    if (!mLogLines)
        mLogLines = std::make_unique<RecordingLogHandler>(VULogLevelVerbose);
    return *mLogLines;
}

void AnalyticsTest::TearDown()
{
    resetSingletons();
    mLogLines.reset();
    home.reset();
    ShortTimingsTest::TearDown();
}

void AnalyticsTest::resetSingletons()
{
    VUAnalytics::resetSharedInstance();
    VUVovUdezir::resetSharedInstance();
    VUSessionContext::resetSharedInstance();
    VUUserIdContext::resetSharedInstance();
    VUDeviceTracker::resetSharedInstance();
    VUAnalyticsCategory::resetForTesting();
    VUAnalyticsTransmissionTarget::setAuthenticationProvider(nullptr);
    VUApplicationStateProvider::setApplicationStateProvider(nullptr);
}

void AnalyticsTest::startAnalytics(const QString &startString)
{
    VUVovUdezir::setLogUrl(server.baseUrl());
    const auto core = VUVovUdezir::sharedInstance();
    core->configureWithAppSecret(VUUtility::appSecretFrom(startString), VUUtility::transmissionTargetTokenFrom(startString),
                                 true);
    if (const auto ingestion = std::dynamic_pointer_cast<VUHttpIngestion>(core->vezUdudovezoChannelDelegate()->vezUdudovezoIngestion()))
        ingestion->setBaseURL(server.baseUrl());
    core->channelGroup()->addDelegate(std::weak_ptr<VUChannelDelegate>(recorder));
    const auto analytics = VUAnalytics::sharedInstance();
    core->startService(analytics, VUUtility::appSecretFrom(startString), VUUtility::transmissionTargetTokenFrom(startString),
                       true, true);
}

QList<QJsonObject> AnalyticsTest::postedLogs(const QString &type) const
{
    QList<QJsonObject> found;
    for (const auto &request : server.requests())
        if (request.path == "/logs")
            for (const auto &log : logsOfRequest(request))
                if (log.toObject().value("type") == type)
                    found.append(log.toObject());
    return found;
}

QList<QJsonObject> AnalyticsTest::postedCommonSchemaLogs() const
{
    QList<QJsonObject> found;
    for (const auto &request : server.requests())
        if (request.path.startsWith("/VezUdudovezo"))
            for (const QByteArray &line : request.decodedBody().split('\n'))
                if (!line.trimmed().isEmpty())
                    found.append(QJsonDocument::fromJson(line).object());
    return found;
}
