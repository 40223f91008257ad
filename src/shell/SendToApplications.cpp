#include "SendToApplications.h"

#include "Defaults.h"
#include "DesktopLauncher.h"
#include "VarnekLogger.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSysInfo>
#include <QUuid>

#include <memory>

namespace {

// A header value on one line: a line break would start headers of its own.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text;
}

// A file name from a note title: no folders, no hidden or empty names.
QString fileNameFor(const QString &title)
{
    QString name = oneLine(title).trimmed();
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.remove(QChar(0));
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    if (name.isEmpty())
        name = QStringLiteral("Note");
    return name.left(200);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

QByteArray base64Lines(const QByteArray &data)
{
    const QByteArray encoded = data.toBase64();
    QByteArray lines;
    for (qsizetype at = 0; at < encoded.size(); at += 76)
        lines += encoded.mid(at, 76) + '\n';
    return lines;
}

bool insideFolder(const QString &path, const QString &folder)
{
    if (folder.isEmpty())
        return false;
    const QString root = QFileInfo(folder).canonicalFilePath();
    const QString file = QFileInfo(path).canonicalFilePath();
    return !root.isEmpty() && file.startsWith(root + QLatin1Char('/'));
}

bool sameContents(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (first.size() != second.size() || !first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly))
        return false;
    while (!first.atEnd()) {
        if (first.read(1 << 16) != second.read(1 << 16))
            return false;
    }
    return true;
}

// The copy of a temporary file beside the playlist: one made by an earlier send of the same
// file, else a new one.
QString copyBeside(const QString &path, const QString &folder)
{
    const QString earlier = QDir(folder).filePath(QFileInfo(path).fileName());
    if (QFileInfo(earlier).isFile() && sameContents(path, earlier))
        return earlier;
    const QString copy = SendToApplications::uniquePathIn(folder, QFileInfo(path).fileName());
    return QFile::copy(path, copy) ? copy : QString();
}

} // namespace

