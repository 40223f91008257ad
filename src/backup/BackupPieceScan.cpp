#include "backup/BackupPieceScan.h"

#include "backup/BackupManifest.h"
#include "backup/PiecePredicates.h"
#include "platform/RegularFile.h"
#include "interfaces/FRWindowHub.h"
#include "platform/PropertyList.h"
#include "shell/VarnekLogger.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace BackupPieceScan {

namespace {

bool isVoicemailAudio(const QString &path)
{
    return path.startsWith(QLatin1String("Library/Voicemail/")) && path.endsWith(QLatin1String(".amr"))
           && !path.endsWith(QLatin1String("Greeting.amr"));
}

// The bytes of `path` in [offset, offset + length), as far as the file has them; empty for
// anything but a regular file.
QByteArray readWindow(const QString &path, qint64 offset, qint64 length)
{
    RegularFile::Descriptor in(RegularFile::openForReading(path));
    if (in.fd < 0)
        return {};
    QByteArray window(qsizetype(length), Qt::Uninitialized);
    qint64 total = 0;
    while (total < length) {
        const ssize_t n = ::pread(in.fd, window.data() + total, size_t(length - total), off_t(offset + total));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        total += n;
    }
    window.truncate(qsizetype(total));
    return window;
}

QVariantMap mapOf(const std::optional<QVariant> &value)
{
    if (!value || value->metaType() != QMetaType::fromType<QVariantMap>())
        return {};
    return value->toMap();
}

} // namespace

QVariantMap piecesInManifest(const QVariantMap &files, bool sms, bool notes, bool amr)
{
    QVariantMap found;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QVariantMap entry = it.value().toMap();
        const QString hash = entry.value(QStringLiteral("hash")).toString();
        const QString domain = entry.value(QStringLiteral("domain")).toString();
        const QString path = entry.value(QStringLiteral("paths")).toStringList().value(0);
        if (!BackupManifest::isValidFileID(hash) || domain.isEmpty() || path.isEmpty())
            continue;
        if ((amr && isVoicemailAudio(path)) || (notes && isNotesAttachment(path, domain))
            || (sms && isMessagesPiece(path, domain)))
            found.insert(path, hash);
    }
    return found;
}

QVariantMap piecesInMdinfoFiles(const QString &hostBackupFolder, FRWindowHub *window)
{
    QElapsedTimer timer;
    timer.start();
    QVariantMap found;
    const QStringList names =
        QDir(hostBackupFolder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    if (window)
        window->setBackupProgressMax(double(names.size()));
    int index = 0, skipped = 0;
    static const QByteArray kVoicemail("Library/Voicemail/"), kSMS("Library/SMS/");
    for (const QString &name : names) {
        if (window)
            window->setBackupProgressValue(double(++index));
        if (!name.endsWith(QLatin1String(".mdinfo")))
            continue;
        const QString path = hostBackupFolder + QLatin1Char('/') + name;
        const QByteArray window96 = readWindow(path, kMdinfoSearchOffset, kMdinfoSearchLength);
        const bool voicemail = window96.contains(kVoicemail);
        const bool smsPiece = !voicemail && window96.contains(kSMS);
        if (!voicemail && !smsPiece) {
            ++skipped;
            continue;
        }
        VarnekLog(voicemail ? "Found AMR MDINFO %s" : "Found SMS MDINFO %s", qUtf8Printable(name));
        const std::optional<QByteArray> whole = RegularFile::readAll(path, kMaxMdinfoBytes);
        if (!whole)
            continue;
        const QVariantMap info = mapOf(PropertyList::fromData(*whole));
        const QVariantMap metadata = mapOf(PropertyList::fromData(info.value(QStringLiteral("Metadata")).toByteArray()));
        const QString piece = metadata.value(QStringLiteral("Path")).toString();
        const QString id = name.chopped(7);
        if (!BackupManifest::isValidFileID(id))
            continue;
        if (isVoicemailAudio(piece) || isSMSPiece(piece))
            found.insert(piece, id);
    }
    if (window)
        window->setBackupProgressValue(-1);
    VarnekLog("MDInfo Parsing took %d seconds to process %d files (%d without pieces)",
              int(timer.elapsed() / 1000), int(names.size()), skipped);
    return found;
}

} // namespace BackupPieceScan
