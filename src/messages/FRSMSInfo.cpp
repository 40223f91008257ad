#include "messages/FRSMSInfo.h"

#include "interfaces/MessageTextLayout.h"
#include "messages/MessageFonts.h"
#include "messages/SMSDataController.h"
#include "shell/DateFormatter.h"

#include <QCoreApplication>

#include <algorithm>
#include <cmath>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("FRSMSInfo", text);
}

const QString kUnknown = QStringLiteral("Unknown");

// Text for XML 1.0: characters the format cannot carry (control characters other than tab
// and line ends, unpaired surrogates, U+FFFE and U+FFFF) are dropped, the rest escaped.
QString xmlText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        if (c.isSurrogate() || u == 0xFFFE || u == 0xFFFF || (u < 0x20 && u != 0x9 && u != 0xA && u != 0xD))
            continue;
        switch (u) {
        case '<': out += QLatin1String("&lt;"); break;
        case '>': out += QLatin1String("&gt;"); break;
        case '&': out += QLatin1String("&amp;"); break;
        case '"': out += QLatin1String("&quot;"); break;
        default: out += c;
        }
    }
    return out;
}

QString element(const QString &name, const QString &text)
{
    return QStringLiteral("<%1>%2</%1>").arg(name, xmlText(text));
}

// Search text: lower case and compatibility decomposition, so a precomposed letter finds
// its decomposed form and the reverse.
QString searchForm(const QString &text)
{
    return text.toLower().normalized(QString::NormalizationForm_KD);
}

QString csvField(QString text)
{
    text.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

} // namespace

QString FRSMSInfo::xmlText(const QString &text) { return ::xmlText(text); }
QString FRSMSInfo::xmlElement(const QString &name, const QString &text) { return element(name, text); }

int64_t leadingInteger(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+')))
        negative = text.at(i++) == QLatin1Char('-');
    uint64_t value = 0;
    for (; i < text.size() && text.at(i).unicode() >= '0' && text.at(i).unicode() <= '9'; ++i) {
        value = value * 10 + uint64_t(text.at(i).unicode() - '0');
        if (value > uint64_t(INT64_MAX))
            return negative ? INT64_MIN : INT64_MAX;
    }
    return negative ? -int64_t(value) : int64_t(value);
}

int32_t recordInt32(const QVariant &value)
{
    int64_t wide = 0;
    switch (value.typeId()) {
    case QMetaType::QString: wide = leadingInteger(value.toString()); break;
    case QMetaType::QByteArray: wide = leadingInteger(QString::fromUtf8(value.toByteArray())); break;
    case QMetaType::Double:
    case QMetaType::Float: wide = int64_t(value.toDouble()); break;
    case QMetaType::ULongLong: wide = int64_t(value.toULongLong()); break;
    default: wide = value.toLongLong(); break;
    }
    return int32_t(uint32_t(uint64_t(wide)));
}

FRSMSInfo::FRSMSInfo(const QVariantMap &info, SMSDataController *dataController)
    : mInfo(info), mDataController(dataController)
{
    const QDateTime date = info.value(SMSKey::Date).toDateTime();
    mSeconds = date.isValid() ? double(date.toMSecsSinceEpoch()) / 1000.0 : 0;
    mRegular = !(recordInt32(info.value(SMSKey::Flags))
                 & (SMSFlag::Messenger | SMSFlag::WhatsApp | SMSFlag::IMessage));
    const QVariant remote = info.value(SMSKey::RemoteID);
    mRemote = remote.typeId() == QMetaType::QString ? leadingInteger(remote.toString()) : remote.toLongLong();
}

FRSMSInfoPtr FRSMSInfo::infoWithInfo(const QVariantMap &info, SMSDataController *dataController)
{
    return std::make_shared<FRSMSInfo>(info, dataController);
}

void FRSMSInfo::setIsiTunes(const QString &workFolderName)
{
    std::lock_guard lock(mLock);
    miTunesString = workFolderName;
}

