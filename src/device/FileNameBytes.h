#pragma once
// File names as the bytes they are. Device and local file systems allow any bytes in a name
// but "/" and NUL, while the controller keeps paths as QString: a name that is not UTF-8
// would come back from a QString as other bytes (every bad byte a U+FFFD), name a file that
// does not exist, and vanish from listings and copies.
//
// decode() turns each byte that is not part of valid UTF-8 into the lone surrogate U+DC00 +
// byte; encode() turns those back into the byte and everything else into UTF-8. Valid UTF-8
// never decodes to a lone surrogate, so encode(decode(b)) == b for every byte string, and
// a valid UTF-8 name is unchanged both ways. Pure functions; any thread.

#include <QByteArray>
#include <QString>

namespace FileNameBytes {

QString decode(const char *bytes, qsizetype size);
inline QString decode(const QByteArray &bytes)
{
    return decode(bytes.constData(), bytes.size());
}
QByteArray encode(const QString &name);
// Whether `name` holds bytes that are not UTF-8 (escaped by decode()).
bool hasEscapedBytes(const QString &name);

} // namespace FileNameBytes
