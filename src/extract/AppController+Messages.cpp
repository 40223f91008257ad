// The messages database ("sms.db") of every schema generation read into message records and
// merged into the device's archive: the query of the generation, each row's participants,
// date and flags, its text and HTML with attachments (message parts of older generations,
// archived attributed bodies of newer ones, handwriting), then the archive check and write.
//
// Runs on a load thread with localLock held from start to end. The one transaction of the
// run also covers the reset of the cache's sync marks, so a run that fails or is cancelled
// leaves the archive and the cache exactly as they were.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveSql.h"
#include "backup/DeviceBackup.h"
#include "extract/DeviceDatabase.h"
#include "extract/MessageHTML.h"
#include "extract/MessageRun.h"
#include "interfaces/HTMLTextConverter.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "platform/PropertyList.h"
#include "platform/TypedStream.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimeZone>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

constexpr int kOpenFailed = -8817;
constexpr int kQueryFailed = -8818;
constexpr int kArchiveUnavailable = -88666;
constexpr int kBeginFailed = -886672;
constexpr int kCommitFailed = -886671;
// Only this many rows can give listed records; later ones are still counted and archived.
constexpr qint64 kListedRowLimit = 19999998;
constexpr qint64 kNanosecondThreshold = 100000000000000000LL;

const QString kFileTransferGUID = QStringLiteral("__kIMFileTransferGUIDAttributeName");
const QString kHandwritingBalloon = QStringLiteral("com.apple.Handwriting.HandwritingProvider");

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

// The piece key of an iMessage attachment's file name: "<folder>-iMessage-<name>" for files
// in the attachment and sticker folders (names repeat there), else the last component. The
// backup work folder names these files by the same rule. Empty when the name is unusable.
QString attachmentKey(const QString &fileName)
{
    static const QStringList prefixes = {
        QStringLiteral("Library/SMS/Attachments/"),       QStringLiteral("~/Library/SMS/Attachments/"),
        QStringLiteral("/var/mobile/Library/SMS/Attachments/"), QStringLiteral("Library/SMS/StickerCache/"),
        QStringLiteral("~/Library/SMS/StickerCache/"),    QStringLiteral("/var/mobile/Library/SMS/StickerCache/"),
    };
    const QStringList parts = fileName.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() < 2)
        return {};
    for (const QString &prefix : prefixes) {
        if (fileName.startsWith(prefix))
            return parts.at(parts.size() - 2) + QStringLiteral("-iMessage-") + parts.last();
    }
    return parts.last();
}

