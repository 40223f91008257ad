#pragma once
// The one channel group of the telemetry component: it owns what every channel unit
// shares (one serial queue for all log work, the log database "Logs.sqlite" and the
// ingestion of the log endpoint), makes the units, is a delegate of each and passes every
// channel event on to its own delegates (the services and the common-schema delegate).
//
// Switching: setEnabled reaches the ingestion and every unit; pause and resume hold every
// unit for an identifying object, and switch the log ingestion off while any such object
// holds the group, on again only when the last one resumes and only when the pause itself
// had switched it off (an ingestion that disabled itself stays disabled).
//
// Thread-safe: called from any thread; unit work runs on the queue; the delegate table and
// the unit list are guarded by the group's lock, which is never held while delegates run.

#include "telemetry/core/VUChannelProtocols.h"
#include "telemetry/core/VUDispatchQueue.h"
#include "telemetry/core/VUIngestionProtocol.h"
#include "telemetry/core/VULogDBStorage.h"

#include <QSet>

#include <mutex>
#include <vector>

class VUChannelGroupDefault : public VUChannelGroupProtocol,
                              public VUChannelDelegate,
                              public std::enable_shared_from_this<VUChannelGroupDefault>
{
public:
    // The group with a log-endpoint ingestion for the URL and install id.
    static std::shared_ptr<VUChannelGroupDefault> create(const QString &installId, const QString &logUrl);
    static std::shared_ptr<VUChannelGroupDefault> create(std::shared_ptr<VUIngestionProtocol> ingestion);
    // Ends the queue (waiting for running work), so no unit works on after the group.
    ~VUChannelGroupDefault() override;
    // Ends the queue as the destructor does, for an owner that lets the group go while others
    // may still hold it: from any thread but the queue's, returns once running work ended.
    void stop(const std::function<void()> &whileWaiting = {});

    std::shared_ptr<VUChannelUnitProtocol> addChannelUnitWithConfiguration(
        const VUChannelUnitConfiguration &configuration, const std::shared_ptr<VUIngestionProtocol> &ingestion = {}) override;
    std::shared_ptr<VUChannelUnitProtocol> channelUnitForGroupId(const QString &groupId) const override;
    void setLogUrl(const QString &logUrl) override;
    void setAppSecret(const std::optional<QString> &appSecret) override;
    void setMaxStorageSize(qint64 sizeInBytes, std::function<void(bool)> completionHandler) override;

    void addDelegate(const std::weak_ptr<VUChannelDelegate> &delegate) override;
    void removeDelegate(const VUChannelDelegate *delegate) override;
    void pauseWithIdentifyingObject(const void *identifyingObject) override;
    void resumeWithIdentifyingObject(const void *identifyingObject) override;
    void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;

    // Delegate calls of the units, passed on to the group's delegates.
    void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                              const QString &internalId, quint64 flags) override;
    bool channelUnitShouldFilterLog(VUChannelUnitProtocol *unit, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidCompleteEnqueueingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                         const QString &internalId) override;
    void channelWillSendLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidSucceedSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidFailSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                  const std::optional<VUError> &error) override;
    void channelDidSetEnabled(VUChannelProtocol *channel, bool isEnabled, bool deleteDataOnDisabled) override;
    void channelDidPauseWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) override;
    void channelDidResumeWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) override;

    std::shared_ptr<VUIngestionProtocol> ingestion() const { return mIngestion; }
    std::shared_ptr<VULogDBStorage> storage() const { return mStorage; }
    std::shared_ptr<VUDispatchQueue> logsDispatchQueue() const { return mLogsDispatchQueue; }
    QList<std::shared_ptr<VUChannelUnitProtocol>> channels() const;

private:
    explicit VUChannelGroupDefault(std::shared_ptr<VUIngestionProtocol> ingestion);
    template <typename Fn> void enumerateDelegates(Fn fn) const;

    std::shared_ptr<VUIngestionProtocol> mIngestion;
    std::shared_ptr<VULogDBStorage> mStorage;
    std::shared_ptr<VUDispatchQueue> mLogsDispatchQueue;

    mutable std::recursive_mutex mLock;
    std::vector<std::weak_ptr<VUChannelDelegate>> mDelegates;
    QList<std::shared_ptr<VUChannelUnitProtocol>> mChannels;
    QSet<const void *> mPausingObjects;
    bool mIngestionStoppedByPause = false;
};
