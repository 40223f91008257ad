#include "KeyedArchive.h"

#include "KeyedArchiveBinaryReader.h"
#include "KeyedArchiveBinaryWriter.h"
#include "KeyedArchiveDetail.h"
#include "KeyedArchiveReference.h"
#include "PropertyList.h"

#include <QDateTime>
#include <QHash>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using KeyedArchiveDetail::Kind;
using KeyedArchiveDetail::kindOfClass;
using KeyedArchiveDetail::kExpansionPerObject;
using KeyedArchiveDetail::kMaxDepth;
using KeyedArchiveDetail::kMinExpansionLimit;

const QString kNull = QStringLiteral("$null");
const QString kClassKey = QStringLiteral("$class");

const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

bool isUid(const QVariant &v) { return v.typeId() == qMetaTypeId<PlistUid>(); }

} // namespace

KeyedArchiveDetail::Kind KeyedArchiveDetail::kindOfClass(const QString &name)
{
    static const QHash<QString, Kind> kinds = {
        {QStringLiteral("NSString"), Kind::String},
        {QStringLiteral("NSMutableString"), Kind::String},
        {QStringLiteral("NSData"), Kind::Data},
        {QStringLiteral("NSMutableData"), Kind::Data},
        {QStringLiteral("NSDate"), Kind::Date},
        {QStringLiteral("NSArray"), Kind::List},
        {QStringLiteral("NSMutableArray"), Kind::List},
        {QStringLiteral("NSSet"), Kind::List},
        {QStringLiteral("NSMutableSet"), Kind::List},
        {QStringLiteral("NSDictionary"), Kind::Map},
        {QStringLiteral("NSMutableDictionary"), Kind::Map},
        {QStringLiteral("NSNull"), Kind::Null},
    };
    return kinds.value(name, Kind::Other);
}

std::optional<QVariant> KeyedArchiveDetail::dateAt(double seconds, QString *error)
{
    // QDateTime holds about ±292 million years; refuse what it cannot.
    if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15) {
        *error = QStringLiteral("a date out of range");
        return std::nullopt;
    }
    return QVariant(referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0))));
}

std::optional<QVariant> KeyedArchiveDetail::dictionary(const QVariantList &keys, const QVariantList &values,
                                                       QString *error)
{
    if (keys.size() != values.size()) {
        *error = QStringLiteral("a dictionary with %1 keys and %2 values").arg(keys.size()).arg(values.size());
        return std::nullopt;
    }
    QVariantMap map;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (keys.at(i).typeId() != QMetaType::QString) {
            *error = QStringLiteral("a dictionary key that is not a string");
            return std::nullopt;
        }
        map.insert(keys.at(i).toString(), values.at(i));
    }
    return QVariant(map);
}

namespace {

class Decoder
{
public:
    explicit Decoder(const QVariantList &objects)
        : mObjects(objects)
        , mDone(size_t(objects.size()))
        , mWeight(size_t(objects.size()), 0)
        , mOnPath(size_t(objects.size()), false)
        , mExpansionLimit(std::max<quint64>(kMinExpansionLimit, kExpansionPerObject * quint64(objects.size())))
    {}

    QString error;

    std::optional<QVariant> object(const QVariant &uidValue, int depth)
    {
        const quint64 index = uidValue.value<PlistUid>().value;
        if (index >= quint64(mObjects.size()))
            return fail(QStringLiteral("reference %1 past the %2 objects").arg(index).arg(mObjects.size()));
        if (mDone[index]) {
            mExpanded += mWeight[index];
            if (mExpanded > mExpansionLimit)
                return fail(QStringLiteral("shared objects expand too far"));
            return mDone[index];
        }
        if (mOnPath[index])
            return fail(QStringLiteral("reference cycle through object %1").arg(index));
        if (depth > kMaxDepth)
            return fail(QStringLiteral("object graph nested too deeply"));
        const quint64 before = mExpanded++;
        mOnPath[index] = true;
        auto value = decodeObject(mObjects.at(qsizetype(index)), depth);
        mOnPath[index] = false;
        if (value) {
            mDone[index] = value;
            mWeight[index] = mExpanded - before;
        }
        return value;
    }

private:
    const QVariantList &mObjects;
    // Shared objects are decoded once, so a graph that refers to one object from many places
    // costs no more than its size.
    std::vector<std::optional<QVariant>> mDone;
    std::vector<quint64> mWeight; // references followed to decode each object
    std::vector<bool> mOnPath;
    const quint64 mExpansionLimit;
    quint64 mExpanded = 0;

    std::nullopt_t fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return std::nullopt;
    }

