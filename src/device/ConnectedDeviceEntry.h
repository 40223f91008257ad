#pragma once
// One attached device in AppController's list: an immutable dictionary with the keys
// "name", "uid", "interface" (1 USB, 2 Wi-Fi), "dev" (the framework's device reference) and,
// only after the user disconnected a Wi-Fi device by hand, "ejected".
//
// Devices that are not paired all show the uid "12345" and the name "Unpaired Device"; the
// entry also carries the framework's own identity of the device ("identity") so that two
// unpaired devices stay two entries. sameDevice() is the one rule for "the same entry".
//
// A value type; copies are cheap and safe on any thread.

#include <mobiledevice/MobileDevice.h>

#include <QString>
#include <QVariantMap>

class ConnectedDeviceEntry
{
public:
    static inline const QString kUnpairedUid = QStringLiteral("12345");
    static inline const QString kUnpairedName = QStringLiteral("Unpaired Device");

    ConnectedDeviceEntry() = default;
    ConnectedDeviceEntry(const QString &name, const QString &uid, int interfaceType, AMDeviceRef dev,
                         const QString &identity = {});
    explicit ConnectedDeviceEntry(const QVariantMap &values) : mValues(values) {}

    bool isNull() const { return mValues.isEmpty(); }
    QString name() const { return mValues.value(QStringLiteral("name")).toString(); }
    QString uid() const { return mValues.value(QStringLiteral("uid")).toString(); }
    int interfaceType() const { return mValues.value(QStringLiteral("interface")).toInt(); }
    AMDeviceRef dev() const;
    QString identity() const { return mValues.value(QStringLiteral("identity")).toString(); }
    bool hasEjected() const { return mValues.contains(QStringLiteral("ejected")); }
    bool ejected() const { return mValues.value(QStringLiteral("ejected")).toBool(); }
    bool isUnpaired() const { return uid() == kUnpairedUid; }

    // A copy with "ejected" set.
    ConnectedDeviceEntry withEjected(bool ejected) const;

    // Same uid and interface; for unpaired devices (whose uid is shared) also the same
    // framework identity.
    bool sameDevice(const ConnectedDeviceEntry &other) const;
    bool matches(const QString &uid, int interfaceType, const QString &identity = {}) const;

    const QVariantMap &values() const { return mValues; }
    bool operator==(const ConnectedDeviceEntry &other) const { return mValues == other.mValues; }

private:
    QVariantMap mValues;
};

// The list order of the device menu: USB before Wi-Fi, then by name, case-insensitively.
bool usbFirst(const ConnectedDeviceEntry &a, const ConnectedDeviceEntry &b);
