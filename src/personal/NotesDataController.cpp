#include "personal/NotesDataController.h"

#include "personal/NoteDownload.h"
#include "personal/NoteFiles.h"

#include "backup/BackupSessionFlags.h"
#include "device/AppController.h"
#include "extract/Notes.h"
#include "interfaces/HTMLTextConverter.h"
#include "interfaces/WindowInterface.h"
#include "platform/MainThread.h"
#include "platform/Paths.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <functional>
#include <thread>

// What the load and search threads share with the controller; they never touch the
// controller itself, whose results they hand to the main thread.
struct NotesDataController::Shared
{
    // Nonzero while a load runs: that load's own token, so only it clears the mark.
    std::atomic<quint64> loadToken{0};
    std::atomic<int> loadGeneration{0};
    quint64 nextToken = 0; // main thread
    // The newest search; an older one's result is dropped, and it stops at the next note.
    std::atomic<quint64> searchGeneration{0};
};

namespace {

// Ids of notes made here: -1, -2, ... in creation order, for the whole run.
std::atomic<qint64> gNextNewNoteId{-1};

QVariantMap rowOf(const FRNoteInfoPtr &note)
{
    return {{NotesDataController::kDateColumn, note->noteDate()},
            {NotesDataController::kTitleColumn, note->noteTitle()}};
}

QList<FRNoteInfoPtr> matching(const QList<FRNoteInfoPtr> &notes, const QString &text,
                              const std::function<bool()> &cancelled)
{
    QList<FRNoteInfoPtr> found;
    for (const FRNoteInfoPtr &note : notes) {
        if (cancelled())
            break;
        if (text.isEmpty() || note->matchesSearchFor(text))
            found.append(note);
    }
    return found;
}

} // namespace

NotesDataController::NotesDataController(AppController *controller, QObject *parent)
    : QObject(parent)
    , mController(controller)
    , mModel(new RecordTableModel({{kDateColumn, QCoreApplication::translate("Notes", "Date")},
                                   {kTitleColumn, QCoreApplication::translate("Notes", "Note")}},
                                  this))
    , mShared(std::make_shared<Shared>())
{
}

NotesDataController::~NotesDataController()
{
    mShared->searchGeneration.fetch_add(1); // a running search stops at its next note
}

bool NotesDataController::hasData() const
{
    return mNotes.has_value() && mController && mController->hasNotesDataAlready();
}

int NotesDataController::numNotes() const
{
    return gNumNotes.load();
}

void NotesDataController::refreshNotes()
{
    if (!mController)
        return;
    const int generation = mController->deviceInstance();
    if (mShared->loadToken.load() != 0 && mShared->loadGeneration.load() == generation) {
        if (mWindow && mWindow->isNotesMode())
            spinnerAfterDelay();
        return;
    }
    mShownError = false;
    mNotes.reset();
    showListing({});
    if (!mController->deviceConnected()) {
        flush();
        return;
    }
    startLoad(generation);
    if (mWindow && mWindow->isNotesMode())
        spinnerAfterDelay();
}

void NotesDataController::spinnerAfterDelay()
{
    MainThread::performAfterDelay(
        50,
        [this] {
            if (mWindow && mShared->loadToken.load() != 0)
                mWindow->doNotesSpinner(true);
        },
        this);
}

void NotesDataController::startLoad(int generation)
{
    const quint64 token = ++mShared->nextToken;
    mShared->loadGeneration.store(generation);
    mShared->loadToken.store(token);
    QPointer<NotesDataController> self(this);
    std::shared_ptr<Shared> shared = mShared;
    AppController *controller = mController;
    std::thread([self, shared, controller, generation, token] {
        int error = 0;
        const RecordSnapshot<FRNoteInfo> notes = Notes::doGetNotes(*controller, &error);
        quint64 mine = token;
        shared->loadToken.compare_exchange_strong(mine, 0); // a newer load keeps its mark
        if (generation != controller->deviceInstance())
            return; // the device went away: nothing changes on screen
        MainThread::performOnMainThread([self, generation, notes, error] {
            if (self)
                self->loadFinished(generation, notes, error);
        });
        const QString device = controller->connectedDeviceID();
        if (!device.isEmpty() && device != QLatin1String(".") && device != QLatin1String("..")
            && !device.contains(QLatin1Char('/')))
            QDir(getTempDir() + device).removeRecursively();
    }).detach();
}

