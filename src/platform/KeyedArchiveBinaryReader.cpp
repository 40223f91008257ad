// The bounds check runs first, so every object reachable from the top one lies whole before
// the offset table and refers only to objects that exist; this reader reaches objects only
// through such references. A second walk over the same objects refuses what the property-list
// library refuses beyond the bounds: the archive's graph reads only part of the list, and must
// not accept a list the tree path refuses. The decoder then follows the tree path's decoder
// step by step (the same order, depths, expansion count and texts), since which shared object
// is decoded first decides whether a deep graph passes.

#include "KeyedArchiveBinaryReader.h"

#include "BinaryPlistBounds.h"
#include "KeyedArchive.h"
#include "PropertyList.h"

#include <QDateTime>
#include <QHash>
#include <QTimeZone>
#include <QVarLengthArray>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace {

// The tree path's limits (its property-list reader's and its decoder's): the same archives
// are refused here.
constexpr int kMaxPlistDepth = 512;
constexpr qsizetype kMaxInputSize = 512 * 1024 * 1024;
constexpr int kMaxDepth = 256;
constexpr quint64 kMinExpansionLimit = 1 << 20;
constexpr quint64 kExpansionPerObject = 16;

constexpr uint64_t kTrailerSize = 32;
// A field that is absent.
constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

// The seconds the tree path makes of a stored date: the property-list library hands them over
// as seconds truncated to 32 bits and microseconds without their sign, and the tree path reads
// the stored value itself only where that loses it.
double treeDateSeconds(double stored)
{
    constexpr int32_t kLowest = std::numeric_limits<int32_t>::min();
    constexpr int32_t kHighest = std::numeric_limits<int32_t>::max();
    // Out of range (and NaN) the conversion yields the lowest value, as the processor's does.
    const int32_t sec = stored > -2147483649.0 && stored < 2147483648.0 ? int32_t(stored) : kLowest;
    if (sec == kLowest || sec == kHighest)
        return std::isfinite(stored) ? stored : 0.0;
    const auto usec = int32_t(std::fabs((stored - double(int64_t(stored))) * 1000000));
    if (sec == 0 && usec != 0)
        return stored;
    return double(sec) + (sec < 0 ? -1.0 : 1.0) * double(usec) / 1e6;
}

enum class Type { Bool, Int, Real, Date, Data, String, Uid, Array, Dict };

class BinaryPlist
{
public:
    // `data` passed the bounds check.
    explicit BinaryPlist(const QByteArray &data)
        : mBytes(reinterpret_cast<const uint8_t *>(data.constData())), mSize(uint64_t(data.size()))
    {
        const uint64_t trailer = mSize - kTrailerSize;
        mOffsetSize = mBytes[trailer + 6];
        mRefSize = mBytes[trailer + 7];
        mCount = unsignedAt(trailer + 8, 8);
        top = unsignedAt(trailer + 16, 8);
        mTableAt = unsignedAt(trailer + 24, 8);
    }

    uint64_t top = 0;
    uint64_t count() const { return mCount; }

    enum class Sweep { Sound, Refused, LeftToTree };

    // The faults the property-list library refuses a whole list for, in any object reachable
    // from the top one: null and fill markers, references above 32 bits, keys that are not
    // strings, empty UTF-16 strings. Text it would mend is left to the tree path.
    Sweep sweep() const
    {
        std::vector<bool> seen(size_t(mCount), false);
        std::vector<uint64_t> pending{top};
        bool leftToTree = false;
        while (!pending.empty()) {
            const uint64_t object = pending.back();
            pending.pop_back();
            if (object >= mCount || seen[size_t(object)])
                continue;
            seen[size_t(object)] = true;
            const uint8_t marker = markerOf(object);
            uint64_t at = 0;
            switch (marker >> 4) {
            case 0x0:
                if (marker != 0x08 && marker != 0x09)
                    return Sweep::Refused;
                break;
            case 0x6: {
                const uint64_t units = length(object, &at);
                if (units == 0)
                    return Sweep::Refused;
                leftToTree = leftToTree || hasUnpairedSurrogate(at, units);
                break;
            }
            case 0x8:
                if (uidBits(object) > std::numeric_limits<uint32_t>::max())
                    return Sweep::Refused;
                break;
            case 0xA:
            case 0xC: {
                const uint64_t items = length(object, &at);
                for (uint64_t i = 0; i < items; ++i)
                    pending.push_back(ref(at, i));
                break;
            }
            case 0xD: {
                const uint64_t entries = length(object, &at);
                for (uint64_t i = 0; i < entries; ++i) {
                    const uint64_t key = ref(at, i);
                    const uint8_t keyType = markerOf(key) >> 4;
                    if (keyType != 0x5 && keyType != 0x6)
                        return Sweep::Refused;
                    pending.push_back(key);
                    pending.push_back(ref(at, entries + i));
                }
                break;
            }
            default:
                break;
            }
        }
        return leftToTree ? Sweep::LeftToTree : Sweep::Sound;
    }

