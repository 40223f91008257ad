#pragma once
// The "data" object of a common-schema log; "baseType" and "baseData" are written first.

#include "telemetry/core/VUModel.h"

class VUCSData : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUCSData"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QVariantMap> properties;
};
