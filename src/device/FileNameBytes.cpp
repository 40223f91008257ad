#include "device/FileNameBytes.h"

namespace FileNameBytes {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(char16_t unit)
{
    return unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF;
}

// The length of the valid UTF-8 sequence at `p` (0 when none starts there).
int validSequence(const unsigned char *p, qsizetype left)
{
    const unsigned char lead = p[0];
    if (lead < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF)
            return 0;
    return length;
}

} // namespace

QString decode(const char *bytes, qsizetype size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    QString result;
    result.reserve(size);
    qsizetype i = 0;
    while (i < size) {
        // Runs of valid UTF-8 go through Qt's decoder in one piece.
        qsizetype end = i;
        while (end < size) {
            const int length = validSequence(p + end, size - end);
            if (!length)
                break;
            end += length;
        }
        if (end > i)
            result += QString::fromUtf8(bytes + i, end - i);
        if (end < size) {
            result += QChar(char16_t(kEscapeBase + p[end]));
            ++end;
        }
        i = end;
    }
    return result;
}

QByteArray encode(const QString &name)
{
    if (!hasEscapedBytes(name))
        return name.toUtf8();
    QByteArray result;
    result.reserve(name.size() * 3);
    qsizetype start = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t unit = name.at(i).unicode();
        // An escape is a lone low surrogate: one after a high surrogate is half a pair.
        if (!isEscape(unit) || (i > 0 && name.at(i - 1).isHighSurrogate()))
            continue;
        result += QStringView(name).mid(start, i - start).toUtf8();
        result += char(unit - kEscapeBase);
        start = i + 1;
    }
    result += QStringView(name).mid(start).toUtf8();
    return result;
}

bool hasEscapedBytes(const QString &name)
{
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (isEscape(name.at(i).unicode()) && !(i > 0 && name.at(i - 1).isHighSurrogate()))
            return true;
    }
    return false;
}

} // namespace FileNameBytes
