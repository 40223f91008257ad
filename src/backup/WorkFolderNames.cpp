#include "backup/WorkFolderNames.h"

#include "backup/BackupCrypto.h"
#include "backup/PiecePredicates.h"

#include <QSet>

namespace {

const QString kWal = QStringLiteral("-wal");
const QString kShm = QStringLiteral("-shm");

// "-<8 hex digits>" inserted before the extension of `name` (after the whole name when it
// has none, or when the dot is its first character).
QString withSuffix(const QString &name, const QString &suffix)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return name + suffix;
    return name.left(dot) + suffix + name.mid(dot);
}

QString journalSuffix(const QString &path)
{
    if (path.endsWith(kWal))
        return kWal;
    if (path.endsWith(kShm))
        return kShm;
    return {};
}

} // namespace

QString WorkFolderNames::baseName(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    const QString last = parts.last();
    if (last.isEmpty() || last == QLatin1String(".") || last == QLatin1String("..") || last.contains(QChar(0)))
        return {};
    if ((path.startsWith(QLatin1String("Library/SMS/Attachments/"))
         || path.startsWith(QLatin1String("Library/SMS/StickerCache/")))
        && parts.size() > 1) {
        const QString parent = parts.at(parts.size() - 2);
        if (parent.isEmpty() || parent == QLatin1String(".") || parent == QLatin1String("..")
            || parent.contains(QChar(0)))
            return last;
        return parent + QStringLiteral("-iMessage-") + last;
    }
    return last;
}

QString WorkFolderNames::baseName(const QString &domain, const QString &path)
{
    const QString last = baseName(path);
    if (last.isEmpty() || !isNotesAttachment(path, domain))
        return last;
    const QStringList parts = path.split(QLatin1Char('/'));
    const QString parent = parts.size() > 1 ? parts.at(parts.size() - 2) : QString();
    if (parent.isEmpty() || parent == QLatin1String(".") || parent == QLatin1String("..") || parent.contains(QChar(0)))
        return last;
    return parent + QStringLiteral("-NoteAttachment-") + last;
}

void WorkFolderNames::add(const QString &domain, const QString &relativePath)
{
    mFiles.append({domain, relativePath});
    mResolved = false;
}

void WorkFolderNames::resolve() const
{
    if (mResolved)
        return;
    mNames.clear();
    QSet<QString> added;
    for (const File &f : mFiles)
        added.insert(key(f.domain, f.path));
    auto followsDatabase = [&](const File &f) {
        const QString suffix = journalSuffix(f.path);
        return !suffix.isEmpty() && added.contains(key(f.domain, f.path.chopped(suffix.size())));
    };

    // Databases and other files first: who takes which base name.
    QHash<QString, QList<const File *>> byName;
    QSet<QString> seen;
    for (const File &f : mFiles) {
        if (followsDatabase(f) || seen.contains(key(f.domain, f.path)))
            continue;
        seen.insert(key(f.domain, f.path));
        const QString base = baseName(f.domain, f.path);
        if (!base.isEmpty())
            byName[base].append(&f);
    }
    for (auto it = byName.cbegin(); it != byName.cend(); ++it) {
        const QList<const File *> &files = it.value();
        if (files.size() == 1) {
            mNames.insert(key(files[0]->domain, files[0]->path), it.key());
            continue;
        }
        QHash<QString, int> perDomain;
        for (const File *f : files)
            ++perDomain[f->domain];
        for (const File *f : files) {
            QString suffix = QLatin1Char('-') + SHA1String(f->domain).left(8);
            if (perDomain.value(f->domain) > 1)
                suffix += QLatin1Char('-') + SHA1String(f->domain + QLatin1Char('-') + f->path).left(8);
            mNames.insert(key(f->domain, f->path), withSuffix(it.key(), suffix));
        }
    }
    // Then the journals, after their databases. A plain file that happens to carry a
    // journal's name steps aside with a suffix of its file id.
    QSet<QString> journals;
    for (const File &f : mFiles) {
        if (!followsDatabase(f))
            continue;
        const QString suffix = journalSuffix(f.path);
        const QString database = mNames.value(key(f.domain, f.path.chopped(suffix.size())));
        if (!database.isEmpty()) {
            mNames.insert(key(f.domain, f.path), database + suffix);
            journals.insert(database + suffix);
        }
    }
    for (const File &f : mFiles) {
        const QString k = key(f.domain, f.path);
        if (followsDatabase(f) || !journals.contains(mNames.value(k)))
            continue;
        mNames.insert(k, withSuffix(mNames.value(k),
                                    QLatin1Char('-') + SHA1String(f.domain + QLatin1Char('-') + f.path).left(8)));
    }
    mResolved = true;
}

QString WorkFolderNames::nameFor(const QString &domain, const QString &relativePath) const
{
    resolve();
    return mNames.value(key(domain, relativePath));
}

QString WorkFolderNames::nameFor(const QStringList &domains, const QString &relativePath) const
{
    for (const QString &domain : domains) {
        const QString name = nameFor(domain, relativePath);
        if (!name.isEmpty())
            return name;
    }
    return {};
}
