#pragma once
// The messages list controller: loads the messages of one source (the connected device, a
// backup on disk, or a device's archive), cuts them into bubble parts, groups them into
// conversations, filters them by the selected conversations and the search text, and feeds
// the two models the window shows (the conversation tree and the bubble table). It answers
// ListControllerInterface for the window that owns it; the bubble cell, drags and the
// conversation view are its widget part (messages/ui).
//
// Snapshots: a load builds everything (messages, parts, conversations, the tree) on its
// worker as one immutable MessageSnapshot and hands it to the main thread, which swaps it in
// whole. No worker ever waits for the main thread, so no lock is held across such a wait.
// A live load is dropped when the device generation changed meanwhile; a backup or archive
// load when the list was flushed meanwhile.
//
// Filtering (conversations and search) runs on a worker over the current snapshot with a
// generation number: a newer pass or a cancel makes the running one stop at its next row,
// and rows found so far are handed over under a short lock while a 0.1 s timer redraws.
//
// Threads: the interface operations and the models are the main thread's; the record
// getters (totals, services, pictures, individualThread) any thread's. Workers are joined at
// destruction.

#include "extract/RecordSnapshot.h"
#include "interfaces/ListControllerInterface.h"
#include "messages/FRSMSInfo.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

class AppController;
class DeviceBackup;
class FRMMSInfo;
class QTimer;
class RecordTableModel;
class RecordTreeModel;
class WindowInterface;

// What a load produced: the messages, their bubble parts in time order, the conversation
// rows (led by the "All" entries) and the sidebar tree.
struct MessageSnapshot
{
    QList<FRSMSInfoPtr> messages;
    QList<FRSMSInfoPtr> parts;
    QList<QVariantMap> allThreads;
    QList<QVariantMap> allThreadsNoAll;
    struct Node
    {
        QVariantMap values;
        QList<Node> children;
    };
    QList<Node> tree;
    bool hasMessages = false, hasWA = false, hasFB = false;
    QByteArray meImage; // the owner's picture, when the names know it
};
using MessageSnapshotPtr = std::shared_ptr<const MessageSnapshot>;

class SMSDataController : public QObject, public ListControllerInterface
{
public:
    // The table's one column holds the record itself (RecordTableModel::ValueRole).
    static inline const QString kRowColumn = QStringLiteral("SMSRow");

    explicit SMSDataController(AppController *app = nullptr, WindowInterface *window = nullptr,
                               QObject *parent = nullptr);
    ~SMSDataController() override;

    Kind kind() const override { return Kind::Messages; }
    void setWindow(WindowInterface *window) { mWindow = window; }

    // --- Totals and services, set by the extraction (any thread) ---------------------------
    void setNumTotalSMS(int total);
    int numTotalSMS() const;
    void setHasMessages(bool has);
    void setHasWA(bool has);
    void setHasFB(bool has);
    bool hasMessages() const;
    bool hasWA() const;
    bool hasFB() const;
    void setWAImage(const QByteArray &image);
    void setFBImage(const QByteArray &image);
    QByteArray waImage() const;
    QByteArray fbImage() const;
    QByteArray meImage() const;
    // The list shows one conversation only (exactly one real conversation selected).
    virtual bool individualThread() const;
    void setIndividualThread(bool individual);
    // The key of the cache database of names and pictures of this source.
    QString cacheDBName() const;

    // --- Loading (main thread) -------------------------------------------------------------
    bool hasData() const override;
    void refreshSMS(bool reload) override;
    // A backup on disk, or an archive identifier; `selection` (conversations or records) is
    // selected again after the load.
    using Source = std::variant<std::shared_ptr<DeviceBackup>, QString>;
    void loadBackup(const Source &source, const QVariantList &selection = {});
    void flush() override;
    // Messages of a finished backup in its folder, read by an instance no window shows
    // (the backup folder watch).
    void processSMSDataForThread(const QString &backupPath);
    bool isLoading() const { return mLoadsRunning.load() > 0; }
    int loadsRunning() const { return mLoadsRunning.load(); }
    int loadError() const { return mSMSError.load(); }
    MessageSnapshotPtr snapshot() const;

    // --- Conversations (main thread) -------------------------------------------------------
    // The sidebar selection: the conversation dictionaries of the selected tree nodes.
    void setCurrentThreads(const QList<QVariantMap> &threads);
    QList<QVariantMap> currentThreads() const { return mCurrentThreads; }
    QString individualThreadName() const;
    static QString individualThreadNumber(const QVariantMap &thread);
    static bool isAllMode(const QString &name);
    // Orders the conversations again (the order preference changed) and rebuilds the tree.
    void sortAndAddAll();

    // --- Search and filtering --------------------------------------------------------------
    void beginSearch(const QString &text) override;
    bool isFinding() const override { return mSearching.load(); }
    void cancelFindString() override;
    // The rows of `threads` (all when empty) matching the search when `matchSearch`, from
    // the current snapshot, on the calling thread.
    QList<FRSMSInfoPtr> createSMSListing(const QList<QVariantMap> &threads, bool matchSearch) const;
    // The rows the table shows.
    QList<FRSMSInfoPtr> displayedRows() const;
    // How many filter passes are running, and rows a pass looked at (tests watch them).
    int passesRunning() const { return mPassesRunning.load(); }
    int64_t rowsExamined() const { return mRowsExamined.load(); }

