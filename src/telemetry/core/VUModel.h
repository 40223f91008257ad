#pragma once
// The base of every telemetry model: JSON form, validity, field-by-field equality and the
// keyed-archive form, whose keys are the JSON keys.
//
// Archives go through the platform's keyed-archive codec (platform/KeyedArchive.h): a model
// becomes a KeyedObject under its class name and class chain, nested models become nested
// KeyedObjects. Decoding finds the class by name in a registry and refuses an archive whose
// fields have the wrong types, so a damaged archive yields no object rather than half a one.
//
// Models are plain values built and read on one thread at a time unless their header says
// otherwise. The registry is built once and is safe to use from any thread.

#include "platform/KeyedArchive.h"
#include "telemetry/core/VUJson.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class VUCoder;

class VUModel
{
public:
    virtual ~VUModel() = default;

    // The archive's class name and its superclasses, most specific first ("NSObject" last).
    virtual QString className() const = 0;
    virtual QStringList superclasses() const { return {QStringLiteral("NSObject")}; }

    // The JSON object; a null value when there is nothing to write.
    virtual VUJsonObject serializeToDictionary() const = 0;
    virtual bool isValid() const { return true; }
    virtual bool isEqual(const VUModel *other) const = 0;
    virtual void encodeWithCoder(VUCoder &coder) const = 0;
    // Answers false when a field has the wrong type.
    virtual bool initWithCoder(const VUCoder &coder) = 0;
};

// Keyed fields of one object being written or read.
class VUCoder
{
public:
    VUCoder() = default;
    explicit VUCoder(QVariantMap fields) : mFields(std::move(fields)) {}

    const QVariantMap &fields() const { return mFields; }
    bool failed() const { return mFailed; }
    bool contains(const QString &key) const;

    void encodeString(const QString &key, const std::optional<QString> &value);
    void encodeDate(const QString &key, const std::optional<QDateTime> &value);
    void encodeInt64(const QString &key, qint64 value);
    void encodeDouble(const QString &key, double value);
    void encodeBool(const QString &key, bool value);
    void encodeNumber(const QString &key, const std::optional<qint64> &value);
    void encodeObject(const QString &key, const VUModel *object);
    void encodeValue(const QString &key, const QVariant &value);

    std::optional<QString> decodeString(const QString &key) const;
    std::optional<QDateTime> decodeDate(const QString &key) const;
    qint64 decodeInt64(const QString &key) const;
    double decodeDouble(const QString &key) const;
    bool decodeBool(const QString &key) const;
    std::optional<qint64> decodeNumber(const QString &key) const;
    std::shared_ptr<VUModel> decodeObject(const QString &key) const;
    template <class T>
    std::shared_ptr<T> decodeObject(const QString &key) const
    {
        auto object = decodeObject(key);
        auto typed = std::dynamic_pointer_cast<T>(object);
        if (object && !typed)
            mFailed = true;
        return typed;
    }
    QVariant decodeValue(const QString &key) const;
    void fail() const { mFailed = true; }

private:
    // The field when it holds a number (or bool); invalid when absent or, failing the
    // decode, of another kind.
    QVariant numericField(const QString &key) const;
    // The field as stored; invalid when absent.
    const QVariant &field(const QString &key) const;

    QVariantMap mFields;
    mutable bool mFailed = false;
};

namespace VUKeyedCoding {

using Factory = std::function<std::shared_ptr<VUModel>()>;
// Makes `className` decodable. The component's own classes are registered on first use.
void registerClass(const QString &className, Factory factory);

QVariant toVariant(const VUModel &model);
// A KeyedObject variant back into a model; null when unknown or malformed.
std::shared_ptr<VUModel> fromVariant(const QVariant &value);

QByteArray archive(const VUModel &model);
QByteArray archiveList(const QList<std::shared_ptr<VUModel>> &models);
std::shared_ptr<VUModel> unarchive(const QByteArray &data, QString *error = nullptr);
// Every element must decode, else nothing.
std::optional<QList<std::shared_ptr<VUModel>>> unarchiveList(const QByteArray &data, QString *error = nullptr);

template <class T>
std::shared_ptr<T> unarchiveAs(const QByteArray &data, QString *error = nullptr)
{
    return std::dynamic_pointer_cast<T>(unarchive(data, error));
}

} // namespace VUKeyedCoding

// Two optional members are equal when both are absent or both present and equal.
template <class T>
bool vuEqualObjects(const std::shared_ptr<T> &a, const std::shared_ptr<T> &b)
{
    if (!a || !b)
        return !a && !b;
    return a->isEqual(b.get());
}
