// The window's mode: which kind of content it shows, its view, toolbar set and list
// controller, the mode switch, the data refresh, the search routing, the sidebar spinners
// and the window interface's mode tests.
//
// One table (kModes) says everything per mode; the atomic mWindowMode is its cached answer,
// which every routing decision reads (transfer and free-space threads read it too).

#include "FRWindow.h"

#include "LNSSourceListView.h"
#include "window/ICDragDropBrowser.h"
#include "device/AppController.h"
#include "interfaces/ListControllerInterface.h"
#include "shell/VarnekLogger.h"

#include <QItemSelectionModel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>

namespace {

using Mode = DeviceFilesWindow::Mode;

struct ModeRow
{
    const char *name;
    Mode mode;
    const char *noun; // the item noun of the status line
    bool playable;
    bool watchable;
    const char *view; // object name of the mode's view
};

constexpr ModeRow kModes[] = {
    {"SMS", Mode::Messages, "", false, false, "smsView"},
    {"VOICEMAIL", Mode::Voicemail, "Voicemail", true, false, "voicemailBrowser"},
    {"LOG", Mode::Calls, "", false, false, "callBrowser"},
    {"CONTACTS", Mode::Contacts, "", false, false, "addressBrowser"},
    {"NOTES", Mode::Notes, "", false, false, "noteView"},
    {"WEB", Mode::Bookmarks, "", false, false, "bookmarkBrowser"},
    {"FILESHARING", Mode::FileSharing, "Apps", false, false, "fsBrowserView"},
    {"FILE", Mode::Files, "", false, false, "fsBrowserView"},
    {"MUSIC", Mode::Music, "Track", true, false, "musicBrowser"},
    {"VIDEO", Mode::Music, "Video", false, true, "musicBrowser"},
    {"AUDIOBOOK", Mode::Music, "Book", false, false, "musicBrowser"},
    {"PODCAST", Mode::Music, "Podcast", true, false, "musicBrowser"},
    {"RINGTONE", Mode::Music, "Ringtone", true, false, "musicBrowser"},
    {"PHOTOS", Mode::Photos, "", false, false, "photoBrowser"},
    {"RECORDINGS", Mode::VoiceMemos, "", true, false, "recordingsBrowser"},
    {"MUSICVIDEO", Mode::Music, "Music Video", false, true, "musicBrowser"},
    {"MOVIES", Mode::Music, "Movie", false, true, "musicBrowser"},
    {"TVSHOW", Mode::Music, "TV Show", false, true, "musicBrowser"},
};

const ModeRow *rowOf(const QString &mode)
{
    for (const ModeRow &row : kModes) {
        if (mode == QLatin1String(row.name))
            return &row;
    }
    return nullptr;
}

} // namespace

// --- Mode tests -------------------------------------------------------------------------------

bool FRWindow::isFileMode() const { return mCurrentMode == QLatin1String("FILE"); }
bool FRWindow::isFileSharingMode() const { return mCurrentMode == QLatin1String("FILESHARING"); }
bool FRWindow::isRecordingsMode() const { return mCurrentMode == QLatin1String("RECORDINGS"); }
bool FRWindow::isSMSMode() const { return mCurrentMode == QLatin1String("SMS"); }
bool FRWindow::isCallMode() const { return mCurrentMode == QLatin1String("LOG"); }
bool FRWindow::isNotesMode() const { return mCurrentMode == QLatin1String("NOTES"); }
bool FRWindow::isAddressMode() const { return mCurrentMode == QLatin1String("CONTACTS"); }
bool FRWindow::isBookmarkMode() const { return mCurrentMode == QLatin1String("WEB"); }
bool FRWindow::isPhotoMode() const { return mCurrentMode == QLatin1String("PHOTOS"); }
bool FRWindow::isVoicemailMode() const { return mCurrentMode == QLatin1String("VOICEMAIL"); }

bool FRWindow::isMusicMode() const
{
    const ModeRow *row = rowOf(mCurrentMode);
    return row && row->mode == Mode::Music;
}

bool FRWindow::isPlayableMusicMode() const
{
    const ModeRow *row = rowOf(mCurrentMode);
    return row && row->playable;
}

bool FRWindow::isWatchableMode() const
{
    const ModeRow *row = rowOf(mCurrentMode);
    return row && row->watchable;
}

QString FRWindow::subModeName() const
{
    const ModeRow *row = rowOf(mCurrentMode);
    return row ? QString::fromLatin1(row->noun) : QString();
}

