#pragma once
// The one RTF writer of the program (Qt reads no RTF and writes none): styled text of a
// QTextDocument as an RTF document that word processors and `unrtf` read. It keeps what
// notes, bookmarks, calls and contacts carry: paragraphs and line breaks, fonts and sizes,
// bold, italic, underline, colours and links. Pictures are left out.
//
// Any thread: each call works on the document it is given and keeps no state.

#include <QByteArray>

class QTextDocument;

namespace RTFWriter {

QByteArray rtfFromDocument(const QTextDocument &document);

} // namespace RTFWriter
