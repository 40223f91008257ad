#include "messages/MessageThumbnails.h"

namespace MessageThumbnails {

QByteArray pictureThumbnail(const QByteArray &)
{
    return {};
}

QByteArray videoThumbnail(const QVariant &, const QString &)
{
    return {};
}

} // namespace MessageThumbnails
