#pragma once
// One Wi-Fi device the program has connected to, as kept in the user default "KnownDevices":
// a dictionary with "uid" (the device's UniqueDeviceID), "token" (the wake-up token the
// framework made for it), "connect" (YES: may be connected automatically) and "displayname".
//
// A value type. The list of records lives in AppController::mKnownDevices under
// gKnownDevicesLock; this file only reads and writes the stored form.

#include <QList>
#include <QString>
#include <QVariantMap>
#include <optional>

class KnownDeviceRecord
{
public:
    KnownDeviceRecord() = default;
    KnownDeviceRecord(const QString &uid, const QVariantMap &token, bool connect,
                      const QString &displayName);

    // The stored dictionary, or nothing when it is not one or has no uid: a damaged
    // default must never stop start-up.
    static std::optional<KnownDeviceRecord> fromVariant(const QVariant &stored);

    QString uid() const { return mValues.value(QStringLiteral("uid")).toString(); }
    QVariantMap token() const { return mValues.value(QStringLiteral("token")).toMap(); }
    bool hasToken() const { return !token().isEmpty(); }
    bool connect() const;
    void setConnect(bool connect) { mValues.insert(QStringLiteral("connect"), connect); }
    QString displayName() const { return mValues.value(QStringLiteral("displayname")).toString(); }

    QVariant value(const QString &key) const { return mValues.value(key); }
    const QVariantMap &values() const { return mValues; }
    bool operator==(const KnownDeviceRecord &other) const { return mValues == other.mValues; }

    // "KnownDevices" in the user defaults: read (bad entries skipped) and written whole.
    static QList<KnownDeviceRecord> loadFromDefaults();
    static void saveToDefaults(const QList<KnownDeviceRecord> &records);

private:
    explicit KnownDeviceRecord(const QVariantMap &values) : mValues(values) {}
    QVariantMap mValues;
};
