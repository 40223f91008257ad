// The bounds check runs first, so every object reachable from the top one lies whole before
// the offset table and refers only to objects that exist; this reader reaches objects only
// through such references. A second walk over the same objects refuses what the property-list
// library refuses beyond the bounds: the archive's graph reads only part of the list, and must
// not accept a list the tree path refuses. The decoder then follows the tree path's decoder
// step by step (the same order, depths, expansion count and texts), since which shared object
// is decoded first decides whether a deep graph passes.

#include "KeyedArchiveBinaryReader.h"

#include "BinaryPlistBounds.h"
#include "BinaryPlistView.h"
#include "KeyedArchive.h"
#include "KeyedArchiveDetail.h"
#include "PropertyList.h"

#include <QVarLengthArray>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace {

// The tree path's property-list reader's limits: the same lists are refused here.
constexpr int kMaxPlistDepth = 512;
constexpr qsizetype kMaxInputSize = 512 * 1024 * 1024;

using KeyedArchiveDetail::Kind;
using KeyedArchiveDetail::kindOfClass;
using KeyedArchiveDetail::kExpansionPerObject;
using KeyedArchiveDetail::kMaxDepth;
using KeyedArchiveDetail::kMinExpansionLimit;

using Type = BinaryPlistView::Type;
constexpr uint64_t kNone = BinaryPlistView::kNone;

// A class dictionary as every instance of it reads it; `error` set when it is unusable.
struct ClassInfo
{
    QString error;
    QString name;
    QStringList chain;
    Kind kind = Kind::Other;
};

class Decoder
{
public:
    Decoder(const BinaryPlistView &plist, uint64_t objects)
        : mPlist(plist)
        , mCount(plist.length(objects, &mObjectsAt))
        , mSlots(qsizetype(mCount))
        , mExpansionLimit(std::max<quint64>(kMinExpansionLimit, kExpansionPerObject * mCount))
        , mKeys(qsizetype(plist.count()))
    {}

    QString error;

    std::optional<QVariant> object(quint64 index, int depth)
    {
        if (index >= mCount)
            return fail(QStringLiteral("reference %1 past the %2 objects").arg(index).arg(mCount));
        Slot &slot = mSlots[qsizetype(index)];
        if (slot.done) {
            mExpanded += slot.weight;
            if (mExpanded > mExpansionLimit)
                return fail(QStringLiteral("shared objects expand too far"));
            return slot.done;
        }
        if (slot.onPath)
            return fail(QStringLiteral("reference cycle through object %1").arg(index));
        if (depth > kMaxDepth)
            return fail(QStringLiteral("object graph nested too deeply"));
        const quint64 before = mExpanded++;
        slot.onPath = true;
        auto value = decodeObject(mPlist.ref(mObjectsAt, index), depth);
        // The slots do not move while decoding: `slot` is still this object's.
        slot.onPath = false;
        if (value) {
            slot.done = value;
            slot.weight = mExpanded - before;
        }
        return value;
    }

private:
    const BinaryPlistView &mPlist;
    uint64_t mObjectsAt = 0; // where the references of "$objects" start
    const quint64 mCount;
    // Per archive object. Shared objects are decoded once, so a graph that refers to one
    // object from many places costs no more than its size.
    struct Slot
    {
        std::optional<QVariant> done;
        quint64 weight = 0; // references followed to decode the object
        qsizetype classInfo = -1; // in mClasses, once the object was read as a class
        bool onPath = false;
    };
    // On the stack for archives the size of a stored log: larger blocks from the heap cost
    // more than the rest of such a decode.
    QVarLengthArray<Slot, 128> mSlots;
    const quint64 mExpansionLimit;
    quint64 mExpanded = 0;
    // Key text by property-list object: archives share one string object for a key that
    // every object of a class repeats, so each is converted once.
    QVarLengthArray<QString, 128> mKeys;
    std::vector<ClassInfo> mClasses;

