#include "backup/PiecePredicates.h"

namespace {

const QString kNotesDomain = QStringLiteral("AppDomainGroup-group.com.apple.notes");
const QString kWhatsAppSharedDomain = QStringLiteral("AppDomainGroup-group.net.whatsapp.WhatsApp.shared");
const QString kWhatsAppDomain = QStringLiteral("AppDomain-net.whatsapp.WhatsApp");

} // namespace

bool isSMSPiece(const QString &path)
{
    if (!path.startsWith(QLatin1String("Library/SMS/Parts/"))
        && !path.startsWith(QLatin1String("Library/SMS/Attachments/"))
        && !path.startsWith(QLatin1String("Library/SMS/StickerCache/")))
        return false;
    return !path.endsWith(QLatin1String("-preview")) && !path.endsWith(QLatin1String("preview-right.jpg"))
           && !path.endsWith(QLatin1String("preview-left.jpg")) && !path.contains(QLatin1String("-preview_v2-"));
}

bool isNotesAttachment(const QString &path, const QString &domain)
{
    return domain == kNotesDomain
           && (path.startsWith(QLatin1String("Previews/")) || path.startsWith(QLatin1String("Media/")));
}

bool isWhatsAppPiece(const QString &path, const QString &domain)
{
    return (domain == kWhatsAppSharedDomain || domain == kWhatsAppDomain)
           && (path.startsWith(QLatin1String("Library/Media/")) || path.startsWith(QLatin1String("Message/Media/")))
           && !path.endsWith(QLatin1String(".thumb"));
}

bool isWhatsAppProfilePhoto(const QString &path, const QString &domain)
{
    return domain == kWhatsAppSharedDomain
           && (path.startsWith(QLatin1String("Media/Profile/")) || path.startsWith(QLatin1String("Message/Media/")))
           && (path.endsWith(QLatin1String(".thumb")) || path.endsWith(QLatin1String("Photo.jpg")));
}

bool isMessagesPiece(const QString &path, const QString &domain)
{
    return isSMSPiece(path) || isWhatsAppPiece(path, domain) || isWhatsAppProfilePhoto(path, domain);
}

bool isSomePiece(const QString &path, const QString &domain)
{
    return isMessagesPiece(path, domain) || isNotesAttachment(path, domain);
}
