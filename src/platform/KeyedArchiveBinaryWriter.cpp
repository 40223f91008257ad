// Two passes. The first numbers the archive's objects as the archiver does: "$null" first,
// each object reserved before its contents, one class dictionary per class name, appended
// when its first instance is complete. The second writes the property list the generic
// writer makes of that graph: the graph's objects in order, each container followed by what
// it holds, strings stored once across the whole list, references of the smallest width
// that numbers every object. Containers are written with their reference tables blank and
// filled in as their contents are numbered, so nothing is built twice.

#include "KeyedArchiveBinaryWriter.h"

#include "KeyedArchive.h"
#include "PlistWriters.h"
#include "PropertyList.h"

#include <QDateTime>
#include <QHashFunctions>
#include <QStringList>

#include <algorithm>
#include <bit>
#include <cstring>
#include <forward_list>
#include <limits>
#include <optional>
#include <vector>

namespace {

using PlistWriters::widthFor;

// The reference encoder's cap: deeper trees are refused by both alike.
constexpr int kMaxDepth = 256;

// The string tables keep pointers to the strings they hold, so the fixed ones live here
// rather than in temporaries.
const QString kNull = QStringLiteral("$null");
const QString kClassKey = QStringLiteral("$class");
const QString kArchiverKey = QStringLiteral("$archiver");
const QString kArchiverName = QStringLiteral("NSKeyedArchiver");
const QString kObjectsKey = QStringLiteral("$objects");
const QString kTopKey = QStringLiteral("$top");
const QString kVersionKey = QStringLiteral("$version");
const QString kClassesKey = QStringLiteral("$classes");
const QString kClassNameKey = QStringLiteral("$classname");
const QString kObjectsField = QStringLiteral("NS.objects");
const QString kKeysField = QStringLiteral("NS.keys");
const QString kTimeField = QStringLiteral("NS.time");
const QString kStringField = QStringLiteral("NS.string");

struct ClassName
{
    QString name;
    QStringList chain;
};

ClassName builtIn(const char *name)
{
    const QString text = QString::fromLatin1(name);
    return {text, {text, QStringLiteral("NSObject")}};
}

const ClassName kNSNull = builtIn("NSNull");
const ClassName kNSString = builtIn("NSString");
const ClassName kNSDate = builtIn("NSDate");
const ClassName kNSArray = builtIn("NSArray");
const ClassName kNSDictionary = builtIn("NSDictionary");

const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

// Strings by content, each with a number: the archive's shared strings and its classes by
// name. Open addressing over a hash of the UTF-16 units; a general hash table's allocation
// per entry cost more than the rest of the writing. The hash is seeded per process, as
// QHash's is, so strings chosen to collide cannot make archiving quadratic. Holds pointers:
// every string added must outlive the table.
class StringTable
{
public:
    explicit StringTable(size_t expected) { mSlots.resize(std::max<size_t>(16, std::bit_ceil(2 * expected))); }

    // The number kept for `text`, and false; or, when `text` is new, `fresh` kept and true.
    std::pair<quint32, bool> findOrAdd(const QString &text, quint32 fresh)
    {
        if (2 * (mUsed + 1) > mSlots.size())
            grow();
        const quint32 hash = hashOf(text);
        const size_t mask = mSlots.size() - 1;
        for (size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot &slot = mSlots[i];
            if (!slot.text) {
                slot = {hash, fresh, &text};
                ++mUsed;
                return {fresh, true};
            }
            if (slot.hash == hash && same(*slot.text, text))
                return {slot.value, false};
        }
    }

private:
    struct Slot
    {
        quint32 hash = 0;
        quint32 value = 0;
        const QString *text = nullptr;
    };
    std::vector<Slot> mSlots;
    size_t mUsed = 0;

