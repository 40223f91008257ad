#pragma once
// The immutable description of one channel unit: its group id (also the group of its logs
// in the store), priority, flush interval, batch size and how many batches may be in flight.
// Batch size and pending-batch limits below 1 are raised to 1: a batch of none would never
// drain the store.

#include <QString>

class VUChannelUnitConfiguration
{
public:
    VUChannelUnitConfiguration(QString groupId, qint64 priority, float flushInterval, quint64 batchSizeLimit,
                               quint64 pendingBatchesLimit);
    // Priority 1, the timings' flush interval (3 s), 50 logs a batch, 3 batches in flight.
    static VUChannelUnitConfiguration defaultConfigurationWithGroupId(const QString &groupId);

    const QString &groupId() const { return mGroupId; }
    qint64 priority() const { return mPriority; }
    float flushInterval() const { return mFlushInterval; }
    quint64 batchSizeLimit() const { return mBatchSizeLimit; }
    quint64 pendingBatchesLimit() const { return mPendingBatchesLimit; }

private:
    QString mGroupId;
    qint64 mPriority;
    float mFlushInterval;
    quint64 mBatchSizeLimit;
    quint64 mPendingBatchesLimit;
};
