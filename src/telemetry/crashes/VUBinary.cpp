#include "telemetry/crashes/VUBinary.h"

#include "telemetry/crashes/VUCrashesCoding.h"

using VUJson::str;

VUJsonObject VUBinary::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (binaryId)
        json["id"] = str(*binaryId);
    if (startAddress)
        json["startAddress"] = str(*startAddress);
    if (endAddress)
        json["endAddress"] = str(*endAddress);
    if (name)
        json["name"] = str(*name);
    if (path)
        json["path"] = str(*path);
    if (architecture)
        json["architecture"] = str(*architecture);
    if (primaryArchitectureId)
        json["primaryArchitectureId"] = *primaryArchitectureId;
    if (architectureVariantId)
        json["architectureVariantId"] = *architectureVariantId;
    return json;
}

bool VUBinary::isValid() const
{
    return binaryId && startAddress && endAddress && name && path;
}

bool VUBinary::isEqual(const VUModel *other) const
{
    const auto *binary = dynamic_cast<const VUBinary *>(other);
    return binary && binaryId == binary->binaryId && startAddress == binary->startAddress &&
           endAddress == binary->endAddress && name == binary->name && path == binary->path &&
           architecture == binary->architecture && primaryArchitectureId == binary->primaryArchitectureId &&
           architectureVariantId == binary->architectureVariantId;
}

void VUBinary::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("id"), binaryId);
    coder.encodeString(QStringLiteral("startAddress"), startAddress);
    coder.encodeString(QStringLiteral("endAddress"), endAddress);
    coder.encodeString(QStringLiteral("name"), name);
    coder.encodeString(QStringLiteral("path"), path);
    coder.encodeString(QStringLiteral("architecture"), architecture);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("primaryArchitectureId"), primaryArchitectureId);
    VUCrashesCoding::encodeUnsigned(coder, QStringLiteral("architectureVariantId"), architectureVariantId);
}

bool VUBinary::initWithCoder(const VUCoder &coder)
{
    binaryId = coder.decodeString(QStringLiteral("id"));
    startAddress = coder.decodeString(QStringLiteral("startAddress"));
    endAddress = coder.decodeString(QStringLiteral("endAddress"));
    name = coder.decodeString(QStringLiteral("name"));
    path = coder.decodeString(QStringLiteral("path"));
    architecture = coder.decodeString(QStringLiteral("architecture"));
    primaryArchitectureId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("primaryArchitectureId"));
    architectureVariantId = VUCrashesCoding::decodeUnsigned(coder, QStringLiteral("architectureVariantId"));
    return !coder.failed();
}
