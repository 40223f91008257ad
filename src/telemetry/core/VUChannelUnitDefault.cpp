#include "telemetry/core/VUChannelUnitDefault.h"

#include "telemetry/core/VUDeviceTracker.h"
#include "telemetry/core/VUIngestionUtil.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUTimings.h"
#include "telemetry/core/VUUtility.h"

#include <QUuid>

std::shared_ptr<VUChannelUnitDefault> VUChannelUnitDefault::create(std::shared_ptr<VUIngestionProtocol> ingestion,
                                                                   std::shared_ptr<VULogDBStorage> storage,
                                                                   VUChannelUnitConfiguration configuration,
                                                                   std::shared_ptr<VUDispatchQueue> logsDispatchQueue)
{
    std::shared_ptr<VUChannelUnitDefault> unit(new VUChannelUnitDefault(std::move(ingestion), std::move(storage),
                                                                        std::move(configuration),
                                                                        std::move(logsDispatchQueue)));
    if (unit->mIngestion) {
        unit->mIngestion->addDelegate(std::weak_ptr<VUIngestionDelegate>(unit));
        if (unit->mIngestion->paused())
            unit->pauseWithIdentifyingObject(unit->mIngestion.get());
    }
    return unit;
}

VUChannelUnitDefault::VUChannelUnitDefault(std::shared_ptr<VUIngestionProtocol> ingestion,
                                           std::shared_ptr<VULogDBStorage> storage,
                                           VUChannelUnitConfiguration configuration,
                                           std::shared_ptr<VUDispatchQueue> logsDispatchQueue)
    : mConfiguration(std::move(configuration)), mLogsDispatchQueue(std::move(logsDispatchQueue)),
      mIngestion(std::move(ingestion)), mStorage(std::move(storage))
{
}

template <typename Fn> void VUChannelUnitDefault::enumerateDelegates(Fn fn) const
{
    std::vector<std::weak_ptr<VUChannelDelegate>> snapshot;
    {
        std::lock_guard guard(mDelegatesLock);
        snapshot = mDelegates;
    }
    for (const auto &weak : snapshot)
        if (const auto delegate = weak.lock())
            fn(*delegate);
}

VUError VUChannelUnitDefault::connectionPausedError()
{
    return VUError{kVUErrorDomain, kVUConnectionPausedErrorCode, kVUConnectionPausedErrorDesc, {}};
}

VUError VUChannelUnitDefault::notStoredError()
{
    return VUError{kVUErrorDomain, kVULogNotStoredErrorCode, kVULogNotStoredErrorDesc, {}};
}

void VUChannelUnitDefault::addDelegate(const std::weak_ptr<VUChannelDelegate> &delegate)
{
    std::lock_guard guard(mDelegatesLock);
    mDelegates.push_back(delegate);
}

void VUChannelUnitDefault::removeDelegate(const VUChannelDelegate *delegate)
{
    std::lock_guard guard(mDelegatesLock);
    std::erase_if(mDelegates, [delegate](const std::weak_ptr<VUChannelDelegate> &weak) {
        const auto strong = weak.lock();
        return !strong || strong.get() == delegate;
    });
}

void VUChannelUnitDefault::enqueueItem(const std::shared_ptr<VUAbstractLog> &item, quint64 flags)
{
    if (item) {
        // A log restored from a crash or a buffer keeps the time and device it carries.
        if (!item->timestamp)
            item->timestamp = QDateTime::currentDateTimeUtc();
        if (!item->device)
            item->device = VUDeviceTracker::sharedInstance()->device();
    }
    if (!item || !item->isValid()) {
        VULogWarning(VULogTag(), "Log is not valid.");
        return;
    }
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelPrepareLog(this, item); });
    const QString internalId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidPrepareLog(this, item, internalId, flags); });
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, item, internalId, flags] {
        if (const auto self = weakSelf.lock())
            self->enqueueOnQueue(item, internalId, flags);
    });
}

