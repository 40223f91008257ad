#include "device/KnownDeviceRecord.h"

#include "platform/UserDefaults.h"
#include "shell/VarnekLogger.h"

namespace {
const QString kKnownDevicesKey = QStringLiteral("KnownDevices");
}

KnownDeviceRecord::KnownDeviceRecord(const QString &uid, const QVariantMap &token, bool connect,
                                     const QString &displayName)
{
    mValues.insert(QStringLiteral("uid"), uid);
    if (!token.isEmpty())
        mValues.insert(QStringLiteral("token"), token);
    mValues.insert(QStringLiteral("connect"), connect);
    mValues.insert(QStringLiteral("displayname"), displayName);
}

std::optional<KnownDeviceRecord> KnownDeviceRecord::fromVariant(const QVariant &stored)
{
    if (stored.typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    QVariantMap values = stored.toMap();
    const QVariant uid = values.value(QStringLiteral("uid"));
    if (uid.typeId() != QMetaType::QString || uid.toString().isEmpty())
        return std::nullopt;
    // A token of the wrong kind is useless for waking but the user's choice still counts.
    if (values.contains(QStringLiteral("token"))
        && values.value(QStringLiteral("token")).typeId() != QMetaType::QVariantMap)
        values.remove(QStringLiteral("token"));
    return KnownDeviceRecord(values);
}

bool KnownDeviceRecord::connect() const
{
    const QVariant value = mValues.value(QStringLiteral("connect"));
    return value.isValid() ? variantBoolValue(value) : true;
}

QList<KnownDeviceRecord> KnownDeviceRecord::loadFromDefaults()
{
    QList<KnownDeviceRecord> records;
    const QVariant stored = UserDefaults::standard().objectForKey(kKnownDevicesKey);
    if (!stored.isValid())
        return records;
    if (stored.typeId() != QMetaType::QVariantList) {
        VarnekLog("KnownDevices is not a list, ignoring it");
        return records;
    }
    for (const QVariant &item : stored.toList()) {
        if (auto record = fromVariant(item))
            records.append(*record);
        else
            VarnekLog("KnownDevices: skipping an unreadable entry");
    }
    return records;
}

void KnownDeviceRecord::saveToDefaults(const QList<KnownDeviceRecord> &records)
{
    QVariantList stored;
    stored.reserve(records.size());
    for (const KnownDeviceRecord &record : records)
        stored.append(record.values());
    UserDefaults::standard().setObject(stored, kKnownDevicesKey);
    UserDefaults::standard().synchronize();
}
