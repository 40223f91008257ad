#include "telemetry/core/VULogWithProperties.h"

VUJsonObject VULogWithProperties::serializeToDictionary() const
{
    VUJsonObject json = VUAbstractLog::serializeToDictionary();
    if (properties && !properties->isEmpty()) {
        VUJsonObject object = VUJsonObject::object();
        for (auto it = properties->cbegin(); it != properties->cend(); ++it)
            object[VUJson::str(it.key())] = VUJson::str(it.value());
        json["properties"] = std::move(object);
    }
    return json;
}

bool VULogWithProperties::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VULogWithProperties *>(other);
    return log && VUAbstractLog::isEqual(other) && properties == log->properties;
}

void VULogWithProperties::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractLog::encodeWithCoder(coder);
    if (properties) {
        QVariantMap map;
        for (auto it = properties->cbegin(); it != properties->cend(); ++it)
            map.insert(it.key(), it.value());
        coder.encodeValue(QStringLiteral("properties"), map);
    }
}

bool VULogWithProperties::initWithCoder(const VUCoder &coder)
{
    VUAbstractLog::initWithCoder(coder);
    properties.reset();
    const QVariant value = coder.decodeValue(QStringLiteral("properties"));
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantMap) {
            coder.fail();
        } else {
            QMap<QString, QString> map;
            const QVariantMap raw = value.toMap();
            for (auto it = raw.cbegin(); it != raw.cend(); ++it) {
                if (it.value().metaType().id() != QMetaType::QString)
                    coder.fail();
                map.insert(it.key(), it.value().toString());
            }
            properties = map;
        }
    }
    return !coder.failed();
}
