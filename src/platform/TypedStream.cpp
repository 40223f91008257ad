#include "TypedStream.h"

#include <cstring>

namespace {

// Tag bytes (as signed values): -128 .. -111 are tags, -110 is the first reference number.
constexpr int kTagInteger2 = -127;
constexpr int kTagInteger4 = -126;
constexpr int kTagFloat = -125;
constexpr int kTagNew = -124;
constexpr int kTagNil = -123;
constexpr int kTagEndOfObject = -122;
constexpr int kFirstTag = -128;
constexpr int kLastTag = -111;
constexpr int kFirstReference = -110;

// Real message bodies nest a handful of levels; deeper is damage or an attack.
constexpr int kMaxDepth = 64;
constexpr qsizetype kMaxTypeEncoding = 4096;

bool isTag(int head) { return head >= kFirstTag && head <= kLastTag; }

QString className(const QStringList &chain) { return chain.isEmpty() ? QString() : chain.first(); }

class Reader
{
public:
    explicit Reader(const QByteArray &data)
        : mData(reinterpret_cast<const unsigned char *>(data.constData()))
        , mSize(data.size())
    {}

    QString error;

    bool header()
    {
        int version = 0;
        if (!rawByte(version))
            return false;
        if (version != 4 && version != 3)
            return fail(QStringLiteral("unknown stream version %1").arg(version));
        qint64 length = 0;
        if (!integer(length, false) || length != 11 || remaining() < 11)
            return fail(QStringLiteral("no stream signature"));
        const QByteArray signature(reinterpret_cast<const char *>(mData + mPos), 11);
        mPos += 11;
        if (signature == "streamtyped")
            mBigEndian = false;
        else if (signature == "typedstream")
            mBigEndian = true;
        else
            return fail(QStringLiteral("unknown stream signature"));
        qint64 systemVersion = 0;
        return integer(systemVersion, false);
    }

    std::optional<QVariant> firstValue()
    {
        int head = 0;
        if (!signedByte(head))
            return failValue(QStringLiteral("stream holds no value"));
        std::optional<QByteArray> encoding = sharedString(head);
        if (!encoding || encoding->isEmpty())
            return failValue(QStringLiteral("stream holds no type encoding"));
        QVariantList values;
        if (!group(*encoding, values, 0) || values.isEmpty())
            return std::nullopt;
        return values.first();
    }

private:
    struct Entry
    {
        bool isClass = false;
        bool complete = false;
        QStringList chain; // classes
        QVariant value;    // objects
    };

    bool fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return false;
    }
    std::optional<QVariant> failValue(const QString &text)
    {
        fail(text);
        return std::nullopt;
    }
    qsizetype remaining() const { return mSize - mPos; }

    bool rawByte(int &value)
    {
        if (mPos >= mSize)
            return fail(QStringLiteral("stream ends early"));
        value = mData[mPos++];
        return true;
    }
    bool signedByte(int &value)
    {
        if (!rawByte(value))
            return false;
        value = int(static_cast<signed char>(value));
        return true;
    }
    bool fixed(int bytes, quint64 &value)
    {
        if (remaining() < bytes)
            return fail(QStringLiteral("stream ends early"));
        value = 0;
        for (int i = 0; i < bytes; ++i) {
            const int shift = mBigEndian ? 8 * (bytes - 1 - i) : 8 * i;
            value |= quint64(mData[mPos + i]) << shift;
        }
        mPos += bytes;
        return true;
    }

    // An encoded integer whose first byte is `head` (signed).
    bool integerFrom(int head, qint64 &value, bool isUnsigned)
    {
        quint64 raw = 0;
        if (head == kTagInteger2) {
            if (!fixed(2, raw))
                return false;
            value = isUnsigned ? qint64(quint16(raw)) : qint64(qint16(raw));
            return true;
        }
        if (head == kTagInteger4) {
            if (!fixed(4, raw))
                return false;
            value = isUnsigned ? qint64(quint32(raw)) : qint64(qint32(raw));
            return true;
        }
        if (isTag(head))
            return fail(QStringLiteral("unexpected tag %1 where a number belongs").arg(head));
        value = isUnsigned ? qint64(quint8(head)) : qint64(head);
        return true;
    }
    bool integer(qint64 &value, bool isUnsigned)
    {
        int head = 0;
        return signedByte(head) && integerFrom(head, value, isUnsigned);
    }

    std::optional<QByteArray> bytes(qint64 length)
    {
        if (length < 0 || length > remaining()) {
            fail(QStringLiteral("a length of %1 runs past the stream's end").arg(length));
            return std::nullopt;
        }
        QByteArray result(reinterpret_cast<const char *>(mData + mPos), qsizetype(length));
        mPos += qsizetype(length);
        return result;
    }