QString joinSorted(QStringList names)
{
    std::sort(names.begin(), names.end(),
              [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    return names.join(QStringLiteral(", "));
}

void appendTag(QString &text, const QString &tag)
{
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    text += tag;
}

QDateTime dateFrom2001(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds + ArchiveDates::kReferenceDate, Qt::UTC);
}

// The statements of one schema generation.
struct Statements
{
    SqlStatement message, parts, group, members, attachment, handwritingByTime, handwritingByMessage;
    // Every attachment row at once, read the first time an attachment is looked up: device
    // databases need not index the guid, and one lookup per attachment would then read the
    // whole table each time. The first row of a guid wins, as the lookup's LIMIT 1 does.
    QByteArray attachmentTableSql;
};

// The rows' column layout differs by generation; this holds one row's values.
struct Row
{
    qint64 rowid = 0;
    qint64 date = 0;
    QString address, sender, text, subject;
    int flags = 0;
    bool iMessage = false;
    QByteArray attributedBody;
    qint64 groupId = 0;
    QByteArray participants;
    QString balloon;
};

class MessageReader
{
public:
    MessageReader(MessageRun &run, DeviceDatabase &db, Statements &s, int version)
        : mRun(run), mDb(db), mS(s), mVersion(version)
    {}

    Row read(sqlite3_stmt *q) const
    {
        Row row;
        row.rowid = sqlite3_column_int64(q, 0);
        qint64 date = sqlite3_column_int64(q, 1);
        if (date > kNanosecondThreshold)
            date /= 1000000000;
        row.text = ArchiveSql::text(q, 3);
        if (mVersion >= 31) {
            row.sender = shared(ArchiveSql::text(q, 2));
            if (sqlite3_column_type(q, 8) != SQLITE_NULL)
                row.address = chatMembers(sqlite3_column_int64(q, 8));
            // A message without a chat row still has its counterpart: the handle.
            if (row.address.isEmpty())
                row.address = row.sender;
            row.subject = ArchiveSql::text(q, 6);
            row.iMessage = ArchiveSql::text(q, 7) == QLatin1String("iMessage");
            const bool fromMe = sqlite3_column_int(q, 9) != 0;
            if (row.iMessage)
                row.flags |= SMSFlag::IMessage;
            else if (fromMe || sqlite3_column_int(q, 12) != 0)
                row.flags |= 2;
            if (fromMe)
                row.flags |= SMSFlag::Sent;
            setFailed(row, sqlite3_column_int(q, 11));
            row.attributedBody = ArchiveSql::blob(q, 10);
            if (mVersion >= 10000)
                row.balloon = ArchiveSql::text(q, 13);
            row.date = date;
            return row;
        }
        row.address = ArchiveSql::text(q, 2);
        row.flags = sqlite3_column_int(q, 4);
        if (mVersion >= 10) {
            row.groupId = sqlite3_column_int64(q, 5);
            row.subject = ArchiveSql::text(q, 6);
        }
        if (mVersion >= 20 && sqlite3_column_int(q, 7) != 0) {
            row.iMessage = true;
            row.sender = shared(ArchiveSql::text(q, 8));
            if (sqlite3_column_int(q, 9) & 4)
                row.flags |= SMSFlag::IMessage | SMSFlag::Sent;
            else
                row.flags = (row.flags | SMSFlag::IMessage) & ~SMSFlag::Sent;
            setFailed(row, sqlite3_column_int(q, 11));
            row.attributedBody = ArchiveSql::blob(q, 10);
            row.participants = ArchiveSql::blob(q, 12);
        }
        // Older generations and text messages count from 1970.
        row.date = row.iMessage ? date : date - ArchiveDates::kReferenceDate;
        return row;
    }

    // One copy of each handle and flags text for all the run's records, which repeat them.
    QString shared(const QString &text) const
    {
        const auto known = mTexts.constFind(text);
        if (known != mTexts.constEnd())
            return *known;
        mTexts.insert(text);
        return text;
    }
    QString flagsText(int flags) const
    {
        const auto known = mFlagTexts.constFind(flags);
        if (known != mFlagTexts.constEnd())
            return *known;
        return *mFlagTexts.insert(flags, QString::number(flags));
    }

    // The participants of versions 10 to 30 (with the parts statement).
    void participants(Row &row) const
    {
        if (!row.iMessage) {
            if (row.sender.isEmpty())
                row.sender = row.address;
            QStringList members;
            SqlStatement &group = mS.group;
            if (group.ok()) {
                group.reset();
                group.bind(1, row.groupId);
                while (group.step() == SQLITE_ROW)
                    members << ArchiveSql::text(group.get(), 0);
                group.reset();
            }
            row.address = joinSorted(members);
        } else {
            const auto list = PropertyList::fromData(row.participants);
            if (!list || list->typeId() != QMetaType::QVariantList)
                return;
            QStringList members;
            for (const QVariant &item : list->toList())
                members << item.toString();
            row.address = joinSorted(members);
        }
        if (row.address.isEmpty())
            row.address = row.sender;
    }

    // A chat's members do not change during a run (the database is a read-only copy), and
    // most chats hold many messages: each chat is queried once.
    QString chatMembers(qint64 chatId) const
    {
        const auto known = mChatMembers.constFind(chatId);
        if (known != mChatMembers.constEnd())
            return *known;
        QStringList members;
        SqlStatement &statement = mS.members;
        statement.reset();
        statement.bind(1, chatId);
        while (statement.step() == SQLITE_ROW)
            members << ArchiveSql::text(statement.get(), 0);
        statement.reset();
        return *mChatMembers.insert(chatId, joinSorted(members));
    }

    // (mime type, file name) of an attachment guid; nothing when unknown.
    std::pair<QString, QString> attachment(const QString &guid) const
    {
        SqlStatement &statement = mS.attachment;
        if (!statement.ok())
            return {};
        if (!mAttachmentsRead) {
            mAttachmentsRead = true;
            SqlStatement all(mDb.handle(), mS.attachmentTableSql.constData());
            mAttachmentsLoaded = all.ok();
            int rc = SQLITE_OK;
            while (all.ok() && (rc = all.step()) == SQLITE_ROW) {
                // Only a text guid can equal the text the lookup binds.
                if (sqlite3_column_type(all.get(), 0) != SQLITE_TEXT)
                    continue;
                const QString key = ArchiveSql::text(all.get(), 0);
                if (!mAttachments.contains(key))
                    mAttachments.insert(key, {ArchiveSql::text(all.get(), 1), ArchiveSql::text(all.get(), 2)});
            }
            if (rc != SQLITE_DONE) {
                // A damaged table: each guid is looked up on its own, as far as it can be read.
                mAttachmentsLoaded = false;
                mAttachments.clear();
            }
        }
        if (mAttachmentsLoaded)
            return mAttachments.value(guid);
        statement.reset();
        statement.bind(1, guid);
        std::pair<QString, QString> found;
        if (statement.step() == SQLITE_ROW)
            found = {ArchiveSql::text(statement.get(), 0), ArchiveSql::text(statement.get(), 1)};
        statement.reset();
        return found;
    }

    QString handwritingFile(const Row &row) const
    {
        QString file;
        if (mS.handwritingByMessage.ok()) {
            mS.handwritingByMessage.reset();
            mS.handwritingByMessage.bind(1, row.rowid);
            if (mS.handwritingByMessage.step() == SQLITE_ROW)
                file = ArchiveSql::text(mS.handwritingByMessage.get(), 0);
            mS.handwritingByMessage.reset();
        }
        if (file.isEmpty() && mS.handwritingByTime.ok()) {
            mS.handwritingByTime.reset();
            mS.handwritingByTime.bind(1, row.date - 3);
            mS.handwritingByTime.bind(2, row.date + 3);
            if (mS.handwritingByTime.step() == SQLITE_ROW)
                file = ArchiveSql::text(mS.handwritingByTime.get(), 0);
            mS.handwritingByTime.reset();
        }
        return file;
    }

    // One iMessage file (an attributed-body attachment or a handwriting image).
    void addFile(const QString &mime, const QString &fileName, QString &text, QString &html,
                 MessageAttachments &attachments) const
    {
        const QString key = attachmentKey(fileName);
        const bool image = mime.startsWith(QLatin1String("image"));
        const bool video = mime.startsWith(QLatin1String("video"));
        const bool audio = mime.startsWith(QLatin1String("audio"));
        if (key.isEmpty() || !mRun.findAttachment(key, image || video, attachments)) {
            const QString marker = tr("[MEDIA UNAVAILABLE]");
            html = MessageHTML::unavailableRow(html, marker);
            appendTag(text, marker);
            return;
        }
        const QString label = fileName.section(QLatin1Char('/'), -1);
        if (image) {
            html += MessageHTML::imageRow(key);
            appendTag(text, QStringLiteral("[IMAGE]"));
        } else if (video) {
            html = MessageHTML::linkRow(MessageHTML::videoRow(html, key), key, label);
            appendTag(text, QStringLiteral("[VIDEO]"));
        } else if (audio) {
            html = MessageHTML::linkRow(MessageHTML::audioRow(html, key), key, label);
            appendTag(text, QStringLiteral("[AUDIO]"));
        } else {
            html = MessageHTML::linkRow(html, key, label);
            appendTag(text, tr("[%1]").arg(label));
        }
    }

    // The archived attributed body, run by run. False when it cannot be read (the row's
    // plain text stands then).
    bool body(const Row &row, QString &text, QString &html, MessageAttachments &attachments) const
    {
        QString error;
        const auto attributed = TypedStream::attributedString(row.attributedBody, &error);
        if (!attributed) {
            VarnekLog("Unreadable message body of row %lld: %s", row.rowid, qUtf8Printable(error));
            return false;
        }
        text.clear();
        html = MessageHTML::head();
        for (const TypedAttributedString::Run &run : attributed->runs) {
            const QVariant guid = run.attributes.value(kFileTransferGUID);
            if (guid.isValid()) {
                const auto [mime, fileName] = attachment(guid.toString());
                addFile(mime, fileName, text, html, attachments);
            }
            QString piece = attributed->string.mid(run.location, run.length);
            piece.remove(QChar(0xFFFC));
            if (!piece.isEmpty()) {
                html = QStringLiteral("<div>") + html + MessageHTML::fragment(piece) + QStringLiteral("</div>");
                text += piece;
            }
        }
        return true;
    }

    // The message parts of versions 10 to 30. False when a part could not be found.
    bool parts(const Row &row, QString &text, QString &html, MessageAttachments &attachments) const
    {
        bool available = true;
        SqlStatement &statement = mS.parts;
        statement.reset();
        statement.bind(1, row.rowid);
        bool any = false;
        while (statement.step() == SQLITE_ROW) {
            any = true;
            sqlite3_stmt *q = statement.get();
            const QString type = ArchiveSql::text(q, 0);
            const QByteArray data = ArchiveSql::blob(q, 1);
            const QString location = ArchiveSql::text(q, 2);
            const int partId = sqlite3_column_int(q, 3);
            const QString extension = QFileInfo(location).suffix();
            const bool isImage = type.startsWith(QLatin1String("image"));
            const bool isVideo = type.startsWith(QLatin1String("video"));
            const bool isAudio = type.startsWith(QLatin1String("audio"));
            const bool isCard = type.endsWith(QLatin1String("vcard"));
            if (type == QLatin1String("text/html")) {
                const QString part = QString::fromUtf8(data);
                if (!text.isEmpty())
                    text += QLatin1Char('\n');
                if (!part.isEmpty()) {
                    const QString clean = MessageHTML::sanitize(part);
                    html = MessageHTML::textBlock(html, clean);
                    text += HTMLTextConverter::converter()->plainTextFromHTML(clean);
                }
                continue;
            }
            if (type == QLatin1String("text/plain")) {
                const QString part = QString::fromUtf8(data);
                if (!text.isEmpty())
                    text += QLatin1Char('\n');
                text += part;
                html = MessageHTML::textBlock(html, MessageHTML::fragment(part));
                continue;
            }
            if (!(isImage || isVideo || isAudio || isCard) || extension.isEmpty())
                continue;
            const QString key = QStringLiteral("%1-%2.%3").arg(row.rowid).arg(partId).arg(extension);
            const QVariant piece = mRun.partPiece(key, data);
            if (piece.isValid()) {
                if (mRun.connected) {
                    mRun.cachePiece(piece, key, false);
                    if (isImage || isVideo) {
                        const QVariant thumb = mRun.controller->getPieceFile(QString(), QStringLiteral("thumb_") + key,
                                                                             mRun.device, false, mRun.backup);
                        if (thumb.isValid() && !thumb.isNull())
                            mRun.controller->addPieceToCache(thumb, mRun.device, QStringLiteral("thumb_") + key,
                                                             mRun.synctime, false);
                    }
                }
                attachments.files.insert(key, piece);
                attachments.fileIDs.append(mRun.localFile(key));
                attachments.size += AppController::getPieceSize(piece);
            }
            if (isCard && !isImage && !isVideo && !isAudio) {
                if (piece.isValid())
                    html = MessageHTML::linkRow(html, key, location);
                else {
                    available = false;
                    html = MessageHTML::unavailableRow(html, tr("[ADDRESS CARD UNAVAILABLE]"));
                }
                appendTag(text, QStringLiteral("[%1]").arg(location));
                continue;
            }
            if (!piece.isValid()) {
                available = false;
                const QString marker = tr("[MEDIA UNAVAILABLE]");
                html = MessageHTML::unavailableRow(html, isVideo   ? tr("[VIDEO UNAVAILABLE]")
                                                         : isAudio ? tr("[AUDIO UNAVAILABLE]")
                                                                   : marker);
                appendTag(text, marker);
                continue;
            }
            if (isImage) {
                html = MessageHTML::imagePartRow(html, key);
                appendTag(text, QStringLiteral("[IMAGE]"));
            } else if (isVideo) {
                html = MessageHTML::linkRow(MessageHTML::videoRow(html, key), key, key);
                appendTag(text, QStringLiteral("[VIDEO]"));
            } else {
                html = MessageHTML::linkRow(MessageHTML::audioRow(html, key), key, key);
                appendTag(text, QStringLiteral("[AUDIO]"));
            }
        }
        statement.reset();
        if (!any && mVersion < 20)
            html += MessageHTML::fragment(row.text);
        return available;
    }

private:
    static void setFailed(Row &row, int error)
    {
        if (error)
            row.flags |= SMSFlag::Failed;
        else
            row.flags &= ~SMSFlag::Failed;
    }

    MessageRun &mRun;
    DeviceDatabase &mDb;
    Statements &mS;
    int mVersion;
    mutable QHash<qint64, QString> mChatMembers;
    mutable QSet<QString> mTexts;
    mutable QHash<int, QString> mFlagTexts;
    mutable QHash<QString, std::pair<QString, QString>> mAttachments;
    mutable bool mAttachmentsRead = false;
    mutable bool mAttachmentsLoaded = false;
};

// The message query and statements of a generation, reading a column the database lacks
// as NULL. Returns the failing code, or SQLITE_OK.
int prepare(DeviceDatabase &db, int version, Statements &s)
{
    sqlite3 *h = db.handle();
    auto m = [&](const char *column) { return db.column(QStringLiteral("message"), QLatin1String(column)); };
    QString sql;
    if (version < 10) {
        sql = QStringLiteral("SELECT ROWID, %1, %2, %3, %4 from message ORDER BY ROWID DESC")
                  .arg(m("date"), m("address"), m("text"), m("flags"));
    } else if (version < 20) {
        sql = QStringLiteral("SELECT ROWID, %1, %2, %3, %4, %5, %6 from message ORDER BY ROWID DESC")
                  .arg(m("date"), m("address"), m("text"), m("flags"), m("group_id"), m("subject"));
    } else if (version <= 30) {
        const bool chats = db.hasTable(QStringLiteral("madrid_chat")) && db.hasColumn(QStringLiteral("message"), QStringLiteral("madrid_roomname"));
        sql = QStringLiteral("SELECT message.ROWID, %1, %2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12 from message %13"
                             "ORDER BY message.ROWID DESC")
                  .arg(m("date"), m("address"), m("text"), m("flags"), m("group_id"), m("subject"), m("is_madrid"),
                       m("madrid_handle"))
                  .arg(m("madrid_flags"), m("madrid_attributedBody"), m("madrid_error"),
                       chats ? db.column(QStringLiteral("madrid_chat"), QStringLiteral("participants")) : QStringLiteral("NULL"),
                       chats ? QStringLiteral("left join madrid_chat on message.madrid_roomname = madrid_chat.room_name ")
                             : QString());
    } else {
        const bool joins = db.hasTable(QStringLiteral("chat_message_join"));
        const bool handles = db.hasTable(QStringLiteral("handle")) && db.hasColumn(QStringLiteral("message"), QStringLiteral("handle_id"));
        sql = QStringLiteral("SELECT message.ROWID, %1, %2, %3, NULL, NULL, %4, %5, %6, %7, %8, %9, %10%11 from message %12%13"
                             "ORDER BY message.ROWID DESC")
                  .arg(m("date"), handles ? db.column(QStringLiteral("handle"), QStringLiteral("id")) : QStringLiteral("NULL"),
                       m("text"), m("subject"), m("service"),
                       joins ? QStringLiteral("chat_message_join.chat_id") : QStringLiteral("NULL"), m("is_from_me"),
                       m("attributedBody"))
                  .arg(m("error"), m("is_read"),
                       version >= 10000 ? QStringLiteral(", ") + m("balloon_bundle_id") : QString(),
                       joins ? QStringLiteral("left join chat_message_join on chat_message_join.message_id = message.ROWID ")
                             : QString(),
                       handles ? QStringLiteral("left join handle on handle_id=handle.ROWID ") : QString());
    }
    if (s.message.prepare(h, sql.toUtf8().constData()) != SQLITE_OK)
        return s.message.rc();
    if (version >= 10 && version <= 30) {
        s.parts.prepare(h, "SELECT content_type, data, content_loc, part_id from msg_pieces WHERE message_id=? "
                           "AND preview_part=-1 ORDER BY part_id ASC");
        s.group.prepare(h, "SELECT address from group_member WHERE group_id=?");
        if (version >= 20) {
            s.attachment.prepare(h, "SELECT mime_type, filename from madrid_attachment WHERE attachment_guid=? LIMIT 1");
            s.attachmentTableSql = "SELECT attachment_guid, mime_type, filename from madrid_attachment";
        }
    } else if (version >= 31) {
        if (s.members.prepare(h, "select id from handle left join chat_handle_join on chat_handle_join.handle_id = "
                                 "handle.ROWID where chat_handle_join.chat_id=?")
            != SQLITE_OK) {
            // The members are required unless the database has no chats at all.
            if (db.hasTable(QStringLiteral("chat_message_join")))
                return s.members.rc();
        }
        s.attachmentTableSql = "SELECT guid, mime_type, filename from attachment";
        if (s.attachment.prepare(h, "SELECT mime_type, filename from attachment WHERE guid=? LIMIT 1") == SQLITE_OK
            && version >= 10000
            && s.handwritingByTime.prepare(h, "SELECT filename from attachment WHERE filename like '%handwriting.jpg' "
                                              "and created_date between ? and ? LIMIT 1")
                == SQLITE_OK)
            s.handwritingByMessage.prepare(
                h, "select filename from attachment left join message_attachment_join on attachment.rowid = "
                   "message_attachment_join.attachment_id where filename like '%handwriting.jpg' and "
                   "message_attachment_join.message_id=? LIMIT 1");
    }
    return SQLITE_OK;
}

} // namespace

