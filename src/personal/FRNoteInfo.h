#pragma once
// One note of the notes list: a thin record over the note dictionary ("Note ID", "Title",
// "Date", "Summary", "Body", "attachments", "Unique File Name", "Final File Name"), with its
// column values and sort keys, its body as HTML, rich text or plain text, its file names
// for saving and dragging, its search text, and the edits made here.
//
// The rich text of an HTML body and the search text are made once, on the thread that
// first asks, through the installed HTML converter (interfaces/HTMLTextConverter.h): no
// record waits for the main thread, and what one record renders is kept by that record alone.
//
// Ownership: shared. Threads: made on the notes load thread or the main thread, read on the
// main, load and search threads; the dictionary and what is made from it are guarded by
// the record's lock, which is never held while rendering.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <mutex>

class FRNoteInfo;
using FRNoteInfoPtr = std::shared_ptr<FRNoteInfo>;

namespace NoteKey {
inline const QString NoteID = QStringLiteral("Note ID");
inline const QString Title = QStringLiteral("Title");
inline const QString Date = QStringLiteral("Date");
inline const QString Summary = QStringLiteral("Summary");
inline const QString Body = QStringLiteral("Body");
inline const QString Attachments = QStringLiteral("attachments");
inline const QString UniqueFileName = QStringLiteral("Unique File Name");
inline const QString FinalFileName = QStringLiteral("Final File Name");
// Marks HTML made here, which is saved as ".html" rather than as rendered rich text.
inline const QString HTMLMarker = QStringLiteral("<MPhtmlnote/>");
} // namespace NoteKey

class FRNoteInfo
{
public:
    // A body as one of the list's file forms: rich text (RTF data beside its plain text) or a
    // string (HTML to save as ".html", or plain text).
    struct BodyData
    {
        bool rich = false;
        QString text;
        QByteArray rtf; // rich only
    };

    explicit FRNoteInfo(const QVariantMap &info) : mInfo(info) {}
    static FRNoteInfoPtr infoWithInfo(const QVariantMap &info) { return std::make_shared<FRNoteInfo>(info); }
    // A record over a copy of `other`'s dictionary, to edit without touching the listed one.
    static FRNoteInfoPtr copyNote(const FRNoteInfo &other) { return infoWithInfo(other.info()); }

    static bool stringLooksLikeHTML(const QString &text);
    // The file name of a note: the title cut to 50 characters, "/" and ":" made "_", line
    // breaks made blanks, other control characters dropped; then "html" for a body marked
    // as made here, "rtf" for other HTML and "txt" for plain text. "" for an empty title.
    static QString fixFileName(const QString &title, const QString &body);

    QVariantMap info() const;
    QVariant keyOrBlank(const QString &key) const; // or "Unknown"

    QString keyString() const { return keyOrBlank(NoteKey::NoteID).toString(); }
    int noteId() const;
    int keyStringSort() const { return noteId(); }
    bool unsyncedNote() const { return noteId() < 0; }
    QString noteTitle() const { return keyOrBlank(NoteKey::Title).toString(); }
    QString noteTitleSort() const { return noteTitle(); }
    QString summary() const { return keyOrBlank(NoteKey::Summary).toString(); }
    QStringList attachments() const;
    bool hasAttachments() const { return !attachments().isEmpty(); }
    QString rawNoteBody() const { return keyOrBlank(NoteKey::Body).toString(); }
    QDateTime noteNSDate() const;        // now when missing
    double noteDateValueSort() const;    // seconds since 1970
    QString noteDate() const;            // medium date, short time
    bool isEqualTo(const FRNoteInfo &other) const { return keyString() == other.keyString(); }

    BodyData noteBody() const { return noteBodyGetData(true); }
    QString noteBodyText() const { return noteBodyGetData(false).text; }
    BodyData noteBodyGetData(bool html) const;

    QString makeFileName() const { return uniqueFileName(); }
    QString uniqueFileName() const { return keyOrBlank(NoteKey::UniqueFileName).toString(); }
    QString finalFileName() const { return keyOrBlank(NoteKey::FinalFileName).toString(); }
    QString setFinalFileName(const QString &name);
    void setUniqueFileName(const QString &name);
    // Makes this record's file name differ, case-insensitively, from those of `placed`
    // ("-N" before the extension, N from 1).
    void makeUniqueFileName(const QList<FRNoteInfoPtr> &placed);

    // An edit made here: new body and title (an empty title saves as "Untitled"), the file
    // name made again, the date now; the rendered body and search text are made anew.
    void saveNoteChanges(const QString &body, const QString &title);
    void saveNoteId(qint64 id);

    // Case- and compatibility-insensitive search in the title and the body's text; an
    // empty text never matches. The search text is made once, on the calling thread.
    bool matchesSearchFor(const QString &text) const;

private:
    QVariant value(const QString &key) const;
    QString searchBlob() const;

    mutable std::mutex mLock;
    QVariantMap mInfo;                          // mLock
    mutable std::shared_ptr<const BodyData> mData; // mLock; the rendered HTML body
    mutable QString mSearchBlob;                // mLock; null until made
    quint64 mEdits = 0;                         // mLock; a render or search text made from an
                                                // older body is dropped
};
