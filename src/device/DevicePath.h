#pragma once
// Device path helpers: device paths come from the user, the browser and the device itself,
// so they are joined and compared in one normal form ("/a/b": one leading "/", no doubled
// and no trailing "/", no "." or ".." components, the root is "/"). Pure functions; any
// thread.

#include <QString>

namespace DevicePath {

// Collapses repeated "/", resolves "." and ".." (never above the root), drops a trailing "/"
// (except for the root) and makes it absolute.
QString normalized(const QString &path);
// `folder` joined with `name` in normal form ("/Fernlow/" + "a" is "/Fernlow/a").
QString join(const QString &folder, const QString &name);
// The folder that holds `path` ("/" for an item at the root and for the root itself).
QString parent(const QString &path);
// The last component ("" for the root).
QString lastComponent(const QString &path);
// Whether `path` lies strictly inside `folder` (both normalised first).
bool isBelow(const QString &path, const QString &folder);
// Whether `path` (normalised, with a "/" appended) begins with `prefix`.
bool hasFolderPrefix(const QString &path, const QString &prefix);

} // namespace DevicePath
