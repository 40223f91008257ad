#pragma once
// The common base of the crash log: which process died, in which thread, when it was
// launched and whether the error was fatal. Never made by itself. Valid when the log base is
// and the error id, process id and process name are present; "fatal" is always written.

#include "telemetry/core/VULogWithProperties.h"

class VUAbstractErrorLog : public VULogWithProperties
{
public:
    QString className() const override { return QStringLiteral("VUAbstractErrorLog"); }
    QStringList superclasses() const override;
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> errorId; // "id"
    std::optional<quint64> processId;
    std::optional<QString> processName;
    std::optional<quint64> parentProcessId;
    std::optional<QString> parentProcessName;
    std::optional<qint64> errorThreadId;
    std::optional<QString> errorThreadName;
    bool fatal = false;
    std::optional<QDateTime> appLaunchTimestamp;
    std::optional<QString> architecture;
};
