// libFuzzer entry point: typed streams (archived message bodies) from arbitrary bytes must be
// decoded or refused, never crash. Built only with -DQUILLON_FUZZ=ON and clang.
#include "platform/TypedStream.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)TypedStream::attributedString(bytes);
    return 0;
}
