// The binary property-list writer: the tree is flattened into an object table once (strings
// shared, so the keys an archive repeats are stored once), then each object is written with
// references of the smallest width that numbers them all.

#include "PlistWriters.h"

#include "PropertyList.h"

#include <QDateTime>
#include <QHash>

#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace {

using PlistWriters::widthFor;

const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

struct Object
{
    enum Kind : quint8 { Bool, Int, LargeUnsigned, Real, Date, Data, String, Uid, Array, Dict };
    Kind kind = Bool;
    QVariant value;            // the scalar, for every kind but Array and Dict
    std::vector<quint64> refs; // Array: items; Dict: keys, then values
};

class Flattener
{
public:
    explicit Flattener(int maxDepth) : mMaxDepth(maxDepth) {}

    std::vector<Object> objects;
    QString error;

    std::optional<quint64> add(const QVariant &value, int depth)
    {
        if (depth > mMaxDepth)
            return fail(QStringLiteral("value nested too deeply for a property list"));
        const int type = value.typeId();
        switch (type) {
        case QMetaType::Bool:
            return push(Object::Bool, value);
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::Char:
        case QMetaType::SChar:
            return push(Object::Int, value.toLongLong());
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort:
        case QMetaType::UChar: {
            const quint64 v = value.toULongLong();
            if (v > quint64(std::numeric_limits<qint64>::max()))
                return push(Object::LargeUnsigned, v);
            return push(Object::Int, qint64(v));
        }
        case QMetaType::Double:
        case QMetaType::Float:
            return push(Object::Real, value.toDouble());
        case QMetaType::QString:
            return addString(value.toString());
        case QMetaType::QByteArray:
            return push(Object::Data, value.toByteArray());
        case QMetaType::QDateTime: {
            const QDateTime date = value.toDateTime();
            if (!date.isValid())
                return fail(QStringLiteral("invalid date"));
            return push(Object::Date, double(referenceDate().msecsTo(date)) / 1000.0);
        }
        case QMetaType::QStringList:
        case QMetaType::QVariantList: {
            const quint64 slot = reserve(Object::Array);
            std::vector<quint64> refs;
            const QVariantList list = value.toList();
            refs.reserve(size_t(list.size()));
            for (const QVariant &item : list) {
                const auto ref = add(item, depth + 1);
                if (!ref)
                    return std::nullopt;
                refs.push_back(*ref);
            }
            objects[slot].refs = std::move(refs);
            return slot;
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            const quint64 slot = reserve(Object::Dict);
            const QVariantMap map = value.toMap();
            std::vector<quint64> keys, values;
            keys.reserve(size_t(map.size()));
            values.reserve(size_t(map.size()));
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                const auto key = addString(it.key());
                const auto item = key ? add(it.value(), depth + 1) : std::nullopt;
                if (!item)
                    return std::nullopt;
                keys.push_back(*key);
                values.push_back(*item);
            }
            keys.insert(keys.end(), values.begin(), values.end());
            objects[slot].refs = std::move(keys);
            return slot;
        }
        default:
            break;
        }
        if (type == qMetaTypeId<PlistUid>())
            return push(Object::Uid, value.value<PlistUid>().value);
        return fail(QStringLiteral("a value of type %1 has no property-list form")
                        .arg(QString::fromLatin1(value.isValid() ? value.typeName() : "invalid")));
    }

private:
    std::optional<quint64> fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return std::nullopt;
    }

    std::optional<quint64> addString(const QString &text)
    {
        // Readers end a string at a NUL: it would come back cut.
        if (text.contains(QChar(0)))
            return fail(QStringLiteral("a string holding a NUL character has no property-list form"));
        const auto known = mStrings.constFind(text);
        if (known != mStrings.cend())
            return *known;
        const quint64 index = *push(Object::String, text);
        mStrings.insert(text, index);
        return index;
    }

    std::optional<quint64> push(Object::Kind kind, const QVariant &value)
    {
        objects.push_back(Object{kind, value, {}});
        return quint64(objects.size() - 1);
    }

    quint64 reserve(Object::Kind kind)
    {
        objects.push_back(Object{kind, {}, {}});
        return quint64(objects.size() - 1);
    }

    int mMaxDepth;
    QHash<QString, quint64> mStrings;
};

