#include "telemetry/core/VUChannelUnitConfiguration.h"

#include "telemetry/core/VUTimings.h"

VUChannelUnitConfiguration::VUChannelUnitConfiguration(QString groupId, qint64 priority, float flushInterval,
                                                       quint64 batchSizeLimit, quint64 pendingBatchesLimit)
    : mGroupId(std::move(groupId)), mPriority(priority), mFlushInterval(flushInterval),
      mBatchSizeLimit(qMax<quint64>(1, batchSizeLimit)), mPendingBatchesLimit(qMax<quint64>(1, pendingBatchesLimit))
{
}

VUChannelUnitConfiguration VUChannelUnitConfiguration::defaultConfigurationWithGroupId(const QString &groupId)
{
    return VUChannelUnitConfiguration(groupId, 1, VUTimings::current().flushIntervalSeconds, 50, 3);
}
