#pragma once
// One contact group read from the device's contacts (or a store group such as "All iCloud").
// A group keeps no member list: membership is recorded on the person (GBPerson::addGroup).
// Shared; made on the extraction thread, read-only afterwards.

#include <QString>

#include <memory>

class GBPerson;

class GBGroup : public std::enable_shared_from_this<GBGroup>
{
public:
    bool setName(const QString &name)
    {
        mName = name;
        return true;
    }
    QString name() const { return mName; }
    void addMember(GBPerson &person);

private:
    QString mName;
};

using GBGroupPtr = std::shared_ptr<GBGroup>;
