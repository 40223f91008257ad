#include "RegularFile.h"

#include <QFile>

#include <cerrno>

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