void putBigEndian(QByteArray &out, quint64 value, int width)
{
    for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
        out.append(char((value >> shift) & 0xFF));
}

void putUnsignedObject(QByteArray &out, quint64 value)
{
    const int width = widthFor(value);
    const int log2 = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
    out.append(char(0x10 | log2));
    putBigEndian(out, value, width);
}

void putMarker(QByteArray &out, quint8 high, quint64 count)
{
    if (count < 15) {
        out.append(char(high | count));
        return;
    }
    out.append(char(high | 0x0F));
    putUnsignedObject(out, count);
}

void putDouble(QByteArray &out, quint8 marker, double value)
{
    quint64 bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out.append(char(marker));
    putBigEndian(out, bits, 8);
}

void putObject(QByteArray &out, const Object &object, int refWidth)
{
    switch (object.kind) {
    case Object::Bool:
        out.append(char(object.value.toBool() ? 0x09 : 0x08));
        break;
    case Object::Int: {
        const qint64 v = object.value.toLongLong();
        if (v >= 0 && v <= 0xFFFFFFFFll) {
            putUnsignedObject(out, quint64(v));
        } else { // eight bytes are read as signed
            out.append(char(0x13));
            putBigEndian(out, quint64(v), 8);
        }
        break;
    }
    case Object::LargeUnsigned: // sixteen bytes: the value is unsigned
        out.append(char(0x14));
        putBigEndian(out, 0, 8);
        putBigEndian(out, object.value.toULongLong(), 8);
        break;
    case Object::Real:
        putDouble(out, 0x23, object.value.toDouble());
        break;
    case Object::Date:
        putDouble(out, 0x33, object.value.toDouble());
        break;
    case Object::Data: {
        const QByteArray bytes = object.value.toByteArray();
        putMarker(out, 0x40, quint64(bytes.size()));
        out.append(bytes);
        break;
    }
    case Object::String: {
        const QString text = object.value.toString();
        bool ascii = true;
        for (QChar c : text)
            ascii = ascii && c.unicode() < 0x80;
        if (ascii) {
            putMarker(out, 0x50, quint64(text.size()));
            out.append(text.toLatin1());
        } else {
            putMarker(out, 0x60, quint64(text.size()));
            for (QChar c : text)
                putBigEndian(out, c.unicode(), 2);
        }
        break;
    }
    case Object::Uid: {
        const quint64 v = object.value.toULongLong();
        const int width = widthFor(v);
        out.append(char(0x80 | (width - 1)));
        putBigEndian(out, v, width);
        break;
    }
    case Object::Array:
        putMarker(out, 0xA0, quint64(object.refs.size()));
        for (quint64 ref : object.refs)
            putBigEndian(out, ref, refWidth);
        break;
    case Object::Dict:
        putMarker(out, 0xD0, quint64(object.refs.size() / 2));
        for (quint64 ref : object.refs)
            putBigEndian(out, ref, refWidth);
        break;
    }
}

} // namespace

namespace PlistWriters {

QByteArray binary(const QVariant &root, int maxDepth, QString *error)
{
    Flattener flat(maxDepth);
    const auto top = flat.add(root, 0);
    if (!top) {
        if (error)
            *error = flat.error;
        return {};
    }
    const int refWidth = widthFor(quint64(flat.objects.size() - 1));
    QByteArray out("bplist00");
    std::vector<quint64> offsets;
    offsets.reserve(flat.objects.size());
    for (const Object &object : flat.objects) {
        offsets.push_back(quint64(out.size()));
        putObject(out, object, refWidth);
    }
    const quint64 tableOffset = quint64(out.size());
    const int offsetWidth = widthFor(offsets.empty() ? 0 : offsets.back());
    for (quint64 offset : offsets)
        putBigEndian(out, offset, offsetWidth);
    out.append(QByteArray(6, '\0'));
    out.append(char(offsetWidth));
    out.append(char(refWidth));
    putBigEndian(out, quint64(flat.objects.size()), 8);
    putBigEndian(out, *top, 8);
    putBigEndian(out, tableOffset, 8);
    return out;
}

} // namespace PlistWriters
