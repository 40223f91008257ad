#include "BinaryPlistCheck.h"

#include "BinaryPlistBounds.h"

#include <cstdint>

namespace BinaryPlistCheck {

bool isSound(const QByteArray &data, int maxDepth, QString *why)
{
    const char *reason = nullptr;
    if (BinaryPlistBounds::isSound(reinterpret_cast<const uint8_t *>(data.constData()), uint64_t(data.size()),
                                   maxDepth, &reason))
        return true;
    if (why)
        *why = QString::fromLatin1(reason ? reason : "unsound");
    return false;
}

} // namespace BinaryPlistCheck
