// The notes request against simulated devices: the newest generation's three schema
// variants, trash, links, a drawing and photos with their attachment files and cache pieces;
// the middle generation as its fall-back; the oldest on a device of the older protocol; and
// bodies that list the note by its title only.

#include "ImageFixtures.h"
#include "LiveRig.h"
#include "NoteStoreEncoder.h"
#include "RecordingImageConverter.h"

#include "archive/ArchiveFolder.h"
#include "backup/BackupSessionFlags.h"
#include "extract/Notes.h"
#include "extract/CategoryState.h"
#include "personal/FRNoteInfo.h"
#include "shell/AppDelegate.h"
#include "shell/Defaults.h"
#include "window/QtImageConverter.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <gtest/gtest.h>

using NoteRun = NoteStoreEncoder::Run;

namespace {

const QString kGroup = QStringLiteral("AppDomainGroup-group.com.apple.notes");
const QString kFFFC = QString(QChar::ObjectReplacementCharacter);

enum class Variant { FolderColumn, Z12, Z11 };

struct StoredNote
{
    qint64 id;
    double modified;
    QString title;
    qint64 folder;
    std::optional<QByteArray> body; // nullopt: no note-data row
};

// A NoteStore.sqlite of one schema variant: folder 1 holds notes, folder 2 is the trash
// when `trash`; the attachment rows of every note below are there too.
QByteArray noteStore(Variant variant, bool trash, const QList<StoredNote> &notes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("NoteStore.sqlite");
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    const QString folderColumn = variant == Variant::FolderColumn ? QStringLiteral(" ZFOLDER INTEGER,") : QString();
    QString sql = QStringLiteral(
                      "CREATE TABLE ZICCLOUDSYNCINGOBJECT (Z_PK INTEGER PRIMARY KEY, ZFOLDERTYPE INTEGER,%1 "
                      "ZMODIFICATIONDATE1 REAL, ZTITLE1 TEXT, ZNOTEDATA INTEGER, ZIDENTIFIER TEXT, ZTITLE TEXT, "
                      "ZURLSTRING TEXT, ZFILENAME TEXT, ZMEDIA INTEGER, ZWIDTH INTEGER);"
                      "CREATE TABLE ZICNOTEDATA (Z_PK INTEGER PRIMARY KEY, ZDATA BLOB);"
                      "CREATE TABLE Z_4PREVIEWIMAGES (Z_4ATTACHMENTS INTEGER, Z_5PREVIEWIMAGES INTEGER);")
                      .arg(folderColumn);
    if (variant == Variant::Z12)
        sql += "CREATE TABLE Z_12NOTES (Z_9NOTES INTEGER, Z_12FOLDERS INTEGER);";
    if (variant == Variant::Z11)
        sql += "CREATE TABLE Z_11NOTES (Z_8NOTES INTEGER, Z_11FOLDERS INTEGER);";
    // Folders; then links, a drawing with two previews, photos, and media whose name leads out.
    sql += "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZFOLDERTYPE) VALUES (1, 0);";
    if (trash)
        sql += "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZFOLDERTYPE) VALUES (2, 1);";
    sql += "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZIDENTIFIER, ZTITLE, ZURLSTRING) VALUES"
           " (20, 'LINK-1', 'Example <site>', 'https://example.com/a?b=1&c=2'),"
           " (21, 'LINK-2', 'Second', 'https://example.org/');"
           "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZIDENTIFIER, ZWIDTH) VALUES"
           " (30, 'DRAW-1', NULL), (31, 'DRAW-1-small', 100), (32, 'DRAW-1-big', 400);"
           "INSERT INTO Z_4PREVIEWIMAGES VALUES (30, 31), (30, 32);"
           "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZIDENTIFIER, ZMEDIA) VALUES"
           " (40, 'PHOTO-6', 41), (42, 'PHOTO-1', 43), (44, 'EVIL', 45), (46, 'GONE', 47);"
           "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZIDENTIFIER, ZFILENAME) VALUES"
           " (41, 'MEDIA-6', 'IMG_6.jpg'), (43, 'MEDIA-1', 'IMG_1.jpg'), (45, '..', 'passwd'),"
           " (47, 'MEDIA-GONE', 'missing.jpg');";
    sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
    for (const StoredNote &n : notes) {
        sqlite3_stmt *insert = nullptr;
        if (n.body) {
            sqlite3_prepare_v2(db, "INSERT INTO ZICNOTEDATA (Z_PK, ZDATA) VALUES (?, ?)", -1, &insert, nullptr);
            sqlite3_bind_int64(insert, 1, n.id + 1000);
            sqlite3_bind_blob(insert, 2, n.body->constData(), int(n.body->size()), SQLITE_TRANSIENT);
            sqlite3_step(insert);
            sqlite3_finalize(insert);
        }
        const char *noteSql = variant == Variant::FolderColumn
                                  ? "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZMODIFICATIONDATE1, ZTITLE1, ZNOTEDATA, ZFOLDER) VALUES (?, ?, ?, ?, ?)"
                                  : "INSERT INTO ZICCLOUDSYNCINGOBJECT (Z_PK, ZMODIFICATIONDATE1, ZTITLE1, ZNOTEDATA) VALUES (?, ?, ?, ?)";
        sqlite3_prepare_v2(db, noteSql, -1, &insert, nullptr);
        sqlite3_bind_int64(insert, 1, n.id);
        sqlite3_bind_double(insert, 2, n.modified);
        const QByteArray title = n.title.toUtf8();
        sqlite3_bind_text(insert, 3, title.constData(), int(title.size()), SQLITE_TRANSIENT);
        if (n.body)
            sqlite3_bind_int64(insert, 4, n.id + 1000);
        if (variant == Variant::FolderColumn)
            sqlite3_bind_int64(insert, 5, n.folder);
        sqlite3_step(insert);
        sqlite3_finalize(insert);
        if (variant != Variant::FolderColumn) {
            const QString join = variant == Variant::Z12 ? "INSERT INTO Z_12NOTES VALUES (%1, %2)" : "INSERT INTO Z_11NOTES VALUES (%1, %2)";
            sqlite3_exec(db, join.arg(n.id).arg(n.folder).toUtf8().constData(), nullptr, nullptr, nullptr);
        }
    }
    sqlite3_close(db);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

NoteRun attachment(const char *identifier, const char *type)
{
    NoteRun run{1};
    run.attachmentIdentifier = QString::fromLatin1(identifier);
    run.attachmentType = QString::fromLatin1(type);
    return run;
}

// Shopping: two links; Pictures (no title): a drawing, photos of orientation 6 and 1, one
// whose media row leads out of the folder and one whose file the backup lacks; Old (trash);
// Empty (no body row); Garbled (a body that does not decode).
QList<StoredNote> storedNotes()
{
    const QString shopping = "Milk " + kFFFC + " and " + kFFFC + " done";
    const QString pictures = "Look" + kFFFC + kFFFC + kFFFC + kFFFC + kFFFC;
    return {
        {10, 700000000, "Shopping", 1,
         NoteStoreEncoder::body(shopping, {NoteRun{5}, attachment("LINK-1", "public.url"), NoteRun{5},
                                           attachment("LINK-2", "public.url"), NoteRun{5, "Helvetica-Bold", 14}})},
        {11, 700000100, "", 1,
         NoteStoreEncoder::body(pictures, {NoteRun{4}, attachment("DRAW-1", "com.apple.notes.sketch"),
                                           attachment("PHOTO-6", "public.jpeg"), attachment("PHOTO-1", "public.jpeg"),
                                           attachment("EVIL", "public.jpeg"), attachment("GONE", "public.jpeg")})},
        {12, 700000200, "Old", 2, NoteStoreEncoder::body("in the trash")},
        {13, 699000000, "Empty", 1, std::nullopt},
        {14, 699000001, "Garbled", 1, QByteArray("\x1f\x8b not really gzip", 18)},
    };
}

const QImage kDrawing = ImageFixtures::quadrants(80, 40);
const QImage kPhoto = ImageFixtures::quadrants(60, 20);

QMap<QString, QByteArray> newestFiles(Variant variant, bool trash)
{
    return {
        {kGroup + "/NoteStore.sqlite", noteStore(variant, trash, storedNotes())},
        {kGroup + "/Previews/DRAW-1-big.png", ImageFixtures::encoded(kDrawing, "PNG")},
        {kGroup + "/Previews/DRAW-1-small.png", ImageFixtures::encoded(ImageFixtures::quadrants(8, 4), "PNG")},
        {kGroup + "/Media/MEDIA-6/IMG_6.jpg", ImageFixtures::jpegWithOrientation(kPhoto, 6)},
        {kGroup + "/Media/MEDIA-1/IMG_1.jpg", ImageFixtures::jpegWithOrientation(kPhoto, 1)},
    };
}

struct NotesRig
{
    NotesRig()
    {
        setArchiveLocation(live.rig.home.path() + QStringLiteral("/archive"));
        ImageConverter::install(converter);
        // The launch installs the note-body decoder.
        AppDelegate().applicationDidFinishLaunching();
    }
    ~NotesRig()
    {
        ImageConverter::install(nullptr);
        for (const QString &name : QDir(getTempDir()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(getTempDir() + name);
    }
    std::pair<RecordSnapshot<FRNoteInfo>, int> request()
    {
        auto future = std::async(std::launch::async, [this] {
            int error = 0;
            auto notes = Notes::doGetNotes(*live.rig.controller, &error);
            return std::make_pair(notes, error);
        });
        EXPECT_TRUE(waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 30000));
        return future.get();
    }
    static FRNoteInfoPtr byId(const RecordSnapshot<FRNoteInfo> &notes, const QString &id)
    {
        for (const FRNoteInfoPtr &n : *notes)
            if (n->keyString() == id)
                return n;
        return nullptr;
    }

    LiveRig live;
    std::shared_ptr<RecordingImageConverter> converter =
        std::make_shared<RecordingImageConverter>(std::make_shared<QtImageConverter>());
};

QString xmllintErrors(const QString &html)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("note.html"));
    if (!file.open(QIODevice::WriteOnly))
        return "unwritable";
    file.write(html.toUtf8());
    file.close();
    QProcess lint;
    lint.start("xmllint", {"--html", "--noout", file.fileName()});
    lint.waitForFinished(30000);
    return QString::fromUtf8(lint.readAllStandardError()) + (lint.exitCode() ? "failed" : "");
}

} // namespace

