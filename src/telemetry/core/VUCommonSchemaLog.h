#pragma once
// A log in the common schema: one per transmission target token of an ordinary log.
// Its JSON keys come in a fixed order: ver, name, time, iKey, flags, ext, data.

#include "telemetry/core/VUAbstractLog.h"
#include "telemetry/core/VUCSData.h"
#include "telemetry/core/VUCSExtensions.h"

class VUCommonSchemaLog : public VUAbstractLog
{
public:
    QString className() const override { return QStringLiteral("VUCommonSchemaLog"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> ver;
    std::optional<QString> name;
    double popSample = 0;
    std::optional<QString> iKey;
    qint64 flags = 0;
    std::optional<QString> cV;
    std::shared_ptr<VUCSExtensions> ext;
    std::shared_ptr<VUCSData> data;
};
