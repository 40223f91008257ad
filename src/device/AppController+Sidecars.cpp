// The attributes of the program's own files on the device: the per-folder ".metadata_file"
// sidecars, their cache, and the copying of dates and codes between local files and device
// files after transfers.

#include "device/AppController.h"

#include "device/DevicePath.h"
#include "device/FileAccessSupport.h"
#include "device/LocalFileMetadata.h"
#include "device/MetadataSidecar.h"
#include "device/MobileDeviceFramework.h"
#include "shell/VarnekLogger.h"

#include <QDateTime>

using FileAccess::utf8;

namespace {

QString nowText()
{
    return QString::number(QDateTime::currentSecsSinceEpoch());
}

QString sidecarPath(const QString &folder)
{
    return DevicePath::join(folder, QLatin1String(MetadataSidecar::kFileName));
}

// The cache holds, under the sidecar's own path, an empty entry once that sidecar was read.
// From then on the cache is the truth for the folder: a rewrite starts from every line the
// file had (so items the program never listed keep their metadata), and a line that was
// dropped on purpose is never read back in. The marker goes with the cache.
bool isSidecarMarker(const QString &key)
{
    return key.endsWith(QLatin1Char('/') + QLatin1String(MetadataSidecar::kFileName));
}

} // namespace

QVariantMap AppController::getAttributesForFile(const QString &relativePath)
{
    return doGetAttributesForFile(DevicePath::join(getStartDir(), relativePath));
}

QVariantMap AppController::doGetAttributesForFile(const QString &path)
{
    const QString key = DevicePath::normalized(path);
    std::lock_guard lock(mLock);
    if (isSidecarMarker(key))
        return {};
    if (!mLoadedPathAttributes.contains(key))
        _fetchAttributesForPath(DevicePath::parent(key));
    return mLoadedPathAttributes.value(key).toMap();
}

void AppController::_fetchAttributesForPath(const QString &folder)
{
    if (!pathIsInFernlowArea(folder))
        return;
    std::lock_guard lock(mLock);
    const AFCConnectionRef connection = getAfc();
    const QString sidecar = sidecarPath(folder);
    if (!connection || mLoadedPathAttributes.contains(sidecar))
        return;
    bool ok = false;
    const uint64_t size = getFileAttribute("st_size", sidecar, connection).toULongLong(&ok);
    if (ok && size > kMaxCompanionRead) {
        VarnekLog("%s too large (%llu bytes), not read", qUtf8Printable(sidecar), static_cast<unsigned long long>(size));
        return; // as an unreadable sidecar: not marked
    }
    QByteArray text;
    if (ok && size > 0 && FileAccess::readDeviceRange(connection, sidecar, 0, size, text))
        return; // unreadable now: not marked, so the next use tries again
    for (const MetadataSidecar::Entry &entry : MetadataSidecar::parse(text)) {
        const QString key = DevicePath::join(folder, entry.name);
        if (!mLoadedPathAttributes.contains(key))
            mLoadedPathAttributes.insert(key, entry.attributes);
    }
    mLoadedPathAttributes.insert(sidecar, QVariantMap());
}

int AppController::_writeMetadataFileForPath(const QString &folder)
{
    const QString normal = DevicePath::normalized(folder);
    if (!pathIsInFernlowArea(normal) || (normal + QLatin1Char('/')).contains(QLatin1String(".app/")))
        return 0;
    QList<MetadataSidecar::Entry> entries;
    {
        std::lock_guard lock(mLock);
        _fetchAttributesForPath(normal);
        for (auto it = mLoadedPathAttributes.cbegin(); it != mLoadedPathAttributes.cend(); ++it) {
            if (it.key() != normal && !isSidecarMarker(it.key()) && DevicePath::parent(it.key()) == normal)
                entries.append({DevicePath::lastComponent(it.key()), it.value().toMap()});
        }
        if (entries.isEmpty())
            return 0;
        // Written under a hidden companion name and moved over the old sidecar: a device
        // that fills up mid-write keeps the old one, instead of losing every item's line.
        QString target = sidecarPath(normal);
        const AFCConnectionRef connection = writeConnectionFor(target);
        if (!connection)
            return kFileNoConnection;
        const QString partial = target + QLatin1String(MetadataSidecar::kCompanionSuffix);
        if (const int error = _writeData(MetadataSidecar::format(entries), partial, connection))
            return error; // the partial file is gone again
        const AFCError moved = AFCRenamePath(connection, utf8(partial).constData(), utf8(target).constData());
        if (moved) {
            VarnekLog("AFCRenamePath (sidecar): %d", moved);
            AFCRemovePath(connection, utf8(partial).constData());
        }
        return moved;
    }
}

