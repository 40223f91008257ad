#pragma once
// The main window. It starts in three stages: load() when the program starts (system flags
// and the logger, before anything else logs), awakeFromNib() once the main interface exists
// (start-up preference values, the collapsed strip, then finishLaunching, which resolves the
// archive folder and starts the device layer), and the quit handler appWillTerminate(),
// which closes the device layer and deletes the per-run temporary folder.
//
// The window is collapsed to a 45-point strip while no device is shown and expands to the
// remembered height ("OPENEDHEIGHT7", 414 when never stored) when one is. The strip holds
// the status line: a coloured dot and the text the device controller composes.
//
// Device state: the controller reports every status change with setupDevice(), which
// expands the window for a usable device and collapses it when the device has gone; the
// device menu is kept as data (devicesMenu()) until the menu bar and the device popup exist.
//
// Expanded, the window shows the source list of modes on the left (with the backup progress
// bar below it), the toolbar with the search field on top and the current mode's view. Each
// mode names its view, its toolbar set and its list controller in one table (kModes, in
// FRWindow+Modes.cpp); list controllers are reached only through ListControllerInterface
// and reach the window through WindowInterface. Divider positions are restored per mode and
// saved at quit and on device loss.
//
// Main thread only, except windowMode() and selectionIsInUserArea() (any thread: transfer
// and free-space threads read them), reportError() (any thread; it hops to the main
// thread) and the backup progress calls (any thread; the bar is drawn by a main-thread timer).

#include "interfaces/DeviceFilesWindow.h"
#include "interfaces/FRWindowHub.h"
#include "interfaces/TransferWindow.h"
#include "interfaces/WindowInterface.h"
#include "window/DevicesMenu.h"

#include <QMainWindow>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <QVariantList>

#include <atomic>

class AppController;
class AppDelegate;
class DownloadEngine;
class DeviceFilesModel;
class ICDragDropBrowser;
class TransferStatusSheet;
class ErrorSheet;
class QNSecurityWindow;
class VKLogSubmitterSheet;
class LNSSourceListView;
class ListControllerInterface;
class QLabel;
class QLineEdit;
class QProgressBar;
class QSplitter;
class QStackedWidget;
class QTimer;
class QToolBar;

