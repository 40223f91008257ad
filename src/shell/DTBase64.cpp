#include "DTBase64.h"

#include <array>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Every byte outside the alphabet maps to 0, as stored data written by the design expects.
constexpr std::array<unsigned char, 256> makeReverseTable()
{
    std::array<unsigned char, 256> table{};
    for (unsigned char i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr std::array<unsigned char, 256> kReverse = makeReverseTable();

} // namespace

QString DTBase64::encode(const QByteArray &data)
{
    return encode(data.constData(), data.size());
}

QString DTBase64::encode(const char *bytes, qsizetype length)
{
    if (!bytes || length <= 0)
        return QStringLiteral(""); // empty, not missing: it decodes back to no bytes
    const auto *in = reinterpret_cast<const unsigned char *>(bytes);
    QByteArray out;
    out.reserve(((length + 2) / 3) * 4);
    qsizetype i = 0;
    for (; i + 2 < length; i += 3) {
        const unsigned v = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        out.append(kAlphabet[(v >> 18) & 63]);
        out.append(kAlphabet[(v >> 12) & 63]);
        out.append(kAlphabet[(v >> 6) & 63]);
        out.append(kAlphabet[v & 63]);
    }
    const qsizetype rest = length - i;
    if (rest > 0) {
        const unsigned v = (in[i] << 16) | (rest == 2 ? in[i + 1] << 8 : 0);
        out.append(kAlphabet[(v >> 18) & 63]);
        out.append(kAlphabet[(v >> 12) & 63]);
        out.append(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        out.append('=');
    }
    return QString::fromLatin1(out);
}

std::optional<QByteArray> DTBase64::decode(const QString &text)
{
    if (text.isNull())
        return std::nullopt;
    const QByteArray ascii = text.toLatin1();
    return decode(ascii.constData(), ascii.size());
}

std::optional<QByteArray> DTBase64::decode(const char *text, qsizetype length)
{
    if (!text || length < 0 || length % 4 != 0)
        return std::nullopt;
    // Padding is at most two characters; any further "=" is just a character outside the
    // alphabet. Counting more would make "====" ask for fewer than zero bytes.
    qsizetype padding = 0;
    if (length >= 1 && text[length - 1] == '=')
        ++padding;
    if (length >= 2 && text[length - 2] == '=')
        ++padding;
    const qsizetype full = length / 4 * 3;
    const qsizetype size = full - padding; // >= 1 whenever length >= 4, 0 for empty text

    QByteArray out(full, Qt::Uninitialized);
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    const auto *src = reinterpret_cast<const unsigned char *>(text);
    for (qsizetype i = 0, o = 0; i < length; i += 4, o += 3) {
        const unsigned v = (kReverse[src[i]] << 18) | (kReverse[src[i + 1]] << 12)
                           | (kReverse[src[i + 2]] << 6) | kReverse[src[i + 3]];
        dst[o] = static_cast<unsigned char>(v >> 16);
        dst[o + 1] = static_cast<unsigned char>(v >> 8);
        dst[o + 2] = static_cast<unsigned char>(v);
    }
    out.truncate(size);
    return out;
}
