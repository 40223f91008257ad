#pragma once
// The objects of a binary property list read where they lie, typed as the tree path (the
// property-list library and our conversion of its tree) types them: no object is converted
// before it is asked for. Objects are their numbers in the offset table.
//
// Only for bytes the bounds check (BinaryPlistBounds) accepted, and only for objects reached
// from the top one through references: those lie whole inside the buffer. Reads elsewhere
// still stay inside the buffer, yielding zeros.
// Internal to the keyed-archive reader. Holds no copy of the bytes; const and thread-safe.

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>
#include <QVarLengthArray>
#include <QVariant>
#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <limits>

class BinaryPlistView
{
public:
    // The types the tree path gives objects.
    enum class Type { Bool, Int, Real, Date, Data, String, Uid, Array, Dict };
    // No object: a field that is absent.
    static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();

    // `data` passed the bounds check and outlives the view.
    explicit BinaryPlistView(const QByteArray &data)
        : mBytes(reinterpret_cast<const uint8_t *>(data.constData())), mSize(uint64_t(data.size()))
    {
        const uint64_t trailer = mSize - 32;
        const unsigned offsetSize = mBytes[trailer + 6];
        mRefSize = mBytes[trailer + 7];
        mCount = unsignedAt(trailer + 8, 8);
        top = unsignedAt(trailer + 16, 8);
        const uint64_t tableAt = unsignedAt(trailer + 24, 8);
        // Read once: every step of the decode starts from an object's offset.
        mOffsets.resize(qsizetype(mCount));
        for (uint64_t i = 0; i < mCount; ++i)
            mOffsets[qsizetype(i)] = unsignedAt(tableAt + i * offsetSize, offsetSize);
    }

    uint64_t top = 0;
    uint64_t count() const { return mCount; }

    enum class Sweep { Sound, Refused, LeftToTree };
    // The faults the property-list library refuses a whole list for, in any object reachable
    // from the top one: null and fill markers, references above 32 bits, keys that are not
    // strings, empty UTF-16 strings. Text it would mend is left to the tree path.
    Sweep sweep() const;

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

    QString string(uint64_t object) const;
    // Booleans, numbers, dates, data and strings as the tree path holds them.
    QVariant scalar(uint64_t object) const;
    // A number as a date's "NS.time" reads it.
    double number(uint64_t object) const;

    quint64 uidValue(uint64_t object) const
    {
        if (markerOf(object) >> 4 == 0x8)
            return uidBits(object);
        return integerBits(cfUidValue(object));
    }

private:
    const uint8_t *mBytes;
    uint64_t mSize;
    unsigned mRefSize = 0;
    uint64_t mCount = 0;
    QVarLengthArray<uint64_t, 256> mOffsets;

    bool fits(uint64_t at, uint64_t size) const { return at <= mSize && size <= mSize - at; }

    uint8_t byteAt(uint64_t at) const { return at < mSize ? mBytes[at] : 0; }

    // A big-endian unsigned; reads that would leave the buffer (the bounds check leaves none)
    // yield 0.
    uint64_t unsignedAt(uint64_t at, unsigned width) const
    {
        if (width > 8 || !fits(at, width))
            return 0;
        // Offsets, references and lengths are nearly always of these widths.
        switch (width) {
        case 1:
            return mBytes[at];
        case 2:
            return qFromBigEndian<quint16>(mBytes + at);
        case 4:
            return qFromBigEndian<quint32>(mBytes + at);
        case 8:
            return qFromBigEndian<quint64>(mBytes + at);
        default:
            break;
        }
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

    uint64_t offsetOf(uint64_t object) const { return object < mCount ? mOffsets[qsizetype(object)] : mSize; }
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

    // Whether UTF-16 text holds a surrogate without its partner, which the library drops.
    bool hasUnpairedSurrogate(uint64_t at, uint64_t units) const;

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

};
