#pragma once
// Thumbnails of message pictures and videos, as JPEG: a picture scaled to 400 points high
// keeping its aspect, on a canvas at most 1000 wide (wider ones cut at the right), quality
// 55; a video's frame at half its duration, at most 400 high, quality 70. Empty when nothing
// decodes the data (the part is then shown as an icon).
//
// Decoding pictures needs the image service the window library installs
// (interfaces/ImageConverter.h); without one no thumbnail is made. Any thread.

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace MessageThumbnails {

QByteArray pictureThumbnail(const QByteArray &picture);
// `stored` is the video's bytes or the path of its file; `name` its file name (for the type).
QByteArray videoThumbnail(const QVariant &stored, const QString &name);

} // namespace MessageThumbnails
