#include "telemetry/core/VUCustomPropertiesLog.h"

#include "telemetry/core/VULogger.h"
#include "telemetry/core/VUUtility.h"

VUJsonObject VUCustomPropertiesLog::serializeProperty(const QVariant &value)
{
    VUJsonObject json = VUJsonObject::object();
    switch (value.metaType().id()) {
    case QMetaType::Nullptr:
        json["type"] = "clear";
        return json;
    case QMetaType::Bool:
        json["type"] = "boolean";
        json["value"] = value.toBool();
        return json;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        json["type"] = "number";
        json["value"] = VUJson::fromVariant(value);
        return json;
    case QMetaType::QDateTime:
        json["type"] = "dateTime";
        json["value"] = VUJson::str(VUUtility::dateToISO8601(value.toDateTime()));
        return json;
    case QMetaType::QString:
        json["type"] = "string";
        json["value"] = VUJson::str(value.toString());
        return json;
    default:
        return nullptr;
    }
}

VUJsonObject VUCustomPropertiesLog::serializeToDictionary() const
{
    VUJsonObject json = VUAbstractLog::serializeToDictionary();
    if (properties) {
        VUJsonObject array = VUJsonObject::array();
        for (auto it = properties->cbegin(); it != properties->cend(); ++it) {
            VUJsonObject property = serializeProperty(it.value());
            if (property.is_null())
                continue;
            property["name"] = VUJson::str(it.key());
            array.push_back(std::move(property));
        }
        json["properties"] = std::move(array);
    }
    return json;
}

bool VUCustomPropertiesLog::isValid() const
{
    if (!VUAbstractLog::isValid() || !properties || properties->isEmpty())
        return false;
    // Every value must have a JSON form; a date outside ISO 8601's four-digit years has none.
    for (auto it = properties->cbegin(); it != properties->cend(); ++it) {
        if (serializeProperty(it.value()).is_null())
            return false;
        if (it.value().metaType().id() == QMetaType::QDateTime && !VUUtility::isWritableDate(it.value().toDateTime()))
            return false;
    }
    return true;
}

bool VUCustomPropertiesLog::isEqual(const VUModel *other) const
{
    const auto *log = dynamic_cast<const VUCustomPropertiesLog *>(other);
    return log && VUAbstractLog::isEqual(other) && properties == log->properties;
}

void VUCustomPropertiesLog::encodeWithCoder(VUCoder &coder) const
{
    VUAbstractLog::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("customProperties"), mOwnType);
    if (properties)
        coder.encodeValue(QStringLiteral("properties"), *properties);
}

bool VUCustomPropertiesLog::initWithCoder(const VUCoder &coder)
{
    VUAbstractLog::initWithCoder(coder);
    mOwnType = coder.decodeString(QStringLiteral("customProperties"));
    properties.reset();
    const QVariant value = coder.decodeValue(QStringLiteral("properties"));
    if (value.isValid()) {
        if (value.metaType().id() != QMetaType::QVariantMap) {
            coder.fail();
        } else {
            properties = value.toMap();
            // A value of a class no property has cannot be sent: the log is damaged, not
            // something to send without it.
            for (auto it = properties->cbegin(); it != properties->cend(); ++it) {
                if (serializeProperty(it.value()).is_null()) {
                    VULogError(VULogTag(), "Custom property '%s' holds a value of unknown class %s; the log is damaged.",
                               qUtf8Printable(it.key()), it.value().typeName() ? it.value().typeName() : "(none)");
                    coder.fail();
                }
            }
        }
    }
    return !coder.failed();
}
