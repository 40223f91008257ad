#include "messages/FRMMSInfo.h"

#include "interfaces/MessageTextLayout.h"
#include "messages/EmojiConversion.h"
#include "messages/MessageFileNames.h"
#include "messages/MessageFonts.h"
#include "messages/SMSDataController.h"
#include "shell/Defaults.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>
#include <cmath>

namespace {

QString tr(const char *text) { return QCoreApplication::translate("FRMMSInfo", text); }

const QString kIMessageMark = QStringLiteral("-iMessage-");

QString afterIMessageMark(const QString &name)
{
    const qsizetype at = name.lastIndexOf(kIMessageMark);
    return at < 0 ? name : name.mid(at + kIMessageMark.size());
}

QString unescape(QString text)
{
    text.replace(QLatin1String("&quot;"), QLatin1String("\""));
    text.replace(QLatin1String("&#39;"), QLatin1String("'"));
    text.replace(QLatin1String("&lt;"), QLatin1String("<"));
    text.replace(QLatin1String("&gt;"), QLatin1String(">"));
    text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

// Every `<marker` reference in `html` up to its closing quote; a reference without one ends
// the scan.
QStringList references(const QString &html, const QString &marker)
{
    QStringList found;
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = html.indexOf(marker, from, Qt::CaseInsensitive);
        if (at < 0)
            break;
        const qsizetype start = at + marker.size();
        const qsizetype end = html.indexOf(QLatin1Char('"'), start);
        if (end < 0)
            break;
        found.append(html.mid(start, end - start));
        from = end + 1;
    }
    return found;
}

QString pathExtension(const QString &link)
{
    const QString last = link.section(QLatin1Char('/'), -1);
    const qsizetype dot = last.lastIndexOf(QLatin1Char('.'));
    return dot <= 0 ? QString() : last.mid(dot);
}

// The link scan: HREF links of `html` make parts of `type` while they end with the
// extension in force, which after each link becomes that link's own. Titles come from a
// bracketed name in the working text (deleted from it) or from the link's label. Every cut
// is checked: a malformed body gives no title, never a read outside the text.
void checkForFileType(int type, QString extension, const QString &html, const FRSMSInfoPtr &parent,
                      QList<FRMMSInfoPtr> &parts, QString &workingText)
{
    if (!extension.isEmpty() && !html.contains(extension))
        return;
    const int cut = type == FRMMSInfo::ContactCard ? 6 : 2;
    const qsizetype chopped = cut - 2;
    for (const QString &link : references(html, QStringLiteral("HREF=\""))) {
        const bool take = extension.isEmpty() || link.endsWith(extension);
        const QString linkExtension = pathExtension(link);
        extension = linkExtension;
        QString title;
        if (!linkExtension.isEmpty()) {
            const QString closing = linkExtension + QLatin1Char(']');
            const qsizetype end = workingText.indexOf(closing);
            const qsizetype labelEnd = html.indexOf(linkExtension + QLatin1Char('<'));
            if (end >= 0) {
                const qsizetype open = workingText.lastIndexOf(QLatin1Char('['), end);
                if (open >= 0) {
                    const QString inside = workingText.mid(open + 1, end + linkExtension.size() - open - 1);
                    if (inside.size() > chopped)
                        title = inside.left(inside.size() - chopped);
                    workingText.remove(open, end + closing.size() - open);
                }
            } else if (labelEnd >= 0) {
                const qsizetype open = html.lastIndexOf(QLatin1Char('>'), labelEnd);
                if (open >= 0) {
                    const QString label = html.mid(open + 1, labelEnd + linkExtension.size() - open - 1);
                    if (label.size() > chopped)
                        title = unescape(label.left(label.size() - chopped));
                }
            }
        }
        if (!take)
            continue;
        const QString name = MessageFileNames::lastComponent(link);
        if (name.isEmpty())
            continue;
        auto part = std::make_shared<FRMMSInfo>(getTempDir() + name, type, parent);
        if (!title.trimmed().isEmpty())
            part->setMediaTitle(title);
        parts.append(part);
    }
}

} // namespace

