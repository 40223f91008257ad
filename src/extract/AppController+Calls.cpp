// Call history ("CallHistory.storedata" or the older "call_history.db"), WhatsApp's call log
// ("calls.log") and voicemail ("voicemail.db" with its ".amr" recordings) read into call
// records and merged into the device's archive.
//
// Each run holds localLock from start to end; every archive write of a run (the calls, and
// the names of the contacts they were named after) happens inside it and, when archiving,
// inside one transaction, so a failed or cancelled run keeps nothing.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveSql.h"
#include "extract/DeviceDatabase.h"
#include "messages/FRSMSInfo.h"
#include "personal/CallListController.h"
#include "personal/FRAddressExtras.h"
#include "personal/FRCallInfo.h"
#include "platform/KeyedArchive.h"
#include "shell/DataLocks.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

namespace {

constexpr int kOpenFailed = -8929;
constexpr int kCallQueryFailed = -38818;
constexpr int kVoicemailQueryFailed = -8818;
constexpr int kCallArchiveUnavailable = -88636;
constexpr int kVoicemailArchiveUnavailable = -88666;
constexpr int kCallBeginFailed = -88367;
constexpr int kVoicemailBeginFailed = -886673;
constexpr int kCallCommitFailed = -882667;
constexpr int kVoicemailCommitFailed = -886674;
// The archive writer refused a row without a code of its own.
constexpr int kWriteFailed = -88368;
constexpr int kUnreadableLog = -88369;

QDateTime fromEpoch(double seconds, bool since2001)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + (since2001 ? ArchiveDates::kReferenceDate : 0)) * 1000.0),
                                          Qt::UTC);
}

// One archive transaction of a run: BEGIN when made, ROLLBACK unless committed.
class RunTransaction
{
public:
    RunTransaction() = default;
    ~RunTransaction() { rollback(nullptr); }
    int begin(const ArchiveDBPtr &db)
    {
        mDb = db;
        const int rc = ArchiveSql::exec(db->handle(), "BEGIN");
        mOpen = rc == SQLITE_OK;
        return rc;
    }
    int commit()
    {
        if (!mOpen)
            return SQLITE_OK;
        const int rc = ArchiveSql::exec(mDb->handle(), "COMMIT");
        if (rc == SQLITE_OK)
            mOpen = false;
        return rc;
    }
    void rollback(const char *failure)
    {
        if (!mOpen)
            return;
        mOpen = false;
        if (const int rc = ArchiveSql::exec(mDb->handle(), "ROLLBACK"); rc != SQLITE_OK && failure)
            VarnekLog(failure, rc, sqlite3_errmsg(mDb->handle()));
    }
    bool open() const { return mOpen; }
    sqlite3 *handle() const { return mDb ? mDb->handle() : nullptr; }

private:
    ArchiveDBPtr mDb;
    bool mOpen = false;
};

// Whether the archive holds this very call: the same date and number, and the same duration
// and direction (two calls of one second to one number are two calls).
bool sameCallArchived(sqlite3 *archive, qint64 date, const FRCallInfo &call)
{
    SqlStatement check(archive, "SELECT rowid FROM call WHERE date=? AND address=? AND duration=? AND flags=? LIMIT 1");
    if (!check.ok())
        return true;
    check.bindDouble(1, double(date));
    check.bind(2, call.CallNumber());
    check.bindInt(3, call.CallSeconds());
    check.bindInt(4, call.CallFlags());
    return check.step() == SQLITE_ROW;
}

// The name of a number from the contacts, noting the lookup key for the archive's contacts.
QString contactName(const QString &number, CallListController *controller, QVariantMap &contactsToCache)
{
    QString key;
    const QString name = FRAddressExtras::getAddressBookName(number, nullptr, nullptr,
                                                             controller ? controller->cacheDBName() : QString(), &key);
    if (name.isEmpty())
        return QStringLiteral("");
    contactsToCache.insert(key, number);
    return name;
}

} // namespace

