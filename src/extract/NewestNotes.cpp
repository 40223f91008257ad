#include "extract/NewestNotes.h"

#include "archive/ArchiveSql.h"
#include "platform/RegularFile.h"
#include "archive/ArchiveDB.h"
#include "device/AppController.h"
#include "extract/DeviceDatabase.h"
#include "extract/NoteAttributes.h"
#include "extract/NoteDocument.h"
#include "extract/NoteHTMLWriter.h"
#include "interfaces/ImageConverter.h"
#include "shell/AppDelegate.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QSaveFile>
#include <QTimeZone>
#include <QUrl>

namespace {

// Attachment files the backup brought are at most this large; anything larger is no note
// picture and is left as it is on the device.
constexpr qint64 kMaxAttachmentBytes = 512LL * 1024 * 1024;

const QString kNoteAttachment = QStringLiteral("-NoteAttachment-");

QString dateKeyedTitle(const QString &title) { return title.isEmpty() ? QStringLiteral("Untitled") : title; }

QDateTime dateSince2001(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + 978307200.0) * 1000.0), Qt::UTC);
}

// A name from the database or the device used as one file-name component.
bool isPlainComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
           && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

struct Link
{
    QString url;
    QString title;
    qsizetype position;
};

// One note's decoding context: the runs' callback reads the attachment rows, writes the
// attachment files and collects links; a failed query stops the whole read.
class NoteRun
{
public:
    NoteRun(AppController &controller, sqlite3 *db, const QString &folder, qint64 synctime)
        : mController(controller), mDb(db), mFolder(folder), mSynctime(synctime)
    {
    }

