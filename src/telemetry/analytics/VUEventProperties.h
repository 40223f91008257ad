#pragma once
// The typed properties of an event: one typed property per key, kept in the order keys were
// first set (that order decides which properties survive the limit of 20); setting a key
// again replaces its value in place. Setters check their key (and value) and refuse, with an
// error logged, what cannot be sent.
//
// Thread-safe: every operation holds the container's recursive lock. Copies are deep in the
// list but share the typed-property objects, which are not changed after they are set.

#include "telemetry/core/VUModel.h"
#include "telemetry/core/VUTypedProperty.h"
#include "telemetry/core/VUUtility.h"

#include <mutex>

class VUEventProperties : public VUModel
{
public:
    using Entry = QPair<QString, std::shared_ptr<VUTypedProperty>>;

    VUEventProperties() = default;
    VUEventProperties(const VUEventProperties &other);
    VUEventProperties &operator=(const VUEventProperties &) = delete;
    // One string property per pair, in the list's order.
    static std::shared_ptr<VUEventProperties> initWithStringDictionary(const VUStringProperties &properties);

    QString className() const override { return QStringLiteral("VUEventProperties"); }
    // The typed properties' JSON objects (serializeToArray).
    VUJsonObject serializeToDictionary() const override { return serializeToArray(); }
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    VUEventProperties &setString(const std::optional<QString> &value, const std::optional<QString> &key);
    VUEventProperties &setDouble(double value, const std::optional<QString> &key);
    VUEventProperties &setInt64(qint64 value, const std::optional<QString> &key);
    VUEventProperties &setBool(bool value, const std::optional<QString> &key);
    VUEventProperties &setDate(const std::optional<QDateTime> &value, const std::optional<QString> &key);

    VUJsonObject serializeToArray() const;
    bool isEmpty() const;
    qsizetype count() const;
    // Adds every entry of `other`, replacing entries of the same key.
    void mergeEventProperties(const VUEventProperties &other);

    // A snapshot of the entries in order.
    QList<Entry> properties() const;
    void setProperties(const QList<Entry> &properties);
    std::shared_ptr<VUTypedProperty> propertyForKey(const QString &key) const;
    bool contains(const QString &key) const;
    // Puts `property` under `key` (replacing in place); no checks.
    void setProperty(const std::shared_ptr<VUTypedProperty> &property, const QString &key);
    void removePropertyForKey(const QString &key);

    static bool validateKey(const std::optional<QString> &key);
    static bool validateValue(bool present);

private:
    mutable std::recursive_mutex mLock;
    QList<Entry> mProperties;
};
