#include "archive/QNArchive.h"

#include "archive/ArchiveFolder.h"

#include "platform/Paths.h"
#include "shell/Defaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <sqlite3.h>

#include <algorithm>
#include <optional>

namespace {

struct Database
{
    sqlite3 *handle = nullptr;
    ~Database() { sqlite3_close(handle); }
};

// The first column of the first row, or nothing.
std::optional<QString> singleText(sqlite3 *db, const char *sql, bool *prepared = nullptr)
{
    sqlite3_stmt *statement = nullptr;
    const bool ok = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK;
    if (prepared)
        *prepared = ok;
    std::optional<QString> result;
    if (ok && sqlite3_step(statement) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        result = text ? QString::fromUtf8(text) : QString();
    }
    sqlite3_finalize(statement);
    return result;
}

QString tr(const char *text) { return QCoreApplication::translate("QNArchive", text); }

} // namespace

QString QNArchive::archiveLocation()
{
    return archiveFolderPath();
}

std::shared_ptr<QNArchive>
QNArchive::initWithUuid(const QString &uuid, const QList<std::shared_ptr<QNArchive>> &otherDevices,
                        const QString &folder)
{
    auto archive = std::make_shared<QNArchive>();
    archive->mUuid = uuid;
    archive->mArchiveThis = true;

    Database db;
    const QByteArray path = QDir(folder).filePath(uuid + QStringLiteral(".db")).toUtf8();
    const int rc = sqlite3_open_v2(path.constData(), &db.handle, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        VarnekLog("Error opening backup to get name: (%d) %s", rc,
                  db.handle ? sqlite3_errmsg(db.handle) : "");
        return nullptr;
    }
    bool prepared = false;
    const auto name = singleText(db.handle, "SELECT value FROM props WHERE key='phonename'", &prepared);
    if (!prepared)
        return nullptr;
    if (name) {
        const QString shown = name->isEmpty() ? tr("Untitled") : *name;
        archive->mDisplayname = createUniqueNameForPhone(shown, uuid, otherDevices, folder);
    }
    if (singleText(db.handle, "SELECT value FROM props WHERE key='archive'").value_or(QString())
        == QLatin1String("NO"))
        archive->mArchiveThis = false;

    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM message"))
        archive->mNumMessages = n->toInt();
    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM voicemail"))
        archive->mNumVoicemails = n->toInt();
    if (auto n = singleText(db.handle, "SELECT COUNT(*) FROM call"))
        archive->mNumCalls = n->toInt();
    VarnekLog("LOAD: initWithUuid for %s (%s) messages:%d calls:%d",
              qUtf8Printable(archive->mDisplayname), qUtf8Printable(uuid), archive->mNumMessages,
              archive->mNumCalls);
    return archive;
}

QString QNArchive::createUniqueNameForPhone(const QString &name, const QString &uuid,
                                            const QList<std::shared_ptr<QNArchive>> &otherDevices,
                                            const QString &folder)
{
    QString suffix;
    QString number;
    QString candidate;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        candidate = name + suffix + number;
        const bool clash = std::any_of(otherDevices.begin(), otherDevices.end(),
                                       [&](const auto &other) {
                                           return other && other->displayname() == candidate;
                                       });
        if (!clash)
            break;
        if (suffix.isEmpty()) {
            const QFileInfo info(QDir(folder).filePath(uuid + QStringLiteral(".db")));
            const QDateTime created = info.birthTime().isValid() ? info.birthTime()
                                                                 : info.lastModified();
            suffix = info.exists()
                ? tr(" (Created %1)").arg(QLocale().toString(created.date(), QLocale::ShortFormat))
                : QStringLiteral(" ");
        } else {
            number = QStringLiteral(" %1").arg(attempt + 2); // the next attempt's n + 1
        }
    }
    return candidate;
}

bool QNArchive::comparePhoneNames(const QNArchive &other) const
{
    return mDisplayname.compare(other.mDisplayname, Qt::CaseInsensitive) < 0;
}

QList<std::shared_ptr<QNArchive>> QNArchive::getAllDevices()
{
    return getAllDevices(archiveLocation());
}

QList<std::shared_ptr<QNArchive>> QNArchive::getAllDevices(const QString &folder)
{
    QList<std::shared_ptr<QNArchive>> archives;
    const QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QFileInfo info(name);
        if (info.suffix() != QLatin1String("db"))
            continue;
        if (auto archive = initWithUuid(info.completeBaseName(), archives, folder))
            archives.append(archive);
    }
    std::stable_sort(archives.begin(), archives.end(),
                     [](const auto &a, const auto &b) { return a->comparePhoneNames(*b); });
    return archives;
}
