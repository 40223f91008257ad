#pragma once
// Property lists (binary and XML) read into and written from QVariant trees, through libplist.
//
// Type mapping, both directions:
//   dictionary <-> QVariantMap      array  <-> QVariantList     string <-> QString
//   integer    <-> qint64 (quint64 when above INT64_MAX)         real   <-> double
//   boolean    <-> bool             data   <-> QByteArray        date   <-> QDateTime (UTC)
//   UID        <-> PlistUid (the keyed archiver's object references)
// Integers, reals and booleans stay apart: a stored 1 never comes back as true or 1.0.
//
// Reading refuses malformed input with an error text and never reads outside the buffer.
// Stateless and thread-safe.

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QVariant>
#include <optional>

struct PlistUid
{
    quint64 value = 0;
    friend bool operator==(const PlistUid &a, const PlistUid &b) { return a.value == b.value; }
};
Q_DECLARE_METATYPE(PlistUid)

namespace PropertyList {

enum class Format { Binary, Xml };

// Parses a binary or XML property list; nullopt with *error set when it is not one.
std::optional<QVariant> fromData(const QByteArray &data, QString *error = nullptr);
std::optional<QVariant> fromFile(const QString &path, QString *error = nullptr);

// Serialises; an empty result with *error set when the tree holds a type with no
// property-list form.
QByteArray toData(const QVariant &root, Format format, QString *error = nullptr);
// Writes atomically (temporary file, then rename).
bool toFile(const QVariant &root, const QString &path, Format format, QString *error = nullptr);

} // namespace PropertyList
