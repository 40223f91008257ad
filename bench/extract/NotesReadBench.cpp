// Reading 10,000 notes of the newest generation (each body gzip-compressed styled text with
// a few runs) into note records with their HTML, against a plain loop that selects the same
// rows with the sqlite3 library and inflates each body. The reading should stay within three
// times the plain loop.

#include "device/AppController.h"
#include "extract/NewestNotes.h"
#include "extract/NoteDocument.h"
#include "extract/Notes.h"
#include "shell/AppDelegate.h"

#include "NoteStoreEncoder.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

namespace {

constexpr int kNotes = 10000;

struct Store
{
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("NoteStore.sqlite")); }
    QString folder() const { return dir.path() + QLatin1Char('/'); }
};

// One store for every run: folder 1 holds the notes, folder 2 is the trash.
const Store &store()
{
    static Store *made = [] {
        auto *s = new Store;
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(s->path()).constData(), &db);
        sqlite3_exec(db,
                     "CREATE TABLE ZICCLOUDSYNCINGOBJECT (Z_PK INTEGER PRIMARY KEY, ZFOLDERTYPE INTEGER, ZFOLDER INTEGER, "
                     "ZMODIFICATIONDATE1 REAL, ZTITLE1 TEXT, ZNOTEDATA INTEGER, ZIDENTIFIER TEXT);"
                     "CREATE TABLE ZICNOTEDATA (Z_PK INTEGER PRIMARY KEY, ZDATA BLOB);"
                     "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZFOLDERTYPE) VALUES (1, 0), (2, 1);"
                     "BEGIN;",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt *data = nullptr, *note = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO ZICNOTEDATA VALUES (?, ?)", -1, &data, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZFOLDER, ZMODIFICATIONDATE1, ZTITLE1, ZNOTEDATA) "
                               "VALUES (?, 1, ?, ?, ?)", -1, &note, nullptr);
        for (int i = 0; i < kNotes; ++i) {
            const QString title = QStringLiteral("Note number %1").arg(i);
            const QString text = title + QStringLiteral("\nShopping: milk, bread & eggs <fresh>\n")
                                 + QStringLiteral("Some longer line of ordinary note text, written on the phone. ").repeated(6)
                                 + QStringLiteral("\nThe end.");
            const int styled = 20;
            const QByteArray body = NoteStoreEncoder::body(
                text, {NoteStoreEncoder::Run{int(title.size()), QStringLiteral("Helvetica-Bold"), 18, 1},
                       NoteStoreEncoder::Run{styled}, NoteStoreEncoder::Run{5, {}, 0, 0, true, QStringLiteral("https://example.com/")},
                       NoteStoreEncoder::Run{int(text.size())}});
            sqlite3_bind_int(data, 1, i + 100);
            sqlite3_bind_blob(data, 2, body.constData(), int(body.size()), SQLITE_TRANSIENT);
            sqlite3_step(data);
            sqlite3_reset(data);
            const QByteArray utf8 = title.toUtf8();
            sqlite3_bind_int(note, 1, i + 100000);
            sqlite3_bind_double(note, 2, 700000000 + i);
            sqlite3_bind_text(note, 3, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(note, 4, i + 100);
            sqlite3_step(note);
            sqlite3_reset(note);
        }
        sqlite3_finalize(data);
        sqlite3_finalize(note);
        sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return s;
    }();
    return *made;
}

void BM_ReadNewestNotes(benchmark::State &state)
{
    const Store &s = store();
    AppController controller; // no device: no archive, so no piece is cached
    for (auto _ : state) {
        const NewestNotes::Result result = NewestNotes::read(controller, s.path(), s.folder(), 0);
        if (result.count != kNotes) {
            state.SkipWithError("not every note was read");
            break;
        }
        benchmark::DoNotOptimize(result.notes.size());
    }
    state.SetItemsProcessed(state.iterations() * kNotes);
}

void BM_PlainSelectAndInflate(benchmark::State &state)
{
    const Store &s = store();
    for (auto _ : state) {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(QFile::encodeName(s.path()).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *select = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT ZICCLOUDSYNCINGOBJECT.ROWID, ZICCLOUDSYNCINGOBJECT.ZMODIFICATIONDATE1, "
                           "ZICCLOUDSYNCINGOBJECT.ZTITLE1, ZICNOTEDATA.ZDATA from ZICCLOUDSYNCINGOBJECT LEFT JOIN "
                           "ZICNOTEDATA ON ZICCLOUDSYNCINGOBJECT.ZNOTEDATA = ZICNOTEDATA.ROWID WHERE ZFOLDER != 2 "
                           "ORDER BY ZMODIFICATIONDATE1 DESC",
                           -1, &select, nullptr);
        qsizetype rows = 0, bytes = 0;
        while (sqlite3_step(select) == SQLITE_ROW) {
            const QByteArray body(static_cast<const char *>(sqlite3_column_blob(select, 3)), sqlite3_column_bytes(select, 3));
            bytes += NoteDocument::gunzip(body, NoteDocument::kMaxInflatedBytes).value_or(QByteArray()).size();
            ++rows;
        }
        sqlite3_finalize(select);
        sqlite3_close(db);
        if (rows != kNotes) {
            state.SkipWithError("not every row was read");
            break;
        }
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kNotes);
}

BENCHMARK(BM_ReadNewestNotes)->Unit(benchmark::kMillisecond)->Iterations(5)->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSelectAndInflate)->Unit(benchmark::kMillisecond)->Iterations(5)->MeasureProcessCPUTime();

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    QCoreApplication app(argc, argv);
    AppDelegate().applicationDidFinishLaunching(); // installs the note-body decoder
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
