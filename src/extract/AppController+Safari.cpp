// Safari's files (open pages, history, bookmarks and the reading list) read into bookmark
// records and the group tree the Safari view shows.
//
// The tree of a load is built apart from the shared root and hung under it only when the
// whole load succeeded, so a failed load leaves nothing half-built for a retry to repeat.
// The device files are opened read-only and never created; folder walks follow each parent
// once, so a bookmark table whose rows point at each other in a circle ends.

#include "device/AppController.h"

#include "archive/ArchiveDates.h"
#include "archive/ArchiveSql.h"
#include "extract/BookmarkState.h"
#include "extract/DeviceDatabase.h"
#include "platform/PropertyList.h"
#include "shell/DataLocks.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSet>
#include <QStringDecoder>
#include <QTimeZone>

#include <memory>

QList<FRBookmarkInfoPtr> gBookmarks;
std::atomic<int> gNumBookmarks{0};

namespace {

constexpr int kOpenFailed = -9706;
constexpr int kHistoryQueryFailed = -9707;
// Real bookmark folders nest a few levels; deeper is damage.
constexpr int kMaxFolderDepth = 64;

QString tr(const char *text)
{
    return QCoreApplication::translate("AppController", text);
}

QDateTime from2001(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qint64((seconds + ArchiveDates::kReferenceDate) * 1000.0), Qt::UTC);
}

class SafariLoad
{
public:
    QList<FRBookmarkInfoPtr> records;
    QList<FRWebTreeItemPtr> groups; // the top nodes, attached to the root on success

    void addRecord(const QString &label, const QString &url, const QDateTime &date, const QVariantList &path)
    {
        QVariantMap info;
        info.insert(BookmarkKey::Label, label);
        info.insert(BookmarkKey::Index, QString::number(records.size() + 1));
        info.insert(BookmarkKey::URL, url);
        if (date.isValid())
            info.insert(BookmarkKey::Date, date);
        info.insert(BookmarkKey::Groups, path);
        info.insert(BookmarkKey::UniqueFileName, FRBookmarkInfo::fixFileName(label));
        records.append(FRBookmarkInfo::infoWithInfo(info));
    }

    FRWebTreeItemPtr addGroup(const QString &name)
    {
        FRWebTreeItemPtr node = FRWebTreeItem::itemWithInfo(name);
        groups.append(node);
        return node;
    }

    // One history visit; a new day opens a day node (even when none of its rows is listed).
    void addVisit(const FRWebTreeItemPtr &history, FRWebTreeItemPtr &day, qint64 &dayNumber, const QDateTime &date,
                  const QString &title, const QString &url)
    {
        const QDate local = date.toLocalTime().date();
        const qint64 number = local.toJulianDay();
        if (!day || number != dayNumber) {
            dayNumber = number;
            const QString name = number == QDate::currentDate().toJulianDay()
                                     ? tr("Today")
                                     : QLocale::c().toString(local, QStringLiteral("dddd, MMM d"));
            day = FRWebTreeItem::itemWithInfo(name);
            history->addChild(day);
        }
        if (!url.isEmpty())
            addRecord(title, url, date, {history->ID(), day->ID()});
    }

    void bookmarksFromPlist(const QVariantMap &folder, const FRWebTreeItemPtr &node, QVariantList &path, int depth)
    {
        if (depth > kMaxFolderDepth)
            return;
        for (const QVariant &childValue : folder.value(QStringLiteral("Children")).toList()) {
            const QVariantMap child = childValue.toMap();
            const QString type = child.value(QStringLiteral("WebBookmarkType")).toString();
            if (type == QLatin1String("WebBookmarkTypeLeaf")) {
                if (!child.contains(QStringLiteral("URIDictionary")))
                    continue;
                const QVariantMap uri = child.value(QStringLiteral("URIDictionary")).toMap();
                QString title = uri.value(QStringLiteral("title")).toString();
                if (title.isEmpty())
                    title = tr("(No Title)");
                const QString url = uri.value(QString()).toString();
                if (url.isEmpty()) {
                    QVariantMap info;
                    info.insert(BookmarkKey::Label, QStringLiteral(""));
                    info.insert(BookmarkKey::Index, QString::number(records.size() + 1));
                    records.append(FRBookmarkInfo::infoWithInfo(info));
                    continue;
                }
                addRecord(title, url, QDateTime(), path);
            } else if (type == QLatin1String("WebBookmarkTypeList")) {
                QString title = child.value(QStringLiteral("Title")).toString();
                if (title.isEmpty())
                    title = tr("(No Title)");
                const FRWebTreeItemPtr sub = FRWebTreeItem::itemWithInfo(title);
                node->addChild(sub);
                path.append(sub->ID());
                bookmarksFromPlist(child, sub, path, depth + 1);
                path.removeLast();
            }
        }
    }

