#include "RegularFile.h"

#include <QFile>

#include <cerrno>
#include <vector>
#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RegularFile::RegularFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    mFd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (mFd >= 0) {
        if (::fstat(mFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(mFd);
            mFd = -1;
            return;
        }
    } else if (native.isEmpty() || ::stat(native.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return;
    }
    mIsFile = true;
    mSize = st.st_size;
}

RegularFile::~RegularFile()
{
    if (mFd >= 0)
        ::close(mFd);
}

std::optional<QByteArray> RegularFile::readAll()
{
    QByteArray data;
    if (!readInto(data))
        return std::nullopt;
    return data;
}

bool RegularFile::readInto(QByteArray &buffer)
{
    if (mFd < 0 || mSize < 0) {
        buffer.clear();
        return false;
    }
    if (buffer.isDetached() && buffer.capacity() >= mSize)
        buffer.resize(mSize);
    else
        buffer = QByteArray(mSize, Qt::Uninitialized);
    qint64 done = 0;
    while (done < mSize) {
        const ssize_t got = ::read(mFd, buffer.data() + done, size_t(mSize - done));
        if (got < 0) {
            if (errno == EINTR)
                continue;
            buffer.clear();
            return false;
        }
        if (got == 0)
            break;
        done += got;
    }
    buffer.truncate(done);
    return true;
}

void RegularFile::Descriptor::reset(int d)
{
    if (fd >= 0)
        ::close(fd);
    fd = d;
}

namespace {

int openRegular(const QString &path, int extraFlags)
{
    // O_NONBLOCK keeps the open itself from waiting for a writer of a pipe.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | extraFlags);
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

} // namespace

int RegularFile::openForReading(const QString &path)
{
    return openRegular(path, 0);
}

std::optional<QByteArray> RegularFile::readAll(const QString &path, qint64 maxBytes)
{
    Descriptor in(openRegular(path, O_NOFOLLOW));
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

bool RegularFile::copy(const QString &source, const QString &destination)
{
    Descriptor in(openRegular(source, O_NOFOLLOW));
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