    // A shared string (type encodings, class names, C strings); a null QByteArray for nil.
    std::optional<QByteArray> sharedString(int head)
    {
        if (head == kTagNil)
            return QByteArray();
        if (head == kTagNew) {
            qint64 length = 0;
            if (!integer(length, false))
                return std::nullopt;
            auto text = bytes(length);
            if (!text)
                return std::nullopt;
            mStrings.append(*text);
            return text;
        }
        qint64 number = 0;
        if (!integerFrom(head, number, false))
            return std::nullopt;
        const qint64 index = number - kFirstReference;
        if (index < 0 || index >= mStrings.size()) {
            fail(QStringLiteral("string reference %1 of %2").arg(index).arg(mStrings.size()));
            return std::nullopt;
        }
        return mStrings.at(qsizetype(index));
    }
    std::optional<QByteArray> sharedString()
    {
        int head = 0;
        if (!signedByte(head))
            return std::nullopt;
        return sharedString(head);
    }

    // The class chain of an object; empty for nil.
    std::optional<QStringList> classChain(int depth)
    {
        if (depth > kMaxDepth) {
            fail(QStringLiteral("classes nest too deep"));
            return std::nullopt;
        }
        int head = 0;
        if (!signedByte(head))
            return std::nullopt;
        if (head == kTagNil)
            return QStringList();
        if (head == kTagNew) {
            const auto name = sharedString();
            if (!name)
                return std::nullopt;
            if (name->isEmpty()) {
                fail(QStringLiteral("a class without a name"));
                return std::nullopt;
            }
            qint64 version = 0;
            if (!integer(version, false))
                return std::nullopt;
            const qsizetype index = mEntries.size();
            mEntries.append({true, false, {}, {}});
            auto super = classChain(depth + 1);
            if (!super)
                return std::nullopt;
            QStringList chain{QString::fromUtf8(*name)};
            chain += *super;
            mEntries[index].chain = chain;
            mEntries[index].complete = true;
            return chain;
        }
        const auto entry = reference(head);
        if (!entry)
            return std::nullopt;
        if (!entry->isClass || !entry->complete) {
            fail(QStringLiteral("a class reference names no finished class"));
            return std::nullopt;
        }
        return entry->chain;
    }

    std::optional<Entry> reference(int head)
    {
        qint64 number = 0;
        if (!integerFrom(head, number, false))
            return std::nullopt;
        const qint64 index = number - kFirstReference;
        if (index < 0 || index >= mEntries.size()) {
            fail(QStringLiteral("object reference %1 of %2").arg(index).arg(mEntries.size()));
            return std::nullopt;
        }
        return mEntries.at(qsizetype(index));
    }

    std::optional<QVariant> object(int depth)
    {
        if (depth > kMaxDepth)
            return failValue(QStringLiteral("objects nest too deep"));
        int head = 0;
        if (!signedByte(head))
            return std::nullopt;
        if (head == kTagNil)
            return QVariant();
        if (head != kTagNew) {
            const auto entry = reference(head);
            if (!entry)
                return std::nullopt;
            if (entry->isClass || !entry->complete)
                return failValue(QStringLiteral("an object reference names a class or an unfinished object"));
            return entry->value;
        }
        const qsizetype index = mEntries.size();
        mEntries.append({false, false, {}, {}});
        const auto chain = classChain(depth + 1);
        if (!chain)
            return std::nullopt;
        if (chain->isEmpty())
            return failValue(QStringLiteral("an object without a class"));
        QVariantList values;
        for (;;) {
            int groupHead = 0;
            if (!signedByte(groupHead))
                return std::nullopt;
            if (groupHead == kTagEndOfObject)
                break;
            const auto encoding = sharedString(groupHead);
            if (!encoding)
                return std::nullopt;
            if (encoding->isEmpty())
                return failValue(QStringLiteral("a group without a type encoding"));
            if (!group(*encoding, values, depth + 1))
                return std::nullopt;
        }
        auto value = interpret(*chain, values);
        if (!value)
            return std::nullopt;
        mEntries[index].value = *value;
        mEntries[index].complete = true;
        return value;
    }

    // Reads the values of one type encoding (possibly several types, "iI").
    bool group(const QByteArray &encoding, QVariantList &values, int depth)
    {
        if (encoding.size() > kMaxTypeEncoding)
            return fail(QStringLiteral("type encoding too long"));
        qsizetype at = 0;
        while (at < encoding.size()) {
            const qsizetype end = typeEnd(encoding, at, 0);
            if (end < 0)
                return fail(QStringLiteral("malformed type encoding \"%1\"").arg(QString::fromLatin1(encoding)));
            auto value = typedValue(encoding.mid(at, end - at), depth);
            if (!value)
                return false;
            values.append(*value);
            at = end;
        }
        return true;
    }