FRMMSInfo::FRMMSInfo(const QString &contents, int type, const FRSMSInfoPtr &parent)
    : FRSMSInfo(parent->info(), parent->dataController()), mType(type), mParent(parent), mContents(contents)
{
    formattedDate = parent->SMSDate();
    if (mType == Image || mType == Video)
        mMediaExists.store(mediaExists(false));
    if (mType == ContactCard || mType == Audio || mType == OtherFile)
        mShowAsIcon.store(true);
}

QList<FRMMSInfoPtr> FRMMSInfo::objectsFromSMSInfo(const FRSMSInfoPtr &message)
{
    QList<FRMMSInfoPtr> parts;
    const QString html = message->SMSFullHTML();
    const QString text = message->SMSText();
    const auto media = [&](const QString &marker, int type) {
        for (const QString &reference : references(html, marker)) {
            const QString name = MessageFileNames::lastComponent(unescape(reference));
            if (!name.isEmpty())
                parts.append(std::make_shared<FRMMSInfo>(getTempDir() + name, type, message));
        }
    };
    media(QStringLiteral("<img src=\""), Image);
    media(QStringLiteral("<audio src=\""), Audio);
    media(QStringLiteral("<video src=\""), Video);
    QString working = text;
    checkForFileType(ContactCard, QStringLiteral(".vcf"), html, message, parts, working);
    if (parts.isEmpty())
        checkForFileType(OtherFile, QString(), html, message, parts, working);
    if (!parts.isEmpty()) {
        for (const char *marker : {"[AUDIO]", "[VIDEO]", "[IMAGE]", "[HANDWRITING]"})
            working.remove(QLatin1String(marker));
        working = working.trimmed();
        if (!working.isEmpty())
            parts.append(std::make_shared<FRMMSInfo>(working, Text, message));
    } else if (!text.isEmpty()) {
        parts.append(std::make_shared<FRMMSInfo>(text, Text, message));
    }
    message->setChildCount(int(parts.size()));
    if (SMSDataController *controller = message->dataController())
        for (const FRMMSInfoPtr &part : parts)
            if (part->mType == Image || part->mType == Video)
                controller->addToThumbQueue(part);
    return parts;
}

QByteArray FRMMSInfo::SMSImage() const { return mParent->image(); }

QString FRMMSInfo::pieceName() const { return mContents.section(QLatin1Char('/'), -1); }

QString FRMMSInfo::saveName() const
{
    if (mType == Text)
        return {};
    QString title;
    {
        std::lock_guard lock(mLock);
        title = mMediaTitle;
    }
    if (mType == ContactCard && !title.isEmpty())
        return MessageFileNames::safeFileName(title + QStringLiteral(".vcf"));
    QString name = afterIMessageMark(pieceName());
    if (name.isEmpty())
        name = QStringLiteral("Item");
    const QString suffix = QFileInfo(name).suffix();
    if (mType == ContactCard && suffix.compare(QLatin1String("vcf"), Qt::CaseInsensitive) != 0)
        name += QStringLiteral(".vcf");
    if (mType == Audio && (suffix.compare(QLatin1String("amr"), Qt::CaseInsensitive) == 0
                           || suffix.compare(QLatin1String("opus"), Qt::CaseInsensitive) == 0))
        name = name.left(name.size() - suffix.size()) + QStringLiteral("m4a");
    return MessageFileNames::safeFileName(name);
}

void FRMMSInfo::setMediaTitle(const QString &title)
{
    std::lock_guard lock(mLock);
    mMediaTitle = afterIMessageMark(title);
}

QString FRMMSInfo::mediaTitle() const
{
    {
        std::lock_guard lock(mLock);
        if (!mMediaTitle.isEmpty())
            return mMediaTitle;
    }
    const QString name = saveName();
    switch (mType) {
    case Video: return tr("Video: %1").arg(name);
    case Image: return tr("Image: %1").arg(name);
    case Audio: return tr("Audio: %1").arg(name);
    case OtherFile:
    case ContactCard: return name;
    default: return {};
    }
}

QString FRMMSInfo::iconExtension() const
{
    const QString suffix = QFileInfo(pieceName()).suffix().toLower();
    return suffix == QLatin1String("amr") || suffix == QLatin1String("opus") ? QStringLiteral("m4a") : suffix;
}

