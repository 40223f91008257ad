#include "HeifDecoder.h"

#ifdef QUILLON_HAVE_LIBHEIF
#include <libheif/heif.h>
#endif

#include <cstring>
#include <memory>

namespace {

// Pictures larger than this many pixels are refused rather than decoded (a hostile file
// could ask for gigabytes).
constexpr qint64 kMaxPixels = 100LL * 1000 * 1000;

quint32 read32(const uchar *p, bool bigEndian)
{
    return bigEndian ? quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]
                     : quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0];
}

quint16 read16(const uchar *p, bool bigEndian)
{
    return bigEndian ? quint16(p[0] << 8 | p[1]) : quint16(p[1] << 8 | p[0]);
}

// The orientation tag (0x0112) of the first directory of a TIFF block; 1 when absent.
int tiffOrientation(const uchar *tiff, qsizetype size)
{
    if (size < 8)
        return 1;
    bool big;
    if (std::memcmp(tiff, "MM\0*", 4) == 0)
        big = true;
    else if (std::memcmp(tiff, "II*\0", 4) == 0)
        big = false;
    else
        return 1;
    const quint32 directory = read32(tiff + 4, big);
    if (directory > quint64(size) - 2)
        return 1;
    const quint16 entries = read16(tiff + directory, big);
    for (quint32 i = 0; i < entries; ++i) {
        const quint64 at = quint64(directory) + 2 + quint64(i) * 12;
        if (at + 12 > quint64(size))
            break;
        if (read16(tiff + at, big) == 0x0112) {
            const int value = read16(tiff + at + 8, big);
            return value >= 1 && value <= 8 ? value : 1;
        }
    }
    return 1;
}

#ifdef QUILLON_HAVE_LIBHEIF
struct Context
{
    heif_context *context = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    ~Context()
    {
        if (handle)
            heif_image_handle_release(handle);
        heif_context_free(context);
    }
    // The primary picture's handle, or null. `data` must outlive the context.
    heif_image_handle *open(const QByteArray &data)
    {
        if (!context)
            return nullptr;
        if (heif_context_read_from_memory_without_copy(context, data.constData(), size_t(data.size()), nullptr).code
                != heif_error_Ok
            || heif_context_get_primary_image_handle(context, &handle).code != heif_error_Ok)
            return nullptr;
        return handle;
    }
};
#endif

} // namespace

bool HeifDecoder::looksLikeHeif(const QByteArray &data)
{
    if (data.size() < 12 || data.mid(4, 4) != "ftyp")
        return false;
    const QByteArray brand = data.mid(8, 4);
    for (const char *heif : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})
        if (brand == heif)
            return true;
    return false;
}

QImage HeifDecoder::decode(const QByteArray &data, bool applyTransformations)
{
#ifdef QUILLON_HAVE_LIBHEIF
    if (!looksLikeHeif(data))
        return {};
    Context c;
    heif_image_handle *handle = c.open(data);
    if (!handle)
        return {};
    const int width = heif_image_handle_get_width(handle), height = heif_image_handle_get_height(handle);
    if (width <= 0 || height <= 0 || qint64(width) * height > kMaxPixels)
        return {};
    std::unique_ptr<heif_decoding_options, decltype(&heif_decoding_options_free)> options(
        heif_decoding_options_alloc(), &heif_decoding_options_free);
    if (!options)
        return {};
    options->ignore_transformations = applyTransformations ? 0 : 1;
    heif_image *decoded = nullptr;
    if (heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGBA, options.get()).code
        != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(decoded, &heif_image_release);
    int stride = 0;
    const uint8_t *pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int outWidth = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int outHeight = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || outWidth <= 0 || outHeight <= 0 || stride < outWidth * 4)
        return {};
    // A deep copy: the pixels belong to the libheif image released here.
    return QImage(pixels, outWidth, outHeight, stride, QImage::Format_RGBA8888).copy();
#else
    Q_UNUSED(data);
    Q_UNUSED(applyTransformations);
    return {};
#endif
}

int HeifDecoder::orientation(const QByteArray &data)
{
#ifdef QUILLON_HAVE_LIBHEIF
    if (!looksLikeHeif(data))
        return 0;
    Context c;
    heif_image_handle *handle = c.open(data);
    if (!handle)
        return 0;
    heif_item_id exif = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &exif, 1) != 1)
        return 1;
    const size_t size = heif_image_handle_get_metadata_size(handle, exif);
    if (size < 4 || size > 16 * 1024 * 1024)
        return 1;
    QByteArray block(qsizetype(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle, exif, block.data()).code != heif_error_Ok)
        return 1;
    // The block starts with the offset of the TIFF header behind these four bytes.
    const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
    const quint64 offset = quint64(4) + read32(bytes, true);
    if (offset >= quint64(block.size()))
        return 1;
    return tiffOrientation(bytes + offset, block.size() - qsizetype(offset));
#else
    Q_UNUSED(data);
    return 0;
#endif
}