TEST(NotesRequest, EveryNoteStoreVariantListsItsNotesOutsideTheTrash)
{
    struct Case {
        Variant variant;
        bool trash;
        QStringList ids;
    };
    const Case cases[] = {
        {Variant::FolderColumn, true, {"11", "10", "14", "13"}},
        {Variant::FolderColumn, false, {"12", "11", "10", "14", "13"}},
        {Variant::Z12, true, {"11", "10", "14", "13"}},
        {Variant::Z11, true, {"11", "10", "14", "13"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.variant) * 10 + c.trash);
        NotesRig rig;
        rig.live.attach(newestFiles(c.variant, c.trash));
        const auto [notes, error] = rig.request();
        ASSERT_TRUE(notes) << error << qPrintable(rig.live.log());
        QStringList ids;
        for (const FRNoteInfoPtr &n : *notes)
            ids.append(n->keyString());
        EXPECT_EQ(ids, c.ids);
        EXPECT_EQ(gNumNotes.load(), c.ids.size());
        EXPECT_TRUE(rig.live.rig.controller->hasNotesDataAlready());
        // The copied database is gone once read.
        EXPECT_FALSE(QFileInfo::exists(getTempDir() + "NoteStore.sqlite"));
    }
}

TEST(NotesRequest, NewestNotesKeepTheirLinksPicturesAndTitles)
{
    NotesRig rig;
    rig.live.attach(newestFiles(Variant::FolderColumn, true));
    const auto [notes, error] = rig.request();
    ASSERT_TRUE(notes) << error;

    const FRNoteInfoPtr shopping = NotesRig::byId(notes, "10");
    ASSERT_TRUE(shopping);
    const QString html = shopping->rawNoteBody();
    EXPECT_TRUE(html.startsWith("<!DOCTYPE html"));
    EXPECT_EQ(shopping->uniqueFileName(), "Shopping.rtf");
    // Each link at its own place, its title escaped, its URL an attribute.
    const qsizetype first = html.indexOf("<a href=\"https://example.com/a?b=1&amp;c=2\">Example &lt;site&gt;</a>");
    const qsizetype second = html.indexOf("<a href=\"https://example.org/\">Second</a>");
    EXPECT_GT(first, html.indexOf("Milk "));
    EXPECT_GT(second, first);
    EXPECT_GT(html.indexOf("done"), second);
    EXPECT_TRUE(html.contains("font-weight: bold"));
    EXPECT_EQ(xmllintErrors(html), "");
    EXPECT_EQ(shopping->noteBodyText().simplified(), "Milk Example <site> and Second done");

    const FRNoteInfoPtr pictures = NotesRig::byId(notes, "11");
    ASSERT_TRUE(pictures);
    EXPECT_EQ(pictures->noteTitle(), "Untitled");
    EXPECT_EQ(pictures->summary(), "Untitled");
    // In the order the runs were read (from the end); the one that leads out is left out.
    EXPECT_EQ(pictures->attachments(),
              (QStringList{"MEDIA-GONE-NoteAttachment-missing.jpg", "MEDIA-1-NoteAttachment-IMG_1.jpg",
                           "MEDIA-6-NoteAttachment-IMG_6.jpg", "Previews-NoteAttachment-DRAW-1-big.jpg"}));
    const QString temp = getTempDir();
    // The widest preview, turned a quarter: 80 x 40 becomes 40 x 80, red top left to top right.
    QImage drawing(temp + "Previews-NoteAttachment-DRAW-1-big.jpg");
    EXPECT_EQ(drawing.size(), QSize(40, 80));
    EXPECT_GT(drawing.pixelColor(30, 20).red(), 200);
    // Orientation 6 is drawn upright and stored as JPEG; orientation 1 stays byte for byte.
    QImage upright(temp + "MEDIA-6-NoteAttachment-IMG_6.jpg");
    EXPECT_EQ(upright.size(), QSize(20, 60));
    QFile one(temp + "MEDIA-1-NoteAttachment-IMG_1.jpg");
    ASSERT_TRUE(one.open(QIODevice::ReadOnly));
    EXPECT_EQ(one.readAll(), ImageFixtures::jpegWithOrientation(kPhoto, 1));
    // A file the backup lacks still gets its (empty) file and an image tag with the text.
    EXPECT_EQ(QFileInfo(temp + "MEDIA-GONE-NoteAttachment-missing.jpg").size(), 0);
    const QString body = pictures->rawNoteBody();
    EXPECT_EQ(body.count("<img alt=\"Note attachment unavailable.\" style=\"width:90%;\""), 4); // a 10.2 device
    EXPECT_TRUE(body.contains("src=\"" + temp + "MEDIA-6-NoteAttachment-IMG_6.jpg\""));
    EXPECT_FALSE(body.contains("passwd"));
    EXPECT_FALSE(QFileInfo::exists(temp + "..-NoteAttachment-passwd"));
    EXPECT_EQ(xmllintErrors(body), "");

    // Bodies that give nothing still list their notes by title.
    EXPECT_EQ(NotesRig::byId(notes, "13")->noteTitle(), "Empty");
    EXPECT_EQ(NotesRig::byId(notes, "14")->noteTitle(), "Garbled");
    EXPECT_EQ(NotesRig::byId(notes, "14")->rawNoteBody(), "");
}

