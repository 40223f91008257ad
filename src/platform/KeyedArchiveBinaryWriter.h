#pragma once
// Writes a keyed archive as a binary property list straight from the QVariant tree, for
// KeyedArchive::encode. Archiving is on the telemetry store's path for every log, and
// building the archiver's object graph as property-list values and flattening that again
// cost several times the writing itself.
//
// The bytes are exactly those of the reference encoder (KeyedArchiveReference.h) for every
// input, and so are the refusals and their texts: archives already stored, and every reader
// of them, see no change. Internal to the platform layer. Stateless and thread-safe.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace KeyedArchiveBinaryWriter {

// The archive of `root` under "$top"/`topKey`; empty with *error set when the tree cannot
// be archived.
QByteArray write(const QVariant &root, const QString &topKey, QString *error);

} // namespace KeyedArchiveBinaryWriter
