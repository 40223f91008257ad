#pragma once
// Names of files the messages view writes: attachments, conversation exports. The names come
// from a device (attachment references, contact-card titles, conversation and group names),
// so none may climb out of its folder or hide itself.
//
// Any thread; no state.

#include <QString>

namespace MessageFileNames {

// The last path component of an attachment reference from a message body, with the HTML
// entities of an attribute value undone. Empty when nothing usable is left (".", "..", an
// empty name): such a reference names no file.
QString lastComponent(const QString &reference);

// A name fit for one file in a folder: "/" becomes "-", line ends and other control
// characters become spaces, leading dots are dropped, and the name is cut to 255 bytes of
// UTF-8 keeping its extension (never inside a character). `fallback` when nothing is left.
QString safeFileName(const QString &name, const QString &fallback = QStringLiteral("Item"));

// The first `count` characters (code points, never half a surrogate pair) of `text`.
QString firstCharacters(const QString &text, int count);

} // namespace MessageFileNames
