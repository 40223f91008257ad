#pragma once
// One loaded image of a crash: its id (UUID as 32 lower-case hex digits, "???" without
// one), first and last address, name, anonymised path and Mach CPU type and subtype.
// Valid with id, both addresses, name and path.

#include "telemetry/core/VUModel.h"

class VUBinary : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUBinary"); }
    VUJsonObject serializeToDictionary() const override;
    bool isValid() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> binaryId; // "id"
    std::optional<QString> startAddress;
    std::optional<QString> endAddress;
    std::optional<QString> name;
    std::optional<QString> path;
    std::optional<QString> architecture;
    std::optional<quint64> primaryArchitectureId;
    std::optional<quint64> architectureVariantId;
};
