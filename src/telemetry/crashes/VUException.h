#pragma once
// An exception with its frames and nested exceptions: the uncaught exception of a crash
// (its name, or the signal name, as type), a handled error the application reports, or
// the model a wrapper SDK saved. Valid when it has a type and at least one frame.

#include "telemetry/crashes/VUStackFrame.h"

#include <QList>

class VUException : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUException"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> type;
    std::optional<QString> message;
    std::optional<QString> stackTrace;
    std::optional<QList<std::shared_ptr<VUStackFrame>>> frames;
    std::optional<QList<std::shared_ptr<VUException>>> innerExceptions;
    std::optional<QString> wrapperSdkName;
};
