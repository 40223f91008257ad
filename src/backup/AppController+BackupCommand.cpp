// The current backup protocol's exchange: Hello, then Backup into the prepared folder,
// while the session thread waits for the device's messages and runs the callbacks itself.
// Every wait is bounded: by the exchange's deadline, and by an inactivity time-out, so a
// device that stops talking cannot hold backupLock for hours.

#include "device/AppController.h"

#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/DeviceLinkCallbacks.h"
#include "device/DeviceTimings.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "interfaces/FRWindowHub.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

using DeviceLinkCallbacks::describe;
using DeviceLinkCallbacks::logOnly;

void *const kContext = reinterpret_cast<void *>(std::uintptr_t(0x12345));

// The controller of the session running on this thread (callbacks have no object).
thread_local AppController *tSession = nullptr;

bool running()
{
    return mBackupFinished.load();
}

void setError()
{
    mHadError.store(true);
}

int incomingConnection(DLConnectionRef, void *a, void *b, void *c, void *d)
{
    VarnekLog("In the +BackupCommand Incoming Connection Callback %p %p %p %p", a, b, c, d);
    return 0;
}

int connectionFailed(DLConnectionRef, void *description, void *, void *, void *)
{
    const QString text = description ? QString::fromUtf8(static_cast<const char *>(description)) : QString();
    VarnekLog("+BackupCommand connection failed: %s", qUtf8Printable(text));
    if (!running())
        return 0;
    setError();
    if (text.endsWith(QLatin1String("dictionary is invalid"))) {
        gDeviceError.store(121212);
        mHadBadError.store(true);
    } else if (text.startsWith(QLatin1String("SocketStreamHandlerConnect: Cannot connect"))) {
        mHadBadError.store(true);
        gDeviceError.store(121214);
    } else if (text.endsWith(QLatin1String("DLErrorConnectingLocked"))) {
        gDeviceError.store(121213);
        gHasPassCode.store(true);
    } else {
        gDeviceError.store(121214);
    }
    return 0;
}

int errorWhileRunning(DLConnectionRef, void *, void *, void *, void *)
{
    VarnekLog("+BackupCommand accept failed or disconnect");
    if (running())
        setError();
    return 0;
}

int connectionLost(DLConnectionRef, void *, void *, void *, void *)
{
    VarnekLog("+BackupCommand connection lost");
    if (running()) {
        setError();
        gDeviceError.store(454545);
    }
    return 0;
}

// The needed space of an out-of-space answer: "...<" then "a + b" then ")" ...
void parseSpace(const QString &description)
{
    if (description.size() <= 50)
        return;
    QStringList parts;
    QString current;
    for (const QChar c : description) {
        if (c == QLatin1Char('<') || c == QLatin1Char(')')) {
            parts << current;
            current.clear();
        } else {
            current += c;
        }
    }
    parts << current;
    if (parts.size() != 4)
        return;
    const QStringList numbers = parts.at(1).trimmed().split(QStringLiteral(" + "));
    if (numbers.size() != 2)
        return;
    bool ok1 = false, ok2 = false;
    const qint64 a = numbers.at(0).toLongLong(&ok1), b = numbers.at(1).toLongLong(&ok2);
    if (ok1 && ok2)
        gSpace.store(a + b);
}

int processMessage(DLConnectionRef connection, void *value, void *, void *, void *)
{
    const QVariantMap message = variantFromPlist(static_cast<plist_t>(value)).toMap();
    if (message.value(QStringLiteral("MessageName")).toString() != QLatin1String("Response"))
        return 0;
    const int code = message.value(QStringLiteral("ErrorCode")).toInt();
    if (code != 0) {
        const QString description = message.value(QStringLiteral("ErrorDescription")).toString();
        VarnekLog("+BackupCommand CallBack7 error: %d %s", code, qUtf8Printable(description));
        gDeviceError.store(120000 + code);
        setError();
        if (code == 104 || code == 105)
            parseSpace(description);
        return 0;
    }
    if (mWaitingForBackup) {
        mWaitingForBackup = false;
        mDoingBackup = true;
        const QString target = gTargetID;
        const QVariantMap backup{{QStringLiteral("MessageName"), QStringLiteral("Backup")},
                                 {QStringLiteral("SourceIdentifier"), target},
                                 {QStringLiteral("TargetIdentifier"), target}};
        plist_t node = plistFromVariant(backup);
        char *error = nullptr;
        const AMDError rc = DLProcessMessage(connection, node, &error);
        plist_free(node);
        VarnekLog("+7DLProcessMessage: %d %s", rc, qUtf8Printable(describe(error)));
        if (rc != kAMDSuccess)
            setError();
    } else if (mDoingBackup) {
        mBackupFinished.store(false);
    }
    return 0;
}

