// Extracting 100,000 messages (10,000 of them with an attachment) from a messages database
// of the current generation into a new archive, against a plain copy of the same rows with
// the sqlite3 library. The extraction (bodies, HTML, duplicate checks, attachment pieces)
// should stay within three times the plain copy.
//
// The copy is of exactly what the extraction stores: a reference archive is made once by the
// extraction itself, outside the timing, and each copy moves its rows into a new archive
// with the same schema and the same indexes (including the date and HTML index the
// duplicate check creates), in one transaction: the 100,000 message rows with the same
// bytes in every column, then the 10,000 piece rows with the attachment files' contents.
// It is one INSERT ... SELECT per table with the columns named, so SQLite decodes and
// encodes every row and updates every index row by row, as the extraction's inserts do;
// the whole-table transfer SQLite takes for "INSERT INTO t SELECT * FROM u" between tables
// of one layout copies pages' records and index entries wholesale, which no extraction
// could, so it is kept out.
//
// The extraction runs on a thread of its own, as in the program (the duplicate check keeps
// the archive's indexes up only off the main thread); CPU time is the process's.
//
// Both sides run after that reference extraction, so both find the process's memory in
// use already. The first extraction of a process also obtains the memory its 100,000
// records take (about 210 MB, some 57,000 page faults); on the virtual machines we build on
// a page fault costs tens of microseconds, which alone adds four seconds or more to that
// first run.

#include "archive/ArchiveDB.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSchema.h"
#include "archive/ArchiveSql.h"
#include "device/AppController.h"
#include "messages/FRSMSInfo.h"
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
#include <optional>
#include <thread>

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

// A new archive of the bench device with the messages database and its attachment files
// put in a backup work folder, as a backup on disk leaves them.
std::unique_ptr<Archive> archiveWithWorkFolder(bool archiving, QString *database)
{
    auto archive = std::make_unique<Archive>();
    int error = 0;
    if (archiving) {
        archive->controller.getBackupDB(QString(), &error);
        // The archive list learns of the new archive on the main thread.
        while (!archive->controller.shouldArchive(QStringLiteral("uid-bench")))
            QCoreApplication::processEvents();
    }
    const QString work = archive->folder.filePath(QStringLiteral("work"));
    QDir().mkpath(work);
    *database = work + QStringLiteral("/sms.db");
    QFile::copy(source().database(), *database);
    for (const QString &name : QDir(source().files()).entryList(QDir::Files))
        QFile::link(source().files() + QLatin1Char('/') + name, work + QLatin1Char('/') + name);
    return archive;
}

// On a thread of its own, as the program runs it (a list's load thread): the archive's
// upkeep that the first duplicate check does runs only off the main thread.
std::optional<QList<FRSMSInfoPtr>> extract(Archive &archive, const QString &database, SMSDataController &controller,
                                           int *error)
{
    std::optional<QList<FRSMSInfoPtr>> records;
    std::thread load([&] {
        records = archive.controller.processSMSData(database, &controller, QStringLiteral("thumbcacheuid-bench"), error,
                                                    1, nullptr);
    });
    load.join();
    return records;
}

int count(sqlite3 *db, const char *sql)
{
    SqlStatement statement(db, sql);
    return statement.ok() && statement.step() == SQLITE_ROW ? sqlite3_column_int(statement.get(), 0) : -1;
}

QString indexes(sqlite3 *db, const char *schema)
{
    SqlStatement statement(db, QStringLiteral("SELECT group_concat(sql, ';') FROM (SELECT sql FROM %1.sqlite_master "
                                              "WHERE type='index' AND sql IS NOT NULL ORDER BY name)")
                                   .arg(QLatin1String(schema)));
    return statement.ok() && statement.step() == SQLITE_ROW ? ArchiveSql::text(statement.get(), 0) : QString();
}

// The archive one extraction makes, kept as the rows the plain copy copies. Empty when the
// extraction failed.
QString referenceArchive()
{
    static const QString made = [] {
        const QString path = source().folder.filePath(QStringLiteral("reference.db"));
        QString database;
        auto archive = archiveWithWorkFolder(true, &database);
        SMSDataController controller;
        int error = 0;
        const auto records = extract(*archive, database, controller, &error);
        const QString archived = archive->controller.getBackupFilePath(QStringLiteral("uid-bench"));
        archive->controller.closeBackupDBs();
        if (!records || !QFile::copy(archived, path))
            return QString();
        return path;
    }();
    return made;
}

// state.range(0): 1 when the rows are archived, 0 for the records alone.
void BM_ExtractIntoNewArchive(benchmark::State &state)
{
    if (referenceArchive().isEmpty()) {
        state.SkipWithError("the reference extraction failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        QString database;
        auto archive = archiveWithWorkFolder(state.range(0), &database);
        SMSDataController controller;
        int error = 0;
        state.ResumeTiming();

        auto records = extract(*archive, database, controller, &error);
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
    const QString reference = referenceArchive();
    if (reference.isEmpty()) {
        state.SkipWithError("the reference extraction failed");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        auto archive = std::make_unique<Archive>();
        int error = 0;
        ArchiveDBPtr db = archive->controller.getBackupDB(QString(), &error);
        sqlite3 *handle = db ? db->handle() : nullptr;
        if (handle) {
            // The indexes the extraction's first duplicate check leaves on a new archive.
            ArchiveSchema::upkeepIndexes(handle, db->key());
            SqlStatement attach(handle, "ATTACH DATABASE ? AS reference");
            attach.bind(1, reference);
            attach.step();
        }
        const bool sameIndexes = handle && indexes(handle, "main") == indexes(handle, "reference");
        state.ResumeTiming();
        if (!sameIndexes) {
            state.SkipWithError("the new archive's indexes differ from the extraction's");
            break;
        }

        const int rc = ArchiveSql::exec(
            handle, "BEGIN;"
                    "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, sendername, "
                    "recipientnames) SELECT id, date, address, text, flags, html, sender, grouptitle, sendername, "
                    "recipientnames FROM reference.message ORDER BY rowid;"
                    "INSERT INTO smsbackuppieces (smsid, uuid, data, thumbnail, path) "
                    "SELECT smsid, uuid, data, thumbnail, path FROM reference.smsbackuppieces ORDER BY rowid;"
                    "COMMIT;");
        state.PauseTiming();
        const bool complete = rc == SQLITE_OK && count(handle, "SELECT COUNT(*) FROM main.message") == kMessages
            && count(handle, "SELECT COUNT(*) FROM main.smsbackuppieces") == kAttachments;
        if (handle)
            ArchiveSql::exec(handle, "DETACH DATABASE reference");
        db.reset();
        archive.reset();
        state.ResumeTiming();
        if (!complete) {
            state.SkipWithError("the reference rows were not copied");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_ExtractIntoNewArchive)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSqliteCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime();

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
