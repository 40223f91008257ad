// The window's side of the device state: expanding for a usable device and collapsing when
// it has gone, the status line in between, the device menu's data, and the sheets through
// which device errors reach the user.
//
// What the per-device reset, the archive question, the deferred data loads, the edit queue
// and the device popup add to these steps comes with the views and lists they belong to.

#include "FRWindow.h"

#include "ErrorSheet.h"
#include "FRInfoPanel.h"
#include "device/AppController.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QTimer>

void FRWindow::setupDevice()
{
    VarnekLog("FRWindow: setupDevice");
    if (mSetupTimer) {
        mSetupTimer->stop();
        mSetupTimer->deleteLater();
        mSetupTimer = nullptr;
    }
    if (mDevice && mDevice->connectedStatus()) {
        mFirstTime = false;
        deviceConnected();
        return;
    }
    deviceDisconnected();
    if (!mFirstTime) {
        mSecondTime = true;
        return;
    }
    // The first call comes before the device layer has looked for devices: ask again soon.
    mFirstTime = false;
    setStatusMessage(tr("Starting up..."), QStringLiteral("orange"), {});
    mSetupTimer = new QTimer(this);
    mSetupTimer->setSingleShot(true);
    connect(mSetupTimer, &QTimer::timeout, this, [this] { setupDevice(); });
    mSetupTimer->start(kSetupRetryMs);
}

void FRWindow::deviceConnected()
{
    VarnekLog("FRWindow: deviceConnected");
    refreshThings();
    if (mDevice->connectedDeviceID().isEmpty()) {
        VarnekLog("Something's not right, don't open!");
        mDevice->deviceStatusChanged(AppController::kStatusDisconnected);
        return;
    }
    if (!mDevice->deviceReachable()) {
        VarnekLog("But where'd it go?");
        return;
    }
    setWindowSize(true, true);
}

void FRWindow::deviceDisconnected()
{
    VarnekLog("FRWindow: setupDevice deviceDisconnected");
    if (mDevice)
        mDevice->cancelBackup();
    if (!mFirstTime) {
        if (mDevice && mDevice->devicesConnected())
            setStatusMessage(tr("Loading..."), QStringLiteral("orange"), {}); // another device is being chosen
        else
            setStatusMessage(tr("No Device Connected"), QStringLiteral("red"), {});
    }
    // A sheet about the device that has gone no longer applies.
    mErrorSheet->endAttachedSheet();
    closeup();
}

// --- Device menu ----------------------------------------------------------------------------

void FRWindow::updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &entries)
{
    mDevicesMenu.setContents(entries, preferenceBool(QStringLiteral("USE_WIFI")));
    updateDevicesMenuSelection({});
    if (mDevice && !mDevice->devicesConnected())
        setStatusMessage(tr("No Device Connected"), QStringLiteral("red"), {});
}

void FRWindow::updateDevicesMenuSelection(const ConnectedDeviceEntry &entry)
{
    QString uid = entry.uid();
    int interfaceType = entry.interfaceType();
    if (entry.isNull() && mDevice) {
        uid = mDevice->connectedDeviceID();
        interfaceType = mDevice->interfaceType();
    }
    mDevicesMenu.setSelection(uid, interfaceType);
}

// --- Error reports ----------------------------------------------------------------------------

void FRWindow::reportError(const QString &title, const QString &message, long code)
{
    mErrorSheet->reportError(title, message, code);
}

void FRWindow::reportCantGetDirectoriesError(int code)
{
    reportError(tr("Error Connecting to Device"),
                tr("An error occurred accessing your device. Please try again or contact customer support for help."),
                code);
}

void FRWindow::reportiTunes81Required()
{
    VarnekLog("FRWindow: the device software is missing");
    reportError(tr("Error Connecting to Device"),
                tr("Quillon requires a newer version of iTunes. Please update your software before using Quillon.\n\n"
                   "If you already have the latest version of iTunes installed, please download and reinstall iTunes "
                   "from the maker's web site."),
                -28);
}

void FRWindow::reportPassCodeError(int code)
{
    VarnekLog("FRWindow: the device is locked with a passcode (%x)", unsigned(code));
    reportError(tr("Device Not Trusted"),
                tr("Quillon can't make a connection to this device. Unlock the device, open iTunes on the Mac, and "
                   "check to see if the device is displaying a message about trusting the computer."),
                0);
}

void FRWindow::showErrorOnMain()
{
    VarnekLog("Unable to Contact Device error");
    if (gShowingError.exchange(true))
        return;
    mErrorSheet->showPanel(tr("Unable to Contact Device"),
                           tr("Quillon can't contact the device. Try waking up the device and ensuring that it's "
                              "still connected to the wireless network."),
                           true);
}

void FRWindow::showInformationPanel(const QString &title, const QString &text)
{
    mErrorSheet->showPanel(title, text);
}

void FRWindow::showInformationPanel(const QString &title, const QString &text, const QString &button1,
                                    const QString &button2, const QString &button3,
                                    std::function<void(int button)> didEnd)
{
    FRInfoPanel::runOverWindow(this, title, text, button1, button2, button3, this,
                               didEnd ? FRInfoPanel::DidEnd([didEnd](QAbstractButton *, int number) { didEnd(number); })
                                      : FRInfoPanel::DidEnd());
}
