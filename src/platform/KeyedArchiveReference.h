#pragma once
// The archive encoder that builds the archiver's object graph as property-list values and
// hands it to the generic binary writer. KeyedArchive::encode writes the same bytes directly
// (KeyedArchiveBinaryWriter.h); this slower form stays as the reference the tests compare
// the direct writer against, byte for byte and refusal for refusal.
// Internal to the platform layer and its tests. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace KeyedArchiveReference {

QByteArray encode(const QVariant &root, QString *error, const QString &topKey);

} // namespace KeyedArchiveReference