QString FRSMSInfo::iTunesString() const
{
    std::lock_guard lock(mLock);
    return miTunesString;
}

void FRSMSInfo::setKeyBag(const std::shared_ptr<Keybag> &keybag, const QVariantMap &keysNClasses)
{
    std::lock_guard lock(mLock);
    mKeybag = keybag;
    mKeysNClasses = keysNClasses;
}

std::shared_ptr<Keybag> FRSMSInfo::keybag() const
{
    std::lock_guard lock(mLock);
    return mKeybag;
}

QVariantMap FRSMSInfo::keysNClasses() const
{
    std::lock_guard lock(mLock);
    return mKeysNClasses;
}

void FRSMSInfo::setIsBackup(bool backup) { mBackup.store(backup); }
bool FRSMSInfo::isBackup() const { return mBackup.load(); }

QVariantMap FRSMSInfo::info() const
{
    std::lock_guard lock(mLock);
    return mInfo;
}

QVariant FRSMSInfo::value(const QString &key) const
{
    std::lock_guard lock(mLock);
    return mInfo.value(key);
}

QVariant FRSMSInfo::keyOrBlank(const QString &key) const
{
    const QVariant v = value(key);
    return v.isValid() && !v.isNull() ? v : QVariant(kUnknown);
}

QVariant FRSMSInfo::keyOrReallyBlank(const QString &key) const
{
    const QVariant v = value(key);
    return v.isValid() && !v.isNull() ? v : QVariant(QString(QStringLiteral("")));
}

QString FRSMSInfo::keyString() const { return keyOrBlank(SMSKey::SMSID).toString(); }

int FRSMSInfo::itemId() const
{
    {
        std::lock_guard lock(mLock);
        if (mSMSId)
            return mSMSId;
    }
    const int id = recordInt32(value(SMSKey::SMSID));
    std::lock_guard lock(mLock);
    mSMSId = id;
    return id;
}

QVariant FRSMSInfo::remoteId() const { return keyOrBlank(SMSKey::RemoteID); }

QString FRSMSInfo::SMSNumber() const { return keyOrBlank(SMSKey::Address).toString(); }

QString FRSMSInfo::SMSNumberSpecific() const
{
    if (SMSIncoming()) {
        const QString sender = value(SMSKey::Sender).toString();
        if (!sender.isEmpty())
            return sender;
    }
    return SMSNumber();
}

QDateTime FRSMSInfo::SMSNSDate() const
{
    const QDateTime date = value(SMSKey::Date).toDateTime();
    return date.isValid() ? date : QDateTime::currentDateTime();
}

QString FRSMSInfo::SMSDate() const
{
    {
        std::lock_guard lock(mLock);
        if (!formattedDate.isNull())
            return formattedDate;
    }
    const QString text = DateFormatter(DateFormatter::MediumStyle, DateFormatter::MediumStyle)
                             .stringFromDateNoCommas(SMSNSDate().toLocalTime());
    std::lock_guard lock(mLock);
    formattedDate = text;
    return text;
}

QString FRSMSInfo::SMSRawText() const { return keyOrBlank(SMSKey::Text).toString(); }
QString FRSMSInfo::SMSFullText() const { return SMSRawText(); }
QString FRSMSInfo::SMSFullTextConvertEmoji() const { return SMSRawText(); }

QString FRSMSInfo::SMSFullHTML() const { return value(SMSKey::HTML).toString(); }

QString FRSMSInfo::SMSXMLNode() const { return element(QStringLiteral("Message"), SMSRawText()); }

int32_t FRSMSInfo::SMSFlagsInt() const { return recordInt32(value(SMSKey::Flags)); }

QString FRSMSInfo::SMSType() const
{
    const int32_t flags = SMSFlagsInt();
    if (flags < 0)
        return tr("Waiting");
    if (flags & SMSFlag::Failed)
        return tr("Failed");
    if (flags & SMSFlag::Sent)
        return tr("Sent");
    return tr("Received");
}

