#pragma once
// Styled note text (a TypedAttributedString with the attributes of NoteAttributes.h) as one
// HTML document: a paragraph per line, a span per styled run, links as anchors, and each
// attachment whose file was written as an image tag with the given alternative text,
// "width:90%" and the file's path. Every text, name and URL is escaped, so nothing from the
// device can open a tag or an attribute. Stateless; any thread.

#include "platform/TypedStream.h"

namespace NoteHTMLWriter {

QString html(const TypedAttributedString &text, const QString &attachmentAlt);

// Text for HTML element content and attribute values: & < > " ' escaped, control
// characters other than tab and line breaks dropped, lone surrogates replaced.
QString escaped(QStringView text);

} // namespace NoteHTMLWriter