int AppController::getClientVersion(sqlite3 *db)
{
    SqlStatement statement(db, "SELECT value FROM _SqliteDatabaseProperties WHERE key='_ClientVersion'");
    if (!statement.ok()) {
        VarnekLog("sqlite3_exec: 1 Error in getClientVersion %d %s", statement.rc(), sqlite3_errmsg(db));
        return 100000;
    }
    const int rc = statement.step();
    if (rc == SQLITE_ROW)
        return sqlite3_column_int(statement.get(), 0);
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: 1 Error in getClientVersion %d %s", rc, sqlite3_errmsg(db));
        return 100000;
    }
    return 0;
}

std::optional<QList<FRSMSInfoPtr>> AppController::processSMSData(const QString &path, SMSDataController *controller,
                                                                 const QString &deviceArgument, int *error,
                                                                 int64_t synctime, const DeviceBackupPtr &backup)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    VarnekLog("processSMSData for %s (%s)", qUtf8Printable(path), qUtf8Printable(deviceArgument));
    QString device = deviceArgument;
    if (device.startsWith(QLatin1String("thumbcache")))
        device = device.mid(10);

    std::lock_guard local(localLock);
    if (!QFileInfo::exists(path)) {
        VarnekLog("sms file wasn't there!");
        return std::nullopt;
    }
    DeviceDatabase db;
    if (const int rc = db.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing sms db file: (%d) %s", rc, qUtf8Printable(db.message()));
        err = kOpenFailed;
        return std::nullopt;
    }
    if (controller)
        controller->setNumTotalSMS(0);

    MessageRun run;
    run.controller = this;
    run.device = device;
    run.folder = QFileInfo(path).absolutePath();
    run.connected = DeviceDatabase::isConnectedDeviceFile(path);
    run.synctime = synctime;
    run.backup = backup;

    const bool archiving = shouldArchive(device);
    VarnekLog(archiving ? "We'll archive" : "We will not archive");
    // The archive of the device (also the piece cache of the connected device).
    ArchiveDBPtr archive;
    if (archiving || run.connected) {
        archive = getBackupDB(device, &err);
        if (!archive) {
            VarnekLog("getBackupDB for begin failed with error %d", err);
            if (!err)
                err = kArchiveUnavailable;
            return std::nullopt;
        }
        archive->clearKept(ArchiveDB::CheckMessage);
        archive->clearKept(ArchiveDB::BackPiece);
        archive->clearKept(ArchiveDB::BackPiecePath);
        VarnekLog("BEGIN for SMS backup");
        if (const int rc = ArchiveSql::exec(archive->handle(), "BEGIN"); rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: SMS Backup BEGIN Error %d %s", rc, sqlite3_errmsg(archive->handle()));
            err = kBeginFailed;
            return std::nullopt;
        }
    }
    auto rollback = [&](const char *text) {
        if (!archive)
            return;
        if (const int rc = ArchiveSql::exec(archive->handle(), "ROLLBACK"); rc != SQLITE_OK)
            VarnekLog(text, rc, sqlite3_errmsg(archive->handle()));
    };
    if (run.connected) {
        // Every piece seen in this run is marked again below; note attachments keep theirs.
        const int rc = ArchiveSql::exec(archive->handle(),
                                        "DELETE FROM synctimes where uuid not like \"%-NoteAttachment-%\";");
        if (rc != SQLITE_OK)
            VarnekLog("DELETE FROM synctimes Error %d %s", rc, sqlite3_errmsg(archive->handle()));
    }
    if (archiving)
        run.noteWhetherArchiveIsEmpty(archive->handle());

    const int version = getClientVersion(db.handle());
    VarnekLog("Message client version: %d", version);
    {
        SqlStatement count(db.handle(), "SELECT COUNT(*) from message;");
        if (count.ok() && count.step() == SQLITE_ROW)
            VarnekLog("Num items in message table: %d", sqlite3_column_int(count.get(), 0));
    }
    auto owned = std::make_unique<Statements>();
    Statements &statements = *owned;
    if (const int rc = prepare(db, version, statements); rc != SQLITE_OK) {
        VarnekLog("sqlite3_exec: selecting from v%d message table (%d) %s", version, rc, sqlite3_errmsg(db.handle()));
        rollback("rollback in process sms error %d %s");
        err = kQueryFailed;
        return std::nullopt;
    }
    const bool withParts = version >= 10 && version <= 30 && statements.parts.ok();
    MessageReader reader(run, db, statements, version);

    const QString workFolderName = QStringLiteral("thumbcache") + device;
    QList<FRSMSInfoPtr> list;
    qint64 rowsRead = 0;
    int count = 0;
    int rc = SQLITE_OK;
    while ((rc = statements.message.step()) == SQLITE_ROW) {
        Row row = reader.read(statements.message.get());
        const qint64 rowIndex = rowsRead++;
        if (withParts)
            reader.participants(row);

        QString text = row.text;
        QString html = MessageHTML::head();
        if (version >= 20)
            html += MessageHTML::fragment(text);
        MessageAttachments attachments;
        bool available = true;
        if ((version >= 31 || row.iMessage) && !row.attributedBody.isEmpty())
            reader.body(row, text, html, attachments);
        if (version >= 10000 && row.balloon == kHandwritingBalloon) {
            const QString file = reader.handwritingFile(row);
            if (!file.isEmpty()) {
                reader.addFile(QStringLiteral("image/jpeg"), file, text, html, attachments);
            } else {
                const QString marker = tr("[HANDWRITING UNAVAILABLE]");
                html = MessageHTML::unavailableRow(html, marker);
                appendTag(text, marker);
            }
        }
        if (withParts) {
            if (!row.subject.isEmpty()) {
                text = row.subject + QLatin1Char('\n') + text;
                html = MessageHTML::textBlock(html, MessageHTML::fragment(row.subject));
            }
            available = reader.parts(row, text, html, attachments);
        } else if (version < 20) {
            html += MessageHTML::fragment(text);
        }
        html += MessageHTML::tail();

        if ((row.flags & 0x80) || text.isEmpty() || row.address.isEmpty()) {
            if (gBail.load()) {
                VarnekLog("Bailing in Messages");
                rollback("rollback in bail error %d %s");
                err = kExtractionCancelled;
                return std::nullopt;
            }
            continue;
        }
        // The records stay in memory for as long as the list shows them: they keep no room to
        // grow (shrinking in place copies nothing).
        html.squeeze();
        text.squeeze();
        const QString id = QString::number(row.rowid);
        // In key order, each key placed at the end: no key is compared more than once.
        QVariantMap info;
        const auto add = [&info](const QString &key, QVariant value) { info.insert(info.cend(), key, std::move(value)); };
        add(SMSKey::Address, row.address);
        add(SMSKey::Date, dateFrom2001(row.date));
        add(SMSKey::Files, attachments.files);
        add(SMSKey::FilesIDs, attachments.fileIDs);
        add(SMSKey::Flags, reader.flagsText(row.flags));
        add(SMSKey::HTML, html);
        add(SMSKey::OnPhone, true);
        add(SMSKey::RemoteID, id);
        add(SMSKey::SMSID, id);
        add(SMSKey::Sender, row.sender);
        add(SMSKey::Size, QVariant::fromValue<quint64>(attachments.size));
        add(SMSKey::Text, text);
        add(SMSKey::Synctime, QVariant::fromValue<qint64>(synctime));
        // The record is the dictionary's only owner: clearing its files later copies nothing.
        const FRSMSInfoPtr record = FRSMSInfo::infoWithInfo(std::exchange(info, {}), controller);
        if (!run.connected) {
            record->setIsiTunes(workFolderName);
            if (backup && backup->encrypted())
                record->setKeyBag(backup->keybag(), backup->keysNClasses());
        }
        if (rowIndex < kListedRowLimit)
            list.append(record);
        ++count;

        bool written = false;
        if (archiving && available) {
            int failedStep = 0;
            written = run.archiveMessage(*record, html, &err, &failedStep);
            if (err) {
                rollback(failedStep == 2 ? "rollback in process sms 2 error %d %s" : "rollback in process sms 3 error %d %s");
                return std::nullopt;
            }
        }
        if (!written)
            record->clearFiles();
        if (gBail.load()) {
            VarnekLog("Bailing in Messages");
            rollback("rollback in bail error %d %s");
            err = kExtractionCancelled;
            return std::nullopt;
        }
    }
    if (rc != SQLITE_DONE) {
        // A damaged page midway: what was read is not the whole database.
        VarnekLog("sqlite3_exec: selecting from v%d message table (%d) %s", version, rc, sqlite3_errmsg(db.handle()));
        rollback("rollback in process sms error %d %s");
        err = kQueryFailed;
        return std::nullopt;
    }
    owned.reset();
    if (archive) {
        if (const int commit = ArchiveSql::exec(archive->handle(), "COMMIT"); commit != SQLITE_OK) {
            VarnekLog("sqlite3_exec: SMS Backup COMMIT Error %d %s", commit, sqlite3_errmsg(archive->handle()));
            rollback("rollback in process sms error %d %s");
            err = kCommitFailed;
            return std::nullopt;
        }
    }
    if (controller)
        controller->setNumTotalSMS(count);
    db.close();
    DeviceDatabase::removeWithJournals(path);
    VarnekLog("Processed %d messages", count);
    return list;
}
