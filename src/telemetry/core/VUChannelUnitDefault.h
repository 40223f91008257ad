#pragma once
// The road of a log: a channel unit lets the channel delegates prepare and filter each log,
// stores it in the log database under its group id, counts it, and when a batch is full or
// the flush interval has passed loads a batch and hands it to the ingestion; the answer
// decides what becomes of the batch.
//
// Sending states (all kept on the channel group's serial queue):
//   idle (no timer, count 0) -> counting (flush timer armed) -> flushing -> in flight
//   (batch ids pending) -> idle;
//   paused (the pause lane holds an object) and full (as many batches in flight as allowed)
//   stop new batches while saving goes on; disabled stops timers and flushes; disabled with
//   deletion also refuses every new log until enabled again.
// Outcome of a batch: 2xx deletes it (sent); an answer worth retrying that outlived the
// ingestion's retries puts it back in the store and offers it again later; any other
// answer deletes it and reports its logs as failed. Logs arrive in the store even while the
// ingestion has no application secret yet; they leave once it has one. A log the store
// refuses is reported to the delegates as failed (code 102) before its enqueue completes.
// Logs that reach the queue back to back are stored in one transaction; each completes
// (and counts) once that transaction is in, before any other operation of the unit runs.
//
// Threads: enqueueItem's validation and the prepare calls run on the caller's thread, all
// else on the queue. Delegates are held weakly and called without the unit's delegate lock.

#include "telemetry/core/VUChannelProtocols.h"
#include "telemetry/core/VUDispatchQueue.h"
#include "telemetry/core/VUIngestionProtocol.h"
#include "telemetry/core/VULogDBStorage.h"

#include <QSet>

#include <mutex>
#include <vector>

class VUChannelUnitDefault : public VUChannelUnitProtocol,
                             public VUIngestionDelegate,
                             public std::enable_shared_from_this<VUChannelUnitDefault>
{
public:
    static std::shared_ptr<VUChannelUnitDefault> create(std::shared_ptr<VUIngestionProtocol> ingestion,
                                                        std::shared_ptr<VULogDBStorage> storage,
                                                        VUChannelUnitConfiguration configuration,
                                                        std::shared_ptr<VUDispatchQueue> logsDispatchQueue);

    void enqueueItem(const std::shared_ptr<VUAbstractLog> &item, quint64 flags) override;
    void addDelegate(const std::weak_ptr<VUChannelDelegate> &delegate) override;
    void removeDelegate(const VUChannelDelegate *delegate) override;
    void pauseWithIdentifyingObject(const void *identifyingObject) override;
    void resumeWithIdentifyingObject(const void *identifyingObject) override;
    void pauseSendingLogsWithToken(const QString &token) override;
    void resumeSendingLogsWithToken(const QString &token) override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
    const VUChannelUnitConfiguration &configuration() const override { return mConfiguration; }
    void notifyFailureBeforeSendingForItem(const std::shared_ptr<VUAbstractLog> &item, const VUError &error) override;

    void ingestionDidPause(VUIngestionProtocol *ingestion) override;
    void ingestionDidResume(VUIngestionProtocol *ingestion) override;
    void ingestionDidReceiveFatalError(VUIngestionProtocol *ingestion) override;

    // Queue-side steps; call them on the queue only.
    void flushQueue();
    void checkPendingLogs();
    void startTimer();
    void resetTimer();
    void deleteAllLogsWithErrorSync(const VUError &error);

    std::shared_ptr<VUIngestionProtocol> ingestion() const { return mIngestion; }
    std::shared_ptr<VULogDBStorage> storage() const { return mStorage; }
    std::shared_ptr<VUDispatchQueue> logsDispatchQueue() const { return mLogsDispatchQueue; }

    // A consistent view of the sending state, read on the queue (for tests and logs).
    struct State
    {
        quint64 itemsCount = 0;
        int pendingBatches = 0;
        bool availableBatchFromStorage = false;
        bool pendingBatchQueueFull = false;
        bool enabled = true;
        bool paused = false;
        bool discardLogs = false;
        bool timerArmed = false;
    };
    State state() const;

private:
    VUChannelUnitDefault(std::shared_ptr<VUIngestionProtocol> ingestion, std::shared_ptr<VULogDBStorage> storage,
                         VUChannelUnitConfiguration configuration, std::shared_ptr<VUDispatchQueue> logsDispatchQueue);

    template <typename Fn> void enumerateDelegates(Fn fn) const;
    void enqueueOnQueue(const std::shared_ptr<VUAbstractLog> &item, const QString &internalId, quint64 flags);
    void sendBatch(const QList<std::shared_ptr<VUAbstractLog>> &logs, const QString &batchId);
    void batchAnswered(const QString &batchId, const QList<std::shared_ptr<VUAbstractLog>> &logs, qint64 statusCode,
                       const std::optional<VUError> &error);
    void releaseFullQueueAfterAnswer();
    void pauseWithIdentifyingObjectSync(const void *identifyingObject);
    void resumeWithIdentifyingObjectSync(const void *identifyingObject);
    static VUError connectionPausedError();
    static VUError notStoredError();
    // The end of an enqueue once the store has answered: failure notice, completion, count.
    void logSaved(const std::shared_ptr<VUAbstractLog> &item, const QString &internalId, bool saved);
    // Lets the logs saved together so far complete before this operation goes on.
    void settlePendingSaves() const;

    VUChannelUnitConfiguration mConfiguration;
    std::shared_ptr<VUDispatchQueue> mLogsDispatchQueue;
    std::shared_ptr<VUIngestionProtocol> mIngestion;
    std::shared_ptr<VULogDBStorage> mStorage;

    mutable std::recursive_mutex mDelegatesLock;
    std::vector<std::weak_ptr<VUChannelDelegate>> mDelegates;

    // Queue-only state.
    VUDispatchQueue::Token mTimer = 0;
    VUDispatchQueue::Token mRetryLaterTimer = 0;
    quint64 mItemsCount = 0;
    QStringList mPendingBatchIds;
    bool mAvailableBatchFromStorage = false;
    bool mPendingBatchQueueFull = false;
    bool mEnabled = true;
    bool mPaused = false;
    bool mDiscardLogs = false;
    QSet<const void *> mPausedIdentifyingObjects;
    QSet<QString> mPausedTargetKeys;
};
