#include "device/DownloadEngine.h"

#include "device/AppController.h"
#include "device/DevicePath.h"
#include "device/FileNameBytes.h"
#include "device/FileNameShortener.h"
#include "interfaces/FileOpener.h"
#include "interfaces/TransferWindow.h"
#include "shell/OwnTemporaries.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray localBytes(const QString &path)
{
    return FileNameBytes::encode(path);
}

// What is at a local path, without following a last link: S_IFREG, S_IFDIR, ..., or 0.
mode_t localType(const QString &path)
{
    struct stat status {};
    return ::lstat(localBytes(path).constData(), &status) == 0 ? (status.st_mode & S_IFMT) : 0;
}

bool isEmptyFolder(const QString &path)
{
    return localType(path) == S_IFDIR && QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System);
}

bool removeLocal(const QString &path)
{
    const mode_t type = localType(path);
    if (type == 0)
        return true;
    if (type == S_IFDIR)
        return QDir(path).removeRecursively();
    return ::unlink(localBytes(path).constData()) == 0;
}

bool containsCaseInsensitive(const QStringList &names, const QString &name)
{
    for (const QString &taken : names) {
        if (taken.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// "name-N.ext" ("name-N" without an extension).
QString withSuffix(const QString &name, int counter)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return name + QStringLiteral("-%1").arg(counter);
    return name.left(dot) + QStringLiteral("-%1").arg(counter) + name.mid(dot);
}

// Puts the whole item `staged` at `target`. A target that is an empty folder (a placeholder)
// or a file is replaced in one step; anything else is swapped with the staged item and then
// removed, so the old item is gone only once the new one stands in its place.
bool commitStaged(const QString &staged, const QString &target)
{
    const QByteArray from = localBytes(staged);
    const QByteArray to = localBytes(target);
    const mode_t stagedType = localType(staged);
    const mode_t targetType = localType(target);
    const bool plainRename = targetType == 0 || (stagedType == S_IFDIR && isEmptyFolder(target))
        || (stagedType != S_IFDIR && targetType != S_IFDIR);
    if (plainRename)
        return ::rename(from.constData(), to.constData()) == 0;
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) == 0) {
        if (!removeLocal(staged))
            VarnekLog("replaced item not removed: %s", qUtf8Printable(staged));
        return true;
    }
    // A file system without the exchange: the old item steps aside first.
    const QString aside = staged + QStringLiteral(".old");
    if (::rename(to.constData(), localBytes(aside).constData()) != 0)
        return false;
    if (::rename(from.constData(), to.constData()) != 0) {
        ::rename(localBytes(aside).constData(), to.constData());
        return false;
    }
    removeLocal(aside);
    return true;
}

// A fresh hidden folder beside the final names, of a name the start-up recognises as ours.
QString makeStagingFolder(const QString &dest)
{
    QByteArray pattern = localBytes(dest + QStringLiteral("/.quillon-download-XXXXXX"));
    if (!::mkdtemp(pattern.data()))
        return {};
    return FileNameBytes::decode(pattern);
}

} // namespace

DownloadEngine::DownloadEngine(AppController &device, TransferWindow &window, QObject *parent)
    : QObject(parent), mDevice(device), mWindow(window)
{
}

DownloadEngine::~DownloadEngine()
{
    if (mWorker.joinable()) {
        mDevice.cancelOperation();
        mWorker.join();
    }
}

QString DownloadEngine::localNameFor(const QString &name)
{
    QString local = name;
    local.replace(QLatin1Char('/'), QLatin1Char('_'));
    local.remove(QChar(0));
    if (local.isEmpty())
        local = QStringLiteral("Untitled");
    else if (local == QLatin1String(".") || local == QLatin1String(".."))
        local.fill(QLatin1Char('_'));
    return shortenedFileName(local);
}

QString DownloadEngine::createUniqueNameForDownload(const QString &name, const QString &folder)
{
    if (folder.isNull())
        return name;
    QString candidate = name;
    for (int counter = 1; counter <= 9999 && localType(folder + QLatin1Char('/') + candidate); ++counter)
        candidate = withSuffix(name, counter);
    return candidate;
}

QString DownloadEngine::uniqueInBatch(const QString &name, const QStringList &taken, int &counter)
{
    QString candidate = name;
    while (containsCaseInsensitive(taken, candidate))
        candidate = withSuffix(candidate, ++counter);
    return candidate;
}

bool DownloadEngine::isReadOnlyFile(const QString &path)
{
    static const QStringList types = {QStringLiteral("app"), QStringLiteral("jpg"), QStringLiteral("png"),
                                      QStringLiteral("pdf"), QStringLiteral("gif"), QStringLiteral("mov"),
                                      QStringLiteral("mp4"), QStringLiteral("avi"), QStringLiteral("mpg"),
                                      QStringLiteral("m4v"), QStringLiteral("m4a")};
    return types.contains(QFileInfo(path).suffix().toLower());
}

