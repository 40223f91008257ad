#include "device/FileNameShortener.h"

namespace {

constexpr qsizetype kShortenFrom = 251; // characters
constexpr qsizetype kCutTo = 249;       // characters

// The first `units` UTF-16 units, one fewer when that would split a surrogate pair.
QString leftWhole(const QString &text, qsizetype units)
{
    if (units <= 0)
        return {};
    if (units >= text.size())
        return text;
    if (text.at(units - 1).isHighSurrogate())
        --units;
    return text.left(units);
}

// Drops whole characters from the end until the UTF-8 form has at most `bytes` bytes.
QString fitBytes(QString text, qsizetype bytes)
{
    while (!text.isEmpty() && text.toUtf8().size() > bytes) {
        const qsizetype drop = text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate()
                && text.at(text.size() - 2).isHighSurrogate()
            ? 2
            : 1;
        text.chop(drop);
    }
    return text;
}

} // namespace

QString shortenedFileName(const QString &name)
{
    if (name.size() < kShortenFrom && name.toUtf8().size() <= kMaxFileNameBytes)
        return name;

    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
    // An extension that leaves no room for a base (or for a byte of one) is not kept apart.
    const bool keepExtension = !extension.isEmpty() && extension.size() < kCutTo
        && extension.toUtf8().size() + 2 <= kMaxFileNameBytes;
    if (!keepExtension)
        return fitBytes(leftWhole(name, kCutTo), kMaxFileNameBytes);

    QString base = leftWhole(name.left(dot), kCutTo - extension.size());
    base = fitBytes(base, kMaxFileNameBytes - 1 - extension.toUtf8().size());
    return base + QLatin1Char('.') + extension;
}
