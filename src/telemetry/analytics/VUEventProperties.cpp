#include "telemetry/analytics/VUEventProperties.h"

#include "telemetry/analytics/VUAnalyticsLogTag.h"
#include "telemetry/core/VULogger.h"

#include <cmath>

namespace {
const QString kUnkeyedRoot = QStringLiteral("$0");

template <class T, class V> std::shared_ptr<VUTypedProperty> typed(const QString &key, const V &value)
{
    auto property = std::make_shared<T>();
    property->setName(key);
    property->setValue(value);
    return property;
}
} // namespace

VUEventProperties::VUEventProperties(const VUEventProperties &other) : VUModel(other), mProperties(other.properties())
{
}

std::shared_ptr<VUEventProperties> VUEventProperties::initWithStringDictionary(const VUStringProperties &properties)
{
    auto result = std::make_shared<VUEventProperties>();
    for (const auto &[key, value] : properties)
        result->setProperty(typed<VUStringTypedProperty>(key, std::optional<QString>(value)), key);
    return result;
}

bool VUEventProperties::validateKey(const std::optional<QString> &key)
{
    if (key)
        return true;
    VULogError(VUAnalyticsLogTag(), "Key cannot be null. Property will not be added.");
    return false;
}

bool VUEventProperties::validateValue(bool present)
{
    if (present)
        return true;
    VULogError(VUAnalyticsLogTag(), "Value cannot be null. Property will not be added.");
    return false;
}

VUEventProperties &VUEventProperties::setString(const std::optional<QString> &value, const std::optional<QString> &key)
{
    if (validateKey(key) && validateValue(value.has_value()))
        setProperty(typed<VUStringTypedProperty>(*key, value), *key);
    return *this;
}

VUEventProperties &VUEventProperties::setDouble(double value, const std::optional<QString> &key)
{
    if (!validateKey(key))
        return *this;
    if (!std::isfinite(value)) {
        VULogError(VUAnalyticsLogTag(), "Double value for property '%s' must be finite (cannot be INFINITY or NAN).",
                   qUtf8Printable(*key));
        return *this;
    }
    setProperty(typed<VUDoubleTypedProperty>(*key, value), *key);
    return *this;
}

VUEventProperties &VUEventProperties::setInt64(qint64 value, const std::optional<QString> &key)
{
    if (validateKey(key))
        setProperty(typed<VULongTypedProperty>(*key, value), *key);
    return *this;
}

VUEventProperties &VUEventProperties::setBool(bool value, const std::optional<QString> &key)
{
    if (validateKey(key))
        setProperty(typed<VUBooleanTypedProperty>(*key, value), *key);
    return *this;
}

VUEventProperties &VUEventProperties::setDate(const std::optional<QDateTime> &value, const std::optional<QString> &key)
{
    if (validateKey(key) && validateValue(value.has_value()))
        setProperty(typed<VUDateTimeTypedProperty>(*key, value), *key);
    return *this;
}

VUJsonObject VUEventProperties::serializeToArray() const
{
    VUJsonObject array = VUJsonObject::array();
    std::lock_guard guard(mLock);
    for (const auto &[key, property] : mProperties)
        array.push_back(property->serializeToDictionary());
    return array;
}

bool VUEventProperties::isEmpty() const
{
    std::lock_guard guard(mLock);
    return mProperties.isEmpty();
}

qsizetype VUEventProperties::count() const
{
    std::lock_guard guard(mLock);
    return mProperties.size();
}

void VUEventProperties::mergeEventProperties(const VUEventProperties &other)
{
    for (const auto &[key, property] : other.properties())
        setProperty(property, key);
}

QList<VUEventProperties::Entry> VUEventProperties::properties() const
{
    std::lock_guard guard(mLock);
    return mProperties;
}

void VUEventProperties::setProperties(const QList<Entry> &properties)
{
    std::lock_guard guard(mLock);
    mProperties.clear();
    for (const auto &[key, property] : properties)
        setProperty(property, key);
}

std::shared_ptr<VUTypedProperty> VUEventProperties::propertyForKey(const QString &key) const
{
    std::lock_guard guard(mLock);
    for (const auto &[entryKey, property] : mProperties)
        if (entryKey == key)
            return property;
    return nullptr;
}

bool VUEventProperties::contains(const QString &key) const
{
    return propertyForKey(key) != nullptr;
}

void VUEventProperties::setProperty(const std::shared_ptr<VUTypedProperty> &property, const QString &key)
{
    if (!property)
        return;
    std::lock_guard guard(mLock);
    for (auto &entry : mProperties) {
        if (entry.first == key) {
            entry.second = property;
            return;
        }
    }
    mProperties.append({key, property});
}

void VUEventProperties::removePropertyForKey(const QString &key)
{
    std::lock_guard guard(mLock);
    mProperties.removeIf([&key](const Entry &entry) { return entry.first == key; });
}

bool VUEventProperties::isEqual(const VUModel *other) const
{
    const auto *that = dynamic_cast<const VUEventProperties *>(other);
    if (!that)
        return false;
    const auto mine = properties();
    const auto theirs = that->properties();
    if (mine.size() != theirs.size())
        return false;
    for (const auto &[key, property] : mine) {
        const auto match = that->propertyForKey(key);
        // A typed property's equality leaves its name out; the key stands for it here.
        if (!match || !property->isEqual(match.get()))
            return false;
    }
    return true;
}

void VUEventProperties::encodeWithCoder(VUCoder &coder) const
{
    QVariantMap map;
    std::lock_guard guard(mLock);
    for (const auto &[key, property] : mProperties)
        map.insert(key, VUKeyedCoding::toVariant(*property));
    coder.encodeValue(kUnkeyedRoot, map);
}

bool VUEventProperties::initWithCoder(const VUCoder &coder)
{
    const QVariant value = coder.decodeValue(kUnkeyedRoot);
    std::lock_guard guard(mLock);
    mProperties.clear();
    if (!value.isValid())
        return !coder.failed();
    if (value.metaType().id() != QMetaType::QVariantMap) {
        coder.fail();
        return false;
    }
    const QVariantMap map = value.toMap();
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        auto property = std::dynamic_pointer_cast<VUTypedProperty>(VUKeyedCoding::fromVariant(it.value()));
        if (!property) {
            coder.fail();
            return false;
        }
        mProperties.append({it.key(), property});
    }
    return !coder.failed();
}
