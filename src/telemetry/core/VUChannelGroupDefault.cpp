#include "telemetry/core/VUChannelGroupDefault.h"

#include "telemetry/core/VUChannelUnitDefault.h"
#include "telemetry/core/VUHttpIngestion.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUVovUdezirIngestion.h"

std::shared_ptr<VUChannelGroupDefault> VUChannelGroupDefault::create(const QString &installId, const QString &logUrl)
{
    return create(VUVovUdezirIngestion::create(logUrl, installId));
}

std::shared_ptr<VUChannelGroupDefault> VUChannelGroupDefault::create(std::shared_ptr<VUIngestionProtocol> ingestion)
{
    return std::shared_ptr<VUChannelGroupDefault>(new VUChannelGroupDefault(std::move(ingestion)));
}

VUChannelGroupDefault::VUChannelGroupDefault(std::shared_ptr<VUIngestionProtocol> ingestion)
    : mIngestion(std::move(ingestion)), mStorage(std::make_shared<VULogDBStorage>()),
      mLogsDispatchQueue(std::make_shared<VUDispatchQueue>(QStringLiteral("org.quillon.VovUdezir.ChannelGroupQueue")))
{
}

VUChannelGroupDefault::~VUChannelGroupDefault()
{
    mLogsDispatchQueue->stop();
}

void VUChannelGroupDefault::stop(const std::function<void()> &whileWaiting)
{
    mLogsDispatchQueue->stop(whileWaiting);
}

template <typename Fn> void VUChannelGroupDefault::enumerateDelegates(Fn fn) const
{
    std::vector<std::weak_ptr<VUChannelDelegate>> snapshot;
    {
        std::lock_guard guard(mLock);
        snapshot = mDelegates;
    }
    for (const auto &weak : snapshot)
        if (const auto delegate = weak.lock())
            fn(*delegate);
}

std::shared_ptr<VUChannelUnitProtocol> VUChannelGroupDefault::addChannelUnitWithConfiguration(
    const VUChannelUnitConfiguration &configuration, const std::shared_ptr<VUIngestionProtocol> &ingestion)
{
    auto unit = VUChannelUnitDefault::create(ingestion ? ingestion : mIngestion, mStorage, configuration,
                                             mLogsDispatchQueue);
    unit->addDelegate(std::weak_ptr<VUChannelDelegate>(shared_from_this()));
    // Logs an earlier run left for this group leave first.
    std::weak_ptr<VUChannelUnitDefault> weakUnit = unit;
    mLogsDispatchQueue->async([weakUnit] {
        if (const auto strong = weakUnit.lock())
            strong->flushQueue();
    });
    {
        std::lock_guard guard(mLock);
        mChannels.append(unit);
    }
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelGroupDidAddChannelUnit(this, unit); });
    return unit;
}

std::shared_ptr<VUChannelUnitProtocol> VUChannelGroupDefault::channelUnitForGroupId(const QString &groupId) const
{
    std::lock_guard guard(mLock);
    for (const auto &unit : mChannels)
        if (unit->configuration().groupId() == groupId)
            return unit;
    return nullptr;
}

QList<std::shared_ptr<VUChannelUnitProtocol>> VUChannelGroupDefault::channels() const
{
    std::lock_guard guard(mLock);
    return mChannels;
}

void VUChannelGroupDefault::setLogUrl(const QString &logUrl)
{
    if (const auto http = std::dynamic_pointer_cast<VUHttpIngestion>(mIngestion))
        http->setBaseURL(logUrl);
}

void VUChannelGroupDefault::setAppSecret(const std::optional<QString> &appSecret)
{
    const auto ingestion = std::dynamic_pointer_cast<VUVovUdezirIngestion>(mIngestion);
    if (!ingestion)
        return;
    const bool wasReady = ingestion->isReadyToSend();
    ingestion->setAppSecret(appSecret);
    if (wasReady || !ingestion->isReadyToSend())
        return;
    // Logs stored while the secret was missing leave now.
    for (const auto &unit : channels()) {
        std::weak_ptr<VUChannelUnitDefault> weakUnit = std::dynamic_pointer_cast<VUChannelUnitDefault>(unit);
        mLogsDispatchQueue->async([weakUnit] {
            if (const auto strong = weakUnit.lock())
                strong->flushQueue();
        });
    }
}

