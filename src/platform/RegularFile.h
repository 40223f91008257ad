#pragma once
// A file opened for reading only when it is a regular file (links followed), with one open
// and one status call: a pipe or device node in a file's place is refused without ever
// waiting on it, and what is read is the file that was looked at, not one swapped in
// between a check and an open.
//
// Ownership: holds the descriptor and closes it. Any thread; one object per thread.

#include <QByteArray>
#include <QString>

#include <optional>

class RegularFile
{
public:
    explicit RegularFile(const QString &path);
    ~RegularFile();
    RegularFile(const RegularFile &) = delete;
    RegularFile &operator=(const RegularFile &) = delete;

    // Whether a regular file is there. A file that cannot be opened (no permission) is still
    // one, with its size known, but cannot be read.
    bool isFile() const { return mIsFile; }
    bool readable() const { return mFd >= 0; }
    qint64 size() const { return mSize; }
    // The whole file as its status gave its size (less when it shrank meanwhile); nothing when
    // it cannot be read.
    std::optional<QByteArray> readAll();
    // The same into `buffer`, reusing its memory when no other copy shares it and it is
    // large enough. False, with `buffer` emptied, when the file cannot be read.
    bool readInto(QByteArray &buffer);

    // The same checks for callers that keep a bare descriptor: a read-only descriptor of `path`
    // when it is a regular file (symbolic links followed), else -1. Opened without blocking,
    // checked with fstat, then switched back to blocking reads. The caller closes it.
    static int openForReading(const QString &path);

    // The whole contents of the regular file `path`; nullopt when it is no regular file (a
    // symbolic link included: a link in a backup folder may lead to any file the user can
    // read), cannot be read, or holds more than `maxBytes`.
    static std::optional<QByteArray> readAll(const QString &path, qint64 maxBytes);

    // Copies the regular file `source` (never through a link) to `destination` through a
    // temporary file beside it (mode 0600) that replaces it only when the whole copy was written.
    static bool copy(const QString &source, const QString &destination);

    // Closes a descriptor on every path out.
    struct Descriptor
    {
        int fd = -1;
        explicit Descriptor(int d = -1) : fd(d) {}
        ~Descriptor() { reset(); }
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
        void reset(int d = -1);
    };

private:
    int mFd = -1;
    bool mIsFile = false;
    qint64 mSize = 0;
};
