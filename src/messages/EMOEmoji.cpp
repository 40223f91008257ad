#include "messages/EMOEmoji.h"

#include <QTextBoundaryFinder>

namespace EMOEmoji {

namespace {

// The characters of U+2100..U+27FF that have the Unicode Emoji property (emoji-data.txt);
// the rest of that range are plain symbols.
constexpr char16_t kSymbolEmoji[][2] = {
    {0x2122, 0x2122}, {0x2139, 0x2139}, {0x2194, 0x2199}, {0x21A9, 0x21AA}, {0x231A, 0x231B}, {0x2328, 0x2328},
    {0x23CF, 0x23CF}, {0x23E9, 0x23F3}, {0x23F8, 0x23FA}, {0x24C2, 0x24C2}, {0x25AA, 0x25AB}, {0x25B6, 0x25B6},
    {0x25C0, 0x25C0}, {0x25FB, 0x25FE}, {0x2600, 0x2604}, {0x260E, 0x260E}, {0x2611, 0x2611}, {0x2614, 0x2615},
    {0x2618, 0x2618}, {0x261D, 0x261D}, {0x2620, 0x2620}, {0x2622, 0x2623}, {0x2626, 0x2626}, {0x262A, 0x262A},
    {0x262E, 0x262F}, {0x2638, 0x263A}, {0x2640, 0x2640}, {0x2642, 0x2642}, {0x2648, 0x2653}, {0x265F, 0x2660},
    {0x2663, 0x2663}, {0x2665, 0x2666}, {0x2668, 0x2668}, {0x267B, 0x267B}, {0x267E, 0x267F}, {0x2692, 0x2697},
    {0x2699, 0x2699}, {0x269B, 0x269C}, {0x26A0, 0x26A1}, {0x26A7, 0x26A7}, {0x26AA, 0x26AB}, {0x26B0, 0x26B1},
    {0x26BD, 0x26BE}, {0x26C4, 0x26C5}, {0x26C8, 0x26C8}, {0x26CE, 0x26CF}, {0x26D1, 0x26D1}, {0x26D3, 0x26D4},
    {0x26E9, 0x26EA}, {0x26F0, 0x26F5}, {0x26F7, 0x26FA}, {0x26FD, 0x26FD}, {0x2702, 0x2702}, {0x2705, 0x2705},
    {0x2708, 0x270D}, {0x270F, 0x270F}, {0x2712, 0x2712}, {0x2714, 0x2714}, {0x2716, 0x2716}, {0x271D, 0x271D},
    {0x2721, 0x2721}, {0x2728, 0x2728}, {0x2733, 0x2734}, {0x2744, 0x2744}, {0x2747, 0x2747}, {0x274C, 0x274C},
    {0x274E, 0x274E}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2763, 0x2764}, {0x2795, 0x2797}, {0x27A1, 0x27A1},
    {0x27B0, 0x27B0}, {0x27BF, 0x27BF},
};

bool isSymbolEmoji(char16_t c)
{
    for (const auto &range : kSymbolEmoji) {
        if (c >= range[0] && c <= range[1])
            return true;
    }
    return false;
}

} // namespace

bool isEmojiSequence(QStringView sequence)
{
    if (sequence.isEmpty())
        return false;
    const char16_t h = sequence.at(0).unicode();
    if (h >= 0xD800 && h <= 0xDBFF) {
        if (sequence.size() < 2)
            return false;
        const char16_t l = sequence.at(1).unicode();
        if (l < 0xDC00 || l > 0xDFFF)
            return false;
        const uint32_t cp = 0x10000 + (uint32_t(h) - 0xD800) * 1024 + (uint32_t(l) - 0xDC00);
        return cp >= 0x1D000 && cp <= 0x1F9C0;
    }
    if (sequence.size() >= 2) {
        const char16_t second = sequence.at(1).unicode();
        return second == 0x20E3 || second == 0xFE0F || second == 0xD83C;
    }
    // One unit. The letterlike, arrow, technical and dingbat blocks (U+2100..U+27FF) hold
    // emoji among many plain symbols; only the emoji among them count, so that a text of
    // arrows or box symbols is not drawn as emoji.
    if (h >= 0x2100 && h <= 0x27FF)
        return isSymbolEmoji(h);
    return (h >= 0x2B05 && h <= 0x2B07) || (h >= 0x2934 && h <= 0x2935) || (h >= 0x3297 && h <= 0x3299)
        || h == 0x2B1B || h == 0x2B1C || h == 0x2B50 || h == 0x2B55 || h == 0x3030 || h == 0x303D
        || h == 0x00A9 || h == 0x00AE;
}

} // namespace EMOEmoji

bool emo_isPureEmojiString(const QString &text)
{
    if (text.isEmpty())
        return false;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    qsizetype start = 0;
    for (qsizetype end = finder.toNextBoundary(); end > 0; end = finder.toNextBoundary()) {
        if (++count > 3)
            return false;
        if (!EMOEmoji::isEmojiSequence(QStringView(text).mid(start, end - start)))
            return false;
        start = end;
    }
    return count > 0;
}