    // The type the tree path gives the object; a dictionary holding only an integer under
    // "CF$UID" is a reference there, as XML archives write one.
    Type type(uint64_t object) const
    {
        switch (markerOf(object) >> 4) {
        case 0x0:
            return Type::Bool; // the sweep refused the other markers of this kind
        case 0x1:
            return Type::Int;
        case 0x2:
            return Type::Real;
        case 0x3:
            return Type::Date;
        case 0x4:
            return Type::Data;
        case 0x5:
        case 0x6:
            return Type::String;
        case 0x8:
            return Type::Uid;
        case 0xA:
        case 0xC:
            return Type::Array;
        default:
            return cfUidValue(object) == kNone ? Type::Dict : Type::Uid;
        }
    }

    // Items of an array or set, entries of a dictionary; `at` receives where the references
    // start (a dictionary's keys, then its values).
    uint64_t length(uint64_t object, uint64_t *at) const
    {
        const uint64_t offset = offsetOf(object);
        const uint8_t nibble = byteAt(offset) & 0x0F;
        if (nibble != 0x0F) {
            *at = offset + 1;
            return nibble;
        }
        const unsigned width = 1u << (byteAt(offset + 1) & 0x0F);
        *at = offset + 2 + width;
        return unsignedAt(offset + 2, width);
    }

    uint64_t ref(uint64_t at, uint64_t i) const { return unsignedAt(at + i * mRefSize, mRefSize); }

    // The last value under `key`, as a dictionary read into a map keeps; kNone when absent.
    uint64_t lookup(uint64_t dict, QLatin1StringView key) const
    {
        uint64_t at = 0;
        const uint64_t entries = length(dict, &at);
        for (uint64_t i = entries; i-- > 0;) {
            if (keyEquals(ref(at, i), key))
                return ref(at, entries + i);
        }
        return kNone;
    }

    quint64 uidValue(uint64_t object) const
    {
        if (markerOf(object) >> 4 == 0x8)
            return uidBits(object);
        return integerBits(cfUidValue(object));
    }

    QString string(uint64_t object) const
    {
        uint64_t at = 0;
        const uint64_t units = length(object, &at);
        if (markerOf(object) >> 4 == 0x5) {
            if (!fits(at, units))
                return {};
            return QString::fromUtf8(reinterpret_cast<const char *>(mBytes + at), qsizetype(units));
        }
        if (units > uint64_t(kMaxInputSize) || !fits(at, units * 2))
            return {};
        QString text(qsizetype(units), Qt::Uninitialized);
        QChar *out = text.data();
        for (uint64_t i = 0; i < units; ++i)
            out[i] = QChar(char16_t(mBytes[at + 2 * i] << 8 | mBytes[at + 2 * i + 1]));
        return text;
    }

