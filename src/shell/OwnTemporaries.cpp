#include "OwnTemporaries.h"

#include "VarnekLogger.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::mutex gJournalLock;
// All guarded by gJournalLock.
int gInProgress = 0;
// The journal stays open between notes: a busy stretch (an archive merge copies thousands of
// pieces) would otherwise pay an open and a close for every file.
int gJournalFd = -1;
QByteArray gJournalFile;
dev_t gJournalDevice = 0;
ino_t gJournalInode = 0;
qint64 gJournalBytes = 0;

void closeJournal()
{
    if (gJournalFd >= 0)
        ::close(gJournalFd);
    gJournalFd = -1;
    gJournalFile.clear();
}

// The journal of the current data folder, opened once. Its path is checked every time: the
// folder can change (tests) or be removed, and a note written to a removed journal would be
// lost to the next start.
int journalFd()
{
    const QByteArray path = QFile::encodeName(OwnTemporaries::journalPath());
    struct stat there {};
    if (gJournalFd >= 0 && path == gJournalFile && ::stat(path.constData(), &there) == 0
        && there.st_dev == gJournalDevice && there.st_ino == gJournalInode)
        return gJournalFd;
    closeJournal();
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.constData(), flags, 0600);
    if (fd < 0 && errno == ENOENT) {
        QDir().mkpath(Paths::applicationSupport());
        fd = ::open(path.constData(), flags, 0600);
    }
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    gJournalFd = fd;
    gJournalFile = path;
    gJournalDevice = info.st_dev;
    gJournalInode = info.st_ino;
    gJournalBytes = info.st_size;
    return fd;
}

// One line per temporary: its path in base64, so no byte of a name can split a line.
bool appendLine(const QByteArray &line)
{
    const int fd = journalFd();
    if (fd < 0)
        return false;
    const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
    if (written > 0)
        gJournalBytes += written;
    return written == line.size();
}

void emptyJournal()
{
    ::truncate(QFile::encodeName(OwnTemporaries::journalPath()).constData(), 0);
    gJournalBytes = 0;
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

// The per-run work folders (getTempDir: "org.quillon.Quillon_<seconds>_<pid>") whose run is
// gone, in the system's temporary folder and in the chosen temporary location.
int removeStaleWorkFolders()
{
    static const QRegularExpression name(QStringLiteral("^org\\.quillon\\.Quillon_\\d+\\.\\d+_(\\d+)(-\\d+)?$"));
    QStringList parents{Paths::temporaryRoot().isEmpty() ? QStringLiteral("/tmp") : Paths::temporaryRoot()};
    const QString chosen = UserDefaults::standard().stringForKey(QStringLiteral("TEMP_LOCATION"));
    if (!chosen.isEmpty() && QDir::isAbsolutePath(Paths::resolveUserPath(chosen)))
        parents << QDir::cleanPath(Paths::resolveUserPath(chosen));
    parents.removeDuplicates();
    int removed = 0;
    for (const QString &parent : std::as_const(parents)) {
        const QDir dir(parent);
        for (const QString &entry :
             dir.entryList({QStringLiteral("org.quillon.Quillon_*")}, QDir::AllEntries | QDir::Hidden | QDir::System)) {
            const auto match = name.match(entry);
            if (!match.hasMatch() || processIsAlive(match.captured(1).toLongLong()))
                continue;
            const QString path = dir.filePath(entry);
            struct stat status {};
            if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode)
                || status.st_uid != ::getuid())
                continue;
            if (QDir(path).removeRecursively()) {
                VarnekLog("Removed the work folder of an earlier run: %s", qUtf8Printable(path));
                ++removed;
            } else {
                VarnekLog("Could not remove the work folder of an earlier run: %s", qUtf8Printable(path));
            }
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
    if (!appendLine(QFile::encodeName(path).toBase64() + '\n'))
        VarnekLog("OwnTemporaries: cannot note %s", qUtf8Printable(path));
}

void end(const QString &path)
{
    Q_UNUSED(path);
    std::lock_guard lock(gJournalLock);
    // Lines of finished temporaries are harmless (their files are gone), so the journal is only
    // emptied once it has grown and nothing of ours is half written: emptying it after every
    // file costs a block release each time, which on a disk that discards freed blocks
    // dominated copying thousands of small files.
    if (gInProgress > 0 && --gInProgress == 0 && gJournalBytes >= kJournalLimit)
        emptyJournal();
}

int removeStale()
{
    std::lock_guard lock(gJournalLock);
    int removed = removeStaleKeychainTemporaries() + removeStaleWorkFolders();
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
    emptyJournal();
    return removed;
}

} // namespace OwnTemporaries
