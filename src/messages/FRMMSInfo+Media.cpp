// Where a part's attachment bytes are kept, saving them as a file, and thumbnails.

#include "messages/FRMMSInfo.h"

#include "backup/Keybag.h"
#include "device/AppController.h"
#include "messages/MessageFileNames.h"
#include "messages/MessageThumbnails.h"
#include "platform/RegularFile.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

QVariant FRMMSInfo::mediaData(bool thumbnail) const
{
    const QString name = pieceName();
    if (name.isEmpty())
        return {};
    const QString workFolder = mParent->iTunesString();
    if (!thumbnail && !workFolder.isEmpty()) {
        const QString path = getTempDir() + workFolder + QLatin1Char('/') + name;
        const QVariantMap keys = mParent->keysNClasses();
        const auto keybag = mParent->keybag();
        if (keybag && keys.contains(name)) {
            const QVariantMap entry = keys.value(name).toMap();
            const auto plain = keybag->decryptFileToData(path, entry.value(QStringLiteral("key")).toByteArray(),
                                                         entry.value(QStringLiteral("class")).toUInt());
            return plain ? QVariant(*plain) : QVariant();
        }
        return QFileInfo(path).isFile() ? QVariant(path) : QVariant();
    }
    AppController *app = gSharedAppController.load();
    if (!app)
        return {};
    if (mParent->isBackup())
        return app->loadSMSPieceFromBackup(mParent->itemId(), mParent->device(), name, thumbnail);
    return app->loadSMSPieceFromCache(name, thumbnail, workFolder.isEmpty() ? mParent->device() : workFolder);
}

bool FRMMSInfo::mediaExists(bool thumbnail) const
{
    const QString name = pieceName();
    if (name.isEmpty())
        return false;
    const QString workFolder = mParent->iTunesString();
    if (!thumbnail && !workFolder.isEmpty())
        return QFileInfo(getTempDir() + workFolder + QLatin1Char('/') + name).isFile();
    AppController *app = gSharedAppController.load();
    if (!app)
        return false;
    if (mParent->isBackup())
        return app->existsSMSPieceFromBackup(mParent->itemId(), mParent->device(), name, thumbnail);
    bool isPath = false;
    return app->existsSMSPieceFromCache(name, workFolder.isEmpty() ? mParent->device() : workFolder, thumbnail, &isPath)
           > 0;
}

namespace {

QByteArray bytesOf(const QVariant &stored)
{
    if (stored.typeId() == QMetaType::QByteArray)
        return stored.toByteArray();
    if (stored.typeId() == QMetaType::QString) {
        RegularFile file(stored.toString());
        return file.readAll().value_or(QByteArray());
    }
    return {};
}

} // namespace

QByteArray FRMMSInfo::mediaBytes() const { return bytesOf(mediaData(false)); }

QByteArray FRMMSInfo::thumbnailBytes() const { return bytesOf(mediaData(true)); }

QString FRMMSInfo::saveMediaToPath(const QString &folder, const QString &name) const
{
    if (mType == Text || folder.isEmpty())
        return {};
    const QVariant stored = mediaData(false);
    if (!stored.isValid())
        return {};
    const QString fileName = MessageFileNames::safeFileName(name.isEmpty() ? saveName() : name);
    const QFileInfo info(fileName);
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? fileName : fileName.left(fileName.size() - suffix.size() - 1);
    QDir dir(folder);
    QString path;
    for (int n = 0; n < 5000; ++n) {
        const QString candidate = n == 0 ? fileName
                                         : stem + QStringLiteral("-%1").arg(n) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
        if (!QFileInfo::exists(dir.filePath(candidate)) && !QFileInfo(dir.filePath(candidate)).isSymLink()) {
            path = dir.filePath(candidate);
            break;
        }
    }
    if (path.isEmpty())
        return {};
    const QString extension = QFileInfo(pieceName()).suffix().toLower();
    bool written = false;
    if (mType == Audio && (extension == QLatin1String("amr") || extension == QLatin1String("opus"))) {
        const QByteArray data = bytesOf(stored);
        written = !data.isEmpty()
                  && (extension == QLatin1String("amr") ? convertMovieToMP4(data, path) : convertOpusToMP4(data, path));
    } else {
        const QByteArray data = bytesOf(stored);
        QSaveFile file(path);
        written = (!data.isEmpty() || stored.typeId() == QMetaType::QByteArray) && file.open(QIODevice::WriteOnly)
                  && file.write(data) == data.size() && file.commit();
    }
    if (!written)
        return {};
    const QDateTime date = SMSNSDate();
    QFile file(path);
    if (file.open(QIODevice::ReadWrite)) {
        file.setFileTime(date, QFileDevice::FileModificationTime);
        file.setFileTime(date, QFileDevice::FileAccessTime);
    }
    return path;
}

bool FRMMSInfo::generateThumb()
{
    if (mType != Image && mType != Video)
        return false;
    if (mContents.isEmpty())
        return true;
    if (mediaExists(true)) {
        mHasThumb.store(true);
        return false;
    }
    QByteArray thumbnail;
    if (mType == Video) {
        if (!preferenceBool(QStringLiteral("nothumbs")))
            thumbnail = MessageThumbnails::videoThumbnail(mediaData(false), pieceName());
    } else {
        thumbnail = MessageThumbnails::pictureThumbnail(mediaBytes());
    }
    if (thumbnail.isEmpty()) {
        mShowAsIcon.store(true);
        mHasThumb.store(true);
        return true;
    }
    mShowAsIcon.store(false);
    if (AppController *app = gSharedAppController.load()) {
        if (mParent->isBackup()) {
            if (!app->writeThumbnailToBackup(mParent->itemId(), mParent->device(), pieceName(), thumbnail))
                VarnekLog(mType == Image ? "Failed to write %s image thumbnail to backup"
                                         : "Failed to write %s thumbnail to backup",
                          qPrintable(pieceName()));
        } else {
            const QString workFolder = mParent->iTunesString();
            app->addPieceToCache(thumbnail, workFolder.isEmpty() ? mParent->device() : workFolder,
                                 QStringLiteral("thumb_") + pieceName(), mParent->synctime(), false);
        }
    }
    mHasThumb.store(true);
    return true;
}
