#pragma once
// The extensions of a common-schema log ("ext"): sdk, device, user, os, net, app, protocol,
// loc and metadata. Each writes its present fields under their keys and serialises to
// nothing (a null JSON value) when it has none, so the container leaves its key out.
// VUCSEpochAndSeq is the per-target sequence counter of the sdk extension.

#include "telemetry/core/VUModel.h"

#include <QUuid>

// Shared shape of the extensions made only of optional strings.
class VUCSStringExtension : public VUModel
{
public:
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

protected:
    // Keys and fields, in the order they are written.
    virtual QList<QPair<QString, const std::optional<QString> *>> stringFields() const = 0;
    QList<QPair<QString, std::optional<QString> *>> mutableStringFields();
};

class VUSDKExtension : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUSDKExtension"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> libVer;
    std::optional<QString> epoch;
    qint64 seq = 0;
    std::optional<QUuid> installId;
};

class VUDeviceExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VUDeviceExtension"); }
    std::optional<QString> localId;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("localId"), &localId}};
    }
};

class VUUserExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VUUserExtension"); }
    std::optional<QString> localId;
    std::optional<QString> locale;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("localId"), &localId}, {QStringLiteral("locale"), &locale}};
    }
};

class VUOSExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VUOSExtension"); }
    std::optional<QString> name;
    std::optional<QString> ver;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("ver"), &ver}, {QStringLiteral("name"), &name}};
    }
};

class VUNetExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VUNetExtension"); }
    std::optional<QString> provider;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("provider"), &provider}};
    }
};

class VUAppExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VUAppExtension"); }
    std::optional<QString> appId;
    std::optional<QString> ver;
    std::optional<QString> name;
    std::optional<QString> locale;
    std::optional<QString> userId;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("id"), &appId},
                {QStringLiteral("ver"), &ver},
                {QStringLiteral("name"), &name},
                {QStringLiteral("locale"), &locale},
                {QStringLiteral("userId"), &userId}};
    }
};

class VULocExtension : public VUCSStringExtension
{
public:
    QString className() const override { return QStringLiteral("VULocExtension"); }
    std::optional<QString> tz;

protected:
    QList<QPair<QString, const std::optional<QString> *>> stringFields() const override
    {
        return {{QStringLiteral("tz"), &tz}};
    }
};

class VUProtocolExtension : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUProtocolExtension"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QStringList> ticketKeys;
    std::optional<QString> devMake;
    std::optional<QString> devModel;
};

class VUMetadataExtension : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUMetadataExtension"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QVariantMap> metadata;
};

class VUCSEpochAndSeq
{
public:
    explicit VUCSEpochAndSeq(QString epoch) : epoch(std::move(epoch)) {}
    QString epoch;
    quint64 seq = 0;
};
