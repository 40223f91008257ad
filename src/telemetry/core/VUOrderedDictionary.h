#pragma once
// A dictionary that remembers the order in which its keys were first set and hands them
// out (and serialises them) in that order. Replacing a value keeps the key's position.
// There is no removal of a single key.

#include "telemetry/core/VUJson.h"

#include <QString>
#include <QStringList>

class VUOrderedDictionary
{
public:
    void setObject(const VUJsonObject &object, const QString &key);
    VUJsonObject objectForKey(const QString &key) const;
    qsizetype count() const { return qsizetype(mDictionary.size()); }
    QStringList keys() const;
    void removeAllObjects() { mDictionary = VUJsonObject::object(); }
    // Same entries in the same order.
    bool isEqualToDictionary(const VUOrderedDictionary &other) const;
    // The entries as one JSON object, in insertion order.
    const VUJsonObject &json() const { return mDictionary; }

private:
    VUJsonObject mDictionary = VUJsonObject::object();
};
