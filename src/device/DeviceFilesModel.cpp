#include "device/DeviceFilesModel.h"

#include "device/AppController.h"
#include "device/DeviceNames.h"
#include "device/DevicePath.h"
#include "device/FSNodeInfo.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QMimeDatabase>

namespace {

QString iconNameFor(const QString &name, int kind)
{
    if (kind == FSNodeInfo::kKindFolder)
        return QStringLiteral("folder");
    if (kind == FSNodeInfo::kKindLink)
        return QStringLiteral("inode-symlink");
    static const QMimeDatabase database;
    const QList<QMimeType> types = database.mimeTypesForFileName(name);
    return types.isEmpty() ? QStringLiteral("text-x-generic") : types.first().iconName();
}

} // namespace

DeviceFilesModel::DeviceFilesModel(AppController &device, QObject *parent)
    : QAbstractItemModel(parent), mDevice(device), mRoot(std::make_unique<Node>())
{
    mRoot->path = QStringLiteral("/");
}

DeviceFilesModel::~DeviceFilesModel()
{
    {
        std::lock_guard guard(mQueueLock);
        mQuit = true;
        mQueue.clear();
    }
    mWake.notify_one();
    if (mWorker.joinable())
        mWorker.join();
}

DeviceFilesModel::Node *DeviceFilesModel::nodeOf(const QModelIndex &index) const
{
    return index.isValid() ? static_cast<Node *>(index.internalPointer()) : mRoot.get();
}

QModelIndex DeviceFilesModel::indexOfNode(const Node *node) const
{
    if (!node || node == mRoot.get() || !node->parent)
        return {};
    const auto &siblings = node->parent->children;
    for (size_t row = 0; row < siblings.size(); ++row) {
        if (siblings[row].get() == node)
            return createIndex(int(row), 0, const_cast<Node *>(node));
    }
    return {};
}

QModelIndex DeviceFilesModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0 || (parent.isValid() && parent.column() != 0))
        return {};
    const Node *node = nodeOf(parent);
    if (size_t(row) >= node->children.size())
        return {};
    return createIndex(row, 0, node->children[size_t(row)].get());
}

QModelIndex DeviceFilesModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    return indexOfNode(nodeOf(child)->parent);
}

int DeviceFilesModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return int(nodeOf(parent)->children.size());
}

int DeviceFilesModel::columnCount(const QModelIndex &) const
{
    return 1;
}

bool DeviceFilesModel::hasChildren(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    const Node *node = nodeOf(parent);
    if (node->kind != FSNodeInfo::kKindFolder)
        return false;
    return node->state != Node::State::Loaded || !node->children.empty();
}

bool DeviceFilesModel::canFetchMore(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return false;
    const Node *node = nodeOf(parent);
    return node->kind == FSNodeInfo::kKindFolder && node->state == Node::State::NotLoaded;
}

void DeviceFilesModel::fetchMore(const QModelIndex &parent)
{
    if (canFetchMore(parent))
        startListing(nodeOf(parent), false);
}

bool DeviceFilesModel::isLoading(const QModelIndex &parent) const
{
    return nodeOf(parent)->state == Node::State::Loading;
}

QVariant DeviceFilesModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const Node *node = nodeOf(index);
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        return DeviceNames::fixSlashesAndColonsOut(node->name);
    case Qt::ToolTipRole:
        return DeviceNames::fixSlashesAndColonsOut(node->path);
    case PathRole:
        return node->path;
    case KindRole:
        return node->kind;
    case IconNameRole:
        return iconNameFor(node->name, node->kind);
    case IsFolderRole:
        return node->kind == FSNodeInfo::kKindFolder;
    default:
        return {};
    }
}

Qt::ItemFlags DeviceFilesModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::ItemIsDropEnabled;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    if (nodeOf(index)->kind == FSNodeInfo::kKindFolder)
        flags |= Qt::ItemIsDropEnabled;
    else
        flags |= Qt::ItemNeverHasChildren;
    return flags;
}

QHash<int, QByteArray> DeviceFilesModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractItemModel::roleNames();
    names.insert(PathRole, "path");
    names.insert(KindRole, "kind");
    names.insert(IconNameRole, "iconName");
    names.insert(IsFolderRole, "isFolder");
    return names;
}

QString DeviceFilesModel::pathForIndex(const QModelIndex &index) const
{
    return nodeOf(index)->path;
}

QModelIndex DeviceFilesModel::indexForPath(const QString &browserPath) const
{
    const QStringList parts = DevicePath::normalized(browserPath).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    const Node *node = mRoot.get();
    QModelIndex index;
    for (const QString &part : parts) {
        const Node *found = nullptr;
        for (size_t row = 0; row < node->children.size(); ++row) {
            if (node->children[row]->name == part) {
                found = node->children[row].get();
                index = createIndex(int(row), 0, const_cast<Node *>(found));
                break;
            }
        }
        if (!found)
            return {};
        node = found;
    }
    return index;
}

