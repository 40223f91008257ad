#pragma once
// The channel protocols: what a channel unit and the channel group answer, and the
// delegate calls they make. A delegate's operations all have empty defaults, so a
// delegate overrides only what it cares for; shouldFilterLog answers false by default.
//
// The first argument of a delegate call is the unit or group that makes it; a delegate
// that needs to know which tests it with dynamic_cast. Delegates are held weakly.
// Identifying objects of the pause lane are compared by address and never dereferenced.

#include "telemetry/core/VUAbstractLog.h"
#include "telemetry/core/VUChannelUnitConfiguration.h"
#include "telemetry/core/VUError.h"

#include <functional>
#include <memory>

class VUChannelDelegate;
class VUIngestionProtocol;

class VUChannelProtocol
{
public:
    virtual ~VUChannelProtocol() = default;
    virtual void addDelegate(const std::weak_ptr<VUChannelDelegate> &delegate) = 0;
    virtual void removeDelegate(const VUChannelDelegate *delegate) = 0;
    virtual void pauseWithIdentifyingObject(const void *identifyingObject) = 0;
    virtual void resumeWithIdentifyingObject(const void *identifyingObject) = 0;
    virtual void setEnabled(bool isEnabled, bool deleteDataOnDisabled) = 0;
};

class VUChannelUnitProtocol : public VUChannelProtocol
{
public:
    virtual void enqueueItem(const std::shared_ptr<VUAbstractLog> &item, quint64 flags) = 0;
    virtual void pauseSendingLogsWithToken(const QString &token) = 0;
    virtual void resumeSendingLogsWithToken(const QString &token) = 0;
    virtual const VUChannelUnitConfiguration &configuration() const = 0;
    // Tells the delegates that a log will never be sent (queue thread).
    virtual void notifyFailureBeforeSendingForItem(const std::shared_ptr<VUAbstractLog> &item, const VUError &error) = 0;
};

class VUChannelGroupProtocol : public VUChannelProtocol
{
public:
    // With no ingestion, the group's own.
    virtual std::shared_ptr<VUChannelUnitProtocol> addChannelUnitWithConfiguration(
        const VUChannelUnitConfiguration &configuration, const std::shared_ptr<VUIngestionProtocol> &ingestion = {}) = 0;
    virtual std::shared_ptr<VUChannelUnitProtocol> channelUnitForGroupId(const QString &groupId) const = 0;
    virtual void setLogUrl(const QString &logUrl) = 0;
    virtual void setAppSecret(const std::optional<QString> &appSecret) = 0;
    virtual void setMaxStorageSize(qint64 sizeInBytes, std::function<void(bool)> completionHandler) = 0;
};

class VUChannelDelegate
{
public:
    virtual ~VUChannelDelegate() = default;
    virtual void channelGroupDidAddChannelUnit(VUChannelGroupProtocol *group,
                                               const std::shared_ptr<VUChannelUnitProtocol> &unit) {}
    virtual void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) {}
    virtual void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                      const QString &internalId, quint64 flags) {}
    virtual bool channelUnitShouldFilterLog(VUChannelUnitProtocol *unit, const std::shared_ptr<VUAbstractLog> &log)
    {
        return false;
    }
    virtual void channelDidCompleteEnqueueingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                                 const QString &internalId) {}
    virtual void channelWillSendLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) {}
    virtual void channelDidSucceedSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) {}
    virtual void channelDidFailSendingLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                                          const std::optional<VUError> &error) {}
    virtual void channelDidSetEnabled(VUChannelProtocol *channel, bool isEnabled, bool deleteDataOnDisabled) {}
    virtual void channelDidPauseWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) {}
    virtual void channelDidResumeWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) {}
};
