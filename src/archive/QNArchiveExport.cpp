// Export of an archive's attachments into a new folder on the desktop. Attachments are
// stored as bytes in their row or as a file in the archive's piece folder; both come out as
// files named by their key. Keys come from device databases, so each is made a plain file
// name, and two attachments never share one file.

#include "archive/QNArchive.h"

#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceFiles.h"
#include "archive/PieceNames.h"
#include "device/AppController.h"
#include "platform/Paths.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <sqlite3.h>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("QNArchive", text); }

// A file name made of a key: "/" and NUL replaced, "." and ".." and the empty key renamed.
QString exportName(QString key)
{
    key.replace(QLatin1Char('/'), QLatin1Char('_'));
    key.replace(QChar(0), QLatin1Char('_'));
    if (key.isEmpty() || key == QLatin1String(".") || key == QLatin1String(".."))
        key = QStringLiteral("attachment");
    return key;
}

// `name`, or "<base>-<n>.<ext>" for the first n not taken yet.
QString freeName(const QString &name, QSet<QString> &taken)
{
    QString candidate = name;
    const QFileInfo info(name);
    const QString base = info.completeBaseName();
    const QString suffix = info.suffix();
    for (int n = 1; taken.contains(candidate); ++n)
        candidate = suffix.isEmpty() || base.isEmpty()
            ? QStringLiteral("%1-%2").arg(name).arg(n)
            : QStringLiteral("%1-%2.%3").arg(base).arg(n).arg(suffix);
    taken.insert(candidate);
    return candidate;
}

} // namespace

bool QNArchive::exportArchive(const QNArchive &archive, QString *folder)
{
    const QString key = archive.uuid();
    AppController *controller = gSharedAppController.load();
    if (key.isEmpty() || !controller)
        return false;

    QString name = archive.displayname();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QChar(0), QLatin1Char('_'));
    const QString target = QDir(Paths::desktop())
                               .filePath(tr("Images from %1 Export %2")
                                             .arg(name, QString::asprintf("%f", double(QDateTime::currentMSecsSinceEpoch())
                                                                                  / 1000.0)));

    std::lock_guard local(localLock);
    int error = 0;
    if (!controller->hasBackupTable(key)) {
        VarnekLog("Error opening backup to export: (%d) %s", SQLITE_CANTOPEN, "no such archive");
        return false;
    }
    const ArchiveDBPtr db = controller->getBackupDB(key, &error);
    if (!db) {
        VarnekLog("Error opening backup to export: (%d) %s", error, "");
        return false;
    }
    SqlStatement select(db->handle(), "SELECT uuid, data, path FROM smsbackuppieces");
    if (!select.ok()) {
        VarnekLog("Error reading backup to export: (%d) %s", select.rc(), sqlite3_errmsg(db->handle()));
        return false;
    }
    if (!QDir().mkpath(target)) {
        VarnekLog("Error creating export folder %s", qUtf8Printable(target));
        return false;
    }
    if (folder)
        *folder = target;

    QSet<QString> taken;
    bool ok = true;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        const QString uuid = ArchiveSql::text(select.get(), 0);
        if (uuid.isEmpty())
            continue;
        const QString destination = QDir(target).filePath(freeName(exportName(uuid), taken));
        const QByteArray data = ArchiveSql::blob(select.get(), 1);
        QString why;
        if (!data.isEmpty()) {
            if (!PieceFiles::writeIntoPlace(data, destination, &why)) {
                VarnekLog("Error exporting %s: %s", qUtf8Printable(uuid), qUtf8Printable(why));
                ok = false;
            }
            continue;
        }
        const QString relative = PieceNames::checkedRelativePath(ArchiveSql::text(select.get(), 2));
        if (relative.isEmpty())
            continue; // a row with neither bytes nor a file holds nothing to export
        const QString source = QDir(archiveFolderPath()).filePath(relative);
        if (!QFileInfo(source).isFile()) {
            VarnekLog("Missing attachment file for export %s", qUtf8Printable(relative));
            ok = false;
            continue;
        }
        if (!PieceFiles::copyIntoPlace(source, destination, &why)) {
            VarnekLog("Error exporting %s: %s", qUtf8Printable(uuid), qUtf8Printable(why));
            ok = false;
        }
    }
    if (rc != SQLITE_DONE) {
        VarnekLog("Error reading backup to export: (%d) %s", rc, sqlite3_errmsg(db->handle()));
        ok = false;
    }
    return ok;
}
