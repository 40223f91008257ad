#pragma once
// Extended attributes of files, in the "user." namespace ("user." is put in front of a
// name that does not start with it, so "com.quillon.x" is "user.com.quillon.x"). They stand in for the host's per-file flags. Any thread.
//
// Each call fails with an error text when the file system has no extended attributes
// (some temporary file systems), the file is missing, or the attribute is absent.

#include <QByteArray>
#include <QString>

#include <optional>

namespace ExtendedAttributes {

std::optional<QByteArray> get(const QString &path, const QString &name, QString *error = nullptr);
bool set(const QString &path, const QString &name, const QByteArray &value, QString *error = nullptr);
bool remove(const QString &path, const QString &name, QString *error = nullptr);

} // namespace ExtendedAttributes
