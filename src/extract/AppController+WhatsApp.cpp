// WhatsApp's chat storage ("ChatStorage.sqlite") read into message records of the same kind
// as the messages database's: chats with their group members, media, contact and location
// cards; new ones archived in one transaction; the partners' profile pictures cached.
//
// Runs on the messages load thread right after the messages run, holding localLock from
// start to end. Names from the sender (card names) never become file names as they stand.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceNames.h"
#include "backup/DeviceBackup.h"
#include "extract/DeviceDatabase.h"
#include "extract/MessageHTML.h"
#include "extract/MessageRun.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "net/HttpSession.h"
#include "personal/FRAddressExtras.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTimeZone>

#include <cmath>
#include <memory>

namespace {

constexpr int kOpenFailed = -8817;
constexpr int kQueryFailed = -228818;
constexpr int kArchiveUnavailable = -88666;
constexpr int kBeginFailed = -886672;
constexpr int kCommitFailed = -886671;
constexpr int kPhotoSynctime = 9999;

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

void appendTag(QString &text, const QString &tag)
{
    if (!text.isEmpty())
        text += QLatin1Char('\n');
    text += tag;
}

// A name from the device made safe as one file name: no separators or control characters,
// not "." or "..", at most 200 bytes (room for the date and extension).
QString safeFileName(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QLatin1Char('_');
        else
            out += c;
    }
    while (out.startsWith(QLatin1Char('.')))
        out.remove(0, 1);
    while (out.toUtf8().size() > 200)
        out.chop(out.size() >= 2 && out.at(out.size() - 1).isLowSurrogate() ? 2 : 1);
    return out.isEmpty() ? QStringLiteral("card") : out;
}

struct Member
{
    QString number, name;
};

} // namespace

QByteArray AppController::mapVcardWithLong(double longitude, double latitude)
{
    const QString card = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\nN:;Dropped Pin;;;\r\nFN:Dropped Pin\r\n"
                                        "URL;TYPE=\"Map URL\":geo:0,0?q=%1,%2\r\nEND:VCARD\r\n")
                             .arg(QString::asprintf("%f", latitude), QString::asprintf("%f", longitude));
    return card.toUtf8();
}

void AppController::addKey(const QString &handle, QStringList &to)
{
    if (!to.contains(handle) && !handle.contains(QLatin1Char('-')))
        to.append(handle);
}

void AppController::cacheWAProfilePhotosAt(const QString &folder, const QString &forDevice, bool forBackup,
                                           const DeviceBackupPtr &backup, int64_t synctime)
{
    Q_UNUSED(synctime);
    const QDir dir(folder);
    for (const QString &name : dir.entryList(QDir::Files)) {
        if (!name.endsWith(QLatin1String(".thumb")) && name != QLatin1String("Photo.jpg"))
            continue;
        QString identifier = QFileInfo(name).completeBaseName().section(QLatin1Char('-'), 0, 0);
        if (identifier.size() > 8)
            identifier = identifier.right(8);
        const QString key = QStringLiteral("WAPHOTO") + identifier;
        const QVariant piece = getPieceFile(dir.filePath(name), key, forDevice, forBackup, backup);
        if (piece.typeId() == QMetaType::QByteArray)
            addPieceToCache(piece, forDevice, key, kPhotoSynctime, true);
    }
}

void AppController::addPhotosForKeys(const QStringList &keys, const QString &dataLocation, const QString &forDevice,
                                     bool forBackup, const DeviceBackupPtr &backup, int64_t synctime)
{
    Q_UNUSED(dataLocation);
    Q_UNUSED(forBackup);
    Q_UNUSED(synctime);
    for (const QString &handle : keys) {
        const QString last = handle.size() > 8 ? handle.right(8) : handle;
        const QVariant piece = getPieceFile(QString(), QStringLiteral("WAPHOTO") + last, forDevice, false, backup);
        if (piece.typeId() == QMetaType::QByteArray && !piece.toByteArray().isEmpty())
            FRAddressExtras::addName(QStringLiteral(""), std::nullopt, piece.toByteArray(), QStringLiteral("WA") + last,
                                     forDevice);
    }
}

