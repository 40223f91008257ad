#pragma once
// Local names for downloaded device items. A device name may be longer than the local
// filesystem allows (255 bytes of UTF-8 on Linux). Names of 251 characters or more keep the
// program's rule: the base is cut to 249 characters less the extension's length and the
// extension kept ("<246 characters>.txt" for a 300-character name). On top of that the
// result always fits in 255 bytes, is cut only between whole characters (never inside a
// surrogate pair), and an extension too long to keep is treated as part of the name.
// Pure function; any thread.

#include <QString>

QString shortenedFileName(const QString &name);

// The local filesystem's limit on one name, in bytes.
inline constexpr int kMaxFileNameBytes = 255;
