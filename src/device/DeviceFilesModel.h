#pragma once
// The device's file tree for the file browser (Disk and Apps modes), headless: a
// QAbstractItemModel that a QColumnView shows one folder per column.
//
// A folder's children are listed on the model's worker thread (the device controller's
// listing, FSNodeInfo) when a view first asks for them (canFetchMore/fetchMore), never on the
// main thread. The worker hands the sorted, immutable result to the main thread in batches
// (a small first one, so the first rows show at once, then larger ones), each a queued call
// that inserts its rows; the main thread never waits for the worker. Every listing carries a
// ticket: a folder re-listed (refreshFolder) or a model reset (reload) drops the results of
// older listings, so a view never gets rows of a listing it no longer shows.
//
// Rows are the visible children (dot files only in whole-disk mode), in the listing's
// case-insensitive order. Column 0 only. Roles: DisplayRole (the name with ":" shown as "/"),
// PathRole (browser path), KindRole (FSNodeInfo kinds), IconNameRole (a freedesktop icon
// name; the view turns it into an icon), IsFolderRole.
//
// Main thread only, apart from the worker, which touches nothing of the model but its queue.

#include <QAbstractItemModel>
#include <QHash>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class AppController;

class DeviceFilesModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Roles {
        PathRole = Qt::UserRole + 1,
        KindRole,
        IconNameRole,
        IsFolderRole,
    };
    static constexpr int kFirstBatch = 256;
    static constexpr int kBatch = 4096;

    explicit DeviceFilesModel(AppController &device, QObject *parent = nullptr);
    ~DeviceFilesModel() override;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The browser path of an index ("/" for the root, the invalid index).
    QString pathForIndex(const QModelIndex &index) const;
    // The index of a browser path among the rows listed so far (invalid for "/" or unknown).
    QModelIndex indexForPath(const QString &browserPath) const;
    // Whether the folder's listing is under way.
    bool isLoading(const QModelIndex &parent) const;

    // Forgets every listing; views ask again from the root (a device change, reloadData).
    void reload();
    // Lists one folder again; its rows are replaced when the new listing arrives.
    void refreshFolder(const QString &browserPath);

signals:
    // The last batch of a folder's listing is in (main thread).
    void folderLoaded(const QString &browserPath);

private:
    struct Entry
    {
        QString name;
        int kind;
    };
    struct Node
    {
        Node *parent = nullptr;
        QString name;
        QString path;
        int kind = 1;
        enum class State { NotLoaded, Loading, Loaded } state = State::NotLoaded;
        uint64_t ticket = 0;
        bool replacing = false; // the rows listed before stay until the new listing arrives
        std::vector<std::unique_ptr<Node>> children;
    };
    struct Job
    {
        uint64_t ticket = 0;
        QString path;
        bool relist = false;
    };

    Node *nodeOf(const QModelIndex &index) const;
    QModelIndex indexOfNode(const Node *node) const;
    void startListing(Node *node, bool relist);
    void forget(Node *node);
    void runWorker();
    void deliver(uint64_t ticket, std::shared_ptr<const std::vector<Entry>> entries, size_t from, size_t to);

    AppController &mDevice;
    std::unique_ptr<Node> mRoot;
    uint64_t mNextTicket = 0;
    QHash<uint64_t, Node *> mListing; // ticket -> folder awaiting rows

    std::mutex mQueueLock;
    std::condition_variable mWake;
    std::deque<Job> mQueue; // mQueueLock
    bool mQuit = false;     // mQueueLock
    std::thread mWorker;
};