void VUChannelGroupDefault::setMaxStorageSize(qint64 sizeInBytes, std::function<void(bool)> completionHandler)
{
    const auto storage = mStorage;
    mLogsDispatchQueue->async([storage, sizeInBytes, completionHandler = std::move(completionHandler)] {
        storage->setMaxStorageSize(sizeInBytes, completionHandler);
    });
}

void VUChannelGroupDefault::addDelegate(const std::weak_ptr<VUChannelDelegate> &delegate)
{
    std::lock_guard guard(mLock);
    mDelegates.push_back(delegate);
}

void VUChannelGroupDefault::removeDelegate(const VUChannelDelegate *delegate)
{
    std::lock_guard guard(mLock);
    std::erase_if(mDelegates, [delegate](const std::weak_ptr<VUChannelDelegate> &weak) {
        const auto strong = weak.lock();
        return !strong || strong.get() == delegate;
    });
}

void VUChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled)
{
    if (mIngestion)
        mIngestion->setEnabled(isEnabled, deleteDataOnDisabled);
    for (const auto &unit : channels())
        unit->setEnabled(isEnabled, deleteDataOnDisabled);
    enumerateDelegates([&](VUChannelDelegate &delegate) {
        delegate.channelDidSetEnabled(this, isEnabled, deleteDataOnDisabled);
    });
}

void VUChannelGroupDefault::pauseWithIdentifyingObject(const void *identifyingObject)
{
    {
        std::lock_guard guard(mLock);
        const bool first = mPausingObjects.isEmpty();
        mPausingObjects.insert(identifyingObject);
        if (first && mIngestion && mIngestion->enabled()) {
            mIngestion->setEnabled(false, false);
            mIngestionStoppedByPause = true;
        }
    }
    for (const auto &unit : channels())
        unit->pauseWithIdentifyingObject(identifyingObject);
}

void VUChannelGroupDefault::resumeWithIdentifyingObject(const void *identifyingObject)
{
    {
        std::lock_guard guard(mLock);
        mPausingObjects.remove(identifyingObject);
        if (mPausingObjects.isEmpty() && mIngestionStoppedByPause) {
            mIngestionStoppedByPause = false;
            if (mIngestion)
                mIngestion->setEnabled(true, false);
        }
    }
    for (const auto &unit : channels())
        unit->resumeWithIdentifyingObject(identifyingObject);
}

void VUChannelGroupDefault::channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelPrepareLog(channel, log); });
}

void VUChannelGroupDefault::channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                                 const QString &internalId, quint64 flags)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidPrepareLog(channel, log, internalId, flags); });
}

bool VUChannelGroupDefault::channelUnitShouldFilterLog(VUChannelUnitProtocol *unit, const std::shared_ptr<VUAbstractLog> &log)
{
    std::vector<std::weak_ptr<VUChannelDelegate>> snapshot;
    {
        std::lock_guard guard(mLock);
        snapshot = mDelegates;
    }
    for (const auto &weak : snapshot)
        if (const auto delegate = weak.lock(); delegate && delegate->channelUnitShouldFilterLog(unit, log))
            return true;
    return false;
}

void VUChannelGroupDefault::channelDidCompleteEnqueueingLog(VUChannelProtocol *channel,
                                                            const std::shared_ptr<VUAbstractLog> &log,
                                                            const QString &internalId)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidCompleteEnqueueingLog(channel, log, internalId); });
}

void VUChannelGroupDefault::channelWillSendLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelWillSendLog(channel, log); });
}

void VUChannelGroupDefault::channelDidSucceedSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidSucceedSendingLog(channel, log); });
}

void VUChannelGroupDefault::channelDidFailSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                                     const std::optional<VUError> &error)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidFailSendingLog(channel, log, error); });
}

void VUChannelGroupDefault::channelDidSetEnabled(VUChannelProtocol *channel, bool isEnabled, bool deleteDataOnDisabled)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidSetEnabled(channel, isEnabled, deleteDataOnDisabled); });
}

void VUChannelGroupDefault::channelDidPauseWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidPauseWithIdentifyingObject(channel, identifyingObject); });
}

void VUChannelGroupDefault::channelDidResumeWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject)
{
    enumerateDelegates([&](VUChannelDelegate &delegate) { delegate.channelDidResumeWithIdentifyingObject(channel, identifyingObject); });
}
