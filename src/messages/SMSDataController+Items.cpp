// The selection, printing, edits of the list (delete and undo) and the thumbnail queue.

#include "messages/SMSDataController.h"

#include "messages/FRMMSInfo.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QMetaObject>
#include <QPointer>

#include <system_error>

QList<FRSMSInfoPtr> SMSDataController::getSelectedItems() const
{
    if (!mSelectedRows.isEmpty())
        return mSelectedRows;
    if (!mCurrentThreads.isEmpty())
        return mDisplayed;
    return {};
}

QList<FRSMSInfoPtr> SMSDataController::objectsForPrinting() const
{
    if (preferenceBool(QStringLiteral("PRINT_SELECTION")) && !mSelectedRows.isEmpty())
        return mSelectedRows;
    // The conversations are the selected tree nodes themselves, never positions in a list
    // that the open groups of the tree would shift.
    return createSMSListing(mCurrentThreads, true);
}

bool SMSDataController::hasThumbsInIt(const QList<FRSMSInfoPtr> &rows) const
{
    for (const FRSMSInfoPtr &row : rows) {
        const int type = row->mediaType();
        if (type == FRMMSInfo::Image || type == FRMMSInfo::Video) {
            const auto *part = static_cast<const FRMMSInfo *>(row.get());
            if (!part->hasThumb())
                return true;
        }
    }
    return false;
}

void SMSDataController::tableBecameKey(QObject *view)
{
    if (view && view->objectName() == QLatin1String("threadList"))
        mSelectedRows.clear();
}

void SMSDataController::deleteItem(const FRSMSInfoPtr &item)
{
    const MessageSnapshotPtr current = snapshot();
    if (!current || !item)
        return;
    const int id = item->itemId();
    FRSMSInfoPtr message;
    for (const FRSMSInfoPtr &m : current->messages)
        if (m->itemId() == id) {
            message = m;
            break;
        }
    if (!message)
        return;
    auto next = std::make_shared<MessageSnapshot>(*current);
    next->messages.removeAll(message);
    next->parts.removeIf([&](const FRSMSInfoPtr &row) {
        if (row == message)
            return true;
        const auto part = std::dynamic_pointer_cast<FRMMSInfo>(row);
        return part && part->parent() == message;
    });
    {
        std::lock_guard lock(mLock);
        mSnapshot = next;
        mNumTotalSMS = std::max(0, mNumTotalSMS - 1);
    }
    mSelectedRows.clear();
    rebuildDisplayed();
}

bool SMSDataController::addBackItem(const FRSMSInfoPtr &item)
{
    const MessageSnapshotPtr current = snapshot();
    if (!item)
        return false;
    auto next = current ? std::make_shared<MessageSnapshot>(*current) : std::make_shared<MessageSnapshot>();
    const auto part = std::dynamic_pointer_cast<FRMMSInfo>(item);
    const FRSMSInfoPtr message = part ? part->parent() : item;
    if (next->messages.contains(message))
        return false;
    next->messages.append(message);
    if (part)
        for (const FRMMSInfoPtr &p : FRMMSInfo::objectsFromSMSInfo(message))
            next->parts.append(p);
    else
        next->parts.append(message);
    {
        std::lock_guard lock(mLock);
        mSnapshot = next;
        ++mNumTotalSMS;
    }
    rebuildDisplayed();
    return true;
}

bool SMSDataController::deleteWillAffectOthers() const
{
    const MessageSnapshotPtr current = snapshot();
    if (!current)
        return false;
    for (const FRSMSInfoPtr &row : mSelectedRows) {
        const auto part = std::dynamic_pointer_cast<FRMMSInfo>(row);
        if (!part || part->parent()->childCount() < 2)
            continue;
        for (const FRSMSInfoPtr &other : current->parts) {
            const auto sibling = std::dynamic_pointer_cast<FRMMSInfo>(other);
            if (sibling && sibling->parent() == part->parent() && !mSelectedRows.contains(other))
                return true;
        }
    }
    return false;
}

void SMSDataController::addToThumbQueue(const std::shared_ptr<FRMMSInfo> &part)
{
    std::lock_guard lock(queueLock);
    if (!mThumbQueue.contains(part))
        mThumbQueue.append(part);
}

void SMSDataController::processThumbQueueOnThread()
{
    QList<std::shared_ptr<FRMMSInfo>> queue;
    {
        // The queue is taken whole: the thread walks its own copy while loads add to a new one.
        std::lock_guard lock(queueLock);
        queue.swap(mThumbQueue);
    }
    if (queue.isEmpty())
        return;
    mThumbsAreDone.store(false);
    QPointer<SMSDataController> self(this);
    try {
        startWorker([this, self, queue] {
            for (const auto &part : queue)
                if (part->mediaExists(true))
                    part->setHasThumb(true);
            for (const auto &part : queue) {
                if (mTerminating.load())
                    break;
                if (part->hasThumb())
                    continue;
                if (part->generateThumb()) {
                    QMetaObject::invokeMethod(
                        this,
                        [this, self] {
                            if (self && onThumbnail)
                                onThumbnail();
                        },
                        Qt::QueuedConnection);
                }
            }
            mThumbsAreDone.store(true);
        });
    } catch (const std::system_error &) {
        mThumbsAreDone.store(true);
    }
}

QList<QVariantMap> SMSDataController::dragItems() const
{
    QList<QVariantMap> items;
    for (const FRSMSInfoPtr &row : mSelectedRows) {
        QVariantMap item{{QStringLiteral("mediaType"), row->mediaType()}};
        if (row->mediaType() == FRMMSInfo::Image || row->mediaType() == FRMMSInfo::Video) {
            const QByteArray thumb = static_cast<const FRMMSInfo *>(row.get())->thumbnailBytes();
            if (!thumb.isEmpty())
                item.insert(QStringLiteral("thumb"), thumb);
        }
        items.append(item);
    }
    return items;
}