QByteArray AppController::getJPGDataWithFacebookID(const QString &userId)
{
    const QString service = qEnvironmentVariable("QUILLON_PICTURE_SERVICE");
    if (service.isEmpty() || userId.isEmpty())
        return {};
    QString id = userId;
    id.remove(QLatin1Char('/')).remove(QLatin1Char('?')).remove(QLatin1Char('#'));
    return getJPGDataGraphURL(service + QLatin1Char('/') + id + QStringLiteral("/picture?type=normal"));
}

QByteArray AppController::getJPGDataGraphURL(const QString &address)
{
    HttpRequest request;
    request.method = "GET";
    request.url = address;
    request.timeoutMs = 5000;
    request.connectTimeoutMs = 5000;
    const HttpResult result = HttpSession::perform(request);
    // Only a picture is a picture: an error page or a redirect page is no contact photo.
    if (result.error != HttpError::None || result.status != 200)
        return {};
    if (!result.header("Content-Type").trimmed().toLower().startsWith("image/"))
        return {};
    return result.body;
}

std::optional<QList<FRSMSInfoPtr>> AppController::processWhatsAppData(const QString &path, SMSDataController *controller,
                                                                      const QString &deviceArgument, int *error,
                                                                      int64_t synctime, const DeviceBackupPtr &backup)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    VarnekLog("processWhatsAppData for %s (%s)", qUtf8Printable(path), qUtf8Printable(deviceArgument));
    QString device = deviceArgument;
    if (device.startsWith(QLatin1String("thumbcache")))
        device = device.mid(10);

    std::lock_guard local(localLock);
    if (!QFileInfo::exists(path)) {
        VarnekLog("wa file wasn't there!");
        return std::nullopt;
    }
    DeviceDatabase db;
    if (const int rc = db.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing WA db file: (%d) %s", rc, qUtf8Printable(db.message()));
        err = kOpenFailed;
        return std::nullopt;
    }
    MessageRun run;
    run.controller = this;
    run.device = device;
    run.folder = QFileInfo(path).absolutePath();
    run.connected = DeviceDatabase::isConnectedDeviceFile(path);
    run.synctime = synctime;
    run.backup = backup;

    const bool archiving = shouldArchive(device);
    VarnekLog(archiving ? "We'll archive" : "We will not archive");
    ArchiveDBPtr archive;
    if (archiving) {
        archive = getBackupDB(device, &err);
        if (!archive) {
            VarnekLog("WA getBackupDB for begin failed with error %d", err);
            if (!err)
                err = kArchiveUnavailable;
            return std::nullopt;
        }
        archive->clearKept(ArchiveDB::CheckMessage);
        VarnekLog("BEGIN for WA backup");
        if (const int rc = ArchiveSql::exec(archive->handle(), "BEGIN"); rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: WA Backup BEGIN Error %d %s", rc, sqlite3_errmsg(archive->handle()));
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
    {
        SqlStatement count(db.handle(), "SELECT COUNT(*) from ZWAMESSAGE;");
        if (count.ok() && count.step() == SQLITE_ROW)
            VarnekLog("Num items in WA table: %d", sqlite3_column_int(count.get(), 0));
    }

    const QString m = QStringLiteral("ZWAMESSAGE");
    const bool groups = db.hasTable(QStringLiteral("ZWAGROUPMEMBER")) && db.hasColumn(m, QStringLiteral("ZGROUPMEMBER"));
    const bool sessions = db.hasTable(QStringLiteral("ZWACHATSESSION")) && db.hasColumn(m, QStringLiteral("ZCHATSESSION"));
    const bool media = db.hasTable(QStringLiteral("ZWAMEDIAITEM"));
    auto col = [&](bool present, const char *table, const char *column) {
        return present ? db.column(QLatin1String(table), QLatin1String(column)) : QStringLiteral("NULL");
    };
    QStringList columns{QStringLiteral("ZWAMESSAGE.Z_PK")};
    for (const char *name : {"ZMESSAGEDATE", "ZFROMJID", "ZTOJID", "ZTEXT", "ZISFROMME", "ZMESSAGESTATUS", "ZCHATSESSION"})
        columns << db.column(m, QLatin1String(name));
    columns << col(groups, "ZWAGROUPMEMBER", "ZMEMBERJID") << col(sessions, "ZWACHATSESSION", "ZPARTNERNAME");
    for (const char *name : {"ZMEDIALOCALPATH", "ZVCARDNAME", "ZVCARDSTRING", "ZLATITUDE", "ZLONGITUDE"})
        columns << (db.hasColumn(m, QLatin1String(name)) ? db.column(m, QLatin1String(name))
                                                        : col(media, "ZWAMEDIAITEM", name));
    columns << col(groups, "ZWAGROUPMEMBER", "ZCONTACTNAME") << db.column(m, QStringLiteral("ZMESSAGETYPE"))
            << col(media, "ZWAMEDIAITEM", "ZTITLE");
    QString sql = QStringLiteral("SELECT ") + columns.join(QStringLiteral(", ")) + QStringLiteral(" from ZWAMESSAGE ");
    if (groups)
        sql += QStringLiteral("left join ZWAGROUPMEMBER on ZWAGROUPMEMBER.Z_PK = ZWAMESSAGE.ZGROUPMEMBER ");
    if (sessions)
        sql += QStringLiteral("left join ZWACHATSESSION on ZWACHATSESSION.Z_PK = ZWAMESSAGE.ZCHATSESSION ");
    if (media && db.hasColumn(QStringLiteral("ZWAMEDIAITEM"), QStringLiteral("ZMESSAGE")))
        sql += QStringLiteral("left join ZWAMEDIAITEM on ZWAMESSAGE.Z_PK = ZWAMEDIAITEM.ZMESSAGE ");
    if (db.hasColumn(m, QStringLiteral("ZGROUPEVENTTYPE")))
        sql += QStringLiteral("where ZGROUPEVENTTYPE=0 OR ZGROUPEVENTTYPE=2 ");
    sql += QStringLiteral("ORDER BY ") + db.column(m, QStringLiteral("ZMESSAGEDATE")) + QStringLiteral(" DESC");

    auto query = std::make_unique<SqlStatement>(db.handle(), sql);
    auto members = std::make_unique<SqlStatement>(
        db.handle(), "SELECT ZMEMBERJID, ZWAPROFILEPUSHNAME.ZPUSHNAME from ZWAGROUPMEMBER left join ZWAPROFILEPUSHNAME on "
                     "ZWAPROFILEPUSHNAME.ZJID = ZWAGROUPMEMBER.ZMEMBERJID where ZCHATSESSION=? ORDER BY ZMEMBERJID");
    if (!members->ok())
        members = std::make_unique<SqlStatement>(
            db.handle(), "SELECT ZMEMBERJID, ZCONTACTNAME from ZWAGROUPMEMBER where ZCHATSESSION=? ORDER BY ZMEMBERJID");
    if (!query->ok() || (!members->ok() && groups)) {
        VarnekLog("sqlite3_exec: selecting from WA message table (%d) %s", query->ok() ? members->rc() : query->rc(),
                  sqlite3_errmsg(db.handle()));
        rollback("rollback in process WA error %d %s");
        err = kQueryFailed;
        return std::nullopt;
    }

    // The members of each chat, read once per chat.
    QHash<qint64, QList<Member>> chatMembers;
    auto membersOf = [&](qint64 chat) -> const QList<Member> & {
        auto found = chatMembers.find(chat);
        if (found != chatMembers.end())
            return *found;
        QList<Member> list;
        if (members->ok()) {
            members->reset();
            members->bind(1, chat);
            while (members->step() == SQLITE_ROW)
                list.append({ArchiveSql::text(members->get(), 0), ArchiveSql::text(members->get(), 1)});
            members->reset();
        }
        return *chatMembers.insert(chat, list);
    };

    QList<FRSMSInfoPtr> list;
    QStringList partners;
    int count = 0;
    int rc = SQLITE_OK;
    while ((rc = query->step()) == SQLITE_ROW) {
        sqlite3_stmt *q = query->get();
        const qint64 rowid = sqlite3_column_int64(q, 0);
        const double seconds = sqlite3_column_double(q, 1);
        const QDateTime date = QDateTime::fromMSecsSinceEpoch(
            qint64(std::llround((seconds + ArchiveDates::kReferenceDate) * 1000.0)), Qt::UTC);
        const bool fromMe = sqlite3_column_int(q, 5) != 0;
        QString sender = ArchiveSql::text(q, 8);
        if (sender.isEmpty())
            sender = ArchiveSql::text(q, 2);
        if (sender.isEmpty())
            sender = ArchiveSql::text(q, 3);
        sender = sender.section(QLatin1Char('@'), 0, 0);
        QString senderName = ArchiveSql::text(q, 15);
        const QString partnerName = ArchiveSql::text(q, 9);
        if (senderName.isEmpty())
            senderName = partnerName;
        if (!fromMe)
            addKey(sender, partners);

        QStringList numbers, names;
        for (const Member &member : membersOf(sqlite3_column_int64(q, 7))) {
            if (!member.number.contains(QLatin1Char('@')))
                continue;
            const QString number = member.number.section(QLatin1Char('@'), 0, 0);
            const QString name = member.name.isEmpty() ? QStringLiteral("Me") : member.name;
            numbers << number;
            names << name;
            if (!fromMe) {
                addKey(sender, partners);
                if (number == sender)
                    senderName = name;
            }
        }
        const QString address = numbers.isEmpty() ? sender : numbers.join(QStringLiteral(", "));
        const QString recipients = names.isEmpty() ? senderName : names.join(QStringLiteral(", "));

        QString text = ArchiveSql::text(q, 4);
        QString html = MessageHTML::head() + MessageHTML::fragment(text);
        MessageAttachments attachments;
        bool available = true;

        // Contact and location cards become a file of the work folder.
        QString mediumPath = ArchiveSql::text(q, 10);
        const int type = sqlite3_column_int(q, 16);
        QByteArray card;
        if (type == 4 || type == 5) {
            card = ArchiveSql::text(q, 12).toUtf8();
            QString cardName = ArchiveSql::text(q, 11);
            const double latitude = sqlite3_column_double(q, 13);
            const double longitude = sqlite3_column_double(q, 14);
            const bool located = type == 5 && std::fabs(latitude) > 0.0001 && std::fabs(longitude) > 0.0001;
            if (located) {
                card = mapVcardWithLong(longitude, latitude);
                cardName = QStringLiteral("Dropped Pin");
            }
            if (located || !card.isEmpty()) {
                const QString file = run.localFile(
                    QStringLiteral("%1-%2.vcf").arg(safeFileName(cardName)).arg(date.toSecsSinceEpoch()));
                QSaveFile out(file);
                if (out.open(QIODevice::WriteOnly) && out.write(card) == card.size() && out.commit())
                    mediumPath = file;
            }
        }
        if (mediumPath.split(QLatin1Char('/'), Qt::SkipEmptyParts).size() >= 2) {
            const QString key = mediumPath.section(QLatin1Char('/'), -1);
            const QString extension = QFileInfo(key).suffix().toLower();
            const bool image = QStringList{"jpg", "jpeg", "png", "gif"}.contains(extension);
            const bool video = QStringList{"mov", "mp4", "m4v", "3gp"}.contains(extension);
            const bool audio = QStringList{"aac", "m4a", "opus"}.contains(extension);
            bool found = false;
            if (!PieceNames::isPlainName(key)) {
                found = false;
            } else if (!run.connected) {
                attachments.fileIDs.append(run.localFile(key));
                found = true;
            } else {
                bool cachedIsPath = false;
                QVariant piece;
                const uint64_t cached = existsSMSPieceFromCache(key, QString(), false, &cachedIsPath);
                if (cached) {
                    attachments.size += cached;
                } else {
                    piece = !card.isEmpty() ? QVariant(card) : getPieceFile(run.localFile(key), key, device, false, backup);
                    if (piece.isValid() && !piece.isNull()) {
                        attachments.size += getPieceSize(piece);
                        if (piece.typeId() == QMetaType::QByteArray)
                            QFile::remove(run.localFile(key));
                        attachments.files.insert(key, piece);
                    }
                }
                found = cached || (piece.isValid() && !piece.isNull());
                if (found) {
                    attachments.fileIDs.append(run.localFile(key));
                    run.cachePiece(piece, key, cached && cachedIsPath);
                    if (image || video)
                        addPieceToCache(QByteArray(), device, QStringLiteral("thumb_") + key, synctime, false);
                }
            }
            if (!found) {
                available = false;
                const QString marker = tr("[MEDIA UNAVAILABLE]");
                html = MessageHTML::unavailableRow(html, marker);
                appendTag(text, marker);
            } else if (image) {
                html += MessageHTML::imageRow(key);
                appendTag(text, QStringLiteral("[IMAGE]"));
            } else if (video) {
                html = MessageHTML::linkRow(MessageHTML::videoRow(html, key), key, key);
                appendTag(text, QStringLiteral("[VIDEO]"));
            } else if (audio) {
                html = MessageHTML::linkRow(MessageHTML::audioRow(html, key), key, key);
                appendTag(text, QStringLiteral("[AUDIO]"));
            } else {
                html = MessageHTML::linkRow(html, key, key);
                appendTag(text, tr("[%1]").arg(key));
            }
            const QString title = ArchiveSql::text(q, 17);
            if (!title.isEmpty())
                text += QLatin1Char(' ') + title;
        }
        html += MessageHTML::tail();

        if (!text.isEmpty()) {
            const QString id = QString::number(rowid);
            QVariantMap info;
            info.insert(SMSKey::Text, text);
            info.insert(SMSKey::HTML, html);
            info.insert(SMSKey::Files, attachments.files);
            info.insert(SMSKey::FilesIDs, attachments.fileIDs);
            info.insert(SMSKey::Date, date);
            info.insert(SMSKey::Flags, QString::number(SMSFlag::WhatsApp | (fromMe ? SMSFlag::Sent : 0)));
            info.insert(SMSKey::Address, address);
            info.insert(SMSKey::SenderName, senderName);
            info.insert(SMSKey::Size, QVariant::fromValue<quint64>(attachments.size));
            info.insert(SMSKey::RecipientNames, recipients);
            info.insert(SMSKey::Synctime, QVariant::fromValue<qint64>(synctime));
            info.insert(SMSKey::SMSID, id);
            info.insert(SMSKey::RemoteID, id);
            info.insert(SMSKey::OnPhone, true);
            info.insert(SMSKey::GroupTitle, partnerName);
            info.insert(SMSKey::Sender, sender);
            const FRSMSInfoPtr record = FRSMSInfo::infoWithInfo(info, controller);
            if (!run.connected) {
                record->setIsiTunes(QStringLiteral("thumbcache") + device);
                if (backup && backup->encrypted())
                    record->setKeyBag(backup->keybag(), backup->keysNClasses());
            }
            list.append(record);
            ++count;
            bool written = false;
            if (archiving && available) {
                int failedStep = 0;
                written = run.archiveMessage(*record, html, &err, &failedStep);
                if (err) {
                    rollback(failedStep == 2 ? "WA rollback in process sms 2 error %d %s" : "WA rollback in process sms 3 error %d %s");
                    return std::nullopt;
                }
            }
            if (!written)
                record->clearFiles();
        }
        if (gBail.load()) {
            VarnekLog("Bailing in WA");
            rollback("rollback in wa bail error %d %s");
            err = kExtractionCancelled;
            return std::nullopt;
        }
    }
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: selecting from WA message table (%d) %s", rc, sqlite3_errmsg(db.handle()));
        rollback("rollback in process WA error %d %s");
        err = kQueryFailed;
        return std::nullopt;
    }
    query.reset();
    members.reset();
    if (archive) {
        if (const int commit = ArchiveSql::exec(archive->handle(), "COMMIT"); commit != SQLITE_OK) {
            VarnekLog("sqlite3_exec: WA Backup COMMIT Error %d %s", commit, sqlite3_errmsg(archive->handle()));
            rollback("rollback in process WA error %d %s");
            err = kCommitFailed;
            return std::nullopt;
        }
    }
    // The account's own picture, then the partners'.
    QVariant own = getPieceFile(run.localFile(QStringLiteral("Photo.jpg")), QStringLiteral("WAPHOTOPhoto"), device,
                                !run.connected, backup);
    if (own.typeId() != QMetaType::QByteArray)
        own = getPieceFile(run.localFile(QStringLiteral("Photo.thumb")), QStringLiteral("WAPHOTOPhoto"), device,
                           !run.connected, backup);
    if (controller && own.typeId() == QMetaType::QByteArray)
        controller->setWAImage(own.toByteArray());
    const QString cacheKey = run.connected ? device : QStringLiteral("thumbcache") + device;
    cacheWAProfilePhotosAt(run.folder, cacheKey, !run.connected, backup, synctime);
    addPhotosForKeys(partners, run.folder, cacheKey, !run.connected, backup, synctime);
    if (controller && preferenceBool(QStringLiteral("SHOW_SMS")))
        controller->setNumTotalSMS(controller->numTotalSMS() + count);
    db.close();
    DeviceDatabase::removeWithJournals(path);
    VarnekLog("Processed %d WA messages", count);
    return list;
}