ListControllerInterface *FRWindow::controllerForCurrentMode() const
{
    switch (mWindowMode.load()) {
    case Mode::Music:
    case Mode::VoiceMemos:
    case Mode::Voicemail:
        return itunesController;
    case Mode::Photos:
        return iphotoController;
    case Mode::Notes:
        return notesController;
    case Mode::Messages:
        return smsController;
    case Mode::Calls:
        return callController;
    case Mode::Contacts:
        return addressController;
    case Mode::Bookmarks:
        return bookmarkController;
    case Mode::Files:
    case Mode::FileSharing:
    case Mode::Other:
        break;
    }
    return nullptr;
}

QWidget *FRWindow::currentModeView() const
{
    return mModeViews ? mModeViews->currentWidget() : nullptr;
}

void FRWindow::showModeView()
{
    const ModeRow *row = rowOf(mCurrentMode);
    QWidget *view = row ? modeView(QString::fromLatin1(row->view)) : nullptr;
    if (view && mModeViews)
        mModeViews->setCurrentWidget(view);
}

// --- The mode switch and the data refresh --------------------------------------------------------

void FRWindow::changeModes()
{
    if (mDevice)
        mDevice->showMessage(true);
    clearFindString();
    // Transfer and free-space threads read the mode; they see the new one from here on.
    const ModeRow *row = rowOf(mCurrentMode);
    mWindowMode.store(row ? row->mode : Mode::Other);
    // A selection left in the browser would be acted on in the new mode.
    if (fsBrowser && fsBrowser->selectionModel())
        fsBrowser->selectionModel()->clearSelection();
    showModeView();

    // The container of the app last chosen is closed; the app list, which comes with the file
    // browser, opens the chosen app's container when Apps mode shows it.
    if (mDevice && mDevice->connectedStatus())
        mDevice->disconnectFromApp();

    // Lists that already hold the current device's data are not loaded again.
    auto has = [](const ListControllerInterface *c) { return c && c->hasData(); };
    bool loaded = false;
    switch (mWindowMode.load()) {
    case Mode::Notes:
        loaded = has(notesController);
        break;
    case Mode::Bookmarks:
        loaded = has(bookmarkController);
        break;
    case Mode::Calls:
        loaded = has(callController) && has(addressController);
        break;
    case Mode::Messages:
        loaded = has(smsController) && has(addressController);
        break;
    case Mode::Contacts:
        loaded = has(addressController);
        break;
    default:
        break;
    }
    if (!loaded)
        refreshThings();

    // The apply button of the edit queue and the playback buttons come with those features.
    if (isPlayableMusicMode())
        updatePlaybackUI();

    updateToolbar();
    setupSplitViews();
    updateStatus();
    // The one-time notice of Apps mode comes with the settings questions.
}

void FRWindow::refreshThings()
{
    if (!mDevice || !mDevice->connectedStatus())
        return;
    // A sheet the user cancelled for an earlier load does not hold back this one.
    mDevice->clearBackupCancel();
    const Mode mode = mWindowMode.load();
    auto missing = [](const ListControllerInterface *c) { return c && !c->hasData(); };
    switch (mode) {
    case Mode::Music:
    case Mode::VoiceMemos:
    case Mode::Voicemail:
        if (mode == Mode::Voicemail && missing(addressController))
            addressController->refreshAddresses();
        if (itunesController)
            itunesController->refreshTracks(mCurrentMode, true);
        if (missing(smsController))
            smsController->refreshSMS(true);
        break;
    case Mode::Photos:
        // The photo list loads on the window's photo thread, which comes with the photo list.
        break;
    case Mode::Notes:
        if (notesController)
            notesController->refreshNotes();
        break;
    case Mode::Contacts:
        if (addressController)
            addressController->refreshAddresses();
        break;
    case Mode::Bookmarks:
        if (bookmarkController)
            bookmarkController->refreshBookmarks();
        break;
    case Mode::Files:
    case Mode::FileSharing:
        // Apps mode lists the container of the app chosen in the app list, which comes with
        // the app list itself.
        if (mode == Mode::Files)
            mDevice->refreshDirectories();
        break;
    case Mode::Calls:
        if (missing(addressController))
            addressController->refreshAddresses();
        if (callController)
            callController->refreshCalls(true);
        break;
    case Mode::Messages:
        // A device that can hold iMessages has its messages loaded here only once its
        // archive exists.
        if (mDevice->currentDeviceArchiveExists() ||
            (mDevice->deviceClass() != QLatin1String("iPhone") && !mDevice->hasiMessageCapability())) {
            if (missing(addressController))
                addressController->refreshAddresses();
            if (smsController)
                smsController->refreshSMS(true);
            if (missing(itunesController))
                itunesController->refreshTracks(QStringLiteral("VOICEMAIL"), false);
        }
        break;
    case Mode::Other:
        break;
    }
    // The user has asked for the device's data: a locked backup may now ask for its password.
    mDevice->userInteractedWithBackupMode();
    updateStatus();
}

void FRWindow::updateStatus()
{
    if (mDevice)
        mDevice->updateStatusMessage();
}

