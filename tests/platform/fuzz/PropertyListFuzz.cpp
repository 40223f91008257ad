// libFuzzer entry point: property lists and keyed archives from arbitrary bytes must be
// parsed or refused, never crash, and keyed archives must decode straight from their bytes
// exactly as through the property-list tree. Built only with -DQUILLON_FUZZ=ON and clang.
#include "KeyedArchiveDifferential.h"
#include "platform/PropertyList.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    (void)PropertyList::fromData(bytes);
    const QString difference = keyedDecodeDifference(bytes);
    if (!difference.isEmpty()) {
        std::fprintf(stderr, "keyed archive decodes differ: %s\n", qPrintable(difference));
        std::abort();
    }
    return 0;
}
