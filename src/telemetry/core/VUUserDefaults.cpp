#include "telemetry/core/VUUserDefaults.h"

#include "platform/UserDefaults.h"
#include "telemetry/core/VULogger.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cmath>

namespace {

constexpr double kReferenceDateOffset = 978307200.0; // 2001-01-01 in Unix seconds

double nowSinceReferenceDate()
{
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - kReferenceDateOffset;
}

QString describe(const QVariant &value)
{
    return QString::fromUtf8(QJsonDocument::fromVariant(value).toJson(QJsonDocument::Compact));
}

} // namespace

std::shared_ptr<VUUserDefaults> VUUserDefaults::shared()
{
    static const auto instance = std::make_shared<VUUserDefaults>();
    return instance;
}

QVariant VUUserDefaults::objectForKey(const QString &key) const
{
    return UserDefaults::standard().objectForKey(key);
}

void VUUserDefaults::setObject(const QVariant &value, const QString &key)
{
    UserDefaults::standard().setObject(value, key);
}

void VUUserDefaults::removeObjectForKey(const QString &key)
{
    UserDefaults::standard().removeObject(key);
}

QVariantMap VUUserDefaults::updateDictionary(const QVariantMap &dictionary, const QString &key, float expiration)
{
    QVariantMap candidates = dictionary;
    const QVariant storedValue = objectForKey(key);
    const QVariantMap stored = storedValue.toMap();
    const double changeTime = stored.value(QStringLiteral("_ts")).toDouble();
    VULogVerbose(VULogTag(), "Settings:store[%s]=%s", qUtf8Printable(key), qUtf8Printable(describe(stored)));
    if (expiration <= 0 || changeTime <= 0 || std::fabs(nowSinceReferenceDate() - changeTime) < double(expiration)) {
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            if (candidates.contains(it.key()) && candidates.value(it.key()) == it.value())
                candidates.remove(it.key());
    }
    if (!candidates.isEmpty()) {
        VULogDebug(VULogTag(), "Settings:update[%s]=%s", qUtf8Printable(key), qUtf8Printable(describe(candidates)));
        QVariantMap record = stored;
        for (auto it = candidates.cbegin(); it != candidates.cend(); ++it)
            record.insert(it.key(), it.value());
        record.insert(QStringLiteral("_ts"), nowSinceReferenceDate());
        setObject(record, key);
    }
    return candidates;
}

bool VUUserDefaults::updateObject(const QVariant &value, const QString &key, float expiration)
{
    return updateDictionary({{QStringLiteral("v"), value}}, key, expiration).contains(QStringLiteral("v"));
}
