#include "personal/FRCallInfo.h"

#include "messages/FRSMSInfo.h"
#include "media/VoiceConversion.h"
#include "personal/CallListController.h"
#include "shell/Defaults.h"
#include "shell/DateFormatter.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FRCallInfo", text);
}

QString formatted(const QDateTime &date, DateFormatter::Style dateStyle, DateFormatter::Style timeStyle)
{
    // The formatter serialises itself (gFormatterLock).
    return DateFormatter(dateStyle, timeStyle).stringFromDateNoCommas(date.toLocalTime());
}

QString searchForm(const QString &text)
{
    return text.toLower().normalized(QString::NormalizationForm_KD);
}

} // namespace

FRCallInfo::FRCallInfo(const QVariantMap &info, CallListController *dataController)
    : mInfo(info), mDataController(dataController),
      mThisControllersDB(dataController ? dataController->cacheDBName() : QString())
{
}

FRCallInfoPtr FRCallInfo::infoWithInfo(const QVariantMap &info, CallListController *dataController)
{
    return std::make_shared<FRCallInfo>(info, dataController);
}

QVariantMap FRCallInfo::info() const
{
    std::lock_guard lock(mLock);
    return mInfo;
}

QVariant FRCallInfo::value(const QString &key) const
{
    std::lock_guard lock(mLock);
    return mInfo.value(key);
}

QVariant FRCallInfo::keyOrBlank(const QString &key) const
{
    const QVariant v = value(key);
    return v.isValid() && !v.isNull() ? v : QVariant(QStringLiteral("Unknown"));
}

int FRCallInfo::itemId() const
{
    {
        std::lock_guard lock(mLock);
        if (mCallId)
            return mCallId;
    }
    const int id = recordInt32(value(CallKey::CallID));
    std::lock_guard lock(mLock);
    mCallId = id;
    return id;
}

QString FRCallInfo::keyString() const { return keyOrBlank(CallKey::CallID).toString(); }
QVariant FRCallInfo::remoteId() const { return keyOrBlank(CallKey::RemoteID); }
QDateTime FRCallInfo::CallNSDate() const { return value(CallKey::Date).toDateTime(); }

QString FRCallInfo::CallName() const
{
    const QString name = value(CallKey::Name).toString();
    return name.isEmpty() ? QString(QStringLiteral("")) : name;
}

QVariant FRCallInfo::CallDBName() const { return value(CallKey::Name); }

QString FRCallInfo::CallNumber() const
{
    const QString number = value(CallKey::Number).toString();
    return number.isEmpty() ? QStringLiteral("Unknown") : number;
}

int FRCallInfo::CallSeconds() const { return recordInt32(value(CallKey::Duration)); }
int FRCallInfo::CallFlags() const { return recordInt32(value(CallKey::Flags)); }
QVariant FRCallInfo::CallProvider() const { return value(CallKey::Provider); }
bool FRCallInfo::CallOnPhone() const { return value(CallKey::OnPhone).toBool(); }
bool FRCallInfo::isVoicemail() const { return value(CallKey::IsVoicemail).toBool(); }
QString FRCallInfo::category() const { return keyOrBlank(CallKey::Category).toString(); }
QByteArray FRCallInfo::amr() const { return value(CallKey::AMR).toByteArray(); }
bool FRCallInfo::hasAMR() const { return value(CallKey::AMR).isValid(); }
uint64_t FRCallInfo::dataSize() const { return uint64_t(amr().size()); }

bool FRCallInfo::unread() const
{
    std::lock_guard lock(mLock);
    return mInfo.contains(CallKey::Unread);
}

void FRCallInfo::setread()
{
    std::lock_guard lock(mLock);
    mInfo.remove(CallKey::Unread);
}

QString FRCallInfo::uniqueFileName() const { return keyOrBlank(CallKey::UniqueFileName).toString(); }
QString FRCallInfo::finalFileName() const { return keyOrBlank(CallKey::FinalFileName).toString(); }

QString FRCallInfo::setFinalFileName(const QString &name)
{
    std::lock_guard lock(mLock);
    mInfo.insert(CallKey::FinalFileName, name);
    return name;
}

QString FRCallInfo::CallDate() const
{
    const QDateTime date = CallNSDate();
    return formatted(date.isValid() ? date : QDateTime::currentDateTime(), DateFormatter::MediumStyle,
                     DateFormatter::ShortStyle);
}

QString FRCallInfo::CallDuration() const
{
    const int n = CallSeconds();
    if (n != 0 && (n < 60 || isVoicemail()))
        return tr("%1 Second%2").arg(n).arg(n == 1 ? QString() : QStringLiteral("s"));
    if (n >= 60)
        return tr("%1 Minute%2").arg(n / 60).arg(n < 120 ? QString() : QStringLiteral("s"));
    if (n == 0)
        return outgoing() ? tr("Cancelled") : tr("Missed Call");
    return QString::number(n); // a negative duration of a damaged row
}

QString FRCallInfo::CallStatus() const
{
    const bool answered = CallSeconds() > 0;
    QString status = outgoing() ? (answered ? tr("Outgoing") : tr("Failed"))
                                : (answered ? tr("Incoming") : tr("Missed"));
    const QString provider = CallProviderName();
    if (!provider.isNull())
        status += QLatin1Char(' ') + provider;
    if (video())
        status += tr(" Video");
    return status;
}

