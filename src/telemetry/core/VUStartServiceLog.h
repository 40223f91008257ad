#pragma once
// Sent by the core with the names of the services it started.

#include "telemetry/core/VUAbstractLog.h"

class VUStartServiceLog : public VUAbstractLog, public VUNoAutoAssignSessionIdLog
{
public:
    VUStartServiceLog() { setType(QStringLiteral("startService")); }

    QString className() const override { return QStringLiteral("VUStartServiceLog"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QStringList> services;
};
