#pragma once
// Keyed archives: the archiver's object graph ("$archiver", "$version", "$objects", "$top")
// inside a property list, decoded into and encoded from QVariant trees.
//
// Decoding resolves every UID reference. Objects of the collection and value classes come
// back as plain values:
//   NSString/NSMutableString -> QString        NSNumber -> bool, qint64 or double as stored
//   NSData/NSMutableData     -> QByteArray     NSDate   -> QDateTime (UTC, "NS.time")
//   NSArray/NSSet (+mutable) -> QVariantList   NSDictionary (+mutable, string keys) -> QVariantMap
//   NSNull                   -> QVariant::fromValue(nullptr)
//   "$null"                  -> an invalid QVariant
// Any other class comes back as a KeyedObject: its class chain ("$classes") and its
// fields by key, each decoded by the same rules.
//
// Encoding is the inverse; a KeyedObject is written under its class name and class chain.
// Decoding refuses malformed archives (bad UIDs, cycles, nesting deeper than a fixed cap,
// missing "$top") with an error, never a crash. Stateless and thread-safe.

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>
#include <optional>

struct KeyedObject
{
    QString className;    // "$classname" of the object's class
    QStringList classes;  // "$classes": the class and its ancestors, most specific first
    QVariantMap fields;   // decoded values by key; "$class" is not among them

    bool isKindOf(const QString &name) const { return className == name || classes.contains(name); }
    QVariant value(const QString &key) const { return fields.value(key); }
};
Q_DECLARE_METATYPE(KeyedObject)

namespace KeyedArchive {

// The root object under "$top"/"root" (or the given top key).
std::optional<QVariant> decode(const QByteArray &archive, QString *error = nullptr,
                               const QString &topKey = QStringLiteral("root"));

// Writes a binary property list holding the archive of `root` under "$top"/`topKey`.
QByteArray encode(const QVariant &root, QString *error = nullptr,
                  const QString &topKey = QStringLiteral("root"));

// Convenience: a KeyedObject with the class chain {className, ..., "NSObject"}.
KeyedObject makeObject(const QString &className, const QVariantMap &fields,
                       const QStringList &superclasses = {});

} // namespace KeyedArchive
