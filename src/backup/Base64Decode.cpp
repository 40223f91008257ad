#include "backup/Base64Decode.h"

namespace {

// 0-63 for alphabet characters, -1 for everything else.
int sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

size_t EstimateBas64DecodedDataSize(size_t inputLength)
{
    return (inputLength + 3) / 4 * 3 + 1000;
}

bool Base64DecodeData(const void *input, size_t inputLength, void *out, size_t *outLength)
{
    const auto *in = static_cast<const unsigned char *>(input);
    auto *o = static_cast<unsigned char *>(out);
    const size_t capacity = *outLength;
    size_t produced = 0;
    quint32 accumulator = 0;
    int bits = 0;
    for (size_t i = 0; i < inputLength; ++i) {
        if (in[i] == '=')
            break;
        const int value = sextet(in[i]);
        if (value < 0)
            continue;
        accumulator = (accumulator << 6) | quint32(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (produced >= capacity) {
                *outLength = produced;
                return false;
            }
            o[produced++] = static_cast<unsigned char>((accumulator >> bits) & 0xff);
        }
    }
    *outLength = produced;
    return true;
}

QByteArray Base64Decode(const QByteArray &input)
{
    size_t size = EstimateBas64DecodedDataSize(size_t(input.size()));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    if (!Base64DecodeData(input.constData(), size_t(input.size()), out.data(), &size))
        return {};
    out.truncate(qsizetype(size));
    return out;
}
