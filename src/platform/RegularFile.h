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

private:
    int mFd = -1;
    bool mIsFile = false;
    qint64 mSize = 0;
};
