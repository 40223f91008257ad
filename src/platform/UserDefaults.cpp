#include "UserDefaults.h"

#include "Paths.h"

#include <QSettings>
#include <memory>
#include <mutex>

namespace {

std::mutex gDefaultsMutex;
std::unique_ptr<QSettings> gSettings;

// Called with gDefaultsMutex held.
QSettings &settings()
{
    const QString path = UserDefaults::storePath();
    if (!gSettings || gSettings->fileName() != path) {
        if (gSettings)
            gSettings->sync();
        gSettings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    }
    return *gSettings;
}

} // namespace

UserDefaults &UserDefaults::standard()
{
    static UserDefaults instance;
    return instance;
}

QString UserDefaults::storePath()
{
    return Paths::configHome() + QStringLiteral("/Quillon/Quillon.conf");
}

QVariant UserDefaults::objectForKey(const QString &key) const
{
    std::lock_guard lock(gDefaultsMutex);
    return settings().value(key);
}

bool UserDefaults::contains(const QString &key) const
{
    std::lock_guard lock(gDefaultsMutex);
    return settings().contains(key);
}

void UserDefaults::setObject(const QVariant &value, const QString &key)
{
    std::lock_guard lock(gDefaultsMutex);
    if (!value.isValid())
        settings().remove(key);
    else
        settings().setValue(key, value);
}

void UserDefaults::removeObject(const QString &key)
{
    std::lock_guard lock(gDefaultsMutex);
    settings().remove(key);
}

bool UserDefaults::boolForKey(const QString &key) const { return variantBoolValue(objectForKey(key)); }
qint64 UserDefaults::integerForKey(const QString &key) const { return variantIntegerValue(objectForKey(key)); }
double UserDefaults::doubleForKey(const QString &key) const { return variantDoubleValue(objectForKey(key)); }

QString UserDefaults::stringForKey(const QString &key) const
{
    const QVariant v = objectForKey(key);
    return v.canConvert<QString>() ? v.toString() : QString();
}

void UserDefaults::synchronize()
{
    std::lock_guard lock(gDefaultsMutex);
    settings().sync();
}

bool variantBoolValue(const QVariant &value)
{
    if (!value.isValid())
        return false;
    if (value.typeId() == QMetaType::QString) {
        // The host reads a string as YES when it starts with Y, y, T, t or a non-zero digit.
        const QString s = value.toString().trimmed();
        if (s.isEmpty())
            return false;
        const QChar c = s.at(0);
        if (c == u'Y' || c == u'y' || c == u'T' || c == u't')
            return true;
        return s.toLongLong() != 0;
    }
    return value.toBool();
}

qint64 variantIntegerValue(const QVariant &value)
{
    if (!value.isValid())
        return 0;
    if (value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Float)
        return static_cast<qint64>(value.toDouble());
    if (value.typeId() == QMetaType::QString)
        return static_cast<qint64>(value.toString().trimmed().toDouble());
    return value.toLongLong();
}

double variantDoubleValue(const QVariant &value)
{
    return value.isValid() ? value.toDouble() : 0.0;
}