void VUChannelUnitDefault::enqueueOnQueue(const std::shared_ptr<VUAbstractLog> &item, const QString &internalId,
                                          quint64 flags)
{
    bool filtered = false;
    {
        std::vector<std::weak_ptr<VUChannelDelegate>> snapshot;
        {
            std::lock_guard guard(mDelegatesLock);
            snapshot = mDelegates;
        }
        for (const auto &weak : snapshot) {
            if (const auto delegate = weak.lock(); delegate && delegate->channelUnitShouldFilterLog(this, item)) {
                filtered = true;
                break;
            }
        }
    }
    const QString type = item->type().value_or(QString());
    auto completed = [&] {
        enumerateDelegates(
            [&](VUChannelDelegate &delegate) { delegate.channelDidCompleteEnqueueingLog(this, item, internalId); });
    };
    if (filtered) {
        VULogDebug(VULogTag(), "Log of type '%s' was filtered out by delegate(s)", qUtf8Printable(type));
        completed();
        return;
    }
    if (mIngestion && !mIngestion->isReadyToSend()) {
        // Kept in the store: it leaves once the ingestion has what it needs to send.
        VULogDebug(VULogTag(), "Log of type '%s' is stored; the ingestion is not ready to send it yet.",
                   qUtf8Printable(type));
    }
    if (mDiscardLogs) {
        VULogWarning(VULogTag(), "Channel %s disabled in log discarding mode, discard this log.",
                     qUtf8Printable(mConfiguration.groupId()));
        notifyFailureBeforeSendingForItem(item, connectionPausedError());
        completed();
        return;
    }
    VULogDebug(VULogTag(), "Saving log, type: %s, flags: %u.", qUtf8Printable(type), unsigned(flags));
    if (!mStorage) {
        logSaved(item, internalId, false);
        return;
    }
    // Logs handed over back to back are committed together; each completes once it is in.
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    const bool firstWaiting =
        mStorage->saveLogLater(item, mConfiguration.groupId(), flags, [weakSelf, item, internalId](bool saved) {
            if (const auto self = weakSelf.lock())
                self->logSaved(item, internalId, saved);
        });
    if (firstWaiting) {
        std::weak_ptr<VULogDBStorage> weakStorage = mStorage;
        mLogsDispatchQueue->async([weakStorage] {
            if (const auto storage = weakStorage.lock())
                storage->finishPendingSaves();
        });
    }
}

void VUChannelUnitDefault::logSaved(const std::shared_ptr<VUAbstractLog> &item, const QString &internalId, bool saved)
{
    // A refused log is lost: delegates hear it failed before it completes, so none takes
    // completion alone for "stored" and drops what it still holds of the log.
    if (!saved)
        notifyFailureBeforeSendingForItem(item, notStoredError());
    enumerateDelegates(
        [&](VUChannelDelegate &delegate) { delegate.channelDidCompleteEnqueueingLog(this, item, internalId); });
    if (saved) {
        mItemsCount++;
        checkPendingLogs();
    }
}

void VUChannelUnitDefault::settlePendingSaves() const
{
    if (mStorage)
        mStorage->finishPendingSaves();
}

void VUChannelUnitDefault::notifyFailureBeforeSendingForItem(const std::shared_ptr<VUAbstractLog> &item,
                                                             const VUError &error)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) {
        delegate.channelWillSendLog(this, item);
        delegate.channelDidFailSendingLog(this, item, error);
    });
}

void VUChannelUnitDefault::checkPendingLogs()
{
    if (mItemsCount >= mConfiguration.batchSizeLimit())
        flushQueue();
    else if (mItemsCount > 0 && !mPaused)
        startTimer();
}

void VUChannelUnitDefault::startTimer()
{
    if (!mEnabled)
        return;
    resetTimer();
    const qint64 delayMs = qint64(double(mConfiguration.flushInterval()) * 1000.0);
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mTimer = mLogsDispatchQueue->asyncAfter(delayMs, [weakSelf] {
        const auto self = weakSelf.lock();
        if (!self)
            return;
        self->mTimer = 0;
        self->settlePendingSaves();
        if (self->mItemsCount > 0)
            self->flushQueue();
        self->resetTimer();
    });
}

void VUChannelUnitDefault::resetTimer()
{
    if (mTimer) {
        mLogsDispatchQueue->cancel(mTimer);
        mTimer = 0;
    }
}