    // A field or element: references are followed; plain values nested in arrays or
    // dictionaries are decoded by the same rule.
    std::optional<QVariant> value(const QVariant &v, int depth)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("object graph nested too deeply"));
        if (isUid(v))
            return object(v, depth + 1);
        if (v.typeId() == QMetaType::QVariantList) {
            QVariantList out;
            for (const QVariant &item : v.toList()) {
                auto decoded = value(item, depth + 1);
                if (!decoded)
                    return std::nullopt;
                out.append(*decoded);
            }
            return QVariant(out);
        }
        if (v.typeId() == QMetaType::QVariantMap) {
            QVariantMap out;
            const QVariantMap in = v.toMap();
            for (auto it = in.cbegin(); it != in.cend(); ++it) {
                auto decoded = value(it.value(), depth + 1);
                if (!decoded)
                    return std::nullopt;
                out.insert(it.key(), *decoded);
            }
            return QVariant(out);
        }
        return v;
    }

    std::optional<QVariantList> references(const QVariantMap &fields, const QString &key, int depth)
    {
        const QVariant list = fields.value(key);
        if (list.typeId() != QMetaType::QVariantList) {
            fail(QStringLiteral("\"%1\" is not an array").arg(key));
            return std::nullopt;
        }
        QVariantList out;
        for (const QVariant &item : list.toList()) {
            if (!isUid(item)) {
                fail(QStringLiteral("\"%1\" holds a value that is not a reference").arg(key));
                return std::nullopt;
            }
            auto decoded = object(item, depth + 1);
            if (!decoded)
                return std::nullopt;
            out.append(*decoded);
        }
        return out;
    }

    std::optional<QVariant> decodeObject(const QVariant &raw, int depth)
    {
        if (raw.typeId() == QMetaType::QString)
            return raw.toString() == kNull ? QVariant() : raw;
        if (isUid(raw))
            return fail(QStringLiteral("an object that is a bare reference"));
        if (raw.typeId() == QMetaType::QVariantList)
            return fail(QStringLiteral("an object that is a bare array"));
        if (raw.typeId() != QMetaType::QVariantMap)
            return raw; // numbers, booleans, data and dates are stored as themselves

        const QVariantMap fields = raw.toMap();
        const QVariant classRef = fields.value(kClassKey);
        if (!isUid(classRef))
            return fail(QStringLiteral("an object without a class reference"));
        const quint64 classIndex = classRef.value<PlistUid>().value;
        if (classIndex >= quint64(mObjects.size()))
            return fail(QStringLiteral("class reference %1 past the objects").arg(classIndex));
        const QVariant classRaw = mObjects.at(qsizetype(classIndex));
        const QVariantMap classInfo = classRaw.toMap();
        const QVariant className = classInfo.value(QStringLiteral("$classname"));
        if (classRaw.typeId() != QMetaType::QVariantMap || className.typeId() != QMetaType::QString)
            return fail(QStringLiteral("a class without a name"));
        QStringList chain;
        const QVariant classes = classInfo.value(QStringLiteral("$classes"));
        if (classes.isValid()) {
            if (classes.typeId() != QMetaType::QVariantList)
                return fail(QStringLiteral("\"$classes\" is not an array"));
            for (const QVariant &c : classes.toList()) {
                if (c.typeId() != QMetaType::QString)
                    return fail(QStringLiteral("\"$classes\" holds a value that is not a name"));
                chain.append(c.toString());
            }
        } else {
            chain.append(className.toString());
        }

        switch (kindOfClass(className.toString())) {
        case Kind::String: {
            auto text = value(fields.value(QStringLiteral("NS.string")), depth);
            if (!text)
                return std::nullopt;
            if (text->typeId() != QMetaType::QString)
                return fail(QStringLiteral("a string object without \"NS.string\""));
            return text;
        }
        case Kind::Data: {
            auto bytes = value(fields.value(QStringLiteral("NS.data")), depth);
            if (!bytes)
                return std::nullopt;
            if (bytes->typeId() != QMetaType::QByteArray)
                return fail(QStringLiteral("a data object without \"NS.data\""));
            return bytes;
        }
        case Kind::Date: {
            const QVariant time = fields.value(QStringLiteral("NS.time"));
            const int t = time.typeId();
            if (t != QMetaType::Double && t != QMetaType::LongLong && t != QMetaType::ULongLong)
                return fail(QStringLiteral("a date without \"NS.time\""));
            QString why;
            const auto date = KeyedArchiveDetail::dateAt(time.toDouble(), &why);
            if (!date)
                return fail(why);
            return date;
        }
        case Kind::List: {
            auto items = references(fields, QStringLiteral("NS.objects"), depth);
            if (!items)
                return std::nullopt;
            return QVariant(*items);
        }
        case Kind::Map: {
            auto keys = references(fields, QStringLiteral("NS.keys"), depth);
            if (!keys)
                return std::nullopt;
            auto values = references(fields, QStringLiteral("NS.objects"), depth);
            if (!values)
                return std::nullopt;
            QString why;
            const auto map = KeyedArchiveDetail::dictionary(*keys, *values, &why);
            if (!map)
                return fail(why);
            return map;
        }
        case Kind::Null:
            return QVariant::fromValue(nullptr);
        case Kind::Other:
            break;
        }

        KeyedObject object;
        object.className = className.toString();
        object.classes = chain;
        for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
            if (it.key() == kClassKey)
                continue;
            auto decoded = value(it.value(), depth);
            if (!decoded)
                return std::nullopt;
            object.fields.insert(it.key(), *decoded);
        }
        return QVariant::fromValue(object);
    }
};

