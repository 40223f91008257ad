#include "UserDefaults.h"

#include "Paths.h"
#include "PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QVariantMap>
#include <cmath>
#include <limits>
#include <mutex>

namespace {

struct Store
{
    QString path;       // the file the values were read from
    QVariantMap values;
};

std::mutex gDefaultsMutex;
Store gStore;

// A damaged or missing file reads as empty defaults; it is replaced on the next change.
void load(Store &store, const QString &path)
{
    store.path = path;
    store.values.clear();
    if (!QFileInfo::exists(path))
        return;
    QString error;
    const std::optional<QVariant> root = PropertyList::fromFile(path, &error);
    if (root && root->typeId() == QMetaType::QVariantMap)
        store.values = root->toMap();
    else
        qWarning("UserDefaults: ignoring unreadable %s: %s", qUtf8Printable(path), qUtf8Printable(error));
}

// Called with gDefaultsMutex held.
Store &store()
{
    const QString path = UserDefaults::storePath();
    if (gStore.path != path)
        load(gStore, path);
    return gStore;
}

// Called with gDefaultsMutex held.
void save(const Store &s)
{
    QDir().mkpath(QFileInfo(s.path).absolutePath());
    QString error;
    if (!PropertyList::toFile(s.values, s.path, PropertyList::Format::Xml, &error))
        qWarning("UserDefaults: cannot write %s: %s", qUtf8Printable(s.path), qUtf8Printable(error));
}

} // namespace

UserDefaults &UserDefaults::standard()
{
    static UserDefaults instance;
    return instance;
}

QString UserDefaults::storePath()
{
    return Paths::configHome() + QStringLiteral("/Quillon/Quillon.plist");
}

QVariant UserDefaults::objectForKey(const QString &key) const
{
    std::lock_guard lock(gDefaultsMutex);
    return store().values.value(key);
}

bool UserDefaults::contains(const QString &key) const
{
    std::lock_guard lock(gDefaultsMutex);
    return store().values.contains(key);
}

void UserDefaults::setObject(const QVariant &value, const QString &key)
{
    if (value.isValid()) {
        // A value the store cannot write (a date past the year 9999, a string holding a NUL)
        // is refused on its own, so it never keeps the other values from being saved.
        QString error;
        if (PropertyList::toData(value, PropertyList::Format::Xml, &error).isEmpty()) {
            qWarning("UserDefaults: refusing the value of %s: %s", qUtf8Printable(key), qUtf8Printable(error));
            return;
        }
    }
    std::lock_guard lock(gDefaultsMutex);
    Store &s = store();
    if (!value.isValid()) {
        if (s.values.remove(key) == 0)
            return;
    } else {
        s.values.insert(key, value);
    }
    save(s);
}

void UserDefaults::removeObject(const QString &key)
{
    setObject(QVariant(), key);
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
    load(gStore, storePath());
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

namespace {

// A hand-edited file may hold any real: converting one outside the integer range is
// undefined, so such values saturate and NaN reads as 0.
qint64 saturatedInteger(double value)
{
    if (std::isnan(value))
        return 0;
    // 2^63 is exact as a double; anything at or above it cannot be held.
    if (value >= 9223372036854775808.0)
        return std::numeric_limits<qint64>::max();
    if (value <= -9223372036854775808.0)
        return std::numeric_limits<qint64>::min();
    return static_cast<qint64>(value);
}

} // namespace

qint64 variantIntegerValue(const QVariant &value)
{
    if (!value.isValid())
        return 0;
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
        return saturatedInteger(value.toDouble());
    case QMetaType::QString:
        return saturatedInteger(value.toString().trimmed().toDouble());
    case QMetaType::ULongLong:
    case QMetaType::ULong:
        return value.toULongLong() > quint64(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                                 : value.toLongLong();
    default:
        return value.toLongLong();
    }
}

double variantDoubleValue(const QVariant &value)
{
    return value.isValid() ? value.toDouble() : 0.0;
}
