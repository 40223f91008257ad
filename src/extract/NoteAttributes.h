#pragma once
// The attribute keys of a note's styled text (a TypedAttributedString), in one place: the
// newest-generation decoder writes them (NoteDocument), the notes reading adds the links
// and written attachment files (AppController+Notes.cpp), and the HTML writer reads them
// (NoteHTMLWriter).

namespace NoteAttributes {

// QVariantMap: "name" (QString, e.g. "Helvetica-Bold"), "size" (double, points), "hints" (int).
inline constexpr char kFont[] = "TTFont";
// int: 1 bold, 2 italic, 3 both.
inline constexpr char kWeight[] = "TTFontWeight";
// int: nonzero underlines.
inline constexpr char kUnderline[] = "TTUnderline";
// QVariantMap: "red", "green", "blue", "alpha" (double, 0 to 1).
inline constexpr char kColor[] = "TTColor";
// QString: the URL the run links to.
inline constexpr char kLink[] = "NSLink";
// QVariantMap: "identifier" and "type" (QString) of the attachment at the run's U+FFFC.
inline constexpr char kAttachment[] = "NSAttachment";
// QString: the path of the attachment's file as written into the temporary folder.
inline constexpr char kAttachmentFile[] = "QNAttachmentFile";

} // namespace NoteAttributes
