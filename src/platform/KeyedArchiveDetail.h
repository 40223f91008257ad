#pragma once
// The keyed-archive decode through the whole property-list tree: the list is parsed into a
// QVariant tree first, then the archive's references are resolved in it. XML archives (and
// the rare binary ones the direct reader leaves to it) are decoded this way; the tests hold
// the direct reader to its results.
// Internal to the platform layer. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace KeyedArchiveDetail {

// The limits and class kinds both decodes apply, so that they refuse the same archives.

// Object graphs of real archives nest a few dozen levels; a chain deeper than this is an
// attack or damage, and following it would exhaust the stack.
constexpr int kMaxDepth = 256;
// A decoded object shared from many places costs nothing here, but every caller that walks
// the result visits it once per reference: arrays that each hold the next one twice would
// expand a few hundred bytes into billions of values. The references followed while
// decoding, shared ones counted once per reference, stay within this floor or a small
// multiple of the object count, which real archives never come near.
constexpr quint64 kMinExpansionLimit = 1 << 20;
constexpr quint64 kExpansionPerObject = 16;

// The classes whose objects decode to plain values; Other decodes to a KeyedObject.
enum class Kind { String, Data, Date, List, Map, Null, Other };
Kind kindOfClass(const QString &name);

// A date object from its "NS.time" seconds after 2001; nullopt with *error set when out of
// range.
std::optional<QVariant> dateAt(double seconds, QString *error);
// A dictionary object from its decoded keys and values; nullopt with *error set when they
// differ in number or a key is not text.
std::optional<QVariant> dictionary(const QVariantList &keys, const QVariantList &values, QString *error);

std::optional<QVariant> decodeThroughTree(const QByteArray &archive, QString *error, const QString &topKey);

} // namespace KeyedArchiveDetail
