#include "personal/FRAddressExtras.h"

#include "device/AppController.h"
#include "interfaces/ContactPictureMaker.h"

std::recursive_mutex gGlobalCacheLock;
QHash<QString, QHash<QString, QString>> gPhones;
QHash<QString, QHash<QString, QString>> gEntries;
QHash<QString, QHash<QString, QByteArray>> gImages;
QHash<QString, QHash<QString, int>> gTempImages;
const QString alldigits = QStringLiteral("1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");

namespace {

bool isAllDigit(QChar c)
{
    const ushort u = c.unicode();
    return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
}

// Makes the four inner tables of a database key exist. Caller holds gGlobalCacheLock.
void ensureTables(const QString &db)
{
    if (!gPhones.contains(db)) {
        gPhones.insert(db, {});
        gEntries.insert(db, {});
        gImages.insert(db, {});
        gTempImages.insert(db, {});
    }
}

} // namespace

void FRAddressExtras::addName(const std::optional<QString> &name, const std::optional<QString> &entry,
                              const std::optional<QByteArray> &image, const QString &forKey, const QString &toCache)
{
    addName(name, entry, image, 3, forKey, toCache);
}

void FRAddressExtras::addName(const std::optional<QString> &name, const std::optional<QString> &entry,
                              const std::optional<QByteArray> &image, std::optional<int> cacheStatus,
                              const QString &forKey, const QString &toCache)
{
    std::lock_guard lock(gGlobalCacheLock);
    ensureTables(toCache);
    if (name)
        gPhones[toCache].insert(forKey, *name);
    if (entry)
        gEntries[toCache].insert(forKey, *entry);
    if (image)
        gImages[toCache].insert(forKey, *image);
    if (cacheStatus) {
        auto &statuses = gTempImages[toCache];
        const auto cached = statuses.constFind(forKey);
        // A device contact's status survives a later store that brings no picture.
        if (!image && cached != statuses.constEnd() && *cached <= 2)
            return;
        statuses.insert(forKey, *cacheStatus);
    }
}

QByteArray FRAddressExtras::initialsImage(const QString &name)
{
    const QStringList pieces = name.split(QLatin1Char(' '));
    if (pieces.isEmpty() || pieces.first().isEmpty())
        return {};
    QString initials = pieces.first().left(1).toUpper();
    if (!initials.at(0).isLetter())
        return {};
    if (pieces.size() >= 2 && !pieces.last().isEmpty())
        initials += pieces.last().left(1).toUpper();
    const auto maker = ContactPictureMaker::maker();
    return maker ? maker->initialsPicture(initials) : QByteArray();
}

QString FRAddressExtras::stringByRemovingCharactersNotInSet(const QString &set, const QString &string)
{
    if (string.isNull())
        return {};
    QString kept;
    kept.reserve(string.size());
    const bool lettersAndDigits = set == alldigits;
    for (const QChar c : string) {
        if (lettersAndDigits ? isAllDigit(c) : set.contains(c))
            kept += c;
    }
    return kept.isEmpty() ? string : kept;
}

QString FRAddressExtras::oldGetAddressBookName(const QString &, QString *, QByteArray *)
{
    return {};
}

QString FRAddressExtras::lookupKey(const QString &address)
{
    if (address.contains(QLatin1Char('@')) && address.contains(QLatin1Char('.')))
        return address;
    const bool whatsApp = address.startsWith(QLatin1String("WA"));
    QString key = stringByRemovingCharactersNotInSet(alldigits, address);
    if (key.isEmpty())
        return address;
    if (key.startsWith(QLatin1String("FacebookID")))
        key = key.split(QStringLiteral("FacebookID")).value(1);
    else if (key.startsWith(QLatin1String("WA")))
        key = key.split(QStringLiteral("WA")).value(1);
    if (key.size() > 8)
        key = key.right(8);
    if (whatsApp)
        key.prepend(QLatin1String("WA"));
    return key;
}

namespace {

int cachedStatus(const QString &db, const QString &key)
{
    std::lock_guard lock(gGlobalCacheLock);
    return gTempImages.value(db).value(key, 0);
}

// A name without a picture gets its initials picture, cached with the device-contact bit
// cleared from its status.
void addInitials(const QString &name, const QString &key, const QString &db, QByteArray *image)
{
    const QByteArray initials = FRAddressExtras::initialsImage(name);
    if (initials.isEmpty())
        return;
    FRAddressExtras::addName(std::nullopt, std::nullopt, initials, cachedStatus(db, key) & ~2, key, db);
    if (image)
        *image = initials;
}

} // namespace

QString FRAddressExtras::getAddressBookName(const QString &address, QString *entryId, QByteArray *image,
                                            const QString &fromDB, QString *cacheThis)
{
    {
        std::lock_guard lock(gGlobalCacheLock);
        ensureTables(fromDB);
    }
    if (entryId)
        *entryId = address;
    const bool mail = address.contains(QLatin1Char('@')) && address.contains(QLatin1Char('.'));
    const QString key = lookupKey(address);
    // An empty address has no key of its own: the fall-backs are asked every time.
    const bool askCache = mail || !address.isEmpty();
    if (!mail && askCache && entryId)
        *entryId = key;
    if (cacheThis)
        *cacheThis = key;

    if (askCache) {
        QString name;
        QByteArray picture;
        {
            std::lock_guard lock(gGlobalCacheLock);
            const auto &names = gPhones[fromDB];
            const auto found = names.constFind(key);
            if (found != names.constEnd()) {
                name = *found;
                if (name.isNull())
                    name = QStringLiteral("");
                const auto &entries = gEntries[fromDB];
                if (entryId && entries.contains(key))
                    *entryId = entries.value(key);
                picture = gImages[fromDB].value(key);
            }
        }
        if (!name.isNull()) {
            if (image)
                *image = picture;
            if (name.isEmpty())
                return {};
            if (!picture.isEmpty())
                return name;
            addInitials(name, key, fromDB, image);
            return name;
        }
    }

    // The contacts cached in the archive, then the computer's address book.
    QString name;
    QByteArray picture;
    int status = 3;
    if (AppController *controller = gSharedAppController.load()) {
        const QVariantMap contact = controller->loadContactFromCache(address, true, fromDB);
        name = contact.value(QStringLiteral("name")).toString();
        picture = contact.value(QStringLiteral("image")).toByteArray();
    }
    if (name.isEmpty()) {
        QByteArray bookPicture;
        name = oldGetAddressBookName(address, entryId, &bookPicture);
        picture = bookPicture;
        status = 0;
    }
    if (image)
        *image = picture;
    if (name.isEmpty()) {
        addName(QStringLiteral(""), key, QByteArray(""), 0, key, fromDB);
        if (image)
            *image = QByteArray("");
        return {};
    }
    addName(name, entryId ? *entryId : key, picture.isEmpty() ? std::nullopt : std::optional<QByteArray>(picture),
            status, key, fromDB);
    if (picture.isEmpty())
        addInitials(name, key, fromDB, image);
    return name;
}
