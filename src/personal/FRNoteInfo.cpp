#include "personal/FRNoteInfo.h"

#include "interfaces/HTMLTextConverter.h"
#include "shell/DateFormatter.h"

#include <QFileInfo>

namespace {

QString suffixOf(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : name.mid(dot + 1);
}

bool hasPrefix(const QString &text, QLatin1String prefix)
{
    return text.startsWith(prefix, Qt::CaseInsensitive);
}

} // namespace

bool FRNoteInfo::stringLooksLikeHTML(const QString &text)
{
    const qsizetype length = text.size();
    if (length > 5) {
        for (const char *prefix : {"<html", "<span", "<font", "<div "})
            if (hasPrefix(text, QLatin1String(prefix)))
                return true;
    }
    if (length > 10) {
        for (const char *prefix : {"<div><font", "<div><span"})
            if (hasPrefix(text, QLatin1String(prefix)))
                return true;
    }
    return length >= 15 && hasPrefix(text, QLatin1String("<!DOCTYPE html"));
}

QString FRNoteInfo::fixFileName(const QString &title, const QString &body)
{
    QString name = title.left(50);
    if (name.size() == 50 && name.back().isHighSurrogate())
        name.chop(1); // never half a character
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    name.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    name.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    name.replace(QLatin1Char('\n'), QLatin1Char(' '));
    // A file name holds no other control character (NUL above all).
    name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });

    const QString extension = suffixOf(name).toLower();
    const bool htmlExtension = extension == QLatin1String("htm") || extension == QLatin1String("html");
    if (stringLooksLikeHTML(body)) {
        if (body.contains(NoteKey::HTMLMarker) && !name.isEmpty() && !htmlExtension)
            return name + QStringLiteral(".html");
        if (name.isEmpty() || htmlExtension)
            return name;
        return extension == QLatin1String("rtf") ? name : name + QStringLiteral(".rtf");
    }
    if (name.isEmpty())
        return name;
    return extension == QLatin1String("txt") ? name : name + QStringLiteral(".txt");
}

QVariantMap FRNoteInfo::info() const
{
    std::lock_guard lock(mLock);
    return mInfo;
}

QVariant FRNoteInfo::value(const QString &key) const
{
    std::lock_guard lock(mLock);
    return mInfo.value(key);
}

QVariant FRNoteInfo::keyOrBlank(const QString &key) const
{
    const QVariant v = value(key);
    return v.isValid() ? v : QVariant(QStringLiteral("Unknown"));
}

int FRNoteInfo::noteId() const
{
    return keyString().toInt();
}

QStringList FRNoteInfo::attachments() const
{
    return value(NoteKey::Attachments).toStringList();
}

QDateTime FRNoteInfo::noteNSDate() const
{
    const QDateTime date = value(NoteKey::Date).toDateTime();
    return date.isValid() ? date : QDateTime::currentDateTimeUtc();
}

double FRNoteInfo::noteDateValueSort() const
{
    return noteNSDate().toMSecsSinceEpoch() / 1000.0;
}

QString FRNoteInfo::noteDate() const
{
    const QDateTime when = noteNSDate().toLocalTime();
    // The no-commas text takes the formatter lock itself; holding it here would deadlock.
    return DateFormatter(DateFormatter::MediumStyle, DateFormatter::ShortStyle).stringFromDateNoCommas(when);
}

FRNoteInfo::BodyData FRNoteInfo::noteBodyGetData(bool html) const
{
    QString body = rawNoteBody();
    const QString extension = suffixOf(uniqueFileName()).toLower();
    const bool render = !html || (extension != QLatin1String("html") && extension != QLatin1String("htm"));
    // Text without markup is its own text: rendered as HTML its lines would run together.
    const bool markup = body.contains(QLatin1Char('<')) || body.contains(QLatin1Char('&'));
    if (!render || !markup) {
        body.remove(NoteKey::HTMLMarker);
        return {false, body, {}};
    }

    std::shared_ptr<const BodyData> data;
    quint64 edits = 0;
    {
        std::lock_guard lock(mLock);
        data = mData;
        edits = mEdits;
    }
    if (!data) {
        body.remove(NoteKey::HTMLMarker);
        const auto converter = HTMLTextConverter::converter();
        auto made = std::make_shared<BodyData>();
        made->rich = true;
        made->text = converter->plainTextFromHTML(body);
        made->rtf = converter->rtfFromHTML(body);
        data = made;
        std::lock_guard lock(mLock);
        if (mEdits == edits && !mData)
            mData = data;
    }
    if (html && stringLooksLikeHTML(rawNoteBody()))
        return *data;
    return {false, data->text, {}};
}

QString FRNoteInfo::setFinalFileName(const QString &name)
{
    std::lock_guard lock(mLock);
    mInfo.insert(NoteKey::FinalFileName, name);
    return name;
}

void FRNoteInfo::setUniqueFileName(const QString &name)
{
    std::lock_guard lock(mLock);
    mInfo.insert(NoteKey::UniqueFileName, name);
}

void FRNoteInfo::makeUniqueFileName(const QList<FRNoteInfoPtr> &placed)
{
    const QString original = uniqueFileName();
    const QString suffix = suffixOf(original);
    const QString dotted = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const QString base = original.left(original.size() - dotted.size());
    QString name = original;
    int counter = 1;
    for (qsizetype i = 0; i < placed.size(); ++i) {
        const FRNoteInfoPtr &other = placed.at(i);
        if (!other || other.get() == this)
            continue;
        if (other->uniqueFileName().compare(name, Qt::CaseInsensitive) == 0) {
            name = QStringLiteral("%1-%2%3").arg(base).arg(counter++).arg(dotted);
            i = -1; // walk again from the first entry
        }
    }
    std::lock_guard lock(mLock);
    mInfo.insert(NoteKey::UniqueFileName, name);
}

void FRNoteInfo::saveNoteChanges(const QString &body, const QString &title)
{
    const QString kept = title.isEmpty() ? QStringLiteral("Untitled") : title;
    const QString fileName = fixFileName(kept, body);
    std::lock_guard lock(mLock);
    mInfo.insert(NoteKey::Body, body);
    mInfo.insert(NoteKey::Title, kept);
    mInfo.insert(NoteKey::UniqueFileName, fileName);
    mInfo.insert(NoteKey::Date, QDateTime::currentDateTimeUtc());
    mData.reset();
    mSearchBlob = QString();
    ++mEdits;
}

void FRNoteInfo::saveNoteId(qint64 id)
{
    std::lock_guard lock(mLock);
    mInfo.insert(NoteKey::NoteID, QString::number(id));
}

QString FRNoteInfo::searchBlob() const
{
    quint64 edits = 0;
    {
        std::lock_guard lock(mLock);
        if (!mSearchBlob.isNull())
            return mSearchBlob;
        edits = mEdits;
    }
    const QString blob = QStringLiteral("%1 %2").arg(noteTitle(), noteBodyText()).toLower().normalized(QString::NormalizationForm_KD);
    std::lock_guard lock(mLock);
    if (mEdits == edits)
        mSearchBlob = blob;
    return blob;
}

bool FRNoteInfo::matchesSearchFor(const QString &text) const
{
    const QString wanted = text.toLower().normalized(QString::NormalizationForm_KD);
    if (wanted.isEmpty())
        return false;
    return searchBlob().contains(wanted);
}
