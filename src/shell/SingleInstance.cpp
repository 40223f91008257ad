#include "SingleInstance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
int gLockDescriptor = -1; // main thread only; kept open for the life of the process
}

SingleInstance::Result SingleInstance::acquire(const QString &folder, QString *error)
{
    if (gLockDescriptor >= 0)
        return Result::Acquired;
    QDir().mkpath(folder);
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(lockFileName()));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno)));
        return Result::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return Result::AlreadyRunning;
        if (error)
            *error = QStringLiteral("%1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(code)));
        return Result::Failed;
    }
    // The holder's process id, for a person looking at the folder.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0)
        (void)!::write(fd, pid.constData(), size_t(pid.size()));
    gLockDescriptor = fd;
    return Result::Acquired;
}

QString SingleInstance::alreadyRunningTitle()
{
    return QCoreApplication::translate("AppDelegate", "Quillon is Already Running");
}

QString SingleInstance::alreadyRunningText()
{
    return QCoreApplication::translate(
        "AppDelegate", "Another copy of Quillon is open. Please quit that before running this copy.");
}