    // Booleans, numbers, dates, data and strings as the tree path holds them.
    QVariant scalar(uint64_t object) const
    {
        const uint64_t offset = offsetOf(object);
        const uint8_t marker = byteAt(offset);
        switch (marker >> 4) {
        case 0x0:
            return QVariant(marker == 0x09);
        case 0x1: {
            const quint64 bits = integerBits(object);
            // Only the sixteen-byte form stores an unsigned value above the signed range.
            if ((marker & 0x0F) == 4 && bits > quint64(std::numeric_limits<qint64>::max()))
                return QVariant(bits);
            return QVariant(qint64(bits));
        }
        case 0x2:
            return QVariant(real(object));
        case 0x3: {
            const double seconds = treeDateSeconds(doubleAt(offset + 1));
            return QVariant(referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0))));
        }
        case 0x4: {
            uint64_t at = 0;
            const uint64_t size = length(object, &at);
            if (!fits(at, size))
                return QVariant(QByteArray());
            return QVariant(QByteArray(reinterpret_cast<const char *>(mBytes + at), qsizetype(size)));
        }
        default:
            return QVariant(string(object));
        }
    }

    // A number as a date's "NS.time" reads it.
    double number(uint64_t object) const
    {
        const uint8_t marker = markerOf(object);
        if (marker >> 4 == 0x2)
            return real(object);
        const quint64 bits = integerBits(object);
        if ((marker & 0x0F) == 4 && bits > quint64(std::numeric_limits<qint64>::max()))
            return double(bits);
        return double(qint64(bits));
    }

private:
    const uint8_t *mBytes;
    uint64_t mSize;
    unsigned mOffsetSize = 0;
    unsigned mRefSize = 0;
    uint64_t mCount = 0;
    uint64_t mTableAt = 0;

    bool fits(uint64_t at, uint64_t size) const { return at <= mSize && size <= mSize - at; }

    uint8_t byteAt(uint64_t at) const { return at < mSize ? mBytes[at] : 0; }

    // A big-endian unsigned; reads that would leave the buffer (the bounds check leaves none)
    // yield 0.
    uint64_t unsignedAt(uint64_t at, unsigned width) const
    {
        if (width > 8 || !fits(at, width))
            return 0;
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | mBytes[at + i];
        return value;
    }

    double doubleAt(uint64_t at) const
    {
        const uint64_t bits = unsignedAt(at, 8);
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    uint64_t offsetOf(uint64_t object) const { return unsignedAt(mTableAt + object * mOffsetSize, mOffsetSize); }
    uint8_t markerOf(uint64_t object) const { return byteAt(offsetOf(object)); }

    double real(uint64_t object) const
    {
        const uint64_t offset = offsetOf(object);
        if ((byteAt(offset) & 0x0F) == 2) {
            const auto bits = uint32_t(unsignedAt(offset + 1, 4));
            float value = 0;
            std::memcpy(&value, &bits, sizeof value);
            return double(value);
        }
        return doubleAt(offset + 1);
    }

    // A reference of one to sixteen bytes: its low eight bytes, as the library reads it.
    uint64_t uidBits(uint64_t object) const
    {
        const uint64_t offset = offsetOf(object);
        const unsigned width = (byteAt(offset) & 0x0F) + 1u;
        return width > 8 ? unsignedAt(offset + 1 + width - 8, 8) : unsignedAt(offset + 1, width);
    }

    // An integer's stored bits; of the sixteen-byte form, the low eight bytes.
    quint64 integerBits(uint64_t object) const
    {
        const uint64_t offset = offsetOf(object);
        const unsigned log2 = byteAt(offset) & 0x0F;
        if (log2 == 4)
            return unsignedAt(offset + 1 + 8, 8);
        return unsignedAt(offset + 1, 1u << log2);
    }

    // The integer object under "CF$UID" when that is a dictionary's one entry; else kNone.
    uint64_t cfUidValue(uint64_t object) const
    {
        if (markerOf(object) >> 4 != 0xD)
            return kNone;
        uint64_t at = 0;
        if (length(object, &at) != 1 || !keyEquals(ref(at, 0), QLatin1StringView("CF$UID")))
            return kNone;
        const uint64_t value = ref(at, 1);
        return markerOf(value) >> 4 == 0x1 ? value : kNone;
    }

    // Compares a string object with plain ASCII text without converting it. The sweep left
    // UTF-16 text with unpaired surrogates (whose conversion drops units) to the tree path, so
    // every unit here stands for itself.
    bool keyEquals(uint64_t object, QLatin1StringView key) const
    {
        const uint8_t type = markerOf(object) >> 4;
        uint64_t at = 0;
        const uint64_t units = length(object, &at);
        if (units != uint64_t(key.size()))
            return false;
        if (type == 0x5)
            return fits(at, units) && std::memcmp(mBytes + at, key.data(), size_t(units)) == 0;
        if (type != 0x6 || !fits(at, units * 2))
            return false;
        for (uint64_t i = 0; i < units; ++i) {
            if (mBytes[at + 2 * i] != 0 || mBytes[at + 2 * i + 1] != uint8_t(key.at(qsizetype(i)).unicode()))
                return false;
        }
        return true;
    }

    bool hasUnpairedSurrogate(uint64_t at, uint64_t units) const
    {
        if (!fits(at, units * 2))
            return false;
        for (uint64_t i = 0; i < units; ++i) {
            const uint8_t high = mBytes[at + 2 * i];
            if (high >= 0xDC && high <= 0xDF)
                return true; // a low surrogate with no high one before it
            if (high >= 0xD8 && high <= 0xDB) {
                if (i + 1 == units)
                    return true;
                const uint8_t next = mBytes[at + 2 * i + 2];
                if (next < 0xDC || next > 0xDF)
                    return true;
                ++i;
            }
        }
        return false;
    }
};