class Encoder
{
public:
    QVariantList objects{kNull};
    QString error;

    std::optional<PlistUid> add(const QVariant &v, int depth)
    {
        if (depth > kMaxDepth) {
            fail(QStringLiteral("value nested too deeply to archive"));
            return std::nullopt;
        }
        const int type = v.typeId();
        if (!v.isValid())
            return PlistUid{0};
        if (type == QMetaType::Nullptr)
            return append(instance(QStringLiteral("NSNull"), {}));
        if (type == QMetaType::QString) {
            // A string that reads "$null" would come back as nil; the string class keeps it.
            if (v.toString() == kNull)
                return append(instance(QStringLiteral("NSString"), {{QStringLiteral("NS.string"), v}}));
            return append(v);
        }
        if (type == qMetaTypeId<KeyedObject>())
            return addObject(v.value<KeyedObject>(), depth);
        if (type == qMetaTypeId<PlistUid>()) {
            fail(QStringLiteral("a bare reference cannot be archived"));
            return std::nullopt;
        }
        switch (type) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::ULong:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Double:
        case QMetaType::Float:
        case QMetaType::QByteArray:
            return append(v);
        case QMetaType::QDateTime: {
            const QDateTime date = v.toDateTime();
            if (!date.isValid()) {
                fail(QStringLiteral("an invalid date cannot be archived"));
                return std::nullopt;
            }
            const double seconds = double(referenceDate().msecsTo(date)) / 1000.0;
            return append(instance(QStringLiteral("NSDate"), {{QStringLiteral("NS.time"), seconds}}));
        }
        case QMetaType::QStringList:
        case QMetaType::QVariantList: {
            const qsizetype slot = reserve();
            QVariantList refs;
            for (const QVariant &item : v.toList()) {
                auto ref = add(item, depth + 1);
                if (!ref)
                    return std::nullopt;
                refs.append(QVariant::fromValue(*ref));
            }
            return fill(slot, instance(QStringLiteral("NSArray"), {{QStringLiteral("NS.objects"), refs}}));
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            const qsizetype slot = reserve();
            QVariantList keys, values;
            const QVariantMap map = v.toMap();
            for (auto it = map.cbegin(); it != map.cend(); ++it) {
                auto key = add(it.key(), depth + 1);
                auto value = key ? add(it.value(), depth + 1) : std::nullopt;
                if (!value)
                    return std::nullopt;
                keys.append(QVariant::fromValue(*key));
                values.append(QVariant::fromValue(*value));
            }
            return fill(slot, instance(QStringLiteral("NSDictionary"),
                                       {{QStringLiteral("NS.keys"), keys}, {QStringLiteral("NS.objects"), values}}));
        }
        default:
            break;
        }
        fail(QStringLiteral("a value of type %1 cannot be archived").arg(QString::fromLatin1(v.typeName())));
        return std::nullopt;
    }

private:
    QHash<QString, PlistUid> mClasses;

    void fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
    }

    qsizetype reserve()
    {
        objects.append(QVariant());
        return objects.size() - 1;
    }

    PlistUid fill(qsizetype slot, const QVariant &v)
    {
        objects[slot] = v;
        return PlistUid{quint64(slot)};
    }

    PlistUid append(const QVariant &v) { return fill(reserve(), v); }

    // One class dictionary per class name, shared by all its instances.
    PlistUid classRef(const QString &name, const QStringList &chain)
    {
        auto it = mClasses.constFind(name);
        if (it != mClasses.cend())
            return *it;
        QStringList classes = chain;
        if (classes.isEmpty())
            classes = {name, QStringLiteral("NSObject")};
        const PlistUid ref = append(QVariantMap{{QStringLiteral("$classname"), name},
                                                {QStringLiteral("$classes"), classes}});
        mClasses.insert(name, ref);
        return ref;
    }

    QVariantMap instance(const QString &className, QVariantMap fields, const QStringList &chain = {})
    {
        fields.insert(kClassKey, QVariant::fromValue(classRef(className, chain)));
        return fields;
    }

    std::optional<PlistUid> addObject(const KeyedObject &object, int depth)
    {
        if (object.className.isEmpty()) {
            fail(QStringLiteral("an object without a class name cannot be archived"));
            return std::nullopt;
        }
        const qsizetype slot = reserve();
        QVariantMap fields;
        for (auto it = object.fields.cbegin(); it != object.fields.cend(); ++it) {
            if (it.key() == kClassKey) {
                fail(QStringLiteral("an object field may not be named \"$class\""));
                return std::nullopt;
            }
            auto ref = add(it.value(), depth + 1);
            if (!ref)
                return std::nullopt;
            fields.insert(it.key(), QVariant::fromValue(*ref));
        }
        QStringList chain = object.classes;
        if (chain.isEmpty() || chain.first() != object.className)
            chain.prepend(object.className);
        return fill(slot, instance(object.className, fields, chain));
    }
};

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

