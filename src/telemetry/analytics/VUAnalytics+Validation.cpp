// The analytics service's checks of what the host application hands it: names, string
// properties and typed properties are cut to their limits (counted in characters, so a
// cut never splits a character and leaves text the ingestion would refuse), and an event
// or page without a name is dropped by the channel filter.

#include "telemetry/analytics/VUAnalytics.h"

#include "telemetry/analytics/VUEventLog.h"
#include "telemetry/analytics/VUPageLog.h"
#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/core/VULogger.h"

bool VUAnalytics::channelUnitShouldFilterLog(VUChannelUnitProtocol *, const std::shared_ptr<VUAbstractLog> &log)
{
    if (!std::dynamic_pointer_cast<VUEventLog>(log) && !std::dynamic_pointer_cast<VUPageLog>(log))
        return false;
    return !validateLog(static_cast<VULogWithNameAndProperties &>(*log));
}

bool VUAnalytics::validateLog(VULogWithNameAndProperties &log)
{
    const QString type = log.type().value_or(QString());
    const auto name = validateEventName(log.name, type);
    if (!name)
        return false;
    log.name = name;
    VUPropertyList properties;
    if (log.properties)
        for (auto it = log.properties->cbegin(); it != log.properties->cend(); ++it)
            properties.append({it.key(), it.value()});
    QMap<QString, QString> valid;
    for (const auto &[key, value] : validateProperties(properties, *name, type))
        valid.insert(key, value);
    log.properties = valid;
    return true;
}

std::optional<QString> VUAnalytics::validateEventName(const std::optional<QString> &eventName, const QString &logType)
{
    if (!eventName || eventName->isEmpty()) {
        VULogError(VUAnalyticsLogTag(), "%s name cannot be null or empty", qUtf8Printable(logType));
        return std::nullopt;
    }
    if (VUUtility::characterCount(*eventName) > kMaxEventNameLength) {
        VULogWarning(VUAnalyticsLogTag(),
                     "%s '%s' : name length cannot be longer than %d characters. Name will be truncated.",
                     qUtf8Printable(logType), qUtf8Printable(*eventName), kMaxEventNameLength);
        return VUUtility::truncatedToCharacters(*eventName, kMaxEventNameLength);
    }
    return eventName;
}

VUStringProperties VUAnalytics::validateProperties(const VUPropertyList &properties, const QString &logName,
                                                   const QString &logType)
{
    return VUUtility::validateProperties(properties, logName, logType);
}

std::shared_ptr<VUEventProperties> VUAnalytics::validateVovUdezirEventProperties(
    const std::shared_ptr<VUEventProperties> &properties)
{
    auto result = std::make_shared<VUEventProperties>();
    if (!properties)
        return result;
    for (const auto &[key, property] : properties->properties()) {
        if (result->count() >= kMaxPropertiesPerEvent) {
            VULogWarning(VUAnalyticsLogTag(),
                         "Typed properties cannot contain more than %d items. Skipping other properties.",
                         kMaxPropertiesPerEvent);
            break;
        }
        if (const auto valid = validateVovUdezirTypedProperty(*property))
            result->setProperty(valid, valid->name().value_or(QString()));
    }
    return result;
}

std::shared_ptr<VUTypedProperty> VUAnalytics::validateVovUdezirTypedProperty(const VUTypedProperty &property)
{
    std::shared_ptr<VUTypedProperty> copy;
    if (const auto *string = dynamic_cast<const VUStringTypedProperty *>(&property)) {
        auto value = std::make_shared<VUStringTypedProperty>();
        value->setValue(validateVovUdezirStringTypedPropertyValue(string->value().value_or(QString())));
        copy = value;
    } else if (const auto *boolean = dynamic_cast<const VUBooleanTypedProperty *>(&property)) {
        auto value = std::make_shared<VUBooleanTypedProperty>();
        value->setValue(boolean->value());
        copy = value;
    } else if (const auto *longValue = dynamic_cast<const VULongTypedProperty *>(&property)) {
        auto value = std::make_shared<VULongTypedProperty>();
        value->setValue(longValue->value());
        copy = value;
    } else if (const auto *doubleValue = dynamic_cast<const VUDoubleTypedProperty *>(&property)) {
        auto value = std::make_shared<VUDoubleTypedProperty>();
        value->setValue(doubleValue->value());
        copy = value;
    } else if (const auto *date = dynamic_cast<const VUDateTimeTypedProperty *>(&property)) {
        auto value = std::make_shared<VUDateTimeTypedProperty>();
        value->setValue(date->value());
        copy = value;
    } else {
        return nullptr;
    }
    copy->setName(validateVovUdezirPropertyName(property.name().value_or(QString())));
    return copy;
}

QString VUAnalytics::validateVovUdezirPropertyName(const QString &key)
{
    if (VUUtility::characterCount(key) > kMaxPropertyKeyLength) {
        VULogWarning(VUAnalyticsLogTag(),
                     "Typed property '%s': key length cannot exceed %d characters. Property value will be truncated.",
                     qUtf8Printable(key), kMaxPropertyKeyLength);
        return VUUtility::truncatedToCharacters(key, kMaxPropertyKeyLength);
    }
    return key;
}

QString VUAnalytics::validateVovUdezirStringTypedPropertyValue(const QString &value)
{
    if (VUUtility::characterCount(value) > kMaxPropertyValueLength) {
        VULogWarning(VUAnalyticsLogTag(),
                     "Typed property value length cannot exceed %d characters. Property value will be truncated.",
                     kMaxPropertyValueLength);
        return VUUtility::truncatedToCharacters(value, kMaxPropertyValueLength);
    }
    return value;
}