void VUChannelUnitDefault::flushQueue()
{
    if (!mIngestion || !mEnabled || !mIngestion->isReadyToSend())
        return;
    resetTimer();
    if (mPaused || mPendingBatchQueueFull) {
        if (mItemsCount >= mConfiguration.batchSizeLimit()) {
            mAvailableBatchFromStorage = true;
            mItemsCount = 0;
        }
        return;
    }
    mItemsCount = 0;
    if (!mStorage)
        return;
    QStringList excluded(mPausedTargetKeys.cbegin(), mPausedTargetKeys.cend());
    excluded.sort();
    mAvailableBatchFromStorage = mStorage->loadLogsWithGroupId(
        mConfiguration.groupId(), mConfiguration.batchSizeLimit(), excluded,
        [this](const QList<std::shared_ptr<VUAbstractLog>> &logs, const std::optional<QString> &batchId) {
            if (batchId && !batchId->isEmpty() && !logs.isEmpty())
                sendBatch(logs, *batchId);
        });
    if (mAvailableBatchFromStorage && !mPendingBatchQueueFull)
        flushQueue();
}

void VUChannelUnitDefault::sendBatch(const QList<std::shared_ptr<VUAbstractLog>> &logs, const QString &batchId)
{
    mPendingBatchIds.append(batchId);
    if (quint64(mPendingBatchIds.size()) >= mConfiguration.pendingBatchesLimit())
        mPendingBatchQueueFull = true;
    auto container = std::make_shared<VULogContainer>(batchId, logs);
    if (VULogger::currentLogLevel() <= VULogLevelDebug) {
        for (qsizetype i = 0; i < logs.size(); ++i)
            VULogDebug(VULogTag(), "Sending %lld/%lld log, group Id: %s, batch Id: %s, session Id: %s, payload:\n%s",
                       static_cast<long long>(i + 1), static_cast<long long>(logs.size()),
                       qUtf8Printable(mConfiguration.groupId()), qUtf8Printable(batchId),
                       qUtf8Printable(logs.at(i)->sid.value_or(QStringLiteral("(null)"))),
                       qUtf8Printable(logs.at(i)->serializeLogWithPrettyPrinting(true).value_or(QString())));
    }
    enumerateDelegates([&](VUChannelDelegate &delegate) {
        for (const auto &log : logs)
            delegate.channelWillSendLog(this, log);
    });
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    // Weak: the answer arrives with the ingestion's lock held, where the queue must never
    // be torn down.
    std::weak_ptr<VUDispatchQueue> weakQueue = mLogsDispatchQueue;
    mIngestion->sendAsync(container, [weakSelf, weakQueue, logs](const QString &callId, qint64 statusCode,
                                                                 const QByteArray &, const std::optional<VUError> &error) {
        if (const auto queue = weakQueue.lock()) {
            queue->async([weakSelf, callId, logs, statusCode, error] {
                if (const auto self = weakSelf.lock())
                    self->batchAnswered(callId, logs, statusCode, error);
            });
        }
    });
}

void VUChannelUnitDefault::releaseFullQueueAfterAnswer()
{
    if (mPendingBatchQueueFull && quint64(mPendingBatchIds.size()) < mConfiguration.pendingBatchesLimit())
        mPendingBatchQueueFull = false;
    if (mAvailableBatchFromStorage && !mPendingBatchQueueFull)
        flushQueue();
}

