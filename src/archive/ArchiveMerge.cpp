#include "archive/ArchiveMerge.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceFiles.h"
#include "archive/PieceNames.h"
#include "device/AppController.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <sqlite3.h>

namespace {

constexpr int kProgressEvery = 500;

// A prepared statement that finalises itself (raw, for sqlite3_bind_value).
struct Statement
{
    sqlite3_stmt *s = nullptr;
    Statement(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) {
            sqlite3_finalize(s);
            s = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(s); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    void reset()
    {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

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

QString columnText(sqlite3_stmt *s, int column)
{
    return ArchiveSql::text(s, column);
}

void bindText(sqlite3_stmt *s, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(s, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// The one reading of a stored date (seconds since 1970).
double storedSeconds(sqlite3_stmt *s, int column)
{
    return ArchiveDates::repairedSeconds(sqlite3_column_int64(s, column), sqlite3_column_double(s, column));
}

qint64 rowCount(sqlite3 *db, const char *sql)
{
    Statement count(db, sql);
    return count.s && sqlite3_step(count.s) == SQLITE_ROW ? sqlite3_column_int64(count.s, 0) : 0;
}

// Whether two files hold the same bytes.
bool sameContents(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 16) != second.read(1 << 16))
            return false;
    }
    return true;
}

class Merger
{
public:
    Merger(sqlite3 *source, sqlite3 *target, QString sourceFolder, QString targetFolder,
           const std::function<void(double, double)> &progress)
        : mSource(source), mTarget(target), mSourceFolder(std::move(sourceFolder)),
          mTargetFolder(std::move(targetFolder)), mProgress(progress)
    {
        mTotal = double(rowCount(source, "SELECT COUNT(*) FROM call") + rowCount(source, "SELECT COUNT(*) FROM voicemail")
                        + rowCount(source, "SELECT COUNT(*) FROM contacts")
                        + rowCount(source, "SELECT COUNT(*) FROM message"));
    }

    bool run(ArchiveMergeResult &result)
    {
        return callsOrVoicemails(false, result.calls, result.duplicateCalls)
            && callsOrVoicemails(true, result.voicemails, result.duplicateVoicemails) && contacts(result.contacts)
            && messages(result.messages, result.duplicateMessages);
    }

    // Files this merge put into the target's piece folder (removed again on failure).
    const QStringList &copiedFiles() const { return mCopied; }

private:
    void tick()
    {
        if (++mDone % kProgressEvery == 0 && mProgress)
            mProgress(double(mDone), mTotal);
    }

    bool failed(const char *format)
    {
        VarnekLog(format, sqlite3_errcode(mTarget), sqlite3_errmsg(mTarget));
        return false;
    }

    bool callsOrVoicemails(bool voicemail, int &copied, int &duplicates)
    {
        Statement select(mSource, voicemail ? "SELECT id, date, address, duration, flags, amr FROM voicemail "
                                              "WHERE address != '---DELETED---'"
                                            : "SELECT id, date, address, duration, flags, wa, provider, name FROM call "
                                              "WHERE address != '---DELETED---'");
        Statement check(mTarget, voicemail ? "SELECT id FROM voicemail WHERE date=? AND address=? LIMIT 1"
                                           : "SELECT id FROM call WHERE date=? AND address=? LIMIT 1");
        Statement insert(mTarget, voicemail ? "INSERT INTO voicemail (id, date, address, duration, flags, amr) "
                                              "VALUES (?, ?, ?, ?, ?, ?)"
                                            : "INSERT INTO call (id, date, address, duration, flags, wa, provider, "
                                              "name) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        const char *failure = voicemail ? "sqlite3: 4 Merge vm insert Error %d %s" : "sqlite3: 4 Merge call insert Error %d %s";
        if (!select.s || !check.s || !insert.s)
            return failed(failure);
        const int columns = voicemail ? 6 : 8;
        int rc;
        while ((rc = sqlite3_step(select.s)) == SQLITE_ROW) {
            tick();
            const double date = storedSeconds(select.s, 1);
            check.reset();
            sqlite3_bind_double(check.s, 1, date);
            sqlite3_bind_value(check.s, 2, sqlite3_column_value(select.s, 2));
            const int found = sqlite3_step(check.s);
            if (found == SQLITE_ROW) {
                ++duplicates;
                continue;
            }
            if (found != SQLITE_DONE)
                return failed(failure);
            insert.reset();
            for (int i = 0; i < columns; ++i) {
                if (i == 1)
                    sqlite3_bind_double(insert.s, 2, date);
                else
                    sqlite3_bind_value(insert.s, i + 1, sqlite3_column_value(select.s, i));
            }
            if (sqlite3_step(insert.s) != SQLITE_DONE)
                return failed(failure);
            ++copied;
        }
        return rc == SQLITE_DONE || failed(failure);
    }

    bool contacts(int &copied)
    {
        Statement select(mSource, "SELECT id, name, image FROM contacts");
        Statement check(mTarget, "SELECT id FROM contacts WHERE id=? LIMIT 1");
        Statement insert(mTarget, "INSERT INTO contacts (id, name, image) VALUES (?, ?, ?)");
        const char *failure = "sqlite3: 4 Merge FB contacts insert Error %d %s";
        if (!select.s || !check.s || !insert.s)
            return failed(failure);
        int rc;
        while ((rc = sqlite3_step(select.s)) == SQLITE_ROW) {
            tick();
            check.reset();
            sqlite3_bind_value(check.s, 1, sqlite3_column_value(select.s, 0));
            const int found = sqlite3_step(check.s);
            if (found == SQLITE_ROW)
                continue;
            if (found != SQLITE_DONE)
                return failed(failure);
            insert.reset();
            for (int i = 0; i < 3; ++i)
                sqlite3_bind_value(insert.s, i + 1, sqlite3_column_value(select.s, i));
            if (sqlite3_step(insert.s) != SQLITE_DONE)
                return failed(failure);
            ++copied;
        }
        return rc == SQLITE_DONE || failed(failure);
    }

    bool messages(int &copied, int &duplicates)
    {
        Statement select(mSource, "SELECT ROWID, id, date, address, text, flags, html, sender, grouptitle, "
                                  "recipientnames, sendername FROM message WHERE address != '---DELETED---'");
        Statement twins(mTarget, "SELECT text, address FROM message WHERE date=?");
        Statement insert(mTarget, "INSERT INTO message (id, date, address, text, flags, html, sender, grouptitle, "
                                  "recipientnames, sendername) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        Statement pieces(mSource, "SELECT uuid, data, thumbnail, path FROM smsbackuppieces WHERE smsid=?");
        Statement addPiece(mTarget, "INSERT INTO smsbackuppieces (smsid, uuid, data, thumbnail, path) "
                                    "VALUES (?, ?, ?, ?, ?)");
        const char *failure = "sqlite3: 4 Merge sms insert Error %d %s";
        if (!select.s || !twins.s || !insert.s || !pieces.s || !addPiece.s)
            return failed(failure);
        int rc;
        while ((rc = sqlite3_step(select.s)) == SQLITE_ROW) {
            tick();
            const auto date = qint64(storedSeconds(select.s, 2));
            const QString address = columnText(select.s, 3);
            const QString text = withoutWhiteSpace(columnText(select.s, 4));
            twins.reset();
            sqlite3_bind_int64(twins.s, 1, date);
            bool duplicate = false;
            int step;
            while (!duplicate && (step = sqlite3_step(twins.s)) == SQLITE_ROW)
                duplicate = columnText(twins.s, 1) == address && withoutWhiteSpace(columnText(twins.s, 0)) == text;
            if (!duplicate && step != SQLITE_DONE)
                return failed(failure);
            if (duplicate) {
                ++duplicates;
                continue;
            }
            insert.reset();
            for (int i = 1; i <= 10; ++i) {
                if (i == 2)
                    sqlite3_bind_int64(insert.s, 2, date);
                else
                    sqlite3_bind_value(insert.s, i, sqlite3_column_value(select.s, i));
            }
            if (sqlite3_step(insert.s) != SQLITE_DONE)
                return failed(failure);
            const qint64 newRow = sqlite3_last_insert_rowid(mTarget);
            if (!copyPieces(pieces, addPiece, sqlite3_column_int64(select.s, 0), newRow))
                return false;
            ++copied;
        }
        return rc == SQLITE_DONE || failed(failure);
    }

    bool copyPieces(Statement &pieces, Statement &addPiece, qint64 sourceRow, qint64 targetRow)
    {
        pieces.reset();
        sqlite3_bind_int64(pieces.s, 1, sourceRow);
        int rc;
        while ((rc = sqlite3_step(pieces.s)) == SQLITE_ROW) {
            addPiece.reset();
            sqlite3_bind_int64(addPiece.s, 1, targetRow);
            sqlite3_bind_value(addPiece.s, 2, sqlite3_column_value(pieces.s, 0));
            sqlite3_bind_value(addPiece.s, 3, sqlite3_column_value(pieces.s, 1));
            sqlite3_bind_value(addPiece.s, 4, sqlite3_column_value(pieces.s, 2));
            const QString path = columnText(pieces.s, 3);
            if (path.isEmpty()) {
                sqlite3_bind_value(addPiece.s, 5, sqlite3_column_value(pieces.s, 3));
            } else {
                const QString name = copyPieceFile(path);
                if (name.isNull())
                    return false;
                if (name.isEmpty())
                    continue; // nothing to point at: no row
                bindText(addPiece.s, 5, QFileInfo(mTargetFolder).fileName() + QLatin1Char('/') + name);
            }
            if (sqlite3_step(addPiece.s) != SQLITE_DONE)
                return failed("sqlite3: 5 Merge smspart insert Error %d %s");
        }
        return rc == SQLITE_DONE || failed("sqlite3: 5 Merge smspart insert Error %d %s");
    }

    // The file's name in the target folder; empty when the source has no such file (the
    // piece is left out); null when the copy failed.
    QString copyPieceFile(const QString &storedPath)
    {
        const QString name = storedPath.section(QLatin1Char('/'), -1);
        const QString source = QDir(mSourceFolder).filePath(name);
        if (!PieceNames::isPlainName(name) || !QFileInfo(source).isFile()) {
            VarnekLog("Merge: no attachment file for %s, piece left out", qUtf8Printable(storedPath));
            return QString(QLatin1String(""));
        }
        const auto known = mPlaced.constFind(source);
        if (known != mPlaced.constEnd())
            return *known;
        const QFileInfo info(name);
        QString candidate = name;
        for (int n = 1;; ++n) {
            const QString target = QDir(mTargetFolder).filePath(candidate);
            const QFileInfo there(target);
            if (!there.exists() && !there.isSymLink()) {
                QString error;
                if (!PieceFiles::copyIntoPlaceUnflushed(source, target, &error)) {
                    VarnekLog("copy mddbx error %s", qUtf8Printable(error));
                    return QString();
                }
                mCopied << target;
                break;
            }
            // A file of the same name is the same attachment only when it holds the same bytes.
            if (there.isFile() && !there.isSymLink() && sameContents(source, target))
                break;
            candidate = info.suffix().isEmpty() || info.completeBaseName().isEmpty()
                ? QStringLiteral("%1-%2").arg(name).arg(n)
                : QStringLiteral("%1-%2.%3").arg(info.completeBaseName()).arg(n).arg(info.suffix());
        }
        mPlaced.insert(source, candidate);
        return candidate;
    }

    sqlite3 *mSource;
    sqlite3 *mTarget;
    QString mSourceFolder, mTargetFolder;
    const std::function<void(double, double)> &mProgress;
    qint64 mDone = 0;
    double mTotal = 0;
    QStringList mCopied;
    QHash<QString, QString> mPlaced; // source file -> name in the target folder
};

} // namespace

namespace ArchiveMerge {

ArchiveMergeResult merge(AppController &controller, const QString &sourceKey, const QString &targetKey,
                         const std::function<void(double, double)> &progress)
{
    ArchiveMergeResult result;
    std::lock_guard local(localLock);
    int error = 0;
    // Only archives that exist: opening a missing key would make an empty one.
    const ArchiveDBPtr source = controller.hasBackupTable(sourceKey) ? controller.getBackupDB(sourceKey, &error) : nullptr;
    const ArchiveDBPtr target = source && controller.hasBackupTable(targetKey) ? controller.getBackupDB(targetKey, &error)
                                                                               : nullptr;
    if (!source || !target || source == target) {
        VarnekLog("Merge: cannot open %s or %s (%d)", qUtf8Printable(sourceKey), qUtf8Printable(targetKey), error);
        result.outcome = ArchiveMergeResult::Outcome::OpenFailed;
        return result;
    }
    sqlite3 *handle = target->handle();
    int rc = ArchiveSql::exec(handle, "BEGIN");
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: merge BEGIN Error %d %s", rc, sqlite3_errmsg(handle));
        result.outcome = ArchiveMergeResult::Outcome::CopyFailed;
        return result;
    }
    const QString sourceFolder = controller.pieceFolderPathForDevice(sourceKey, true);
    const QString targetFolder = controller.pieceFolderPathForDevice(targetKey, true);
    Merger merger(source->handle(), handle, sourceFolder, targetFolder, progress);
    const bool copied = merger.run(result);
    const auto undo = [&] {
        if (!sqlite3_get_autocommit(handle))
            ArchiveSql::exec(handle, "ROLLBACK");
        for (const QString &file : merger.copiedFiles())
            controller.safeDelete(file);
    };
    if (!copied) {
        undo();
        result.outcome = ArchiveMergeResult::Outcome::CopyFailed;
        return result;
    }
    // The copied files are on disk before any row that names them is.
    if (!merger.copiedFiles().isEmpty() && !PieceFiles::flushFileSystemOf(targetFolder)) {
        VarnekLog("copy mddbx error %s", "cannot flush the copied attachments");
        undo();
        result.outcome = ArchiveMergeResult::Outcome::CopyFailed;
        return result;
    }
    rc = ArchiveSql::exec(handle, "COMMIT");
    if (rc != SQLITE_OK) {
        VarnekLog("sqlite: merge COMMIT Error %d %s", rc, sqlite3_errmsg(handle));
        undo();
        result.outcome = ArchiveMergeResult::Outcome::CommitFailed;
        return result;
    }
    if (progress)
        progress(1, 1);
    const int copiedItems = result.messages + result.voicemails + result.calls;
    const int duplicates = result.duplicateMessages + result.duplicateVoicemails + result.duplicateCalls;
    result.outcome = copiedItems == 0 && duplicates > 0 ? ArchiveMergeResult::Outcome::AllDuplicates
                                                        : ArchiveMergeResult::Outcome::Copied;
    return result;
}

} // namespace ArchiveMerge
