#include "OwnTemporaries.h"

#include "VarnekLogger.h"
#include "platform/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

std::mutex gJournalLock;
int gInProgress = 0; // guarded by gJournalLock

// One line per temporary: its path in base64, so no byte of a name can split a line.
bool appendLine(const QByteArray &line)
{
    const QByteArray path = QFile::encodeName(OwnTemporaries::journalPath());
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    ::close(fd);
    return written == line.size();
}

bool processIsAlive(qint64 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// The keychain file store's temporaries whose writer is gone.
int removeStaleKeychainTemporaries()
{
    static const QRegularExpression name(QStringLiteral("^items\\.json\\.tmp-(\\d+)$"));
    const QDir folder(Paths::applicationSupport() + QStringLiteral("/keychain"));
    int removed = 0;
    for (const QString &entry : folder.entryList({QStringLiteral("items.json.tmp-*")}, QDir::Files | QDir::Hidden | QDir::System)) {
        const auto match = name.match(entry);
        if (!match.hasMatch() || processIsAlive(match.captured(1).toLongLong()))
            continue;
        if (QFile::remove(folder.filePath(entry))) {
            VarnekLog("Removed a keychain temporary left by an earlier run: %s", qUtf8Printable(entry));
            ++removed;
        }
    }
    return removed;
}

} // namespace

namespace OwnTemporaries {

QString journalPath()
{
    return Paths::applicationSupport() + QStringLiteral("/pending-temporaries");
}

bool isOurTemporaryName(const QString &fileName)
{
    return fileName.startsWith(QLatin1String(".quillon-download-")) || fileName.contains(QLatin1String(".qnpart"));
}

void begin(const QString &path)
{
    std::lock_guard lock(gJournalLock);
    ++gInProgress;
    QDir().mkpath(Paths::applicationSupport());
    if (!appendLine(QFile::encodeName(path).toBase64() + '\n'))
        VarnekLog("OwnTemporaries: cannot note %s", qUtf8Printable(path));
}

void end(const QString &path)
{
    Q_UNUSED(path);
    std::lock_guard lock(gJournalLock);
    // Nothing of ours is half written now: the journal starts again empty, so it never grows
    // beyond the temporaries of one busy stretch.
    if (gInProgress > 0 && --gInProgress == 0)
        ::truncate(QFile::encodeName(journalPath()).constData(), 0);
}

int removeStale()
{
    std::lock_guard lock(gJournalLock);
    int removed = removeStaleKeychainTemporaries();
    QFile journal(journalPath());
    if (!journal.exists() || gInProgress > 0)
        return removed;
    if (journal.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = journal.readAll().split('\n');
        journal.close();
        for (const QByteArray &line : lines) {
            if (line.isEmpty())
                continue;
            const QString path = QFile::decodeName(QByteArray::fromBase64(line));
            const QFileInfo info(path);
            // A forged or stale line never removes anything but a file of ours.
            if (!info.isAbsolute() || !isOurTemporaryName(info.fileName()) || !info.isFile() || info.isSymLink())
                continue;
            if (QFile::remove(path)) {
                VarnekLog("Removed a temporary file left by an earlier run: %s", qUtf8Printable(path));
                ++removed;
            }
        }
    }
    ::truncate(QFile::encodeName(journalPath()).constData(), 0);
    return removed;
}

} // namespace OwnTemporaries
