#include "personal/FRBookmarkInfo.h"

#include "shell/DateFormatter.h"

#include <QFileInfo>

QString FRBookmarkInfo::fixFileName(const QString &label)
{
    QString name = label;
    name.remove(QLatin1Char(':'));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    QString kept;
    for (const QChar c : name)
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f)
            kept += c;
    while (kept.startsWith(QLatin1Char('.')))
        kept.remove(0, 1);
    while (kept.endsWith(QLatin1Char('.')))
        kept.chop(1);
    const QString extension = QStringLiteral(".webloc");
    // One file name holds at most 255 bytes: shorten by whole characters.
    while (kept.toUtf8().size() > 255 - extension.size())
        kept.chop(kept.size() >= 2 && kept.at(kept.size() - 1).isLowSurrogate() ? 2 : 1);
    return kept + extension;
}

QVariantMap FRBookmarkInfo::info() const
{
    std::lock_guard lock(mLock);
    return mInfo;
}

QVariant FRBookmarkInfo::value(const QString &key) const
{
    std::lock_guard lock(mLock);
    return mInfo.value(key);
}

QVariant FRBookmarkInfo::keyOrBlank(const QString &key) const
{
    const QVariant v = value(key);
    return v.isValid() ? v : QVariant(QStringLiteral("Unknown"));
}

QString FRBookmarkInfo::date() const
{
    const QDateTime when = NSDate();
    if (!when.isValid())
        return QStringLiteral("");
    std::lock_guard lock(gFormatterLock);
    return DateFormatter(DateFormatter::LongStyle, DateFormatter::LongStyle).stringFromDate(when.toLocalTime());
}

double FRBookmarkInfo::dateSort() const
{
    const QDateTime when = NSDate();
    return (when.isValid() ? when : QDateTime::currentDateTimeUtc()).toMSecsSinceEpoch() / 1000.0;
}

bool FRBookmarkInfo::isInGroup(int group) const
{
    for (const QVariant &id : value(BookmarkKey::Groups).toList())
        if (id.toInt() == group)
            return true;
    return false;
}

bool FRBookmarkInfo::matchesSearchFor(const QString &text) const
{
    const QString wanted = text.toLower().normalized(QString::NormalizationForm_KD);
    if (wanted.isEmpty())
        return false;
    const QString blob = QStringLiteral("%1 %2").arg(label(), url()).toLower();
    std::lock_guard lock(mLock);
    if (mSearchBlob.isNull())
        mSearchBlob = blob;
    return mSearchBlob.contains(wanted);
}

QByteArray FRBookmarkInfo::webloc() const
{
    QString address = url();
    address.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    address.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    address.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    const QString text = QStringLiteral(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "<key>URL</key>\n"
        "<string>%1</string>\n"
        "</dict>\n"
        "</plist>\n").arg(address);
    return text.toUtf8();
}

void FRBookmarkInfo::setFinalFileName(const QString &name)
{
    std::lock_guard lock(mLock);
    mInfo.insert(BookmarkKey::FinalFileName, name);
}

void FRBookmarkInfo::makeUniqueFileName(const QList<FRBookmarkInfoPtr> &chosen)
{
    const QString original = uniqueFileName();
    const QFileInfo info(original);
    const QString suffix = info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    const QString base = suffix.isEmpty() ? original : original.left(original.size() - suffix.size());
    QString name = original;
    int counter = 1;
    for (qsizetype i = 0; i < chosen.size(); ++i) {
        const FRBookmarkInfoPtr &other = chosen.at(i);
        if (!other || other.get() == this)
            continue;
        if (other->uniqueFileName() == name) {
            name = QStringLiteral("%1-%2%3").arg(base).arg(counter++).arg(suffix);
            i = -1; // scan again from the first entry
        }
    }
    std::lock_guard lock(mLock);
    mInfo.insert(BookmarkKey::UniqueFileName, name);
}
