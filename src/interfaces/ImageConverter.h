#pragma once
// The one image service of core: reading an image's stored orientation, re-encoding a photo
// upright as JPEG, turning a drawing a quarter turn, and scaling a picture to a fixed size.
// Decoding and encoding images needs QtGui (and libheif for HEIC), which core does not link:
// the window library implements this with QImage and installs it at start-up
// (window/GuiProviders); core tests install their own.
//
// Every operation takes encoded image data (PNG, JPEG, GIF, TIFF, BMP, and HEIC where the
// implementation was built with libheif) and answers empty data when nothing decodes it, so
// a caller keeps the bytes it has: a picture that no decoder reads is stored unchanged.
//
// Any thread may call every operation at any time, also while another thread does; an
// implementation holds no state between calls and never waits for the main thread.
// install() happens once at start-up before other threads ask.

#include <QByteArray>

#include <memory>

class ImageConverter
{
public:
    // The JPEG quality of every re-encoded picture (the design's compression factor 0.75).
    static constexpr int kJPEGQuality = 75;

    virtual ~ImageConverter() = default;

    // The stored orientation (1 upright ... 8, as in EXIF); 1 when the image stores none,
    // 0 when the data is no image.
    virtual int orientation(const QByteArray &data) const = 0;

    // The image drawn with its stored orientation applied, encoded as JPEG at `quality`
    // (0 to 100). Empty when the data is no image.
    virtual QByteArray uprightJPEG(const QByteArray &data, int quality) const = 0;

    // The image turned a quarter turn clockwise into an image `height` wide and `width` high,
    // source pixel (x, y) landing on (height - 1 - y, x), encoded as JPEG at `quality`.
    // The stored orientation is ignored. Empty when the data is no image.
    virtual QByteArray quarterTurnedJPEG(const QByteArray &data, int quality) const = 0;

    // The whole image drawn to fill `width` x `height` exactly (no aspect kept, smooth
    // scaling), as PNG. Empty when the data is no image or a size is not positive.
    virtual QByteArray scaledToSize(const QByteArray &data, int width, int height) const = 0;

    static void install(std::shared_ptr<const ImageConverter> converter);
    // The installed converter, or null (then no picture is changed).
    static std::shared_ptr<const ImageConverter> converter();
};
