#pragma once
// The five export formats of messages and what every export shares: file names, the
// document text, the default folder, and putting a finished file in place.
//
// Any thread; no state.

#include "messages/FRSMSInfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace MessageExport {

// The "SMS_EXPORT_FORMAT2" codes.
enum Format { Text = 0, Tabbed = 1, XML = 2, PDF = 3, CSV = 4 };

QString extension(int format);
// "Messages.txt", or "Messages with <name>.pdf" (the name's first 150 characters), fit for a
// file. `format` -1 means the preference.
QString saveName(int format, const QString &person);
// The document of codes 0, 1, 2 and 4 as UTF-8 (empty for others).
QByteArray buildExportString(const QList<FRSMSInfoPtr> &rows, int format);
// "Messages From iPhone" in the documents folder, made when missing; empty when it cannot be.
QString exportFolder();
// Writes through `write` into a temporary file beside `path`; only when that succeeded the
// file already at `path` goes to the Trash and the new one takes its name. False with *error
// (nothing changed at `path`) otherwise.
bool putInPlace(const QString &path, const std::function<bool(const QString &temporary, QString *error)> &write,
                QString *error);
// Whether a double click may open the file: the export's documents, pictures, audio, video,
// PDF and text, never a program or script a sender attached.
bool isOpenable(const QString &path);

} // namespace MessageExport