void NotesDataController::loadFinished(int generation, const std::shared_ptr<const QList<FRNoteInfoPtr>> &notes,
                                       int error)
{
    if (!mController || generation != mController->deviceInstance())
        return;
    mNotesError = error;
    if (notes)
        mNotes = *notes;
    else
        mNotes.reset();
    updateNoteTable(std::nullopt);
}

void NotesDataController::flush()
{
    mNotes.reset();
    mShared->searchGeneration.fetch_add(1);
    mSearching = false;
    showListing({});
    emit rowsSelected({}, -1);
    if (mWindow)
        mWindow->updateStatus();
}

void NotesDataController::sortList(QList<FRNoteInfoPtr> &notes) const
{
    const bool ascending = mSortOrder == Qt::AscendingOrder;
    if (mSortColumn == kTitleColumn) {
        std::stable_sort(notes.begin(), notes.end(), [ascending](const FRNoteInfoPtr &a, const FRNoteInfoPtr &b) {
            const int c = QString::localeAwareCompare(a->noteTitleSort(), b->noteTitleSort());
            return ascending ? c < 0 : c > 0;
        });
        return;
    }
    // By date, ties by note id, both in the same direction.
    std::stable_sort(notes.begin(), notes.end(), [ascending](const FRNoteInfoPtr &a, const FRNoteInfoPtr &b) {
        const auto left = std::make_pair(a->noteDateValueSort(), a->keyStringSort());
        const auto right = std::make_pair(b->noteDateValueSort(), b->keyStringSort());
        return ascending ? left < right : right < left;
    });
}

void NotesDataController::showListing(QList<FRNoteInfoPtr> listing)
{
    sortList(listing);
    mDisplayed = listing;
    QList<QVariantMap> rows;
    rows.reserve(listing.size());
    for (const FRNoteInfoPtr &note : std::as_const(listing))
        rows.append(rowOf(note));
    mModel->setRows(rows);
    mSelectedRows.clear();
}

void NotesDataController::updateNoteTable(const std::optional<QList<FRNoteInfoPtr>> &select)
{
    if (!mController || !mController->deviceConnected())
        return;
    if (!mNotes && mNotesError != 0 && !mShownError && mWindow) {
        mShownError = true;
        mWindow->displayDownloadError(mNotesError);
    }
    const QList<FRNoteInfoPtr> all = mNotes.value_or(QList<FRNoteInfoPtr>());
    if (mCurrentSearchString.isEmpty()) {
        showListing(all);
    } else {
        // The search the user typed stays: the new list is searched again, off this thread.
        showListing({});
        const QString text = mCurrentSearchString;
        mCurrentSearchString.clear();
        beginSearch(text);
    }
    if (mShared->loadToken.load() == 0 && mWindow)
        mWindow->doNotesSpinner(false);

    QList<int> rows;
    int scrollTo = -1;
    if (select) {
        for (int i = 0; i < mDisplayed.size(); ++i)
            for (const FRNoteInfoPtr &note : *select)
                if (mDisplayed[i]->noteId() == note->noteId()) {
                    rows.append(i);
                    break;
                }
        if (!rows.isEmpty())
            scrollTo = rows.first();
    } else if (!mDisplayed.isEmpty()) {
        // The newest note.
        QList<FRNoteInfoPtr> byDate = mDisplayed;
        std::stable_sort(byDate.begin(), byDate.end(), [](const FRNoteInfoPtr &a, const FRNoteInfoPtr &b) {
            return std::make_pair(b->noteDateValueSort(), b->keyStringSort())
                   < std::make_pair(a->noteDateValueSort(), a->keyStringSort());
        });
        rows.append(int(mDisplayed.indexOf(byDate.first())));
        scrollTo = rows.first();
    }
    emit rowsSelected(rows, scrollTo);
    setSelectedRows(rows);
    if (mWindow) {
        mWindow->updateStatus();
        mWindow->updateToolbar();
    }
}