void DeviceFilesModel::reload()
{
    beginResetModel();
    mListing.clear();
    mRoot = std::make_unique<Node>();
    mRoot->path = QStringLiteral("/");
    {
        std::lock_guard guard(mQueueLock);
        mQueue.clear();
    }
    endResetModel();
}

void DeviceFilesModel::refreshFolder(const QString &browserPath)
{
    const QString path = DevicePath::normalized(browserPath);
    Node *node = path == QLatin1String("/") ? mRoot.get() : nodeOf(indexForPath(path));
    if (node == mRoot.get() && path != QLatin1String("/"))
        return; // not listed yet: it is listed when a view opens it
    if (node->state == Node::State::NotLoaded)
        return;
    if (node->state == Node::State::Loading)
        mListing.remove(node->ticket);
    node->replacing = node->replacing || !node->children.empty();
    startListing(node, true);
}

void DeviceFilesModel::startListing(Node *node, bool relist)
{
    node->state = Node::State::Loading;
    node->ticket = ++mNextTicket;
    mListing.insert(node->ticket, node);
    {
        std::lock_guard guard(mQueueLock);
        mQueue.push_back({node->ticket, node->path, relist});
        if (!mWorker.joinable()) {
            try {
                mWorker = std::thread([this] { runWorker(); });
            } catch (const std::system_error &error) {
                VarnekLog("file browser: no listing thread (%s)", error.what());
                mQueue.clear();
                mListing.remove(node->ticket);
                // Nothing can be listed: the folder shows empty rather than loading forever.
                node->state = Node::State::Loaded;
                return;
            }
        }
    }
    mWake.notify_one();
}

void DeviceFilesModel::forget(Node *node)
{
    if (node->state == Node::State::Loading)
        mListing.remove(node->ticket);
    for (auto &child : node->children)
        forget(child.get());
}

void DeviceFilesModel::runWorker()
{
    for (;;) {
        Job job;
        {
            std::unique_lock guard(mQueueLock);
            mWake.wait(guard, [this] { return mQuit || !mQueue.empty(); });
            if (mQuit)
                return;
            job = mQueue.front();
            mQueue.pop_front();
        }
        const bool showHidden = preferenceBool(QStringLiteral("ADVANCED_MODE"));
        // The device changed under the cached listing: forget it, then list afresh.
        if (job.relist)
            mDevice.getDirectories(false);
        const QStringList paths = mDevice.getPathsForDir(job.path);
        auto entries = std::make_shared<std::vector<Entry>>();
        entries->reserve(size_t(paths.size()));
        {
            // One hold of the lock for the whole folder's kinds.
            std::lock_guard lock(mDevice.mLock);
            for (const QString &path : paths) {
                const QString name = DevicePath::lastComponent(path);
                if (!showHidden && (name.isEmpty() || name.startsWith(QLatin1Char('.'))))
                    continue;
                const QVariant kind = mDevice.mPaths.value(path);
                entries->push_back({name, kind.isValid() ? kind.toInt() : FSNodeInfo::kKindFile});
            }
        }
        std::shared_ptr<const std::vector<Entry>> result = std::move(entries);
        size_t from = 0;
        size_t batch = kFirstBatch;
        do {
            const size_t to = std::min(result->size(), from + batch);
            QMetaObject::invokeMethod(this, [this, ticket = job.ticket, result, from, to] { deliver(ticket, result, from, to); },
                                      Qt::QueuedConnection);
            from = to;
            batch = kBatch;
        } while (from < result->size());
    }
}

void DeviceFilesModel::deliver(uint64_t ticket, std::shared_ptr<const std::vector<Entry>> entries, size_t from, size_t to)
{
    Node *node = mListing.value(ticket);
    if (!node)
        return; // a listing the model no longer waits for
    const QModelIndex parent = indexOfNode(node);
    if (from == 0 && node->replacing) {
        node->replacing = false;
        if (!node->children.empty()) {
            beginRemoveRows(parent, 0, int(node->children.size()) - 1);
            for (auto &child : node->children)
                forget(child.get());
            node->children.clear();
            endRemoveRows();
        }
    }
    if (to > from) {
        const int first = int(node->children.size());
        beginInsertRows(parent, first, first + int(to - from) - 1);
        node->children.reserve(node->children.size() + (to - from));
        const QString prefix = node->path == QLatin1String("/") ? node->path : node->path + QLatin1Char('/');
        for (size_t i = from; i < to; ++i) {
            auto child = std::make_unique<Node>();
            child->parent = node;
            child->name = (*entries)[i].name;
            child->path = prefix + child->name;
            child->kind = (*entries)[i].kind;
            node->children.push_back(std::move(child));
        }
        endInsertRows();
    }
    if (to >= entries->size()) {
        mListing.remove(ticket);
        node->state = Node::State::Loaded;
        emit folderLoaded(node->path);
    }
}
