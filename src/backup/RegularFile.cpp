#include "backup/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace RegularFile {

void Descriptor::reset(int d)
{
    if (fd >= 0)
        ::close(fd);
    fd = d;
}

int openForReading(const QString &path)
{
    // O_NONBLOCK keeps the open itself from waiting for a writer of a pipe.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::optional<QByteArray> readAll(const QString &path, qint64 maxBytes)
{
    Descriptor in(openForReading(path));
    if (in.fd < 0)
        return std::nullopt;
    struct stat info {};
    if (::fstat(in.fd, &info) != 0 || info.st_size > maxBytes)
        return std::nullopt;
    QByteArray data;
    data.resize(qsizetype(info.st_size));
    qsizetype total = 0;
    for (;;) {
        if (total == data.size()) {
            // The file may have grown since fstat: read on, within the bound.
            if (data.size() >= maxBytes + 1)
                return std::nullopt;
            data.resize(qsizetype(std::min<qint64>(maxBytes + 1, qint64(data.size()) + 65536)));
        }
        const ssize_t n = ::read(in.fd, data.data() + total, size_t(data.size() - total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += n;
    }
    if (total > maxBytes)
        return std::nullopt;
    data.truncate(total);
    return data;
}

bool copy(const QString &source, const QString &destination)
{
    Descriptor in(openForReading(source));
    if (in.fd < 0)
        return false;
    QByteArray temporary = QFile::encodeName(destination) + ".qnpartXXXXXX";
    Descriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.fd < 0)
        return false;
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n && ok;) {
            const ssize_t w = ::write(out.fd, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            ok = w > 0;
            done += std::max<ssize_t>(w, 0);
        }
        if (!ok)
            break;
    }
    const bool closed = ::close(out.fd) == 0;
    out.fd = -1;
    ok = ok && closed;
    ok = ok && ::rename(temporary.constData(), QFile::encodeName(destination).constData()) == 0;
    if (!ok)
        ::unlink(temporary.constData());
    return ok;
}

} // namespace RegularFile
