#pragma once
// The archive rig plus what the extraction tests need: device databases made from SQL at a
// path, the connected device's temporary folder and a backup work folder, and the device's
// archive listed with its archive flag on.

#include "ArchiveRig.h"

#include <QString>

struct ExtractRig : ArchiveRig
{
    explicit ExtractRig(const QString &uid = QStringLiteral("uid-phone"));

    // The device's archive exists and is listed, so extraction writes into it.
    void makeArchive(const QString &uid = QStringLiteral("uid-phone"));
    // The connected device's files lie directly in the temporary folder.
    QString tempFile(const QString &name) const;
    // A backup's work folder (not the temporary folder).
    QString workFile(const QString &name) const;
    QString workFolder() const;
};

// Makes a database at `path` from a script (replacing any file there).
void makeDatabase(const QString &path, const QString &sql);
// A blob literal for SQL: X'...'.
QString blobLiteral(const QByteArray &bytes);
