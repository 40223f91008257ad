#pragma once
// The XML property-list reader behind PropertyList::fromData: QXmlStreamReader underneath,
// time linear in the input, dates with their fractions (libplist 2.2 drops them), nesting
// capped at `maxDepth`. Anything that is not a well-formed property list with exactly one
// value is refused with an error text.
// Internal to the platform layer. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace PlistXmlReader {

std::optional<QVariant> read(const QByteArray &data, int maxDepth, QString *error);

} // namespace PlistXmlReader