bool AppController::archiveCall(const FRCallInfo &call, const QString &device, bool voicemail, int *error)
{
    const qint64 date = call.CallNSDate().toSecsSinceEpoch();
    const QString table = voicemail ? QStringLiteral("voicemail") : QStringLiteral("call");
    const bool present = checkForItem(call.CallNumber(), date, QVariant(), table, device, error);
    if (*error)
        return false;
    if (present) {
        if (voicemail)
            return true;
        const ArchiveDBPtr db = getBackupDB(device, error);
        if (!db || sameCallArchived(db->handle(), date, call))
            return db != nullptr;
    }
    const bool added = voicemail ? addVoicemailToBackup(call, device, false, error)
                                 : addCallToBackup(call, device, false, error);
    if (!added && !*error)
        *error = kWriteFailed;
    return added;
}

std::optional<QList<FRCallInfoPtr>> AppController::processCallData(const QString &path, CallListController *controller,
                                                                   const QString &deviceArgument, int *error,
                                                                   QDateTime *oldestWA)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    QString device = deviceArgument;
    if (device.startsWith(QLatin1String("callbackup")))
        device = device.mid(10);
    if (controller)
        controller->setNumTotalCalls(0);
    std::lock_guard local(localLock);

    const QString storeData = QFileInfo(path).absolutePath() + QStringLiteral("/CallHistory.storedata");
    const bool coreData = QFileInfo::exists(storeData);
    const QString file = coreData ? storeData : path;
    if (!QFileInfo::exists(file))
        return std::nullopt;
    DeviceDatabase db;
    if (const int rc = db.open(file); rc != SQLITE_OK) {
        VarnekLog("Error processing call db file: (%d) %s", rc, qUtf8Printable(db.message()));
        err = kOpenFailed;
        return std::nullopt;
    }
    bool full = false;
    auto query = std::make_unique<SqlStatement>();
    if (coreData) {
        full = query->prepare(db.handle(), "SELECT ROWID, ZDATE, ZADDRESS, ZDURATION, ZORIGINATED, ZCALLTYPE, "
                                           "ZSERVICE_PROVIDER, ZNAME, ZCALL_CATEGORY from ZCALLRECORD ORDER BY ZDATE DESC")
            == SQLITE_OK;
        if (!full)
            query->prepare(db.handle(), "SELECT ROWID, ZDATE, ZADDRESS, ZDURATION, ZORIGINATED, ZCALLTYPE from "
                                        "ZCALLRECORD ORDER BY ZDATE DESC");
    } else {
        query->prepare(db.handle(), "SELECT ROWID, date, address, duration, flags from call ORDER BY date DESC");
    }
    if (!query->ok()) {
        VarnekLog("sqlite3_exec: selecting from call (%d) %s", query->rc(), sqlite3_errmsg(db.handle()));
        err = kCallQueryFailed;
        return std::nullopt;
    }
    const bool connected = DeviceDatabase::isConnectedDeviceFile(path);
    const bool archiving = shouldArchive(device);
    RunTransaction transaction;
    if (archiving) {
        const ArchiveDBPtr archive = getBackupDB(device, &err);
        if (!archive) {
            VarnekLog("getBackupDB for begin in calls failed with error %d", err);
            if (!err)
                err = kCallArchiveUnavailable;
            return std::nullopt;
        }
        archive->clearKept(ArchiveDB::CheckCall);
        VarnekLog("BEGIN for call backup");
        if (const int rc = transaction.begin(archive); rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: call Backup BEGIN Error %d %s", rc, sqlite3_errmsg(archive->handle()));
            err = kCallBeginFailed;
            return std::nullopt;
        }
    }

    QList<FRCallInfoPtr> list;
    QVariantMap contactsToCache;
    int count = 0;
    int rc = SQLITE_OK;
    while ((rc = query->step()) == SQLITE_ROW) {
        sqlite3_stmt *row = query->get();
        const QString rowid = ArchiveSql::text(row, 0);
        const QDateTime date = fromEpoch(sqlite3_column_double(row, 1), coreData);
        const QString address = ArchiveSql::text(row, 2);
        const QString duration = ArchiveSql::text(row, 3);
        const QString originated = ArchiveSql::text(row, 4);
        QVariant provider;
        QString name;
        int category = 1;
        if (full) {
            QString service = ArchiveSql::text(row, 6);
            const QStringList parts = service.split(QLatin1Char('.'));
            if (parts.size() >= 3)
                service = parts.mid(1).join(QLatin1Char('.'));
            if (sqlite3_column_type(row, 6) != SQLITE_NULL)
                provider = service;
            name = ArchiveSql::text(row, 7);
            category = sqlite3_column_int(row, 8);
            if (oldestWA && service.endsWith(QLatin1String("WhatsApp")))
                *oldestWA = date;
        }
        QString flags = originated;
        if (coreData) {
            int value = originated == QLatin1String("1") ? 1 : 0;
            if ((sqlite3_column_int(row, 5) & 8) || category == 2)
                value |= 0x10;
            flags = QString::number(value);
        }
        if (name.isEmpty())
            name = contactName(address, controller, contactsToCache);
        QVariantMap info;
        info.insert(CallKey::CallID, rowid);
        info.insert(CallKey::RemoteID, rowid);
        info.insert(CallKey::Date, date);
        info.insert(CallKey::Number, address);
        info.insert(CallKey::Name, name);
        info.insert(CallKey::Duration, duration);
        info.insert(CallKey::Flags, flags);
        if (provider.isValid())
            info.insert(CallKey::Provider, provider);
        info.insert(CallKey::OnPhone, true);
        const FRCallInfoPtr call = FRCallInfo::infoWithInfo(info, controller);
        list.append(call);
        if (archiving && !archiveCall(*call, device, false, &err)) {
            transaction.rollback("rollback in process call 2 error %d %s");
            return std::nullopt;
        }
        ++count;
        if (gBail.load()) {
            transaction.rollback("rollback in process call error %d %s");
            err = kExtractionCancelled;
            return std::nullopt;
        }
    }
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: selecting from call (%d) %s", rc, sqlite3_errmsg(db.handle()));
        err = kCallQueryFailed;
        return std::nullopt;
    }
    query.reset();
    if (const int commit = transaction.commit(); commit != SQLITE_OK) {
        VarnekLog("sqlite3_exec: call Backup COMMIT Error %d %s", commit, sqlite3_errmsg(transaction.handle()));
        err = kCallCommitFailed;
        return std::nullopt;
    }
    if (archiving && controller)
        addContacts(contactsToCache, controller->cacheDBName(), device, connected);
    if (controller)
        controller->setNumTotalCalls(count);
    db.close();
    QFile::remove(path);
    QFile::remove(storeData);
    return list;
}

