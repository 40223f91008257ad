#pragma once
// One frame of a crashed thread or an exception, innermost first in its list. "address" is
// the instruction address as text ("0x" and 16 lower-case hex digits on 64-bit code);
// "code" the symbol or image base plus an offset. The managed-frame fields come from
// wrapper SDKs. A plain value; it has no validity rule of its own.

#include "telemetry/core/VUModel.h"

class VUStackFrame : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUStackFrame"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> address;
    std::optional<QString> code;
    std::optional<QString> frameClassName; // "className"
    std::optional<QString> methodName;
    std::optional<qint64> lineNumber;
    std::optional<QString> fileName;
};
