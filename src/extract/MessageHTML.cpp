#include "extract/MessageHTML.h"

#include <QRegularExpression>

#include <algorithm>

namespace MessageHTML {

QString head()
{
    return QStringLiteral("<!doctype html><html><head><meta http-equiv=\"content-type\" "
                          "content=\"text/html; charset=UTF-8\"></head><body><FONT FACE=Helvetica>");
}

QString tail()
{
    return QStringLiteral("</font></body></html>");
}

QString escapeText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&': out += QLatin1String("&amp;"); break;
        case '<': out += QLatin1String("&lt;"); break;
        case '>': out += QLatin1String("&gt;"); break;
        default: out += c;
        }
    }
    return out;
}

QString escapeAttribute(const QString &text)
{
    QString out = escapeText(text);
    out.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return out;
}

QString fragment(const QString &text)
{
    // Most messages hold nothing to escape or break: they are their own fragment.
    const auto special = [](QChar c) {
        const char16_t u = c.unicode();
        return u == '&' || u == '<' || u == '>' || u == '\r' || u == '\n';
    };
    if (std::none_of(text.cbegin(), text.cend(), special))
        return text;
    QString out = escapeText(text);
    out.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    out.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    return out;
}

QString imageRow(const QString &key)
{
    const QString k = escapeAttribute(key);
    return QStringLiteral("<div><A HREF=\"%1\"><IMG SRC=\"%1\" WIDTH=100% BORDER=0/></A></div>").arg(k);
}

QString imagePartRow(const QString &html, const QString &key)
{
    return html + imageRow(key);
}

QString videoRow(const QString &html, const QString &key)
{
    return html + QStringLiteral("<div><VIDEO SRC=\"%1\" WIDTH=320 CONTROLS=TRUE></VIDEO></div>").arg(escapeAttribute(key));
}

QString audioRow(const QString &html, const QString &key)
{
    return html + QStringLiteral("<div><AUDIO SRC=\"%1\" CONTROLS=TRUE></AUDIO></div>").arg(escapeAttribute(key));
}

QString linkRow(const QString &html, const QString &key, const QString &label)
{
    return html + QStringLiteral("<div><A HREF=\"%1\">").arg(escapeAttribute(key)) + escapeText(label)
        + QStringLiteral("</A></div>");
}

QString unavailableRow(const QString &html, const QString &marker)
{
    return html + QStringLiteral("<div>") + escapeText(marker) + QStringLiteral("</div>");
}

QString textBlock(const QString &html, const QString &blockHtml)
{
    return html + QStringLiteral("<div>") + blockHtml + QStringLiteral("</div>");
}

QString sanitize(const QString &html)
{
    using RE = QRegularExpression;
    constexpr auto options = RE::CaseInsensitiveOption | RE::DotMatchesEverythingOption;
    // Elements that run code or pull in other documents go with their content.
    static const RE activeElements(
        QStringLiteral("<\\s*(script|style|iframe|frame|frameset|object|embed|applet|form|base|meta|link)\\b.*?"
                       "(<\\s*/\\s*\\1\\s*>|/>|$)"),
        options);
    // Stray openers or closers of the same elements.
    static const RE activeTags(
        QStringLiteral("<\\s*/?\\s*(script|style|iframe|frame|frameset|object|embed|applet|form|base|meta|link)\\b[^>]*>"),
        options);
    // Event handler attributes inside a tag, quoted or not.
    static const RE handlers(QStringLiteral("(<[^<>]*?)\\s+on[a-z]+\\s*=\\s*(\"[^\"]*\"|'[^']*'|[^\\s>]+)"), options);
    // Addresses that run script.
    static const RE scriptUrls(
        QStringLiteral("(href|src|action|formaction|background|lowsrc|dynsrc)\\s*=\\s*([\"']?)\\s*(javascript|vbscript|data)\\s*:"),
        options);

    QString out = html;
    QString before;
    // Removing one construct can join the pieces of another: repeat until nothing changes.
    for (int round = 0; round < 8 && out != before; ++round) {
        before = out;
        out.replace(activeElements, QString());
        out.replace(activeTags, QString());
        out.replace(handlers, QStringLiteral("\\1"));
        out.replace(scriptUrls, QStringLiteral("\\1=\\2blocked:"));
    }
    return out;
}

} // namespace MessageHTML
