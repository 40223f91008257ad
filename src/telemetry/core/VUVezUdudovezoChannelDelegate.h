#pragma once
// Routes logs that carry transmission target tokens to the common-schema endpoint: every
// ordinary channel unit gets a twin (its group id followed by "/one") that sends through
// the common-schema ingestion; a log with tokens leaves its own unit as one common-schema
// log per token on the twin; common-schema logs are numbered per instrumentation key
// (epoch and seq, once, in the twin) and their names validated; enabling, disabling,
// pausing and resuming a unit is mirrored onto its twin. A log whose twin is missing is
// reported as failed rather than dropped silently.
//
// Thread-safe: the twin table and the epoch counters are guarded by one lock, which is
// never held while a unit or the group is called.

#include "telemetry/core/VUChannelProtocols.h"
#include "telemetry/core/VUCSExtensionRecords.h"

#include <QMap>
#include <QUuid>

#include <mutex>

class VUCommonSchemaLog;
class VUIngestionProtocol;

class VUVezUdudovezoChannelDelegate : public VUChannelDelegate
{
public:
    static inline const QString kVUVezUdudovezoGroupIdSuffix = QStringLiteral("/one");
    static inline const QString kVULogNameRegex =
        QStringLiteral("^[a-zA-Z0-9]((\\.(?!(\\.|$)))|[_a-zA-Z0-9]){3,99}$");
    // The common-schema endpoint's base URL.
    static inline const QString kVUDefaultVezUdudovezoUrl = QStringLiteral("https://one.vovudezir.invalid");

    VUVezUdudovezoChannelDelegate(const QUuid &installId, const QString &baseUrl = kVUDefaultVezUdudovezoUrl);
    // With an ingestion of the caller's (tests).
    VUVezUdudovezoChannelDelegate(const QUuid &installId, std::shared_ptr<VUIngestionProtocol> ingestion);

    void channelGroupDidAddChannelUnit(VUChannelGroupProtocol *group,
                                       const std::shared_ptr<VUChannelUnitProtocol> &unit) override;
    void channelPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidPrepareLog(VUChannelProtocol *channel, const std::shared_ptr<VUAbstractLog> &log,
                              const QString &internalId, quint64 flags) override;
    bool channelUnitShouldFilterLog(VUChannelUnitProtocol *unit, const std::shared_ptr<VUAbstractLog> &log) override;
    void channelDidSetEnabled(VUChannelProtocol *channel, bool isEnabled, bool deleteDataOnDisabled) override;
    void channelDidPauseWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) override;
    void channelDidResumeWithIdentifyingObject(VUChannelProtocol *channel, const void *identifyingObject) override;

    static bool isVezUdudovezoGroup(const QString &groupId);
    static bool shouldSendLogToVezUdudovezo(const std::shared_ptr<VUAbstractLog> &log);
    static bool validateLog(const VUCommonSchemaLog &log);
    static bool validateLogName(const std::optional<QString> &name);

    std::shared_ptr<VUIngestionProtocol> vezUdudovezoIngestion() const { return mIngestion; }
    std::shared_ptr<VUChannelUnitProtocol> twinOf(const QString &groupId) const;
    QUuid installId() const { return mInstallId; }

private:
    std::shared_ptr<VUIngestionProtocol> mIngestion;
    QUuid mInstallId;
    mutable std::mutex mLock;
    QMap<QString, std::shared_ptr<VUChannelUnitProtocol>> mVezUdudovezoChannels;
    QMap<QString, VUCSEpochAndSeq> mEpochsAndSeqsByIKey;
};
