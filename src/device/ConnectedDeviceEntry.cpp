#include "device/ConnectedDeviceEntry.h"

ConnectedDeviceEntry::ConnectedDeviceEntry(const QString &name, const QString &uid,
                                           int interfaceType, AMDeviceRef dev, const QString &identity)
{
    mValues.insert(QStringLiteral("name"), name);
    mValues.insert(QStringLiteral("uid"), uid);
    mValues.insert(QStringLiteral("interface"), interfaceType);
    mValues.insert(QStringLiteral("dev"), QVariant::fromValue(quintptr(dev)));
    if (!identity.isEmpty())
        mValues.insert(QStringLiteral("identity"), identity);
}

AMDeviceRef ConnectedDeviceEntry::dev() const
{
    return reinterpret_cast<AMDeviceRef>(mValues.value(QStringLiteral("dev")).value<quintptr>());
}

ConnectedDeviceEntry ConnectedDeviceEntry::withEjected(bool ejected) const
{
    QVariantMap copy = mValues;
    copy.insert(QStringLiteral("ejected"), ejected);
    return ConnectedDeviceEntry(copy);
}

bool ConnectedDeviceEntry::matches(const QString &otherUid, int otherInterface,
                                   const QString &otherIdentity) const
{
    if (uid() != otherUid || interfaceType() != otherInterface)
        return false;
    // "12345" names every unpaired device; only the framework's identity tells them apart.
    if (otherUid == kUnpairedUid)
        return identity() == otherIdentity;
    return true;
}

bool ConnectedDeviceEntry::sameDevice(const ConnectedDeviceEntry &other) const
{
    return matches(other.uid(), other.interfaceType(), other.identity());
}

bool usbFirst(const ConnectedDeviceEntry &a, const ConnectedDeviceEntry &b)
{
    if (a.interfaceType() != b.interfaceType())
        return a.interfaceType() < b.interfaceType();
    return a.name().compare(b.name(), Qt::CaseInsensitive) < 0;
}
