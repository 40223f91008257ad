// Archive rows back into records: messages (with the service switches and the date repair),
// calls and voicemail, archived attachments and contact names.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveFolder.h"
#include "archive/ArchiveSql.h"
#include "archive/PieceFiles.h"
#include "archive/PieceNames.h"
#include "messages/FRSMSInfo.h"
#include "messages/SMSDataController.h"
#include "personal/CallListController.h"
#include "personal/FRAddressExtras.h"
#include "personal/FRCallInfo.h"
#include "platform/MainThread.h"
#include "platform/UserDefaults.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QFileInfo>

namespace {

const QString kTombstone = QStringLiteral("---DELETED---");

bool userDefault(const char *key)
{
    return UserDefaults::standard().boolForKey(QString::fromLatin1(key));
}

// The WHERE clause of the message list for the three service switches.
const char *serviceFilter(bool sms, bool whatsApp, bool messenger)
{
    if (sms && whatsApp && messenger)
        return " ";
    if (sms && !whatsApp && !messenger)
        return " WHERE NOT ((flags & 536870912) OR (flags & 268435456)) ";
    if (!sms && whatsApp && !messenger)
        return " WHERE flags & 536870912 ";
    if (!sms && !whatsApp && messenger)
        return " WHERE flags & 268435456 ";
    if (!sms && whatsApp && messenger)
        return " WHERE ((flags & 536870912) OR (flags & 268435456)) ";
    if (sms && whatsApp && !messenger)
        return " WHERE NOT (flags & 268435456) ";
    if (sms && !whatsApp && messenger)
        return " WHERE NOT (flags & 536870912) ";
    return " WHERE 0=1 ";
}

QString fullArchivePath(const QString &stored)
{
    const QString relative = PieceNames::checkedRelativePath(stored);
    return relative.isEmpty() ? QString() : QDir(archiveFolderPath()).filePath(relative);
}

} // namespace

std::optional<QList<FRSMSInfoPtr>> AppController::getSMSFromBackupFile(const QString &unused,
                                                                       const QString &deviceNumber,
                                                                       SMSDataController *dataController,
                                                                       int *error)
{
    Q_UNUSED(unused);
    VarnekLog("local lock");
    std::unique_lock local(localLock);
    VarnekLog("in local lock");
    if (dataController)
        dataController->setNumTotalSMS(0);
    int openError = 0;
    const ArchiveDBPtr db = getBackupDB(deviceNumber, &openError);
    if (!db) {
        if (error)
            *error = kReadNoMessageDB;
        return std::nullopt;
    }
    sqlite3 *handle = db->handle();
    const QString sql = QStringLiteral("SELECT ROWID, id, date, address, text, flags, html, sender, grouptitle, "
                                       "sendername, recipientnames from message%1ORDER BY date DESC")
                            .arg(QLatin1String(serviceFilter(userDefault("SHOW_SMS"), userDefault("SHOW_WA"),
                                                             userDefault("SHOW_FB1"))));
    SqlStatement select(handle, sql);
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: selecting from message table (%d) %s", select.rc(), sqlite3_errmsg(handle));
        if (error)
            *error = kReadMessagePrepare;
        return std::nullopt;
    }
    QList<FRSMSInfoPtr> records;
    bool hasMessages = false, hasWA = false, hasFB = false;
    sqlite3_stmt *row = select.get();
    while (select.step() == SQLITE_ROW) {
        const QString address = ArchiveSql::text(row, 3);
        const QString text = ArchiveSql::text(row, 4);
        if (address == kTombstone || text.trimmed().isEmpty())
            continue;
        const QVariantMap info = {
            {QStringLiteral("Text"), text},
            {QStringLiteral("HTML"), ArchiveSql::text(row, 6)},
            {QStringLiteral("Date"),
             ArchiveDates::storedDate(sqlite3_column_int64(row, 2), sqlite3_column_double(row, 2))},
            {QStringLiteral("Flags"), ArchiveSql::text(row, 5)},
            {QStringLiteral("Address"), address},
            {QStringLiteral("Remote ID"), ArchiveSql::text(row, 1)},
            {QStringLiteral("SMS ID"), ArchiveSql::text(row, 0)},
            {QStringLiteral("On Phone"), false},
            {QStringLiteral("Sender"), ArchiveSql::text(row, 7)},
            {QStringLiteral("Group Title"), ArchiveSql::text(row, 8)},
            {QStringLiteral("Sender Name"), ArchiveSql::text(row, 9)},
            {QStringLiteral("Recipient Names"), ArchiveSql::text(row, 10)},
        };
        FRSMSInfoPtr record = FRSMSInfo::infoWithInfo(info, dataController);
        record->setIsBackup(true);
        if (record->SMSWhatsApp())
            hasWA = true;
        else if (record->SMSFB())
            hasFB = true;
        else
            hasMessages = true;
        records.append(record);
    }
    if (dataController) {
        dataController->setHasMessages(hasMessages);
        dataController->setHasWA(hasWA);
        dataController->setHasFB(hasFB);
        const QVariantMap wa = loadContactFromCache(QStringLiteral("WA0"), true, deviceNumber);
        if (!wa.value(QStringLiteral("image")).toByteArray().isEmpty())
            dataController->setWAImage(wa.value(QStringLiteral("image")).toByteArray());
        const QVariantMap fb = loadContactFromCache(QStringLiteral("0"), false, deviceNumber);
        if (!fb.value(QStringLiteral("image")).toByteArray().isEmpty())
            dataController->setFBImage(fb.value(QStringLiteral("image")).toByteArray());
    }
    local.unlock();
    if (dataController)
        dataController->setNumTotalSMS(int(records.size()));
    return records;
}

