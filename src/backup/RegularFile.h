#pragma once
// Opening files of a backup for reading: regular files only. A backup folder is written by
// other programs (and a user may point Quillon at anything), so a named pipe, a device node
// or a folder can stand where a file is expected; opening such a thing the ordinary way
// blocks for good or reads without end. Any thread.

#include <QByteArray>
#include <QString>

#include <optional>

namespace RegularFile {

// A read-only descriptor of `path` when it is a regular file (symbolic links followed), else
// -1. Opened without blocking, checked with fstat, then switched back to blocking reads.
// The caller closes it.
int openForReading(const QString &path);

// The whole contents of the regular file `path`; nullopt when it is no regular file, cannot
// be read, or holds more than `maxBytes`.
std::optional<QByteArray> readAll(const QString &path, qint64 maxBytes);

// Copies the regular file `source` to `destination` through a temporary file beside it
// (mode 0600) that replaces it only when the whole copy was written.
bool copy(const QString &source, const QString &destination);

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

} // namespace RegularFile
