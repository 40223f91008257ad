#pragma once
// Our decoder of the newest notes generation's note bodies (ZICNOTEDATA.ZDATA): gzip data of
// a protocol-buffer message, read into styled text. The fields used:
//   2 document { 3 note { 2 text (UTF-8)
//                         5 run (repeated) { 1 length (UTF-16 units)
//                                            3 font { 1 name, 2 size (float), 3 hints }
//                                            5 weight (1 bold, 2 italic, 3 both)
//                                            6 underline
//                                            9 link (URL)
//                                            10 colour { 1 red, 2 green, 3 blue, 4 alpha (floats) }
//                                            12 attachment { 1 identifier, 2 type } } } }
// Runs become attributes named in NoteAttributes.h; U+FFFC in the text marks an attachment.
// Every length is checked against what remains, the inflated size and the nesting are
// capped, and what does not parse is refused with an error text. Stateless; any thread.

#include "platform/TypedStream.h"

#include <optional>

namespace NoteDocument {

// Inflated bodies larger than this are refused.
inline constexpr qsizetype kMaxInflatedBytes = 64 * 1024 * 1024;

std::optional<TypedAttributedString> decode(const QByteArray &data, QString *error = nullptr);

// The gzip data inflated, or nullopt (corrupt, not gzip, or larger than `limit`).
std::optional<QByteArray> gunzip(const QByteArray &data, qsizetype limit, QString *error = nullptr);

} // namespace NoteDocument
