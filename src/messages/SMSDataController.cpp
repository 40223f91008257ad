#include "messages/SMSDataController.h"

#include "backup/DeviceBackup.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "device/AppController.h"
#include "interfaces/WindowInterface.h"
#include "messages/FRMMSInfo.h"
#include "messages/MessageDragData.h"
#include "platform/UserDefaults.h"
#include "shell/Defaults.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <system_error>

SMSDataController::SMSDataController(AppController *app, WindowInterface *window, QObject *parent)
    : QObject(parent), mApp(app), mWindow(window),
      mTableModel(new MessagesTableModel(this, {{kRowColumn, tr("Message")}}, this)),
      mThreadModel(new RecordTreeModel(QStringLiteral("name"), this)), mSearchTimer(new QTimer(this))
{
    mSearchTimer->setInterval(100);
    connect(mSearchTimer, &QTimer::timeout, this, [this] { takeRows(mSearchGeneration.load(), false); });
}

SMSDataController::~SMSDataController() { terminate(); }

void SMSDataController::terminate()
{
    mTerminating.store(true);
    mSearchGeneration.fetch_add(1);
    std::vector<Worker> workers;
    {
        std::lock_guard lock(mWorkersLock);
        workers.swap(mWorkers);
    }
    for (Worker &worker : workers)
        if (worker.thread.joinable())
            worker.thread.join();
}

void SMSDataController::startWorker(std::function<void()> work)
{
    std::lock_guard lock(mWorkersLock);
    // Finished workers are joined as new ones start, so the list stays short.
    for (auto it = mWorkers.begin(); it != mWorkers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = mWorkers.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        mWorkers.push_back({std::thread([work = std::move(work), done] {
                                work();
                                done->store(true);
                            }),
                            done});
    } catch (const std::system_error &error) {
        VarnekLog("Could not start a messages thread: %s", error.what());
        throw;
    }
}

// --- Totals and services ---------------------------------------------------------------------

void SMSDataController::setNumTotalSMS(int total)
{
    std::lock_guard lock(mLock);
    mNumTotalSMS = total;
}

int SMSDataController::numTotalSMS() const
{
    std::lock_guard lock(mLock);
    return mNumTotalSMS;
}

void SMSDataController::setHasMessages(bool has)
{
    std::lock_guard lock(mLock);
    mHasMessages = has;
}

void SMSDataController::setHasWA(bool has)
{
    std::lock_guard lock(mLock);
    mHasWA = has;
}

void SMSDataController::setHasFB(bool has)
{
    std::lock_guard lock(mLock);
    mHasFB = has;
}

bool SMSDataController::hasMessages() const
{
    std::lock_guard lock(mLock);
    return mHasMessages;
}

bool SMSDataController::hasWA() const
{
    std::lock_guard lock(mLock);
    return mHasWA;
}

bool SMSDataController::hasFB() const
{
    std::lock_guard lock(mLock);
    return mHasFB;
}

void SMSDataController::setWAImage(const QByteArray &image)
{
    std::lock_guard lock(mLock);
    mWAImage = image;
}

void SMSDataController::setFBImage(const QByteArray &image)
{
    std::lock_guard lock(mLock);
    mFBImage = image;
}

QByteArray SMSDataController::waImage() const
{
    std::lock_guard lock(mLock);
    return mWAImage;
}

QByteArray SMSDataController::fbImage() const
{
    std::lock_guard lock(mLock);
    return mFBImage;
}

QByteArray SMSDataController::meImage() const
{
    std::lock_guard lock(mLock);
    return mMeImage;
}

bool SMSDataController::individualThread() const
{
    std::lock_guard lock(mLock);
    return mIndividualThread;
}

void SMSDataController::setIndividualThread(bool individual)
{
    std::lock_guard lock(mLock);
    mIndividualThread = individual;
}

QString SMSDataController::cacheDBName() const
{
    std::lock_guard lock(mLock);
    return mThisControllersDB;
}

MessageSnapshotPtr SMSDataController::snapshot() const
{
    std::lock_guard lock(mLock);
    return mSnapshot;
}

// --- Loading ---------------------------------------------------------------------------------

bool SMSDataController::hasData() const
{
    return snapshot() && (!mApp || mApp->hasSMSDataAlready() || mIsArchive.load() || mIsiTunesBackup.load());
}

