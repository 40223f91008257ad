#pragma once
// The description of the application and the machine that every telemetry log carries.
// Built by VUDeviceTracker; a plain value afterwards.

#include "telemetry/core/VUWrapperSdk.h"

class VUDevice : public VUWrapperSdk
{
public:
    QString className() const override { return QStringLiteral("VUDevice"); }
    QStringList superclasses() const override { return {QStringLiteral("VUWrapperSdk"), QStringLiteral("NSObject")}; }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> sdkName, sdkVersion, model, oemName, osName, osVersion, osBuild;
    std::optional<qint64> osApiLevel;
    std::optional<QString> locale;
    std::optional<qint64> timeZoneOffset; // minutes east of UTC
    std::optional<QString> screenSize, appVersion, carrierName, carrierCountry, appBuild, appNamespace;
};
