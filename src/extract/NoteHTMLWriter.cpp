#include "extract/NoteHTMLWriter.h"

#include "extract/NoteAttributes.h"

#include <QStringList>

#include <algorithm>

namespace {

QString attribute(const QVariantMap &attributes, const char *key)
{
    return attributes.value(QLatin1String(key)).toString();
}

QString hexColour(const QVariantMap &colour)
{
    const auto channel = [&](const char *name) {
        return std::clamp(qRound(colour.value(QLatin1String(name)).toDouble() * 255), 0, 255);
    };
    return QStringLiteral("#%1%2%3")
        .arg(channel("red"), 2, 16, QLatin1Char('0'))
        .arg(channel("green"), 2, 16, QLatin1Char('0'))
        .arg(channel("blue"), 2, 16, QLatin1Char('0'));
}

// The CSS of a run, "" for a plain one. A font named "Family-Bold" or "Family-Italic" is
// asked for by its own name and then its family, with the style the name carries.
QString style(const QVariantMap &attributes)
{
    QStringList parts;
    const QVariantMap font = attributes.value(QLatin1String(NoteAttributes::kFont)).toMap();
    const QString name = font.value(QStringLiteral("name")).toString();
    bool bold = false, italic = false;
    if (!name.isEmpty()) {
        const QStringList pieces = name.split(QLatin1Char('-'));
        QStringList families{name};
        if (pieces.size() > 1) {
            families.append(pieces.first());
            bold = pieces[1].contains(QLatin1String("Bold"));
            italic = pieces[1].contains(QLatin1String("Italic"));
        }
        QStringList quoted;
        for (QString family : families)
            quoted.append(QStringLiteral("'") + family.remove(QLatin1Char('\'')).remove(QLatin1Char('\\')) + QStringLiteral("'"));
        parts.append(QStringLiteral("font-family: ") + quoted.join(QStringLiteral(", ")));
    }
    const double size = font.value(QStringLiteral("size")).toDouble();
    if (size > 0 && size < 1000)
        parts.append(QStringLiteral("font-size: %1px").arg(size));
    const int weight = attributes.value(QLatin1String(NoteAttributes::kWeight)).toInt();
    if (bold || (weight & 1))
        parts.append(QStringLiteral("font-weight: bold"));
    if (italic || (weight & 2))
        parts.append(QStringLiteral("font-style: italic"));
    if (attributes.value(QLatin1String(NoteAttributes::kUnderline)).toInt() != 0)
        parts.append(QStringLiteral("text-decoration: underline"));
    if (attributes.contains(QLatin1String(NoteAttributes::kColor)))
        parts.append(QStringLiteral("color: ") + hexColour(attributes.value(QLatin1String(NoteAttributes::kColor)).toMap()));
    return NoteHTMLWriter::escaped(parts.join(QStringLiteral("; ")));
}

class Writer
{
public:
    explicit Writer(const QString &alt) : mAlt(NoteHTMLWriter::escaped(alt)) { mOut += QStringLiteral("<p>"); }

    void run(QStringView text, const QVariantMap &attributes)
    {
        const QString file = attribute(attributes, NoteAttributes::kAttachmentFile);
        const QString link = attribute(attributes, NoteAttributes::kLink);
        const QString css = style(attributes);
        qsizetype start = 0;
        for (qsizetype i = 0; i <= text.size(); ++i) {
            const bool end = i == text.size();
            const QChar c = end ? QChar() : text[i];
            if (!end && c != QLatin1Char('\n') && c != QChar(0x2029) && c != QChar::ObjectReplacementCharacter)
                continue;
            piece(text.sliced(start, i - start), css, link);
            start = i + 1;
            if (end)
                break;
            if (c == QChar::ObjectReplacementCharacter) {
                if (!file.isEmpty())
                    mOut += QStringLiteral("<img alt=\"%1\" style=\"width:90%;\" src=\"%2\">")
                                .arg(mAlt, NoteHTMLWriter::escaped(file));
            } else {
                paragraph();
            }
        }
    }

    QString finish()
    {
        paragraph();
        mOut.chop(3); // the "<p>" no line follows
        return QStringLiteral("<!DOCTYPE html PUBLIC \"-//W3C//DTD HTML 4.01//EN\" \"http://www.w3.org/TR/html4/strict.dtd\">\n"
                              "<html>\n<head>\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">\n"
                              "<title></title>\n</head>\n<body>\n")
               + mOut + QStringLiteral("</body>\n</html>\n");
    }

private:
    void piece(QStringView text, const QString &css, const QString &link)
    {
        if (text.isEmpty())
            return;
        mLineEmpty = false;
        QString content = NoteHTMLWriter::escaped(text);
        if (!css.isEmpty())
            content = QStringLiteral("<span style=\"%1\">%2</span>").arg(css, content);
        if (!link.isEmpty())
            content = QStringLiteral("<a href=\"%1\">%2</a>").arg(NoteHTMLWriter::escaped(link), content);
        mOut += content;
    }

    void paragraph()
    {
        if (mLineEmpty)
            mOut += QStringLiteral("<br>");
        mOut += QStringLiteral("</p>\n<p>");
        mLineEmpty = true;
    }

    QString mAlt;
    QString mOut;
    bool mLineEmpty = true;
};

} // namespace

QString NoteHTMLWriter::escaped(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        switch (c.unicode()) {
        case '&': out += QLatin1String("&amp;"); continue;
        case '<': out += QLatin1String("&lt;"); continue;
        case '>': out += QLatin1String("&gt;"); continue;
        case '"': out += QLatin1String("&quot;"); continue;
        case '\'': out += QLatin1String("&#39;"); continue;
        default: break;
        }
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if (c.isSurrogate()) {
            out += QChar::ReplacementCharacter;
        } else if (c.unicode() >= 0x20 || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            if (c.unicode() != 0x7f)
                out += c;
        }
    }
    return out;
}

QString NoteHTMLWriter::html(const TypedAttributedString &text, const QString &attachmentAlt)
{
    Writer writer(attachmentAlt);
    for (const auto &run : text.runs) {
        if (run.location < 0 || run.length <= 0 || run.location + run.length > text.string.size())
            continue;
        writer.run(QStringView(text.string).sliced(run.location, run.length), run.attributes);
    }
    return writer.finish();
}