void VUChannelUnitDefault::batchAnswered(const QString &batchId, const QList<std::shared_ptr<VUAbstractLog>> &logs,
                                         qint64 statusCode, const std::optional<VUError> &error)
{
    settlePendingSaves();
    if (!mPendingBatchIds.contains(batchId)) {
        VULogWarning(VULogTag(), "Batch Id %s not expected, ignore.", qUtf8Printable(batchId));
        return;
    }
    mPendingBatchIds.removeAll(batchId);
    if (VUIngestionUtil::isSuccessStatusCode(statusCode) && !error) {
        VULogDebug(VULogTag(), "Log(s) sent with success, batch Id:%s.", qUtf8Printable(batchId));
        enumerateDelegates([&](VUChannelDelegate &delegate) {
            for (const auto &log : logs)
                delegate.channelDidSucceedSendingLog(this, log);
        });
        mStorage->deleteLogsWithBatchId(batchId, mConfiguration.groupId());
        releaseFullQueueAfterAnswer();
        return;
    }
    // A batch the ingestion refused to send (its logs are not valid) never becomes sendable.
    const bool invalidBatch = error && error->domain == kVUErrorDomain && error->code == kVULogInvalidContainerErrorCode;
    if (VUIngestionUtil::isRecoverableError(statusCode) && !VUIngestionUtil::isRequestCanceledError(error) && !invalidBatch) {
        // The service could not be reached or was busy through every retry: the logs stay
        // stored and are offered again later, so a bad hour loses nothing.
        VULogWarning(VULogTag(), "Log(s) not sent, batch Id:%s, status code:%lld; they will be sent later.",
                     qUtf8Printable(batchId), static_cast<long long>(statusCode));
        mStorage->releaseLogsWithBatchId(batchId, mConfiguration.groupId());
        mAvailableBatchFromStorage = false;
        if (mPendingBatchQueueFull && quint64(mPendingBatchIds.size()) < mConfiguration.pendingBatchesLimit())
            mPendingBatchQueueFull = false;
        if (!mRetryLaterTimer) {
            std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
            mRetryLaterTimer = mLogsDispatchQueue->asyncAfter(VUTimings::current().retryLaterMs, [weakSelf] {
                if (const auto self = weakSelf.lock()) {
                    self->mRetryLaterTimer = 0;
                    self->flushQueue();
                }
            });
        }
        return;
    }
    VULogError(VULogTag(), "Log(s) sent with failure, batch Id:%s, status code:%lld", qUtf8Printable(batchId),
               static_cast<long long>(statusCode));
    enumerateDelegates([&](VUChannelDelegate &delegate) {
        for (const auto &log : logs)
            delegate.channelDidFailSendingLog(this, log, error);
    });
    mStorage->deleteLogsWithBatchId(batchId, mConfiguration.groupId());
    releaseFullQueueAfterAnswer();
}

void VUChannelUnitDefault::pauseWithIdentifyingObject(const void *identifyingObject)
{
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, identifyingObject] {
        if (const auto self = weakSelf.lock())
            self->pauseWithIdentifyingObjectSync(identifyingObject);
    });
}

void VUChannelUnitDefault::resumeWithIdentifyingObject(const void *identifyingObject)
{
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, identifyingObject] {
        if (const auto self = weakSelf.lock())
            self->resumeWithIdentifyingObjectSync(identifyingObject);
    });
}

void VUChannelUnitDefault::pauseWithIdentifyingObjectSync(const void *identifyingObject)
{
    settlePendingSaves();
    mPausedIdentifyingObjects.insert(identifyingObject);
    VULogVerbose(VULogTag(), "Identifying object %p added to pause lane for channel %s.", identifyingObject,
                 qUtf8Printable(mConfiguration.groupId()));
    if (!mPaused) {
        VULogDebug(VULogTag(), "Pause channel %s.", qUtf8Printable(mConfiguration.groupId()));
        mPaused = true;
        resetTimer();
    }
    enumerateDelegates(
        [&](VUChannelDelegate &delegate) { delegate.channelDidPauseWithIdentifyingObject(this, identifyingObject); });
}

void VUChannelUnitDefault::resumeWithIdentifyingObjectSync(const void *identifyingObject)
{
    settlePendingSaves();
    mPausedIdentifyingObjects.remove(identifyingObject);
    VULogVerbose(VULogTag(), "Identifying object %p removed from pause lane for channel %s.", identifyingObject,
                 qUtf8Printable(mConfiguration.groupId()));
    if (mPausedIdentifyingObjects.isEmpty() && mPaused) {
        VULogDebug(VULogTag(), "Resume channel %s.", qUtf8Printable(mConfiguration.groupId()));
        mPaused = false;
        flushQueue();
    }
    enumerateDelegates(
        [&](VUChannelDelegate &delegate) { delegate.channelDidResumeWithIdentifyingObject(this, identifyingObject); });
}

