#pragma once
// The HTML body of an extracted message: its fixed head and tail and the fragments appended
// for text blocks and attachments.
//
// The stored HTML is what the archive's duplicate check matches a message by, so the form
// of every fragment is fixed: changing one byte of it would make every later run store the
// messages of older archives again. What is inserted into the fragments (attachment keys,
// file names, message text) comes from the device and is escaped; HTML parts that the
// device sends as HTML are sanitised (scripts, frames, event handlers and script addresses
// removed), while HTML without any of those passes unchanged.
//
// Any thread; no state.

#include <QString>

namespace MessageHTML {

QString head();
QString tail();

// Text escaped for an element's content, and for a double-quoted attribute value.
QString escapeText(const QString &text);
QString escapeAttribute(const QString &text);

// A plain text as an HTML fragment: escaped, line breaks as "<br>".
QString fragment(const QString &text);

// The fragments; `html` is the body so far (the templates that append to it take it).
QString imageRow(const QString &key);                             // appended by the caller
QString imagePartRow(const QString &html, const QString &key);
QString videoRow(const QString &html, const QString &key);
QString audioRow(const QString &html, const QString &key);
QString linkRow(const QString &html, const QString &key, const QString &label);
QString unavailableRow(const QString &html, const QString &marker); // marker: a localised text
QString textBlock(const QString &html, const QString &blockHtml);

// An HTML part from the device with its active content removed.
QString sanitize(const QString &html);

} // namespace MessageHTML
