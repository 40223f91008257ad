#include "personal/FRWebTreeItem.h"

#include "device/AppController.h"
#include "shell/Defaults.h"

#include <QCoreApplication>

#include <atomic>
#include <mutex>

namespace {

// Nodes are made on the extraction threads and the main thread alike.
std::atomic<int> gNodeCounter{0};
std::mutex gRootLock;
FRWebTreeItemPtr gRoot; // gRootLock

} // namespace

FRWebTreeItemPtr FRWebTreeItem::itemWithInfo(const QString &name)
{
    auto item = std::make_shared<FRWebTreeItem>();
    item->mName = name;
    item->mNamed = true;
    item->mID = ++gNodeCounter;
    return item;
}

FRWebTreeItemPtr FRWebTreeItem::itemWithDict(const QVariantMap &dict, const QString &type)
{
    auto item = std::make_shared<FRWebTreeItem>();
    item->mDict = dict;
    item->mType = type;
    return item;
}

FRWebTreeItemPtr FRWebTreeItem::rootItem()
{
    std::lock_guard lock(gRootLock);
    if (!gRoot)
        gRoot = itemWithInfo(QCoreApplication::translate("FRWebTreeItem", "All"));
    return gRoot;
}

FRWebTreeItemPtr FRWebTreeItem::flushRootItem()
{
    std::lock_guard lock(gRootLock);
    gRoot = itemWithInfo(QCoreApplication::translate("FRWebTreeItem", "All"));
    return gRoot;
}

void FRWebTreeItem::insertChild(const FRWebTreeItemPtr &child, int index)
{
    mChildren.insert(qBound(0, index, int(mChildren.size())), child);
}

FRWebTreeItemPtr FRWebTreeItem::childAtIndex(int index) const
{
    if (index < 0 || index >= mChildren.size())
        return nullptr;
    return mChildren.at(index);
}

QString FRWebTreeItem::label() const
{
    if (mNamed)
        return mName;
    const QString text = mDict.value(QStringLiteral("name")).toString();
    if (preferenceInteger(QStringLiteral("messageSort")) != 2)
        return text;
    const QString sizeKey = mType == QLatin1String("FB")   ? QStringLiteral("FBsize")
                            : mType == QLatin1String("WA") ? QStringLiteral("WAsize")
                            : mType == QLatin1String("IM") ? QStringLiteral("IMsize")
                                                           : QStringLiteral("size");
    const quint64 size = mDict.value(sizeKey).toULongLong();
    if (size == 0)
        return text;
    return QStringLiteral("%1 (%2)").arg(text, AppController::getSizeText(size));
}
