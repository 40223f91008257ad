#pragma once
// HEIC pictures made by test code with libheif's own encoder: the picture stored as given
// (sensor order), with the turn an orientation asks for recorded beside it and the same
// orientation in its EXIF block, as a camera writes them. Header-only; the test program
// links libheif.

#include <QByteArray>
#include <QImage>

#include <libheif/heif.h>

#include <cstring>

namespace HeifFixtures {

inline QByteArray heicWithOrientation(const QImage &source, int orientation)
{
    const QImage rgba = source.convertToFormat(QImage::Format_RGBA8888);
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_image *image = nullptr;
    QByteArray out;
    if (heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code == heif_error_Ok
        && heif_image_create(rgba.width(), rgba.height(), heif_colorspace_RGB, heif_chroma_interleaved_RGBA, &image)
               .code
               == heif_error_Ok
        && heif_image_add_plane(image, heif_channel_interleaved, rgba.width(), rgba.height(), 8).code == heif_error_Ok) {
        int stride = 0;
        uint8_t *plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
        for (int y = 0; y < rgba.height(); ++y)
            std::memcpy(plane + qsizetype(y) * stride, rgba.constScanLine(y), size_t(rgba.width()) * 4);
        heif_encoder_set_lossy_quality(encoder, 90);
        heif_encoding_options *options = heif_encoding_options_alloc();
        options->image_orientation = heif_orientation(orientation);
        heif_image_handle *handle = nullptr;
        if (heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok) {
            // Big-endian TIFF header, one directory holding the orientation tag.
            const unsigned char tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, 3, 0, 0, 0, 1,
                                          0, static_cast<unsigned char>(orientation), 0, 0, 0, 0, 0, 0};
            heif_context_add_exif_metadata(context, handle, tiff, int(sizeof tiff));
            heif_image_handle_release(handle);
            heif_writer writer{1, [](heif_context *, const void *data, size_t size, void *target) {
                                   static_cast<QByteArray *>(target)->append(static_cast<const char *>(data),
                                                                             qsizetype(size));
                                   return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
                               }};
            heif_context_write(context, &writer, &out);
        }
        heif_encoding_options_free(options);
    }
    if (image)
        heif_image_release(image);
    if (encoder)
        heif_encoder_release(encoder);
    heif_context_free(context);
    return out;
}

} // namespace HeifFixtures
