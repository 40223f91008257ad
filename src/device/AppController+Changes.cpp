// Changes on the device: new folders, renames and moves, deletes. The sidecar bookkeeping
// of the program's own folder follows each change only once the device made it, so a
// failed change never moves or drops an item's metadata.

#include "device/AppController.h"

#include "device/DevicePath.h"
#include "device/FileAccessSupport.h"
#include "device/MetadataSidecar.h"
#include "device/MobileDeviceFramework.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

using FileAccess::utf8;

namespace {

const QString kCompanionSuffix = QLatin1String(MetadataSidecar::kCompanionSuffix);

} // namespace

int AppController::_newFolder(const QString &path)
{
    if (makeConnection())
        return kFileNoConnection;
    QString devicePath = path;
    const AFCConnectionRef connection = writeConnectionFor(devicePath);
    if (!connection)
        return kFileNoConnection;
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return kFileNoConnection;
    const AFCError result = AFCDirectoryCreate(connection, utf8(devicePath).constData());
    if (result)
        VarnekLog("AFCDirectoryCreate err: %d (%s)", result, qUtf8Printable(devicePath));
    else
        setFreshAttributesOnPath(path);
    return result;
}

int AppController::newFolder(const QString &relativeParent, const QString &name)
{
    const QString parent = DevicePath::join(getStartDir(), relativeParent);
    const QString path = DevicePath::join(parent, name);
    VarnekLog("AppController: Creating new folder %s", qUtf8Printable(path));
    // One plain name: "." and ".." would make (or fail on) another folder than the one asked.
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name == QLatin1String(".") || name == QLatin1String(".."))
        return kFileMissingArgument;
    if (_fileExistsOniPhone(path))
        return kFileExists;
    const int result = _newFolder(path);
    if (!result)
        updateModificationDate(parent);
    return result;
}

int AppController::rename(const QString &relativePath, const QString &relativeTarget)
{
    const QString start = getStartDir();
    const QString path = DevicePath::join(start, relativePath);
    const QString target = DevicePath::join(start, relativeTarget);
    VarnekLog("AppController: Renaming %s to %s", qUtf8Printable(path), qUtf8Printable(target));
    if (_fileExistsOniPhone(target))
        return kFileExists;
    return _moveFile(path, target);
}

int AppController::moveFile(const QString &relativePath, const QString &relativeTarget)
{
    const QString start = getStartDir();
    const QString path = DevicePath::join(start, relativePath);
    const QString target = DevicePath::join(start, relativeTarget);
    VarnekLog("Moving %s => %s", qUtf8Printable(path), qUtf8Printable(target));
    return _moveFile(path, target);
}

int AppController::_moveFile(const QString &path, const QString &target)
{
    VarnekLog("AppController: moveFile: %s to %s", qUtf8Printable(path), qUtf8Printable(target));
    if (makeConnection())
        return kFileNoConnection;
    QString from = DevicePath::normalized(path);
    QString to = DevicePath::normalized(target);
    AFCConnectionRef connection = getAfc();
    if (afc2Mode() && pathIsInMediaFolder(from) && pathIsInMediaFolder(to)) {
        from = translatePath(from);
        to = translatePath(to);
        connection = getNormalAfc();
    }
    if (!connection)
        return kFileNoConnection;
    if (isSymLink(from, connection))
        return 0;

    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return kFileNoConnection;
    // Both folders' sidecars are in the cache before anything changes, so the item's line
    // can follow it.
    _fetchAttributesForPath(DevicePath::parent(DevicePath::normalized(path)));
    _fetchAttributesForPath(DevicePath::parent(DevicePath::normalized(target)));
    const AFCError result = AFCRenamePath(connection, utf8(from).constData(), utf8(to).constData());
    if (result) {
        VarnekLog("AFCRenamePath: %d", result);
        return result;
    }

    const QString source = DevicePath::normalized(path);
    const QString moved = DevicePath::normalized(target);
    const QString fromCompanion = from + kCompanionSuffix;
    const QString toCompanion = to + kCompanionSuffix;
    if (pathIsInFernlowArea(moved + kCompanionSuffix)) {
        if (_fileExistsOniPhone(fromCompanion, nullptr, connection))
            AFCRenamePath(connection, utf8(fromCompanion).constData(), utf8(toCompanion).constData());
    } else if (pathIsInFernlowArea(source + kCompanionSuffix) && _fileExistsOniPhone(fromCompanion, nullptr, connection)) {
        AFCRemovePath(connection, utf8(fromCompanion).constData());
    }

    const QString sourcePrefix = source + QLatin1Char('/');
    const QStringList keys = mLoadedPathAttributes.keys();
    for (const QString &key : keys) {
        if (key == source)
            mLoadedPathAttributes.insert(moved, mLoadedPathAttributes.take(key));
        else if (key.startsWith(sourcePrefix))
            mLoadedPathAttributes.insert(moved + key.mid(source.size()), mLoadedPathAttributes.take(key));
    }
    const QString sourceParent = DevicePath::parent(source);
    const QString targetParent = DevicePath::parent(moved);
    _writeMetadataFileForPath(sourceParent);
    if (targetParent != sourceParent)
        _writeMetadataFileForPath(targetParent);
    updateModificationDate(sourceParent);
    if (targetParent != sourceParent)
        updateModificationDate(targetParent);
    return 0;
}