bool FRSMSInfo::SMSOnPhone() const { return value(SMSKey::OnPhone).toBool(); }
QString FRSMSInfo::GroupTitle() const { return value(SMSKey::GroupTitle).toString(); }
QString FRSMSInfo::SenderName() const { return value(SMSKey::SenderName).toString(); }
QString FRSMSInfo::RecipientNames() const { return value(SMSKey::RecipientNames).toString(); }
QVariantMap FRSMSInfo::files() const { return value(SMSKey::Files).toMap(); }
QStringList FRSMSInfo::fileids() const { return value(SMSKey::FilesIDs).toStringList(); }

void FRSMSInfo::clearFiles()
{
    std::lock_guard lock(mLock);
    mInfo.remove(SMSKey::Files);
}

void FRSMSInfo::setFiles(const QVariantMap &files)
{
    std::lock_guard lock(mLock);
    mInfo.insert(SMSKey::Files, files);
    mInfo.insert(SMSKey::FilesIDs, QStringList(files.keys()));
}

uint64_t FRSMSInfo::Size() const { return value(SMSKey::Size).toULongLong(); }
int64_t FRSMSInfo::synctime() const { return value(SMSKey::Synctime).toLongLong(); }
QString FRSMSInfo::device() const { return value(SMSKey::Device).toString(); }

void FRSMSInfo::setDevice(const QString &device)
{
    std::lock_guard lock(mLock);
    mInfo.insert(SMSKey::Device, device);
}

QString FRSMSInfo::SMSAddress() const
{
    return value(SMSKey::Thread).toMap().value(QStringLiteral("name")).toString();
}

QString FRSMSInfo::SMSAddressSpecific() const
{
    const QVariantMap thread = value(SMSKey::Thread).toMap();
    if (SMSIncoming())
        return thread.value(QStringLiteral("senderName")).toString();
    return thread.value(QStringLiteral("name")).toString();
}

QString FRSMSInfo::SMSShortenedAddressSpecific() const
{
    const QVariantMap thread = value(SMSKey::Thread).toMap();
    if (SMSIncoming())
        return thread.value(QStringLiteral("senderName")).toString();
    const QString name = thread.value(QStringLiteral("name")).toString();
    const QStringList names = name.split(QStringLiteral(", "));
    if (names.size() < 4)
        return name;
    return tr("%1 and %2 others")
        .arg(names[0] + QStringLiteral(", ") + names[1], QString::number(names.size() - 2));
}

QVariant FRSMSInfo::SMSThreadIds() const { return value(SMSKey::Thread).toMap().value(QStringLiteral("id")); }

QVariant FRSMSInfo::SMSThreadNameList() const
{
    return value(SMSKey::Thread).toMap().value(QStringLiteral("namelist"));
}

void FRSMSInfo::addThreadObject(const QVariantMap &thread)
{
    std::lock_guard lock(mLock);
    mInfo.insert(SMSKey::Thread, thread);
}

void FRSMSInfo::setSort(int order)
{
    std::lock_guard lock(mLock);
    mInfo.insert(SMSKey::SortOrder, order);
}

void FRSMSInfo::addImageObject(const QByteArray &image)
{
    std::lock_guard lock(mLock);
    mImage = image;
}

QByteArray FRSMSInfo::image() const
{
    std::lock_guard lock(mLock);
    return mImage;
}

QString FRSMSInfo::description() const
{
    const QVariantMap info = this->info();
    if (info.isEmpty())
        return QStringLiteral("nil mInfo");
    QStringList lines;
    for (auto it = info.constBegin(); it != info.constEnd(); ++it)
        lines << QStringLiteral("%1 = %2;").arg(it.key(), it.value().toString());
    return QStringLiteral("{\n    ") + lines.join(QStringLiteral("\n    ")) + QStringLiteral("\n}");
}

