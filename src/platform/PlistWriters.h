#pragma once
// The property-list writers behind PropertyList::toData, our own rather than libplist's: its
// writers take time quadratic in the number of objects (minutes for a log of 200,000
// properties) and drop the fractions of XML dates.
//
// Both walk the QVariant tree once (with the type mapping of PropertyList.h) and refuse, with
// an error text, what has no faithful property-list form: an invalid value or date, nesting
// deeper than `maxDepth`, and strings (or keys) holding a NUL, which readers would cut. The
// XML writer also refuses characters XML 1.0 cannot carry and dates outside the years
// 1-9999, whose text form would not read back.
// Internal to the platform layer. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace PlistWriters {

QByteArray binary(const QVariant &root, int maxDepth, QString *error);

// The fewest bytes (1, 2, 4 or 8) a binary property list gives a number up to `largest`: its
// references, offsets and UIDs. One rule for every binary writer, so they write the same bytes.
inline int widthFor(quint64 largest)
{
    if (largest <= 0xFF)
        return 1;
    if (largest <= 0xFFFF)
        return 2;
    if (largest <= 0xFFFFFFFFull)
        return 4;
    return 8;
}
QByteArray xml(const QVariant &root, int maxDepth, QString *error);

} // namespace PlistWriters
