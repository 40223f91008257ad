#pragma once
// One row of the contacts list: the contact dictionary the extraction made ("Address ID",
// "Index", "Sort Name", "Image") and the contact's GBPerson. It answers the row's name and
// detail lines, search, picture data, vCard and export file names. The window draws the
// lines with its fonts; here they are plain text.
//
// Ownership: shared, immutable once made but for the lazily built search text (guarded).
// Threads: made on the extraction thread, read on the main and search threads.

#include "personal/GBPerson.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <mutex>

class FRAddressInfo;
using FRAddressInfoPtr = std::shared_ptr<FRAddressInfo>;

namespace AddressKey {
inline const QString AddressID = QStringLiteral("Address ID");
inline const QString Index = QStringLiteral("Index");
inline const QString SortName = QStringLiteral("Sort Name");
inline const QString Image = QStringLiteral("Image");
} // namespace AddressKey

class FRAddressInfo
{
public:
    FRAddressInfo(const QVariantMap &info, const GBPersonPtr &person);
    static FRAddressInfoPtr infoWithInfo(const QVariantMap &info, const GBPersonPtr &person);

    QVariantMap info() const { return mInfo; }
    QString addressID() const { return mInfo.value(AddressKey::AddressID).toString(); }
    QVariant keyOrBlank(const QString &key) const;
    QString sortDescription() const { return keyOrBlank(AddressKey::SortName).toString(); }
    QString keyString() const { return keyOrBlank(AddressKey::Index).toString(); }
    int index() const { return keyString().toInt(); }
    GBPersonPtr person() const { return mPerson; }
    QList<GBGroupPtr> parentGroups() const { return mParentGroups; }

    bool isCompany() const;
    // The name shown: the organisation of a company, else the names, else the primary phone
    // or e-mail; "" with none of them.
    QString displayName() const;
    // The name and up to `lines` detail lines (organisation, phones, e-mails), one per line.
    QString fullDescription(int lines) const;
    QString description() const { return fullDescription(3); }
    bool matchesSearchFor(const QString &query) const;
    // The photo's data, or empty (the window then shows the person or company placeholder).
    QByteArray pictureData() const { return mInfo.value(AddressKey::Image).toByteArray(); }
    QByteArray vcard() const;
    bool isInGroups(const QStringList &names) const;
    // The export file name of a selection ("Ann Lee and 2 Others.vcf"); empty for none.
    static QString makeFileName(const QList<FRAddressInfoPtr> &contacts);

private:
    QVariantMap mInfo;
    GBPersonPtr mPerson;
    QList<GBGroupPtr> mParentGroups;
    mutable std::mutex mLock;
    mutable QString mSearchBlob; // mLock
};
