// libFuzzer entry point: property lists and keyed archives from arbitrary bytes must be
// parsed or refused, never crash. Built only with -DQUILLON_FUZZ=ON and clang.
#include "platform/KeyedArchive.h"
#include "platform/PropertyList.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)PropertyList::fromData(bytes);
    (void)KeyedArchive::decode(bytes);
    return 0;
}
