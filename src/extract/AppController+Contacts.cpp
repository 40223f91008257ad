// The device's contacts ("AddressBook.sqlitedb", with "AddressBookImages.sqlitedb" for the
// thumbnails) read into contacts with their groups, and the phone numbers and e-mail
// addresses put into the name caches so messages and calls show names.
//
// Two kinds of run: the connected device's (full contacts, groups and labels, published in
// gAddresses and gGroups) and a backup on disk's (only the name caches of its work folder's
// key). Everything a run builds (labels, groups, store ids, statements) is its own, so a
// backup run can never disturb what the connected device's run published.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveSql.h"
#include "extract/AddressBookState.h"
#include "extract/DeviceDatabase.h"
#include "personal/FRAddressExtras.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimeZone>

#include <memory>

QList<FRAddressInfoPtr> gAddresses;
QHash<QString, GBGroupPtr> gGroups;
bool gHasStores = false;
std::atomic<int> gNumAddresses{0};

namespace {

constexpr int kOpenFailed = -8706;
constexpr int kPicturesOpenFailed = -8707;
constexpr int kGroupsFailed = -8708;
constexpr int kLabelsFailed = -8709;
constexpr int kPersonPrepareFailed = -8710;

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

QDateTime from2001(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + ArchiveDates::kReferenceDate) * 1000.0), Qt::UTC);
}

struct AddressRun
{
    DeviceDatabase db, pictures;
    QString cacheKey;
    bool connected = false;
    int version = 0;
    int mobileMeStore = -1, iCloudStore = -1, exchangeStore = -1;
    bool hasStores = false;
    QHash<QString, QString> labels; // label row id -> text
    QHash<QString, GBGroupPtr> groups;
    QStringList groupNames;
    std::unique_ptr<SqlStatement> members, picture, multi, instant, address;

    // A statement prepared on first use; null (and logged) when it cannot be prepared, so
    // the next contact tries again.
    SqlStatement *cached(std::unique_ptr<SqlStatement> &slot, sqlite3 *handle, const char *sql, const char *failure)
    {
        if (slot)
            return slot.get();
        auto statement = std::make_unique<SqlStatement>(handle, sql);
        if (!statement->ok()) {
            VarnekLog(failure, statement->rc(), sqlite3_errmsg(handle));
            return nullptr;
        }
        slot = std::move(statement);
        return slot.get();
    }

    GBGroupPtr addGroup(const QString &name)
    {
        if (GBGroupPtr group = groups.value(name))
            return group;
        auto group = std::make_shared<GBGroup>();
        group->setName(name);
        groups.insert(name, group);
        groupNames.append(name);
        return group;
    }

    QString label(const QString &id) const
    {
        const auto found = labels.constFind(id);
        // A label id the table does not hold has no text: it never borrows another row's.
        return found != labels.constEnd() ? *found : QStringLiteral("Label");
    }

    int firstRow(const char *sql)
    {
        SqlStatement statement(db.handle(), sql);
        if (statement.ok() && statement.step() == SQLITE_ROW)
            return sqlite3_column_int(statement.get(), 0);
        return -1;
    }
};

// The row's text into the property; a NULL column sets nothing.
void savePersonTextProperty(sqlite3_stmt *row, int column, GBPerson &person, const QString &property)
{
    if (sqlite3_column_type(row, column) == SQLITE_NULL)
        return;
    person.setValue(ArchiveSql::text(row, column), property);
}

