#pragma once
// The Mac-only metadata of a local file, kept on Linux where it can be: creator and type
// codes, the package (has-bundle) marker and a resource fork live in extended attributes of
// our own ("user.quillon.creator", "user.quillon.type", "user.quillon.bundle",
// "user.quillon.resource_fork"); the modification date is the file's own. A creation date
// cannot be set on Linux and is not kept locally. Every call fails quietly (false or empty)
// where the filesystem has no extended attributes. Any thread.

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>

namespace LocalFileMetadata {

uint32_t creatorCode(const QString &path);
uint32_t typeCode(const QString &path);
// A zero code keeps the file's present code.
bool setCreatorAndType(const QString &path, uint32_t creator, uint32_t type);

bool setBundleMarker(const QString &path);
bool clearBundleMarker(const QString &path); // true also when there was none
bool hasBundleMarker(const QString &path);

// Empty when the file has none.
QByteArray resourceFork(const QString &path);
bool setResourceFork(const QString &path, const QByteArray &data);

// Whole seconds; invalid when the file cannot be read.
QDateTime modificationDate(const QString &path);
QDateTime creationDate(const QString &path); // birth time where the filesystem reports one
bool setModificationDate(const QString &path, const QDateTime &date);

} // namespace LocalFileMetadata