QString FRMMSInfo::SMSFullText() const
{
    return mType == Text ? mContents : QStringLiteral("[%1]").arg(saveName());
}

QString FRMMSInfo::SMSFullTextConvertEmoji() const
{
    if (mType != Text)
        return SMSFullText();
    EmojiConversion::Options options;
    options.noConvert = preferenceBool(QStringLiteral("NOCONVERT"));
    options.forceUnicode = true;
    return EmojiConversion::convert(mContents, options).text;
}

QString FRMMSInfo::SMSXMLNode() const
{
    if (mType == Text)
        return xmlElement(QStringLiteral("Message"), mContents);
    return QStringLiteral("<Message File=\"%1\"/>").arg(xmlText(saveName()));
}

QString FRMMSInfo::bodyString() const { return bodyAttributedString().string; }

TypedAttributedString FRMMSInfo::bodyAttributedString() const
{
    {
        std::lock_guard lock(mLock);
        if (mBodyBuilt)
            return mBodyString;
    }
    // Built without the record's lock: the getters below take it themselves.
    QString plain = mType == Text ? mContents : QString();
    plain.replace(QLatin1Char('\t'), QLatin1Char(' '));
    EmojiConversion::Options options;
    options.noConvert = preferenceBool(QStringLiteral("NOCONVERT"));
    const auto converted = EmojiConversion::convert(plain, options);
    const bool white = !SMSIncoming() && !SMSWhatsApp();
    TypedAttributedString body;
    MessageStyle::append(body, converted.text,
                         converted.showAsEmoji ? MessageStyle::Big : white ? MessageStyle::White : MessageStyle::Normal);
    std::lock_guard lock(mLock);
    if (!mBodyBuilt) {
        mBodyString = body;
        mShowAsEmoji = converted.showAsEmoji;
        mBodyBuilt = true;
    }
    return mBodyString;
}

bool FRMMSInfo::drawAsEmoji() const
{
    if (mType != Text)
        return false;
    bodyAttributedString();
    std::lock_guard lock(mLock);
    return mShowAsEmoji;
}

QString FRMMSInfo::tooltip() const
{
    const QString service = SMSiMessage()    ? tr("iMessage")
                            : SMSWhatsApp()  ? tr("WhatsApp message")
                            : SMSFB()        ? tr("Facebook message")
                                             : tr("Text message");
    const QString type = SMSType();
    const QString direction = type == QLatin1String("Failed")    ? tr(" failed to send to ")
                              : type == QLatin1String("Waiting") ? tr(" waiting for delivery to ")
                              : type == QLatin1String("Received") ? tr(" received from ")
                                                                  : tr(" sent to ");
    const QString name = SMSAddressSpecific();
    const QString number = isAIM(SMSNumberSpecific()) && !getScreenName(SMSFullText()).isEmpty()
                               ? getScreenName(SMSFullText())
                               : SMSNumberSpecific();
    if (number == name || SMSFB())
        return service + direction + tr("%1 on %2").arg(name, SMSDate());
    const QString nameList = SMSThreadNameList().toString();
    const QString second = !SMSIncoming() && SMSWhatsApp() && name != nameList ? nameList : number;
    return service + direction + tr("%1 [%2] on %3").arg(name, second, SMSDate());
}