namespace KeyedArchiveDetail {

std::optional<QVariant> decodeThroughTree(const QByteArray &archive, QString *error, const QString &topKey)
{
    QString why;
    const auto root = PropertyList::fromData(archive, &why);
    if (!root) {
        setError(error, QStringLiteral("not a keyed archive: ") + why);
        return std::nullopt;
    }
    if (root->typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("not a keyed archive: the root is not a dictionary"));
        return std::nullopt;
    }
    const QVariantMap top = root->toMap();
    const QVariant archiver = top.value(QStringLiteral("$archiver"));
    if (archiver.isValid() && archiver.typeId() != QMetaType::QString) {
        setError(error, QStringLiteral("not a keyed archive: \"$archiver\" is not a name"));
        return std::nullopt;
    }
    const QVariant objects = top.value(QStringLiteral("$objects"));
    if (objects.typeId() != QMetaType::QVariantList) {
        setError(error, QStringLiteral("not a keyed archive: no \"$objects\" array"));
        return std::nullopt;
    }
    const QVariant topDict = top.value(QStringLiteral("$top"));
    if (topDict.typeId() != QMetaType::QVariantMap) {
        setError(error, QStringLiteral("not a keyed archive: no \"$top\" dictionary"));
        return std::nullopt;
    }
    const QVariant rootRef = topDict.toMap().value(topKey);
    if (!isUid(rootRef)) {
        setError(error, QStringLiteral("keyed archive has no reference \"%1\" in \"$top\"").arg(topKey));
        return std::nullopt;
    }
    const QVariantList list = objects.toList();
    Decoder decoder(list);
    auto value = decoder.object(rootRef, 0);
    if (!value)
        setError(error, QStringLiteral("malformed keyed archive: ") + decoder.error);
    return value;
}

} // namespace KeyedArchiveDetail

namespace KeyedArchive {

std::optional<QVariant> decode(const QByteArray &archive, QString *error, const QString &topKey)
{
    // Binary archives (every one Quillon writes) are read from their bytes: building the
    // whole property-list tree first cost most of the time.
    if (archive.startsWith("bplist00")) {
        QVariant value;
        switch (KeyedArchiveBinaryReader::decode(archive, topKey, &value, error)) {
        case KeyedArchiveBinaryReader::Outcome::Decoded:
            return value;
        case KeyedArchiveBinaryReader::Outcome::Refused:
            return std::nullopt;
        case KeyedArchiveBinaryReader::Outcome::LeftToTree:
            break;
        }
    }
    return KeyedArchiveDetail::decodeThroughTree(archive, error, topKey);
}

QByteArray encode(const QVariant &root, QString *error, const QString &topKey)
{
    return KeyedArchiveBinaryWriter::write(root, topKey, error);
}

KeyedObject makeObject(const QString &className, const QVariantMap &fields, const QStringList &superclasses)
{
    KeyedObject object;
    object.className = className;
    object.classes = QStringList{className} + superclasses;
    if (object.classes.last() != QLatin1String("NSObject"))
        object.classes.append(QStringLiteral("NSObject"));
    object.fields = fields;
    return object;
}

} // namespace KeyedArchive

QByteArray KeyedArchiveReference::encode(const QVariant &root, QString *error, const QString &topKey)
{
    Encoder encoder;
    const auto ref = encoder.add(root, 0);
    if (!ref) {
        setError(error, encoder.error);
        return {};
    }
    const QVariantMap archive{
        {QStringLiteral("$archiver"), QStringLiteral("NSKeyedArchiver")},
        {QStringLiteral("$version"), qint64(100000)},
        {QStringLiteral("$objects"), encoder.objects},
        {QStringLiteral("$top"), QVariantMap{{topKey, QVariant::fromValue(*ref)}}},
    };
    return PropertyList::toData(archive, PropertyList::Format::Binary, error);
}
