// The wanted files of a backup on this computer, brought into a work folder of their own for
// extraction: databases copied (or decrypted) together with their "-wal" journals, so SQLite
// sees every row and never writes beside the user's backup; attachment pieces linked, or for
// an encrypted backup only their keys recorded, so thousands of them cost nothing up front.

#include "device/AppController.h"

#include "backup/DeviceBackup.h"
#include "backup/PiecePredicates.h"
#include "platform/RegularFile.h"
#include "backup/WantedFiles.h"
#include "backup/WorkFolderNames.h"
#include "shell/VarnekLogger.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

QString fileKey(const QString &domain, const QString &path)
{
    return domain + QChar(0) + path;
}

const QString kVoicemailDatabase = QStringLiteral("Library/Voicemail/voicemail.db");
const QString kSMSDatabase = QStringLiteral("Library/SMS/sms.db");

bool isVoicemailAudio(const QString &path)
{
    return path.startsWith(QLatin1String("Library/Voicemail/")) && path.endsWith(QLatin1String(".amr"));
}

// The entry's place in the backup folder, from its identifier only: a location that says
// anything else never becomes a path.
QString checkedLocation(const ManifestEntry &entry)
{
    if (!BackupManifest::isValidFileID(entry.hash))
        return {};
    if (entry.location == entry.hash || entry.location == BackupManifest::locationForFileID(entry.hash))
        return entry.location;
    return {};
}

} // namespace

WorkFolderNames AppController::grab(DeviceBackup &backup, const ManifestFiles &withManifest, const QString &from,
                                    const QString &andPutThemIn, const QList<WantedFile> &get)
{
    WorkFolderNames names;
    if (backup.encrypted() && !backup.hasUnlockedKeybag()) {
        VarnekLog("grab: backup is encrypted and locked");
        return names;
    }
    if (withManifest.isEmpty())
        return names;

    QSet<QString> wanted;
    QString voicemailDomain;
    bool wantSMSPieces = false, wantWhatsAppPieces = false;
    for (const WantedFile &w : get) {
        wanted.insert(fileKey(w.domain, w.relativePath));
        if (w.relativePath == kVoicemailDatabase)
            voicemailDomain = w.domain;
        if (w.relativePath == kSMSDatabase)
            wantSMSPieces = true;
        if (w.relativePath == QLatin1String("Documents/ChatStorage.sqlite")
            || w.relativePath == QLatin1String("ChatStorage.sqlite"))
            wantWhatsAppPieces = true;
    }

    struct Taken
    {
        const ManifestEntry *entry;
        QString location;
        bool link;    // a plain backup links it instead of copying
        bool keyOnly; // an encrypted backup records its key instead of decrypting
    };
    QList<Taken> taken;
    for (const ManifestEntry &entry : withManifest) {
        const QString path = entry.path();
        const QString &domain = entry.domain;
        const bool database = wanted.contains(fileKey(domain, path))
                              || (path.endsWith(QLatin1String("-wal"))
                                  && wanted.contains(fileKey(domain, path.chopped(4))));
        const bool voicemail = !voicemailDomain.isEmpty() && domain == voicemailDomain && isVoicemailAudio(path);
        const bool smsPiece = wantSMSPieces && isSMSPiece(path);
        const bool whatsAppPiece =
            wantWhatsAppPieces && (isWhatsAppPiece(path, domain) || isWhatsAppProfilePhoto(path, domain));
        if (!database && !voicemail && !smsPiece && !whatsAppPiece)
            continue;
        if (path.startsWith(QLatin1String("Library/SMS")) && !domain.startsWith(QLatin1String("Home"))
            && !domain.startsWith(QLatin1String("Media"))) {
            VarnekLog("   skipping bogus: %s in %s", qUtf8Printable(path), qUtf8Printable(domain));
            continue;
        }
        const QString location = checkedLocation(entry);
        if (location.isEmpty()) {
            VarnekLog("grab: skipping an entry with an invalid file id");
            continue;
        }
        const bool piece = !database && isSomePiece(path, domain);
        taken.append({&entry, location, piece || (!database && voicemail), piece && entry.normalfile});
        names.add(domain, path);
    }

    const bool encrypted = backup.encrypted();
    for (const Taken &t : taken) {
        const ManifestEntry &entry = *t.entry;
        const QString name = names.nameFor(entry.domain, entry.path());
        if (name.isEmpty())
            continue;
        const QString source = from + QLatin1Char('/') + t.location;
        const QString destination = andPutThemIn + QLatin1Char('/') + name;
        // A link in the backup folder may lead to any file the user can read: only the
        // backup's own regular files are taken, copied, linked or decrypted.
        const QFileInfo sourceInfo(source);
        if (sourceInfo.isSymLink() || !sourceInfo.isFile()) {
            if (sourceInfo.isSymLink())
                VarnekLog("grab: %s is a link, not taken", qUtf8Printable(name));
            continue;
        }
        if (encrypted) {
            if (t.keyOnly) {
                backup.addKey(entry.perfilekey, quint32(entry.protectionclass), name);
            } else if (entry.perfilekey.isEmpty()) {
                VarnekLog("grab: no key for %s", qUtf8Printable(name));
                continue;
            } else {
                if (!backup.decryptFile(source, destination, entry.perfilekey, quint32(entry.protectionclass)))
                    VarnekLog("grab: could not decrypt %s", qUtf8Printable(name));
                continue;
            }
        }
        if (t.link) {
            // Large attachments are linked, never copied; an existing link is left as it is.
            if (!QFileInfo(destination).isSymLink())
                QFile::link(source, destination);
        } else if (!RegularFile::copy(source, destination)) {
            VarnekLog("grab: could not copy %s", qUtf8Printable(name));
        }
    }
    return names;
}