void NotesDataController::sortBy(const QString &column, Qt::SortOrder order)
{
    mSortColumn = column == kTitleColumn ? kTitleColumn : kDateColumn;
    mSortOrder = order;
    showListing(mDisplayed);
    emit rowsSelected({}, -1);
    setSelectedRows({});
}

void NotesDataController::beginSearch(const QString &text)
{
    if (mSearching)
        return;
    mCurrentSearchString = text;
    const QList<FRNoteInfoPtr> all = mNotes.value_or(QList<FRNoteInfoPtr>());
    if (text.isEmpty()) {
        mShared->searchGeneration.fetch_add(1);
        showListing(all);
        emit rowsSelected({}, -1);
        return;
    }
    mSearching = true;
    const quint64 generation = mShared->searchGeneration.fetch_add(1) + 1;
    QPointer<NotesDataController> self(this);
    std::shared_ptr<Shared> shared = mShared;
    std::thread([self, shared, all, text, generation] {
        // The search texts are made here, once per note, never on the main thread.
        QList<FRNoteInfoPtr> found =
            matching(all, text, [&] { return shared->searchGeneration.load() != generation; });
        MainThread::performOnMainThread([self, shared, found, generation] {
            if (!self || shared->searchGeneration.load() != generation)
                return;
            self->mSearching = false;
            self->showListing(found);
            emit self->rowsSelected({}, -1);
        });
    }).detach();
}

void NotesDataController::cancelFindString()
{
    mSearching = false;
    mCurrentSearchString.clear();
    mShared->searchGeneration.fetch_add(1);
}

void NotesDataController::setSelectedRows(const QList<int> &rows)
{
    mSelectedRows.clear();
    for (int row : rows)
        if (row >= 0 && row < mDisplayed.size())
            mSelectedRows.append(row);
    std::sort(mSelectedRows.begin(), mSelectedRows.end());
    if (mWindow)
        mWindow->setNoteText(mSelectedRows.size() == 1 ? mDisplayed[mSelectedRows.first()].get() : nullptr);
}

QList<FRNoteInfoPtr> NotesDataController::getSelectedNotes() const
{
    QList<FRNoteInfoPtr> notes;
    for (int row : mSelectedRows)
        if (row < mDisplayed.size())
            notes.append(mDisplayed[row]);
    return notes;
}

QList<FRNoteInfoPtr> NotesDataController::objectsForPrinting() const
{
    if (preferenceBool(QStringLiteral("PRINT_SELECTION")) && !mSelectedRows.isEmpty())
        return getSelectedNotes();
    return mDisplayed;
}

int NotesDataController::numberOfNotesWithMediaItems(const QList<FRNoteInfoPtr> &notes)
{
    return int(std::count_if(notes.cbegin(), notes.cend(), [](const FRNoteInfoPtr &n) { return n->hasAttachments(); }));
}

QList<QVariantMap> NotesDataController::dragItems() const
{
    QList<QVariantMap> items;
    for (const FRNoteInfoPtr &note : mPathsToSave)
        items.append(note->info());
    return items;
}