void DownloadEngine::setRevealPath(const QString &path)
{
    std::lock_guard lock(mWrittenLock);
    mFilesToReveal = path.isNull() ? QStringList() : QStringList{path};
}

QStringList DownloadEngine::writtenFiles() const
{
    std::lock_guard lock(mWrittenLock);
    return mWritten;
}

QStringList DownloadEngine::downloadFiles(const QList<DownloadItem> &items, const QString &path, bool makeUnique,
                                          bool atRoot)
{
    VarnekLog("downloadFiles: with %ld objects", long(items.size()));
    mCurrentJustNames.clear();
    if (items.isEmpty() || path.isEmpty())
        return {};
    if (mThreadRunning.load() || mSheetOpen) {
        VarnekLog("downloadFiles: a transfer is running");
        return {};
    }
    // A new call (not the same one again after the replace sheet) starts without answers.
    const bool again = !mCurrentDownloadFiles.isEmpty() && mCurrentDownloadFiles == items;
    if (!again) {
        mReplaceAll = false;
        mReplaceApproved.clear();
    }
    if (items.size() == 1 && items.first().kind == DownloadItem::Kind::DevicePath) {
        const QString &item = items.first().devicePath;
        const QString absolute = atRoot ? item : DevicePath::join(mDevice.getStartDir(), item);
        if (mDevice.isSymLink(absolute)) {
            mWindow.reportError(tr("Symbolic Link"), tr("The file is a symbolic link. It cannot be downloaded by Quillon."), 0);
            return {};
        }
    }

    QList<Accepted> accepted;
    QStringList taken;
    int counter = 0;
    for (qsizetype i = 0; i < items.size(); ++i) {
        const DownloadItem &item = items.at(i);
        QString proposed;
        switch (item.kind) {
        case DownloadItem::Kind::Record:
            if (!item.record) {
                VarnekLog("downloadFiles: an item of no kind");
                return {};
            }
            proposed = item.record->uniqueFileName();
            break;
        case DownloadItem::Kind::MediaFile:
            proposed = item.proposedName.isEmpty() ? DevicePath::lastComponent(item.devicePath) : item.proposedName;
            break;
        case DownloadItem::Kind::DevicePath:
            proposed = DevicePath::lastComponent(item.devicePath);
            break;
        }
        QString name = uniqueInBatch(localNameFor(proposed), taken, counter);
        bool replacing = false;
        if (localType(path + QLatin1Char('/') + name)) {
            if (makeUnique) {
                VarnekLog("make unique, exists: %s", qUtf8Printable(name));
                QString unique = name;
                for (int n = 1; n <= 9999
                     && (localType(path + QLatin1Char('/') + unique) || containsCaseInsensitive(taken, unique));
                     ++n)
                    unique = withSuffix(name, n);
                VarnekLog("make unique: %s, now %s", qUtf8Printable(name), qUtf8Printable(unique));
                name = unique;
            } else if (mReplaceAll || mReplaceApproved.contains(item.key())) {
                replacing = true;
            } else {
                mCurrentDownloadFiles = items;
                mCurrentDownloadDest = path;
                mCurrentMakeUnique = false;
                mCurrentDownloadFromRoot = atRoot;
                mAskedIndex = int(i);
                askReplace(item, name);
                return {};
            }
        }
        taken << name;
        mCurrentJustNames.insert(item.key(), name);
        accepted.append({item, name, replacing});
    }
    mCurrentDownloadFiles.clear();

    VarnekLog("going to make %ld stubs", long(accepted.size()));
    QList<Accepted> placed;
    for (qsizetype i = 0; i < accepted.size(); ++i) {
        Accepted &one = accepted[i];
        if (one.item.kind == DownloadItem::Kind::Record)
            one.item.record->setFinalFileName(one.name);
        // The file being replaced stands in for the placeholder until its replacement is whole.
        if (one.replacing)
            continue;
        VarnekLog("Stub %ld: %d", long(i), 0);
        const QString target = path + QLatin1Char('/') + one.name;
        int error = 0;
        if (one.item.kind == DownloadItem::Kind::Record) {
            QFile stub(target);
            error = stub.open(QIODevice::WriteOnly | QIODevice::NewOnly) ? 0 : AppController::kFileLocalOpen;
        } else {
            error = mDevice.downloadFile(one.item.devicePath, target, true, atRoot);
        }
        if (error)
            VarnekLog("downloadFile Err: %d", error);
    }

    mMaximumBlocks.store(0);
    mThreadRunning.store(true);
    mWindow.setThreadRunning(true);
    mWindow.startTransferProgress(tr("Copying From %1...").arg(mDevice.deviceClassOrDefault()));
    if (mWorker.joinable())
        mWorker.join();
    try {
        mWorker = std::thread([this, accepted, path, atRoot] { run(accepted, path, atRoot); });
    } catch (const std::system_error &error) {
        VarnekLog("downloadFiles: no thread (%s)", error.what());
        for (const Accepted &one : std::as_const(accepted)) {
            if (!one.replacing && (localType(path + QLatin1Char('/') + one.name) != S_IFDIR
                                   || isEmptyFolder(path + QLatin1Char('/') + one.name)))
                removeLocal(path + QLatin1Char('/') + one.name);
        }
        mThreadRunning.store(false);
        mWindow.setThreadRunning(false);
        mWindow.reportError(tr("Copy From Device"), tr("An error occurred copying your file from the device."), 0);
        return {};
    }
    QStringList names;
    for (const Accepted &one : std::as_const(accepted))
        names << one.name;
    return names;
}

