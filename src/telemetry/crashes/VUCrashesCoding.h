#pragma once
// Helpers the crash records and logs share for their JSON and keyed-archive forms: lists of
// nested records, unsigned 64-bit numbers, and list equality by each element's isEqual.
// Decoding fails (through the coder) on a field of the wrong kind, never half-fills.

#include "telemetry/core/VUModel.h"

#include <QList>

#include <memory>
#include <optional>

namespace VUCrashesCoding {

template <class T>
void encodeList(VUCoder &coder, const QString &key, const std::optional<QList<std::shared_ptr<T>>> &list)
{
    if (!list)
        return;
    QVariantList items;
    for (const auto &item : *list)
        if (item)
            items.append(VUKeyedCoding::toVariant(*item));
    coder.encodeValue(key, items);
}

template <class T>
std::optional<QList<std::shared_ptr<T>>> decodeList(const VUCoder &coder, const QString &key)
{
    const QVariant value = coder.decodeValue(key);
    if (!value.isValid())
        return std::nullopt;
    if (value.metaType().id() != QMetaType::QVariantList) {
        coder.fail();
        return std::nullopt;
    }
    QList<std::shared_ptr<T>> list;
    for (const QVariant &item : value.toList()) {
        auto typed = std::dynamic_pointer_cast<T>(VUKeyedCoding::fromVariant(item));
        if (!typed) {
            coder.fail();
            return std::nullopt;
        }
        list.append(typed);
    }
    return list;
}

template <class T>
bool equalLists(const std::optional<QList<std::shared_ptr<T>>> &a, const std::optional<QList<std::shared_ptr<T>>> &b)
{
    if (!a || !b)
        return !a && !b;
    if (a->size() != b->size())
        return false;
    for (qsizetype i = 0; i < a->size(); ++i)
        if (!vuEqualObjects(a->at(i), b->at(i)))
            return false;
    return true;
}

template <class T>
VUJsonObject jsonList(const QList<std::shared_ptr<T>> &list)
{
    VUJsonObject array = VUJsonObject::array();
    for (const auto &item : list)
        if (item)
            array.push_back(item->serializeToDictionary());
    return array;
}

void encodeUnsigned(VUCoder &coder, const QString &key, const std::optional<quint64> &value);
std::optional<quint64> decodeUnsigned(const VUCoder &coder, const QString &key);
void encodeBytes(VUCoder &coder, const QString &key, const std::optional<QByteArray> &value);
std::optional<QByteArray> decodeBytes(const VUCoder &coder, const QString &key);

// Makes the crash records and logs decodable from keyed archives (once per process).
void registerClasses();

} // namespace VUCrashesCoding