    // False when an attachment query could not be prepared: the read must end.
    bool attachment(TypedAttributedString::Run &run, QStringList *attachments, QList<Link> *links)
    {
        const QVariantMap attachment = run.attributes.value(QLatin1String(NoteAttributes::kAttachment)).toMap();
        const QString identifier = attachment.value(QStringLiteral("identifier")).toString();
        const QString type = attachment.value(QStringLiteral("type")).toString();
        run.attributes.remove(QLatin1String(NoteAttributes::kAttachment));
        QString folder, file;
        if (type == QLatin1String("public.url")) {
            SqlStatement select(mDb, "SELECT ZTITLE, ZURLSTRING from ZICCLOUDSYNCINGOBJECT WHERE ZIDENTIFIER=? LIMIT 1");
            if (!select.ok()) {
                VarnekLog("SELECT ZFILENAME Error %d %s", select.rc(), sqlite3_errmsg(mDb));
                return false;
            }
            select.bind(1, identifier);
            if (select.step() == SQLITE_ROW && sqlite3_column_type(select.get(), 0) != SQLITE_NULL
                && sqlite3_column_type(select.get(), 1) != SQLITE_NULL)
                links->append({ArchiveSql::text(select.get(), 1), ArchiveSql::text(select.get(), 0), run.location});
            return true;
        }
        if (type == QLatin1String("com.apple.notes.sketch")) {
            // The widest preview of the drawing.
            SqlStatement select(mDb, "SELECT ZIDENTIFIER from Z_4PREVIEWIMAGES LEFT JOIN ZICCLOUDSYNCINGOBJECT ON "
                                     "ZICCLOUDSYNCINGOBJECT.ROWID=Z_5PREVIEWIMAGES WHERE Z_4ATTACHMENTS=(SELECT ROWID "
                                     "from ZICCLOUDSYNCINGOBJECT WHERE ZIDENTIFIER=? LIMIT 1) ORDER BY ZWIDTH DESC LIMIT 1;");
            if (select.ok()) {
                select.bind(1, identifier);
            } else {
                select.prepare(mDb, "SELECT ZIDENTIFIER from ZICCLOUDSYNCINGOBJECT WHERE ZIDENTIFIER LIKE ? ESCAPE '\\' "
                                    "ORDER BY ZWIDTH DESC LIMIT 1");
                if (!select.ok()) {
                    VarnekLog("SELECT Z_5PREVIEWIMAGES Error %d %s", select.rc(), sqlite3_errmsg(mDb));
                    return false;
                }
                QString pattern = identifier;
                pattern.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
                pattern.replace(QLatin1Char('%'), QLatin1String("\\%"));
                pattern.replace(QLatin1Char('_'), QLatin1String("\\_"));
                select.bind(1, pattern + QStringLiteral("-%"));
            }
            if (select.step() == SQLITE_ROW && sqlite3_column_type(select.get(), 0) != SQLITE_NULL) {
                folder = QStringLiteral("Previews");
                file = ArchiveSql::text(select.get(), 0) + QStringLiteral(".png");
            }
        } else {
            SqlStatement select(mDb, "SELECT ZFILENAME, ZIDENTIFIER from ZICCLOUDSYNCINGOBJECT WHERE ROWID=(SELECT ZMEDIA "
                                     "from ZICCLOUDSYNCINGOBJECT WHERE ZIDENTIFIER=? LIMIT 1)");
            if (!select.ok()) {
                VarnekLog("SELECT ZFILENAME Error %d %s", select.rc(), sqlite3_errmsg(mDb));
                return false;
            }
            select.bind(1, identifier);
            if (select.step() == SQLITE_ROW && sqlite3_column_type(select.get(), 0) != SQLITE_NULL
                && sqlite3_column_type(select.get(), 1) != SQLITE_NULL) {
                file = ArchiveSql::text(select.get(), 0);
                folder = ArchiveSql::text(select.get(), 1);
            }
        }
        if (folder.isEmpty() || file.isEmpty())
            return true;
        if (!isPlainComponent(folder) || !isPlainComponent(file)) {
            VarnekLog("Skipping a note attachment whose name is no plain file name");
            return true;
        }
        const QString output = writeAttachment(folder + kNoteAttachment + file);
        if (!output.isEmpty()) {
            attachments->append(output);
            run.attributes.insert(QLatin1String(NoteAttributes::kAttachmentFile), mFolder + output);
        }
        return true;
    }

private:
    // Writes the attachment's picture under its output name; that name, or "" when it
    // could not be written.
    QString writeAttachment(const QString &name)
    {
        const bool drawing = name.startsWith(QLatin1String("Previews-")) && name.endsWith(QLatin1String(".png"));
        const QString output = drawing ? name.chopped(4) + QStringLiteral(".jpg") : name;
        const std::optional<QByteArray> source = RegularFile::readAll(mFolder + name, kMaxAttachmentBytes);
        QByteArray data;
        if (source && !source->isEmpty()) {
            data = *source;
            if (const auto converter = ImageConverter::converter()) {
                QByteArray changed;
                if (drawing) {
                    changed = converter->quarterTurnedJPEG(data, ImageConverter::kJPEGQuality);
                } else {
                    const int orientation = converter->orientation(data);
                    if (orientation == 3 || orientation == 6 || orientation == 8)
                        changed = converter->uprightJPEG(data, ImageConverter::kJPEGQuality);
                }
                if (!changed.isEmpty())
                    data = changed; // what nothing decodes stays as it came
            }
        }
        QSaveFile file(mFolder + output);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
            VarnekLog("Could not write note attachment %s", qUtf8Printable(output));
            return {};
        }
        // Without data the mark alone is renewed: an attachment missing from this backup
        // never replaces the picture cached from an earlier one.
        mController.addPieceToCache(data.isEmpty() ? QVariant() : QVariant(data), QString(), output, mSynctime, true);
        return output;
    }

    AppController &mController;
    sqlite3 *mDb;
    QString mFolder;
    qint64 mSynctime;
};

