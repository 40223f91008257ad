#pragma once
// Keyed archives held in a binary property list, decoded straight from their bytes: the
// archive's objects are read where they lie, as its graph reaches them, with no property-list
// tree built first. The value tree and the refusals are those of decoding through the whole
// property-list tree (KeyedArchive.h describes them); only the cost differs.
//
// A few inputs are left to the tree path rather than copied rule by rule: UTF-16 text with
// unpaired surrogates, which the property-list library mends by dropping units in ways of its
// own. The caller decodes those through the tree.
// Internal to the platform layer; KeyedArchive::decode calls it. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace KeyedArchiveBinaryReader {

enum class Outcome { Decoded, Refused, LeftToTree };

// `archive` starts with the binary property-list header. Decoded: *value holds the root
// under "$top"/`topKey`. Refused: *error says why.
Outcome decode(const QByteArray &archive, const QString &topKey, QVariant *value, QString *error);

} // namespace KeyedArchiveBinaryReader