std::optional<QList<FRCallInfoPtr>> AppController::getCallsFromBackupFile(const QString &unused,
                                                                          const QString &deviceNumber,
                                                                          CallListController *dataController,
                                                                          int *error)
{
    Q_UNUSED(unused);
    std::unique_lock local(localLock);
    if (dataController)
        dataController->setNumTotalCalls(0);
    int openError = 0;
    const ArchiveDBPtr db = getBackupDB(deviceNumber, &openError);
    if (!db) {
        if (error)
            *error = kReadNoCallDB;
        return std::nullopt;
    }
    sqlite3 *handle = db->handle();
    const bool calls = !dataController || dataController->archiveTableName() == QLatin1String("call");
    SqlStatement select(handle, calls ? "SELECT ROWID, id, date, address, duration, flags, wa, provider, name from "
                                        "call ORDER BY ROWID DESC"
                                      : "SELECT ROWID, id, date, address, duration, flags, amr from voicemail "
                                        "ORDER BY ROWID DESC");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: selecting from table (%d) %s", select.rc(), sqlite3_errmsg(handle));
        if (error)
            *error = kReadNoMessageDB;
        return std::nullopt;
    }
    QList<FRCallInfoPtr> records;
    sqlite3_stmt *row = select.get();
    while (select.step() == SQLITE_ROW) {
        const QString number = ArchiveSql::text(row, 3);
        if (number == kTombstone)
            continue;
        QVariantMap info = {
            {QStringLiteral("Call ID"), ArchiveSql::text(row, 0)},
            {QStringLiteral("Remote ID"), ArchiveSql::text(row, 1)},
            {QStringLiteral("Date"),
             QDateTime::fromMSecsSinceEpoch(qint64(sqlite3_column_double(row, 2) * 1000.0), Qt::UTC)},
            {QStringLiteral("Number"), number},
            {QStringLiteral("Duration"), ArchiveSql::text(row, 4)},
            {QStringLiteral("Flags"), ArchiveSql::text(row, 5)},
        };
        QString name = calls ? ArchiveSql::text(row, 8) : QString();
        if (name.isEmpty() && dataController) {
            name = FRAddressExtras::getAddressBookName(number, nullptr, nullptr, dataController->cacheDBName(),
                                                       nullptr);
        }
        info.insert(QStringLiteral("Name"), name.isNull() ? QStringLiteral("") : name);
        if (calls) {
            info.insert(QStringLiteral("Provider"), sqlite3_column_int64(row, 6) != 0 ? QStringLiteral("WhatsApp")
                                                                                   : ArchiveSql::text(row, 7));
        } else {
            const QByteArray amr = ArchiveSql::blob(row, 6);
            if (!amr.isEmpty()) {
                info.insert(QStringLiteral("AMR"), amr);
                info.insert(QStringLiteral("Category"), QStringLiteral("VOICEMAIL"));
                info.insert(QStringLiteral("Is Voicemail"), true);
            }
        }
        FRCallInfoPtr record = FRCallInfo::infoWithInfo(info, dataController);
        record->setUniqueFileName();
        records.append(record);
    }
    local.unlock();
    if (dataController)
        dataController->setNumTotalCalls(int(records.size()));
    return records;
}

bool AppController::existsSMSPieceFromBackup(int rowid, const QString &device, const QString &uuid, bool thumbnail)
{
    std::unique_lock local(localLock, std::defer_lock);
    if (MainThread::isMainThread()) {
        if (!local.try_lock())
            return true; // drawing never waits for the archive lock
    } else {
        local.lock();
    }
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error getting SMS Backup DB file for pieces: (%d) %s", error, "");
        return false;
    }
    sqlite3 *handle = db->handle();
    SqlStatement select;
    if (thumbnail)
        select.prepare(handle, "SELECT length(thumbnail) from smsbackuppieces WHERE (smsid=? AND uuid=?) LIMIT 1");
    else if (rowid != 0)
        select.prepare(handle, "SELECT length(data), path from smsbackuppieces WHERE (smsid=? AND uuid=?) LIMIT 1");
    else
        select.prepare(handle, "SELECT length(data), path from smsbackuppieces WHERE (?=0 AND uuid=?) LIMIT 1");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare sms pieces query error (%d) %s", select.rc(), sqlite3_errmsg(handle));
        return false;
    }
    select.bindInt(1, rowid);
    select.bind(2, uuid);
    if (select.step() != SQLITE_ROW)
        return false;
    if (sqlite3_column_int64(select.get(), 0) > 0)
        return true;
    if (thumbnail)
        return false;
    const QString full = fullArchivePath(ArchiveSql::text(select.get(), 1));
    return !full.isEmpty() && QFileInfo(full).isFile();
}