void SMSDataController::refreshSMS(bool reload)
{
    if (!mApp)
        return;
    const int generation = mApp->deviceInstance();
    if (reload && mSMSThreadRunning.load() == generation && generation != 0) {
        if (mWindow && mWindow->isSMSMode())
            mWindow->doSMSSpinner(true);
        return;
    }
    mApp->setDisplayedDataError(false);
    if (!mApp->deviceConnected()) {
        flush();
        return;
    }
    mSMSThreadRunning.store(generation);
    if (mWindow && mWindow->isSMSMode())
        mWindow->doSMSSpinner(true);
    mLoadsRunning.fetch_add(1);
    QPointer<SMSDataController> self(this);
    try {
        startWorker([this, self, generation] {
            mSMSError.store(0);
            MessageSnapshotPtr built;
            QString device;
            {
                VarnekLog("loadSMSOnThread waiting on address lock");
                auto barrier = mApp->waitUntilAddressesFinishAndLock();
                if (mApp->cancellingBackup() || generation != mApp->deviceInstance()) {
                    VarnekLog("cancellingBackup in loadSMSOnThread");
                } else {
                    VarnekLog("loadSMSOnThread proceeding");
                    device = mApp->connectedDeviceID();
                    {
                        std::lock_guard lock(mLock);
                        mThisControllersDB = device;
                    }
                    int error = 0;
                    const RecordSnapshot<FRSMSInfo> list = mApp->doGetSMS(&error);
                    mSMSError.store(error);
                    if (list)
                        built = buildSnapshot(*list, device, true, QStringLiteral("messageSort"));
                    else
                        VarnekLog("didn't assignAIMThreads");
                }
                AppController::unlockAddresses(barrier);
            }
            int expected = generation;
            VarnekLog(mSMSThreadRunning.compare_exchange_strong(expected, 0) ? "clearing mSMSThreadRunning"
                                                                              : "not clearing mSMSThreadRunning");
            QMetaObject::invokeMethod(
                this,
                [this, self, generation, built, device] {
                    if (!self)
                        return;
                    mLoadsRunning.fetch_sub(1);
                    if (mApp->deviceConnected() && generation == mApp->deviceInstance()) {
                        VarnekLog("updating sms table");
                        if (built)
                            applySnapshot(built, {});
                        else
                            updateTable({});
                        if (mWindow)
                            mWindow->updateSMSArchive();
                        if (!device.isEmpty() && !getTempDir().isEmpty())
                            QDir(getTempDir() + device).removeRecursively();
                    } else {
                        VarnekLog("not updating sms table");
                    }
                    if (mWindow && mSMSThreadRunning.load() == 0)
                        mWindow->doSMSSpinner(false);
                },
                Qt::QueuedConnection);
        });
    } catch (const std::system_error &) {
        mLoadsRunning.fetch_sub(1);
        mSMSThreadRunning.store(0);
        if (mWindow)
            mWindow->doSMSSpinner(false);
    }
}

void SMSDataController::loadBackup(const Source &source, const QVariantList &selection)
{
    if (std::holds_alternative<QString>(source) && std::get<QString>(source).isEmpty())
        return;
    if (std::holds_alternative<std::shared_ptr<DeviceBackup>>(source) && !std::get<0>(source))
        return;
    const uint64_t epoch = mLoadEpoch.load();
    if (mWindow)
        mWindow->setLoading(true);
    mLoadsRunning.fetch_add(1);
    QPointer<SMSDataController> self(this);
    auto work = [this, self, source, selection, epoch] {
        mSMSError.store(0);
        MessageSnapshotPtr built;
        {
            std::lock_guard backupLock(mBackupLock);
            int error = 0;
            QList<FRSMSInfoPtr> list;
            QString device;
            if (const auto *backup = std::get_if<std::shared_ptr<DeviceBackup>>(&source)) {
                mIsiTunesBackup.store(true);
                list = processSMSData(**backup, &error);
                device = QStringLiteral("backup") + QFileInfo((*backup)->backupPath()).fileName();
                for (const FRSMSInfoPtr &message : list)
                    message->setDevice(device);
                built = buildSnapshot(list, cacheDBName(), false, QStringLiteral("messageSortBackup"));
            } else {
                const QString archive = std::get<QString>(source);
                mIsArchive.store(true);
                {
                    std::lock_guard lock(mLock);
                    mThisControllersDB = archive;
                }
                if (mApp) {
                    if (auto read = mApp->getSMSFromBackupFile(QString(), archive, this, &error))
                        list = std::move(*read);
                }
                for (const FRSMSInfoPtr &message : list)
                    message->setDevice(archive);
                built = buildSnapshot(list, archive, false, QStringLiteral("messageSortArchive"));
            }
            mSMSError.store(error);
        }
        QMetaObject::invokeMethod(
            this,
            [this, self, built, selection, epoch] {
                if (!self)
                    return;
                mLoadsRunning.fetch_sub(1);
                if (epoch == mLoadEpoch.load())
                    applySnapshot(built, selection);
                if (mWindow)
                    mWindow->setLoading(false);
            },
            Qt::QueuedConnection);
    };
    try {
        startWorker(std::move(work));
    } catch (const std::system_error &) {
        mLoadsRunning.fetch_sub(1);
        if (mWindow)
            mWindow->setLoading(false);
    }
}

