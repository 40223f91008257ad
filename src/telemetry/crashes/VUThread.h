#pragma once
// One thread of a crash with its frames, innermost first; the crashed thread also carries
// the uncaught exception. A new thread starts with an empty frame list. Valid with an id
// and at least one frame.

#include "telemetry/crashes/VUException.h"

class VUThread : public VUModel
{
public:
    VUThread() : frames(QList<std::shared_ptr<VUStackFrame>>()) {}

    QString className() const override { return QStringLiteral("VUThread"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<qint64> threadId; // "id"
    std::optional<QString> name;
    std::optional<QList<std::shared_ptr<VUStackFrame>>> frames;
    std::shared_ptr<VUException> exception;
};
