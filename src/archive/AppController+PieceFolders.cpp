// Attachment piece folders: "<key>.qnmdb" (the piece cache) and "<key>.qnxmdb" (archived
// attachments) beside the archive database, marked as packages. Files are moved or deleted
// only when they really lie inside such a folder.

#include "device/AppController.h"

#include "archive/ArchiveFolder.h"
#include "archive/PieceNames.h"
#include "backup/DeviceBackup.h"
#include "backup/Keybag.h"
#include "device/LocalFileMetadata.h"
#include "platform/RegularFile.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <limits>

bool AppController::setBundleBit(const QString &path, bool to)
{
    if (!QFileInfo::exists(path))
        return false;
    return to ? LocalFileMetadata::setBundleMarker(path) : LocalFileMetadata::clearBundleMarker(path);
}

QString AppController::pieceFolderPathForDevice(const QString &deviceId, bool archive)
{
    QString key = deviceId.isEmpty() ? connectedDeviceID() : deviceId;
    if (key.isEmpty() || !PieceNames::isPlainName(key))
        key = QStringLiteral("none");
    const QString folder = QStringLiteral("%1/%2.%3")
                               .arg(archiveFolderPath(), key,
                                    archive ? QStringLiteral("qnxmdb") : QStringLiteral("qnmdb"));
    if (!QFileInfo(folder).isDir()) {
        QDir().mkpath(folder);
        setBundleBit(folder, true);
    }
    return folder;
}

bool AppController::safeMoveToTemp(const QString &path)
{
    if (!PieceNames::isInsidePieceFolder(path))
        return false;
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return false;
    const QString target = QDir(temp).filePath(QFileInfo(path).fileName());
    QFile::remove(target);
    return QFile::rename(path, target);
}

bool AppController::safeDelete(const QString &path)
{
    if (!PieceNames::isInsidePieceFolder(path))
        return false;
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

void AppController::deleteUnusedQnmdbFiles(const std::optional<QStringList> &used)
{
    const QString uid = connectedDeviceID();
    if (uid.isEmpty() || !used || !PieceNames::isPlainName(uid))
        return;
    const QString folder = QStringLiteral("%1/%2.qnmdb").arg(archiveFolderPath(), uid);
    if (!QFileInfo(folder).isDir())
        return;
    const QSet<QString> keep(used->begin(), used->end());
    const QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                       | QDir::NoDotAndDotDot);
    for (const QString &name : entries) {
        if (!keep.contains(name))
            safeDelete(QDir(folder).filePath(name));
    }
}

uint64_t AppController::getPieceSize(const QVariant &piece)
{
    if (!piece.isValid() || piece.isNull())
        return 0;
    if (piece.typeId() == QMetaType::QByteArray)
        return uint64_t(piece.toByteArray().size());
    // A path piece is measured at its own place (the pieces handed here are absolute paths
    // in a piece folder); a relative one is looked up in the temporary folder.
    const QString path = piece.toString();
    const QFileInfo info(QFileInfo(path).isAbsolute() ? path : getTempDir() + path);
    if (!info.isFile())
        return 0;
    const qint64 size = info.size();
    return size < 0 ? 0 : uint64_t(size);
}

QVariant AppController::getPieceFile(const QString &path, const QString &uuid, const QString &deviceId,
                                     bool forBackup, const DeviceBackupPtr &backup)
{
    if (!forBackup && (path.isEmpty() || !QFileInfo::exists(path)))
        return loadSMSPieceFromCache(uuid, false, deviceId);
    if (path.isEmpty())
        return {};
    // One open and one status call per attachment: extraction reads thousands of them.
    RegularFile file(path); // follows links
    if (!file.isFile())
        return {};
    const qint64 size = file.size();
    if (size < 0 || uint64_t(size) == std::numeric_limits<uint64_t>::max())
        return {};
    if (uint64_t(size) <= kPieceInMemoryLimit) {
        if (backup) {
            const QVariantMap keys = backup->keysNClasses();
            const auto entry = keys.constFind(QFileInfo(path).fileName());
            if (entry != keys.constEnd()) {
                const QVariantMap item = entry->toMap();
                const auto keybag = backup->keybag();
                if (!keybag)
                    return {};
                const auto plain = keybag->decryptFileToData(path, item.value(QStringLiteral("key")).toByteArray(),
                                                             item.value(QStringLiteral("class")).toUInt());
                if (!plain)
                    return {};
                return *plain;
            }
        }
        // Read into this thread's buffer whenever every earlier piece read into it has been
        // let go: extraction stores thousands of small pieces one after another, and filling
        // the same memory each time costs far less than filling fresh memory for each.
        constexpr qint64 kReusedUpTo = 1 << 20;
        thread_local QByteArray reused;
        QByteArray fresh;
        QByteArray &buffer = size <= kReusedUpTo ? reused : fresh;
        if (!file.readInto(buffer))
            return {};
        return buffer;
    }
    if (forBackup)
        return path;
    if (!PieceNames::isPlainName(uuid))
        return {};
    return QDir(pieceFolderPathForDevice(deviceId, false)).filePath(uuid);
}