NotesDataController::DragContents NotesDataController::writeRows(const QList<int> &rows)
{
    mPathsToSave.clear();
    QList<int> sorted = rows;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    QString text;
    bool plain = false;
    for (int row : std::as_const(sorted)) {
        if (row < 0 || row >= mDisplayed.size())
            continue;
        const FRNoteInfoPtr note = FRNoteInfo::copyNote(*mDisplayed[row]);
        note->makeUniqueFileName(mPathsToSave);
        if (!mPathsToSave.isEmpty())
            text += QStringLiteral("\n\n");
        mPathsToSave.append(note);
        // Rich text is what a note's body renders to; a note saved as HTML or plain text
        // gives its text only, and then the whole drag is plain.
        const QString extension = QFileInfo(note->uniqueFileName()).suffix().toLower();
        if (extension == QLatin1String("html") || extension == QLatin1String("htm")
            || !FRNoteInfo::stringLooksLikeHTML(note->rawNoteBody()))
            plain = true;
        text += note->noteBodyText();
    }
    DragContents contents;
    contents.text = text;
    if (!plain && !mPathsToSave.isEmpty()) {
        // The notes' own styles stay apart: each rich note is written as its own paragraphs.
        QString html;
        for (const FRNoteInfoPtr &note : std::as_const(mPathsToSave)) {
            QString body = note->rawNoteBody();
            body.remove(NoteKey::HTMLMarker);
            // A whole document gives what its body holds, so the notes follow one another.
            static const QRegularExpression inner(QStringLiteral("<body[^>]*>(.*)</body>"),
                                                  QRegularExpression::CaseInsensitiveOption
                                                      | QRegularExpression::DotMatchesEverythingOption);
            if (const QRegularExpressionMatch match = inner.match(body); match.hasMatch())
                body = match.captured(1);
            html += (html.isEmpty() ? QString() : QStringLiteral("<br><br>")) + body;
        }
        contents.rtf = HTMLTextConverter::converter()->rtfFromHTML(html);
    }
    for (const FRNoteInfoPtr &note : std::as_const(mPathsToSave))
        contents.promisedFiles.append(note->uniqueFileName());
    return contents;
}

QStringList NotesDataController::namesOfPromisedFilesDroppedAtDestination(const QString &folder)
{
    // The drop waits for its files and the notes are here already: written at once, not by
    // the window's export engine, which copies on its worker after the drop has ended.
    return NoteFiles::write(mPathsToSave, folder, true);
}

void NotesDataController::notesDoubleClick()
{
    if (mSelectedRows.isEmpty() || !mWindow)
        return;
    const QList<FRNoteInfoPtr> notes = getSelectedNotes();
    if (notes.size() == 1 && !gDontAllowRestoreOn40.load()) {
        mWindow->editNote(notes.first());
        return;
    }
    mWindow->setSendToEditor();
    QString deviceClass = mController ? mController->deviceClass() : QString();
    deviceClass.replace(QLatin1Char('/'), QLatin1Char('_'));
    // The documents folder, as the desktop names it (XDG_DOCUMENTS_DIR).
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString folder = documents + QLatin1Char('/')
                           + QCoreApplication::translate("Notes", "Notes From %1").arg(deviceClass);
    QDir().mkpath(folder);
    if (!QFileInfo(folder).isDir()) {
        VarnekLog("Couldn't create folder at %s", qUtf8Printable(folder));
        return;
    }
    mWindow->downloadFiles(NoteDownload::itemsFor(notes), folder, true, true);
}

