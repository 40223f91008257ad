#pragma once
// The keyed-archive decode through the whole property-list tree: the list is parsed into a
// QVariant tree first, then the archive's references are resolved in it. XML archives (and
// the rare binary ones the direct reader leaves to it) are decoded this way; the tests hold
// the direct reader to its results.
// Internal to the platform layer. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

namespace KeyedArchiveDetail {

std::optional<QVariant> decodeThroughTree(const QByteArray &archive, QString *error, const QString &topKey);

} // namespace KeyedArchiveDetail