// --- Search -----------------------------------------------------------------------------------------

void FRWindow::doSearch()
{
    const QString text = mSearchField ? mSearchField->text() : QString();
    if (isFinding())
        cancelFindString();
    mCurrentSearchController = controllerForCurrentMode();
    if (mCurrentSearchController)
        beginSearch(text);
}

void FRWindow::beginSearch(const QString &text)
{
    if (mCurrentSearchController)
        mCurrentSearchController->beginSearch(text);
}

bool FRWindow::isFinding() const
{
    return mCurrentSearchController && mCurrentSearchController->isFinding();
}

void FRWindow::cancelFindString()
{
    if (mCurrentSearchController)
        mCurrentSearchController->cancelFindString();
}

void FRWindow::clearFindString()
{
    cancelFindString();
    // The unfiltered list comes back.
    if (mCurrentSearchController)
        mCurrentSearchController->beginSearch(QString());
    mCurrentSearchController = nullptr;
    if (mSearchField) {
        const QSignalBlocker quiet(mSearchField);
        mSearchField->clear();
    }
}

// --- Sidebar spinners -------------------------------------------------------------------------------

void FRWindow::spinner(bool on, const QString &rowMode)
{
    if (!mSourceList)
        return;
    if (on) {
        // Spinners live in the Data group's rows: hidden while it is collapsed, and pointless
        // while only the strip shows.
        if (!mSourceList->isDataGroupExpanded() || !mOpened)
            return;
        mSourceList->setSpinning(rowMode, true);
        setBackupProgressValue(-1.0);
        return;
    }
    mSourceList->setSpinning(rowMode, false);
    if (mBackupProgress)
        mBackupProgress->hide();
    mProgressValue.store(0);
    if (mProgressTimer) {
        mProgressTimer->stop();
        mProgressTimer->deleteLater();
        mProgressTimer = nullptr;
    }
    mProgressTimerRunning.store(false);
}

bool FRWindow::spinnerShown(const QString &rowMode) const
{
    return mSourceList && mSourceList->isSpinning(rowMode);
}

void FRWindow::hideAllSpinners()
{
    for (const char *row : {"SMS", "LOG", "NOTES", "CONTACTS", "WEB", "VOICEMAIL"})
        spinner(false, QString::fromLatin1(row));
}

void FRWindow::setSpinnerOfKind(bool on, const QString &rowMode)
{
    // The one-time notice before the first backup comes with the settings questions, and the
    // end of the wait for a restarting device with the edit queue.
    spinner(on, rowMode);
}

void FRWindow::doSMSSpinner(bool on) { setSpinnerOfKind(on, QStringLiteral("SMS")); }
void FRWindow::doCallSpinner(bool on) { setSpinnerOfKind(on, QStringLiteral("LOG")); }
void FRWindow::doNotesSpinner(bool on) { setSpinnerOfKind(on, QStringLiteral("NOTES")); }
void FRWindow::doAddressSpinner(bool on) { setSpinnerOfKind(on, QStringLiteral("CONTACTS")); }

void FRWindow::doBookmarkSpinner(bool on)
{
    // Devices without a Web row of their own show bookmark loads on the Call Log row.
    const bool ownRow = !mDevice || mDevice->deviceClass() == QLatin1String("iPhone") || mDevice->hasiMessageCapability();
    setSpinnerOfKind(on, ownRow ? QStringLiteral("WEB") : QStringLiteral("LOG"));
}

void FRWindow::doVoicemailSpinner(bool on)
{
    if (on && mDevice && !mDevice->hasVoicemailCapability())
        return;
    setSpinnerOfKind(on, QStringLiteral("VOICEMAIL"));
}

// --- Rest of the window interface ----------------------------------------------------------------------

void FRWindow::updateSMSArchive()
{
    if (smsArchive && mDevice)
        QMetaObject::invokeMethod(smsArchive, "refreshIfNeeded", Q_ARG(QString, mDevice->connectedDeviceID()));
}

void FRWindow::updateCallArchive()
{
    if (callArchive && mDevice)
        QMetaObject::invokeMethod(callArchive, "refreshIfNeeded", Q_ARG(QString, mDevice->connectedDeviceID()));
}

void FRWindow::updateVoicemailArchive()
{
    if (voicemailArchive && mDevice)
        QMetaObject::invokeMethod(voicemailArchive, "refreshIfNeeded", Q_ARG(QString, mDevice->connectedDeviceID()));
}

void FRWindow::updatePlaybackUI()
{
    // The play button comes with media playback; the media table redraws itself.
}

void FRWindow::displayDownloadError(int code)
{
    reportError(tr("Error Loading Data"),
                tr("An error occurred while loading data from your device. Please try again or contact customer "
                   "support for help."),
                code);
}