QList<FRSMSInfoPtr> SMSDataController::processSMSData(DeviceBackup &backup, int *error)
{
    QList<FRSMSInfoPtr> list;
    if (!mApp || (backup.encrypted() && !backup.hasUnlockedKeybag()))
        return list;
    const auto manifest = backup.getAManifest();
    if (!manifest)
        return list;
    const QString workName = QStringLiteral("thumbcache") + QFileInfo(backup.backupPath()).fileName();
    const QString work = getTempDir() + workName;
    QDir().mkpath(work);
    {
        std::lock_guard lock(mLock);
        mThisControllersDB = workName;
    }
    const WorkFolderNames names = AppController::grab(backup, manifest->files, backup.backupPath(), work, wantedFileList());
    const auto file = [&](const QStringList &domains, const QString &path) {
        const QString name = names.nameFor(domains, path);
        return name.isEmpty() ? QString() : work + QLatin1Char('/') + name;
    };
    const int64_t synctime = QDateTime::currentSecsSinceEpoch();
    setHasMessages(false);
    setHasWA(false);
    setHasFB(false);
    const QString home = QStringLiteral("HomeDomain");
    mApp->processAddressData(file({home}, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb")),
                             file({home}, QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb")), workName,
                             false);
    const DeviceBackupPtr encrypted = backup.encrypted() ? DeviceBackup::initWithPath(backup.backupPath()) : nullptr;
    int failed = 0;
    if (auto messages = mApp->processSMSData(file({home}, QStringLiteral("Library/SMS/sms.db")), this, workName,
                                             &failed, synctime, encrypted)) {
        if (preferenceBool(QStringLiteral("SHOW_SMS"))) {
            list += *messages;
            setHasMessages(!messages->isEmpty());
        }
    }
    if (failed == 0) {
        QString chats = file({QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared")},
                             QStringLiteral("ChatStorage.sqlite"));
        if (chats.isEmpty())
            chats = file({QStringLiteral("AppDomain-net.whatsapp.WhatsApp")}, QStringLiteral("Documents/ChatStorage.sqlite"));
        if (auto chat = mApp->processWhatsAppData(chats, this, workName, &failed, synctime, encrypted)) {
            if (preferenceBool(QStringLiteral("SHOW_WA"))) {
                list += *chat;
                setHasWA(!chat->isEmpty());
            }
        }
    }
    *error = failed;
    return list;
}

void SMSDataController::processSMSDataForThread(const QString &backupPath)
{
    const DeviceBackupPtr backup = DeviceBackup::initWithPath(backupPath);
    if (!backup)
        return;
    int error = 0;
    std::lock_guard backupLock(mBackupLock);
    processSMSData(*backup, &error);
}

void SMSDataController::flush()
{
    // Never waits for a load: a load running now finds the epoch changed and its result is
    // dropped on arrival.
    mLoadEpoch.fetch_add(1);
    mSearchGeneration.fetch_add(1);
    mSearching.store(false);
    {
        std::lock_guard lock(mLock);
        mSnapshot.reset();
    }
    mDisplayed.clear();
    mSelectedRows.clear();
    mTableModel->setRows({});
    mThreadModel->setRoots({});
    if (onRowsChanged)
        onRowsChanged();
    if (mWindow)
        mWindow->updateStatus();
}

void SMSDataController::applySnapshot(const MessageSnapshotPtr &snapshot, const QVariantList &selection)
{
    {
        std::lock_guard lock(mLock);
        mSnapshot = snapshot;
        if (snapshot) {
            mHasMessages = snapshot->hasMessages || mHasMessages;
            mHasWA = snapshot->hasWA || mHasWA;
            mHasFB = snapshot->hasFB || mHasFB;
            if (!snapshot->meImage.isEmpty())
                mMeImage = snapshot->meImage;
        }
    }
    QList<RecordTreeModel::Node> roots;
    const std::function<RecordTreeModel::Node(const MessageSnapshot::Node &)> convert =
        [&](const MessageSnapshot::Node &node) {
            RecordTreeModel::Node out{node.values, {}};
            for (const auto &child : node.children)
                out.children.append(convert(child));
            return out;
        };
    if (snapshot)
        for (const auto &node : snapshot->tree)
            roots.append(convert(node));
    mThreadModel->setRoots(roots);
    // The selection is kept by conversation name (the tree may have changed shape).
    QList<QVariantMap> keep;
    const QList<QVariantMap> wanted = [&] {
        QList<QVariantMap> threads;
        for (const QVariant &item : selection)
            if (item.typeId() == QMetaType::QVariantMap)
                threads.append(item.toMap());
        return threads.isEmpty() ? mCurrentThreads : threads;
    }();
    if (snapshot)
        for (const QVariantMap &thread : snapshot->allThreads)
            for (const QVariantMap &want : wanted)
                if (thread.value(QStringLiteral("name")) == want.value(QStringLiteral("name")))
                    keep.append(thread);
    mCurrentThreads = keep;
    setIndividualThread(keep.size() == 1 && !isAllMode(keep.first().value(QStringLiteral("name")).toString()));
    if (onThreadsChanged)
        onThreadsChanged();
    processThumbQueueOnThread();
    updateTable(selection);
}

void SMSDataController::updateTable(const QVariantList &)
{
    if (!snapshot() && mSMSError.load() != 0 && mApp && !mApp->displayedDataError() && mWindow) {
        mApp->setDisplayedDataError(true);
        mWindow->displayDownloadError(mSMSError.load());
    }
    rebuildDisplayed();
    if (mWindow) {
        if (mSMSThreadRunning.load() == 0)
            mWindow->doSMSSpinner(false);
        mWindow->updateStatus();
        mWindow->updateToolbar();
    }
}