std::optional<QList<FRCallInfoPtr>> AppController::processWACallData(const QString &path, CallListController *controller,
                                                                     const QString &deviceArgument, int *error,
                                                                     const QDateTime &oldestWA)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    QString device = deviceArgument;
    if (device.startsWith(QLatin1String("callbackup")))
        device = device.mid(10);
    std::lock_guard local(localLock);
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // The log is small; anything past this is not a call log.
    constexpr qint64 kMaxLog = 64ll * 1024 * 1024;
    const QByteArray data = file.read(kMaxLog + 1);
    file.close();
    QString decodeError;
    const auto root = data.size() > kMaxLog ? std::nullopt : KeyedArchive::decode(data, &decodeError);
    if (!root || root->typeId() != QMetaType::QVariantList) {
        VarnekLog("Didn't unarchive WA calls");
        err = kUnreadableLog;
        return std::nullopt;
    }
    const bool archiving = shouldArchive(device);
    RunTransaction transaction;
    if (archiving) {
        const ArchiveDBPtr archive = getBackupDB(device, &err);
        if (!archive) {
            VarnekLog("WA getBackupDB for begin in calls failed with error %d", err);
            if (!err)
                err = kCallArchiveUnavailable;
            return std::nullopt;
        }
        VarnekLog("WA BEGIN for call backup");
        if (const int rc = transaction.begin(archive); rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: WA call Backup BEGIN Error %d %s", rc, sqlite3_errmsg(archive->handle()));
            err = kCallBeginFailed;
            return std::nullopt;
        }
    }
    QList<FRCallInfoPtr> list;
    for (const QVariant &item : root->toList()) {
        if (!item.canConvert<KeyedObject>() || item.typeId() != qMetaTypeId<KeyedObject>())
            continue;
        const KeyedObject event = item.value<KeyedObject>();
        const QDateTime date = event.value(QStringLiteral("date")).toDateTime();
        if (!date.isValid())
            continue;
        if (oldestWA.isValid() && date >= oldestWA.addSecs(-1))
            continue;
        const QString peer = event.value(QStringLiteral("peerJID")).toString();
        const QStringList parts = peer.split(QLatin1Char('@'));
        // The call's own date names it, so the same call keeps its id at every load.
        const QString id = QString::number(-date.toSecsSinceEpoch());
        QVariantMap info;
        info.insert(CallKey::CallID, id);
        info.insert(CallKey::RemoteID, id);
        info.insert(CallKey::Date, date);
        info.insert(CallKey::Number, parts.size() == 2 ? parts.first() : peer);
        const QString displayName = event.value(QStringLiteral("peerDisplayName")).toString();
        if (!displayName.isEmpty())
            info.insert(CallKey::Name, displayName);
        info.insert(CallKey::Duration, QString::asprintf("%f", event.value(QStringLiteral("duration")).toDouble()));
        info.insert(CallKey::Flags, QString::number(event.value(QStringLiteral("incoming")).toBool() ? 0 : 1));
        info.insert(CallKey::Provider, QStringLiteral("net.whatsapp.WhatsApp"));
        info.insert(CallKey::OnPhone, true);
        const FRCallInfoPtr call = FRCallInfo::infoWithInfo(info, controller);
        list.append(call);
        if (archiving && !archiveCall(*call, device, false, &err)) {
            transaction.rollback("rollback in process call 2 error %d %s");
            return std::nullopt;
        }
        if (gBail.load()) {
            transaction.rollback("rollback in process call error %d %s");
            err = kExtractionCancelled;
            return std::nullopt;
        }
    }
    if (const int commit = transaction.commit(); commit != SQLITE_OK) {
        VarnekLog("sqlite3_exec: call Backup COMMIT Error %d %s", commit, sqlite3_errmsg(transaction.handle()));
        err = kCallCommitFailed;
        return std::nullopt;
    }
    if (controller && preferenceBool(QStringLiteral("SHOW_WA")))
        controller->setNumTotalCalls(controller->numTotalCalls() + int(list.size()));
    QFile::remove(path);
    return list;
}