    // The end of the single type that starts at `at`; -1 when malformed.
    static qsizetype typeEnd(const QByteArray &encoding, qsizetype at, int depth)
    {
        if (depth > 16)
            return -1;
        // Qualifiers (const, in, out, ...) lead some types.
        while (at < encoding.size() && std::strchr("rnNoORV", encoding.at(at)) && encoding.at(at) != 0)
            ++at;
        if (at >= encoding.size())
            return -1;
        const char c = encoding.at(at);
        if (c == '[') {
            qsizetype p = at + 1;
            while (p < encoding.size() && encoding.at(p) >= '0' && encoding.at(p) <= '9')
                ++p;
            if (p == at + 1)
                return -1;
            const qsizetype inner = typeEnd(encoding, p, depth + 1);
            if (inner < 0 || inner >= encoding.size() || encoding.at(inner) != ']')
                return -1;
            return inner + 1;
        }
        if (c == '{') {
            qsizetype p = encoding.indexOf('=', at);
            if (p < 0)
                return -1;
            ++p;
            while (p < encoding.size() && encoding.at(p) != '}') {
                p = typeEnd(encoding, p, depth + 1);
                if (p < 0)
                    return -1;
            }
            return p < encoding.size() ? p + 1 : -1;
        }
        if (std::strchr("cCsSiIlLqQBfd*:+@#", c) && c != 0)
            return at + 1;
        return -1;
    }

    std::optional<QVariant> typedValue(QByteArray type, int depth)
    {
        while (!type.isEmpty() && type.at(0) != 0 && std::strchr("rnNoORV", type.at(0)))
            type.remove(0, 1);
        if (type.isEmpty())
            return failValue(QStringLiteral("an empty type"));
        const char c = type.at(0);
        switch (c) {
        case 'c': case 's': case 'i': case 'l': case 'q': case 'B': {
            qint64 value = 0;
            if (!integer(value, false))
                return std::nullopt;
            return value;
        }
        case 'C': case 'S': case 'I': case 'L': case 'Q': {
            qint64 value = 0;
            if (!integer(value, true))
                return std::nullopt;
            return value;
        }
        case 'f': case 'd': {
            int head = 0;
            if (!signedByte(head))
                return std::nullopt;
            if (head != kTagFloat) {
                qint64 value = 0;
                if (!integerFrom(head, value, false))
                    return std::nullopt;
                return double(value);
            }
            quint64 raw = 0;
            if (c == 'f') {
                if (!fixed(4, raw))
                    return std::nullopt;
                float f = 0;
                const quint32 bits = quint32(raw);
                std::memcpy(&f, &bits, 4);
                return double(f);
            }
            if (!fixed(8, raw))
                return std::nullopt;
            double d = 0;
            std::memcpy(&d, &raw, 8);
            return d;
        }
        case '*': case ':': {
            auto text = sharedString();
            if (!text)
                return std::nullopt;
            return *text;
        }
        case '+': {
            qint64 length = 0;
            if (!integer(length, false))
                return std::nullopt;
            auto data = bytes(length);
            if (!data)
                return std::nullopt;
            return *data;
        }
        case '@':
            return object(depth);
        case '#': {
            auto chain = classChain(depth);
            if (!chain)
                return std::nullopt;
            return className(*chain);
        }
        case '[': {
            qsizetype p = 1;
            qint64 count = 0;
            while (p < type.size() && type.at(p) >= '0' && type.at(p) <= '9') {
                count = count * 10 + (type.at(p) - '0');
                if (count > mSize)
                    return failValue(QStringLiteral("an array longer than the stream"));
                ++p;
            }
            const QByteArray element = type.mid(p, type.size() - p - 1);
            if (element == "c" || element == "C") {
                auto data = bytes(count);
                if (!data)
                    return std::nullopt;
                return *data;
            }
            // Every element takes at least one byte.
            if (count > remaining())
                return failValue(QStringLiteral("an array longer than the stream"));
            QVariantList list;
            for (qint64 i = 0; i < count; ++i) {
                auto value = typedValue(element, depth + 1);
                if (!value)
                    return std::nullopt;
                list.append(*value);
            }
            return list;
        }
        case '{': {
            QVariantList fields;
            const QByteArray inner = type.mid(type.indexOf('=') + 1, type.size() - type.indexOf('=') - 2);
            if (depth > kMaxDepth)
                return failValue(QStringLiteral("structures nest too deep"));
            if (!group(inner, fields, depth + 1))
                return std::nullopt;
            return fields;
        }
        default:
            return failValue(QStringLiteral("unknown type code '%1'").arg(QChar::fromLatin1(c)));
        }
    }

