#include "telemetry/core/VUCompression.h"

#include "telemetry/core/VULogger.h"

#include <zlib.h>

std::optional<QByteArray> VUCompression::compressData(const QByteArray &data)
{
    if (data.isEmpty())
        return std::nullopt;
    z_stream stream{};
    const int setUp = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (setUp != Z_OK) {
        const char *reason = setUp == Z_VERSION_ERROR ? "Version of zlib.h & libz library do not match!"
                             : setUp == Z_MEM_ERROR   ? "Not enough memory."
                             : setUp == Z_STREAM_ERROR ? "Invalid parameter passed in to function."
                                                       : "Unknown error!";
        VULogError(VULogTag(), "Compression failed with error: %s", reason);
        return std::nullopt;
    }
    // deflateBound is the exact worst case, so one buffer always suffices (the design's
    // 1.01 x + 12 is short for the gzip wrapper on incompressible input).
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    int code = Z_OK;
    while (code == Z_OK)
        code = deflate(&stream, Z_FINISH);
    if (code != Z_STREAM_END) {
        const char *reason = code == Z_BUF_ERROR ? "No progress is possible."
                             : code == Z_STREAM_ERROR ? "Inconsistent stream state."
                                                      : "Unknown error!";
        VULogError(VULogTag(), "Deflate failed with error: %s", reason);
        deflateEnd(&stream);
        return std::nullopt;
    }
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}
