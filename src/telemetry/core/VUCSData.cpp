#include "telemetry/core/VUCSData.h"

#include "telemetry/core/VUOrderedDictionary.h"

namespace {
const QString kUnkeyedRoot = QStringLiteral("$0");
}

VUJsonObject VUCSData::serializeToDictionary() const
{
    if (!properties)
        return nullptr;
    VUOrderedDictionary ordered;
    for (const QString &key : {QStringLiteral("baseType"), QStringLiteral("baseData")})
        if (properties->contains(key))
            ordered.setObject(VUJson::fromVariant(properties->value(key)), key);
    for (auto it = properties->cbegin(); it != properties->cend(); ++it)
        if (it.key() != QLatin1String("baseType") && it.key() != QLatin1String("baseData"))
            ordered.setObject(VUJson::fromVariant(it.value()), it.key());
    return ordered.json();
}

bool VUCSData::isEqual(const VUModel *other) const
{
    const auto *data = dynamic_cast<const VUCSData *>(other);
    return data && properties == data->properties;
}

void VUCSData::encodeWithCoder(VUCoder &coder) const
{
    if (properties)
        coder.encodeValue(kUnkeyedRoot, *properties);
}

bool VUCSData::initWithCoder(const VUCoder &coder)
{
    properties.reset();
    const QVariant value = coder.decodeValue(kUnkeyedRoot);
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantMap)
            coder.fail();
        else
            properties = value.toMap();
    }
    return !coder.failed();
}
