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
QByteArray xml(const QVariant &root, int maxDepth, QString *error);

} // namespace PlistWriters
