#include "telemetry/core/VUCSExtensionRecords.h"

using VUJson::str;

namespace {
// The archive's unkeyed root object of a dictionary-only record.
const QString kUnkeyedRoot = QStringLiteral("$0");
} // namespace

QList<QPair<QString, std::optional<QString> *>> VUCSStringExtension::mutableStringFields()
{
    QList<QPair<QString, std::optional<QString> *>> fields;
    for (const auto &[key, field] : stringFields())
        fields.append({key, const_cast<std::optional<QString> *>(field)});
    return fields;
}

VUJsonObject VUCSStringExtension::serializeToDictionary() const
{
    VUJsonObject json;
    for (const auto &[key, field] : stringFields())
        if (*field)
            json[str(key)] = str(**field);
    return json;
}

bool VUCSStringExtension::isEqual(const VUModel *other) const
{
    if (!other || other->className() != className())
        return false;
    const auto mine = stringFields();
    const auto theirs = static_cast<const VUCSStringExtension *>(other)->stringFields();
    for (int i = 0; i < mine.size(); ++i)
        if (*mine.at(i).second != *theirs.at(i).second)
            return false;
    return true;
}

void VUCSStringExtension::encodeWithCoder(VUCoder &coder) const
{
    for (const auto &[key, field] : stringFields())
        coder.encodeString(key, *field);
}

bool VUCSStringExtension::initWithCoder(const VUCoder &coder)
{
    for (const auto &[key, field] : mutableStringFields())
        *field = coder.decodeString(key);
    return !coder.failed();
}

// sdk
VUJsonObject VUSDKExtension::serializeToDictionary() const
{
    VUJsonObject json;
    if (libVer)
        json["libVer"] = str(*libVer);
    if (epoch)
        json["epoch"] = str(*epoch);
    if (installId)
        json["installId"] = str(installId->toString(QUuid::WithoutBraces).toUpper());
    if (seq != 0)
        json["seq"] = static_cast<std::int64_t>(seq);
    return json;
}

bool VUSDKExtension::isEqual(const VUModel *other) const
{
    const auto *sdk = dynamic_cast<const VUSDKExtension *>(other);
    return sdk && libVer == sdk->libVer && epoch == sdk->epoch && seq == sdk->seq && installId == sdk->installId;
}

void VUSDKExtension::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("libVer"), libVer);
    coder.encodeString(QStringLiteral("epoch"), epoch);
    coder.encodeInt64(QStringLiteral("seq"), seq);
    if (installId)
        coder.encodeString(QStringLiteral("installId"), installId->toString(QUuid::WithoutBraces).toUpper());
}

bool VUSDKExtension::initWithCoder(const VUCoder &coder)
{
    libVer = coder.decodeString(QStringLiteral("libVer"));
    epoch = coder.decodeString(QStringLiteral("epoch"));
    seq = coder.decodeInt64(QStringLiteral("seq"));
    installId.reset();
    if (const auto text = coder.decodeString(QStringLiteral("installId"))) {
        const QUuid uuid(*text);
        if (uuid.isNull())
            coder.fail();
        else
            installId = uuid;
    }
    return !coder.failed();
}

// protocol
VUJsonObject VUProtocolExtension::serializeToDictionary() const
{
    VUJsonObject json;
    if (ticketKeys) {
        json["ticketKeys"] = VUJsonObject::array();
        for (const QString &key : *ticketKeys)
            json["ticketKeys"].push_back(str(key));
    }
    if (devMake)
        json["devMake"] = str(*devMake);
    if (devModel)
        json["devModel"] = str(*devModel);
    return json;
}

bool VUProtocolExtension::isEqual(const VUModel *other) const
{
    const auto *protocol = dynamic_cast<const VUProtocolExtension *>(other);
    return protocol && ticketKeys == protocol->ticketKeys && devMake == protocol->devMake &&
           devModel == protocol->devModel;
}

void VUProtocolExtension::encodeWithCoder(VUCoder &coder) const
{
    if (ticketKeys)
        coder.encodeValue(QStringLiteral("ticketKeys"), QVariant(*ticketKeys).toList());
    coder.encodeString(QStringLiteral("devMake"), devMake);
    coder.encodeString(QStringLiteral("devModel"), devModel);
}

bool VUProtocolExtension::initWithCoder(const VUCoder &coder)
{
    ticketKeys.reset();
    const QVariant keys = coder.decodeValue(QStringLiteral("ticketKeys"));
    if (keys.isValid()) {
        if (keys.metaType().id() != QMetaType::QVariantList)
            coder.fail();
        else
            ticketKeys = keys.toStringList();
    }
    devMake = coder.decodeString(QStringLiteral("devMake"));
    devModel = coder.decodeString(QStringLiteral("devModel"));
    return !coder.failed();
}

// metadata
VUJsonObject VUMetadataExtension::serializeToDictionary() const
{
    if (!metadata)
        return nullptr;
    return VUJson::fromVariant(*metadata);
}

bool VUMetadataExtension::isEqual(const VUModel *other) const
{
    const auto *extension = dynamic_cast<const VUMetadataExtension *>(other);
    return extension && metadata == extension->metadata;
}

void VUMetadataExtension::encodeWithCoder(VUCoder &coder) const
{
    if (metadata)
        coder.encodeValue(kUnkeyedRoot, *metadata);
}

bool VUMetadataExtension::initWithCoder(const VUCoder &coder)
{
    metadata.reset();
    const QVariant value = coder.decodeValue(kUnkeyedRoot);
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantMap)
            coder.fail();
        else
            metadata = value.toMap();
    }
    return !coder.failed();
}
