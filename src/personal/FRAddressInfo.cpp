#include "personal/FRAddressInfo.h"

#include <QCoreApplication>
#include <QDateTime>

FRAddressInfo::FRAddressInfo(const QVariantMap &info, const GBPersonPtr &person)
    : mInfo(info)
    , mPerson(person ? person : std::make_shared<GBPerson>())
    , mParentGroups(mPerson->parentGroups())
{}

FRAddressInfoPtr FRAddressInfo::infoWithInfo(const QVariantMap &info, const GBPersonPtr &person)
{
    return std::make_shared<FRAddressInfo>(info, person);
}

QVariant FRAddressInfo::keyOrBlank(const QString &key) const
{
    const auto found = mInfo.constFind(key);
    return found == mInfo.constEnd() ? QVariant(QStringLiteral("Unknown")) : *found;
}

bool FRAddressInfo::isCompany() const
{
    return mPerson->valueForProperty(kABPersonFlags).toInt() & 1;
}

QString FRAddressInfo::displayName() const
{
    const GBPerson &p = *mPerson;
    const QString organisation = p.stringForProperty(kABOrganizationProperty);
    if (isCompany() && !organisation.isEmpty())
        return organisation;
    const QString first = p.stringForProperty(kABFirstNameProperty);
    const QString middle = p.stringForProperty(kABMiddleNameProperty);
    const QString last = p.stringForProperty(kABLastNameProperty);
    if (!first.isEmpty() && !last.isEmpty())
        return middle.isEmpty() ? first + QLatin1Char(' ') + last
                                : first + QLatin1Char(' ') + middle + QLatin1Char(' ') + last;
    if (!first.isEmpty())
        return first;
    if (!last.isEmpty())
        return last;
    const QString phone = GBPerson::valueForPrimaryIdentifier(p.multiValue(kABPhoneProperty));
    if (!phone.isEmpty())
        return phone;
    return GBPerson::valueForPrimaryIdentifier(p.multiValue(kABEmailProperty));
}

QString FRAddressInfo::fullDescription(int lines) const
{
    const QString name = displayName();
    QString text = name + QLatin1Char('\n');
    int count = 0;
    const QString organisation = mPerson->stringForProperty(kABOrganizationProperty);
    if (!organisation.isEmpty() && organisation != name) {
        text += organisation + QLatin1Char('\n');
        ++count;
    }
    for (const QString &property : {kABPhoneProperty, kABEmailProperty}) {
        for (const ABMultiValue::Item &item : mPerson->multiValue(property).items) {
            if (count >= lines)
                break;
            text += item.label + QLatin1Char(' ') + item.value.toString() + QLatin1Char('\n');
            ++count;
        }
    }
    return text;
}

bool FRAddressInfo::matchesSearchFor(const QString &query) const
{
    const QString wanted = query.toLower().normalized(QString::NormalizationForm_KD);
    if (wanted.isEmpty())
        return false;
    std::lock_guard lock(mLock);
    if (mSearchBlob.isNull())
        mSearchBlob = description().toLower();
    return mSearchBlob.contains(wanted);
}

bool FRAddressInfo::isInGroups(const QStringList &names) const
{
    const QString all = QCoreApplication::translate("FRAddressInfo", "All");
    for (const QString &name : names) {
        if (name == all)
            return true;
        for (const GBGroupPtr &group : mParentGroups) {
            if (group && group->name() == name)
                return true;
        }
    }
    return false;
}

namespace {

// vCard text values escape backslashes, commas, semicolons and line breaks.
QString vcardText(const QString &value)
{
    QString out = value;
    out.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    out.replace(QLatin1Char(','), QLatin1String("\\,"));
    out.replace(QLatin1Char(';'), QLatin1String("\\;"));
    out.replace(QLatin1String("\r\n"), QLatin1String("\\n"));
    out.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    out.replace(QLatin1Char('\r'), QLatin1String("\\n"));
    return out;
}

QString vcardType(const QString &label)
{
    QString type = label;
    type.remove(QLatin1String("_$!<")).remove(QLatin1String(">!$_"));
    QString kept;
    for (const QChar c : type)
        if (c.isLetterOrNumber() || c == QLatin1Char('-'))
            kept += c;
    return kept.isEmpty() ? QStringLiteral("other") : kept.toLower();
}

} // namespace