QString FRCallInfo::CallProviderName() const
{
    const QVariant provider = CallProvider();
    if (!provider.isValid() || provider.isNull())
        return {};
    const QString last = provider.toString().section(QLatin1Char('.'), -1);
    if (last == QLatin1String("Telephony"))
        return {};
    if (last.isEmpty())
        return QString(QStringLiteral(""));
    return last.left(1).toUpper() + last.mid(1);
}

double FRCallInfo::CallDateSort() const
{
    const QDateTime date = CallNSDate();
    return double((date.isValid() ? date : QDateTime::currentDateTime()).toMSecsSinceEpoch()) / 1000.0;
}

QString FRCallInfo::CallTypeSort() const
{
    const QString provider = CallProviderName();
    const bool answered = CallSeconds() > 0;
    const int digit = outgoing() ? (answered ? 3 : 4) : (answered ? 1 : 2);
    return (provider.isNull() ? QStringLiteral("(null)") : provider) + QString::number(digit)
        + (video() ? QStringLiteral("X") : QString());
}

int FRCallInfo::CallDurationSort() const
{
    const int n = CallSeconds();
    if (n > 0)
        return n + 1;
    return outgoing() ? 0 : 1;
}

bool FRCallInfo::matchesSearchFor(const QString &query) const
{
    const QString wanted = searchForm(query);
    if (wanted.isEmpty())
        return false;
    QString blob;
    {
        std::lock_guard lock(mLock);
        blob = mSearchBlob;
    }
    if (blob.isNull()) {
        blob = searchForm(CallDetails());
        std::lock_guard lock(mLock);
        mSearchBlob = blob;
    }
    return blob.contains(wanted);
}

QString FRCallInfo::CallDetails() const
{
    const int n = CallSeconds();
    QString name = CallName();
    name.remove(QLatin1Char('\t'));
    return QStringLiteral("%1\t%2\t%3\t%4\t%5")
        .arg(CallStatus(), CallDate(),
             QString::asprintf("%02d:%02d:%02d", n / 3600, (n / 60) % 60, n % 60), CallNumber(), name);
}

QString FRCallInfo::description() const
{
    return QStringLiteral("Flags: %1 Date: %2 Duration: %3 Number: %4 Name: %5")
        .arg(QString::number(CallFlags() & 0xF), CallNSDate().toString(Qt::ISODate),
             value(CallKey::Duration).toString(), CallNumber(), CallName());
}

QString FRCallInfo::fixFileName(const QString &name)
{
    QString fixed = name;
    fixed.remove(QLatin1Char(':'));
    fixed.replace(QLatin1Char('/'), QLatin1Char('-'));
    qsizetype start = 0;
    qsizetype end = fixed.size();
    while (start < end && fixed.at(start) == QLatin1Char('.'))
        ++start;
    while (end > start && fixed.at(end - 1) == QLatin1Char('.'))
        --end;
    return fixed.mid(start, end - start) + QStringLiteral(".m4a");
}

void FRCallInfo::setUniqueFileName()
{
    const QDateTime date = CallNSDate();
    const QString when = date.isValid() ? formatted(date, DateFormatter::ShortStyle, DateFormatter::ShortStyle)
                                        : QStringLiteral("Saved");
    const QString who = CallName().isEmpty() ? CallNumber() : CallName();
    const QString name = fixFileName(QStringLiteral("%1 Voicemail from %2").arg(when, who));
    std::lock_guard lock(mLock);
    mInfo.insert(CallKey::UniqueFileName, name);
}

void FRCallInfo::makeUniqueFileName(const QList<FRCallInfoPtr> &chosen)
{
    if (chosen.isEmpty())
        return;
    int n = 1;
    qsizetype i = 0;
    QString current = uniqueFileName();
    while (i < chosen.size()) {
        if (chosen[i] && current.compare(chosen[i]->uniqueFileName(), Qt::CaseInsensitive) == 0) {
            const QString suffix = QFileInfo(current).suffix();
            const QString base = suffix.isEmpty() ? current : current.left(current.size() - suffix.size() - 1);
            current = base + QStringLiteral("-%1").arg(n) + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
            ++n;
            i = 0;
            continue;
        }
        ++i;
    }
    std::lock_guard lock(mLock);
    mInfo.insert(CallKey::UniqueFileName, current);
}

bool FRCallInfo::saveMovie(const QString &destination) const
{
    const QByteArray audio = amr();
    if (audio.isEmpty() || !value(CallKey::CallID).isValid() || destination.isEmpty())
        return false;
    const QString temp = getTempDir();
    if (temp.isEmpty())
        return false;
    // The row's number, not its stored text, names the work files: an id read from a
    // database must never become a path.
    const QString stem = temp + VoiceConversion::secondsStamp() + QStringLiteral("_%1").arg(itemId());
    const VoiceConversion::WorkFiles files{stem + QStringLiteral(".amr"), {}, stem + QStringLiteral(".m4a")};
    return VoiceConversion::convert(audio, VoiceConversion::Source::Amr, files, destination,
                                    "Export session failed with error");
}
