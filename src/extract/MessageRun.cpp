#include "extract/MessageRun.h"

#include "archive/PieceNames.h"
#include "backup/DeviceBackup.h"
#include "device/AppController.h"
#include "messages/FRSMSInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

bool MessageRun::archiveMessage(FRSMSInfo &record, const QString &html, int *error, int *failedStep) const
{
    const bool present = controller->checkForItem(html, record.SMSNSDate().toSecsSinceEpoch(), QVariant(),
                                                  QStringLiteral("message"), device, error);
    if (*error) {
        *failedStep = 2;
        return false;
    }
    if (present)
        return false;
    const bool written = controller->addSMSToBackup(record, device, false, error, backup, connected);
    if (*error)
        *failedStep = 3;
    return written;
}

void MessageRun::cachePiece(const QVariant &piece, const QString &key, bool pieceIsPath) const
{
    controller->addPieceToCache(piece, device, key, synctime, false);
    const bool isPath = pieceIsPath || (piece.isValid() && piece.typeId() == QMetaType::QString);
    if (isPath) {
        controller->usedQnmdbFiles.append(key);
        QFile::remove(localFile(key));
    }
}

bool MessageRun::findAttachment(const QString &key, bool imageOrVideo, MessageAttachments &into) const
{
    if (!PieceNames::isPlainName(key))
        return false;
    const QString local = localFile(key);
    if (!connected) {
        // A backup on disk: shown from the work folder, nothing fetched.
        into.fileIDs.append(local);
        return true;
    }
    bool cachedIsPath = false;
    QVariant piece;
    const uint64_t cached = controller->existsSMSPieceFromCache(key, QString(), false, &cachedIsPath);
    if (cached) {
        into.size += cached;
    } else {
        piece = controller->getPieceFile(local, key, device, false, backup);
        if (!piece.isValid() || piece.isNull())
            return false;
        into.size += AppController::getPieceSize(piece);
        if (piece.typeId() == QMetaType::QByteArray && QFileInfo::exists(local))
            QFile::remove(local);
        into.files.insert(key, piece);
    }
    into.fileIDs.append(local);
    cachePiece(piece, key, cached && cachedIsPath);
    if (imageOrVideo)
        controller->addPieceToCache(QByteArray(), device, QStringLiteral("thumb_") + key, synctime, false);
    return true;
}

QVariant MessageRun::partPiece(const QString &key, const QByteArray &data) const
{
    if (!PieceNames::isPlainName(key))
        return {};
    const QString local = localFile(key);
    QVariant piece = controller->getPieceFile(local, key, device, !connected, backup);
    if ((!piece.isValid() || piece.isNull()) && !data.isEmpty()) {
        QSaveFile file(local);
        if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
            piece = data;
    }
    if (!piece.isValid() || piece.isNull())
        return {};
    if (connected && piece.typeId() == QMetaType::QByteArray)
        QFile::remove(local);
    return piece;
}