std::optional<QList<FRCallInfoPtr>> AppController::processVoicemailData(const QString &path,
                                                                        CallListController *controller,
                                                                        const QString &deviceArgument, int *error)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    QString device = deviceArgument;
    if (device.startsWith(QLatin1String("voicemailbackup")))
        device = device.mid(15);
    std::lock_guard local(localLock);
    if (controller)
        controller->setNumTotalCalls(0);
    if (!QFileInfo::exists(path))
        return std::nullopt;
    DeviceDatabase db;
    if (const int rc = db.open(path); rc != SQLITE_OK) {
        VarnekLog("Error processing voicemail db file: (%d) %s", rc, qUtf8Printable(db.message()));
        err = kOpenFailed;
        return std::nullopt;
    }
    const QString folder = QFileInfo(path).absolutePath();
    const bool connected = DeviceDatabase::isConnectedDeviceFile(path);
    QVariantMap cached, seen;
    if (connected)
        cached = getPieces(QStringLiteral("amrs"), device).value_or(QVariantMap());
    const bool archiving = shouldArchive(device);
    RunTransaction transaction;
    if (archiving || connected) {
        const ArchiveDBPtr archive = getBackupDB(device, &err);
        if (!archive) {
            VarnekLog("getBackupDB for begin failed with error %d", err);
            if (!err)
                err = kVoicemailArchiveUnavailable;
            return std::nullopt;
        }
        archive->clearKept(ArchiveDB::CheckVoicemail);
        VarnekLog("BEGIN for amr backup");
        if (const int rc = transaction.begin(archive); rc != SQLITE_OK) {
            VarnekLog("sqlite3_exec: AMR Backup BEGIN Error %d %s", rc, sqlite3_errmsg(archive->handle()));
            err = kVoicemailBeginFailed;
            return std::nullopt;
        }
    }
    auto query = std::make_unique<SqlStatement>(
        db.handle(), QStringLiteral("SELECT ROWID, %1, %2, %3, %4 from voicemail ORDER BY ROWID DESC")
                         .arg(db.column(QStringLiteral("voicemail"), QStringLiteral("date")),
                              db.column(QStringLiteral("voicemail"), QStringLiteral("sender")),
                              db.column(QStringLiteral("voicemail"), QStringLiteral("duration")),
                              db.column(QStringLiteral("voicemail"), QStringLiteral("flags"))));
    if (!query->ok()) {
        VarnekLog("sqlite3_exec: selecting from voicemail (%d) %s", query->rc(), sqlite3_errmsg(db.handle()));
        transaction.rollback("rollback in process vm error %d %s");
        err = kVoicemailQueryFailed;
        return std::nullopt;
    }
    QList<FRCallInfoPtr> list;
    QVariantMap contactsToCache;
    int count = 0;
    int rc = SQLITE_OK;
    while ((rc = query->step()) == SQLITE_ROW) {
        sqlite3_stmt *row = query->get();
        const qint64 rowid = sqlite3_column_int64(row, 0);
        const qint64 date = sqlite3_column_int64(row, 1);
        const QString sender = ArchiveSql::text(row, 2);
        const QString flags = ArchiveSql::text(row, 4);
        // A recording is known by its row id and date together: row ids are reused once
        // voicemail is deleted on the device, and an old recording must never be attached
        // to a new message.
        const QString cacheKey = QStringLiteral("%1_%2").arg(rowid).arg(date);
        QByteArray recording;
        const QVariant fromCache = cached.value(cacheKey);
        if (fromCache.typeId() == QMetaType::QByteArray) {
            recording = fromCache.toByteArray();
        } else if (fromCache.typeId() == QMetaType::QString) {
            QFile stored(fromCache.toString());
            if (stored.open(QIODevice::ReadOnly))
                recording = stored.readAll();
        }
        const QString amrPath = QStringLiteral("%1/%2.amr").arg(folder).arg(rowid);
        if (recording.isEmpty() && QFileInfo(amrPath).isFile()) {
            QFile amr(amrPath);
            if (amr.open(QIODevice::ReadOnly))
                recording = amr.readAll();
        }
        QFile::remove(amrPath);
        QVariantMap info;
        info.insert(CallKey::CallID, QString::number(rowid));
        info.insert(CallKey::RemoteID, QString::number(rowid));
        info.insert(CallKey::Date, QDateTime::fromSecsSinceEpoch(date, Qt::UTC));
        info.insert(CallKey::Number, sender);
        info.insert(CallKey::Name, contactName(sender, controller, contactsToCache));
        info.insert(CallKey::Duration, ArchiveSql::text(row, 3));
        info.insert(CallKey::Flags, flags);
        info.insert(leadingInteger(flags) & 1 ? QStringLiteral("Read") : CallKey::Unread, true);
        if (!recording.isEmpty()) {
            info.insert(CallKey::AMR, recording);
            if (connected)
                seen.insert(cacheKey, recording);
        } else {
            info.insert(QStringLiteral("noAMR"), true);
        }
        info.insert(CallKey::Category, QStringLiteral("VOICEMAIL"));
        info.insert(CallKey::IsVoicemail, true);
        const FRCallInfoPtr voicemail = FRCallInfo::infoWithInfo(info, controller);
        voicemail->setUniqueFileName();
        list.append(voicemail);
        if (archiving && !recording.isEmpty() && !archiveCall(*voicemail, device, true, &err)) {
            transaction.rollback("rollback in process vm 2 error %d %s");
            return std::nullopt;
        }
        ++count;
        if (gBail.load()) {
            transaction.rollback("rollback in process vm error %d %s");
            err = kExtractionCancelled;
            return std::nullopt;
        }
    }
    if (rc != SQLITE_DONE) {
        VarnekLog("sqlite3_exec: selecting from voicemail (%d) %s", rc, sqlite3_errmsg(db.handle()));
        err = kVoicemailQueryFailed;
        return std::nullopt;
    }
    query.reset();
    if (const int commit = transaction.commit(); commit != SQLITE_OK) {
        VarnekLog("sqlite3_exec: AMR Backup COMMIT Error %d %s", commit, sqlite3_errmsg(transaction.handle()));
        err = kVoicemailCommitFailed;
        return std::nullopt;
    }
    if (archiving && controller)
        addContacts(contactsToCache, controller->cacheDBName(), device, connected);
    if (controller)
        controller->setNumTotalCalls(count);
    if (connected)
        savePiecesToDB(seen, device, QStringLiteral("amrs"), folder);
    db.close();
    QFile::remove(path);
    return list;
}
