// The older backup protocol ("com.apple.mobilebackup", version 1.6): a backup request with a
// signed manifest of the wanted files, after which the device streams its files and the
// wanted ones are kept; and the restore that writes edited files back (setFiles).
//
// Everything runs on the calling thread, which holds backupLock throughout and waits for the
// device's messages itself; the callbacks run inside those waits, never block, and touch
// only this file's session state. Streamed files go to disk chunk by chunk under a staging
// name per file and take their work-folder names once the stream has ended, so two files of
// one name never overwrite each other and nothing large is held in memory.

#include "device/AppController.h"

#include "backup/BackupSessionFlags.h"
#include "backup/BackupSessionState.h"
#include "backup/DeviceLinkCallbacks.h"
#include "backup/PiecePredicates.h"
#include "backup/WorkFolderNames.h"
#include "device/DeviceTimings.h"
#include "device/FrameworkValues.h"
#include "device/MobileDeviceFramework.h"
#include "interfaces/FRWindowHub.h"
#include "platform/PropertyList.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

namespace {

using DeviceLinkCallbacks::describe;
using DeviceLinkCallbacks::logOnly;

void *const kContext = reinterpret_cast<void *>(std::uintptr_t(0x12345));

// The controller and the staging folder of the stream running on this thread.
thread_local AppController *tOlder = nullptr;
QString gStagingFolder;                    // backupLock
QHash<QString, QPair<QString, QString>> gReceived; // staging name -> (domain, path); backupLock
qint64 gBackupCount = 0, gBackupSubCount = 0;
// The restore's files still to offer, and the file being offered.
QVariantList gTheNewData;
QString gSendingFile;
bool gRestoring = false;

QString sha1Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

bool running()
{
    return mBackupFinished.load();
}

AMDError send(DLConnectionRef connection, const QVariantMap &message, const char *what)
{
    plist_t node = plistFromVariant(message);
    char *error = nullptr;
    const AMDError rc = node ? DLProcessMessage(connection, node, &error) : kAMDInvalidArgumentError;
    if (node)
        plist_free(node);
    VarnekLog("%s: %d %s", what, rc, qUtf8Printable(describe(error)));
    return rc;
}

bool isVoicemailAudio(const QString &path)
{
    return path.startsWith(QLatin1String("Library/Voicemail/")) && path.endsWith(QLatin1String(".amr"));
}

bool wantedPath(const QString &path)
{
    return gFilesToGet.contains(path) || (path.endsWith(QLatin1String("-wal")) && gFilesToGet.contains(path.chopped(4)))
           || isVoicemailAudio(path) || isSMSPiece(path);
}

// One chunk of a streamed file, appended to its staging file; the last one completes it.
void handleFileData(const QByteArray &data, const QString &domain, const QString &path, bool last)
{
    if (path.isEmpty() || !wantedPath(path) || WorkFolderNames::baseName(path).isEmpty())
        return;
    const QString staging = sha1Hex((domain + QLatin1Char('-') + path).toUtf8());
    QFile file(gStagingFolder + QLatin1Char('/') + staging + QStringLiteral(".part"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) || file.write(data) != data.size()) {
        VarnekLog("could not store a chunk of %s", qUtf8Printable(path));
        mHadError.store(true);
        return;
    }
    file.close();
    if (!last)
        return;
    const QString done = gStagingFolder + QLatin1Char('/') + staging;
    QFile::remove(done);
    if (!QFile::rename(file.fileName(), done)) {
        mHadError.store(true);
        return;
    }
    gReceived.insert(staging, {domain, path});
    gFilesToGet.removeAll(path);
}

void getNext(DLConnectionRef connection)
{
    if (send(connection, {{QStringLiteral("BackupMessageTypeKey"), QStringLiteral("kBackupMessageBackupFileReceived")}},
             "DLProcessMessage 2")
        != kAMDSuccess)
        mHadError.store(true);
}

void sendAFile(DLConnectionRef connection)
{
    if (gTheNewData.isEmpty())
        return;
    // The data and its path come from one entry: a file is never offered under another's name.
    const QVariantMap entry = gTheNewData.takeFirst().toMap();
    const QString remotePath = entry.value(QStringLiteral("RemotePath")).toString();
    const QByteArray data = entry.value(QStringLiteral("Data")).toByteArray();
    const bool oldMethod = gUsingOldStuff.load();
    QByteArray contents = data;
    if (oldMethod) {
        contents = PropertyList::toData(QVariantMap{{QStringLiteral("Data"), data},
                                                    {QStringLiteral("Greylist"), false},
                                                    {QStringLiteral("Path"), remotePath},
                                                    {QStringLiteral("Version"), QStringLiteral("1.0")}},
                                        PropertyList::Format::Binary);
    }
    QFile::remove(gSendingFile);
    gSendingFile = getTempDir() + sha1Hex(remotePath.toUtf8()) + (oldMethod ? QStringLiteral(".mdbackup") : QStringLiteral(".mddata"));
    QFile file(gSendingFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size()) {
        mHadError.store(true);
        return;
    }
    file.close();
    QVariantMap options{{QStringLiteral("DLFileDest"), QStringLiteral("/tmp/RestoreFile.plist")}};
    if (!oldMethod) {
        options.insert(QStringLiteral("Domain"), QStringLiteral("HomeDomain"));
        options.insert(QStringLiteral("Greylist"), false);
        options.insert(QStringLiteral("Version"), QStringLiteral("2.0"));
        options.insert(QStringLiteral("StorageVersion"), QStringLiteral("1.0"));
        options.insert(QStringLiteral("Path"), remotePath);
    }
    VarnekLog("sending file %s", qUtf8Printable(remotePath));
    plist_t node = plistFromVariant(options);
    char *error = nullptr;
    const QByteArray local = QFile::encodeName(gSendingFile);
    const AMDError rc = DLSendFile(connection, local.constData(), node, &error);
    plist_free(node);
    VarnekLog("DLSendFile: %d %s", rc, qUtf8Printable(describe(error)));
    if (rc != kAMDSuccess)
        mHadError.store(true);
}

int incomingConnection(DLConnectionRef, void *a, void *b, void *c, void *d)
{
    VarnekLog("In the Incoming Connection Callback %p %p %p %p", a, b, c, d);
    return 0;
}

int connectionFailed(DLConnectionRef, void *description, void *, void *, void *)
{
    const QString text = description ? QString::fromUtf8(static_cast<const char *>(description)) : QString();
    VarnekLog("connection failed: %s", qUtf8Printable(text));
    if (!running())
        return 0;
    mHadError.store(true);
    if (text.endsWith(QLatin1String("dictionary is invalid"))) {
        gDeviceError.store(121212);
        mHadBadError.store(true);
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
    VarnekLog("disconnect");
    if (running())
        mHadError.store(true);
    return 0;
}

int connectionLost(DLConnectionRef, void *, void *, void *, void *)
{
    VarnekLog("connection lost");
    if (running()) {
        mHadError.store(true);
        gDeviceError.store(454545);
    }
    return 0;
}

int processMessage(DLConnectionRef connection, void *value, void *, void *, void *)
{
    const QVariantMap message = variantFromPlist(static_cast<plist_t>(value)).toMap();
    const QString type = message.value(QStringLiteral("BackupMessageTypeKey")).toString();
    if (type == QLatin1String("BackupMessageSendFilePiece")) {
        const QVariantMap piece = PropertyList::fromData(message.value(QStringLiteral("BackupFileDataKey")).toByteArray())
                                      .value_or(QVariant())
                                      .toMap();
        handleFileData(piece.value(QStringLiteral("Data")).toByteArray(), QStringLiteral("HomeDomain"),
                       piece.value(QStringLiteral("Path")).toString(), true);
        getNext(connection);
    } else if (type == QLatin1String("BackupMessageBackupFinished")) {
        mBackupFinished.store(false);
        gManifestDict = message.value(QStringLiteral("BackupManifestKey")).toMap();
    } else if (type == QLatin1String("BackupMessageBackupReplyOK")) {
        const QString version = message.value(QStringLiteral("BackupProtocolVersion")).toString();
        VarnekLog("Decided on version: %s", qUtf8Printable(version));
        gUsingOldStuff.store(false);
        if (send(connection, {{QStringLiteral("BackupMessageTypeKey"), QStringLiteral("BackupMessageBackupReplyOK")},
                              {QStringLiteral("BackupProtocolVersion"), version}},
                 "7SDLProcessMessage")
            != kAMDSuccess)
            mHadError.store(true);
    } else if (gRestoring && type == QLatin1String("BackupMessageRestoreReplyOK")) {
        sendAFile(connection);
    } else if (gRestoring && type == QLatin1String("BackupMessageRestoreFileReceived")) {
        if (!gTheNewData.isEmpty()) {
            sendAFile(connection);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(deviceTimings().restoreCompleteDelayMs.load()));
        mBackupFinished.store(false);
        QFile::remove(gSendingFile);
        gSendingFile.clear();
        send(connection, {{QStringLiteral("BackupMessageTypeKey"), QStringLiteral("BackupMessageRestoreComplete")}},
             "DLProcessMessage 4");
    } else {
        VarnekLog("In the ProcessMessage ) (unexpected message) callback %s", qUtf8Printable(type));
        if (type == QLatin1String("BackupMessageBackupReplyRefused")) {
            gDeviceError.store(100034);
            mHadError.store(true);
            mHadBadError.store(true);
            mBackupFinished.store(false);
        }
    }
    return 0;
}

int fileData(DLConnectionRef connection, void *data, void *infoNode, void *, void *)
{
    if (!tOlder || tOlder->mCancelBackup.load())
        return 1;
    const QVariantMap info = variantFromPlist(static_cast<plist_t>(infoNode)).toMap();
    FRWindowHub *window = tOlder->window();
    if (info.contains(QStringLiteral("BackupTotalSizeKey"))) {
        const qint64 total = info.value(QStringLiteral("BackupTotalSizeKey")).toLongLong();
        VarnekLog("BackupTotalSizeKey: %lld", total);
        if (window) {
            window->setBackupProgressMax(double(total));
            window->setBackupProgressValue(-1);
        }
    }
    const QVariantMap metadata = PropertyList::fromData(info.value(QStringLiteral("BackupFileInfo")).toMap()
                                                            .value(QStringLiteral("Metadata")).toByteArray())
                                     .value_or(QVariant())
                                     .toMap();
    const QString domain = metadata.value(QStringLiteral("Domain"), QStringLiteral("HomeDomain")).toString();
    if (domain.startsWith(QLatin1String("AppDomain"))) {
        VarnekLog("Entered AppDomain. Seeya later");
        mBackupFinished.store(false);
        return 0;
    }
    if (!data)
        return 0;
    QString path = info.value(QStringLiteral("Path")).toString();
    if (path.isEmpty()) {
        const QString source = info.value(QStringLiteral("DLFileSource")).toString();
        if (source.startsWith(QLatin1String("/var/mobile/")))
            path = source.mid(12);
    }
    const int status = info.value(QStringLiteral("DLFileStatusKey")).toInt();
    QByteArray bytes;
    if (plist_get_node_type(static_cast<plist_t>(data)) == PLIST_DATA) {
        char *raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(static_cast<plist_t>(data), &raw, &length);
        bytes = QByteArray(raw, qsizetype(length));
        std::free(raw);
    }
    handleFileData(bytes, domain, path, status == 2);
    if (status == 2) {
        gBackupCount += info.value(QStringLiteral("DLFileAttributesKey")).toMap().value(QStringLiteral("FileSize")).toLongLong();
        gBackupSubCount = gBackupCount;
        if (window)
            window->setBackupProgressValue(double(gBackupCount));
        getNext(connection);
    } else {
        const qint64 offset = info.value(QStringLiteral("DLFileOffsetKey")).toLongLong();
        if (offset + gBackupCount - gBackupSubCount > 25000) {
            gBackupSubCount = offset + gBackupCount;
            if (window)
                window->setBackupProgressValue(double(gBackupSubCount));
        }
    }
    return 0;
}

int cancelQuery(DLConnectionRef, void *, void *, void *, void *)
{
    return tOlder && tOlder->mCancelBackup.load() ? 1 : 0;
}

const DLCallbackTable kCallbacks = {{
    incomingConnection, logOnly, connectionFailed, logOnly, errorWhileRunning, connectionLost, processMessage,
    logOnly, logOnly, fileData, cancelQuery, logOnly, logOnly, logOnly, logOnly, logOnly, logOnly,
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

struct ThreadSession
{
    explicit ThreadSession(AppController *controller) { tOlder = controller; }
    ~ThreadSession() { tOlder = nullptr; }
};

QList<std::pair<QString, qint64>> withoutContents(const QStringList &paths)
{
    QList<std::pair<QString, qint64>> list;
    for (const QString &path : paths)
        list.append({path, 0});
    return list;
}

// The signed manifest of the older protocol for `paths` with their lengths (0 where the host
// has no contents to offer), by the old method (keyed by the SHA-1 of the path): the device
// compares it with what it holds.
QVariantMap olderManifest(const QList<std::pair<QString, qint64>> &paths, const QString &deviceID)
{
    QVariantMap files;
    for (const auto &[path, length] : paths) {
        QVariantMap record{{QStringLiteral("FileLength"), length}, {QStringLiteral("Mode"), 420},
                           {QStringLiteral("ModificationTime"), QDateTime::currentDateTimeUtc()}};
        record.insert(QStringLiteral("DataHash"),
                      QCryptographicHash::hash(PropertyList::toData(record, PropertyList::Format::Binary),
                                               QCryptographicHash::Sha1));
        files.insert(sha1Hex(path.toUtf8()), record);
    }
    const QByteArray data = PropertyList::toData(QVariantMap{{QStringLiteral("DeviceId"), deviceID},
                                                             {QStringLiteral("Version"), QStringLiteral("1.0")},
                                                             {QStringLiteral("Files"), files}},
                                                 PropertyList::Format::Binary);
    return {{QStringLiteral("AuthData"), QByteArray("Sixty Six")},
            {QStringLiteral("AuthSignature"), QCryptographicHash::hash(data, QCryptographicHash::Sha1)},
            {QStringLiteral("AuthVersion"), QStringLiteral("1.0")},
            {QStringLiteral("Data"), data}};
}

// Waits for the device's messages while `keepGoing` holds, at most `deadlineSeconds`, and
// no longer than the inactivity time-out without a word. False when the device went silent
// or the time ran out.
bool pump(DLConnectionRef connection, int deadlineSeconds, const std::function<bool()> &keepGoing)
{
    QElapsedTimer total, quiet;
    total.start();
    quiet.start();
    while (keepGoing()) {
        if (total.elapsed() >= qint64(deadlineSeconds) * 1000) {
            VarnekLog("Timed out!");
            return false;
        }
        const AMDError waited = DLWaitForMessage(connection, deviceTimings().backupPollMs.load() / 1000.0, nullptr);
        if (waited == kAMDSuccess) {
            quiet.restart();
        } else if (waited == kAMDNotConnectedError) {
            mHadError.store(true);
            if (gDeviceError.load() == 0)
                gDeviceError.store(454545);
            return true;
        } else if (quiet.elapsed() >= deviceTimings().backupInactivityMs.load()) {
            VarnekLog("no word from the device for %lld ms: giving up", static_cast<long long>(quiet.elapsed()));
            return false;
        }
    }
    return true;
}

} // namespace

bool AppController::olderProtocolSession(const QVariantMap &connectionDict)
{
    VarnekLog("Beginning old-style decrypt");
    ThreadSession session(this);
    gStagingFolder = sessionBackupFolder(gTargetID) + QStringLiteral("-stream");
    QDir(gStagingFolder).removeRecursively();
    QDir().mkpath(gStagingFolder);
    gReceived.clear();
    gRestoring = false;

    ConnectionGuard guard;
    if (DLCreateDeviceLinkConnectionForComputer(&kCallbacks, kContext, &guard.connection) != kAMDSuccess
        || !guard.connection) {
        guard.connection = nullptr;
        gDeviceError.store(-5104);
        return false;
    }
    mBackupFinished.store(true);
    mHadError.store(false);
    plist_t info = plistFromVariant(connectionDict);
    char *error = nullptr;
    const AMDError connected = DLConnect(guard.connection, info, &error);
    plist_free(info);
    if (connected != kAMDSuccess) {
        VarnekLog("DLConnect failed: %d %s", connected, qUtf8Printable(describe(error)));
        if (gDeviceError.load() == 0)
            gDeviceError.store(-5105);
        return false;
    }
    std::free(error);
    VarnekLog("trying version 1.6");
    if (FRWindowHub *w = window())
        w->setBackupProgressValue(-1);
    gBackupCount = gBackupSubCount = 0;
    if (send(guard.connection,
             {{QStringLiteral("BackupMessageTypeKey"), QStringLiteral("BackupMessageBackupRequest")},
              {QStringLiteral("BackupComputerBasePathKey"), QStringLiteral("/")},
              {QStringLiteral("BackupProtocolVersion"), QStringLiteral("1.6")},
              {QStringLiteral("BackupManifestKey"), olderManifest(withoutContents(gFilesToGet), gTargetID)}},
             "7ZDLProcessMessage")
        != kAMDSuccess) {
        gDeviceError.store(-5106);
        return false;
    }
    const bool answered = pump(guard.connection, deviceTimings().extractTimeoutSeconds.load(), [this] {
        return running() && !mHadError.load() && !mCancelBackup.load() && !gBail.load();
    });
    if (!running())
        VarnekLog("getFiles Finished!");
    else if (mHadError.load())
        VarnekLog("Had error!");
    if (FRWindowHub *w = window())
        w->setBackupProgressValue(-1);
    if (running() || mHadError.load() || !answered || mCancelBackup.load()) {
        if (mCancelBackup.load())
            guard.reason = "Cancel";
        return false;
    }

    // The stream is over: every kept file takes its work-folder name now that all are known.
    auto names = std::make_shared<WorkFolderNames>();
    for (const auto &file : std::as_const(gReceived))
        names->add(file.first, file.second);
    const QString temp = getTempDir();
    int failures = 0;
    for (auto it = gReceived.cbegin(); it != gReceived.cend(); ++it) {
        const QString name = names->nameFor(it.value().first, it.value().second);
        if (name.isEmpty())
            continue;
        QFile::remove(temp + name);
        if (!QFile::rename(gStagingFolder + QLatin1Char('/') + it.key(), temp + name))
            ++failures;
    }
    QDir(gStagingFolder).removeRecursively();
    mSessionNames = names;
    if (failures) {
        mHadError.store(true);
        mHadBadError.store(true);
        gDeviceError.store(-5109);
        return false;
    }
    mBackupFinished.store(false);
    return true;
}

int AppController::setFiles(const QVariantList &files, bool reboot)
{
    gDeviceError.store(0);
    if (is20Stuff.load())
        return 0;
    if (gHasPassCode.load()) {
        VarnekLog("has passcode");
        gDeviceError.store(47);
        return 0;
    }
    if (files.isEmpty()) {
        gDeviceError.store(-7101);
        return 0;
    }
    // The whole restore holds backupLock: no session resets the state it runs on.
    std::lock_guard lock(backupLock);
    ThreadSession session(this);
    mBackupFinished.store(true);
    mHadError.store(false);
    VarnekLog("setFiles passed lock");
    if (gTargetID.isEmpty()) {
        gDeviceError.store(-6101);
        return 0;
    }
    QVariantMap description;
    {
        std::lock_guard deviceLock(mLock);
        if (AMDeviceSerialize && dev()) {
            plist_t serialized = AMDeviceSerialize(dev());
            description = variantFromPlist(serialized).toMap();
            if (serialized)
                plist_free(serialized);
        }
    }
    if (description.isEmpty()) {
        gDeviceError.store(-6102);
        return 0;
    }
    ConnectionGuard guard;
    guard.reason = "Cancel";
    if (DLCreateDeviceLinkConnectionForComputer(&kCallbacks, kContext, &guard.connection) != kAMDSuccess
        || !guard.connection) {
        guard.connection = nullptr;
        gDeviceError.store(-6103);
        return 0;
    }
    const QVariantMap connectionDict = getConnectionDict(description);
    if (connectionDict.isEmpty()) {
        gDeviceError.store(-61022);
        return 0;
    }
    plist_t info = plistFromVariant(connectionDict);
    char *error = nullptr;
    const AMDError connected = DLConnect(guard.connection, info, &error);
    plist_free(info);
    if (connected != kAMDSuccess) {
        const QString why = describe(error);
        VarnekLog("DLConnect failed: %d %s", connected, qUtf8Printable(why));
        // Locked since the last session: nothing was sent, and the user is told as for a
        // device known to be locked.
        if (why.endsWith(QLatin1String("DLErrorConnectingLocked"))) {
            VarnekLog("has passcode");
            gHasPassCode.store(true);
            gDeviceError.store(47);
        } else {
            gDeviceError.store(-6104);
        }
        return 0;
    }
    std::free(error);

    gTheNewData = files;
    gRestoring = true;
    QList<std::pair<QString, qint64>> edited;
    for (const QVariant &file : files) {
        const QVariantMap entry = file.toMap();
        edited.append({entry.value(QStringLiteral("RemotePath")).toString(),
                       entry.value(QStringLiteral("Data")).toByteArray().size()});
    }
    QVariantMap request{{QStringLiteral("BackupMessageTypeKey"), QStringLiteral("kBackupMessageRestoreRequest")},
                        {QStringLiteral("BackupManifestKey"), olderManifest(edited, gTargetID)}};
    if (gUsingOldStuff.load()) {
        VarnekLog("using old method of restore");
    } else {
        request.insert(QStringLiteral("BackupProtocolVersion"), QStringLiteral("1.6"));
        request.insert(QStringLiteral("BackupPreserveCameraRoll"), true);
        request.insert(QStringLiteral("BackupPreserveSettings"), true);
        request.insert(QStringLiteral("BackupNotifySpringBoard"), reboot);
    }
    if (send(guard.connection, request, "7EEDLProcessMessage") != kAMDSuccess) {
        gRestoring = false;
        gDeviceError.store(-7103);
        return 0;
    }
    const bool answered = pump(guard.connection, deviceTimings().restoreTimeoutSeconds.load(),
                               [] { return running() && !mHadError.load() && !gBail.load(); });
    gRestoring = false;
    gTheNewData.clear();
    QFile::remove(gSendingFile);
    gSendingFile.clear();
    if (!running() && !mHadError.load())
        return 1;
    VarnekLog("setFile finished");
    VarnekLog(mHadError.load() ? "Had error!" : "Timed out!");
    mBackupFinished.store(false);
    gDeviceError.store(mHadError.load() || answered ? -7015 : -7014);
    return 0;
}
