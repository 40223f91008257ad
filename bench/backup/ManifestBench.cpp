// Reading a backup's Manifest.db of 200,000 files and picking the wanted ones, against the
// sqlite3 shell running the same query on the same file (output to /dev/null). Compare the
// pair's real times.

#include "BackupGenerator.h"

#include "backup/BackupManifest.h"
#include "backup/DeviceBackup.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "device/AppController.h"
#include "shell/SystemFlags.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

constexpr int kFiles = 200000;

struct ManifestSetup
{
    QTemporaryDir dir;
    QString folder;
    QString work;

    ManifestSetup()
    {
        HASDECRYPT = true;
        BackupGen::Recipe recipe;
        recipe.files = {{"HomeDomain", "Library/SMS/sms.db", "x", 3}};
        folder = dir.filePath("backup");
        BackupGen::write(folder, recipe);
        work = dir.filePath("work");
        QDir().mkpath(work);
        // Fill the manifest as a real device's: most files are media and app data; a few
        // hundred are message attachments.
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(folder + "/Manifest.db").constData(), &db);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO Files VALUES (?, ?, ?, 1, ?)", -1, &insert, nullptr);
        const QByteArray record = BackupGen::mbFileRecord(3, {}, "Media/DCIM/100APPLE/IMG_0000.JPG", 123456);
        for (int i = 0; i < kFiles; ++i) {
            const bool attachment = i % 500 == 0;
            const QString domain = attachment ? "MediaDomain" : (i % 3 ? "CameraRollDomain" : "AppDomain-com.example.app");
            const QString path = attachment ? QString("Library/SMS/Attachments/%1/%2/IMG_%3.jpg").arg(i % 100).arg(i).arg(i)
                                            : QString("Media/DCIM/100APPLE/IMG_%1.JPG").arg(i);
            const QByteArray id = BackupGen::fileID(domain, path).toLatin1(), d = domain.toUtf8(), p = path.toUtf8();
            sqlite3_bind_text(insert, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, d.constData(), int(d.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, p.constData(), int(p.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(insert, 4, record.constData(), int(record.size()), SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
};

ManifestSetup &manifestSetup()
{
    static ManifestSetup setup;
    return setup;
}

void BM_ReadManifestAndPick_Quillon(benchmark::State &state)
{
    ManifestSetup &s = manifestSetup();
    DeviceBackupPtr backup = DeviceBackup::initWithPath(s.folder);
    for (auto _ : state) {
        const std::optional<Manifest> manifest = backup->getAManifest();
        if (!manifest || manifest->files.size() < kFiles) {
            state.SkipWithError("manifest not read");
            break;
        }
        const WorkFolderNames names = AppController::grab(*backup, manifest->files, s.folder, s.work, wantedFileList());
        benchmark::DoNotOptimize(names.nameFor(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db")));
    }
}

void BM_ReadManifest_Sqlite3Shell(benchmark::State &state)
{
    ManifestSetup &s = manifestSetup();
    const QStringList arguments{s.folder + "/Manifest.db",
                                "select fileID, domain, relativePath, file from Files where flags = 1 AND file IS NOT NULL;"};
    for (auto _ : state) {
        QProcess shell;
        shell.setStandardOutputFile(QProcess::nullDevice());
        shell.start("sqlite3", arguments);
        if (!shell.waitForFinished(-1) || shell.exitCode() != 0)
            state.SkipWithError("sqlite3 failed");
    }
}

} // namespace

BENCHMARK(BM_ReadManifestAndPick_Quillon)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_ReadManifest_Sqlite3Shell)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
