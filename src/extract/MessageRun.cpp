#include "extract/MessageRun.h"

#include "archive/ArchiveSql.h"
#include "archive/PieceNames.h"
#include "backup/DeviceBackup.h"
#include "device/AppController.h"
#include "messages/FRSMSInfo.h"

#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QSaveFile>

void MessageRun::noteWhetherArchiveIsEmpty(sqlite3 *archive)
{
    mStartedEmpty = !ArchiveSql::hasRow(archive, "SELECT 1 FROM message LIMIT 1")
        && ArchiveSql::probe(archive, "SELECT 1 FROM message");
    // 2^22 bits: with 100,000 messages written about one in forty others is asked needlessly.
    mWritten.assign(mStartedEmpty ? size_t(1) << 16 : 0, 0);
}

bool MessageRun::archiveMessage(FRSMSInfo &record, const QString &html, int *error, int *failedStep) const
{
    const qint64 date = record.SMSNSDate().toSecsSinceEpoch();
    const bool tracked = mStartedEmpty && !html.isEmpty();
    const size_t hash = tracked ? qHashMulti(0, date, html) : 0;
    const size_t word = tracked ? (hash >> 6) & (mWritten.size() - 1) : 0;
    const uint64_t bit = uint64_t(1) << (hash & 63);
    // The first message is always checked in the archive: that check also brings the
    // archive's indexes up to date.
    if (!tracked || !mCheckedOnce || (mWritten[word] & bit)) {
        mCheckedOnce = true;
        const bool present = controller->checkForItem(html, date, QVariant(), QStringLiteral("message"), device, error);
        if (*error) {
            *failedStep = 2;
            return false;
        }
        if (present)
            return false;
    }
    const bool written = controller->addSMSToBackup(record, device, false, error, backup, connected);
    if (*error)
        *failedStep = 3;
    else if (written && tracked)
        mWritten[word] |= bit;
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
