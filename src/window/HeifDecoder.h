#pragma once
// HEIC/HEIF pictures (the device's camera format), which QImage does not read: decoded with
// libheif when the build found it. Used by QtImageConverter only.
//
// Threads: any; each call has its own libheif context.

#include <QByteArray>
#include <QImage>

namespace HeifDecoder {

// Whether the data starts as a HEIF file does (an "ftyp" box of a HEIF brand).
bool looksLikeHeif(const QByteArray &data);
// The primary picture, with its stored turn and mirror applied or not; null when it does not
// decode (or the build has no libheif).
QImage decode(const QByteArray &data, bool applyTransformations);
// The orientation (1 to 8) its EXIF block stores, 1 when none; 0 when it does not decode.
int orientation(const QByteArray &data);

} // namespace HeifDecoder