// The multi-value of one property number (phones, e-mails, URLs, ...), filling the name
// caches for phones and e-mails.
void setMulti(AddressRun &run, GBPerson &person, qint64 rowid, const QString &property, int number, bool dates,
              bool phone, const QString &displayName, const std::optional<QByteArray> &picture, int store)
{
    SqlStatement *statement = run.cached(run.multi, run.db.handle(),
                                         "SELECT label,value FROM ABMultiValue WHERE record_id=? AND property=?",
                                         "sqlite3_exec: setMulti Error %d %s");
    if (!statement)
        return;
    statement->reset();
    statement->bind(1, rowid);
    statement->bindInt(2, number);
    ABMultiValue multi;
    bool anyRow = false;
    const QString entry = QStringLiteral("device_%1_%2").arg(store).arg(rowid);
    while (statement->step() == SQLITE_ROW) {
        anyRow = true;
        sqlite3_stmt *row = statement->get();
        const QString label = run.label(ArchiveSql::text(row, 0));
        if (sqlite3_column_type(row, 1) == SQLITE_NULL)
            continue;
        if (dates) {
            multi.add(from2001(sqlite3_column_double(row, 1)), label);
            continue;
        }
        const QString value = ArchiveSql::text(row, 1);
        multi.add(value, label);
        if (displayName.isEmpty())
            continue;
        if (phone) {
            QString key = FRAddressExtras::stringByRemovingCharactersNotInSet(alldigits, value);
            if (key.size() > 8)
                key = key.right(8);
            FRAddressExtras::addName(displayName, entry, picture, key, run.cacheKey);
        } else if (property == kABEmailProperty && value.contains(QLatin1Char('@')) && value.contains(QLatin1Char('.'))) {
            FRAddressExtras::addName(displayName, entry, picture, value, run.cacheKey);
        }
    }
    statement->reset();
    if (anyRow)
        person.setValue(QVariant::fromValue(multi), property);
}

// The user names of one instant-message service.
void setMultiStringFromMultiDict(AddressRun &run, GBPerson &person, qint64 rowid, const QString &property,
                                 const QString &service)
{
    SqlStatement *statement = run.cached(
        run.instant, run.db.handle(),
        "SELECT ABMultiValue.label,ABMultiValueEntryKey.value,ABMultiValueEntry.value from "
        "ABMultiValue,ABMultiValueEntry,ABMultiValueEntryKey WHERE ABMultiValue.ROWID=ABMultiValueEntry.parent_id "
        "AND ABMultiValue.record_id=? AND ABMultiValue.property=? AND "
        "ABMultiValueEntryKey.ROWID=ABMultiValueEntry.key ORDER BY  ABMultiValueEntry.parent_id DESC, "
        "ABMultiValueEntryKey.value ASC, ABMultiValueEntry.key DESC",
        "sqlite3_exec: setMultiString Error %d %s");
    if (!statement)
        return;
    statement->reset();
    statement->bind(1, rowid);
    statement->bindInt(2, 13);
    ABMultiValue multi;
    bool anyRow = false;
    QString current;
    while (statement->step() == SQLITE_ROW) {
        anyRow = true;
        sqlite3_stmt *row = statement->get();
        if (sqlite3_column_type(row, 0) == SQLITE_NULL || sqlite3_column_type(row, 1) == SQLITE_NULL
            || sqlite3_column_type(row, 2) == SQLITE_NULL)
            continue;
        const QString key = ArchiveSql::text(row, 1);
        const QString value = ArchiveSql::text(row, 2);
        if (key == QLatin1String("service"))
            current = value;
        else if (key == QLatin1String("username") && current == service)
            multi.add(value, run.label(ArchiveSql::text(row, 0)));
    }
    statement->reset();
    if (anyRow)
        person.setValue(QVariant::fromValue(multi), property);
}

void setAddresses(AddressRun &run, GBPerson &person, qint64 rowid)
{
    SqlStatement *statement = run.cached(
        run.address, run.db.handle(),
        "SELECT ABMultiValue.label,ABMultiValueEntryKey.value,ABMultiValueEntry.value,ABMultiValue.identifier from "
        "ABMultiValue,ABMultiValueEntry,ABMultiValueEntryKey WHERE ABMultiValue.ROWID=ABMultiValueEntry.parent_id "
        "AND ABMultiValue.record_id=? AND ABMultiValue.property=? AND ABMultiValueEntryKey.ROWID=ABMultiValueEntry.key",
        "sqlite3_exec: setMultiDict Error %d %s");
    if (!statement)
        return;
    statement->reset();
    statement->bind(1, rowid);
    statement->bindInt(2, 5);
    QList<QString> order;
    QHash<QString, QVariantMap> fields;
    QHash<QString, QString> labels;
    while (statement->step() == SQLITE_ROW) {
        sqlite3_stmt *row = statement->get();
        bool hasNull = false;
        for (int column = 0; column < 4; ++column)
            hasNull = hasNull || sqlite3_column_type(row, column) == SQLITE_NULL;
        const QString labelId = ArchiveSql::text(row, 0);
        if (hasNull || !run.labels.contains(labelId))
            continue;
        const QString identifier = ArchiveSql::text(row, 3);
        if (!fields.contains(identifier))
            order.append(identifier);
        fields[identifier].insert(ArchiveSql::text(row, 1), ArchiveSql::text(row, 2));
        labels.insert(identifier, run.labels.value(labelId));
    }
    statement->reset();
    ABMultiValue multi;
    for (const QString &identifier : order) {
        const QString label = labels.value(identifier);
        if (!label.isEmpty())
            multi.add(fields.value(identifier), label);
    }
    if (!multi.isEmpty())
        person.setValue(QVariant::fromValue(multi), kABAddressProperty);
}

} // namespace

