#pragma once
// Reading a Mach-O header's load commands out of bytes that may be damaged: the walk stays
// inside the header's stated command area and the bytes given, and a command whose size is
// below 8 ends it, so no header can make it loop or read past its end.

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace VUMachOLoadCommands {

struct Section
{
    quint64 address = 0;
    quint64 size = 0;
};

// The header size for its magic (32 for a 64-bit header, 28 for a 32-bit one); 0 when the
// bytes start with no Mach-O magic of this byte order.
size_t headerSize(const uint8_t *bytes, size_t length);
// The UUID of the first UUID command as 32 lower-case hex digits.
std::optional<QString> uuidText(const uint8_t *bytes, size_t length);
// The section `sectionName` of segment `segmentName`.
std::optional<Section> findSection(const uint8_t *bytes, size_t length, const char *segmentName,
                                   const char *sectionName);

} // namespace VUMachOLoadCommands
