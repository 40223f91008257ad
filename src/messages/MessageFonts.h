#pragma once
// The message fonts: six named styles whose sizes follow the text-size preference
// "MSG_SIZE" (s): normal s + 1 below 15, else s + 3; white as normal; header and bold header
// s - 0.5, gray; media title s, blue; big 40 for bodies of one to three emoji. Every style is
// the system font with proportional figures.
//
// Why a table swapped whole: a size change used to drop the font caches while other threads
// were measuring with them. Here a table is built once per size and never changed; readers
// keep the one they took (a shared pointer) and a size change installs a new one.
//
// Any thread.

#include <QString>

#include <cstdint>
#include <memory>

namespace MessageStyle {
enum Style { Normal, White, Header, BoldHeader, MediaTitle, Big };
// The run attribute that names the style of a run of a message text, and its values.
inline const QString attribute = QStringLiteral("style");
QString key(Style style);
Style fromKey(const QString &key); // unknown keys read as Normal
} // namespace MessageStyle

struct MessageFontTable
{
    double textSize = 10; // MSG_SIZE when the table was built
    double size(MessageStyle::Style style) const;
    bool bold(MessageStyle::Style style) const { return style == MessageStyle::BoldHeader; }
    // 0xAARRGGBB; 0 means the view's own text colour.
    uint32_t colour(MessageStyle::Style style) const;
    // Height of a bubble's header line: s + 7 below 15, else s + 11.
    double headerHeight() const;
};

namespace MessageFonts {
// The table of the current text size (built on first use).
std::shared_ptr<const MessageFontTable> current();
// The text size changed: the next reader gets a table of the new size, and every cached
// plain size and bubble header is measured again (generation()).
void resetFontAttributes();
// Raised by every reset; caches of measured sizes compare it.
uint64_t generation();
} // namespace MessageFonts

struct TypedAttributedString;
namespace MessageStyle {
// Appends `text` as a run of `style`.
void append(TypedAttributedString &to, const QString &text, Style style);
// The style of the run holding position `at` (Normal outside every run).
Style styleAt(const TypedAttributedString &text, qsizetype at);
} // namespace MessageStyle
