#pragma once
// The telemetry component's one door to the application's user defaults: keys are used
// unchanged. The change-detecting updates write a record only when a value differs from
// the stored one (or the stored record is older than the expiration), stamping it with its
// change time "_ts" in seconds since 2001-01-01 UTC.
//
// Thread-safe (the user defaults are).

#include <QVariantMap>

#include <memory>

class VUUserDefaults
{
public:
    static std::shared_ptr<VUUserDefaults> shared();

    QVariant objectForKey(const QString &key) const;
    void setObject(const QVariant &value, const QString &key);
    void removeObjectForKey(const QString &key);

    // The entries that were written; empty when nothing changed.
    QVariantMap updateDictionary(const QVariantMap &dictionary, const QString &key, float expiration = 0);
    bool updateObject(const QVariant &value, const QString &key, float expiration = 0);
};
