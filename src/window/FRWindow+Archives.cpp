// The archive and backup windows as the main window reaches them, and the backup progress
// bar. The six auxiliary windows are not owned and may not exist: every hook does nothing
// for a window that is missing. They are reached by slot name ("setupWindow",
// "refreshIfNeeded", "numDevices"), so they plug in without this file knowing their class.
//
// Backup progress arrives from session threads: the value and maximum are atomics, and the
// bar is drawn by a 0.25 s main-thread timer that the first value starts.

#include "FRWindow.h"

#include "device/AppController.h"
#include "platform/QueuedCall.h"

#include <QDesktopServices>
#include <QProgressBar>
#include <QThread>
#include <QTimer>

namespace {

void bringToFront(QWidget *window)
{
    if (!window)
        return;
    window->show();
    window->raise();
    window->activateWindow();
}

int numDevices(QWidget *window)
{
    int count = 0;
    if (window)
        QMetaObject::invokeMethod(window, "numDevices", Qt::DirectConnection, Q_RETURN_ARG(int, count));
    return count;
}

} // namespace

void FRWindow::setArchiveWindows(QWidget *sms, QWidget *calls, QWidget *voicemail)
{
    smsArchive = sms;
    callArchive = calls;
    voicemailArchive = voicemail;
}

void FRWindow::setBackupWindows(QWidget *sms, QWidget *calls, QWidget *voicemail)
{
    smsiTunesBackup = sms;
    calliTunesBackup = calls;
    voicemailiTunesBackup = voicemail;
}

void FRWindow::loadArchiveWindows()
{
    for (QWidget *window : {callArchive.data(), smsArchive.data(), voicemailArchive.data()}) {
        if (!window)
            continue;
        QPointer<QWidget> guarded(window);
        QTimer::singleShot(500, this, [guarded] {
            if (guarded)
                QMetaObject::invokeMethod(guarded, "setupWindow");
        });
    }
}

void FRWindow::refreshBackupWindows()
{
    for (QWidget *window : {voicemailiTunesBackup.data(), smsiTunesBackup.data(), calliTunesBackup.data()}) {
        if (window)
            QMetaObject::invokeMethod(window, "refreshIfNeeded", Q_ARG(QString, QString()));
    }
}

QList<QWidget *> FRWindow::archiveWindowsFor(bool backups) const
{
    QWidget *sms = backups ? smsiTunesBackup.data() : smsArchive.data();
    QWidget *calls = backups ? calliTunesBackup.data() : callArchive.data();
    QWidget *voicemail = backups ? voicemailiTunesBackup.data() : voicemailArchive.data();
    if (isCallMode())
        return {calls};
    if (isSMSMode())
        return {sms};
    if (isVoicemailMode())
        return {voicemail};
    QList<QWidget *> holding;
    for (QWidget *window : {sms, calls, voicemail}) {
        if (numDevices(window) != 0)
            holding << window;
    }
    return holding;
}

void FRWindow::showArchives()
{
    for (QWidget *window : archiveWindowsFor(false))
        bringToFront(window);
}

void FRWindow::showBackups()
{
    for (QWidget *window : archiveWindowsFor(true))
        bringToFront(window);
}

void FRWindow::showMessageArchives() { bringToFront(smsArchive); }
void FRWindow::showCallArchives() { bringToFront(callArchive); }
void FRWindow::showVoicemailArchives() { bringToFront(voicemailArchive); }
void FRWindow::showMessageiTunesBackup() { bringToFront(smsiTunesBackup); }
void FRWindow::showCalliTunesBackup() { bringToFront(calliTunesBackup); }
void FRWindow::showVoicemailiTunesBackup() { bringToFront(voicemailiTunesBackup); }

void FRWindow::showMe()
{
    bringToFront(this);
}

void FRWindow::help()
{
    // No manual is shipped with Quillon, so there is nothing to open.
}

// --- Backup progress -----------------------------------------------------------------------------

void FRWindow::setBackupProgressValue(double value)
{
    mProgressValue.store(value);
    if (!mProgressTimerRunning.load())
        QMetaObject::invokeMethod(this, QueuedCall([this] { startBackupProgressTimer(); }), Qt::QueuedConnection);
}

void FRWindow::setBackupProgressMax(double max)
{
    mProgressMax.store(max);
    QMetaObject::invokeMethod(this, QueuedCall([this, max] { doSetBackupProgressMax(max); }), Qt::QueuedConnection);
}

bool FRWindow::backupProgressTimerRunning() const
{
    return mProgressTimer != nullptr;
}

void FRWindow::startBackupProgressTimer()
{
    if (mProgressTimer)
        return;
    mProgressTimer = new QTimer(this);
    mProgressTimer->setInterval(250);
    connect(mProgressTimer, &QTimer::timeout, this, [this] { doSetBackupProgressValue(); });
    mProgressTimer->start();
    mProgressTimerRunning.store(true);
}

void FRWindow::doSetBackupProgressMax(double max)
{
    if (mBackupProgress)
        mBackupProgress->setRange(0, int(qBound(0.0, max, double(std::numeric_limits<int>::max()))));
}

void FRWindow::doSetBackupProgressValue()
{
    if (!mBackupProgress)
        return;
    const double value = mProgressValue.load();
    const double max = mProgressMax.load();
    const bool cancelling = mDevice && mDevice->mCancellingBackup.load();
    if (value < 0 || value > max || cancelling) {
        // Indeterminate: Qt's bar animates while its range is empty.
        mBackupProgress->setRange(0, 0);
    } else {
        doSetBackupProgressMax(max);
        mBackupProgress->setValue(int(value));
    }
    mBackupProgress->show();
}