void DownloadEngine::askReplace(const DownloadItem &item, const QString &name)
{
    Q_UNUSED(item);
    mSheetOpen = true;
    const QString text = tr("An item named \"%1\" already exists in this location. Do you want to replace it with the one you are copying?").arg(name);
    QPointer<DownloadEngine> self(this);
    mWindow.askReplace(QString(), text, {tr("Cancel"), tr("Skip"), tr("Replace"), tr("Replace All")},
                       [self](int button) {
                           if (self)
                               self->answerReplace(button);
                       });
}

void DownloadEngine::answerReplace(int button)
{
    mSheetOpen = false;
    if (mAskedIndex < 0 || mAskedIndex >= mCurrentDownloadFiles.size())
        return;
    const DownloadItem asked = mCurrentDownloadFiles.at(mAskedIndex);
    switch (button) {
    case 1: // Skip
        VarnekLog("Skipping %s", qUtf8Printable(asked.key()));
        mCurrentDownloadFiles.removeAt(mAskedIndex);
        break;
    case 2: // Replace: the old item goes only once its replacement is whole
        VarnekLog("Chose to replace %s", qUtf8Printable(asked.key()));
        mReplaceApproved.insert(asked.key());
        break;
    case 3: // Replace All
        mReplaceAll = true;
        break;
    default: // Cancel
        mCurrentDownloadFiles.clear();
        mAskedIndex = -1;
        return;
    }
    mAskedIndex = -1;
    QTimer::singleShot(250, this, [this] {
        const QList<DownloadItem> items = mCurrentDownloadFiles;
        if (!items.isEmpty())
            downloadFiles(items, mCurrentDownloadDest, mCurrentMakeUnique, mCurrentDownloadFromRoot);
    });
}

int DownloadEngine::writeItem(const Accepted &accepted, const QString &dest, bool atRoot, bool *missing)
{
    const QString target = dest + QLatin1Char('/') + accepted.name;
    if (accepted.item.kind == DownloadItem::Kind::Record)
        return accepted.item.record->writeDownload(target);

    const QString &path = accepted.item.devicePath;
    const QString absolute = atRoot ? path : DevicePath::join(mDevice.getStartDir(), path);
    const bool folder = mDevice.isDirectory(absolute);
    // A file replacing a file lands in one rename; folders, and anything replacing a folder,
    // are made whole in a staging folder first.
    if (!folder && localType(target) != S_IFDIR) {
        const int result = mDevice.downloadFile(path, target, false, atRoot);
        *missing = result == AppController::kFileNotFound;
        return result;
    }
    const QString staging = makeStagingFolder(dest);
    if (staging.isEmpty())
        return AppController::kFileLocalWrite;
    const OwnTemporaries::Noted noted(staging);
    const QString staged = staging + QLatin1Char('/') + accepted.name;
    int result = mDevice.downloadFile(path, staged, false, atRoot);
    *missing = result == AppController::kFileNotFound;
    if (!result && !commitStaged(staged, target)) {
        VarnekLog("fopen (%s) fails", qUtf8Printable(target));
        result = AppController::kFileLocalWrite;
    }
    QDir(staging).removeRecursively();
    return result;
}

