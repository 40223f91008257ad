#include "QtImageConverter.h"

#include "HeifDecoder.h"

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QPainter>

namespace {

// Every decode goes through here, so one place learns a new format.
QImage decoded(const QByteArray &data, bool applyOrientation)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(applyOrientation);
    QImage image = reader.read();
    if (image.isNull() && HeifDecoder::looksLikeHeif(data))
        image = HeifDecoder::decode(data, applyOrientation); // the camera's format, which QImage lacks
    return image;
}

QByteArray encoded(const QImage &image, const char *format, int quality)
{
    if (image.isNull())
        return {};
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    // JPEG has no alpha: what is transparent is drawn on white, as a page would show it.
    QImage toWrite = image;
    if (qstrcmp(format, "JPEG") == 0 && image.hasAlphaChannel()) {
        toWrite = QImage(image.size(), QImage::Format_RGB32);
        toWrite.fill(Qt::white);
        QPainter painter(&toWrite);
        painter.drawImage(0, 0, image);
    }
    if (!toWrite.save(&buffer, format, quality))
        return {};
    return out;
}

} // namespace

int QtImageConverter::orientation(const QByteArray &data) const
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return HeifDecoder::looksLikeHeif(data) ? HeifDecoder::orientation(data) : 0;
    switch (reader.transformation()) {
    case QImageIOHandler::TransformationNone: return 1;
    case QImageIOHandler::TransformationMirror: return 2;
    case QImageIOHandler::TransformationRotate180: return 3;
    case QImageIOHandler::TransformationFlip: return 4;
    case QImageIOHandler::TransformationFlipAndRotate90: return 5;
    case QImageIOHandler::TransformationRotate90: return 6;
    case QImageIOHandler::TransformationMirrorAndRotate90: return 7;
    case QImageIOHandler::TransformationRotate270: return 8;
    }
    return 1;
}

QByteArray QtImageConverter::uprightJPEG(const QByteArray &data, int quality) const
{
    return encoded(decoded(data, true), "JPEG", quality);
}

QByteArray QtImageConverter::quarterTurnedJPEG(const QByteArray &data, int quality) const
{
    const QImage source = decoded(data, false);
    if (source.isNull())
        return {};
    return encoded(source.transformed(QTransform().rotate(90)), "JPEG", quality);
}

QByteArray QtImageConverter::scaledToSize(const QByteArray &data, int width, int height) const
{
    if (width <= 0 || height <= 0)
        return {};
    const QImage source = decoded(data, true);
    if (source.isNull())
        return {};
    return encoded(source.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation), "PNG", -1);
}
