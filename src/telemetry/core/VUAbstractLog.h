#pragma once
// The base of every telemetry log: its JSON object (sent inside a batch), its keyed archive
// (how an unsent log survives a restart in the log database) and its conversion into one
// common-schema log per transmission target token.
//
// A log is built on its sender's thread and then handed to the telemetry queue; it is not
// changed after it is stored. Only the token set is guarded (by the log's own lock), as the
// common-schema pipeline adds tokens from another thread.

#include "telemetry/core/VUModel.h"

#include <QSet>

#include <mutex>

class VUCommonSchemaLog;
class VUDevice;

// Marker of log classes that the session tracker does not stamp with the session id.
class VUNoAutoAssignSessionIdLog
{
public:
    virtual ~VUNoAutoAssignSessionIdLog() = default;
};

class VUAbstractLog : public VUModel
{
public:
    VUAbstractLog() = default;
    VUAbstractLog(const VUAbstractLog &other);
    VUAbstractLog &operator=(const VUAbstractLog &) = delete;

    QString className() const override { return QStringLiteral("VUAbstractLog"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    // The JSON text of the log; nothing when it cannot be written.
    std::optional<QString> serializeLogWithPrettyPrinting(bool prettyPrint) const;

    std::optional<QSet<QString>> transmissionTargetTokens() const;
    void setTransmissionTargetTokens(const std::optional<QSet<QString>> &tokens);
    void addTransmissionTargetToken(const QString &token);

    QList<std::shared_ptr<VUCommonSchemaLog>> toCommonSchemaLogsWithFlags(quint64 flags) const;
    virtual std::shared_ptr<VUCommonSchemaLog> toCommonSchemaLogForTargetToken(const QString &token,
                                                                               quint64 flags) const;
    static std::optional<QString> combineOsVersion(const std::optional<QString> &version,
                                                   const std::optional<QString> &build);
    static std::optional<QString> combineSDKLibVer(const std::optional<QString> &name,
                                                   const std::optional<QString> &version);
    static QString convertTimeZoneOffsetToISO8601(qint64 minutes);

    // The log's type; a subclass that keeps its own type field overrides these.
    virtual std::optional<QString> type() const { return mType; }
    virtual void setType(const std::optional<QString> &type) { mType = type; }

    std::optional<QDateTime> timestamp;
    std::optional<QString> sid;
    std::optional<QString> distributionGroupId;
    std::optional<QString> userId;
    std::shared_ptr<VUDevice> device;
    // The object on whose behalf the log is sent; compared by identity, never stored.
    std::shared_ptr<void> tag;

protected:
    static QStringList logSuperclasses() { return {QStringLiteral("VUAbstractLog"), QStringLiteral("NSObject")}; }

private:
    std::optional<QString> mType;
    mutable std::recursive_mutex mTokensLock;
    std::optional<QSet<QString>> mTransmissionTargetTokens;
};