int AppController::processAddressData(const QString &addressFile, const QString &pixFile, const QString &deviceNumber,
                                      bool forConnected)
{
    std::lock_guard local(localLock);
    AddressRun run;
    run.cacheKey = deviceNumber;
    run.connected = forConnected;
    if (!QFileInfo::exists(addressFile)) {
        VarnekLog("No fileExistsAtPath:addressFile");
        return 0;
    }
    const bool withPictures = !pixFile.isEmpty() && QFileInfo::exists(pixFile);
    if (!withPictures)
        VarnekLog("No fileExistsAtPath:addressPixFile");
    VarnekLog("Opening contacts db");
    if (const int rc = run.db.open(addressFile); rc != SQLITE_OK) {
        VarnekLog("Error processing address db file: (%d) %s", rc, qUtf8Printable(run.db.message()));
        return kOpenFailed;
    }
    if (withPictures) {
        if (const int rc = run.pictures.open(pixFile); rc != SQLITE_OK) {
            VarnekLog("Error processing address pix db file: (%d) %s", rc, qUtf8Printable(run.pictures.message()));
            return kPicturesOpenFailed;
        }
    }
    sqlite3 *db = run.db.handle();
    run.version = getClientVersion(db);
    const bool stores = run.version >= 12;

    if (forConnected) {
        if (stores) {
            run.mobileMeStore = run.firstRow("SELECT ROWID,AccountIdentifier FROM ABStore WHERE AccountIdentifier LIKE 'MobileMe%'");
            run.iCloudStore = run.firstRow("SELECT ROWID,ExternalIdentifier FROM ABStore WHERE ExternalIdentifier LIKE '%icloud.com%'");
            if (const int cardDav = run.firstRow("SELECT ROWID,ExternalIdentifier FROM ABStore WHERE ExternalIdentifier LIKE "
                                                 "'%carddavhome%'");
                cardDav != -1)
                run.iCloudStore = cardDav;
            run.exchangeStore = run.firstRow("SELECT ROWID,Name FROM ABStore WHERE Name='Contacts'");
        }
        SqlStatement groups(db, stores ? "SELECT ROWID,Name,StoreID FROM ABGroup ORDER BY StoreID ASC"
                                       : "SELECT ROWID,Name FROM ABGroup");
        int rc = groups.rc();
        while (groups.ok() && (rc = groups.step()) == SQLITE_ROW) {
            sqlite3_stmt *row = groups.get();
            if (sqlite3_column_type(row, 0) == SQLITE_NULL || sqlite3_column_type(row, 1) == SQLITE_NULL)
                continue;
            const QString id = ArchiveSql::text(row, 0);
            if (run.groups.contains(id))
                continue;
            QString name = ArchiveSql::text(row, 1);
            if (stores && run.groupNames.contains(name)) {
                const int store = sqlite3_column_int(row, 2);
                if (store == run.mobileMeStore)
                    name += QStringLiteral(" (MobileMe)");
                else if (store == run.iCloudStore)
                    name += QStringLiteral(" (iCloud)");
                else if (store == run.exchangeStore)
                    name += QStringLiteral(" (Exchange)");
            }
            auto group = std::make_shared<GBGroup>();
            group->setName(name);
            run.groups.insert(id, group);
            run.groupNames.append(name);
        }
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: 1 Error getting groups %d %s", rc, sqlite3_errmsg(db));
            return kGroupsFailed;
        }
        SqlStatement labels(db, "SELECT ROWID,value FROM ABMultiValueLabel");
        rc = labels.rc();
        while (labels.ok() && (rc = labels.step()) == SQLITE_ROW) {
            const QString value = ArchiveSql::text(labels.get(), 1);
            run.labels.insert(ArchiveSql::text(labels.get(), 0), value.isEmpty() ? QStringLiteral("(Empty)") : value);
        }
        if (rc != SQLITE_DONE) {
            VarnekLog("sqlite3_exec: Get multi value labels Error %d %s", rc, sqlite3_errmsg(db));
            return kLabelsFailed;
        }
    }

    const QString person = QStringLiteral("ABPerson");
    QStringList columns{QStringLiteral("ROWID")};
    for (const char *name : {"First", "Last", "Middle", "NickName", "Organization", "Suffix", "Prefix", "JobTitle", "Note",
                             "Department", "Kind", "CreationDate", "ModificationDate", "Birthday", "FirstPhonetic",
                             "MiddlePhonetic", "LastPhonetic"})
        columns << run.db.column(person, QLatin1String(name));
    if (stores)
        columns << run.db.column(person, QStringLiteral("StoreID"));
    const QString order = QStringLiteral(" ORDER BY %1 ASC, %2 ASC")
                              .arg(run.db.hasColumn(person, QStringLiteral("Last")) ? QStringLiteral("Last") : QStringLiteral("ROWID"),
                                   run.db.hasColumn(person, QStringLiteral("First")) ? QStringLiteral("First") : QStringLiteral("ROWID"));
    auto people = std::make_unique<SqlStatement>(
        db, QStringLiteral("SELECT ") + columns.join(QLatin1Char(',')) + QStringLiteral(" FROM ABPerson") + order);
    if (!people->ok()) {
        VarnekLog("sqlite3_exec: prepare person record error (%d) %s", people->rc(), sqlite3_errmsg(db));
        return kPersonPrepareFailed;
    }
    VarnekLog("Entering person loop");
    QList<FRAddressInfoPtr> contacts;
    int count = 0;
    while (people->step() == SQLITE_ROW) {
        sqlite3_stmt *row = people->get();
        ++count;
        const qint64 rowid = sqlite3_column_int64(row, 0);
        const int store = stores ? sqlite3_column_int(row, 18) : 0;
        auto personPtr = std::make_shared<GBPerson>();
        GBPerson &p = *personPtr;
        savePersonTextProperty(row, 1, p, kABFirstNameProperty);
        savePersonTextProperty(row, 2, p, kABLastNameProperty);
        savePersonTextProperty(row, 5, p, kABOrganizationProperty);
        savePersonTextProperty(row, 3, p, kABMiddleNameProperty);
        savePersonTextProperty(row, 6, p, kABSuffixProperty);
        if (forConnected) {
            savePersonTextProperty(row, 7, p, kABTitleProperty);
            savePersonTextProperty(row, 8, p, kABJobTitleProperty);
            savePersonTextProperty(row, 9, p, kABNoteProperty);
            savePersonTextProperty(row, 10, p, kABDepartmentProperty);
            savePersonTextProperty(row, 15, p, kABFirstNamePhoneticProperty);
            savePersonTextProperty(row, 16, p, kABMiddleNamePhoneticProperty);
            savePersonTextProperty(row, 17, p, kABLastNamePhoneticProperty);
            const std::pair<int, QString> dates[] = {{12, kABCreationDateProperty},
                                                     {13, kABModificationDateProperty},
                                                     {14, kABBirthdayProperty}};
            for (const auto &[column, property] : dates) {
                const double seconds = sqlite3_column_double(row, column);
                if (seconds != 0)
                    p.setValue(from2001(seconds), property);
            }
            if (SqlStatement *members = run.cached(run.members, db,
                                                   "SELECT group_id FROM ABGroupMembers WHERE member_id=? AND member_type=0",
                                                   "sqlite3_exec: prepare group error %d (%s)")) {
                members->reset();
                members->bind(1, rowid);
                while (members->step() == SQLITE_ROW) {
                    if (GBGroupPtr group = run.groups.value(ArchiveSql::text(members->get(), 0)))
                        group->addMember(p);
                }
                members->reset();
                QString storeGroup = tr("All from My Mac");
                if (store != -1 && store == run.mobileMeStore)
                    storeGroup = tr("All MobileMe");
                else if (store != -1 && store == run.iCloudStore)
                    storeGroup = tr("All iCloud");
                else if (store != -1 && store == run.exchangeStore)
                    storeGroup = tr("All Exchange");
                if (storeGroup != tr("All from My Mac"))
                    run.hasStores = true;
                run.addGroup(storeGroup)->addMember(p);
            }
        }
        const QString first = ArchiveSql::text(row, 1);
        const QString last = ArchiveSql::text(row, 2);
        const QString organisation = ArchiveSql::text(row, 5);
        QString displayName, sortName;
        if (sqlite3_column_int(row, 11) == 1) {
            p.setValue(1, kABPersonFlags);
            if (sqlite3_column_type(row, 5) != SQLITE_NULL)
                displayName = sortName = organisation;
        }
        if (displayName.isNull()) {
            if (!first.isEmpty() && !last.isEmpty()) {
                displayName = first + QLatin1Char(' ') + last;
                sortName = last + QLatin1Char(' ') + first;
            } else if (!first.isEmpty() || !last.isEmpty()) {
                displayName = sortName = first.isEmpty() ? last : first;
            } else {
                displayName = organisation;
                sortName = QStringLiteral("");
            }
        }
        std::optional<QByteArray> picture;
        if (withPictures) {
            if (SqlStatement *thumbnail = run.cached(run.picture, run.pictures.handle(),
                                                     "SELECT data FROM ABThumbnailImage WHERE record_id=? AND format=0",
                                                     "sqlite3_exec: prepare picture error %d %s")) {
                thumbnail->reset();
                thumbnail->bind(1, rowid);
                if (thumbnail->step() == SQLITE_ROW) {
                    const QByteArray data = ArchiveSql::blob(thumbnail->get(), 0);
                    if (!data.isEmpty())
                        picture = data;
                }
                thumbnail->reset();
            }
        }
        setMulti(run, p, rowid, kABEmailProperty, 4, false, false, displayName, picture, store);
        setMulti(run, p, rowid, kABPhoneProperty, 3, false, true, displayName, picture, store);
        if (!forConnected)
            continue;
        setMulti(run, p, rowid, kABURLsProperty, 22, false, false, QString(), std::nullopt, store);
        setMulti(run, p, rowid, kABRelatedNamesProperty, 23, false, false, QString(), std::nullopt, store);
        setMulti(run, p, rowid, kABOtherDatesProperty, 12, true, false, QString(), std::nullopt, store);
        const std::pair<QString, const char *> services[] = {{kABAIMInstantProperty, "AIM"},
                                                             {kABJabberInstantProperty, "Jabber"},
                                                             {kABMSNInstantProperty, "MSN"},
                                                             {kABYahooInstantProperty, "Yahoo"},
                                                             {kABICQInstantProperty, "ICQ"}};
        for (const auto &[property, service] : services)
            setMultiStringFromMultiDict(run, p, rowid, property, QLatin1String(service));
        setAddresses(run, p, rowid);
        if (sortName.isEmpty()) {
            sortName = GBPerson::valueForPrimaryIdentifier(p.multiValue(kABPhoneProperty));
            if (sortName.isEmpty())
                sortName = GBPerson::valueForPrimaryIdentifier(p.multiValue(kABEmailProperty));
        }
        QVariantMap info;
        info.insert(AddressKey::AddressID, QString::number(rowid));
        info.insert(AddressKey::Index, QString::number(count));
        info.insert(AddressKey::SortName, sortName);
        if (picture)
            info.insert(AddressKey::Image, *picture);
        contacts.append(FRAddressInfo::infoWithInfo(info, personPtr));
    }
    VarnekLog("There were %d contacts", count);
    VarnekLog("There were %ld groups", long(run.groups.size()));
    run.members.reset();
    run.picture.reset();
    run.multi.reset();
    run.instant.reset();
    run.address.reset();
    people.reset();
    if (forConnected) {
        if (!run.hasStores)
            run.groups.remove(tr("All from My Mac"));
        gGroups = run.groups;
        gAddresses = contacts;
        gHasStores = run.hasStores;
        gNumAddresses.store(count);
    }
    run.db.close();
    run.pictures.close();
    if (forConnected) {
        DeviceDatabase::removeWithJournals(addressFile);
        if (withPictures)
            DeviceDatabase::removeWithJournals(pixFile);
    }
    return 0;
}
