#pragma once
// The crash log ("appleError"): one crash of an earlier run, built from its report by
// VUErrorLogFormatter. The crash service stamps it with the session and user id of the
// crash time, so the session tracker leaves it alone. Valid when the error-log base is and
// the CPU type, application path and the signal's name, code and address are present.

#include "telemetry/crashes/VUAbstractErrorLog.h"
#include "telemetry/crashes/VUBinary.h"
#include "telemetry/crashes/VUThread.h"

#include <QMap>

class VUAppleErrorLog : public VUAbstractErrorLog, public VUNoAutoAssignSessionIdLog
{
public:
    VUAppleErrorLog() { setType(QStringLiteral("appleError")); }

    QString className() const override { return QStringLiteral("VUAppleErrorLog"); }
    QStringList superclasses() const override;
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<quint64> primaryArchitectureId;
    std::optional<quint64> architectureVariantId;
    std::optional<QString> applicationPath;
    std::optional<QString> osExceptionType;
    std::optional<QString> osExceptionCode;
    std::optional<QString> osExceptionAddress;
    std::optional<QString> exceptionType;
    std::optional<QString> exceptionReason;
    std::optional<QString> selectorRegisterValue;
    std::optional<QList<std::shared_ptr<VUThread>>> threads;
    std::optional<QList<std::shared_ptr<VUBinary>>> binaries;
    std::optional<QMap<QString, QString>> registers;
    std::shared_ptr<VUException> exception;
};
