#include "window/EmojiPictureScalerImage.h"

#include <QBuffer>
#include <QImage>

QByteArray EmojiPictureScalerImage::scaledPicture(const QByteArray &rgba, int size, int points)
{
    if (size <= 0 || points <= 0 || rgba.size() != qsizetype(size) * size * 4)
        return {};
    const QImage picture(reinterpret_cast<const uchar *>(rgba.constData()), size, size, size * 4,
                         QImage::Format_RGBA8888);
    const QImage scaled = picture.scaled(points, points, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!scaled.save(&buffer, "PNG"))
        return {};
    return png;
}