class FRWindow : public QMainWindow,
                 public FRWindowHub,
                 public DeviceFilesWindow,
                 public WindowInterface,
                 public TransferWindow
{
    Q_OBJECT

public:
    static constexpr int kCollapsedHeight = 45;
    static constexpr int kMinimumWidth = 400;
    static constexpr int kMaximumExtent = 10000;
    static constexpr int kDefaultOpenedHeight = 414;
    static constexpr int kSetupRetryMs = 1000;

    // Class load: the system flags and the process logger (file logging = "DEBUG_LOG").
    static void load();

    FRWindow(AppController *device, AppDelegate *delegate, QWidget *parent = nullptr);

    void awakeFromNib();
    // Virtual so tests can watch the state the device layer starts with.
    virtual void finishLaunching();
    void setWindowSize(bool opened, bool animate);
    void initOpenHeight();
    bool opened() const override { return mOpened; }
    QString statusText() const;
    QString statusColour() const { return mStatusColour; }
    // The quit handler: quit flag, device connections, temporary folder.
    void appWillTerminate();

    // --- Modes (FRWindow+Modes.cpp) ---------------------------------------------------------
    // The mode string ("SMS", "FILE", "FILESHARING", "MUSIC", ...); "SMS" from start-up on.
    QString currentMode() const { return mCurrentMode; }
    QString subMode() const { return mCurrentMode; }
    // Chooses a mode; changeModes() then applies it (the sidebar does both).
    void setCurrentMode(const QString &mode) { mCurrentMode = mode; }
    void changeModes();
    bool isFileMode() const;
    bool isFileSharingMode() const;
    bool isRecordingsMode() const;
    // Loads the current mode's data where needed, then redraws the status line.
    void refreshThings();
    // Asks the device controller to recompose the status line.
    void updateStatus() override;
    // The list controller of the current mode, or null (Disk, Apps).
    ListControllerInterface *controllerForCurrentMode() const;
    // The view the current mode shows (its object name is the view's name: "smsView", ...).
    QWidget *currentModeView() const;

    // The seven list controllers (not owned); set before awakeFromNib.
    void setItunesController(ListControllerInterface *c) { itunesController = c; }
    void setIphotoController(ListControllerInterface *c) { iphotoController = c; }
    void setNotesController(ListControllerInterface *c) { notesController = c; }
    void setSmsController(ListControllerInterface *c) { smsController = c; }
    // The messages list: its models go into the conversation outline and the bubble table
    // (FRWindow+Messages.cpp); core reaches it through smsDataController().
    void setSmsDataController(SMSDataController *controller);
    SMSDataController *smsDataController() const override { return mSmsDataController; }
    void setCallController(ListControllerInterface *c) { callController = c; }
    void setAddressController(ListControllerInterface *c) { addressController = c; }
    void setBookmarkController(ListControllerInterface *c) { bookmarkController = c; }
    ListControllerInterface *iphotoData() const { return iphotoController; }
    ListControllerInterface *notesData() const { return notesController; }
    ListControllerInterface *bookmarkData() const { return bookmarkController; }
    ListControllerInterface *smsData() const { return smsController; }
    ListControllerInterface *callData() const { return callController; }
    ListControllerInterface *itunesData() const { return itunesController; }
    ListControllerInterface *addressData() const { return addressController; }

    // --- Search (FRWindow+Modes.cpp) -----------------------------------------------------------
    QLineEdit *searchField() const { return mSearchField; }
    // The search field's text goes to the current mode's controller.
    void doSearch();
    void beginSearch(const QString &text);
    bool isFinding() const;
    void cancelFindString();
    void clearFindString();

    // --- Sidebar spinners (FRWindow+Modes.cpp) -------------------------------------------------
    // Shows or hides the spinner of the source-list row of `rowMode` ("SMS", "LOG", ...).
    void spinner(bool on, const QString &rowMode);
    bool spinnerShown(const QString &rowMode) const;
    void hideAllSpinners();

    // --- Source list (FRWindow+Layout.cpp) -----------------------------------------------------
    LNSSourceListView *sourceListView() const { return mSourceList; }
    // The sidebar's tree: two groups ("Data", "Media") of rows with a "name" and a "mode".
    static QVariantList generateSourceList();
    // The sidebar chose a row: its mode becomes the current one.
    void outlineViewSelectionDidChange();
    // Selects the row of `mode` in the sidebar (which then switches to it).
    bool selectSourceListMode(const QString &mode);
    // A drop on the Notes or Disk row; the note import comes with that feature and answers NO
    // until then. The upload (FRWindow+Uploads.cpp) posts "DragMoveFinished" on every path.
    bool addNotesFromPasteboard(const QStringList &files, const QString &text);
    bool uploadFromPasteboard(const QStringList &files, const QString &destPath);
    // Checks and starts an upload of local files into a device folder (browser path).
    int uploadFiles(const QStringList &files, const QString &folder);

    // --- Layout (FRWindow+Layout.cpp) ------------------------------------------------------------
    // Restores the current mode's dividers and collapses every other mode's.
    void setupSplitViews();
    // Restores (collapse NO) or saves and collapses (collapse YES) one divider.
    void collapseRestoreSplitViewDivider(bool collapse, QWidget *fixedSide, QWidget *variableSide, QSplitter *view,
                                         const QString &pref);
    QSplitter *splitViewForMode(const QString &mode) const;

    // --- Toolbar (FRWindow+Toolbar.cpp) ----------------------------------------------------------
    void updateToolbar() override;
    void removeThese(const QStringList &remove, const QStringList &butNotThese);
    int indexOfToolbarItemWithIdentifier(const QString &identifier) const;
    QStringList toolbarIdentifiers() const;

    // --- Archive and backup windows, backup progress (FRWindow+Archives.cpp) -------------------
    // The six auxiliary windows (not owned; null until they exist). They answer the slots
    // "setupWindow()", "refreshIfNeeded(QString)" and "numDevices()" by name.
    void setArchiveWindows(QWidget *sms, QWidget *calls, QWidget *voicemail);
    void setBackupWindows(QWidget *sms, QWidget *calls, QWidget *voicemail);
    void showArchives();
    void showBackups();
    void showMessageArchives();
    void showCallArchives();
    void showVoicemailArchives();
    void showMessageiTunesBackup();
    void showCalliTunesBackup();
    void showVoicemailiTunesBackup();
    QProgressBar *backupProgress() const { return mBackupProgress; }
    bool backupProgressTimerRunning() const;
    void startBackupProgressTimer();
    void doSetBackupProgressMax(double max);
    void doSetBackupProgressValue();
    // Brings the window to the front.
    void showMe();
    // The manual: none is shipped, so nothing happens.
    void help();

    // --- Device state (FRWindow+DeviceState.cpp) ---------------------------------------------
    void deviceConnected();
    void deviceDisconnected();
    const DevicesMenu &devicesMenu() const { return mDevicesMenu; }

    // --- Launch on attach (FRWindow+HelperApp.cpp) --------------------------------------------
    // Installs, registers and starts QuillonHelper; stops, unregisters and deletes it.
    void setupHelperApp();
    void unsetupHelperApp();
    // "AUTOLAUNCH" on: setupHelperApp, off: unsetupHelperApp. Start-up and the setting call it.
    void stopOrStartAutoLaunch();

    // --- Send-to (FRWindow+SendTo.cpp) ----------------------------------------------------------
    // Notes to the mail composer (a message each, or one mailbox file) or the text editor;
    // photos into the "<device class> Photos" album in the pictures folder; media into the
    // mode's playlist in `musicFolder` (0, or -36 when it cannot be written).
    void tigerSendToMail(const QList<std::shared_ptr<FRNoteInfo>> &notes);
    bool sendToMail(const QList<std::shared_ptr<FRNoteInfo>> &notes);
    bool sendToTextEdit(const QList<std::shared_ptr<FRNoteInfo>> &notes);
    bool sendToPhotos(const QStringList &paths);
    int sendToiTunes(const QStringList &paths, const QString &musicFolder);
    QString sendToDeviceClass() const;

    // --- Diagnostics (FRWindow+SendLogs.cpp) ----------------------------------------------------
    // Shows the sheet that sends the logs to support (made on first use).
    void sendLogs();
    VKLogSubmitterSheet *logSubmitter() const;

    // --- Error reports (FRWindow+DeviceState.cpp) ---------------------------------------------
    // The error sheet with one "OK" button; any thread. A code of 0 adds no code line.
    void reportError(const QString &title, const QString &message, long code) override;
    ErrorSheet *errorSheet() const { return mErrorSheet; }

    // FRWindowHub
    bool askAboutQuitting() override { return false; }
    void closeup() override;
    void setStatusMessage(const QString &text, const QString &status, const QString &deviceName) override;
    void reportiTunes81Required() override;
    void setThreadRunning(bool running) override { mThreadRunning.store(running); }
    void initiateIndeterminateProgressAfterAFewSeconds(const QString &headline) override;
    void loadArchiveWindows() override;
    void setupDevice() override;
    void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &entries) override;
    void updateDevicesMenuSelection(const ConnectedDeviceEntry &entry) override;
    // The lists that load device data do not exist yet: nothing to load or reload.
    void loadData(int) override {}
    void doRefresh() override {}
    void showErrorOnMain() override;
    void reportPassCodeError(int code) override;
    void showInformationPanel(const QString &title, const QString &text) override;
    void showInformationPanel(const QString &title, const QString &text, const QString &button1, const QString &button2,
                              const QString &button3, std::function<void(int button)> didEnd) override;
    // No photo-loading thread exists yet.
    void stopPhotosThread() override {}
    void refreshBackupWindows() override;
    void setBackupProgressMax(double max) override;
    void setBackupProgressValue(double value) override;

    // WindowInterface
    void displayDownloadError(int code) override;
    void doSMSSpinner(bool on) override;
    void doCallSpinner(bool on) override;
    void doNotesSpinner(bool on) override;
    void doAddressSpinner(bool on) override;
    void doBookmarkSpinner(bool on) override;
    void doVoicemailSpinner(bool on) override;
    void updateSMSArchive() override;
    void updateCallArchive() override;
    void updateVoicemailArchive() override;
    // The message and note views come with the messages and notes lists; until then these
    // only prepare what those views will load.
    void setSMSText(const QString &html, bool isHTML, const FRSMSInfo *smsid) override;
    void setNoteText(const FRNoteInfo *note) override; // FRWindow+Notes.cpp
    void editNote(const std::shared_ptr<FRNoteInfo> &note) override;
    bool checkForFileType(const QString &path) const override;
    NotesDataController *notesDataController() const override;
    void updatePlaybackUI() override;
    bool isSMSMode() const override;
    bool isCallMode() const override;
    bool isNotesMode() const override;
    bool isAddressMode() const override;
    bool isBookmarkMode() const override;
    bool isPhotoMode() const override;
    bool isVoicemailMode() const override;
    bool isMusicMode() const override;
    bool isPlayableMusicMode() const override;
    bool isWatchableMode() const override;
    void setRevealDownload() override { mRevealDownload = true; }
    void setSendToPreview() override { mSendToPreview = true; }
    void setSendToEditor() override { mSendToEditor = true; }
    ListControllerInterface *dataController() const override { return smsController; }
    // Only archive windows load archives.
    void setLoading(bool) override {}
    void showBackupsAccessHelp() override;

    // DeviceFilesWindow
    Mode windowMode() const override { return mWindowMode.load(); }
    bool selectionIsInUserArea() const override { return mSelectionInUserArea.load(); }
    // Until the list controllers exist every list is empty.
    int itemCount(Mode) const override { return 0; }
    QString subModeName() const override;
    void clearItemCounts() override {}
    void reportCantGetDirectoriesError(int code) override;
    // The app list does not exist yet: nothing to redraw.
    void reloadData() override;
    void appsChanged() override {}
    void appIconFetched(const QString &) override {}

    // --- Transfers: progress, cancel, the export engine (FRWindow+Transfers.cpp) -------------
    // The export engine every list copies through (see device/DownloadEngine.h).
    QStringList downloadFiles(const QList<DownloadItem> &items, const QString &path, bool makeUnique,
                              bool atRoot) override;
    DownloadEngine *downloadEngine() const { return mDownloadEngine; }
    // TransferWindow
    bool running() const override;
    void startTransferProgress(const QString &headline) override;
    void askReplace(const QString &title, const QString &text, const QStringList &buttons,
                    std::function<void(int button)> answer) override;
    // Starts the 0.05 s poll that shows, updates and closes the status sheet.
    void waitForThreadToFinish(const QString &headline);
    // One tick of the poll.
    void checkForFinished();
    void doInitiateIndeterminateProgress(const QString &headline);
    void updateProgressAfterAFewSeconds(const QString &headline);
    void cancelIndeterminateProgressAfterAFewSeconds() { mThreadRunning.store(false); }
    void cancelClicked();
    TransferStatusSheet *statusSheet() const { return mStatusSheet; }

    // --- The file browser and its commands (FRWindow+Browser.cpp) ------------------------------
    void setupFileBrowser(ICDragDropBrowser *browser);
    ICDragDropBrowser *fileBrowser() const { return fsBrowser; }
    DeviceFilesModel *filesModel() const { return mFilesModel; }
    // Lists `folder` (browser path) again and selects `selectFile` once it is listed.
    void refreshPath(const QString &folder, const QString &selectFile);
    void browserSelectionChanged();
    QStringList getSelectedElements() const;
    QString getSelectedDir() const;
    void newFolder();
    void makeNewFolder(const QString &typed);
    void rename();
    void doRename(const QString &oldPath, const QString &newPath);
    void trash();
    // The delete question's answer (1: Delete).
    void askEraseSelected(int returnCode, const QStringList &items);
    void doEraseSelected(const QStringList &items);
    // A move dropped inside the browser; posts "DragMoveFinished" when handled.
    void doMoveFiles(const QStringList &paths, const QString &folder);
    int moveFiles(const QStringList &paths, const QString &folder);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildStrip();
    void buildDeviceArea(QWidget *area);
    void buildModeViews();
    QWidget *modeView(const QString &name) const;
    void showModeView();
    void setSpinnerOfKind(bool on, const QString &rowMode);
    QList<QWidget *> archiveWindowsFor(bool backups) const;

    AppController *mDevice;
    AppDelegate *mDelegate;
    bool mOpened = false;
    QRect mOpenedRect;
    bool mFirstTime = true;
    bool mSecondTime = false;
    std::atomic<bool> mThreadRunning{false}; // workers clear it
    QTimer *mSetupTimer = nullptr;
    QString mCurrentMode;
    ListControllerInterface *itunesController = nullptr;
    ListControllerInterface *iphotoController = nullptr;
    ListControllerInterface *notesController = nullptr;
    ListControllerInterface *smsController = nullptr;
    SMSDataController *mSmsDataController = nullptr;
    class QTextBrowser *mConversationView = nullptr;
    ListControllerInterface *callController = nullptr;
    ListControllerInterface *addressController = nullptr;
    ListControllerInterface *bookmarkController = nullptr;
    ListControllerInterface *mCurrentSearchController = nullptr;
    bool mRevealDownload = false;
    bool mSendToPreview = false;
    bool mSendToEditor = false;
    QPointer<QWidget> smsArchive, callArchive, voicemailArchive;
    QPointer<QWidget> smsiTunesBackup, calliTunesBackup, voicemailiTunesBackup;
    QWidget *mDeviceArea = nullptr;
    QStackedWidget *mModeViews = nullptr;
    QToolBar *mToolbar = nullptr;
    QLineEdit *mSearchField = nullptr;
    LNSSourceListView *mSourceList = nullptr;
    QProgressBar *mBackupProgress = nullptr;
    QTimer *mProgressTimer = nullptr;
    QSplitter *smsView = nullptr, *appSplitView = nullptr, *noteView = nullptr, *photoBrowser = nullptr,
              *addressBrowser = nullptr, *bookmarkBrowser = nullptr;
    QWidget *appsView = nullptr;
    std::atomic<Mode> mWindowMode{Mode::Other};
    std::atomic<double> mProgressMax{0};
    std::atomic<double> mProgressValue{0};
    std::atomic<bool> mProgressTimerRunning{false}; // read by session threads
    DevicesMenu mDevicesMenu;
    ErrorSheet *mErrorSheet = nullptr;
    QNSecurityWindow *mSecWindow = nullptr; // the backup-folder help, made on first use
    QPointer<VKLogSubmitterSheet> mLogSubmitter; // the send-logs sheet, made on first use
    QLabel *mStatusIcon = nullptr;
    QLabel *mStatusText = nullptr;
    QString mStatusColour;
    DownloadEngine *mDownloadEngine = nullptr;
    TransferStatusSheet *mStatusSheet = nullptr;
    QTimer *mPollTimer = nullptr;
    QString mPollHeadline;
    double mTimerTimes = 0;
    bool mIndeterminate = false;
    bool mIndeterminatePending = false;
    double mTransferMaximum = 0; // uploads set it
    int mBarWidth = 0;
    ICDragDropBrowser *fsBrowser = nullptr;
    DeviceFilesModel *mFilesModel = nullptr;
    std::atomic<bool> mSelectionInUserArea{true}; // read by the free-space thread
    QString mRenamingFile;
    QString mPendingSelectFolder, mPendingSelectFile;
};

