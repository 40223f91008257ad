#pragma once
// The "ext" object of a common-schema log: up to nine named extensions, each optional.

#include "telemetry/core/VUCSExtensionRecords.h"

class VUCSExtensions : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUCSExtensions"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::shared_ptr<VUMetadataExtension> metadataExt;
    std::shared_ptr<VUProtocolExtension> protocolExt;
    std::shared_ptr<VUUserExtension> userExt;
    std::shared_ptr<VUDeviceExtension> deviceExt;
    std::shared_ptr<VUOSExtension> osExt;
    std::shared_ptr<VUAppExtension> appExt;
    std::shared_ptr<VUNetExtension> netExt;
    std::shared_ptr<VUSDKExtension> sdkExt;
    std::shared_ptr<VULocExtension> locExt;

private:
    // Key and extension in declaration order.
    QList<QPair<QString, const VUModel *>> entries() const;
};