QVariant AppController::loadSMSPieceFromBackup(int rowid, const QString &device, const QString &uuid, bool thumbnail)
{
    // No archive lock (the message parts load on the main thread): the counted handle stays
    // open for this read whatever closeBackupDBs does meanwhile.
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db) {
        VarnekLog("Error getting SMS Backup DB file for pieces: (%d) %s", error, "");
        return {};
    }
    sqlite3 *handle = db->handle();
    SqlStatement select(handle, thumbnail ? "SELECT thumbnail from smsbackuppieces WHERE (smsid=? AND uuid=?) LIMIT 1"
                                          : "SELECT data, path from smsbackuppieces WHERE (smsid=? AND uuid=?) LIMIT 1");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare sms pieces query error (%d) %s", select.rc(), sqlite3_errmsg(handle));
        return {};
    }
    select.bindInt(1, rowid);
    select.bind(2, uuid);
    while (select.step() == SQLITE_ROW) {
        const QByteArray data = ArchiveSql::blob(select.get(), 0);
        if (!data.isEmpty())
            return data;
        if (!thumbnail) {
            const QString full = fullArchivePath(ArchiveSql::text(select.get(), 1));
            if (!full.isEmpty())
                return full;
        }
    }
    return {};
}

void AppController::getSMSPiecesFromBackup(int rowid, const QString &device)
{
    std::lock_guard local(localLock);
    const QString key = device.isEmpty() ? connectedDeviceID() : device;
    const QString temp = getTempDir();
    if (temp.isEmpty() || !PieceNames::isPlainName(key))
        return;
    const QString folder = QStringLiteral("%1%2/%3").arg(temp, key).arg(rowid);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(device, &error);
    if (!db)
        return;
    SqlStatement select(db->handle(), "SELECT uuid, data from smsbackuppieces WHERE smsid=?");
    if (!select.ok())
        return;
    select.bindInt(1, rowid);
    while (select.step() == SQLITE_ROW) {
        const QString uuid = ArchiveSql::text(select.get(), 0);
        const QByteArray data = ArchiveSql::blob(select.get(), 1);
        // The uuid names the file: only a plain name is written.
        if (data.isEmpty() || !PieceNames::isPlainName(uuid))
            continue;
        QDir().mkpath(folder);
        PieceFiles::writeIntoPlace(data, QDir(folder).filePath(uuid));
    }
}

QVariantMap AppController::loadContactFromCache(const QString &contactId, bool forceDatabase, const QString &fromDB)
{
    QString id = contactId;
    bool whatsApp = false;
    if (id.startsWith(QLatin1String("Facebook ID "))) {
        id = id.mid(12);
    } else if (id.startsWith(QLatin1String("WA"))) {
        id = id.mid(2);
        whatsApp = true;
    }
    QString lookup;
    for (const QChar c : id) {
        if (alldigits.contains(c))
            lookup += c;
    }
    lookup = lookup.right(8);
    if (whatsApp)
        lookup.prepend(QStringLiteral("WA"));
    if (!forceDatabase && !lookup.isEmpty()) {
        std::lock_guard cache(gGlobalCacheLock);
        const QString name = gPhones.value(fromDB).value(lookup);
        if (!name.isEmpty()) {
            return {{QStringLiteral("name"), name},
                    {QStringLiteral("entry"), lookup},
                    {QStringLiteral("image"), gImages.value(fromDB).value(lookup)}};
        }
    }
    if (!hasBackupTable(fromDB))
        return {};
    std::lock_guard local(localLock);
    int error = 0;
    const ArchiveDBPtr db = getBackupDB(fromDB, &error);
    if (!db) {
        if (error)
            VarnekLog("Error getting contact cache DB file for contact: (%d) %s", error, "");
        return {};
    }
    SqlStatement select(db->handle(), "SELECT name , image from contacts WHERE (id=?) LIMIT 1");
    if (!select.ok()) {
        VarnekLog("sqlite3_exec: prepare contact cache pieces query error (%d) %s", select.rc(),
                  sqlite3_errmsg(db->handle()));
        return {};
    }
    select.bind(1, whatsApp ? QStringLiteral("WA") + id : id);
    if (select.step() != SQLITE_ROW)
        return {};
    QVariantMap contact;
    if (sqlite3_column_type(select.get(), 0) == SQLITE_NULL)
        return contact;
    const QString name = ArchiveSql::text(select.get(), 0);
    const QByteArray image = ArchiveSql::blob(select.get(), 1);
    contact.insert(QStringLiteral("name"), name);
    contact.insert(QStringLiteral("entry"), lookup);
    if (!image.isEmpty())
        contact.insert(QStringLiteral("image"), image);
    // The next lookup of this contact is answered from memory.
    if (!lookup.isEmpty()) {
        FRAddressExtras::addName(name, lookup, image.isEmpty() ? std::nullopt : std::optional<QByteArray>(image),
                                 lookup, fromDB);
    }
    return contact;
}