// Puts each link's title, linked to its URL, in place of the character at its position.
// Links come from the end of the text towards its start, so no replacement moves another.
void insertLinks(TypedAttributedString &text, const QList<Link> &links)
{
    for (const Link &link : links) {
        const QUrl url(link.url, QUrl::StrictMode);
        if (link.url.isEmpty() || !url.isValid() || link.position < 0 || link.position >= text.string.size())
            continue;
        QList<TypedAttributedString::Run> runs;
        for (const auto &run : std::as_const(text.runs)) {
            const qsizetype end = run.location + run.length;
            if (link.position < run.location || link.position >= end) {
                auto moved = run;
                if (run.location > link.position)
                    moved.location += link.title.size() - 1;
                runs.append(moved);
                continue;
            }
            if (link.position > run.location)
                runs.append({run.location, link.position - run.location, run.attributes});
            QVariantMap linked = run.attributes;
            linked.remove(QLatin1String(NoteAttributes::kAttachmentFile));
            linked.insert(QLatin1String(NoteAttributes::kLink), link.url);
            if (!link.title.isEmpty())
                runs.append({link.position, link.title.size(), linked});
            if (end > link.position + 1)
                runs.append({link.position + link.title.size(), end - link.position - 1, run.attributes});
        }
        text.string.replace(link.position, 1, link.title);
        text.runs = runs;
    }
}

QString attachmentAlt(bool is102)
{
    return is102 ? QStringLiteral("Note attachment unavailable.")
                 : QStringLiteral("Pick \"Reload Attachments\" from the Quillon menu at the top of the screen to "
                                  "reload missing image attachments.");
}

FRNoteInfoPtr record(const QString &id, const QDateTime &date, const QString &title, const QString &body,
                     const std::optional<QStringList> &attachments)
{
    QVariantMap info{{NoteKey::Title, title},
                     {NoteKey::Date, date},
                     {NoteKey::Summary, title},
                     {NoteKey::Body, body},
                     {NoteKey::NoteID, id},
                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}};
    if (attachments)
        info.insert(NoteKey::Attachments, *attachments);
    return FRNoteInfo::infoWithInfo(info);
}

} // namespace

QString NewestNotes::errorNoteText(bool newerHost)
{
    return newerHost ? QStringLiteral("Sorry, there was an error processing Notes.")
                     : QStringLiteral("Sorry, iOS 9 or newer Notes requires Mac OS X 10.11 or newer.");
}

