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
// Main thread only, except windowMode() and selectionIsInUserArea() (any thread: transfer
// and free-space threads read them) and reportError() (any thread; it hops to the main
// thread).

#include "interfaces/DeviceFilesWindow.h"
#include "interfaces/FRWindowHub.h"
#include "window/DevicesMenu.h"

#include <QMainWindow>
#include <QRect>

#include <atomic>

class AppController;
class AppDelegate;
class ErrorSheet;
class QNSecurityWindow;
class QLabel;
class QTimer;

class FRWindow : public QMainWindow, public FRWindowHub, public DeviceFilesWindow
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
    void finishLaunching();
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
    // Loads the current mode's data where needed, then redraws the status line.
    void refreshThings();
    // Asks the device controller to recompose the status line.
    void updateStatus();

    // --- Device state (FRWindow+DeviceState.cpp) ---------------------------------------------
    void deviceConnected();
    void deviceDisconnected();
    const DevicesMenu &devicesMenu() const { return mDevicesMenu; }

    // --- Error reports (FRWindow+DeviceState.cpp) ---------------------------------------------
    // The error sheet with one "OK" button; any thread. A code of 0 adds no code line.
    void reportError(const QString &title, const QString &message, long code);
    ErrorSheet *errorSheet() const { return mErrorSheet; }

    // FRWindowHub
    bool askAboutQuitting() override { return false; }
    void closeup() override;
    void setStatusMessage(const QString &text, const QString &status, const QString &deviceName) override;
    void reportiTunes81Required() override;
    void setThreadRunning(bool running) override { mThreadRunning = running; }
    void initiateIndeterminateProgressAfterAFewSeconds(const QString &) override {}
    void loadArchiveWindows() override {}
    void setupDevice() override;
    void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &entries) override;
    void updateDevicesMenuSelection(const ConnectedDeviceEntry &entry) override;
    // The lists that load device data do not exist yet: nothing to load or reload.
    void loadData(int) override {}
    void doRefresh() override {}
    void showErrorOnMain() override;
    void reportPassCodeError(int code) override;
    void showInformationPanel(const QString &title, const QString &text) override;
    // No photo-loading thread exists yet.
    void stopPhotosThread() override {}
    // No backup windows exist yet.
    void refreshBackupWindows() override {}
    // Kept for the progress bar, which reads them on its timer.
    void setBackupProgressMax(double max) override { mProgressMax = max; }
    void setBackupProgressValue(double value) override { mProgressValue = value; }
    void showBackupsAccessHelp() override;

    // DeviceFilesWindow
    Mode windowMode() const override { return mWindowMode.load(); }
    // There is no file browser yet, so nothing lies outside the user area.
    bool selectionIsInUserArea() const override { return true; }
    // Until the list controllers exist every list is empty.
    int itemCount(Mode) const override { return 0; }
    QString subModeName() const override;
    void clearItemCounts() override {}
    void reportCantGetDirectoriesError(int code) override;
    // The file browser and the app list do not exist yet: nothing to reload or redraw.
    void reloadData() override {}
    void appsChanged() override {}
    void appIconFetched(const QString &) override {}

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildStrip();

    AppController *mDevice;
    AppDelegate *mDelegate;
    bool mOpened = false;
    QRect mOpenedRect;
    bool mFirstTime = true;
    bool mSecondTime = false;
    bool mThreadRunning = false;
    QTimer *mSetupTimer = nullptr;
    QString mCurrentMode;
    std::atomic<Mode> mWindowMode{Mode::Other};
    std::atomic<double> mProgressMax{0};
    std::atomic<double> mProgressValue{0};
    DevicesMenu mDevicesMenu;
    ErrorSheet *mErrorSheet = nullptr;
    QNSecurityWindow *mSecWindow = nullptr; // the backup-folder help, made on first use
    QLabel *mStatusIcon = nullptr;
    QLabel *mStatusText = nullptr;
    QString mStatusColour;
};