FRNoteInfoPtr NotesDataController::createNewNote(const QString &text, bool isHtml, const QString &givenTitle)
{
    QString body = text.trimmed();
    // The first line: at most 49 characters, cut before the first line break.
    const qsizetype breakAt = body.indexOf(QRegularExpression(QStringLiteral("[\\r\\n]")));
    const qsizetype lineEnd = std::min<qsizetype>(breakAt < 0 ? body.size() : breakAt, 49);
    QString title = body.left(lineEnd);
    qsizetype restAt = lineEnd;
    if (breakAt >= 0 && breakAt == lineEnd) // one separator; "\r\n" is one
        restAt += body.mid(breakAt, 2) == QLatin1String("\r\n") ? 2 : 1;
    const QString summary = body.mid(restAt).left(50);

    if (isHtml) {
        const qsizetype open = body.indexOf(QLatin1String("<TITLE>"), 0, Qt::CaseInsensitive);
        const qsizetype close = open < 0 ? -1 : body.indexOf(QLatin1String("</TITLE>"), open + 7, Qt::CaseInsensitive);
        if (close >= 0)
            title = body.mid(open + 7, close - open - 7).left(50);
    } else {
        body.replace(QLatin1Char('&'), QLatin1String("&amp;"));
        body.replace(QLatin1Char('<'), QLatin1String("&lt;"));
        body.replace(QLatin1Char('>'), QLatin1String("&gt;"));
        body = QStringLiteral("<div>") + body + QStringLiteral("</div>");
        body.replace(QLatin1Char('\t'), QStringLiteral("     "));
        const QString blank = QStringLiteral("</div><div><br class=\"webkit-block-placeholder\"></div><div>");
        for (const char *pair : {"\n\n", "\r\r", "\r\n\r\n"})
            body.replace(QLatin1String(pair), blank);
        const QString next = QStringLiteral("</div><div>");
        for (const char *single : {"\r\n", "\r", "\n"})
            body.replace(QLatin1String(single), next);
    }
    if (!givenTitle.isNull())
        title = givenTitle.left(50);
    title.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    title.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    title.replace(QLatin1Char('\n'), QLatin1Char(' '));

    const qint64 id = gNextNewNoteId.fetch_sub(1);
    return FRNoteInfo::infoWithInfo({{NoteKey::Title, title},
                                     {NoteKey::Date, QDateTime::currentDateTimeUtc()},
                                     {NoteKey::Summary, summary},
                                     {NoteKey::Body, body},
                                     {NoteKey::NoteID, QString::number(id)},
                                     {NoteKey::UniqueFileName, FRNoteInfo::fixFileName(title, body)}});
}

void NotesDataController::publishEdits()
{
    if (mController && mNotes)
        Notes::replaceNotes(*mNotes);
}

void NotesDataController::addNote(const FRNoteInfoPtr &note)
{
    if (!note)
        return;
    if (!mNotes)
        mNotes = QList<FRNoteInfoPtr>();
    mNotes->append(note);
    publishEdits();
}

void NotesDataController::updateNote(const FRNoteInfoPtr &note)
{
    if (!note || !mNotes)
        return;
    for (qsizetype i = mNotes->size() - 1; i >= 0; --i)
        if ((*mNotes)[i]->noteId() == note->noteId()) {
            mNotes->removeAt(i);
            break;
        }
    mNotes->append(note);
    publishEdits();
    updateNoteTable(QList<FRNoteInfoPtr>{note});
}

void NotesDataController::deleteNotes(const QList<FRNoteInfoPtr> &notes)
{
    if (!mNotes)
        return;
    for (const FRNoteInfoPtr &gone : notes)
        for (qsizetype i = mNotes->size() - 1; i >= 0; --i)
            if ((*mNotes)[i]->noteId() == gone->noteId())
                mNotes->removeAt(i);
    publishEdits();
    updateNoteTable(QList<FRNoteInfoPtr>{});
}

void NotesDataController::updateNoteId(qint64 oldId, qint64 newId)
{
    if (!mNotes)
        return;
    for (const FRNoteInfoPtr &note : std::as_const(*mNotes))
        if (note->noteId() == oldId)
            note->saveNoteId(newId);
}

bool NotesDataController::acceptedType(const QString &extension)
{
    static const QStringList accepted = {"txt", "rtf", "rtfd", "htm", "eml", "html", "doc", "docx", "textclipping", "pdf"};
    return accepted.contains(extension.toLower());
}

bool NotesDataController::acceptFiles(const QStringList &paths) const
{
    if (paths.isEmpty())
        return false;
    bool accepted = false;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        if (acceptedType(info.suffix()))
            accepted = true;
        if (info.isDir() && info.suffix().compare(QLatin1String("rtfd"), Qt::CaseInsensitive) != 0)
            return false;
        if (!accepted && mWindow)
            accepted = mWindow->checkForFileType(path);
    }
    return accepted;
}

bool NotesDataController::acceptFilesTypes(const QStringList &types) const
{
    return std::any_of(types.cbegin(), types.cend(), [](const QString &type) { return acceptedType(type); });
}
