#pragma once
// The export engine: copies what the user takes off the device (device files and folders,
// media files, records such as notes, bookmarks, voicemail and contacts) into a folder on
// this computer. Every list reaches it through the window's downloadFiles().
//
// Two halves. downloadFiles() on the main thread gives every item its final name (unique
// within the batch; a clash with an existing file is made unique or asked about with the
// replace sheet), writes an empty placeholder for each new name, so a file manager shows the
// names at once, and starts one worker. The worker writes the real contents: each item into
// a temporary name beside its final one, renamed into place only once whole. So a failed or
// cancelled transfer leaves no partial file under a final name, and an item being replaced
// keeps its old content until its replacement is whole. Placeholders of items not written
// are removed; files that existed before are never removed by a failure.
//
// Order of a transfer: downloadFiles -> (replace sheet -> answer -> downloadFiles again)* ->
// worker runs (running(), bytes in AppController::bytesTransferred) -> worker ends: its error
// sheet (if any) is reported, the running flag cleared, finished() emitted on the main thread
// -> the window's poll calls finishTransfer(), which hands the written files to the desktop
// (FileOpener) as the send-to flags say.
//
// Threads: every public call on the main thread, except the read-only progress getters (any
// thread). One transfer at a time; the worker is joined when the engine goes.

#include "device/DownloadItem.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>

class AppController;
class TransferWindow;

class DownloadEngine : public QObject
{
    Q_OBJECT

public:
    DownloadEngine(AppController &device, TransferWindow &window, QObject *parent = nullptr);
    ~DownloadEngine() override;

    // Names the items, writes placeholders and starts the worker. The final file names, or an
    // empty list when nothing starts now (a symbolic link, the replace sheet, empty input,
    // a transfer already running).
    QStringList downloadFiles(const QList<DownloadItem> &items, const QString &path, bool makeUnique, bool atRoot);
    // For drags out: copies the items into `folder` with unique names and waits (turning the
    // event loop, so the window stays live and shows progress) until the worker ends. The
    // paths written, or empty when the copy failed or was cancelled.
    QStringList downloadAndWait(const QList<DownloadItem> &items, const QString &folder, bool atRoot);

    // A name not present in `folder`: "-1", "-2", ... before the extension, up to "-9999".
    static QString createUniqueNameForDownload(const QString &name, const QString &folder);
    // The name made unique within the batch (case-insensitively against `taken`), counting
    // the suffix in `counter` over the whole call.
    static QString uniqueInBatch(const QString &name, const QStringList &taken, int &counter);
    // A device name as a local file name: '/' and NUL cannot be part of one, and "", "." and
    // ".." name no file of their own.
    static QString localNameFor(const QString &name);
    static bool isReadOnlyFile(const QString &path);

    // What happens to the files when the transfer succeeded.
    void setRevealDownload() { mRevealDownload = true; }
    void setSendToPreview() { mSendToPreview = mRevealDownload = true; }
    void setSendToEditor() { mSendToEditor = mRevealDownload = true; }
    void setRevealPath(const QString &path);
    // The end-of-transfer step (main thread, called by the poll once the worker ended):
    // takes the written files and opens, previews or reveals them.
    void finishTransfer();

    bool threadRunning() const { return mThreadRunning.load(); }
    // The progress bar's maximum in 64 KiB blocks (set by the worker once it sized the items).
    double maximumBlocks() const { return mMaximumBlocks.load(); }
    // The paths the last transfer wrote (main thread, after finished()).
    QStringList writtenFiles() const;

signals:
    // The worker ended (main thread).
    void finished();

private:
    struct Accepted
    {
        DownloadItem item;
        QString name;
        bool replacing = false; // a file of that name exists and is replaced on success
    };
    void askReplace(const DownloadItem &item, const QString &name);
    void answerReplace(int button);
    void run(QList<Accepted> accepted, QString dest, bool atRoot);
    int writeItem(const Accepted &accepted, const QString &dest, bool atRoot, bool *missing);
    void workerEnded(const QStringList &written);

    AppController &mDevice;
    TransferWindow &mWindow;
    std::thread mWorker;
    std::atomic<bool> mThreadRunning{false};
    std::atomic<double> mMaximumBlocks{0};

    // The stored call (main thread), kept while the replace sheet asks.
    QList<DownloadItem> mCurrentDownloadFiles;
    QString mCurrentDownloadDest;
    bool mCurrentMakeUnique = false;
    bool mCurrentDownloadFromRoot = false;
    bool mReplaceAll = false;
    QHash<QString, QString> mCurrentJustNames;
    QSet<QString> mReplaceApproved; // keys the user chose Replace for
    int mAskedIndex = -1;
    bool mSheetOpen = false;

    bool mRevealDownload = false, mSendToPreview = false, mSendToEditor = false;
    mutable std::mutex mWrittenLock;
    QStringList mWritten;       // mWrittenLock
    QStringList mFilesToReveal; // mWrittenLock
};