    // Eight bytes at a time: the archive's strings are mostly short keys, hashed once each.
    static quint32 hashOf(const QString &text)
    {
        const auto *bytes = reinterpret_cast<const char *>(text.constData());
        size_t left = size_t(text.size()) * sizeof(QChar);
        static const quint64 seed = 0x9E3779B97F4A7C15ull ^ quint64(qGlobalQHashSeed());
        quint64 hash = seed ^ left;
        for (; left >= 8; left -= 8, bytes += 8) {
            quint64 chunk;
            std::memcpy(&chunk, bytes, 8);
            hash = (hash ^ chunk) * 0xFF51AFD7ED558CCDull;
            hash ^= hash >> 32;
        }
        if (left) { // two, four or six bytes, read whole rather than byte by byte
            quint64 chunk = 0;
            if (left & 4) {
                quint32 four;
                std::memcpy(&four, bytes, 4);
                chunk = four;
                bytes += 4;
            }
            if (left & 2) {
                quint16 two;
                std::memcpy(&two, bytes, 2);
                chunk |= quint64(two) << 32;
            }
            hash = (hash ^ chunk) * 0xFF51AFD7ED558CCDull;
            hash ^= hash >> 32;
        }
        return quint32(hash);
    }

    static bool same(const QString &a, const QString &b)
    {
        return a.size() == b.size()
               && (a.constData() == b.constData()
                   || std::memcmp(a.constData(), b.constData(), size_t(a.size()) * sizeof(QChar)) == 0);
    }

    void grow()
    {
        std::vector<Slot> old = std::move(mSlots);
        mSlots.assign(2 * old.size(), Slot{});
        const size_t mask = mSlots.size() - 1;
        for (const Slot &slot : old) {
            if (!slot.text)
                continue;
            size_t i = slot.hash & mask;
            while (mSlots[i].text)
                i = (i + 1) & mask;
            mSlots[i] = slot;
        }
    }
};

// One object of the archiver's graph ("$objects").
struct Entry
{
    enum Kind : quint8 { Text, Bool, Signed, LargeUnsigned, Real, Data, Class, Object, Array, Dictionary, Date, Null, BoxedNull };
    explicit Entry(Kind k = Text) : kind(k), integer(0) {}

    Kind kind;
    quint32 classRef = 0; // Object and the collection and value classes: their class dictionary
    quint32 first = 0;    // Object, Array, Dictionary: where their references start in Graph::refs
    quint32 count = 0;    // Object: fields; Array: items; Dictionary: pairs, key and value alternating
    quint32 classAt = 0;  // Object: the place of "$class" among its sorted keys
    union {
        bool boolean;
        qint64 integer;
        quint64 large;
        double real;
        const QString *text; // Text; Class: the name
        const QByteArray *data;
        const KeyedObject *object;
    };
    const QStringList *chain = nullptr; // Class
};

// The first pass: the graph's objects numbered as the archiver numbers them. Values are not
// copied: entries point into the caller's tree, or into what the graph keeps where a value
// had to be converted first.
class Graph
{
public:
    std::vector<Entry> entries;
    std::vector<quint32> refs;
    QString error;

    Graph()
    {
        entries.reserve(64);
        refs.reserve(64);
        mStack.reserve(32);
        Entry null(Entry::Text);
        null.text = &kNull;
        entries.push_back(null);
    }

    std::optional<quint32> add(const QVariant &v, int depth)
    {
        if (depth > kMaxDepth)
            return fail(QStringLiteral("value nested too deeply to archive"));
        if (!v.isValid())
            return 0;
        const int type = v.typeId();
        switch (type) {
        case QMetaType::Nullptr: {
            Entry entry(Entry::Null);
            entry.classRef = classRef(kNSNull.name, kNSNull.chain);
            return push(entry);
        }
        case QMetaType::QString:
            return addText(*static_cast<const QString *>(v.constData()));
        case QMetaType::Bool: {
            Entry entry(Entry::Bool);
            entry.boolean = v.toBool();
            return push(entry);
        }
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short: {
            Entry entry(Entry::Signed);
            entry.integer = v.toLongLong();
            return push(entry);
        }
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort: {
            const quint64 value = v.toULongLong();
            Entry entry(Entry::Signed);
            if (value > quint64(std::numeric_limits<qint64>::max())) {
                entry.kind = Entry::LargeUnsigned;
                entry.large = value;
            } else {
                entry.integer = qint64(value);
            }
            return push(entry);
        }
        case QMetaType::Double:
        case QMetaType::Float: {
            Entry entry(Entry::Real);
            entry.real = v.toDouble();
            return push(entry);
        }
        case QMetaType::QByteArray: {
            Entry entry(Entry::Data);
            entry.data = static_cast<const QByteArray *>(v.constData());
            return push(entry);
        }
        case QMetaType::QDateTime: {
            const auto &date = *static_cast<const QDateTime *>(v.constData());
            if (!date.isValid())
                return fail(QStringLiteral("an invalid date cannot be archived"));
            Entry entry(Entry::Date);
            entry.real = double(referenceDate().msecsTo(date)) / 1000.0;
            entry.classRef = classRef(kNSDate.name, kNSDate.chain);
            return push(entry);
        }
        case QMetaType::QStringList:
            return addStrings(*static_cast<const QStringList *>(v.constData()), depth);
        case QMetaType::QVariantList:
            return addList(*static_cast<const QVariantList *>(v.constData()), depth);
        case QMetaType::QVariantMap:
            return addMap(*static_cast<const QVariantMap *>(v.constData()), depth);
        case QMetaType::QVariantHash:
            return addMap(mKeptMaps.emplace_front(v.toMap()), depth);
        default:
            break;
        }
        if (type == qMetaTypeId<KeyedObject>())
            return addObject(*static_cast<const KeyedObject *>(v.constData()), depth);
        if (type == qMetaTypeId<PlistUid>())
            return fail(QStringLiteral("a bare reference cannot be archived"));
        return fail(QStringLiteral("a value of type %1 cannot be archived").arg(QString::fromLatin1(v.typeName())));
    }

