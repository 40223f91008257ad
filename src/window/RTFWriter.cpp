#include "RTFWriter.h"

#include "interfaces/HTMLTextConverter.h"

#include <QColor>
#include <QStringList>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

namespace {

class Tables
{
public:
    int font(const QString &family)
    {
        const QString name = family.isEmpty() ? QStringLiteral("Helvetica") : family;
        int index = mFonts.indexOf(name);
        if (index < 0) {
            mFonts.append(name);
            index = int(mFonts.size()) - 1;
        }
        return index;
    }

    // 0 is the reader's own colour; ours count from 1.
    int colour(const QColor &colour)
    {
        const QRgb rgb = colour.rgb() & 0xffffff;
        int index = int(mColours.indexOf(rgb));
        if (index < 0) {
            mColours.append(rgb);
            index = int(mColours.size()) - 1;
        }
        return index + 1;
    }

    QByteArray header() const
    {
        QByteArray out("{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl");
        for (qsizetype i = 0; i < mFonts.size(); ++i)
            out += "{\\f" + QByteArray::number(i) + "\\fnil " + HTMLTextConverter::rtfEscaped(mFonts[i]) + ";}";
        out += "}\n{\\colortbl;";
        for (QRgb rgb : mColours)
            out += "\\red" + QByteArray::number(qRed(rgb)) + "\\green" + QByteArray::number(qGreen(rgb)) + "\\blue"
                   + QByteArray::number(qBlue(rgb)) + ";";
        out += "}\n";
        return out;
    }

private:
    QStringList mFonts;
    QList<QRgb> mColours;
};

QByteArray styled(Tables &tables, const QTextCharFormat &format, const QString &text)
{
    QByteArray out("{\\f" + QByteArray::number(tables.font(format.fontFamilies().toStringList().value(0))));
    const double points = format.fontPointSize();
    if (points > 0)
        out += "\\fs" + QByteArray::number(qRound(points * 2));
    if (format.fontWeight() >= QFont::Bold)
        out += "\\b";
    if (format.fontItalic())
        out += "\\i";
    if (format.fontUnderline())
        out += "\\ul";
    if (format.hasProperty(QTextFormat::ForegroundBrush) && format.foreground().style() != Qt::NoBrush)
        out += "\\cf" + QByteArray::number(tables.colour(format.foreground().color()));
    out += ' ';
    out += HTMLTextConverter::rtfEscaped(text);
    out += '}';
    if (format.isAnchor() && !format.anchorHref().isEmpty()) {
        QString href = format.anchorHref();
        href.replace(QLatin1Char('"'), QStringLiteral("%22"));
        return "{\\field{\\*\\fldinst HYPERLINK \"" + HTMLTextConverter::rtfEscaped(href) + "\"}{\\fldrslt " + out + "}}";
    }
    return out;
}

} // namespace

QByteArray RTFWriter::rtfFromDocument(const QTextDocument &document)
{
    Tables tables;
    tables.font(document.defaultFont().family());
    QByteArray body;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block != document.begin())
            body += "\\par\n";
        body += "\\pard ";
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid() || fragment.charFormat().isImageFormat())
                continue;
            QString text = fragment.text();
            text.remove(QChar::ObjectReplacementCharacter);
            if (!text.isEmpty())
                body += styled(tables, fragment.charFormat(), text);
        }
    }
    return tables.header() + body + "\n}\n";
}