void VUChannelUnitDefault::pauseSendingLogsWithToken(const QString &token)
{
    const auto key = VUUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, key = *key] {
        if (const auto self = weakSelf.lock()) {
            VULogDebug(VULogTag(), "Pause channel for target key %s.", qUtf8Printable(key));
            self->mPausedTargetKeys.insert(key);
        }
    });
}

void VUChannelUnitDefault::resumeSendingLogsWithToken(const QString &token)
{
    const auto key = VUUtility::targetKeyFromTargetToken(token);
    if (!key)
        return;
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, key = *key] {
        const auto self = weakSelf.lock();
        if (!self)
            return;
        VULogDebug(VULogTag(), "Resume channel for target key %s.", qUtf8Printable(key));
        self->settlePendingSaves();
        self->mPausedTargetKeys.remove(key);
        // This unit's own logs, not the whole store's: another group's backlog must not
        // make this unit flush at once.
        self->mItemsCount = self->mStorage ? self->mStorage->countLogsWithGroupId(self->mConfiguration.groupId()) : 0;
        self->checkPendingLogs();
    });
}

void VUChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled)
{
    std::weak_ptr<VUChannelUnitDefault> weakSelf = weak_from_this();
    mLogsDispatchQueue->async([weakSelf, isEnabled, deleteDataOnDisabled] {
        const auto self = weakSelf.lock();
        if (!self)
            return;
        self->settlePendingSaves();
        if (self->mEnabled != isEnabled) {
            self->mEnabled = isEnabled;
            if (isEnabled)
                self->resumeWithIdentifyingObjectSync(self.get());
            else
                self->pauseWithIdentifyingObjectSync(self.get());
        }
        if (!self->mEnabled && deleteDataOnDisabled) {
            VULogDebug(VULogTag(), "Delete all logs for group Id %s", qUtf8Printable(self->mConfiguration.groupId()));
            self->deleteAllLogsWithErrorSync(connectionPausedError());
            self->mItemsCount = 0;
            self->mAvailableBatchFromStorage = false;
            self->mPendingBatchQueueFull = false;
            self->mDiscardLogs = true;
        } else {
            self->mDiscardLogs = false;
        }
        self->enumerateDelegates([&](VUChannelDelegate &delegate) {
            delegate.channelDidSetEnabled(self.get(), isEnabled, deleteDataOnDisabled);
        });
    });
}

void VUChannelUnitDefault::deleteAllLogsWithErrorSync(const VUError &error)
{
    if (!mStorage)
        return;
    for (const QString &batchId : std::as_const(mPendingBatchIds))
        mStorage->deleteLogsWithBatchId(batchId, mConfiguration.groupId());
    // Their answers, if any still come, belong to logs that are gone.
    mPendingBatchIds.clear();
    const auto logs = mStorage->deleteLogsWithGroupId(mConfiguration.groupId());
    for (const auto &log : logs)
        notifyFailureBeforeSendingForItem(log, error);
}

void VUChannelUnitDefault::ingestionDidPause(VUIngestionProtocol *ingestion)
{
    pauseWithIdentifyingObject(ingestion);
}

void VUChannelUnitDefault::ingestionDidResume(VUIngestionProtocol *ingestion)
{
    resumeWithIdentifyingObject(ingestion);
}

void VUChannelUnitDefault::ingestionDidReceiveFatalError(VUIngestionProtocol *)
{
    setEnabled(false, true);
}

VUChannelUnitDefault::State VUChannelUnitDefault::state() const
{
    State result;
    mLogsDispatchQueue->sync([&] {
        settlePendingSaves();
        result.itemsCount = mItemsCount;
        result.pendingBatches = int(mPendingBatchIds.size());
        result.availableBatchFromStorage = mAvailableBatchFromStorage;
        result.pendingBatchQueueFull = mPendingBatchQueueFull;
        result.enabled = mEnabled;
        result.paused = mPaused;
        result.discardLogs = mDiscardLogs;
        result.timerArmed = mTimer != 0;
    });
    return result;
}
