#include "UserDefaults.h"

#include "Paths.h"
#include "PropertyList.h"

#include <QDir>
#include <QFileInfo>
#include <QVariantMap>
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