void FRMMSInfo::buildHeaders() const
{
    using namespace MessageStyle;
    const uint64_t fonts = MessageFonts::generation();
    {
        std::lock_guard lock(mLock);
        if (mHeaderGeneration == fonts)
            return;
    }
    const QString type = SMSType();
    QString to = tr("Sent to "), on = tr("Sent on ");
    if (type == QLatin1String("Received"))
        to = tr("Received from "), on = tr("Received on ");
    else if (type == QLatin1String("Waiting"))
        to = tr("Waiting for delivery to "), on = tr("Waiting for delivery on ");
    else if (type == QLatin1String("Failed"))
        to = tr("Failed to send to "), on = tr("Failed to send on ");
    const QString date = SMSDate();
    MessageTextLayout *layout = MessageTextLayout::installed();
    const auto piece = [&](const QString &text, Style style) {
        TypedAttributedString one;
        append(one, text, style);
        return layout->measure(one, 0);
    };
    TypedAttributedString conversation, individual;
    const QString name = SMSShortenedAddressSpecific();
    append(conversation, to, Header);
    append(conversation, name, BoldHeader);
    append(conversation, tr(" on "), Header);
    append(conversation, date, Header);
    append(conversation, QStringLiteral("\n"), Normal);
    append(individual, on, Header);
    append(individual, date, Header);
    append(individual, QStringLiteral("\n"), Normal);
    QSizeF conversationSize, individualSize;
    for (const QSizeF size : {piece(to, Header), piece(name, BoldHeader), piece(tr(" on "), Header), piece(date, Header)}) {
        conversationSize.rwidth() += size.width();
        conversationSize.rheight() = std::max(conversationSize.height(), size.height());
    }
    for (const QSizeF size : {piece(on, Header), piece(date, Header)}) {
        individualSize.rwidth() += size.width();
        individualSize.rheight() = std::max(individualSize.height(), size.height());
    }
    std::lock_guard lock(mLock);
    mHeaderString = conversation;
    mHeaderIndividualString = individual;
    mHeaderStringSize = conversationSize;
    mHeaderIndividualStringSize = individualSize;
    mHeaderGeneration = fonts;
}

TypedAttributedString FRMMSInfo::SMSHeader() const
{
    buildHeaders();
    const bool individual = mDataController && mDataController->individualThread() && SMSNumber() == SMSNumberSpecific();
    std::lock_guard lock(mLock);
    return individual ? mHeaderIndividualString : mHeaderString;
}

QSizeF FRMMSInfo::headerSize() const
{
    buildHeaders();
    const bool individual = mDataController && mDataController->individualThread() && SMSNumber() == SMSNumberSpecific();
    std::lock_guard lock(mLock);
    return individual ? mHeaderIndividualStringSize : mHeaderStringSize;
}

TypedAttributedString FRMMSInfo::SMSRow() const
{
    TypedAttributedString row = SMSHeader();
    if (mType == Text) {
        const TypedAttributedString body = bodyAttributedString();
        for (auto run : body.runs) {
            run.location += row.string.size();
            row.runs.append(run);
        }
        row.string += body.string;
    }
    return row;
}

QRectF FRMMSInfo::contentRectForFrame(const QRectF &frame) const
{
    const auto fonts = MessageFonts::current();
    const double available = frame.height() - 8;
    double width = 0, height = 0;
    if (showAsIcon()) {
        const QString title = mediaTitle();
        if (!title.isEmpty()) {
            TypedAttributedString text;
            MessageStyle::append(text, title, MessageStyle::MediaTitle);
            const QSizeF size = MessageTextLayout::installed()->measure(text, 0);
            height = std::max(size.height(), (mType == Image || mType == Video) ? 200.0 : 52.0) + 18;
            width = size.width() + 88;
        } else {
            width = 300;
            height = 50;
        }
    } else if (mType == Image || mType == Video) {
        width = height = 200;
    } else if (mType == Text) {
        const QSizeF body = MessageTextLayout::installed()->measure(bodyAttributedString(),
                                                                   std::max(150.0, frame.width() - 156));
        height = body.height() + fonts->headerHeight() + 16;
        width = body.width() + 36;
    } else {
        width = frame.width() - 60;
        height = available;
    }
    return QRectF(frame.x() + 4, frame.y() + 4, std::floor(width + 55) + 1,
                  std::floor(std::min(height, available)) + 1);
}

double FRMMSInfo::heightOfRowForWidth(double width) const
{
    const uint64_t fonts = MessageFonts::generation();
    {
        std::lock_guard lock(mLock);
        if (width == mRowWidth && fonts == mRowGeneration)
            return mRowHeight;
    }
    const double height = std::max(53.0, contentRectForFrame(QRectF(0, 0, width, 10000)).height() + 8);
    std::lock_guard lock(mLock);
    mRowWidth = width;
    mRowHeight = height;
    mRowGeneration = fonts;
    return height;
}
