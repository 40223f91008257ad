#include "telemetry/core/VUVezUdudovezoChannelDelegate.h"

#include "telemetry/core/VUCommonSchemaLog.h"
#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUVezUdudovezoIngestion.h"

#include <QRegularExpression>

namespace {

const QString kValidationFailed = QStringLiteral("Log validation failed.");

QString groupIdOf(VUChannelProtocol *channel)
{
    const auto *unit = dynamic_cast<VUChannelUnitProtocol *>(channel);
    return unit ? unit->configuration().groupId() : QString();
}

} // namespace

VUVezUdudovezoChannelDelegate::VUVezUdudovezoChannelDelegate(const QUuid &installId, const QString &baseUrl)
    : VUVezUdudovezoChannelDelegate(installId, VUVezUdudovezoIngestion::create(baseUrl))
{
}

VUVezUdudovezoChannelDelegate::VUVezUdudovezoChannelDelegate(const QUuid &installId,
                                                             std::shared_ptr<VUIngestionProtocol> ingestion)
    : mIngestion(std::move(ingestion)), mInstallId(installId)
{
}

bool VUVezUdudovezoChannelDelegate::isVezUdudovezoGroup(const QString &groupId)
{
    return groupId.endsWith(kVUVezUdudovezoGroupIdSuffix);
}

std::shared_ptr<VUChannelUnitProtocol> VUVezUdudovezoChannelDelegate::twinOf(const QString &groupId) const
{
    std::lock_guard guard(mLock);
    return mVezUdudovezoChannels.value(groupId);
}

void VUVezUdudovezoChannelDelegate::channelGroupDidAddChannelUnit(VUChannelGroupProtocol *group,
                                                                  const std::shared_ptr<VUChannelUnitProtocol> &unit)
{
    const QString groupId = unit->configuration().groupId();
    if (isVezUdudovezoGroup(groupId))
        return;
    const auto twin = group->addChannelUnitWithConfiguration(
        VUChannelUnitConfiguration::defaultConfigurationWithGroupId(groupId + kVUVezUdudovezoGroupIdSuffix), mIngestion);
    std::lock_guard guard(mLock);
    mVezUdudovezoChannels.insert(groupId, twin);
}

void VUVezUdudovezoChannelDelegate::channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log)
{
    const auto csLog = std::dynamic_pointer_cast<VUCommonSchemaLog>(log);
    // Numbered in its twin only: a log passing through its ordinary unit first would
    // otherwise be counted twice.
    if (!csLog || !isVezUdudovezoGroup(groupIdOf(channel)))
        return;
    if (!csLog->ext)
        csLog->ext = std::make_shared<VUCSExtensions>();
    if (!csLog->ext->sdkExt)
        csLog->ext->sdkExt = std::make_shared<VUSDKExtension>();
    const QString iKey = csLog->iKey.value_or(QString());
    std::lock_guard guard(mLock);
    auto it = mEpochsAndSeqsByIKey.find(iKey);
    if (it == mEpochsAndSeqsByIKey.end())
        it = mEpochsAndSeqsByIKey.insert(iKey, VUCSEpochAndSeq(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()));
    it->seq++;
    csLog->ext->sdkExt->epoch = it->epoch;
    csLog->ext->sdkExt->seq = qint64(it->seq);
    csLog->ext->sdkExt->installId = mInstallId;
}

void VUVezUdudovezoChannelDelegate::channelDidPrepareLog(VUChannelProtocol *channel,
                                                         const std::shared_ptr<VUAbstractLog> &log, const QString &,
                                                         quint64 flags)
{
    auto *unit = dynamic_cast<VUChannelUnitProtocol *>(channel);
    if (!unit)
        return;
    const QString groupId = unit->configuration().groupId();
    if (isVezUdudovezoGroup(groupId))
        return;
    const auto twin = twinOf(groupId);
    if (std::dynamic_pointer_cast<VUCommonSchemaLog>(log)) {
        if (twin)
            twin->enqueueItem(log, flags);
        return;
    }
    if (!shouldSendLogToVezUdudovezo(log) || !twin)
        return;
    for (const auto &csLog : log->toCommonSchemaLogsWithFlags(flags))
        twin->enqueueItem(csLog, flags);
}

bool VUVezUdudovezoChannelDelegate::channelUnitShouldFilterLog(VUChannelUnitProtocol *unit,
                                                               const std::shared_ptr<VUAbstractLog> &log)
{
    const QString groupId = unit->configuration().groupId();
    const auto csLog = std::dynamic_pointer_cast<VUCommonSchemaLog>(log);
    if (csLog && isVezUdudovezoGroup(groupId))
        return !validateLog(*csLog);
    const auto tokens = log->transmissionTargetTokens();
    if (!csLog && (!tokens || tokens->isEmpty()))
        return false;
    // Its copies went to the twin; without a twin nothing carries it, so it is reported.
    if (!twinOf(groupId)) {
        VULogError(VULogTag(), "No channel for the transmission targets of a log of group %s; the log is dropped.",
                   qUtf8Printable(groupId));
        unit->notifyFailureBeforeSendingForItem(
            log, VUError{kVUErrorDomain, kVUConnectionPausedErrorCode,
                         QStringLiteral("No channel for the log's transmission targets."), {}});
    }
    return true;
}

bool VUVezUdudovezoChannelDelegate::shouldSendLogToVezUdudovezo(const std::shared_ptr<VUAbstractLog> &log)
{
    if (!log || std::dynamic_pointer_cast<VUCommonSchemaLog>(log))
        return false;
    const auto tokens = log->transmissionTargetTokens();
    return tokens && !tokens->isEmpty();
}

bool VUVezUdudovezoChannelDelegate::validateLog(const VUCommonSchemaLog &log)
{
    return validateLogName(log.name);
}

bool VUVezUdudovezoChannelDelegate::validateLogName(const std::optional<QString> &name)
{
    if (!name || name->isEmpty()) {
        VULogError(VULogTag(), "%s Name must not be nil or empty.", qUtf8Printable(kValidationFailed));
        return false;
    }
    static const QRegularExpression pattern(kVULogNameRegex);
    if (!pattern.match(*name).hasMatch()) {
        VULogError(VULogTag(), "%s Name must match '%s' but was '%s'", qUtf8Printable(kValidationFailed),
                   qUtf8Printable(kVULogNameRegex), qUtf8Printable(*name));
        return false;
    }
    return true;
}

void VUVezUdudovezoChannelDelegate::channelDidSetEnabled(VUChannelProtocol *channel, bool isEnabled,
                                                         bool deleteDataOnDisabled)
{
    if (dynamic_cast<VUChannelUnitProtocol *>(channel)) {
        if (const auto twin = twinOf(groupIdOf(channel)))
            twin->setEnabled(isEnabled, deleteDataOnDisabled);
    } else if (dynamic_cast<VUChannelGroupProtocol *>(channel) && !isEnabled && deleteDataOnDisabled) {
        std::lock_guard guard(mLock);
        mEpochsAndSeqsByIKey.clear();
    }
}

void VUVezUdudovezoChannelDelegate::channelDidPauseWithIdentifyingObject(VUChannelProtocol *channel,
                                                                         const void *identifyingObject)
{
    if (const auto twin = twinOf(groupIdOf(channel)))
        twin->pauseWithIdentifyingObject(identifyingObject);
}

void VUVezUdudovezoChannelDelegate::channelDidResumeWithIdentifyingObject(VUChannelProtocol *channel,
                                                                          const void *identifyingObject)
{
    if (const auto twin = twinOf(groupIdOf(channel)))
        twin->resumeWithIdentifyingObject(identifyingObject);
}
