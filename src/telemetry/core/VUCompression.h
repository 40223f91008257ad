#pragma once
// gzip (deflate with the gzip wrapper, default level) of request bodies. Stateless.

#include <QByteArray>

#include <optional>

class VUCompression
{
public:
    // Nothing for empty input or when deflate fails (the caller then sends the plain body).
    static std::optional<QByteArray> compressData(const QByteArray &data);
};
