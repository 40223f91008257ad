// The holder of the installed HTML converter and the fallback used without one.

#include "interfaces/HTMLTextConverter.h"

#include <QRegularExpression>
#include <QStringList>

#include <atomic>

namespace {

class TagDroppingConverter : public HTMLTextConverter
{
public:
    QString plainTextFromHTML(const QString &html) const override
    {
        static const QRegularExpression breaks(QStringLiteral("<\\s*(br|/p|/div)\\b[^>]*>"),
                                               QRegularExpression::CaseInsensitiveOption);
        static const QRegularExpression tags(QStringLiteral("<[^>]*>"));
        QString text = html;
        text.replace(breaks, QStringLiteral("\n"));
        text.remove(tags);
        text.replace(QLatin1String("&lt;"), QLatin1String("<"));
        text.replace(QLatin1String("&gt;"), QLatin1String(">"));
        text.replace(QLatin1String("&quot;"), QLatin1String("\""));
        text.replace(QLatin1String("&#39;"), QLatin1String("'"));
        text.replace(QLatin1String("&nbsp;"), QLatin1String(" "));
        text.replace(QLatin1String("&amp;"), QLatin1String("&"));
        return text;
    }
};

std::shared_ptr<const HTMLTextConverter> gInstalled;

} // namespace

void HTMLTextConverter::install(std::shared_ptr<const HTMLTextConverter> converter)
{
    std::atomic_store(&gInstalled, std::move(converter));
}

std::shared_ptr<const HTMLTextConverter> HTMLTextConverter::converter()
{
    static const auto fallback = std::make_shared<TagDroppingConverter>();
    auto installed = std::atomic_load(&gInstalled);
    return installed ? installed : fallback;
}

QByteArray HTMLTextConverter::rtfFromHTML(const QString &html) const
{
    return rtfFromPlainText(plainTextFromHTML(html));
}

QByteArray HTMLTextConverter::rtfEscaped(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (u == '\\' || u == '{' || u == '}') {
            out += '\\';
            out += char(u);
        } else if (u == '\t') {
            out += "\\tab ";
        } else if (u == '\n' || u == 0x2028 || (u == '\r' && !(i + 1 < text.size() && text[i + 1] == QLatin1Char('\n')))) {
            out += "\\line ";
        } else if (u == 0x2029) {
            out += "\\par ";
        } else if (u < 0x20 || u == 0x7f) {
            // The "\r" of "\r\n" (the "\n" breaks); other controls have no place in text.
        } else if (u < 0x80) {
            out += char(u);
        } else {
            // RTF's \u takes a signed 16-bit number, one per UTF-16 unit, then one fallback
            // character (\uc1).
            out += "\\u" + QByteArray::number(int(int16_t(u))) + '?';
        }
    }
    return out;
}

QByteArray HTMLTextConverter::rtfFromPlainText(const QString &text)
{
    QString body = text;
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QByteArray out("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl{\\f0\\fnil Helvetica;}}\n\\pard\\f0 ");
    const QStringList lines = body.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (i > 0)
            out += "\\par\n";
        out += rtfEscaped(lines[i]);
    }
    return out + "\n}\n";
}
