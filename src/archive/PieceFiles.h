#pragma once
// Putting piece files in place so that a crash never leaves a partial file under a final
// name: a copy is written beside the target under a hidden temporary name, flushed to disk,
// and renamed over the target; a move is a rename, or such a copy followed by removing the
// source when the two lie on different file systems.
//
// Any thread; no state.

#include <QString>

namespace PieceFiles {

// Copies `from` to `to` (replacing it). False, with the target untouched, on any failure.
bool copyIntoPlace(const QString &from, const QString &to, QString *error = nullptr);
// Moves `from` to `to` (replacing it). False, with both untouched, on any failure.
bool moveIntoPlace(const QString &from, const QString &to, QString *error = nullptr);
// Writes `data` to `to` the same way.
bool writeIntoPlace(const QByteArray &data, const QString &to, QString *error = nullptr);

// For many files at once: the same copy without flushing each file (a kill still never
// leaves a partial file under its final name; the temporary is noted for the next start).
// The caller makes them durable together with flushFileSystemOf before it relies on them.
bool copyIntoPlaceUnflushed(const QString &from, const QString &to, QString *error = nullptr);
// Flushes everything written to the file system that holds `path`.
bool flushFileSystemOf(const QString &path);

} // namespace PieceFiles