void DownloadEngine::run(QList<Accepted> accepted, QString dest, bool atRoot)
{
    VarnekLog("Thread starting");
    mDevice.resetCopyOperation();

    uint64_t total = 0;
    for (const Accepted &one : std::as_const(accepted)) {
        if (one.item.kind == DownloadItem::Kind::Record)
            total += one.item.record->downloadSize();
        else
            total += mDevice.getFileSize(one.item.devicePath, atRoot);
    }
    mMaximumBlocks.store(double(total / 65536));

    QStringList written;
    int missingCount = 0;
    int code = 0;
    qsizetype stoppedAt = -1;
    for (qsizetype i = 0; i < accepted.size(); ++i) {
        const Accepted &one = accepted.at(i);
        const QString target = dest + QLatin1Char('/') + one.name;
        if (mDevice.operationCancelled()) {
            code = AppController::kFileStopped;
            stoppedAt = i;
            break;
        }
        bool missing = false;
        const int result = writeItem(one, dest, atRoot, &missing);
        if (missing) {
            ++missingCount;
            VarnekLog("Quillon didn't find a file for %s, (expected it at %s)", qUtf8Printable(one.item.devicePath),
                      qUtf8Printable(target));
            // A missing file is not among the written ones; the file it was to replace stays.
            if (!one.replacing)
                removeLocal(target);
            continue;
        }
        if (result) {
            code = result;
            stoppedAt = i;
            break;
        }
        written << target;
    }

    const bool failed = stoppedAt >= 0;
    if (failed) {
        // Only the placeholders of what was not written go; files that were there before stay.
        for (qsizetype i = stoppedAt; i < accepted.size(); ++i) {
            const Accepted &one = accepted.at(i);
            const QString target = dest + QLatin1Char('/') + one.name;
            if (one.replacing)
                continue;
            if (localType(target) == S_IFDIR ? isEmptyFolder(target) : QFileInfo(target).size() == 0)
                removeLocal(target);
        }
        const bool readOnlyArea = mDevice.afc2Mode() && !accepted.isEmpty()
            && (accepted.first().item.devicePath.startsWith(QLatin1String("/dev"))
                || accepted.first().item.devicePath.startsWith(QLatin1String("/Developer")));
        if (code == AppController::kFileStopped || code == 0) {
            // Quiet.
        } else if (readOnlyArea) {
            mWindow.reportError(tr("Not Readable"), tr("Unable to read the file. This directory is not readable."), 0);
        } else if (code == AppController::kFileLocalWrite) {
            mWindow.reportError(tr("Copy From Device"),
                                tr("An error occurred copying your file from the device. The destination disk may be full."), 0);
        } else if (code == 10) {
            mWindow.reportError(tr("Copy From Device"),
                                tr("An error occurred copying your file from the device. You may not have permission to access this file."), 0);
        } else {
            mWindow.reportError(tr("Copy From Device"), tr("An error occurred copying your file from the device."), code);
        }
    }
    if (missingCount == 1)
        mWindow.reportError(tr("Error Saving File"), tr("The item was not saved because it could not be found on the device."), 0);
    else if (missingCount > 1)
        mWindow.reportError(tr("Error Saving Files"),
                            tr("One or more of the selected item was not saved because it could not be found on the device."), 0);

    {
        std::lock_guard lock(mWrittenLock);
        mWritten = failed ? QStringList() : written;
        mFilesToReveal = failed ? QStringList() : written;
    }
    QMetaObject::invokeMethod(this, [this, failed] {
        if (failed)
            mRevealDownload = mSendToPreview = mSendToEditor = false;
        emit finished();
    }, Qt::QueuedConnection);
    VarnekLog("Thread finished");
    mThreadRunning.store(false);
    mWindow.setThreadRunning(false);
}

QStringList DownloadEngine::downloadAndWait(const QList<DownloadItem> &items, const QString &folder, bool atRoot)
{
    bool ended = false;
    const QMetaObject::Connection connection = connect(this, &DownloadEngine::finished, this, [&ended] { ended = true; });
    const QStringList names = downloadFiles(items, folder, true, atRoot);
    QStringList paths;
    if (!names.isEmpty()) {
        QEventLoop loop;
        connect(this, &DownloadEngine::finished, &loop, &QEventLoop::quit);
        if (!ended)
            loop.exec();
        paths = writtenFiles();
    }
    disconnect(connection);
    return paths;
}

void DownloadEngine::finishTransfer()
{
    QStringList files;
    {
        std::lock_guard lock(mWrittenLock);
        files.swap(mFilesToReveal);
    }
    if (files.isEmpty())
        return;
    FileOpener *opener = FileOpener::opener();
    if (mSendToPreview) {
        opener->previewFiles(files);
        mRevealDownload = mSendToPreview = false;
    } else if (mSendToEditor) {
        for (const QString &file : std::as_const(files))
            opener->openFile(file);
        mRevealDownload = mSendToPreview = mSendToEditor = false;
    } else if (mRevealDownload) {
        if (files.size() == 1 && isReadOnlyFile(files.first()))
            opener->openFile(files.first());
        else
            opener->revealFiles({files.first()});
        mRevealDownload = false;
    }
}
