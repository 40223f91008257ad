#include "KeychainBackends.h"

#include "Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The design asks for a plain file protected only by its permissions when no Secret
// Service answers: secrets are base64 in JSON, the file 0600 inside a 0700 folder.

namespace {

using Keychain::Status;

enum class Load { Ok, Missing, Unreadable, Damaged };

struct Item
{
    QString service, account, label;
    QString secretBase64;
};

// Makes the folder if needed and takes away any access of others it may have had.
bool ensureFolder()
{
    const QString folder = KeychainBackends::FileKeychainStore::folder();
    if (!QDir().mkpath(QFileInfo(folder).absolutePath()))
        return false;
    const QByteArray path = QFile::encodeName(folder);
    // Made 0700 from the start, so it is never open to others even for a moment.
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    return (st.st_mode & 0777) == 0700 || chmod(path.constData(), 0700) == 0;
}

Load load(QList<Item> *items)
{
    items->clear();
    QFile file(KeychainBackends::FileKeychainStore::filePath());
    if (!file.exists())
        return Load::Missing;
    if (!file.open(QIODevice::ReadOnly))
        return Load::Unreadable;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Load::Unreadable;
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject()
        || !doc.object().value(QStringLiteral("items")).isArray())
        return Load::Damaged;
    for (const QJsonValue &v : doc.object().value(QStringLiteral("items")).toArray()) {
        const QJsonObject o = v.toObject();
        if (!o.value(QStringLiteral("service")).isString() || !o.value(QStringLiteral("account")).isString()
            || !o.value(QStringLiteral("secret")).isString())
            return Load::Damaged;
        items->append(Item{o.value(QStringLiteral("service")).toString(),
                           o.value(QStringLiteral("account")).toString(),
                           o.value(QStringLiteral("label")).toString(),
                           o.value(QStringLiteral("secret")).toString()});
    }
    return Load::Ok;
}

// Writes a temporary file created 0600 from the start, flushes it, then renames it over the
// store, so a crash leaves either the old items or the new ones.
bool save(const QList<Item> &items)
{
    if (!ensureFolder())
        return false;
    QJsonArray array;
    for (const Item &item : items) {
        array.append(QJsonObject{{QStringLiteral("service"), item.service},
                                 {QStringLiteral("account"), item.account},
                                 {QStringLiteral("label"), item.label},
                                 {QStringLiteral("secret"), item.secretBase64}});
    }
    const QByteArray bytes = QJsonDocument(QJsonObject{{QStringLiteral("items"), array}}).toJson();
    const QByteArray target = QFile::encodeName(KeychainBackends::FileKeychainStore::filePath());
    const QByteArray temporary = target + ".tmp-" + QByteArray::number(qint64(getpid()));
    unlink(temporary.constData());
    const int fd = open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    const bool ok = written == bytes.size() && fsync(fd) == 0;
    if (close(fd) != 0 || !ok || rename(temporary.constData(), target.constData()) != 0) {
        unlink(temporary.constData());
        return false;
    }
    return true;
}

qsizetype indexOf(const QList<Item> &items, const QString &service, const QString &account)
{
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i].service == service && items[i].account == account)
            return i;
    }
    return -1;
}

} // namespace

namespace KeychainBackends::FileKeychainStore {

QString folder() { return Paths::applicationSupport() + QStringLiteral("/keychain"); }
QString filePath() { return folder() + QStringLiteral("/items.json"); }

namespace {

struct Lookup
{
    qsizetype index = -1; // the item's place in the list, or -1 with `status` to answer
    Status status = Status::NotFound;
};

// Reading and removing look an item up the same way: a missing file holds no items, a file
// we cannot read holds unknown ones.
Lookup locate(QList<Item> *items, const QString &service, const QString &account)
{
    switch (load(items)) {
    case Load::Missing:
        return {-1, Status::NotFound};
    case Load::Unreadable:
    case Load::Damaged:
        return {-1, Status::Unavailable};
    case Load::Ok:
        break;
    }
    const qsizetype at = indexOf(*items, service, account);
    return at >= 0 ? Lookup{at, Status::Success} : Lookup{-1, Status::NotFound};
}

} // namespace

Status find(const QString &service, const QString &account, QByteArray *secret)
{
    QList<Item> items;
    const Lookup found = locate(&items, service, account);
    if (found.index < 0)
        return found.status;
    const qsizetype at = found.index;
    const auto decoded = QByteArray::fromBase64Encoding(items[at].secretBase64.toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return Status::Unavailable;
    *secret = decoded.decoded;
    return Status::Success;
}

Status store(const QString &service, const QString &account, const QByteArray &secret, const QString &label)
{
    QList<Item> items;
    switch (load(&items)) {
    case Load::Unreadable:
        return Status::Unavailable;
    case Load::Damaged: {
        // Keep the damaged file for the user instead of writing over what it may still hold.
        const QString aside = filePath() + QStringLiteral(".damaged-")
                              + QString::number(QDateTime::currentSecsSinceEpoch());
        if (!QFile::rename(filePath(), aside))
            return Status::Unavailable;
        qWarning("keychain file was damaged; kept it as %s", qUtf8Printable(aside));
        items.clear();
        break;
    }
    case Load::Missing:
    case Load::Ok:
        break;
    }
    Item item{service, account, label, QString::fromLatin1(secret.toBase64())};
    const qsizetype at = indexOf(items, service, account);
    if (at >= 0)
        items[at] = item;
    else
        items.append(item);
    return save(items) ? Status::Success : Status::Unavailable;
}

Status remove(const QString &service, const QString &account)
{
    QList<Item> items;
    const Lookup found = locate(&items, service, account);
    if (found.index < 0)
        return found.status;
    const qsizetype at = found.index;
    items.removeAt(at);
    return save(items) ? Status::Success : Status::Unavailable;
}

} // namespace KeychainBackends::FileKeychainStore