    void bookmarksFromDatabase(qint64 parent, sqlite3 *db, const FRWebTreeItemPtr &node, QVariantList &path,
                               QSet<qint64> &walked)
    {
        if (walked.contains(parent) || path.size() > kMaxFolderDepth)
            return;
        walked.insert(parent);
        SqlStatement statement(db, "SELECT ROWID,title,url,type FROM bookmarks WHERE parent=? ORDER BY order_index ASC");
        if (!statement.ok()) {
            VarnekLog("Error preparing for bookmark db query: (%d) %s", statement.rc(), sqlite3_errmsg(db));
            return;
        }
        statement.bind(1, parent);
        struct Row
        {
            qint64 id;
            QString title, url;
            int type;
        };
        QList<Row> rows;
        while (statement.step() == SQLITE_ROW) {
            sqlite3_stmt *q = statement.get();
            rows.append({sqlite3_column_int64(q, 0), ArchiveSql::text(q, 1), ArchiveSql::text(q, 2),
                         sqlite3_column_int(q, 3)});
        }
        for (const Row &row : rows) {
            if (row.type == 1) {
                QString title = row.title;
                if (title == QLatin1String("com.apple.ReadingList"))
                    title = tr("Reading List");
                else if (title == QLatin1String("com.apple.FrequentlyVisitedSites"))
                    title = tr("Frequently Visited");
                const FRWebTreeItemPtr sub = FRWebTreeItem::itemWithInfo(title);
                node->addChild(sub);
                path.append(sub->ID());
                bookmarksFromDatabase(row.id, db, sub, path, walked);
                path.removeLast();
            } else {
                addRecord(row.title.isEmpty() ? tr("(No Title)") : row.title, row.url, QDateTime(), path);
            }
        }
    }
};

QVariantMap plistAt(const QString &path)
{
    if (!QFileInfo(path).isFile())
        return {};
    const auto parsed = PropertyList::fromFile(path);
    return parsed ? parsed->toMap() : QVariantMap();
}

QString textOf(sqlite3_stmt *q, int column, bool *valid)
{
    *valid = true;
    if (sqlite3_column_type(q, column) == SQLITE_NULL)
        return QStringLiteral("");
    const QByteArray bytes = ArchiveSql::blob(q, column);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    *valid = !decoder.hasError();
    return text;
}

} // namespace

