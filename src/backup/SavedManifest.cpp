#include "backup/SavedManifest.h"

#include "archive/ArchiveFolder.h"
#include "backup/BackupSessionState.h"
#include "platform/RegularFile.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QSaveFile>

namespace SavedManifest {

namespace {
// Far above any real manifest; a larger file is not ours.
constexpr qint64 kMaxSavedManifestBytes = qint64(512) << 20;
} // namespace

QString pathFor(const QString &deviceID)
{
    if (!isUsableDeviceID(deviceID))
        return {};
    return archiveFolderPath() + QLatin1Char('/') + deviceID + QStringLiteral(".manifest");
}

std::optional<QByteArray> getMDataFor(const QString &deviceID)
{
    const QString path = pathFor(deviceID);
    if (path.isEmpty())
        return std::nullopt;
    return RegularFile::readAll(path, kMaxSavedManifestBytes);
}

bool saveMData(const QByteArray &data, const QString &deviceID)
{
    const QString path = pathFor(deviceID);
    if (data.isEmpty() || path.isEmpty())
        return false;
    QDir().mkpath(archiveFolderPath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        VarnekLog("couldn't write the saved manifest %s", qUtf8Printable(path));
        return false;
    }
    return true;
}

} // namespace SavedManifest