enum class Kind { String, Data, Date, List, Map, Null, Other };

Kind kindOfClass(const QString &name)
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
    Decoder(const BinaryPlist &plist, uint64_t objects)
        : mPlist(plist)
        , mCount(plist.length(objects, &mObjectsAt))
        , mSlots(size_t(mCount))
        , mExpansionLimit(std::max<quint64>(kMinExpansionLimit, kExpansionPerObject * mCount))
        , mKeys(size_t(plist.count()))
    {}

    QString error;

    std::optional<QVariant> object(quint64 index, int depth)
    {
        if (index >= mCount)
            return fail(QStringLiteral("reference %1 past the %2 objects").arg(index).arg(mCount));
        Slot &slot = mSlots[size_t(index)];
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
    const BinaryPlist &mPlist;
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
    std::vector<Slot> mSlots;
    const quint64 mExpansionLimit;
    quint64 mExpanded = 0;
    // Key text by property-list object: archives share one string object for a key that
    // every object of a class repeats, so each is converted once.
    std::vector<QString> mKeys;
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
        QString &text = mKeys[size_t(object)];
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
            QVariantMap out;
            Entries fields;
            entries(node, &fields);
            for (const Entry &entry : fields) {
                auto decoded = value(entry.value, depth + 1);
                if (!decoded)
                    return std::nullopt;
                out.insert(out.cend(), *entry.key, std::move(*decoded));
            }
            return QVariant(out);
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
        Slot &slot = mSlots[size_t(index)];
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
            const double seconds = mPlist.number(time);
            // QDateTime holds about ±292 million years; refuse what it cannot.
            if (!std::isfinite(seconds) || std::fabs(seconds) > 1e15)
                return fail(QStringLiteral("a date out of range"));
            return QVariant(referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0))));
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
            if (keys->size() != values->size())
                return fail(QStringLiteral("a dictionary with %1 keys and %2 values")
                                .arg(keys->size())
                                .arg(values->size()));
            QVariantMap map;
            for (qsizetype i = 0; i < keys->size(); ++i) {
                if (keys->at(i).typeId() != QMetaType::QString)
                    return fail(QStringLiteral("a dictionary key that is not a string"));
                map.insert(keys->at(i).toString(), values->at(i));
            }
            return QVariant(map);
        }
        case Kind::Null:
            return QVariant::fromValue(nullptr);
        case Kind::Other:
            break;
        }

        KeyedObject object;
        object.className = info.name;
        object.classes = info.chain;
        Entries fields;
        entries(raw, &fields);
        for (const Entry &entry : fields) {
            if (*entry.key == QLatin1StringView("$class"))
                continue;
            auto decoded = value(entry.value, depth);
            if (!decoded)
                return std::nullopt;
            object.fields.insert(object.fields.cend(), *entry.key, std::move(*decoded));
        }
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
    const BinaryPlist plist(archive);
    switch (plist.sweep()) {
    case BinaryPlist::Sweep::Sound:
        break;
    case BinaryPlist::Sweep::Refused:
        return refuse(error, QStringLiteral("not a keyed archive: malformed binary property list"));
    case BinaryPlist::Sweep::LeftToTree:
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
