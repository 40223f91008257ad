#pragma once
// The one naming rule of the flat work folder into which backup files are brought for
// extraction (the live sessions' temporary folder and the work folder of a backup on this
// computer alike):
//
// - A file keeps the last component of its relative path; an attachment under
//   "Library/SMS/Attachments/" or "Library/SMS/StickerCache/" is named "<parent>-iMessage-<name>"
//   from its last two components, since attachment names repeat across messages; a notes
//   attachment ("Media/<id>/<name>", "Previews/<name>" of the notes domain) is named
//   "<parent>-NoteAttachment-<name>" in the same way.
// - When two files to be placed would take the same name, every one of them gets a suffix
//   "-<first 8 hex digits of SHA-1 of its domain>" before its extension ("ChatStorage-1a2b3c4d
//   .sqlite"); files of one domain that still collide also get 8 digits of their file id.
//   The suffix depends only on the file, never on the order files come in.
// - A "-wal" or "-shm" file follows its database: "<database's name>-wal".
// - Paths whose last component is empty, "." or ".." (or holds a NUL) get no name at all.
//
// Extraction asks nameFor() with the domains it accepts, in preference order, to learn which
// file to open for a database. A plain value; build it on one thread, then share it freely.

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class WorkFolderNames
{
public:
    // The name before collisions; empty when the path gives no usable name.
    static QString baseName(const QString &relativePath);
    // The same, knowing the file's domain (notes attachments are told by theirs).
    static QString baseName(const QString &domain, const QString &relativePath);

    // Registers a file that will be placed. Call for every file before asking for names.
    void add(const QString &domain, const QString &relativePath);
    // The file's name in the work folder; empty when it was not added or has no usable name.
    QString nameFor(const QString &domain, const QString &relativePath) const;
    // The name of `relativePath` from the first of `domains` that was added; empty when none.
    QString nameFor(const QStringList &domains, const QString &relativePath) const;

private:
    struct File
    {
        QString domain;
        QString path;
    };
    void resolve() const;
    static QString key(const QString &domain, const QString &path) { return domain + QChar(0) + path; }

    QList<File> mFiles;
    mutable bool mResolved = false;
    mutable QHash<QString, QString> mNames; // key(domain, path) -> name
};