TEST(NotesRequest, ASecondRequestAnswersTheKeptListWithoutTheDevice)
{
    NotesRig rig;
    rig.live.attach(newestFiles(Variant::FolderColumn, true));
    const auto first = rig.request();
    ASSERT_TRUE(first.first);
    const auto second = rig.request();
    EXPECT_EQ(second.first, first.first);
    EXPECT_EQ(rig.live.logCount("processNotesData9"), 1);
}

TEST(NotesRequest, WithoutNewestNotesTheMiddleGenerationIsRead)
{
    NotesRig rig;
    QTemporaryDir dir;
    const QString path = dir.filePath("notes.sqlite");
    sqlite3 *db = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE ZNOTE (Z_PK INTEGER PRIMARY KEY, ZMODIFICATIONDATE REAL, ZTITLE TEXT, ZDELETEDFLAG INTEGER);"
                 "CREATE TABLE ZNOTEBODY (Z_PK INTEGER PRIMARY KEY, ZOWNER INTEGER, ZCONTENT TEXT);"
                 "INSERT INTO ZNOTE VALUES (1, 500000000, 'Middle', 0), (2, 500000100, NULL, 0), (3, 500000200, 'Deleted', 1);"
                 "INSERT INTO ZNOTEBODY VALUES (1, 1, '<div>middle body</div>'), (2, 2, NULL), (3, 3, 'x');",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    rig.live.attach({{kGroup + "/NoteStore.sqlite", noteStore(Variant::FolderColumn, true, {})},
                     {"HomeDomain/Library/Notes/notes.sqlite", file.readAll()}});
    const auto [notes, error] = rig.request();
    ASSERT_TRUE(notes) << error;
    ASSERT_EQ(notes->size(), 2);
    EXPECT_EQ(notes->at(0)->noteTitle(), "Untitled");
    EXPECT_EQ(notes->at(0)->rawNoteBody(), "");
    EXPECT_EQ(notes->at(1)->noteTitle(), "Middle");
    EXPECT_EQ(notes->at(1)->rawNoteBody(), "<div>middle body</div>");
    EXPECT_EQ(notes->at(1)->noteNSDate().toSecsSinceEpoch(), 978307200 + 500000000);
}

