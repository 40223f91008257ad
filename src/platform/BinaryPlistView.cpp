#include "BinaryPlistView.h"

#include <QDateTime>
#include <QTimeZone>

#include <cmath>

namespace {

// The tree path's property-list reader refuses larger input.
constexpr qsizetype kMaxInputSize = 512 * 1024 * 1024;

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

} // namespace

BinaryPlistView::Sweep BinaryPlistView::sweep() const
{
    // On the stack for archives of a few hundred objects, as stored logs are.
    QVarLengthArray<bool, 512> seen(qsizetype(mCount), false);
    QVarLengthArray<uint64_t, 256> pending{top};
    bool leftToTree = false;
    while (!pending.empty()) {
        const uint64_t object = pending.back();
        pending.pop_back();
        if (object >= mCount || seen[qsizetype(object)])
            continue;
        seen[qsizetype(object)] = true;
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
                pending.append(ref(at, i));
            break;
        }
        case 0xD: {
            const uint64_t entries = length(object, &at);
            for (uint64_t i = 0; i < entries; ++i) {
                const uint64_t key = ref(at, i);
                const uint8_t keyType = markerOf(key) >> 4;
                if (keyType != 0x5 && keyType != 0x6)
                    return Sweep::Refused;
                pending.append(key);
                pending.append(ref(at, entries + i));
            }
            break;
        }
        default:
            break;
        }
    }
    return leftToTree ? Sweep::LeftToTree : Sweep::Sound;
}

QString BinaryPlistView::string(uint64_t object) const
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

QVariant BinaryPlistView::scalar(uint64_t object) const
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

double BinaryPlistView::number(uint64_t object) const
{
    const uint8_t marker = markerOf(object);
    if (marker >> 4 == 0x2)
        return real(object);
    const quint64 bits = integerBits(object);
    if ((marker & 0x0F) == 4 && bits > quint64(std::numeric_limits<qint64>::max()))
        return double(bits);
    return double(qint64(bits));
}

bool BinaryPlistView::hasUnpairedSurrogate(uint64_t at, uint64_t units) const
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
