#pragma once
// The address-book property names a contact (GBPerson) stores its values under, spelled as
// the address-book model of the design spells them, and the multi-value type of the
// properties that hold several labelled values (phones, e-mails, addresses, ...).

#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>

inline const QString kABFirstNameProperty = QStringLiteral("First");
inline const QString kABLastNameProperty = QStringLiteral("Last");
inline const QString kABMiddleNameProperty = QStringLiteral("Middle");
inline const QString kABOrganizationProperty = QStringLiteral("Organization");
inline const QString kABSuffixProperty = QStringLiteral("Suffix");
inline const QString kABTitleProperty = QStringLiteral("Title");
inline const QString kABJobTitleProperty = QStringLiteral("JobTitle");
inline const QString kABNoteProperty = QStringLiteral("Note");
inline const QString kABDepartmentProperty = QStringLiteral("ABDepartment");
inline const QString kABFirstNamePhoneticProperty = QStringLiteral("FirstPhonetic");
inline const QString kABMiddleNamePhoneticProperty = QStringLiteral("MiddlePhonetic");
inline const QString kABLastNamePhoneticProperty = QStringLiteral("LastPhonetic");
inline const QString kABCreationDateProperty = QStringLiteral("Creation");
inline const QString kABModificationDateProperty = QStringLiteral("Modification");
inline const QString kABBirthdayProperty = QStringLiteral("Birthday");
inline const QString kABPersonFlags = QStringLiteral("ABPersonFlags");
inline const QString kABPhoneProperty = QStringLiteral("Phone");
inline const QString kABEmailProperty = QStringLiteral("Email");
inline const QString kABURLsProperty = QStringLiteral("URLs");
inline const QString kABRelatedNamesProperty = QStringLiteral("ABRelatedNames");
inline const QString kABOtherDatesProperty = QStringLiteral("ABDate");
inline const QString kABAddressProperty = QStringLiteral("Address");
inline const QString kABAIMInstantProperty = QStringLiteral("AIMInstant");
inline const QString kABJabberInstantProperty = QStringLiteral("JabberInstant");
inline const QString kABMSNInstantProperty = QStringLiteral("MSNInstant");
inline const QString kABYahooInstantProperty = QStringLiteral("YahooInstant");
inline const QString kABICQInstantProperty = QStringLiteral("ICQInstant");

// Labelled values in order; `primaryIdentifier` names the preferred one (empty: the first).
struct ABMultiValue
{
    struct Item
    {
        QString identifier;
        QString label;
        QVariant value;
    };
    QList<Item> items;
    QString primaryIdentifier;

    void add(const QVariant &value, const QString &label)
    {
        items.append({QString::number(items.size()), label, value});
    }
    bool isEmpty() const { return items.isEmpty(); }
};
Q_DECLARE_METATYPE(ABMultiValue)
