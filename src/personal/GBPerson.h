#pragma once
// One contact as a bag of address-book properties (AddressBookProperties.h) with the groups
// it belongs to. Built by the contacts extraction on its thread; read-only once handed to a
// list.

#include "personal/AddressBookProperties.h"
#include "personal/GBGroup.h"

#include <QList>
#include <QVariantMap>

#include <memory>

class GBPerson
{
public:
    // Stores the value under the property (an invalid value removes it).
    bool setValue(const QVariant &value, const QString &property);
    QVariant valueForProperty(const QString &property) const { return mProperties.value(property); }
    QString stringForProperty(const QString &property) const { return mProperties.value(property).toString(); }
    ABMultiValue multiValue(const QString &property) const { return mProperties.value(property).value<ABMultiValue>(); }
    QVariantMap properties() const { return mProperties; }
    void addGroup(const GBGroupPtr &group) { mGroups.append(group); }
    QList<GBGroupPtr> parentGroups() const { return mGroups; }
    // The value at the primary identifier (index 0 when it is missing or empty); "" when the
    // multi-value is empty or the identifier is not found.
    static QString valueForPrimaryIdentifier(const ABMultiValue &multi);

private:
    QVariantMap mProperties;
    QList<GBGroupPtr> mGroups;
};

using GBPersonPtr = std::shared_ptr<GBPerson>;
