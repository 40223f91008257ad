#pragma once
// The main window. It starts in three stages: load() when the program starts (system flags
// and the logger, before anything else logs), awakeFromNib() once the main interface exists
// (start-up preference values, the collapsed strip, then finishLaunching, which resolves the
// archive folder and starts the device layer), and the quit handler appWillTerminate(),
// which closes the device layer and deletes the per-run temporary folder.
//
// The window is collapsed to a 45-point strip while no device is shown and expands to the
// remembered height ("OPENEDHEIGHT7", 414 when never stored) when one is.
//
// Main thread only.

#include "shell/FRWindowHub.h"

#include <QMainWindow>
#include <QRect>

class AppController;
class AppDelegate;
class QLabel;

class FRWindow : public QMainWindow, public FRWindowHub
{
    Q_OBJECT

public:
    static constexpr int kCollapsedHeight = 45;
    static constexpr int kMinimumWidth = 400;
    static constexpr int kMaximumExtent = 10000;
    static constexpr int kDefaultOpenedHeight = 414;

    // Class load: the system flags and the process logger (file logging = "DEBUG_LOG").
    static void load();

    FRWindow(AppController *device, AppDelegate *delegate, QWidget *parent = nullptr);

    void awakeFromNib();
    void finishLaunching();
    void setWindowSize(bool opened, bool animate);
    void initOpenHeight();
    bool opened() const override { return mOpened; }
    QString currentMode() const { return mCurrentMode; }
    QString statusText() const;
    // The quit handler: quit flag, device connections, temporary folder.
    void appWillTerminate();

    // FRWindowHub
    bool askAboutQuitting() override { return false; }
    void closeup() override;
    void setStatusMessage(const QString &text, const QString &status, const QString &deviceName) override;
    void reportiTunes81Required() override;
    void setThreadRunning(bool running) override { mThreadRunning = running; }
    void initiateIndeterminateProgressAfterAFewSeconds(const QString &) override {}
    void loadArchiveWindows() override {}
    void setupDevice() override {}
    // Device-state reports: answered for real when the device views are built.
    void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &) override {}
    void updateDevicesMenuSelection(const ConnectedDeviceEntry &) override {}
    void loadData(int) override {}
    void doRefresh() override {}
    void showErrorOnMain() override {}
    void reportPassCodeError(int) override {}
    void showInformationPanel(const QString &, const QString &) override {}
    void stopPhotosThread() override {}

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
    QString mCurrentMode;
    QLabel *mStatusIcon = nullptr;
    QLabel *mStatusText = nullptr;
};

// The archive folder in use, resolved once at launch; it may start with "~".
extern QString gArchiveLocation;