    // --- Selection, printing, drags --------------------------------------------------------
    void setSelectedRows(const QList<FRSMSInfoPtr> &rows) { mSelectedRows = rows; }
    QList<FRSMSInfoPtr> getSelectedItems() const;
    int getSelectedItemsCount() const override { return int(getSelectedItems().size()); }
    QList<FRSMSInfoPtr> objectsForPrinting() const;
    bool hasThumbsInIt(const QList<FRSMSInfoPtr> &rows) const;
    void tableBecameKey(QObject *view) override;
    void deleteItem(const FRSMSInfoPtr &item);
    // Puts a record back after an undone delete; false (nothing counted) when it was there.
    bool addBackItem(const FRSMSInfoPtr &item);
    bool deleteWillAffectOthers() const;
    int numDragging() const override { return mDragItemCount; }
    void setDragCount(int count) { mDragItemCount = count; }
    // The selected rows for the drag image: "mediaType", and "thumb" (picture bytes) for a
    // picture or video part with a thumbnail.
    QList<QVariantMap> dragItems() const override;

    // --- Exports -----------------------------------------------------------------------------
    // The conversation that names export files and PDF titles (one real thread, else none).
    void setExportConversation(const QList<QVariantMap> &threads);
    QString exportPerson() const { return mExportPerson; }
    // Writes `records` into `folder`: the document (named `fileName`, or "Messages with
    // <name>.<ext>" made unique) unless every record is an attachment, and the attachments
    // when `includeMedia` or there is no document. With `doubleClicked` a single voice note
    // goes to the temporary folder and its path to *play. The paths written; every failure is
    // described in *error (empty when none).
    QStringList exportMessages(const QList<FRSMSInfoPtr> &records, const QString &folder, const QString &fileName,
                               bool includeMedia, int format, bool doubleClicked, QString *error,
                               QString *play = nullptr);
    // The double click: the selection into "Messages From iPhone" in the format of
    // "SMS_EXPORT_FORMAT2"; the files the window may open (never more than 20, and only
    // documents, pictures, audio, video, PDF and text).
    QStringList doubleClickExport(QString *error, QString *play);

    // --- Thumbnails -------------------------------------------------------------------------
    void addToThumbQueue(const std::shared_ptr<FRMMSInfo> &part);
    void processThumbQueueOnThread();
    bool thumbsAreDone() const { return mThumbsAreDone.load(); }

    // --- PDF cancel -------------------------------------------------------------------------
    void cancelOperation() override { mOperationCancelled.store(true); }
    void clearCancel() { mOperationCancelled.store(false); }
    bool operationCancelled() const override { return mOperationCancelled.load(); }

    // --- Models (main thread) ---------------------------------------------------------------
    RecordTableModel *tableModel() const { return mTableModel; }
    RecordTreeModel *threadModel() const { return mThreadModel; }
    // Told after the rows or the conversations changed (the views reselect and redraw).
    std::function<void()> onRowsChanged, onThreadsChanged, onThumbnail;

    void terminate() override;

    // Builds the snapshot of `messages` (any thread): conversations, order, parts. `live`
    // counts sizes; `dataLocation` receives the names used (may be empty).
    MessageSnapshotPtr buildSnapshot(const QList<FRSMSInfoPtr> &messages, const QString &device, bool live,
                                     const QString &orderKey) const;

private:
    void startWorker(std::function<void()> work);
    void applySnapshot(const MessageSnapshotPtr &snapshot, const QVariantList &selection);
    void updateTable(const QVariantList &selection);
    void rebuildDisplayed();
    void startPass();
    void takeRows(uint64_t generation, bool final);
    QList<FRSMSInfoPtr> processSMSData(DeviceBackup &backup, int *error);

    AppController *mApp;
    WindowInterface *mWindow;
    RecordTableModel *mTableModel;
    RecordTreeModel *mThreadModel;
    QTimer *mSearchTimer;

    mutable std::mutex mLock; // the values below it
    int mNumTotalSMS = 0;
    bool mHasMessages = false, mHasWA = false, mHasFB = false, mIndividualThread = false;
    QByteArray mWAImage, mFBImage, mMeImage;
    QString mThisControllersDB;
    MessageSnapshotPtr mSnapshot;
    QString mCurrentSearchString;

    std::mutex mBackupLock; // serialises backup and archive loads (never taken by the main thread)
    std::atomic<int> mSMSThreadRunning{0};
    std::atomic<int> mSMSError{0};
    std::atomic<int> mLoadsRunning{0};
    std::atomic<uint64_t> mLoadEpoch{0};
    std::atomic<bool> mIsiTunesBackup{false}, mIsArchive{false};

    QList<QVariantMap> mCurrentThreads;
    QList<FRSMSInfoPtr> mDisplayed;
    QList<FRSMSInfoPtr> mSelectedRows;
    int mDragItemCount = 0;
    QString mExportPerson, mExportNumber;

    // Filtering: the pass's generation, its rows so far, its state.
    std::atomic<uint64_t> mSearchGeneration{0};
    std::atomic<bool> mSearching{false};
    std::atomic<int> mPassesRunning{0};
    std::atomic<int64_t> mRowsExamined{0};
    mutable std::mutex mResultLock;
    uint64_t mResultGeneration = 0;   // mResultLock
    QList<FRSMSInfoPtr> mResultRows;  // mResultLock
    bool mResultFinal = false;        // mResultLock

    std::mutex queueLock;
    QList<std::shared_ptr<FRMMSInfo>> mThumbQueue; // queueLock
    std::atomic<bool> mThumbsAreDone{true};
    std::atomic<bool> mOperationCancelled{false};
    std::atomic<bool> mTerminating{false};

    struct Worker
    {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mWorkersLock;
    std::vector<Worker> mWorkers; // mWorkersLock
};
