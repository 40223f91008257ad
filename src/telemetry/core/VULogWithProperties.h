#pragma once
// A log with string properties: the base of the event and page logs.

#include "telemetry/core/VUAbstractLog.h"

#include <QMap>

class VULogWithProperties : public VUAbstractLog
{
public:
    QString className() const override { return QStringLiteral("VULogWithProperties"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QMap<QString, QString>> properties;
};