void AppController::updateModificationDate(const QString &path)
{
    const QString key = DevicePath::normalized(path);
    std::lock_guard lock(mLock);
    _fetchAttributesForPath(DevicePath::parent(key));
    if (!mLoadedPathAttributes.contains(key))
        return;
    QVariantMap attributes = mLoadedPathAttributes.value(key).toMap();
    attributes.insert(QStringLiteral("MOD_DATE"), nowText());
    mLoadedPathAttributes.insert(key, attributes);
    _writeMetadataFileForPath(DevicePath::parent(key));
}

void AppController::setFreshAttributesOnPath(const QString &path)
{
    const QString key = DevicePath::normalized(path);
    std::lock_guard lock(mLock);
    const QString now = nowText();
    mLoadedPathAttributes.insert(key, QVariantMap{{QStringLiteral("MOD_DATE"), now},
                                                  {QStringLiteral("CREATION_DATE"), now}});
    _writeMetadataFileForPath(DevicePath::parent(key));
}

void AppController::copyAttributesFromPath(const QString &localPath, const QString &devicePath)
{
    const QString key = DevicePath::normalized(devicePath);
    QVariantMap attributes;
    if (const uint32_t creator = LocalFileMetadata::creatorCode(localPath))
        attributes.insert(QStringLiteral("CREATOR"), QString::number(creator));
    if (const uint32_t type = LocalFileMetadata::typeCode(localPath))
        attributes.insert(QStringLiteral("TYPE"), QString::number(type));
    const QDateTime modified = LocalFileMetadata::modificationDate(localPath);
    if (modified.isValid()) {
        attributes.insert(QStringLiteral("MOD_DATE"), QString::number(modified.toSecsSinceEpoch()));
        _setModTime(key, modified);
    }
    const QDateTime created = LocalFileMetadata::creationDate(localPath);
    if (created.isValid())
        attributes.insert(QStringLiteral("CREATION_DATE"), QString::number(created.toSecsSinceEpoch()));
    std::lock_guard lock(mLock);
    mLoadedPathAttributes.insert(key, attributes);
    _writeMetadataFileForPath(DevicePath::parent(key));
}

void AppController::copyAttributesToPath(const QString &localPath, const QString &devicePath)
{
    const QVariantMap attributes = doGetAttributesForFile(devicePath);
    if (attributes.isEmpty()) {
        const QDateTime modified = _getFileDate(DevicePath::normalized(devicePath), getAfc());
        if (modified.isValid())
            LocalFileMetadata::setModificationDate(localPath, modified);
        return;
    }
    // A creation date cannot be set on Linux; it stays in the sidecar only.
    const qint64 modified = attributes.value(QStringLiteral("MOD_DATE")).toLongLong();
    if (modified)
        LocalFileMetadata::setModificationDate(localPath, QDateTime::fromSecsSinceEpoch(modified));
    const QString creator = attributes.value(QStringLiteral("CREATOR")).toString();
    const QString type = attributes.value(QStringLiteral("TYPE")).toString();
    if ((!creator.isEmpty() || !type.isEmpty()) && (creator.toUInt() || type.toUInt()))
        LocalFileMetadata::setCreatorAndType(localPath, creator.toUInt(), type.toUInt());
}

int AppController::_setModTime(const QString &path, const QDateTime &date)
{
    if (!AFCOperationCreateSetModTime || !AFCConnectionProcessOperation || !date.isValid())
        return 0;
    std::lock_guard lock(mLock);
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return kFileNoConnection;
    const uint64_t nanoseconds = uint64_t(date.toSecsSinceEpoch()) * 1000000000ull;
    const AFCOperationRef operation = AFCOperationCreateSetModTime(utf8(path).constData(), nanoseconds);
    if (!operation)
        return kFileNoConnection;
    const AFCError result = AFCConnectionProcessOperation(connection, operation, 0);
    if (AFCOperationRelease)
        AFCOperationRelease(operation);
    return result;
}
