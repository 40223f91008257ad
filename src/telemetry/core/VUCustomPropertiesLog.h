#pragma once
// Custom properties of the installation: name to value, where a value is a string, a
// number, a boolean, a date or null (null clears the property).

#include "telemetry/core/VUAbstractLog.h"

class VUCustomPropertiesLog : public VUAbstractLog
{
public:
    VUCustomPropertiesLog() { setType(QStringLiteral("customProperties")); }

    QString className() const override { return QStringLiteral("VUCustomPropertiesLog"); }
    QStringList superclasses() const override { return logSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    // This class keeps its type in a field of its own; the base field stays empty.
    std::optional<QString> type() const override { return mOwnType; }
    void setType(const std::optional<QString> &type) override { mOwnType = type; }

    // One property value as its JSON object (without "name"); null for unsupported kinds.
    static VUJsonObject serializeProperty(const QVariant &value);

    std::optional<QVariantMap> properties;

private:
    std::optional<QString> mOwnType;
};