    // Objects the second pass writes at most: as many as if no string were shared.
    quint64 objectBound() const
    {
        quint64 bound = 11; // the top dictionary, its four keys and values, and the root's key and reference
        for (const Entry &entry : entries) {
            switch (entry.kind) {
            case Entry::Class:
                bound += 5 + quint64(entry.chain->size());
                break;
            case Entry::Object:
                bound += 3 + 2 * quint64(entry.count);
                break;
            case Entry::Array:
                bound += 5 + quint64(entry.count);
                break;
            case Entry::Dictionary:
                bound += 7 + 2 * quint64(entry.count);
                break;
            case Entry::Date:
            case Entry::BoxedNull:
                bound += 5;
                break;
            case Entry::Null:
                bound += 3;
                break;
            default:
                bound += 1;
                break;
            }
        }
        return bound;
    }

private:
    std::vector<quint32> mStack; // references of the containers being numbered
    StringTable mClasses{8};
    // Lists rather than vectors: what they keep must not move.
    std::forward_list<QVariantMap> mKeptMaps;
    std::forward_list<QStringList> mKeptChains;

    std::nullopt_t fail(const QString &text)
    {
        if (error.isEmpty())
            error = text;
        return std::nullopt;
    }

    quint32 push(const Entry &entry)
    {
        entries.push_back(entry);
        return quint32(entries.size() - 1);
    }

    // Moves the references numbered since `base` into the entry at `slot`.
    quint32 fill(quint32 slot, Entry entry, size_t base)
    {
        entry.first = quint32(refs.size());
        refs.insert(refs.end(), mStack.begin() + qsizetype(base), mStack.end());
        mStack.resize(base);
        entries[slot] = entry;
        return slot;
    }

    // One class dictionary per class name, shared by all its instances.
    quint32 classRef(const QString &name, const QStringList &chain)
    {
        const auto [ref, added] = mClasses.findOrAdd(name, quint32(entries.size()));
        if (added) {
            Entry entry(Entry::Class);
            entry.text = &name;
            entry.chain = &chain;
            push(entry);
        }
        return ref;
    }

    quint32 addText(const QString &text)
    {
        // A string that reads "$null" would come back as nil; the string class keeps it.
        if (text == kNull) {
            Entry entry(Entry::BoxedNull);
            entry.classRef = classRef(kNSString.name, kNSString.chain);
            return push(entry);
        }
        Entry entry(Entry::Text);
        entry.text = &text;
        return push(entry);
    }

    std::optional<quint32> addStrings(const QStringList &list, int depth)
    {
        const quint32 slot = push(Entry());
        const size_t base = mStack.size();
        for (const QString &item : list) {
            if (depth + 1 > kMaxDepth)
                return fail(QStringLiteral("value nested too deeply to archive"));
            mStack.push_back(addText(item));
        }
        Entry entry(Entry::Array);
        entry.classRef = classRef(kNSArray.name, kNSArray.chain);
        entry.count = quint32(mStack.size() - base);
        return fill(slot, entry, base);
    }

