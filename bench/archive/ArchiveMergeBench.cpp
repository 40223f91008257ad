// Merging an archive of 100,000 messages with 10,000 attachment files into another of the
// same size, against the plain way of copying the same rows (sqlite3 ATTACH and INSERT ...
// SELECT) plus cp of the attachment files. The merge checks every row for a twin, rewrites
// attachment paths and copies files without overwriting; it should stay within three times
// the plain copy.

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveMerge.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int kMessages = 100000;
constexpr int kPieces = 10000;
constexpr int kPieceBytes = 4096;

// Fills `key`'s archive: messages (every tenth with an attachment file), calls.
void fill(AppController &controller, const QString &key, qint64 firstDate)
{
    int error = 0;
    const ArchiveDBPtr db = controller.getBackupDB(key, &error);
    ArchiveSchema::addPropsTable(db->handle(), key);
    const QString folder = controller.pieceFolderPathForDevice(key, true);
    const QByteArray bytes(kPieceBytes, 'p');
    ArchiveSql::exec(db->handle(), "BEGIN");
    SqlStatement message(db->handle(), "INSERT INTO message (id, date, address, text, flags, html, sendername) "
                                       "VALUES (?, ?, ?, ?, 0, ?, 'Bob')");
    SqlStatement piece(db->handle(), "INSERT INTO smsbackuppieces (smsid, uuid, path) VALUES (?, ?, ?)");
    SqlStatement call(db->handle(), "INSERT INTO call (id, date, address, duration, flags) VALUES (?, ?, ?, 5, 0)");
    for (int i = 0; i < kMessages; ++i) {
        const QString text = QStringLiteral("Message %1 of %2 with a few words of text").arg(i).arg(key);
        message.bind(1, qint64(i));
        message.bind(2, firstDate + i);
        message.bind(3, QStringLiteral("+1555%1").arg(i % 50, 7, 10, QLatin1Char('0')));
        message.bind(4, text);
        message.bind(5, QStringLiteral("<p>%1</p>").arg(text));
        message.step();
        message.reset();
        if (i % (kMessages / kPieces) == 0) {
            const QString name = QStringLiteral("%1_IMG_%2.jpg").arg(key).arg(i);
            QFile file(QDir(folder).filePath(name));
            file.open(QIODevice::WriteOnly);
            file.write(bytes);
            piece.bind(1, qint64(sqlite3_last_insert_rowid(db->handle())));
            piece.bind(2, name);
            piece.bind(3, key + QStringLiteral(".qnxmdb/") + name);
            piece.step();
            piece.reset();
        }
        if (i % 10 == 0) {
            call.bind(1, qint64(i));
            call.bind(2, firstDate + i);
            call.bind(3, QStringLiteral("+1555%1").arg(i % 50, 7, 10, QLatin1Char('0')));
            call.step();
            call.reset();
        }
    }
    ArchiveSql::exec(db->handle(), "COMMIT");
}

// Two archives made once; every iteration merges into a fresh copy of the target.
struct Fixture
{
    QTemporaryDir templates;
    Fixture()
    {
        setArchiveLocation(templates.path());
        AppController controller;
        fill(controller, QStringLiteral("uid-source"), 1400000000);
        fill(controller, QStringLiteral("uid-target"), 1500000000);
        controller.closeBackupDBs();
    }
};

Fixture &fixture()
{
    static Fixture made;
    return made;
}

// A fresh archive folder with both archives and their piece folders.
void prepare(const QString &folder)
{
    QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), fixture().templates.path() + QStringLiteral("/."),
                                             folder});
    setArchiveLocation(folder);
}

void BM_MergeArchive(benchmark::State &state)
{
    fixture();
    for (auto _ : state) {
        state.PauseTiming();
        auto folder = std::make_unique<QTemporaryDir>();
        prepare(folder->path());
        AppController controller;
        state.ResumeTiming();
        const ArchiveMergeResult result =
            ArchiveMerge::merge(controller, QStringLiteral("uid-source"), QStringLiteral("uid-target"));
        if (result.outcome != ArchiveMergeResult::Outcome::Copied || result.messages != kMessages)
            state.SkipWithError("the merge did not copy every message");
        // Closing and removing the scratch folder are not the merge.
        state.PauseTiming();
        controller.closeBackupDBs();
        folder.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_PlainAttachInsertAndCp(benchmark::State &state)
{
    fixture();
    for (auto _ : state) {
        state.PauseTiming();
        auto scratch = std::make_unique<QTemporaryDir>();
        const QTemporaryDir &folder = *scratch;
        prepare(folder.path());
        state.ResumeTiming();
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(folder.path() + QStringLiteral("/uid-target.db")).constData(), &db);
        const QByteArray attach = "ATTACH DATABASE '" + QFile::encodeName(folder.path()) + "/uid-source.db' AS src;";
        ArchiveSql::exec(db, attach.constData());
        ArchiveSql::exec(db, "BEGIN;"
                             "INSERT INTO call (id, date, address, duration, flags, wa, provider, name) "
                             "SELECT id, date, address, duration, flags, wa, provider, name FROM src.call;"
                             "INSERT INTO voicemail (id, date, address, duration, flags, amr) "
                             "SELECT id, date, address, duration, flags, amr FROM src.voicemail;"
                             "INSERT INTO contacts (id, name, image) SELECT id, name, image FROM src.contacts;"
                             "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, "
                             "recipientnames, sendername) SELECT id, date, address, text, flags, html, sender, "
                             "grouptitle, recipientnames, sendername FROM src.message;"
                             "INSERT INTO smsbackuppieces (smsid, uuid, data, thumbnail, path) "
                             "SELECT smsid, uuid, data, thumbnail, path FROM src.smsbackuppieces;"
                             "COMMIT;");
        sqlite3_close(db);
        QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), folder.path() + QStringLiteral("/uid-source.qnxmdb/."),
                                                 folder.path() + QStringLiteral("/uid-target.qnxmdb/")});
        state.PauseTiming();
        scratch.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_MergeArchive)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainAttachInsertAndCp)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
