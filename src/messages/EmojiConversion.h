#pragma once
// Turning a message body into text whose emoji show on this system: SoftBank private-use
// emoji of old devices become Unicode emoji (or, without an emoji font, stay SoftBank and
// are drawn as small pictures from "keys.bin"), symbols that need it get the emoji
// variation selector, and a body of one to three emoji is marked to be drawn large.
//
// The lookups search the fixed tables (EmojiTables.h); the character sets behind them are
// built once per process (std::call_once). Any thread.

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>

namespace EmojiConversion {

// SoftBank code to the UTF-8 bytes of its emoji (as in utf8table), 0 when it has none.
uint32_t mapSBToUnicode(uint16_t softBank);
// A UTF-16 value (a surrogate pair as high * 65536 + low) to its SoftBank code, 0 when none.
uint16_t mapUtf16ToSb(uint32_t utf16);
// One of the 18 symbols that need the emoji font to its UTF-8 bytes, 0 when not one.
uint32_t mapUtf16ToUtf8(uint16_t utf16);
// A flag's first regional indicator (UTF-8 bytes) to its second, 0 when not a flag.
uint32_t mapRegionalIndicator(uint32_t firstUtf8);
// The text of a table word: its UTF-8 bytes without the zero that pads three-byte entries.
QString textOfUtf8Word(uint32_t word);

// SoftBank emoji to Unicode emoji, each followed by one space; a flag gets both indicators.
QString softBankToUnicode(const QString &text);
// Unicode emoji of the table back to SoftBank codes (for systems without an emoji font);
// a flag's first indicator takes its second with it.
QString unicodeToSoftBank(const QString &text);
// Each of the 18 symbols not already followed by a variation selector (or 0xD83C) gets
// U+FE0F after it.
QString convertLowerWithVariationChar(const QString &text);
// Drops U+FE0F after the 13 symbols that a system release showed wrongly with it.
QString change52VariationChar(const QString &text);

// Whether a SoftBank code is one of the six blocks; its picture index (0..470) or -1.
bool isSoftBank(char16_t c);
int pictureIndex(char16_t softBank);

struct Options
{
    bool noConvert = true;     // the NOCONVERT preference
    bool forceUnicode = false; // export texts
    bool haveEmojiFont = true;
};

struct Result
{
    QString text;
    bool showAsEmoji = false;      // one to three emoji only: draw large
    bool hasSpecial = false;       // pictures stand in: full text layout needed
    QList<qsizetype> pictureAt;    // positions of SoftBank characters drawn as pictures
};

// The conversion of a plain body. `hasPicture` tells whether keys.bin has a picture for a
// SoftBank code (no file: none).
Result convert(const QString &text, const Options &options, bool (*hasPicture)(char16_t) = nullptr);

// The picture file: 32 x 32 RGBA pictures of 4096 bytes each, in SoftBank block order.
// Loaded once from `path` (a missing or short file: no pictures).
void setPictureFile(const QString &path);
QByteArray pictureData(char16_t softBank);
bool hasPicture(char16_t softBank);
// The picture scaled to `points` through the installed scaler; empty without one.
QByteArray scaledPicture(char16_t softBank, int points);

} // namespace EmojiConversion