    struct Entry
    {
        const QString *key;
        uint64_t value;
    };
    using Entries = QVarLengthArray<Entry, 32>;

    std::nullopt_t fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return std::nullopt;
    }

    const QString &keyText(uint64_t object)
    {
        QString &text = mKeys[qsizetype(object)];
        if (text.isNull())
            text = mPlist.string(object);
        return text;
    }

    // A dictionary's entries in the order of the map the tree path reads it into: by key,
    // the last of equal keys kept.
    void entries(uint64_t dict, Entries *out)
    {
        uint64_t at = 0;
        const uint64_t count = mPlist.length(dict, &at);
        out->reserve(qsizetype(count));
        bool ordered = true;
        for (uint64_t i = 0; i < count; ++i) {
            const QString *key = &keyText(mPlist.ref(at, i));
            if (!out->isEmpty() && !(*out->back().key < *key))
                ordered = false;
            out->append(Entry{key, mPlist.ref(at, count + i)});
        }
        if (ordered)
            return;
        std::stable_sort(out->begin(), out->end(), [](const Entry &a, const Entry &b) { return *a.key < *b.key; });
        Entries kept;
        for (qsizetype i = 0; i < out->size(); ++i) {
            if (i + 1 < out->size() && *out->at(i + 1).key == *out->at(i).key)
                continue;
            kept.append(out->at(i));
        }
        *out = kept;
    }

    // A dictionary's values decoded into the map the tree path makes of it (an object's
    // fields without its class). Built as the standard map under QVariantMap: its keys arrive
    // in order, so each goes in at the end, moved rather than copied.
    std::optional<std::map<QString, QVariant>> fieldMap(uint64_t dict, int depth, bool skipClass)
    {
        std::map<QString, QVariant> out;
        Entries fields;
        entries(dict, &fields);
        for (const Entry &entry : fields) {
            if (skipClass && *entry.key == QLatin1StringView("$class"))
                continue;
            auto decoded = value(entry.value, depth);
            if (!decoded)
                return std::nullopt;
            out.emplace_hint(out.cend(), *entry.key, std::move(*decoded));
        }
        return out;
    }

    // A field or element: references are followed; plain values nested in arrays or
    // dictionaries are decoded by the same rule.
    std::optional<QVariant> value(uint64_t node, int depth)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("object graph nested too deeply"));
        if (node == kNone)
            return QVariant();
        switch (mPlist.type(node)) {
        case Type::Uid:
            return object(mPlist.uidValue(node), depth + 1);
        case Type::Array: {
            QVariantList out;
            uint64_t at = 0;
            const uint64_t count = mPlist.length(node, &at);
            out.reserve(qsizetype(count));
            for (uint64_t i = 0; i < count; ++i) {
                auto decoded = value(mPlist.ref(at, i), depth + 1);
                if (!decoded)
                    return std::nullopt;
                out.append(std::move(*decoded));
            }
            return QVariant(out);
        }
        case Type::Dict: {
            auto out = fieldMap(node, depth + 1, false);
            if (!out)
                return std::nullopt;
            return QVariant(QVariantMap(std::move(*out)));
        }
        default:
            return mPlist.scalar(node);
        }
    }

    std::optional<QVariantList> references(uint64_t raw, QLatin1StringView key, int depth)
    {
        const uint64_t list = mPlist.lookup(raw, key);
        if (list == kNone || mPlist.type(list) != Type::Array) {
            fail(QStringLiteral("\"%1\" is not an array").arg(key));
            return std::nullopt;
        }
        uint64_t at = 0;
        const uint64_t count = mPlist.length(list, &at);
        QVariantList out;
        out.reserve(qsizetype(count));
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t item = mPlist.ref(at, i);
            if (mPlist.type(item) != Type::Uid) {
                fail(QStringLiteral("\"%1\" holds a value that is not a reference").arg(key));
                return std::nullopt;
            }
            auto decoded = object(mPlist.uidValue(item), depth + 1);
            if (!decoded)
                return std::nullopt;
            out.append(std::move(*decoded));
        }
        return out;
    }

    const ClassInfo &classInfo(quint64 index)
    {
        Slot &slot = mSlots[qsizetype(index)];
        if (slot.classInfo >= 0)
            return mClasses[size_t(slot.classInfo)];
        ClassInfo info;
        const uint64_t raw = mPlist.ref(mObjectsAt, index);
        const bool isDict = mPlist.type(raw) == Type::Dict;
        const uint64_t name = isDict ? mPlist.lookup(raw, QLatin1StringView("$classname")) : kNone;
        const uint64_t classes = isDict ? mPlist.lookup(raw, QLatin1StringView("$classes")) : kNone;
        if (name == kNone || mPlist.type(name) != Type::String) {
            info.error = QStringLiteral("a class without a name");
        } else if (classes == kNone) {
            info.name = mPlist.string(name);
            info.chain.append(info.name);
        } else if (mPlist.type(classes) != Type::Array) {
            info.error = QStringLiteral("\"$classes\" is not an array");
        } else {
            info.name = mPlist.string(name);
            uint64_t at = 0;
            const uint64_t count = mPlist.length(classes, &at);
            for (uint64_t i = 0; i < count && info.error.isEmpty(); ++i) {
                const uint64_t item = mPlist.ref(at, i);
                if (mPlist.type(item) != Type::String)
                    info.error = QStringLiteral("\"$classes\" holds a value that is not a name");
                else
                    info.chain.append(mPlist.string(item));
            }
        }
        if (info.error.isEmpty())
            info.kind = kindOfClass(info.name);
        slot.classInfo = qsizetype(mClasses.size());
        mClasses.push_back(std::move(info));
        return mClasses.back();
    }

    std::optional<QVariant> decodeObject(uint64_t raw, int depth)
    {
        switch (mPlist.type(raw)) {
        case Type::String: {
            QString text = mPlist.string(raw);
            return text == QLatin1StringView("$null") ? QVariant() : QVariant(std::move(text));
        }
        case Type::Uid:
            return fail(QStringLiteral("an object that is a bare reference"));
        case Type::Array:
            return fail(QStringLiteral("an object that is a bare array"));
        case Type::Dict:
            break;
        default:
            return mPlist.scalar(raw); // numbers, booleans, data and dates are stored as themselves
        }

        const uint64_t classRef = mPlist.lookup(raw, QLatin1StringView("$class"));
        if (classRef == kNone || mPlist.type(classRef) != Type::Uid)
            return fail(QStringLiteral("an object without a class reference"));
        const quint64 classIndex = mPlist.uidValue(classRef);
        if (classIndex >= mCount)
            return fail(QStringLiteral("class reference %1 past the objects").arg(classIndex));
        // A copy: decoding the fields below may read more classes, which moves them.
        const ClassInfo info = classInfo(classIndex);
        if (!info.error.isEmpty())
            return fail(info.error);

        switch (info.kind) {
        case Kind::String: {
            auto text = value(mPlist.lookup(raw, QLatin1StringView("NS.string")), depth);
            if (!text)
                return std::nullopt;
            if (text->typeId() != QMetaType::QString)
                return fail(QStringLiteral("a string object without \"NS.string\""));
            return text;
        }
        case Kind::Data: {
            auto bytes = value(mPlist.lookup(raw, QLatin1StringView("NS.data")), depth);
            if (!bytes)
                return std::nullopt;
            if (bytes->typeId() != QMetaType::QByteArray)
                return fail(QStringLiteral("a data object without \"NS.data\""));
            return bytes;
        }
        case Kind::Date: {
            const uint64_t time = mPlist.lookup(raw, QLatin1StringView("NS.time"));
            const Type t = time == kNone ? Type::Bool : mPlist.type(time);
            if (t != Type::Real && t != Type::Int)
                return fail(QStringLiteral("a date without \"NS.time\""));
            QString why;
            const auto date = KeyedArchiveDetail::dateAt(mPlist.number(time), &why);
            if (!date)
                return fail(why);
            return date;
        }
        case Kind::List: {
            auto items = references(raw, QLatin1StringView("NS.objects"), depth);
            if (!items)
                return std::nullopt;
            return QVariant(*items);
        }
        case Kind::Map: {
            auto keys = references(raw, QLatin1StringView("NS.keys"), depth);
            if (!keys)
                return std::nullopt;
            auto values = references(raw, QLatin1StringView("NS.objects"), depth);
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

        auto fields = fieldMap(raw, depth, true);
        if (!fields)
            return std::nullopt;
        KeyedObject object;
        object.className = info.name;
        object.classes = info.chain;
        object.fields = QVariantMap(std::move(*fields));
        return QVariant::fromValue(std::move(object));
    }
};

KeyedArchiveBinaryReader::Outcome refuse(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return KeyedArchiveBinaryReader::Outcome::Refused;
}

} // namespace