    std::optional<quint32> addList(const QVariantList &list, int depth)
    {
        const quint32 slot = push(Entry());
        const size_t base = mStack.size();
        for (const QVariant &item : list) {
            const auto ref = add(item, depth + 1);
            if (!ref)
                return std::nullopt;
            mStack.push_back(*ref);
        }
        Entry entry(Entry::Array);
        entry.classRef = classRef(kNSArray.name, kNSArray.chain);
        entry.count = quint32(mStack.size() - base);
        return fill(slot, entry, base);
    }

    std::optional<quint32> addMap(const QVariantMap &map, int depth)
    {
        const quint32 slot = push(Entry());
        const size_t base = mStack.size();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (depth + 1 > kMaxDepth)
                return fail(QStringLiteral("value nested too deeply to archive"));
            mStack.push_back(addText(it.key()));
            const auto value = add(it.value(), depth + 1);
            if (!value)
                return std::nullopt;
            mStack.push_back(*value);
        }
        Entry entry(Entry::Dictionary);
        entry.classRef = classRef(kNSDictionary.name, kNSDictionary.chain);
        entry.count = quint32((mStack.size() - base) / 2);
        return fill(slot, entry, base);
    }

    std::optional<quint32> addObject(const KeyedObject &object, int depth)
    {
        if (object.className.isEmpty())
            return fail(QStringLiteral("an object without a class name cannot be archived"));
        const quint32 slot = push(Entry());
        const size_t base = mStack.size();
        Entry entry(Entry::Object);
        for (auto it = object.fields.cbegin(); it != object.fields.cend(); ++it) {
            if (it.key() == kClassKey)
                return fail(QStringLiteral("an object field may not be named \"$class\""));
            // The archiver's dictionary sorts "$class" in among the fields.
            if (it.key() < kClassKey)
                ++entry.classAt;
            const auto ref = add(it.value(), depth + 1);
            if (!ref)
                return std::nullopt;
            mStack.push_back(*ref);
        }
        const QStringList *chain = &object.classes;
        if (chain->isEmpty() || chain->first() != object.className) {
            chain = &mKeptChains.emplace_front(object.classes);
            mKeptChains.front().prepend(object.className);
        }
        entry.classRef = classRef(object.className, *chain);
        entry.object = &object;
        entry.count = quint32(mStack.size() - base);
        return fill(slot, entry, base);
    }
};

// The second pass. Numbers each property-list object as it writes it; a container's
// reference table is left blank and filled as its contents are numbered.
class Writer
{
public:
    Writer(const Graph &graph, quint64 objectBound, int refWidth)
        : mGraph(graph), mRefWidth(refWidth), mStrings(size_t(objectBound) / 2)
    {
        mOffsets.reserve(size_t(objectBound));
        reserve(size_t(objectBound) * 12 + 64);
    }

    quint64 objectCount() const { return quint64(mOffsets.size()); }

    // False when a string holds a NUL.
    bool write(quint32 rootRef, const QString &topKey)
    {
        std::memcpy(room(8), "bplist00", 8);
        // The top dictionary's keys sort as "$archiver", "$objects", "$top", "$version".
        const size_t top = open(0xD0, 4, 8);
        fillKey(top, 0, kArchiverKey);
        fillValue(top, 4, 0, string(kArchiverName));
        fillKey(top, 1, kObjectsKey);
        fillValue(top, 4, 1, next());
        const size_t count = mGraph.entries.size();
        const size_t objects = open(0xA0, count, count);
        for (size_t i = 0; i < count && !mFailed; ++i)
            fill(objects, i, entry(mGraph.entries[i]));
        fillKey(top, 2, kTopKey);
        fillValue(top, 4, 2, next());
        const size_t roots = open(0xD0, 1, 2);
        fillKey(roots, 0, topKey);
        fillValue(roots, 1, 0, uid(rootRef));
        fillKey(top, 3, kVersionKey);
        fillValue(top, 4, 3, integer(100000));
        return !mFailed;
    }

    // Ends the list with the offset table and the trailer.
    QByteArray finish()
    {
        const quint64 tableOffset = quint64(mSize);
        const int offsetWidth = widthFor(mOffsets.empty() ? 0 : mOffsets.back());
        for (quint64 offset : mOffsets)
            put(offset, offsetWidth);
        std::memset(room(6), 0, 6);
        byte(char(offsetWidth));
        byte(char(mRefWidth));
        put(quint64(mOffsets.size()), 8);
        put(0, 8);
        put(tableOffset, 8);
        mOut.truncate(qsizetype(mSize));
        return mOut;
    }

private:
    const Graph &mGraph;
    const int mRefWidth;
    QByteArray mOut; // written up to mSize; the rest is room
    char *mData = nullptr;
    size_t mSize = 0;
    std::vector<quint64> mOffsets;
    StringTable mStrings;
    bool mFailed = false;

