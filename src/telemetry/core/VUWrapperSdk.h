#pragma once
// The optional wrapper-SDK fields of a device description (the base of VUDevice).

#include "telemetry/core/VUModel.h"

class VUWrapperSdk : public VUModel
{
public:
    VUWrapperSdk() = default;
    VUWrapperSdk(std::optional<QString> wrapperSdkVersion, std::optional<QString> wrapperSdkName,
                 std::optional<QString> wrapperRuntimeVersion, std::optional<QString> liveUpdateReleaseLabel,
                 std::optional<QString> liveUpdateDeploymentKey, std::optional<QString> liveUpdatePackageHash);

    QString className() const override { return QStringLiteral("VUWrapperSdk"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override { return true; }
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> wrapperSdkVersion, wrapperSdkName, wrapperRuntimeVersion, liveUpdateReleaseLabel,
        liveUpdateDeploymentKey, liveUpdatePackageHash;

protected:
    using StringField = std::optional<QString> VUWrapperSdk::*;
    static const QList<QPair<QString, StringField>> &wrapperFields();
};