    std::optional<QVariant> interpret(const QStringList &chain, const QVariantList &values)
    {
        const QString name = chain.first();
        auto is = [&](std::initializer_list<const char *> names) {
            for (const char *n : names)
                if (name == QLatin1String(n))
                    return true;
            return false;
        };
        if (is({"NSString", "NSMutableString"})) {
            if (values.isEmpty() || values.first().typeId() != QMetaType::QByteArray)
                return failValue(QStringLiteral("a string without its bytes"));
            return QString::fromUtf8(values.first().toByteArray());
        }
        if (is({"NSNumber", "NSValue"}))
            return values.isEmpty() ? QVariant() : values.last();
        if (is({"NSData", "NSMutableData"})) {
            for (const QVariant &v : values)
                if (v.typeId() == QMetaType::QByteArray)
                    return v;
            return QByteArray();
        }
        if (is({"NSArray", "NSMutableArray", "NSSet", "NSMutableSet"})) {
            if (values.isEmpty())
                return QVariantList();
            const qint64 count = values.first().toLongLong();
            if (count < 0 || count != values.size() - 1)
                return failValue(QStringLiteral("an array whose count does not match its items"));
            return values.mid(1);
        }
        if (is({"NSDictionary", "NSMutableDictionary"})) {
            if (values.isEmpty())
                return QVariantMap();
            const qint64 count = values.first().toLongLong();
            if (count < 0 || count * 2 != values.size() - 1)
                return failValue(QStringLiteral("a dictionary whose count does not match its items"));
            QVariantMap map;
            for (qsizetype i = 1; i + 1 < values.size(); i += 2)
                map.insert(values.at(i).toString(), values.at(i + 1));
            return map;
        }
        if (is({"NSAttributedString", "NSMutableAttributedString", "NSConcreteAttributedString",
                "NSConcreteMutableAttributedString"})) {
            auto attributed = attributedFrom(values);
            if (!attributed)
                return std::nullopt;
            return QVariant::fromValue(*attributed);
        }
        return QVariant::fromValue(TypedStreamObject{name, chain, values});
    }

    // The string, then for each run its attribute set's number (1-based; a number one past the
    // sets seen so far is followed by the new set) and its length.
    std::optional<TypedAttributedString> attributedFrom(const QVariantList &values)
    {
        if (values.isEmpty() || values.first().typeId() != QMetaType::QString) {
            fail(QStringLiteral("an attributed string without its string"));
            return std::nullopt;
        }
        TypedAttributedString result;
        result.string = values.first().toString();
        QList<QVariantMap> sets;
        qsizetype at = 1;
        qsizetype location = 0;
        while (at + 1 < values.size()) {
            const qint64 number = values.at(at).toLongLong();
            const qint64 length = values.at(at + 1).toLongLong();
            at += 2;
            if (number == sets.size() + 1 && at < values.size()) {
                sets.append(values.at(at).toMap());
                ++at;
            }
            if (number < 1 || number > sets.size() || length < 0 || length > result.string.size() - location) {
                fail(QStringLiteral("an attribute run outside its string"));
                return std::nullopt;
            }
            result.runs.append({location, qsizetype(length), sets.at(qsizetype(number - 1))});
            location += qsizetype(length);
        }
        if (at != values.size()) {
            fail(QStringLiteral("an attributed string with stray values"));
            return std::nullopt;
        }
        return result;
    }

    const unsigned char *mData;
    qsizetype mSize;
    qsizetype mPos = 0;
    bool mBigEndian = false;
    QList<QByteArray> mStrings;
    QList<Entry> mEntries;
};

} // namespace

namespace TypedStream {

std::optional<QVariant> decode(const QByteArray &stream, QString *error)
{
    Reader reader(stream);
    std::optional<QVariant> result;
    if (reader.header())
        result = reader.firstValue();
    if (!result && error)
        *error = reader.error;
    return result;
}

std::optional<TypedAttributedString> attributedString(const QByteArray &stream, QString *error)
{
    const auto root = decode(stream, error);
    if (!root)
        return std::nullopt;
    if (root->canConvert<TypedAttributedString>() && root->typeId() == qMetaTypeId<TypedAttributedString>())
        return root->value<TypedAttributedString>();
    if (root->typeId() == QMetaType::QString) {
        TypedAttributedString plain;
        plain.string = root->toString();
        if (!plain.string.isEmpty())
            plain.runs.append({0, plain.string.size(), {}});
        return plain;
    }
    if (error)
        *error = QStringLiteral("the archived object is not a string");
    return std::nullopt;
}

} // namespace TypedStream