namespace SendToApplications {

QString newUUID()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

void tigerSendToMail(const QList<SendToNote> &notes)
{
    for (const SendToNote &note : notes)
        DesktopLauncher::launch(QStringLiteral("xdg-email"),
                                {QStringLiteral("--subject"), oneLine(note.title), QStringLiteral("--body"), note.bodyText});
}

QByteArray mailboxText(const QList<SendToNote> &notes, const QString &hostName)
{
    QByteArray text;
    for (const SendToNote &note : notes) {
        text += "From iPhone\n";
        text += "X-Uniform-Type-Identifier: com.apple.mail-note\n";
        text += "Message-Id: <" + newUUID().toUtf8() + "@" + oneLine(hostName).toUtf8() + ">\n";
        text += "Content-Transfer-Encoding: base64\n";
        text += "X-Universally-Unique-Identifier: " + newUUID().toUtf8() + "\n";
        text += "Subject: " + oneLine(note.title).toUtf8() + "\n";
        // Mail programs read the date as mail dates are written.
        text += "Date: " + note.date.toString(Qt::RFC2822Date).toUtf8() + "\n";
        text += "\n";
        text += base64Lines(note.bodyText.toUtf8());
        text += "\n\n";
    }
    return text;
}

bool sendToMail(const QList<SendToNote> &notes)
{
    const QString folder = getTempDir() + QStringLiteral("/iNotes.mbox");
    const QString mailbox = folder + QStringLiteral("/mbox");
    if (!QDir().mkpath(folder) || !writeFile(mailbox, mailboxText(notes, QSysInfo::machineHostName()))) {
        VarnekLog("Quillon: can't write the notes mailbox %s", qUtf8Printable(mailbox));
        return false;
    }
    // The mail program reads it after the opener returns: it stays until the temporary
    // folder goes at quit, and the next send writes it anew.
    DesktopLauncher::open(mailbox);
    return true;
}

bool sendToTextEdit(const QList<SendToNote> &notes)
{
    const QString folder = getTempDir() + QStringLiteral("/Notes");
    if (!QDir().mkpath(folder))
        return false;
    for (const SendToNote &note : notes) {
        const QString path = uniquePathIn(folder, fileNameFor(note.title) + QStringLiteral(".txt"));
        if (!writeFile(path, note.bodyText.toUtf8())) {
            VarnekLog("Quillon: can't write the note %s", qUtf8Printable(path));
            return false;
        }
        DesktopLauncher::open(path);
    }
    return true;
}

QString albumFolder(const QString &picturesFolder, const QString &deviceClass)
{
    return picturesFolder + QLatin1Char('/') + fileNameFor(deviceClass) + QStringLiteral(" Photos");
}

bool sendToPhotos(const QStringList &paths, const QString &album)
{
    if (!QFileInfo(album).isDir() && !QDir().mkpath(album)) {
        VarnekLog("Quillon: can't create the album %s", qUtf8Printable(album));
        return false;
    }
    for (const QString &path : paths) {
        const QString target = uniquePathIn(album, QFileInfo(path).fileName());
        if (!QFile::copy(path, target)) {
            VarnekLog("Quillon: can't copy %s into the album", qUtf8Printable(path));
            return false;
        }
    }
    DesktopLauncher::open(album);
    return true;
}

QString playlistName(bool voiceMemos, bool voicemail, const QString &deviceClass)
{
    if (voiceMemos)
        return QStringLiteral("Voice Memos");
    if (voicemail)
        return QStringLiteral("Voicemails");
    return QStringLiteral("From ") + deviceClass;
}

int sendToiTunes(const QStringList &paths, const QString &musicFolder, const QString &name,
                 const QString &temporaryFolder, std::function<void(bool)> done)
{
    const QString playlist = musicFolder + QLatin1Char('/') + fileNameFor(name) + QStringLiteral(".m3u");
    if (!QDir().mkpath(musicFolder))
        return -36;
    QStringList entries;
    QFile existing(playlist);
    if (existing.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : existing.readAll().split('\n')) {
            const QString entry = QString::fromUtf8(line).trimmed();
            if (!entry.isEmpty() && !entry.startsWith(QLatin1Char('#')))
                entries << entry;
        }
    }
    QStringList temporaries;
    for (const QString &path : paths) {
        // One path per line: a name with a line break cannot be listed.
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'))) {
            VarnekLog("Quillon: can't list %s in a playlist", qUtf8Printable(oneLine(path)));
            continue;
        }
        QString listed = QFileInfo(path).absoluteFilePath();
        if (insideFolder(path, temporaryFolder)) {
            listed = copyBeside(path, musicFolder);
            if (listed.isEmpty())
                return -36;
            temporaries << path;
        }
        if (!entries.contains(listed))
            entries << listed;
    }
    QByteArray text = "#EXTM3U\n";
    for (const QString &entry : entries)
        text += entry.toUtf8() + '\n';
    if (!writeFile(playlist, text))
        return -36;
    DesktopLauncher::open(playlist, [temporaries, done = std::move(done)](bool launched) {
        if (launched) {
            for (const QString &path : temporaries)
                QFile::remove(path);
        }
        if (done)
            done(launched);
    });
    return 0;
}

QString uniquePathIn(const QString &folder, const QString &fileName)
{
    const QDir dir(folder);
    QString candidate = dir.filePath(fileName);
    if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
        return candidate;
    const QFileInfo info(fileName);
    const QString base = info.completeBaseName().isEmpty() ? fileName : info.completeBaseName();
    const QString suffix = info.completeBaseName().isEmpty() || info.suffix().isEmpty()
                               ? QString()
                               : QStringLiteral(".") + info.suffix();
    for (int n = 1;; ++n) {
        candidate = dir.filePath(QStringLiteral("%1-%2%3").arg(base).arg(n).arg(suffix));
        if (!QFileInfo::exists(candidate) && !QFileInfo(candidate).isSymLink())
            return candidate;
    }
}

} // namespace SendToApplications
