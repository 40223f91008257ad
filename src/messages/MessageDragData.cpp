#include "messages/MessageDragData.h"

#include "messages/FRMMSInfo.h"
#include "messages/MessageExport.h"
#include "messages/SMSDataController.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <atomic>

namespace {
std::atomic<int> gDragNumber{0};
const QString kUriList = QStringLiteral("text/uri-list");
const QString kText = QStringLiteral("text/plain");
} // namespace

MessageDragData::MessageDragData(SMSDataController *controller, const QList<FRSMSInfoPtr> &rows)
    : mController(controller), mRows(rows)
{
    if (rows.size() == 1 && rows.first()->mediaType() == FRMMSInfo::Image) {
        const auto *part = static_cast<const FRMMSInfo *>(rows.first().get());
        mPicture = part->mediaBytes();
        const QString suffix = QFileInfo(part->saveName()).suffix().toLower();
        mPictureType = suffix == QLatin1String("png")                              ? QStringLiteral("image/png")
                       : suffix == QLatin1String("gif")                            ? QStringLiteral("image/gif")
                       : suffix == QLatin1String("heic") || suffix == QLatin1String("heif") ? QStringLiteral("image/heic")
                                                                                             : QStringLiteral("image/jpeg");
    }
}

QStringList MessageDragData::formats() const
{
    QStringList formats{kUriList, kText};
    if (!mPicture.isEmpty())
        formats.append(mPictureType);
    return formats;
}

QVariant MessageDragData::retrieveData(const QString &mimeType, QMetaType type) const
{
    if (mimeType == kText)
        return QString::fromUtf8(MessageExport::buildExportString(mRows, MessageExport::Text));
    if (mimeType == mPictureType && !mPicture.isEmpty())
        return mPicture;
    if (mimeType != kUriList)
        return QMimeData::retrieveData(mimeType, type);
    if (!mExported && mController) {
        mExported = true;
        const QString folder = getTempDir() + QStringLiteral("drag-%1").arg(gDragNumber.fetch_add(1) + 1);
        if (QDir().mkpath(folder)) {
            QString error;
            mFiles = mController->exportMessages(mRows, folder, QString(), true,
                                                 int(preferenceInteger(QStringLiteral("SMS_EXPORT_FORMAT2"))), false,
                                                 &error);
        }
    }
    QList<QVariant> urls;
    for (const QString &file : mFiles)
        urls.append(QUrl::fromLocalFile(file));
    return urls;
}

QStringList MessagesTableModel::mimeTypes() const
{
    return {kUriList, kText};
}

QMimeData *MessagesTableModel::mimeData(const QModelIndexList &indexes) const
{
    QList<FRSMSInfoPtr> rows;
    QList<int> seen;
    for (const QModelIndex &index : indexes) {
        if (seen.contains(index.row()))
            continue;
        seen.append(index.row());
        if (const FRSMSInfoPtr row = index.data(ValueRole).value<FRSMSInfoPtr>())
            rows.append(row);
    }
    if (rows.isEmpty())
        return nullptr;
    mController->setDragCount(int(rows.size()));
    return new MessageDragData(mController, rows);
}
