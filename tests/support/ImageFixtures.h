#pragma once
// Pictures made by test code: a block image whose quadrants tell a turn apart, and JPEG data
// carrying an EXIF orientation. Header-only, since only test programs that link QtGui use it.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QtEndian>

namespace ImageFixtures {

// `width` x `height` pixels in four solid quadrants: red top left, green top right, blue
// bottom left, black bottom right.
inline QImage quadrants(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool right = x >= width / 2, bottom = y >= height / 2;
            image.setPixel(x, y, !bottom ? (right ? qRgb(0, 255, 0) : qRgb(255, 0, 0))
                                         : (right ? qRgb(0, 0, 0) : qRgb(0, 0, 255)));
        }
    return image;
}

inline QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 95);
    return out;
}

// JPEG data of `image` with an EXIF block whose orientation tag is `orientation`.
inline QByteArray jpegWithOrientation(const QImage &image, int orientation)
{
    const QByteArray jpeg = encoded(image, "JPEG");
    // Big-endian TIFF header, one IFD with one SHORT entry 0x0112, no next IFD.
    QByteArray tiff("MM\0*\0\0\0\x08", 8);
    tiff += QByteArray("\0\x01", 2);
    tiff += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8);
    tiff += char(0);
    tiff += char(orientation);
    tiff += QByteArray(2, '\0');
    tiff += QByteArray(4, '\0');
    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment += char(length >> 8);
    segment += char(length & 0xff);
    segment += payload;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

} // namespace ImageFixtures
