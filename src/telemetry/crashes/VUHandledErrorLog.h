#pragma once
// An exception the application reports without crashing ("handledError"). Valid when the
// log base is and it has an error id and an exception (whose own validity is not asked).

#include "telemetry/core/VULogWithProperties.h"
#include "telemetry/crashes/VUException.h"

class VUHandledErrorLog : public VULogWithProperties
{
public:
    VUHandledErrorLog() { setType(QStringLiteral("handledError")); }

    QString className() const override { return QStringLiteral("VUHandledErrorLog"); }
    QStringList superclasses() const override;
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> errorId; // "id"
    std::shared_ptr<VUException> exception;
};
