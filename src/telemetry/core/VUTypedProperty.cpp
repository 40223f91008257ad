#include "telemetry/core/VUTypedProperty.h"

#include "telemetry/core/VUUtility.h"

using VUJson::str;

VUJsonObject VUTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUJsonObject::object();
    if (mType)
        json["type"] = str(*mType);
    if (mName)
        json["name"] = str(*mName);
    return json;
}

bool VUTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VUTypedProperty *>(other);
    return property && mType == property->mType;
}

void VUTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    coder.encodeString(QStringLiteral("type"), mType);
    coder.encodeString(QStringLiteral("name"), mName);
}

bool VUTypedProperty::initWithCoder(const VUCoder &coder)
{
    mType = coder.decodeString(QStringLiteral("type"));
    mName = coder.decodeString(QStringLiteral("name"));
    return !coder.failed();
}

// String.
VUJsonObject VUStringTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUTypedProperty::serializeToDictionary();
    if (mValue)
        json["value"] = str(*mValue);
    return json;
}

bool VUStringTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VUStringTypedProperty *>(other);
    return property && VUTypedProperty::isEqual(other) && mValue == property->mValue;
}

void VUStringTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    VUTypedProperty::encodeWithCoder(coder);
    coder.encodeString(QStringLiteral("value"), mValue);
}

bool VUStringTypedProperty::initWithCoder(const VUCoder &coder)
{
    VUTypedProperty::initWithCoder(coder);
    mValue = coder.decodeString(QStringLiteral("value"));
    return !coder.failed();
}

// Long.
VUJsonObject VULongTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUTypedProperty::serializeToDictionary();
    json["value"] = static_cast<std::int64_t>(mValue);
    return json;
}

bool VULongTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VULongTypedProperty *>(other);
    return property && VUTypedProperty::isEqual(other) && mValue == property->mValue;
}

void VULongTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    VUTypedProperty::encodeWithCoder(coder);
    coder.encodeInt64(QStringLiteral("value"), mValue);
}

bool VULongTypedProperty::initWithCoder(const VUCoder &coder)
{
    VUTypedProperty::initWithCoder(coder);
    mValue = coder.decodeInt64(QStringLiteral("value"));
    return !coder.failed();
}

// Double.
VUJsonObject VUDoubleTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUTypedProperty::serializeToDictionary();
    json["value"] = mValue;
    return json;
}

bool VUDoubleTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VUDoubleTypedProperty *>(other);
    return property && VUTypedProperty::isEqual(other) && mValue == property->mValue;
}

void VUDoubleTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    VUTypedProperty::encodeWithCoder(coder);
    coder.encodeDouble(QStringLiteral("value"), mValue);
}

bool VUDoubleTypedProperty::initWithCoder(const VUCoder &coder)
{
    VUTypedProperty::initWithCoder(coder);
    mValue = coder.decodeDouble(QStringLiteral("value"));
    return !coder.failed();
}

// Date and time.
VUJsonObject VUDateTimeTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUTypedProperty::serializeToDictionary();
    if (mValue)
        json["value"] = str(VUUtility::dateToISO8601(*mValue));
    return json;
}

bool VUDateTimeTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VUDateTimeTypedProperty *>(other);
    return property && VUTypedProperty::isEqual(other) && mValue == property->mValue;
}

void VUDateTimeTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    VUTypedProperty::encodeWithCoder(coder);
    coder.encodeDate(QStringLiteral("value"), mValue);
}

bool VUDateTimeTypedProperty::initWithCoder(const VUCoder &coder)
{
    VUTypedProperty::initWithCoder(coder);
    mValue = coder.decodeDate(QStringLiteral("value"));
    return !coder.failed();
}

// Boolean.
VUJsonObject VUBooleanTypedProperty::serializeToDictionary() const
{
    VUJsonObject json = VUTypedProperty::serializeToDictionary();
    json["value"] = mValue;
    return json;
}

bool VUBooleanTypedProperty::isEqual(const VUModel *other) const
{
    const auto *property = dynamic_cast<const VUBooleanTypedProperty *>(other);
    return property && VUTypedProperty::isEqual(other) && mValue == property->mValue;
}

void VUBooleanTypedProperty::encodeWithCoder(VUCoder &coder) const
{
    VUTypedProperty::encodeWithCoder(coder);
    coder.encodeBool(QStringLiteral("value"), mValue);
}

bool VUBooleanTypedProperty::initWithCoder(const VUCoder &coder)
{
    VUTypedProperty::initWithCoder(coder);
    mValue = coder.decodeBool(QStringLiteral("value"));
    return !coder.failed();
}