TEST(NotesRequest, TheOldestGenerationIsReadOnOlderDevices)
{
    const QVariantMap older{{"Domains", QVariantMap{{"com.apple.mobile.backup", QVariantMap{{"Version", "1.6"}}}}}};
    for (int version : {4, 5}) {
        SCOPED_TRACE(version);
        NotesRig rig;
        QTemporaryDir dir;
        const QString path = dir.filePath("notes.db");
        sqlite3 *db = nullptr;
        sqlite3_open(QFile::encodeName(path).constData(), &db);
        const QString sql = QStringLiteral(
            "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
            "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '%1');"
            "CREATE TABLE Note (creation_date INTEGER, title TEXT, summary TEXT, contains_cjk INTEGER, "
            "modification_date INTEGER, author TEXT, content_type INTEGER);"
            "CREATE TABLE note_bodies (note_id INTEGER, data, UNIQUE(note_id));"
            // Created in one order, changed in the other; NULL columns read as "".
            "INSERT INTO Note VALUES (100, 'First', 'one', 0, 300, '', 0), (200, 'Second', NULL, 0, 100, '', 0),"
            " (150, NULL, 'three', 0, 200, '', 0);"
            "INSERT INTO note_bodies VALUES (1, 'body one'), (2, 'body two'), (3, NULL);").arg(version);
        sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
        sqlite3_close(db);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        rig.live.attach({{"HomeDomain/Library/Notes/notes.db", file.readAll()}}, older);
        const auto [notes, error] = rig.request();
        ASSERT_TRUE(notes) << error << qPrintable(rig.live.log());
        QStringList rows;
        for (const FRNoteInfoPtr &n : *notes)
            rows.append(QStringLiteral("%1|%2|%3|%4").arg(n->keyString(), n->noteTitle(), n->summary(), n->rawNoteBody()));
        if (version == 4)
            EXPECT_EQ(rows, (QStringList{"2|Second||body two", "3||three|", "1|First|one|body one"}));
        else
            EXPECT_EQ(rows, (QStringList{"1|First|one|body one", "3||three|", "2|Second||body two"}));
        EXPECT_FALSE(QFileInfo::exists(getTempDir() + "notes.db"));
    }
}

TEST(NotesRequest, WithoutTheDecoderOneNoteExplains)
{
    NotesRig rig;
    gHasNotesFramework.store(false);
    rig.live.attach(newestFiles(Variant::FolderColumn, true));
    const auto [notes, error] = rig.request();
    gHasNotesFramework.store(true);
    ASSERT_TRUE(notes) << error;
    ASSERT_EQ(notes->size(), 1);
    EXPECT_EQ(notes->at(0)->keyString(), "1");
    EXPECT_EQ(notes->at(0)->noteTitle(), "Sorry, there was an error processing Notes.");
    EXPECT_EQ(notes->at(0)->rawNoteBody(), notes->at(0)->noteTitle());
    EXPECT_EQ(gNumNotes.load(), 1);
}