QString FRSMSInfo::kindString() const
{
    if (SMSiMessage())
        return QStringLiteral("iMessage");
    if (SMSWhatsApp())
        return QStringLiteral("WhatsApp");
    if (SMSFB())
        return QStringLiteral("Facebook");
    return QString(QStringLiteral(""));
}

bool FRSMSInfo::isAIM(const QString &address)
{
    if (address.size() > 6)
        return false;
    const int64_t n = leadingInteger(address);
    return (n >= 9200 && n <= 9229) || n == 265019 || (n >= 265060 && n <= 265089) || n == 4651;
}

QString FRSMSInfo::getScreenName(const QString &text)
{
    const qsizetype newline = text.indexOf(QLatin1Char('\n'));
    if (newline < 0 || text.size() - newline - 1 <= 1)
        return {};
    const QString firstLine = text.left(newline);
    const qsizetype colon = firstLine.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return {};
    QString name = firstLine.left(colon);
    if (name.size() > 5 && name.endsWith(QLatin1String(" (IM)")))
        name.chop(5);
    else if (name.size() > 6 && name.endsWith(QLatin1String(" (AIM)")))
        name.chop(6);
    return name;
}

QString FRSMSInfo::SMSText() const
{
    QString text = SMSRawText().trimmed();
    if (SMSIncoming() && isAIM(SMSNumber())) {
        for (const char *courtesy : {"(You can reply to this message)", "(You can reply to this msg)",
                                     "(Reply 'block' to stop this user)"}) {
            const QString line = QString::fromLatin1(courtesy);
            if (text.endsWith(line) && text.size() > line.size()) {
                text.chop(line.size());
                break;
            }
        }
    }
    return text;
}

QString FRSMSInfo::tooltip() const
{
    if (isAIM(SMSNumberSpecific())) {
        const QString name = getScreenName(SMSFullText());
        if (!name.isEmpty())
            return name;
    }
    return SMSNumberSpecific();
}

QString FRSMSInfo::exportNumber() const
{
    const QString number = SMSNumber();
    if (isAIM(number)) {
        const QString name = getScreenName(SMSFullText());
        if (!name.isEmpty())
            return name;
    }
    return number;
}

QString FRSMSInfo::serviceName() const
{
    if (SMSiMessage())
        return QStringLiteral("iMessage");
    if (SMSWhatsApp())
        return QStringLiteral("WhatsApp");
    return QStringLiteral("SMS");
}

bool FRSMSInfo::matchesSearchFor(const QString &query) const
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
        blob = searchForm(SMSDetailsTabbed() + kindString());
        std::lock_guard lock(mLock);
        mSearchBlob = blob;
    }
    return blob.contains(wanted);
}

bool FRSMSInfo::isInThreads(const QVariantList &selection) const
{
    const QVariantList ids = SMSThreadIds().toList();
    const bool wa = SMSWhatsApp();
    const bool fb = SMSFB();
    for (const QVariant &entryValue : selection) {
        const QVariantMap entry = entryValue.toMap();
        const QString name = entry.value(QStringLiteral("name")).toString();
        if (name == QLatin1String("All"))
            return true;
        if (name == QLatin1String("All From WhatsApp") && wa)
            return true;
        if (name == QLatin1String("All From Facebook") && fb)
            return true;
        if (name == QLatin1String("All From Messages") && !wa && !fb)
            return true;
        const bool forWA = entry.contains(QStringLiteral("forWA"));
        const bool forFB = entry.contains(QStringLiteral("forFB"));
        const bool forIM = entry.contains(QStringLiteral("forIM"));
        const bool kindMatches = (!forWA && !forFB && !forIM) || (forWA && wa) || (forFB && fb)
            || (forIM && !wa && !fb);
        if (!kindMatches)
            continue;
        for (const QVariant &id : entry.value(QStringLiteral("ids")).toList()) {
            if (ids.contains(id) || std::any_of(ids.begin(), ids.end(), [&](const QVariant &mine) {
                    return mine.toString() == id.toString();
                }))
                return true;
        }
    }
    return false;
}

