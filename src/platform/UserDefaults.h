#pragma once
// The application's user defaults: one settings file per user, shared by every thread.
//
// Values keep their types across runs (bool, integer, real, string, data, date, arrays and
// dictionaries of them): the store is an XML property list at
// <config home>/Quillon/Quillon.plist, rewritten atomically after every change. A key that
// was never set is absent: callers that want a built-in fallback read through getDefault's
// lookup rule (shell/Defaults.h), since the design registers no defaults. The store is read
// again whenever HOME or XDG_CONFIG_HOME changes, so tests get a fresh store per home.
//
// Thread-safe: every call takes one internal lock.

#include <QString>
#include <QVariant>

class UserDefaults
{
public:
    static UserDefaults &standard();

    QVariant objectForKey(const QString &key) const; // invalid when absent
    bool contains(const QString &key) const;
    void setObject(const QVariant &value, const QString &key);
    void removeObject(const QString &key);

    bool boolForKey(const QString &key) const;      // absent reads NO
    qint64 integerForKey(const QString &key) const; // absent reads 0
    double doubleForKey(const QString &key) const;  // absent reads 0.0
    QString stringForKey(const QString &key) const; // absent reads an empty string

    void setBool(bool value, const QString &key) { setObject(value, key); }
    void setInteger(qint64 value, const QString &key) { setObject(value, key); }

    // Changes are written as they are made; this re-reads the file, picking up edits made
    // outside the process.
    void synchronize();

    // Where the store lives for the current HOME.
    static QString storePath();

private:
    UserDefaults() = default;
};

// The design's boolValue/intValue readings of a stored object: strings "YES", "true" and
// non-zero numbers read as YES, like the host's number and string conversions.
bool variantBoolValue(const QVariant &value);
qint64 variantIntegerValue(const QVariant &value);
double variantDoubleValue(const QVariant &value);
