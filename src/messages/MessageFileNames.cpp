#include "messages/MessageFileNames.h"

#include <QFileInfo>

namespace MessageFileNames {

QString lastComponent(const QString &reference)
{
    QString name = reference.section(QLatin1Char('/'), -1);
    name.replace(QLatin1String("&quot;"), QLatin1String("\""));
    name.replace(QLatin1String("&#39;"), QLatin1String("'"));
    name.replace(QLatin1String("&lt;"), QLatin1String("<"));
    name.replace(QLatin1String("&gt;"), QLatin1String(">"));
    name.replace(QLatin1String("&amp;"), QLatin1String("&"));
    // An entity may have spelled a slash.
    name = name.section(QLatin1Char('/'), -1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(QChar(0)))
        return {};
    return name;
}

QString safeFileName(const QString &name, const QString &fallback)
{
    QString out;
    out.reserve(name.size());
    for (QChar c : name) {
        if (c == QLatin1Char('/'))
            out += QLatin1Char('-');
        else if (c.unicode() < 0x20 || c.unicode() == 0x7F || c == QChar(0x2028) || c == QChar(0x2029))
            out += QLatin1Char(' ');
        else
            out += c;
    }
    qsizetype lead = 0;
    while (lead < out.size() && (out.at(lead) == QLatin1Char('.') || out.at(lead) == QLatin1Char(' ')))
        ++lead;
    out.remove(0, lead);
    if (out.trimmed().isEmpty())
        return fallback;
    if (out.toUtf8().size() <= 255)
        return out;
    // Cut the stem, keep a short extension.
    QString extension;
    const qsizetype dot = out.lastIndexOf(QLatin1Char('.'));
    if (dot > 0 && out.size() - dot <= 16)
        extension = out.mid(dot);
    QString stem = out.left(out.size() - extension.size());
    const qsizetype budget = 255 - extension.toUtf8().size();
    while (!stem.isEmpty() && stem.toUtf8().size() > budget) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + extension;
}

QString firstCharacters(const QString &text, int count)
{
    qsizetype i = 0;
    for (int n = 0; n < count && i < text.size(); ++n)
        i += (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ? 2 : 1;
    return text.left(i);
}

} // namespace MessageFileNames