NewestNotes::Result NewestNotes::read(AppController &controller, const QString &path, const QString &folder,
                                      qint64 synctime)
{
    Result result;
    VarnekLog("processNotesData9");
    DeviceDatabase database;
    if (const int rc = database.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing notes9 db file: (%d) %s", rc, qUtf8Printable(database.message()));
        return result;
    }
    sqlite3 *db = database.handle();

    {
        // The attachment pieces of the previous run lose their marks; this run marks again
        // every one it still uses, and the pruning afterwards drops the rest.
        std::lock_guard local(localLock);
        int error = 0;
        if (const ArchiveDBPtr archive = controller.getBackupDB(QString(), &error)) {
            const int rc = ArchiveSql::exec(archive->handle(), "DELETE FROM synctimes where uuid like \"%-NoteAttachment-%\";");
            if (rc != SQLITE_OK)
                VarnekLog("DELETE FROM synctimes Error %d %s", rc, ArchiveSql::message(archive->handle()));
        }
    }

    qint64 trash = 0;
    {
        SqlStatement select(db, "SELECT ROWID FROM ZICCLOUDSYNCINGOBJECT WHERE ZFOLDERTYPE=1 LIMIT 1");
        if (!select.ok())
            VarnekLog("SELECT trash Error %d %s", select.rc(), sqlite3_errmsg(db));
        else if (select.step() == SQLITE_ROW)
            trash = sqlite3_column_int64(select.get(), 0);
    }

    static const char *const queries[] = {
        "SELECT ZICCLOUDSYNCINGOBJECT.ROWID, ZICCLOUDSYNCINGOBJECT.ZMODIFICATIONDATE1, ZICCLOUDSYNCINGOBJECT.ZTITLE1, "
        "ZICNOTEDATA.ZDATA from ZICCLOUDSYNCINGOBJECT LEFT JOIN ZICNOTEDATA ON ZICCLOUDSYNCINGOBJECT.ZNOTEDATA = "
        "ZICNOTEDATA.ROWID WHERE ZFOLDER != ? ORDER BY ZMODIFICATIONDATE1 DESC",
        "SELECT ZICCLOUDSYNCINGOBJECT.ROWID, ZICCLOUDSYNCINGOBJECT.ZMODIFICATIONDATE1, ZICCLOUDSYNCINGOBJECT.ZTITLE1, "
        "ZICNOTEDATA.ZDATA from ZICCLOUDSYNCINGOBJECT LEFT JOIN ZICNOTEDATA ON ZICCLOUDSYNCINGOBJECT.ZNOTEDATA = "
        "ZICNOTEDATA.ROWID  LEFT JOIN Z_12NOTES ON ZICCLOUDSYNCINGOBJECT.ROWID = Z_12NOTES.Z_9NOTES WHERE "
        "Z_12FOLDERS!=? ORDER BY ZMODIFICATIONDATE1 DESC",
        "SELECT ZICCLOUDSYNCINGOBJECT.ROWID, ZICCLOUDSYNCINGOBJECT.ZMODIFICATIONDATE1, ZICCLOUDSYNCINGOBJECT.ZTITLE1, "
        "ZICNOTEDATA.ZDATA from ZICCLOUDSYNCINGOBJECT LEFT JOIN ZICNOTEDATA ON ZICCLOUDSYNCINGOBJECT.ZNOTEDATA = "
        "ZICNOTEDATA.ROWID  LEFT JOIN Z_11NOTES ON ZICCLOUDSYNCINGOBJECT.ROWID = Z_11NOTES.Z_8NOTES WHERE "
        "Z_11FOLDERS!=? ORDER BY ZMODIFICATIONDATE1 DESC",
    };
    SqlStatement notes;
    for (const char *sql : queries)
        if (notes.prepare(db, sql) == SQLITE_OK && notes.ok())
            break;
    if (!notes.ok()) {
        VarnekLog("SELECT ZNOTE Error %d %s", notes.rc(), sqlite3_errmsg(db));
        return result;
    }
    notes.bind(1, trash);
    int rc = notes.step();
    if (rc != SQLITE_ROW) {
        VarnekLog("No notes in this database");
        return result;
    }

    if (!gHasNotesFramework.load()) {
        VarnekLog("Bailing, no notes framework found. (10.11 or newer required.)");
        const QString text = errorNoteText(true);
        result.notes.append(record(QStringLiteral("1"), QDateTime::currentDateTimeUtc(), text, text, std::nullopt));
        result.count = 1;
        return result;
    }

    const QString alt = attachmentAlt(controller.is102());
    NoteRun run(controller, db, folder, synctime);
    int count = 0;
    for (; rc == SQLITE_ROW; rc = notes.step()) {
        sqlite3_stmt *row = notes.get();
        const QString id = ArchiveSql::text(row, 0);
        const QDateTime date = dateSince2001(sqlite3_column_double(row, 1));
        const QString title = dateKeyedTitle(ArchiveSql::text(row, 2));
        QString error;
        auto text = NoteDocument::decode(ArchiveSql::blob(row, 3), &error);
        QString body;
        QStringList attachments;
        if (text) {
            QList<Link> links;
            for (qsizetype i = text->runs.size() - 1; i >= 0; --i) {
                if (!text->runs[i].attributes.contains(QLatin1String(NoteAttributes::kAttachment)))
                    continue;
                if (!run.attachment(text->runs[i], &attachments, &links)) {
                    VarnekLog("got %ld notes", long(result.notes.size()));
                    return result; // the notes read so far stay; the count stays 0
                }
            }
            insertLinks(*text, links);
            body = NoteHTMLWriter::html(*text, alt);
        } else {
            // Still listed by its title, so the user sees the note exists.
            VarnekLog("Note %s has no readable body: %s", qUtf8Printable(id), qUtf8Printable(error));
        }
        result.notes.append(record(id, date, title, body, attachments));
        ++count;
    }
    if (rc != SQLITE_DONE)
        VarnekLog("SELECT ZNOTE step Error %d %s", rc, sqlite3_errmsg(db));
    result.count = count;
    controller.removeStaleCacheItems(synctime, true);
    return result;
}
