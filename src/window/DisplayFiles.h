#pragma once
// The files a shown message or note refers to: attachments are written into the per-run
// temporary folder under their own name, and the HTML is loaded with that folder as its base,
// so the names in the HTML find them.
//
// Attachment names come from the device: only the last path component is used, and ".",
// ".." and empty names are refused, so nothing is ever written outside the folder. Files are
// written beside their final name and moved into place. Any thread.

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace DisplayFiles {

// The last component of a device-supplied name, or empty when it is not usable.
QString safeAttachmentName(const QString &name);
// Writes `data` as `name` into `folder`; false (logged) for a refused name or a failed write.
bool writeAttachment(const QString &folder, const QString &name, const QByteArray &data);
// A file URL of `folder` ending in "/", so relative names resolve inside it whatever the
// folder's name holds (spaces, "#", "%").
QUrl baseURLForFolder(const QString &folder);

} // namespace DisplayFiles