QByteArray FRAddressInfo::vcard() const
{
    const GBPerson &p = *mPerson;
    QString card = QStringLiteral("BEGIN:VCARD\r\nVERSION:3.0\r\n");
    card += QStringLiteral("N:%1;%2;%3;%4;%5\r\n")
                .arg(vcardText(p.stringForProperty(kABLastNameProperty)), vcardText(p.stringForProperty(kABFirstNameProperty)),
                     vcardText(p.stringForProperty(kABMiddleNameProperty)), vcardText(p.stringForProperty(kABTitleProperty)),
                     vcardText(p.stringForProperty(kABSuffixProperty)));
    card += QStringLiteral("FN:%1\r\n").arg(vcardText(displayName()));
    const QString organisation = p.stringForProperty(kABOrganizationProperty);
    if (!organisation.isEmpty() || !p.stringForProperty(kABDepartmentProperty).isEmpty())
        card += QStringLiteral("ORG:%1;%2\r\n").arg(vcardText(organisation), vcardText(p.stringForProperty(kABDepartmentProperty)));
    if (!p.stringForProperty(kABJobTitleProperty).isEmpty())
        card += QStringLiteral("TITLE:%1\r\n").arg(vcardText(p.stringForProperty(kABJobTitleProperty)));
    for (const auto &item : p.multiValue(kABPhoneProperty).items)
        card += QStringLiteral("TEL;type=%1:%2\r\n").arg(vcardType(item.label), vcardText(item.value.toString()));
    for (const auto &item : p.multiValue(kABEmailProperty).items)
        card += QStringLiteral("EMAIL;type=INTERNET;type=%1:%2\r\n").arg(vcardType(item.label), vcardText(item.value.toString()));
    for (const auto &item : p.multiValue(kABURLsProperty).items)
        card += QStringLiteral("URL;type=%1:%2\r\n").arg(vcardType(item.label), vcardText(item.value.toString()));
    for (const auto &item : p.multiValue(kABAddressProperty).items) {
        const QVariantMap a = item.value.toMap();
        card += QStringLiteral("ADR;type=%1:;;%2;%3;%4;%5;%6\r\n")
                    .arg(vcardType(item.label), vcardText(a.value(QStringLiteral("Street")).toString()),
                         vcardText(a.value(QStringLiteral("City")).toString()),
                         vcardText(a.value(QStringLiteral("State")).toString()),
                         vcardText(a.value(QStringLiteral("ZIP")).toString()),
                         vcardText(a.value(QStringLiteral("Country")).toString()));
    }
    const QDateTime birthday = p.valueForProperty(kABBirthdayProperty).toDateTime();
    if (birthday.isValid())
        card += QStringLiteral("BDAY:%1\r\n").arg(birthday.toUTC().date().toString(Qt::ISODate));
    if (!p.stringForProperty(kABNoteProperty).isEmpty())
        card += QStringLiteral("NOTE:%1\r\n").arg(vcardText(p.stringForProperty(kABNoteProperty)));
    const QByteArray photo = pictureData();
    if (!photo.isEmpty())
        card += QStringLiteral("PHOTO;ENCODING=b:%1\r\n").arg(QString::fromLatin1(photo.toBase64()));
    card += QStringLiteral("END:VCARD\r\n");
    return card.toUtf8();
}

QString FRAddressInfo::makeFileName(const QList<FRAddressInfoPtr> &contacts)
{
    if (contacts.isEmpty() || !contacts.first())
        return {};
    const FRAddressInfo &first = *contacts.first();
    const GBPerson &p = *first.mPerson;
    const QString organisation = p.stringForProperty(kABOrganizationProperty);
    const QString given = p.stringForProperty(kABFirstNameProperty);
    const QString family = p.stringForProperty(kABLastNameProperty);
    const QString phone = GBPerson::valueForPrimaryIdentifier(p.multiValue(kABPhoneProperty));
    const QString mail = GBPerson::valueForPrimaryIdentifier(p.multiValue(kABEmailProperty));
    QString name;
    if (first.isCompany() && !organisation.isEmpty())
        name = organisation;
    else if (!given.isEmpty() && !family.isEmpty())
        name = given + QLatin1Char(' ') + family;
    else if (!given.isEmpty())
        name = given;
    else if (!family.isEmpty())
        name = family;
    else if (!phone.isEmpty())
        name = phone;
    else if (!mail.isEmpty())
        name = mail;
    else
        name = QStringLiteral("Contact");
    if (contacts.size() >= 2)
        name += QStringLiteral(" and %1 Other%2").arg(contacts.size() - 1).arg(contacts.size() > 2 ? "s" : "");
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    name.remove(QChar(0));
    // A file name holds at most 255 bytes: shorten by whole characters, keeping the extension.
    while (name.toUtf8().size() > 255 - 4)
        name.chop(name.size() >= 2 && name.at(name.size() - 1).isLowSurrogate() ? 2 : 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("Contact");
    return name + QStringLiteral(".vcf");
}