int AppController::trashFile(const QString &relativePath)
{
    return trashFile(relativePath, false);
}

int AppController::trashFile(const QString &path, bool atRoot)
{
    const QString absolute = DevicePath::normalized(atRoot ? path : DevicePath::join(getStartDir(), path));
    _fetchAttributesForPath(DevicePath::parent(absolute));
    const int result = _trashFile(absolute);
    if (result)
        return result; // the item is still there, and so is its metadata
    std::lock_guard lock(mLock);
    const QString prefix = absolute + QLatin1Char('/');
    const QStringList keys = mLoadedPathAttributes.keys();
    for (const QString &key : keys) {
        if (key == absolute || key.startsWith(prefix))
            mLoadedPathAttributes.remove(key);
    }
    const QString parent = DevicePath::parent(absolute);
    _writeMetadataFileForPath(parent);
    updateModificationDate(parent);
    return 0;
}

int AppController::_trashFile(const QString &path)
{
    VarnekLog("AppController: trashFile: %s", qUtf8Printable(path));
    if (makeConnection())
        return kFileNoConnection;
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return kFileNoConnection;
    mStopFindingSize.store(false);
    if (getFileType(path, connection) == QLatin1String("S_IFDIR"))
        return trashFolder(path);
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return kFileNoConnection;
    const AFCError result = AFCRemovePath(connection, utf8(path).constData());
    if (result) {
        VarnekLog("AFCRemovePath: %d", result);
        return result;
    }
    const QString companion = path + kCompanionSuffix;
    if (_fileExistsOniPhone(companion, nullptr, connection))
        AFCRemovePath(connection, utf8(companion).constData());
    return 0;
}

int AppController::trashFolder(const QString &path)
{
    VarnekLog("AppController: trashFolder: %s", qUtf8Printable(path));
    const AFCConnectionRef connection = getAfc();
    if (!connection)
        return kFileNoConnection;
    // Checked before anything is removed: a refused folder keeps all its items.
    if (!DevicePath::isBelow(path, getStartDir(connection))) {
        VarnekLog("trashFolder: %s is outside the start folder", qUtf8Printable(path));
        return kFileOutsideStart;
    }
    std::lock_guard lock(mLock);
    if (!connectionIsOpen(connection))
        return kFileNoConnection;
    QStringList all;
    // An unreadable folder (or one whose listing broke off) removes nothing.
    if (const AFCError error = FileAccess::listDeviceFolder(connection, path, all))
        return error;
    QStringList names;
    QStringList companions;
    for (const QString &entry : std::as_const(all)) {
        if (FileAccess::isCompanionName(entry))
            companions << entry;
        else if (FileAccess::isVisibleName(entry))
            names << entry;
    }
    for (const QString &entry : std::as_const(names)) {
        if (const int error = _trashFile(DevicePath::join(path, entry)))
            return error;
    }
    // Companions whose file was already gone would keep the folder from being removed.
    for (const QString &entry : std::as_const(companions))
        AFCRemovePath(connection, utf8(DevicePath::join(path, entry)).constData());
    AFCRemovePath(connection, utf8(DevicePath::join(path, QLatin1String(MetadataSidecar::kFileName))).constData());
    const AFCError result = AFCRemovePath(connection, utf8(path).constData());
    if (result)
        VarnekLog("AFCRemovePath: %d", result);
    return result;
}

QString AppController::createUniqueNameForDownload(const QString &name, const QString &folder)
{
    const QDir dir(folder);
    if (!dir.exists(name))
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    for (int counter = 1;; ++counter) {
        const QString candidate = QStringLiteral("%1-%2%3").arg(base).arg(counter).arg(extension);
        if (!dir.exists(candidate))
            return candidate;
    }
}

QStringList AppController::saveDataFile(const QVariant &data, const QString &fileName, const QString &folder,
                                        bool makeUnique)
{
    if (!data.isValid() || data.isNull())
        return {};
    // Names come from device records (a contact's name, say): a plain name inside `folder`,
    // never a path out of it.
    QString plain = fileName;
    plain.replace(QLatin1Char('/'), QLatin1Char('_'));
    plain.remove(QChar(0));
    if (plain.isEmpty() || plain == QLatin1String(".") || plain == QLatin1String("..")) {
        VarnekLog("saveDataFile: no usable file name in \"%s\"", qUtf8Printable(fileName));
        return {};
    }
    const QByteArray bytes = data.typeId() == QMetaType::QString ? data.toString().toUtf8() : data.toByteArray();
    const QString name = makeUnique ? createUniqueNameForDownload(plain, folder) : plain;
    // Written beside and moved into place: a failed write keeps the file it was to replace
    // and leaves no partial one.
    QSaveFile file(QDir(folder).filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        VarnekLog("saveDataFile: could not write %s", qUtf8Printable(file.fileName()));
        return {};
    }
    return {name};
}
