#pragma once
// A log with a name as well as string properties: the base of the event and page logs.

#include "telemetry/core/VULogWithProperties.h"

class VULogWithNameAndProperties : public VULogWithProperties
{
public:
    QString className() const override { return QStringLiteral("VULogWithNameAndProperties"); }
    QStringList superclasses() const override
    {
        return QStringList{QStringLiteral("VULogWithProperties")} + logSuperclasses();
    }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> name;
};
