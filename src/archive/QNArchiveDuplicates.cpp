// Removal of messages that older versions stored twice: once dated in nanoseconds since
// 2001 and once in whole seconds since 1970. Only the nanosecond row of such a pair goes,
// and only when its twin is the same message: the same moment by the one date rule every
// reader uses, the same conversation, the same text up to white space.

#include "archive/QNArchive.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceNames.h"
#include "device/AppController.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QSet>

#include <sqlite3.h>

namespace {

QString withoutWhiteSpace(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace())
            out.append(c);
    }
    return out;
}

struct Candidate
{
    qint64 rowid;
    qint64 seconds;
    QString address;
    QString text;
};

} // namespace

bool QNArchive::removeDuplicates(const QNArchive &archive, int *removed)
{
    if (removed)
        *removed = 0;
    const QString key = archive.uuid();
    AppController *controller = gSharedAppController.load();
    if (key.isEmpty() || !controller)
        return false;

    QStringList orphanedFiles;
    int count = 0;
    {
        std::lock_guard local(localLock);
        int error = 0;
        const ArchiveDBPtr db = controller->hasBackupTable(key) ? controller->getBackupDB(key, &error) : nullptr;
        if (!db) {
            VarnekLog("Error opening backup to remove duplicates: (%d) %s", error, "");
            return false;
        }
        sqlite3 *handle = db->handle();
        int rc = ArchiveSql::exec(handle, "BEGIN");
        if (rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: dedupe BEGIN Error %d %s", rc, sqlite3_errmsg(handle));
            return false;
        }
        const auto rollback = [&](const char *step) {
            VarnekLog("sqlite3_exec: %s Error %d %s", step, rc, sqlite3_errmsg(handle));
            ArchiveSql::exec(handle, "ROLLBACK");
            return false;
        };

        // The nanosecond rows first, so no statement reads the table while it changes.
        std::vector<Candidate> candidates;
        {
            SqlStatement select(handle, "SELECT date, text, ROWID, address FROM message "
                                        "WHERE address != '---DELETED---' AND date >= ?");
            if (!select.ok())
                return rc = select.rc(), rollback("dedupe select");
            select.bind(1, qint64(ArchiveDates::kNanosecondThreshold));
            while ((rc = select.step()) == SQLITE_ROW) {
                const qint64 stored = sqlite3_column_int64(select.get(), 0);
                const auto seconds = qint64(ArchiveDates::repairedSeconds(stored, double(stored)));
                candidates.push_back({sqlite3_column_int64(select.get(), 2), seconds,
                                      ArchiveSql::text(select.get(), 3), ArchiveSql::text(select.get(), 1)});
            }
            if (rc != SQLITE_DONE)
                return rollback("dedupe select");
        }

        SqlStatement twins(handle, "SELECT text FROM message WHERE date=? AND address=? AND text IS NOT NULL");
        SqlStatement pieces(handle, "SELECT path FROM smsbackuppieces WHERE smsid=? AND path != ''");
        SqlStatement dropPieces(handle, "DELETE FROM smsbackuppieces WHERE smsid=?");
        SqlStatement dropMessage(handle, "DELETE FROM message WHERE rowid=?");
        if (!twins.ok() || !pieces.ok() || !dropPieces.ok() || !dropMessage.ok())
            return rc = SQLITE_ERROR, rollback("dedupe prepare");
        QStringList candidateFiles;
        for (const Candidate &candidate : candidates) {
            const QString text = withoutWhiteSpace(candidate.text);
            twins.reset();
            twins.bind(1, candidate.seconds);
            twins.bind(2, candidate.address);
            bool twin = false;
            while (!twin && twins.step() == SQLITE_ROW)
                twin = withoutWhiteSpace(ArchiveSql::text(twins.get(), 0)) == text;
            if (!twin)
                continue;
            pieces.reset();
            pieces.bind(1, candidate.rowid);
            while (pieces.step() == SQLITE_ROW)
                candidateFiles << ArchiveSql::text(pieces.get(), 0);
            dropPieces.reset();
            dropPieces.bind(1, candidate.rowid);
            dropMessage.reset();
            dropMessage.bind(1, candidate.rowid);
            if ((rc = dropPieces.step()) != SQLITE_DONE || (rc = dropMessage.step()) != SQLITE_DONE)
                return rollback("SMS Delete");
            ++count;
        }

        // A file goes only when no row of the archive names it any more.
        SqlStatement stillUsed(handle, "SELECT 1 FROM smsbackuppieces WHERE path=? LIMIT 1");
        if (!stillUsed.ok())
            return rc = stillUsed.rc(), rollback("dedupe prepare");
        for (const QString &path : candidateFiles) {
            stillUsed.reset();
            stillUsed.bind(1, path);
            const QString relative = PieceNames::checkedRelativePath(path);
            if (stillUsed.step() != SQLITE_ROW && !relative.isEmpty())
                orphanedFiles << QDir(archiveFolderPath()).filePath(relative);
        }
        rc = ArchiveSql::exec(handle, "COMMIT");
        if (rc != SQLITE_OK) {
            VarnekLog("sqlite: dedupe COMMIT Error %d %s", rc, sqlite3_errmsg(handle));
            ArchiveSql::exec(handle, "ROLLBACK");
            return false;
        }
    }
    // Only once the rows are gone for good.
    for (const QString &path : orphanedFiles)
        controller->safeDelete(path);
    VarnekLog("Removed %d duplicate messages from %s", count, qUtf8Printable(key));
    if (removed)
        *removed = count;
    return true;
}
