// The XML property-list writer. Dates keep their milliseconds ("2019-06-01T12:30:05.250Z";
// whole seconds are written without a fraction, as other writers do).

#include "PlistWriters.h"

#include "PropertyList.h"

#include <QDateTime>

#include <cmath>
#include <limits>

namespace {

class XmlWriter
{
public:
    explicit XmlWriter(int maxDepth) : mMaxDepth(maxDepth) {}

    QByteArray out;
    QString error;

    bool write(const QVariant &value, int depth)
    {
        if (depth > mMaxDepth)
            return fail(QStringLiteral("value nested too deeply for a property list"));
        const int type = value.typeId();
        switch (type) {
        case QMetaType::Bool:
            return line(depth, value.toBool() ? "<true/>" : "<false/>");
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
            return element(depth, "integer", QByteArray::number(value.toLongLong()));
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar:
            return element(depth, "integer", QByteArray::number(value.toULongLong()));
        case QMetaType::Double:
        case QMetaType::Float: {
            const double d = value.toDouble();
            if (std::isnan(d))
                return element(depth, "real", "nan");
            if (std::isinf(d))
                return element(depth, "real", d > 0 ? "+infinity" : "-infinity");
            return element(depth, "real", QByteArray::number(d, 'g', 17));
        }
        case QMetaType::QString: {
            QByteArray text;
            return escaped(value.toString(), &text) && element(depth, "string", text);
        }
        case QMetaType::QByteArray:
            return element(depth, "data", value.toByteArray().toBase64());
        case QMetaType::QDateTime: {
            const QDateTime date = value.toDateTime().toUTC();
            if (!date.isValid())
                return fail(QStringLiteral("invalid date"));
            // The text form has four-digit years: others would not read back.
            if (date.date().year() < 1 || date.date().year() > 9999)
                return fail(QStringLiteral("a date in the year %1 has no property-list text form")
                                .arg(date.date().year()));
            const QString format = date.time().msec() ? QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'")
                                                      : QStringLiteral("yyyy-MM-dd'T'HH:mm:ss'Z'");
            return element(depth, "date", date.toString(format).toLatin1());
        }
        case QMetaType::QStringList:
        case QMetaType::QVariantList: {
            const QVariantList list = value.toList();
            if (list.isEmpty())
                return line(depth, "<array/>");
            line(depth, "<array>");
            for (const QVariant &item : list)
                if (!write(item, depth + 1))
                    return false;
            return line(depth, "</array>");
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            const QVariantMap map = value.toMap();
            if (map.isEmpty())
                return line(depth, "<dict/>");
            line(depth, "<dict>");
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                QByteArray key;
                if (!escaped(it.key(), &key) || !element(depth + 1, "key", key) || !write(it.value(), depth + 1))
                    return false;
            }
            return line(depth, "</dict>");
        }
        default:
            break;
        }
        if (type == qMetaTypeId<PlistUid>()) {
            // XML has no UID element; the archiver's form is a dictionary holding "CF$UID".
            line(depth, "<dict>");
            element(depth + 1, "key", "CF$UID");
            element(depth + 1, "integer", QByteArray::number(value.value<PlistUid>().value));
            return line(depth, "</dict>");
        }
        return fail(QStringLiteral("a value of type %1 has no property-list form")
                        .arg(QString::fromLatin1(value.isValid() ? value.typeName() : "invalid")));
    }

private:
    bool fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return false;
    }

    bool line(int depth, const QByteArray &text)
    {
        out.append(QByteArray(depth, '\t'));
        out.append(text);
        out.append('\n');
        return true;
    }

    bool element(int depth, const char *name, const QByteArray &text)
    {
        out.append(QByteArray(depth, '\t'));
        out.append('<').append(name).append('>');
        out.append(text);
        out.append("</").append(name).append(">\n");
        return true;
    }

    // Text content: markup characters escaped, a carriage return kept as a reference (XML
    // readers turn a bare one into a line feed), and characters XML cannot carry refused.
    bool escaped(const QString &text, QByteArray *out)
    {
        QString result;
        result.reserve(text.size());
        for (qsizetype i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i);
            const char16_t u = c.unicode();
            if (u == 0)
                return fail(QStringLiteral("a string holding a NUL character has no property-list form"));
            if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
                result.append(c).append(text.at(++i));
                continue;
            }
            const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xD800)
                                 || (u >= 0xE000 && u <= 0xFFFD);
            if (!allowed)
                return fail(QStringLiteral("a string holding the character U+%1 has no XML property-list form")
                                .arg(unsigned(u), 4, 16, QLatin1Char('0')));
            switch (u) {
            case '&': result.append(QLatin1String("&amp;")); break;
            case '<': result.append(QLatin1String("&lt;")); break;
            case '>': result.append(QLatin1String("&gt;")); break;
            case '\r': result.append(QLatin1String("&#13;")); break;
            default: result.append(c); break;
            }
        }
        *out = result.toUtf8();
        return true;
    }

    int mMaxDepth;
};

} // namespace

namespace PlistWriters {

QByteArray xml(const QVariant &root, int maxDepth, QString *error)
{
    XmlWriter writer(maxDepth);
    writer.out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    if (!writer.write(root, 0)) {
        if (error)
            *error = writer.error;
        return {};
    }
    writer.out.append("</plist>\n");
    return writer.out;
}

} // namespace PlistWriters
