#pragma once
// Time-stamped history records: which session, device description or user id was current
// from a given moment. Archived in the user defaults; they have no equality of their own
// (isEqual compares identity).

#include "telemetry/core/VUModel.h"

class VUDevice;

class VUHistoryInfo : public VUModel
{
public:
    VUHistoryInfo() = default;
    explicit VUHistoryInfo(const QDateTime &timestamp) : timestamp(timestamp) {}

    QString className() const override { return QStringLiteral("VUHistoryInfo"); }
    VUJsonObject serializeToDictionary() const override { return nullptr; }
    bool isEqual(const VUModel *other) const override { return other == this; }
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QDateTime> timestamp;

protected:
    static QStringList historySuperclasses() { return {QStringLiteral("VUHistoryInfo"), QStringLiteral("NSObject")}; }
};

class VUSessionHistoryInfo : public VUHistoryInfo
{
public:
    VUSessionHistoryInfo() = default;
    VUSessionHistoryInfo(const QDateTime &timestamp, std::optional<QString> sessionId)
        : VUHistoryInfo(timestamp), sessionId(std::move(sessionId)) {}

    QString className() const override { return QStringLiteral("VUSessionHistoryInfo"); }
    QStringList superclasses() const override { return historySuperclasses(); }
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> sessionId;
};

class VUDeviceHistoryInfo : public VUHistoryInfo
{
public:
    VUDeviceHistoryInfo() = default;
    VUDeviceHistoryInfo(const QDateTime &timestamp, std::shared_ptr<VUDevice> device)
        : VUHistoryInfo(timestamp), device(std::move(device)) {}

    QString className() const override { return QStringLiteral("VUDeviceHistoryInfo"); }
    QStringList superclasses() const override { return historySuperclasses(); }
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::shared_ptr<VUDevice> device;
};

class VUUserIdHistoryInfo : public VUHistoryInfo
{
public:
    VUUserIdHistoryInfo() = default;
    VUUserIdHistoryInfo(const QDateTime &timestamp, std::optional<QString> userId)
        : VUHistoryInfo(timestamp), userId(std::move(userId)) {}

    QString className() const override { return QStringLiteral("VUUserIdHistoryInfo"); }
    QStringList superclasses() const override { return historySuperclasses(); }
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> userId;
};
