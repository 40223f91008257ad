#include "personal/GBPerson.h"

bool GBPerson::setValue(const QVariant &value, const QString &property)
{
    if (value.isValid())
        mProperties.insert(property, value);
    else
        mProperties.remove(property);
    return true;
}

QString GBPerson::valueForPrimaryIdentifier(const ABMultiValue &multi)
{
    if (multi.items.isEmpty())
        return QStringLiteral("");
    if (multi.primaryIdentifier.isEmpty())
        return multi.items.first().value.toString();
    for (const ABMultiValue::Item &item : multi.items) {
        if (item.identifier == multi.primaryIdentifier)
            return item.value.toString();
    }
    return QStringLiteral("");
}

void GBGroup::addMember(GBPerson &person)
{
    person.addGroup(shared_from_this());
}