std::optional<QList<FRBookmarkInfoPtr>> AppController::processSafariData(const QString &folder, int *error,
                                                                        const QString &historyFile)
{
    int localError = 0;
    int &err = error ? *error : localError;
    err = 0;
    gNumBookmarks.store(0);
    const QString bookmarksDb = folder + QStringLiteral("/Bookmarks.db");
    const QString bookmarksPlist = folder + QStringLiteral("/Bookmarks.plist");
    const QString statePlist = folder + QStringLiteral("/SuspendState.plist");
    const QString historyPlist = folder + QStringLiteral("/History.plist");
    const QString historyDb = historyFile.isEmpty() ? folder + QStringLiteral("/History.db") : historyFile;
    const bool withBookmarksDb = QFileInfo(bookmarksDb).isFile();
    const QVariantMap bookmarks = withBookmarksDb ? QVariantMap() : plistAt(bookmarksPlist);
    const QVariantMap state = plistAt(statePlist);
    const QVariantMap history = plistAt(historyPlist);
    QFile::remove(bookmarksPlist);
    QFile::remove(statePlist);
    QFile::remove(historyPlist);

    SafariLoad load;
    if (state.value(QStringLiteral("SafariStateDocuments")).typeId() == QMetaType::QVariantList) {
        const FRWebTreeItemPtr open = load.addGroup(tr("Open Pages"));
        for (const QVariant &value : state.value(QStringLiteral("SafariStateDocuments")).toList()) {
            const QVariantMap document = value.toMap();
            const QString url = document.value(QStringLiteral("SafariStateDocumentURL")).toString();
            if (url.isEmpty())
                continue;
            QString title = document.value(QStringLiteral("SafariStateDocumentTitle")).toString();
            if (title.isEmpty())
                title = tr("(No Title)");
            const QVariant viewed = document.value(QStringLiteral("SafariStateDocumentLastViewedTime"));
            load.addRecord(title, url, viewed.isValid() ? from2001(viewed.toDouble()) : QDateTime(), {open->ID()});
        }
    }

    if (QFileInfo::exists(historyDb)) {
        const FRWebTreeItemPtr node = load.addGroup(QStringLiteral("History"));
        DeviceDatabase db;
        if (const int rc = db.open(historyDb); rc != SQLITE_OK) {
            VarnekLog("Error processing history db file: (%d) %s", rc, qUtf8Printable(db.message()));
            err = kOpenFailed;
            return std::nullopt;
        }
        auto owned = std::make_unique<SqlStatement>(db.handle(), "select visit_time, title, url from history_items left join history_visits on "
                                        "history_items.id = history_visits.history_item order by visit_time desc;");
        SqlStatement &query = *owned;
        if (!query.ok()) {
            VarnekLog("Error preparing for history db query: (%d) %s", query.rc(), sqlite3_errmsg(db.handle()));
            err = kHistoryQueryFailed;
            return std::nullopt;
        }
        FRWebTreeItemPtr day;
        qint64 dayNumber = 0;
        while (query.step() == SQLITE_ROW) {
            sqlite3_stmt *q = query.get();
            bool valid = true;
            QString title = textOf(q, 1, &valid);
            if (!valid)
                title = tr("(No Title)");
            load.addVisit(node, day, dayNumber, from2001(sqlite3_column_double(q, 0)), title, ArchiveSql::text(q, 2));
        }
        owned.reset();
        db.close();
        DeviceDatabase::removeWithJournals(historyDb);
    } else if (history.value(QStringLiteral("WebHistoryDates")).typeId() == QMetaType::QVariantList) {
        const FRWebTreeItemPtr node = load.addGroup(QStringLiteral("History"));
        FRWebTreeItemPtr day;
        qint64 dayNumber = 0;
        for (const QVariant &value : history.value(QStringLiteral("WebHistoryDates")).toList()) {
            const QVariantMap entry = value.toMap();
            QString title = entry.value(QStringLiteral("title")).toString();
            if (title.isEmpty())
                title = tr("(No Title)");
            const double seconds = entry.value(QStringLiteral("lastVisitedDate")).toString().toDouble();
            load.addVisit(node, day, dayNumber, from2001(seconds), title, entry.value(QString()).toString());
        }
    }

    if (!bookmarks.isEmpty()) {
        const FRWebTreeItemPtr node = load.addGroup(tr("Bookmarks"));
        QVariantList path{node->ID()};
        load.bookmarksFromPlist(bookmarks, node, path, 0);
    } else {
        const FRWebTreeItemPtr node = load.addGroup(tr("Bookmarks"));
        if (withBookmarksDb) {
            DeviceDatabase db;
            if (const int rc = db.open(bookmarksDb); rc != SQLITE_OK) {
                VarnekLog("Error processing bookmark db file: (%d) %s", rc, qUtf8Printable(db.message()));
                err = kOpenFailed;
                return std::nullopt;
            }
            QVariantList path{node->ID()};
            QSet<qint64> walked;
            load.bookmarksFromDatabase(0, db.handle(), node, path, walked);
            db.close();
            DeviceDatabase::removeWithJournals(bookmarksDb);
        }
    }

    // The whole load succeeded: its groups join the shared root.
    const FRWebTreeItemPtr root = FRWebTreeItem::rootItem();
    for (const FRWebTreeItemPtr &group : load.groups)
        root->addChild(group);
    {
        std::lock_guard lock(bookmarkLock);
        gBookmarks = load.records;
    }
    gNumBookmarks.store(int(load.records.size()));
    return load.records;
}
