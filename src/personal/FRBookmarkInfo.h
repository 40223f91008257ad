#pragma once
// One Safari open page, history visit or bookmark: a thin record over the bookmark
// dictionary ("Label", "URL", "Date", "Groups" (the tree node numbers it belongs to),
// "Index", "Unique File Name", "Final File Name"), with its texts, search and the
// ".webloc" file it is saved as.
//
// Ownership: shared. Threads: made on the extraction thread, read on the main and search
// threads; the dictionary and the lazily made search text are guarded by the record's lock.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>
#include <mutex>

class FRBookmarkInfo;
using FRBookmarkInfoPtr = std::shared_ptr<FRBookmarkInfo>;

namespace BookmarkKey {
inline const QString BookmarkID = QStringLiteral("Bookmark ID");
inline const QString Label = QStringLiteral("Label");
inline const QString URL = QStringLiteral("URL");
inline const QString Date = QStringLiteral("Date");
inline const QString Groups = QStringLiteral("Groups");
inline const QString Index = QStringLiteral("Index");
inline const QString UniqueFileName = QStringLiteral("Unique File Name");
inline const QString FinalFileName = QStringLiteral("Final File Name");
} // namespace BookmarkKey

class FRBookmarkInfo
{
public:
    explicit FRBookmarkInfo(const QVariantMap &info) : mInfo(info) {}
    static FRBookmarkInfoPtr infoWithInfo(const QVariantMap &info) { return std::make_shared<FRBookmarkInfo>(info); }
    // A label as a file name: ":" removed, "/" made "-", dots trimmed at both ends, control
    // characters dropped, at most 255 bytes with the ".webloc" extension.
    static QString fixFileName(const QString &label);

    QVariantMap info() const;
    QVariant bookmarkID() const { return value(BookmarkKey::BookmarkID); }
    QVariant keyOrBlank(const QString &key) const; // or "Unknown"
    QString label() const { return keyOrBlank(BookmarkKey::Label).toString(); }
    QString url() const { return keyOrBlank(BookmarkKey::URL).toString(); }
    QString keyString() const { return keyOrBlank(BookmarkKey::Index).toString(); }
    int index() const { return keyString().toInt(); }
    QString date() const;    // long date and time; "" without a date
    QDateTime NSDate() const { return value(BookmarkKey::Date).toDateTime(); }
    double dateSort() const; // seconds since 1970; now without a date
    bool isInGroup(int group) const;
    bool matchesSearchFor(const QString &text) const;
    // The ".webloc" file: an XML property list with the URL under "URL".
    QByteArray webloc() const;
    QString uniqueFileName() const { return keyOrBlank(BookmarkKey::UniqueFileName).toString(); }
    QString finalFileName() const { return keyOrBlank(BookmarkKey::FinalFileName).toString(); }
    void setFinalFileName(const QString &name);
    // Makes this record's file name differ from those of `chosen` ("-N" before the extension).
    void makeUniqueFileName(const QList<FRBookmarkInfoPtr> &chosen);

private:
    QVariant value(const QString &key) const;

    mutable std::mutex mLock;
    QVariantMap mInfo;           // mLock
    mutable QString mSearchBlob; // mLock
};
