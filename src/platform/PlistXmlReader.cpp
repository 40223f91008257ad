#include "PlistXmlReader.h"

#include "PropertyList.h"

#include <QDateTime>
#include <QVariantList>
#include <QVariantMap>
#include <QXmlStreamReader>

#include <limits>

namespace {

class Reader
{
public:
    Reader(const QByteArray &data, int maxDepth) : mXml(data), mMaxDepth(maxDepth) {}

    QString error;

    std::optional<QVariant> document()
    {
        if (!mXml.readNextStartElement() || mXml.name() != QLatin1String("plist"))
            return fail(QStringLiteral("no <plist> element"));
        if (!mXml.readNextStartElement())
            return fail(QStringLiteral("the property list holds no value"));
        auto root = value(1);
        if (!root)
            return std::nullopt;
        if (mXml.readNextStartElement())
            return fail(QStringLiteral("the property list holds more than one value"));
        if (mXml.hasError())
            return fail(mXml.errorString());
        return root;
    }

private:
    std::optional<QVariant> fail(const QString &text)
    {
        if (error.isEmpty()) {
            error = text;
            if (mXml.lineNumber() > 0)
                error += QStringLiteral(" (line %1)").arg(mXml.lineNumber());
        }
        return std::nullopt;
    }

    std::optional<QString> text()
    {
        const QString content = mXml.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
        if (mXml.hasError()) {
            fail(mXml.errorString());
            return std::nullopt;
        }
        return content;
    }

    // Called at a start element; returns after its end element.
    std::optional<QVariant> value(int depth)
    {
        if (depth > mMaxDepth)
            return fail(QStringLiteral("property list nested too deeply"));
        const QStringView name = mXml.name();
        if (name == QLatin1String("dict"))
            return dictionary(depth);
        if (name == QLatin1String("array")) {
            QVariantList list;
            while (mXml.readNextStartElement()) {
                auto item = value(depth + 1);
                if (!item)
                    return std::nullopt;
                list.append(std::move(*item));
            }
            if (mXml.hasError())
                return fail(mXml.errorString());
            return QVariant(list);
        }
        if (name == QLatin1String("true") || name == QLatin1String("false")) {
            const bool truth = name == QLatin1String("true");
            mXml.skipCurrentElement();
            if (mXml.hasError())
                return fail(mXml.errorString());
            return QVariant(truth);
        }
        const QString element = name.toString();
        const auto content = text();
        if (!content)
            return std::nullopt;
        if (element == QLatin1String("string"))
            return QVariant(*content);
        if (element == QLatin1String("integer"))
            return integer(content->trimmed());
        if (element == QLatin1String("real"))
            return real(content->trimmed());
        if (element == QLatin1String("data")) {
            QByteArray base64 = content->toLatin1();
            base64.removeIf([](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
            return QVariant(QByteArray::fromBase64(base64));
        }
        if (element == QLatin1String("date"))
            return date(content->trimmed());
        return fail(QStringLiteral("unknown element <%1>").arg(element));
    }

    std::optional<QVariant> dictionary(int depth)
    {
        QVariantMap map;
        while (mXml.readNextStartElement()) {
            if (mXml.name() != QLatin1String("key"))
                return fail(QStringLiteral("a dictionary entry without a key"));
            const auto key = text();
            if (!key)
                return std::nullopt;
            if (!mXml.readNextStartElement())
                return fail(QStringLiteral("the key \"%1\" has no value").arg(*key));
            auto item = value(depth + 1);
            if (!item)
                return std::nullopt;
            map.insert(*key, std::move(*item));
        }
        if (mXml.hasError())
            return fail(mXml.errorString());
        // XML has no UID element; the archiver writes one as a dictionary holding "CF$UID".
        if (map.size() == 1) {
            const QVariant uid = map.value(QStringLiteral("CF$UID"));
            if (uid.typeId() == QMetaType::LongLong || uid.typeId() == QMetaType::ULongLong)
                return QVariant::fromValue(PlistUid{uid.toULongLong()});
        }
        return QVariant(map);
    }

    std::optional<QVariant> integer(const QString &text)
    {
        bool ok = false;
        const bool negative = text.startsWith(QLatin1Char('-'));
        const QString digits = negative || text.startsWith(QLatin1Char('+')) ? text.mid(1) : text;
        const bool hex = digits.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        const quint64 magnitude = digits.mid(hex ? 2 : 0).toULongLong(&ok, hex ? 16 : 10);
        if (!ok || digits.isEmpty() || !digits.at(0).isDigit())
            return fail(QStringLiteral("\"%1\" is not an integer").arg(text));
        if (negative) {
            // The most negative value has no positive counterpart in 64 signed bits.
            if (magnitude > quint64(std::numeric_limits<qint64>::max()) + 1)
                return fail(QStringLiteral("\"%1\" is out of range").arg(text));
            return QVariant(qint64(0 - magnitude));
        }
        if (magnitude > quint64(std::numeric_limits<qint64>::max()))
            return QVariant(quint64(magnitude));
        return QVariant(qint64(magnitude));
    }

    std::optional<QVariant> real(const QString &text)
    {
        const QString lower = text.toLower();
        if (lower == QLatin1String("nan"))
            return QVariant(std::numeric_limits<double>::quiet_NaN());
        if (lower == QLatin1String("inf") || lower == QLatin1String("+inf") || lower == QLatin1String("infinity")
            || lower == QLatin1String("+infinity"))
            return QVariant(std::numeric_limits<double>::infinity());
        if (lower == QLatin1String("-inf") || lower == QLatin1String("-infinity"))
            return QVariant(-std::numeric_limits<double>::infinity());
        bool ok = false;
        const double d = text.toDouble(&ok);
        if (!ok)
            return fail(QStringLiteral("\"%1\" is not a real number").arg(text));
        return QVariant(d);
    }

    std::optional<QVariant> date(const QString &text)
    {
        QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
        // A date without a zone is UTC, as the format's dates always are.
        if (parsed.isValid() && parsed.timeSpec() == Qt::LocalTime)
            parsed.setTimeSpec(Qt::UTC);
        if (!parsed.isValid())
            return fail(QStringLiteral("\"%1\" is not a date").arg(text));
        return QVariant(parsed.toUTC());
    }

    QXmlStreamReader mXml;
    int mMaxDepth;
};

} // namespace

namespace PlistXmlReader {

std::optional<QVariant> read(const QByteArray &data, int maxDepth, QString *error)
{
    Reader reader(data, maxDepth);
    auto root = reader.document();
    if (!root && error)
        *error = QStringLiteral("malformed XML property list: ") + reader.error;
    return root;
}

} // namespace PlistXmlReader
