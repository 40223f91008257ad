// Extracting 100,000 messages (10,000 of them with an attachment) from a messages database
// of the current generation into a new archive, against a plain copy of the same rows with
// the sqlite3 library (one INSERT ... SELECT of the joined rows into the archive's message
// table). The extraction (bodies, HTML, duplicate checks, attachment pieces) should stay
// within three times the plain copy.

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "messages/SMSDataController.h"
#include "platform/UserDefaults.h"

#include "TypedStreamBuilder.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

constexpr int kMessages = 100000;
constexpr int kAttachments = 10000;

// The messages database with its attachment files beside it, made once.
struct Source
{
    QTemporaryDir folder;
    QString database() const { return folder.filePath(QStringLiteral("source.db")); }
    QString files() const { return folder.filePath(QStringLiteral("files")); }

    Source()
    {
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(database()).constData(), &db);
        ArchiveSql::exec(db, "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                             "INSERT INTO _SqliteDatabaseProperties VALUES('_ClientVersion','40');"
                             "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text TEXT, subject TEXT, service TEXT, "
                             "handle_id INTEGER, date INTEGER, is_from_me INTEGER, attributedBody BLOB, error INTEGER, "
                             "is_read INTEGER, cache_has_attachments INTEGER);"
                             "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY, id TEXT);"
                             "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
                             "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);"
                             "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid TEXT, mime_type TEXT, filename TEXT);"
                             "CREATE TABLE message_attachment_join (message_id INTEGER, attachment_id INTEGER);"
                             "BEGIN;");
        for (int h = 1; h <= 50; ++h) {
            ArchiveSql::exec(db, QStringLiteral("INSERT INTO handle VALUES(%1,'+1555%2');"
                                                "INSERT INTO chat_handle_join VALUES(%1,%1);")
                                     .arg(h)
                                     .arg(h, 7, 10, QLatin1Char('0')));
        }
        QDir().mkpath(files());
        SqlStatement message(db, "INSERT INTO message VALUES(?,?,NULL,'SMS',?,?,?,?,0,1,?)");
        SqlStatement attachment(db, "INSERT INTO attachment VALUES(?,?,'image/jpeg',?)");
        SqlStatement join(db, "INSERT INTO chat_message_join VALUES(?,?)");
        for (int i = 1; i <= kMessages; ++i) {
            const bool withFile = i % (kMessages / kAttachments) == 0;
            message.bind(1, qint64(i));
            message.bind(2, QStringLiteral("Message number %1 with a few words of text").arg(i));
            message.bind(3, qint64(i % 50 + 1));
            message.bind(4, qint64(600000000) + i);
            message.bindInt(5, i % 2);
            message.bindInt(7, withFile);
            if (withFile) {
                const QString guid = QStringLiteral("GUID-%1").arg(i);
                const QString text = QStringLiteral("Picture %1 ").arg(i);
                message.bind(6, TypedStreamBuilder()
                                    .attributedRoot(text + QChar(0xFFFC),
                                                    {{int(text.size()), {}},
                                                     {1, {{QStringLiteral("__kIMFileTransferGUIDAttributeName"), guid}}}})
                                    .data());
                attachment.bind(1, qint64(i));
                attachment.bind(2, guid);
                attachment.bind(3, QStringLiteral("~/Library/SMS/Attachments/%1/%2/IMG_%2.jpg").arg(i % 100).arg(i));
                attachment.step();
                attachment.reset();
                QFile file(files() + QStringLiteral("/%1-iMessage-IMG_%2.jpg").arg(i).arg(i));
                file.open(QIODevice::WriteOnly);
                file.write(QByteArray(2048, char(i)));
            }
            message.step();
            message.reset();
            join.bind(1, qint64(i % 50 + 1));
            join.bind(2, qint64(i));
            join.step();
            join.reset();
        }
        ArchiveSql::exec(db, "COMMIT;");
        sqlite3_close(db);
    }
};

const Source &source()
{
    static const Source made;
    return made;
}

struct Archive
{
    QTemporaryDir folder;
    AppController controller;
    Archive()
    {
        setArchiveLocation(folder.filePath(QStringLiteral("archive")));
        std::lock_guard lock(controller.mDeviceValuesLock);
        controller.mDeviceNumber = QStringLiteral("uid-bench");
        controller.mDeviceName = QStringLiteral("Bench");
    }
};

// state.range(0): 1 when the rows are archived, 0 for the records alone.
// state.range(0): 1 when the rows are archived, 0 for the records alone.
void BM_ExtractIntoNewArchive(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto archive = std::make_unique<Archive>();
        int error = 0;
        if (state.range(0)) {
            archive->controller.getBackupDB(QString(), &error);
            // The archive list learns of the new archive on the main thread.
            while (!archive->controller.shouldArchive(QStringLiteral("uid-bench")))
                QCoreApplication::processEvents();
        }
        const QString work = archive->folder.filePath(QStringLiteral("work"));
        QDir().mkpath(work);
        QFile::copy(source().database(), work + QStringLiteral("/sms.db"));
        for (const QString &name : QDir(source().files()).entryList(QDir::Files))
            QFile::link(source().files() + QLatin1Char('/') + name, work + QLatin1Char('/') + name);
        SMSDataController controller;
        state.ResumeTiming();

        auto records = archive->controller.processSMSData(work + QStringLiteral("/sms.db"), &controller,
                                                          QStringLiteral("thumbcacheuid-bench"), &error, 1, nullptr);
        const bool complete = records && records->size() == kMessages;
        benchmark::DoNotOptimize(records);
        // Freeing the records and removing the scratch folders are not the extraction.
        state.PauseTiming();
        records.reset();
        archive.reset();
        state.ResumeTiming();
        if (!complete) {
            fprintf(stderr, "extraction error %d\n", error);
            state.SkipWithError("not every message was extracted");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_PlainSqliteCopy(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto archive = std::make_unique<Archive>();
        int error = 0;
        ArchiveDBPtr db = archive->controller.getBackupDB(QString(), &error);
        const QString attached = QStringLiteral("ATTACH DATABASE '%1' AS device").arg(source().database());
        ArchiveSql::exec(db->handle(), attached);
        state.ResumeTiming();

        ArchiveSql::exec(db->handle(),
                         "BEGIN; INSERT INTO message (id, date, address, text, flags, html, sender) "
                         "SELECT message.ROWID, date + 978307200, handle.id, text, is_from_me, text, handle.id "
                         "FROM device.message LEFT JOIN device.chat_message_join ON message_id = message.ROWID "
                         "LEFT JOIN device.handle ON handle_id = handle.ROWID; COMMIT;");
        state.PauseTiming();
        ArchiveSql::exec(db->handle(), "DETACH DATABASE device");
        db.reset();
        archive.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_ExtractIntoNewArchive)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_PlainSqliteCopy)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    UserDefaults::standard().setBool(true, QStringLiteral("SHOW_SMS"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