int progress(DLConnectionRef, void *value, void *, void *, void *)
{
    if (!value || !tSession)
        return 0;
    const double number = *static_cast<const double *>(value);
    if (std::isnan(number) || !(number > 0))
        return 0;
    tSession->updateMessage(QCoreApplication::translate("AppController", "Downloading data from %1").arg(tSession->deviceClass()));
    if (FRWindowHub *window = tSession->window()) {
        window->setBackupProgressMax(100);
        if (tSession->deviceInstance() == gOriginalInstance)
            window->setBackupProgressValue(number);
    }
    return 0;
}

const DLCallbackTable kCallbacks = {{
    incomingConnection, logOnly, connectionFailed, errorWhileRunning, errorWhileRunning, connectionLost,
    processMessage, logOnly, logOnly, logOnly, progress, logOnly, logOnly, logOnly, logOnly, logOnly, logOnly,
}};

struct ConnectionGuard
{
    DLConnectionRef connection = nullptr;
    const char *reason = "Thanks for the memories";
    ~ConnectionGuard()
    {
        if (!connection)
            return;
        DLDisconnect(connection, reason);
        DLDeleteDeviceLinkConnection(connection);
    }
};

} // namespace

bool AppController::performBackup(const QVariantMap &connectionDict)
{
    gOriginalInstance = deviceInstance();
    tSession = this;
    VarnekLog("Backing up on thread %p", static_cast<void *>(&gOriginalInstance));
    ConnectionGuard guard;
    if (DLCreateDeviceLinkConnectionForComputer(&kCallbacks, kContext, &guard.connection) != kAMDSuccess
        || !guard.connection) {
        VarnekLog("DLCreateDeviceLinkConnectionForComputer failed");
        guard.connection = nullptr;
        return false;
    }
    gDeviceError.store(0);
    mBackupFinished.store(true);
    mHadError.store(false);
    plist_t info = plistFromVariant(connectionDict);
    char *error = nullptr;
    const AMDError connected = DLConnect(guard.connection, info, &error);
    plist_free(info);
    if (connected != kAMDSuccess) {
        VarnekLog("DLConnect failed: %d %s", connected, qUtf8Printable(describe(error)));
        if (gDeviceError.load() == 0)
            gDeviceError.store(-51082);
        gFallbackMode = true;
        return false;
    }
    std::free(error);
    const QByteArray root = sessionBackupFolder(gTargetID).toUtf8();
    DLSetRootDirectory(guard.connection, root.constData());
    mWaitingForBackup = true;
    mDoingBackup = false;
    const QVariantMap hello{{QStringLiteral("MessageName"), QStringLiteral("Hello")},
                            {QStringLiteral("SupportedProtocolVersions"), QVariantList{2.0, 2.1}}};
    plist_t node = plistFromVariant(hello);
    error = nullptr;
    const AMDError sent = DLProcessMessage(guard.connection, node, &error);
    plist_free(node);
    VarnekLog("message: Hello (%d) %s", sent, qUtf8Printable(describe(error)));
    if (sent != kAMDSuccess)
        setError();
    updateMessage(QCoreApplication::translate("AppController", "Communicating with %1").arg(deviceClass()));

    QElapsedTimer total, quiet;
    total.start();
    quiet.start();
    const qint64 deadlineMs = qint64(deviceTimings().backupDeadlineSeconds.load()) * 1000;
    bool stalled = false;
    while (running() && !mHadError.load() && !mCancelBackup.load() && !gBail.load()
           && deviceInstance() == gOriginalInstance && mStatus.load() == kStatusConnected && total.elapsed() < deadlineMs) {
        const AMDError waited = DLWaitForMessage(guard.connection, deviceTimings().backupPollMs.load() / 1000.0, nullptr);
        if (waited == kAMDSuccess) {
            quiet.restart();
            continue;
        }
        if (waited == kAMDNotConnectedError) {
            setError();
            if (gDeviceError.load() == 0)
                gDeviceError.store(454545);
            break;
        }
        if (quiet.elapsed() >= deviceTimings().backupInactivityMs.load()) {
            VarnekLog("no word from the device for %lld ms: giving up", static_cast<long long>(quiet.elapsed()));
            stalled = true;
            break;
        }
    }
    const bool cancelled = mCancelBackup.load() || gBail.load();
    VarnekLog("Done with run loop. mCancelBackup is %s, mBackupFinished is %s, mHadError is %s, mStatus == %d, "
              "gDeviceError == %d",
              cancelled ? "TRUE" : "FALSE", running() ? "FALSE" : "TRUE", mHadError.load() ? "TRUE" : "FALSE",
              mStatus.load(), gDeviceError.load());
    const bool ok = !running() && !mHadError.load() && !cancelled && deviceInstance() == gOriginalInstance;
    if (!ok && !cancelled) {
        gFallbackMode = true;
        if (gDeviceError.load() == 0)
            gDeviceError.store(mHadError.load() ? -51082 : -51072);
        const int code = gDeviceError.load();
        if (code == 121212 || code == 121213 || code == 120105 || code == 120104)
            VarnekLog("Don't try again: %d", code);
    }
    (void)stalled;
    if (cancelled)
        guard.reason = "Cancel";
    tSession = nullptr;
    return ok;
}
