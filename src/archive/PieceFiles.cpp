#include "archive/PieceFiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "shell/OwnTemporaries.h"

#include <QRandomGenerator>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace PieceFiles {

namespace {

constexpr qint64 kChunk = 1 << 20;

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

bool copyIntoPlace(const QString &from, const QString &to, QString *error)
{
    QFile source(from);
    if (!QFileInfo(from).isFile() || !source.open(QIODevice::ReadOnly))
        return fail(error, QStringLiteral("cannot read %1").arg(from));
    // QSaveFile writes beside the target, flushes and renames only on commit.
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly))
        return fail(error, target.errorString());
    QByteArray buffer;
    while (!source.atEnd()) {
        buffer = source.read(kChunk);
        if (buffer.isEmpty() && source.error() != QFileDevice::NoError) {
            target.cancelWriting();
            return fail(error, source.errorString());
        }
        if (target.write(buffer) != buffer.size()) {
            target.cancelWriting();
            return fail(error, target.errorString());
        }
    }
    if (!target.commit())
        return fail(error, target.errorString());
    return true;
}

bool moveIntoPlace(const QString &from, const QString &to, QString *error)
{
    if (!QFileInfo(from).isFile())
        return fail(error, QStringLiteral("no file at %1").arg(from));
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return fail(error, QString::fromLocal8Bit(std::strerror(errno)));
    if (!copyIntoPlace(from, to, error))
        return false;
    QFile::remove(from);
    return true;
}

bool writeIntoPlace(const QByteArray &data, const QString &to, QString *error)
{
    QSaveFile target(to);
    if (!target.open(QIODevice::WriteOnly) || target.write(data) != data.size()) {
        target.cancelWriting();
        return fail(error, target.errorString());
    }
    if (!target.commit())
        return fail(error, target.errorString());
    return true;
}

namespace {

struct Fd
{
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Copies the whole of `in` to `out`: in the kernel where it can, else through a buffer.
bool copyDescriptor(int in, int out)
{
    for (;;) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t(1) << 30, 0);
        if (n == 0)
            return true;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer + done, size_t(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += w;
        }
    }
}

} // namespace

bool copyIntoPlaceUnflushed(const QString &from, const QString &to, QString *error)
{
    Fd in;
    in.fd = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat info {};
    if (in.fd < 0 || ::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode))
        return fail(error, QStringLiteral("cannot read %1").arg(from));
    const QFileInfo target(to);
    const QString temporary = target.absolutePath() + QStringLiteral("/.%1.qnpart%2")
                                                          .arg(target.fileName())
                                                          .arg(QRandomGenerator::global()->generate(), 8, 16,
                                                               QLatin1Char('0'));
    const QByteArray temporaryName = QFile::encodeName(temporary);
    OwnTemporaries::Noted noted(temporary);
    Fd out;
    out.fd = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out.fd < 0)
        return fail(error, QString::fromLocal8Bit(std::strerror(errno)));
    if (!copyDescriptor(in.fd, out.fd) || ::close(std::exchange(out.fd, -1)) != 0
        || std::rename(temporaryName.constData(), QFile::encodeName(to).constData()) != 0) {
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        ::unlink(temporaryName.constData());
        return fail(error, why);
    }
    return true;
}

bool flushFileSystemOf(const QString &path)
{
    Fd fd;
    fd.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    return fd.fd >= 0 && ::syncfs(fd.fd) == 0;
}

} // namespace PieceFiles
