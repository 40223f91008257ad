#pragma once
// What one run of the messages (or WhatsApp) extraction shares between its rows: the device
// key, the mode (connected device or backup on disk), the archive handle and its transaction,
// and the way an attachment is found and recorded. Made and used on the run's thread, under
// localLock, for the length of one run.

#include "archive/ArchiveDB.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <vector>

class AppController;
class DeviceBackup;
class FRSMSInfo;
struct sqlite3;

struct MessageAttachments
{
    QVariantMap files;   // piece key -> bytes or path (fetched in this run)
    QStringList fileIDs; // local file paths of the shown attachments
    uint64_t size = 0;
};

struct MessageRun
{
    AppController *controller = nullptr;
    QString device;    // the archive key (without "thumbcache")
    QString folder;    // the database's folder: where the attachments were put
    bool connected = false;
    int64_t synctime = 0;
    std::shared_ptr<DeviceBackup> backup;

    // Call once the run's transaction is open, before the first message is archived. When
    // the archive holds no message yet (read inside the transaction, so nothing else can add
    // one before it ends), a message can only have a twin among those this run writes: the
    // archive is asked only for a message whose date and HTML hash like one of those.
    void noteWhetherArchiveIsEmpty(sqlite3 *archive);

    // The work-folder path of a piece key.
    QString localFile(const QString &key) const { return folder + QLatin1Char('/') + key; }

    // Finds an attachment (an iMessage file, a handwriting image, a WhatsApp medium): from the
    // piece cache or the work folder on a connected device (then cached, with an empty
    // thumbnail entry for images and videos), shown from the work folder for a backup on
    // disk. Records it in `into` when found.
    bool findAttachment(const QString &key, bool imageOrVideo, MessageAttachments &into) const;
    // A message part's piece (older messages databases): the stored piece, else `data`
    // written to the work folder. Invalid when there is neither.
    QVariant partPiece(const QString &key, const QByteArray &data) const;
    // Writes a message into the archive unless its twin (by `html` and date) is there
    // already; answers whether it was written. On failure `*error` is set and `*failedStep`
    // says which step failed: 2 the duplicate check, 3 the write.
    bool archiveMessage(FRSMSInfo &record, const QString &html, int *error, int *failedStep) const;
    // Caches a fetched piece of a connected device and notes the cache files in use.
    void cachePiece(const QVariant &piece, const QString &key, bool pieceIsPath) const;

private:
    bool mStartedEmpty = false;
    mutable bool mCheckedOnce = false;
    // The date and HTML hashes of the messages this run wrote, one bit each: a set bit means
    // "perhaps written", which the archive then answers.
    mutable std::vector<uint64_t> mWritten;
};
