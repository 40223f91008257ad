#pragma once
// Typed streams: the old-style (pre-keyed) archive format in which the device stores message
// bodies as archived attributed strings. A stream is a header ("streamtyped", little-endian,
// or "typedstream", big-endian) followed by groups of values, each group led by its type
// encoding ("@" an object, "i" an int, "+" a byte string, ...). Objects carry their class
// chain and their own groups up to an end mark; classes, type encodings and objects seen once
// are referred to by number afterwards.
//
// Decoding resolves every reference. Objects of the string, number, data and collection
// classes come back as plain values, as KeyedArchive does:
//   NSString/NSMutableString -> QString       NSNumber/NSValue -> qint64 or double
//   NSData/NSMutableData     -> QByteArray    NSArray/NSSet (+mutable) -> QVariantList
//   NSDictionary (+mutable)  -> QVariantMap (keys as text)
//   NSAttributedString (+mutable, concrete) -> TypedAttributedString
// Any other class comes back as a TypedStreamObject with its values in stream order.
//
// Malformed input (bad references, a reference to an object still being read, lengths past
// the end, nesting deeper than a fixed cap, unknown type codes) is refused with an error text,
// never a crash and never a read outside the buffer. Stateless and thread-safe.

#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <optional>

struct TypedStreamObject
{
    QString className;
    QStringList classes; // the class and its ancestors, most specific first
    QVariantList values; // every value of the object's groups, in stream order
};
Q_DECLARE_METATYPE(TypedStreamObject)

struct TypedAttributedString
{
    struct Run
    {
        qsizetype location = 0; // in UTF-16 units of `string`
        qsizetype length = 0;
        QVariantMap attributes;
    };
    QString string;
    QList<Run> runs; // in order, covering the string without gaps
};
Q_DECLARE_METATYPE(TypedAttributedString)

namespace TypedStream {

// The first value of the stream's first group (the archived root object).
std::optional<QVariant> decode(const QByteArray &stream, QString *error = nullptr);

// The root as an attributed string; a root that is a plain string gives one run without
// attributes. nullopt (with *error) for anything else.
std::optional<TypedAttributedString> attributedString(const QByteArray &stream, QString *error = nullptr);

} // namespace TypedStream
