#include "telemetry/core/VUOrderedDictionary.h"

void VUOrderedDictionary::setObject(const VUJsonObject &object, const QString &key)
{
    mDictionary[VUJson::str(key)] = object;
}

VUJsonObject VUOrderedDictionary::objectForKey(const QString &key) const
{
    const auto it = mDictionary.find(VUJson::str(key));
    return it == mDictionary.end() ? VUJsonObject() : *it;
}

QStringList VUOrderedDictionary::keys() const
{
    QStringList keys;
    for (const auto &item : mDictionary.items())
        keys.append(QString::fromStdString(item.key()));
    return keys;
}

bool VUOrderedDictionary::isEqualToDictionary(const VUOrderedDictionary &other) const
{
    // ordered_json compares objects entry by entry in order, so a different order differs.
    return mDictionary == other.mDictionary;
}