namespace KeyedArchiveBinaryReader {

Outcome decode(const QByteArray &archive, const QString &topKey, QVariant *value, QString *error)
{
    if (archive.size() > kMaxInputSize)
        return refuse(error, QStringLiteral("not a keyed archive: property list too large"));
    const char *why = nullptr;
    if (!BinaryPlistBounds::isSound(reinterpret_cast<const uint8_t *>(archive.constData()), uint64_t(archive.size()),
                                    kMaxPlistDepth, &why))
        return refuse(error, QStringLiteral("not a keyed archive: malformed binary property list: ")
                                 + QString::fromLatin1(why ? why : "unsound"));
    const BinaryPlistView plist(archive);
    switch (plist.sweep()) {
    case BinaryPlistView::Sweep::Sound:
        break;
    case BinaryPlistView::Sweep::Refused:
        return refuse(error, QStringLiteral("not a keyed archive: malformed binary property list"));
    case BinaryPlistView::Sweep::LeftToTree:
        return Outcome::LeftToTree;
    }

    const uint64_t root = plist.top;
    if (plist.type(root) != Type::Dict)
        return refuse(error, QStringLiteral("not a keyed archive: the root is not a dictionary"));
    const uint64_t archiver = plist.lookup(root, QLatin1StringView("$archiver"));
    if (archiver != kNone && plist.type(archiver) != Type::String)
        return refuse(error, QStringLiteral("not a keyed archive: \"$archiver\" is not a name"));
    const uint64_t objects = plist.lookup(root, QLatin1StringView("$objects"));
    if (objects == kNone || plist.type(objects) != Type::Array)
        return refuse(error, QStringLiteral("not a keyed archive: no \"$objects\" array"));
    const uint64_t top = plist.lookup(root, QLatin1StringView("$top"));
    if (top == kNone || plist.type(top) != Type::Dict)
        return refuse(error, QStringLiteral("not a keyed archive: no \"$top\" dictionary"));
    uint64_t rootRef = kNone;
    uint64_t at = 0;
    const uint64_t entries = plist.length(top, &at);
    for (uint64_t i = entries; i-- > 0 && rootRef == kNone;) {
        if (plist.string(plist.ref(at, i)) == topKey)
            rootRef = plist.ref(at, entries + i);
    }
    if (rootRef == kNone || plist.type(rootRef) != Type::Uid)
        return refuse(error, QStringLiteral("keyed archive has no reference \"%1\" in \"$top\"").arg(topKey));

    Decoder decoder(plist, objects);
    auto decoded = decoder.object(plist.uidValue(rootRef), 0);
    if (!decoded)
        return refuse(error, QStringLiteral("malformed keyed archive: ") + decoder.error);
    *value = std::move(*decoded);
    return Outcome::Decoded;
}

} // namespace KeyedArchiveBinaryReader