QString FRSMSInfo::SMSDetailsXML() const
{
    return QStringLiteral("<SMSMessage>") + element(QStringLiteral("Kind"), SMSType())
        + element(QStringLiteral("DateTime"),
                  SMSNSDate().toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss +0000")))
        + element(QStringLiteral("Name"), SMSAddressSpecific())
        + element(QStringLiteral("Number"), exportNumber()) + element(QStringLiteral("Type"), serviceName())
        + SMSXMLNode() + QStringLiteral("</SMSMessage>");
}

QString FRSMSInfo::SMSDetailsTabbed() const
{
    // A line end anywhere in a field would end the line: every field is one line.
    const auto oneLine = [](QString field) {
        field.replace(QLatin1Char('\n'), QLatin1Char(' '));
        field.replace(QLatin1Char('\r'), QLatin1Char(' '));
        return field;
    };
    QString name = SMSAddressSpecific();
    name.remove(QLatin1Char('\t'));
    QString number = exportNumber();
    number.replace(QLatin1Char('\t'), QLatin1Char(' '));
    QString text = SMSFullTextConvertEmoji();
    text.replace(QLatin1Char('\t'), QLatin1String("    "));
    return QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6\n")
        .arg(SMSType(), SMSDate(), oneLine(name), oneLine(number), oneLine(text), serviceName());
}

QString FRSMSInfo::SMSDetailsCSV() const
{
    const QStringList fields = {csvField(SMSType()),     csvField(SMSDate()),
                                csvField(SMSAddressSpecific()), csvField(exportNumber()),
                                csvField(SMSFullTextConvertEmoji()), csvField(serviceName())};
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString FRSMSInfo::SMSDetails() const
{
    QString name = SMSAddressSpecific();
    name.remove(QLatin1Char('\t'));
    return QStringLiteral("%1\t%2\t%3\n%4\n").arg(SMSType(), SMSDate(), name, SMSFullTextConvertEmoji());
}

TypedAttributedString FRSMSInfo::SMSRow() const
{
    using namespace MessageStyle;
    TypedAttributedString row;
    const QString type = SMSType();
    const bool individual = mDataController && mDataController->individualThread() && SMSNumber() == SMSNumberSpecific();
    if (individual) {
        const char *phrase = type == QLatin1String("Failed")    ? "Failed to send on "
                             : type == QLatin1String("Waiting") ? "Waiting for delivery on "
                             : type == QLatin1String("Received") ? "Received on "
                                                                 : "Sent on ";
        append(row, tr(phrase), Header);
    } else {
        const char *phrase = type == QLatin1String("Waiting")    ? "Waiting for delivery to "
                             : type == QLatin1String("Failed")   ? "Failed to send to "
                             : type == QLatin1String("Received") ? "Received from "
                                                                 : "Sent to ";
        append(row, tr(phrase), Header);
        append(row, SMSAddressSpecific(), BoldHeader);
        append(row, tr(" on "), Header);
    }
    append(row, SMSDate(), Header);
    append(row, QStringLiteral("\n"), Normal);
    append(row, SMSText(), Normal);
    return row;
}

double FRSMSInfo::heightOfRowForWidth(double width) const
{
    const uint64_t fonts = MessageFonts::generation();
    {
        std::lock_guard lock(mLock);
        if (width == mColumnWidth && fonts == mRowFonts)
            return mRowHeight;
    }
    const TypedAttributedString row = SMSRow();
    double height = 52;
    if (!row.string.isEmpty())
        height = std::floor(std::max(52.0, MessageTextLayout::installed()->measure(row, width - 67).height() + 10));
    std::lock_guard lock(mLock);
    mColumnWidth = width;
    mRowHeight = height;
    mRowFonts = fonts;
    return height;
}
