#include "HelperAppAdditions.h"

#include "LaunchAtLoginController.h"
#include "VarnekLogger.h"
#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int kStopWaitMs = 3000;
const char *const kOldProductNames[] = {"Fernlow", "Pelmora"};

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(64 * 1024);
}

// Ended, or ended and not yet reaped by its parent (a zombie holds no lock).
bool processEnded(pid_t pid)
{
    const QByteArray stat = readSmallFile(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.isEmpty())
        return true;
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() && stat.at(close + 2) == 'Z';
}

uid_t realUidOf(pid_t pid, bool *ok)
{
    *ok = false;
    const QByteArray status = readSmallFile(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("\nUid:");
    if (at < 0)
        return 0;
    unsigned long uid = 0;
    *ok = std::sscanf(status.constData() + at + 5, "%lu", &uid) == 1;
    return uid_t(uid);
}

void removeOldProductFolders()
{
    for (const char *name : kOldProductNames)
        QDir(Paths::applicationSupportRoot() + QLatin1Char('/') + QLatin1String(name)).removeRecursively();
}

} // namespace

namespace HelperAppAdditions {

QString installedHelper()
{
    return LaunchAtLoginController::appURL().toLocalFile();
}

QString resourceHelper()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/QuillonHelper");
}

QList<pid_t> runningHelpers(const QString &program)
{
    // The kernel shows a process's program by its real path, with " (deleted)" once the file
    // was removed or renamed over.
    const QFileInfo info(program);
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString wanted = folder.isEmpty() ? info.absoluteFilePath() : folder + QLatin1Char('/') + info.fileName();
    QList<pid_t> pids;
    const uid_t me = getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = pid_t(entry.toInt(&number));
        if (!number || pid == getpid())
            continue;
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        if (exe != wanted && exe != wanted + QStringLiteral(" (deleted)"))
            continue;
        bool ok = false;
        if (realUidOf(pid, &ok) == me && ok && !processEnded(pid))
            pids << pid;
    }
    return pids;
}

void stopHelpers()
{
    const QList<pid_t> pids = runningHelpers(installedHelper());
    for (pid_t pid : pids) {
        if (::kill(pid, SIGTERM) != 0 && errno != ESRCH)
            VarnekLog("Quillon: can't stop the helper (process %d): %s", int(pid), strerror(errno));
    }
    QDeadlineTimer deadline(kStopWaitMs);
    for (pid_t pid : pids) {
        while (!processEnded(pid) && !deadline.hasExpired())
            QThread::msleep(5);
    }
}

QString firstLoginEntryFor(const QString &autostartFolder, const QString &programName)
{
    const QDir folder(autostartFolder);
    const QStringList names = folder.entryList({QStringLiteral("*.desktop")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString program = LaunchAtLoginController::programOfEntry(readSmallFile(folder.filePath(name)));
        if (!program.isEmpty() && QFileInfo(program).fileName() == programName)
            return folder.filePath(name);
    }
    return {};
}

void setupHelperApp(const QString &resourceCopy)
{
    const QString resource = resourceCopy.isEmpty() ? resourceHelper() : resourceCopy;
    stopHelpers();
    removeOldProductFolders();
    if (!QFileInfo(resource).isFile())
        return;
    const QString root = Paths::applicationSupportRoot();
    if (!QDir().mkpath(root)) {
        VarnekLog("Quillon:  Can't create directory for helper app (%s)", qUtf8Printable(root));
        return;
    }
    const QString folder = Paths::applicationSupport();
    if (!QDir().mkpath(folder)) {
        VarnekLog("Quillon: Can't create directory for helper app (%s)", qUtf8Printable(folder));
        return;
    }
    // Copied beside the installed helper and renamed over it: a copy that fails half-way
    // leaves the installed helper as it was.
    const QString installed = installedHelper();
    const QString fresh = folder + QStringLiteral("/.QuillonHelper.new");
    QFile::remove(fresh);
    const bool copied = QFile::copy(resource, fresh)
                        && QFile::setPermissions(fresh, QFile::permissions(fresh) | QFile::ExeOwner | QFile::ReadOwner)
                        && ::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(installed).constData()) == 0;
    if (!copied) {
        QFile::remove(fresh);
        VarnekLog("Quillon: Can't copy the helper app");
        return;
    }
    LaunchAtLoginController login;
    login.setLaunchAtLogin(true);
    // By its path with no shell; detached, in a session of its own, so it outlives Quillon.
    if (!QProcess::startDetached(installed, {}, Paths::home()))
        VarnekLog("Quillon: Can't start the helper app");
}

void unsetupHelperApp()
{
    stopHelpers();
    const QString autostart = Paths::autostartFolder();
    for (const char *name : {"QuillonHelper", "FernlowHelper", "PelmoraHelper"}) {
        const QString entry = firstLoginEntryFor(autostart, QLatin1String(name));
        if (!entry.isEmpty() && !QFile::remove(entry))
            VarnekLog("Quillon: Can't remove the login entry %s", qUtf8Printable(entry));
    }
    LaunchAtLoginController login;
    login.setLaunchAtLogin(false);
    QFile::remove(installedHelper());
    removeOldProductFolders();
}

} // namespace HelperAppAdditions