    void reserve(size_t capacity)
    {
        mOut.resize(qsizetype(capacity));
        mData = mOut.data();
    }

    char *room(size_t n)
    {
        if (mSize + n > size_t(mOut.size()))
            reserve(std::max(2 * size_t(mOut.size()), mSize + n));
        char *at = mData + mSize;
        mSize += n;
        return at;
    }

    void byte(char c) { *room(1) = c; }

    quint32 next() const { return quint32(mOffsets.size()); }

    quint32 begin()
    {
        mOffsets.push_back(quint64(mSize));
        return quint32(mOffsets.size() - 1);
    }

    void put(quint64 value, int width)
    {
        char *at = room(size_t(width));
        for (int i = width - 1; i >= 0; --i, value >>= 8)
            at[i] = char(value & 0xFF);
    }

    void putUnsigned(quint64 value)
    {
        const int width = widthFor(value);
        const int log2 = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
        byte(char(0x10 | log2));
        put(value, width);
    }

    void putMarker(quint8 high, quint64 count)
    {
        if (count < 15) {
            byte(char(high | count));
            return;
        }
        byte(char(high | 0x0F));
        putUnsigned(count);
    }

    void putReal(double value)
    {
        quint64 bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        byte(char(0x23));
        put(bits, 8);
    }

    // Begins a container of `count` items holding `refs` references; answers where they go.
    size_t open(quint8 high, size_t count, size_t refs)
    {
        begin();
        putMarker(high, quint64(count));
        const size_t at = mSize;
        std::memset(room(refs * size_t(mRefWidth)), 0, refs * size_t(mRefWidth));
        return at;
    }

    void fill(size_t table, size_t slot, quint32 ref)
    {
        char *at = mData + table + slot * size_t(mRefWidth);
        for (int i = mRefWidth - 1; i >= 0; --i, ref >>= 8)
            at[i] = char(ref & 0xFF);
    }

    // A dictionary's table holds its keys, then as many values. Each key is numbered before
    // its value, as the generic writer numbers them.
    void fillKey(size_t table, size_t slot, const QString &key) { fill(table, slot, string(key)); }
    void fillValue(size_t table, size_t pairs, size_t slot, quint32 ref) { fill(table, pairs + slot, ref); }

    quint32 string(const QString &text)
    {
        const auto [known, added] = mStrings.findOrAdd(text, next());
        if (!added)
            return known;
        const QChar *units = text.constData();
        const qsizetype size = text.size();
        bool ascii = true;
        for (qsizetype i = 0; i < size; ++i) {
            // Readers end a string at a NUL: it would come back cut.
            if (units[i].unicode() == 0) {
                mFailed = true;
                return 0;
            }
            ascii = ascii && units[i].unicode() < 0x80;
        }
        const quint32 ref = begin();
        if (ascii) {
            putMarker(0x50, quint64(size));
            char *at = room(size_t(size));
            for (qsizetype i = 0; i < size; ++i)
                at[i] = char(units[i].unicode());
        } else {
            putMarker(0x60, quint64(size));
            for (qsizetype i = 0; i < size; ++i)
                put(units[i].unicode(), 2);
        }
        return ref;
    }

    quint32 uid(quint64 value)
    {
        const quint32 ref = begin();
        const int width = widthFor(value);
        byte(char(0x80 | (width - 1)));
        put(value, width);
        return ref;
    }

    quint32 integer(qint64 v)
    {
        const quint32 ref = begin();
        if (v >= 0 && v <= 0xFFFFFFFFll) {
            putUnsigned(quint64(v));
        } else { // eight bytes are read as signed
            byte(char(0x13));
            put(quint64(v), 8);
        }
        return ref;
    }

    // An array of UIDs: the graph references from `first`, every `stride`th one.
    quint32 uids(quint32 first, quint32 count, quint32 stride)
    {
        const quint32 ref = next();
        const size_t table = open(0xA0, count, count);
        for (quint32 i = 0; i < count; ++i)
            fill(table, i, uid(mGraph.refs[first + i * stride]));
        return ref;
    }

    // Opens an instance dictionary of `pairs` keys with "$class" first.
    size_t instance(const Entry &entry, size_t pairs)
    {
        const size_t table = open(0xD0, pairs, 2 * pairs);
        fillKey(table, 0, kClassKey);
        fillValue(table, pairs, 0, uid(entry.classRef));
        return table;
    }

    quint32 entry(const Entry &entry)
    {
        const quint32 ref = next();
        switch (entry.kind) {
        case Entry::Text:
            return string(*entry.text);
        case Entry::Bool:
            begin();
            byte(char(entry.boolean ? 0x09 : 0x08));
            break;
        case Entry::Signed:
            return integer(entry.integer);
        case Entry::LargeUnsigned: // sixteen bytes: the value is unsigned
            begin();
            byte(char(0x14));
            put(0, 8);
            put(entry.large, 8);
            break;
        case Entry::Real:
            begin();
            putReal(entry.real);
            break;
        case Entry::Data:
            begin();
            putMarker(0x40, quint64(entry.data->size()));
            std::memcpy(room(size_t(entry.data->size())), entry.data->constData(), size_t(entry.data->size()));
            break;
        case Entry::Class: {
            const size_t table = open(0xD0, 2, 4);
            fillKey(table, 0, kClassesKey);
            fillValue(table, 2, 0, next());
            const size_t chain = open(0xA0, size_t(entry.chain->size()), size_t(entry.chain->size()));
            for (qsizetype i = 0; i < entry.chain->size(); ++i)
                fill(chain, size_t(i), string(entry.chain->at(i)));
            fillKey(table, 1, kClassNameKey);
            fillValue(table, 2, 1, string(*entry.text));
            break;
        }
        case Entry::Object: {
            const size_t pairs = size_t(entry.count) + 1;
            const size_t table = open(0xD0, pairs, 2 * pairs);
            auto field = entry.object->fields.cbegin();
            for (size_t slot = 0, i = 0; slot < pairs; ++slot) {
                if (slot == entry.classAt) {
                    fillKey(table, slot, kClassKey);
                    fillValue(table, pairs, slot, uid(entry.classRef));
                    continue;
                }
                fillKey(table, slot, field.key());
                fillValue(table, pairs, slot, uid(mGraph.refs[entry.first + i]));
                ++field;
                ++i;
            }
            break;
        }
        case Entry::Array: {
            const size_t table = instance(entry, 2);
            fillKey(table, 1, kObjectsField);
            fillValue(table, 2, 1, uids(entry.first, entry.count, 1));
            break;
        }
        case Entry::Dictionary: {
            const size_t table = instance(entry, 3);
            fillKey(table, 1, kKeysField);
            fillValue(table, 3, 1, uids(entry.first, entry.count, 2));
            fillKey(table, 2, kObjectsField);
            fillValue(table, 3, 2, uids(entry.first + 1, entry.count, 2));
            break;
        }
        case Entry::Date: {
            const size_t table = instance(entry, 2);
            fillKey(table, 1, kTimeField);
            fillValue(table, 2, 1, next());
            begin();
            putReal(entry.real);
            break;
        }
        case Entry::Null:
            instance(entry, 1);
            break;
        case Entry::BoxedNull: {
            const size_t table = instance(entry, 2);
            fillKey(table, 1, kStringField);
            fillValue(table, 2, 1, string(kNull));
            break;
        }
        }
        return ref;
    }
};

} // namespace

namespace KeyedArchiveBinaryWriter {

QByteArray write(const QVariant &root, const QString &topKey, QString *error)
{
    Graph graph;
    const auto rootRef = graph.add(root, 0);
    if (!rootRef) {
        if (error)
            *error = graph.error;
        return {};
    }
    // Shared strings may number fewer objects than the bound; the rare list whose count
    // then falls below a width boundary is written again with the narrower references.
    const quint64 bound = graph.objectBound();
    int refWidth = widthFor(bound - 1);
    for (;;) {
        Writer writer(graph, bound, refWidth);
        if (!writer.write(*rootRef, topKey)) {
            if (error)
                *error = QStringLiteral("a string holding a NUL character has no property-list form");
            return {};
        }
        const int needed = widthFor(writer.objectCount() - 1);
        if (needed == refWidth)
            return writer.finish();
        refWidth = needed;
    }
}

} // namespace KeyedArchiveBinaryWriter
