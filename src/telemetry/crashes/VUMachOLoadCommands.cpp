#include "telemetry/crashes/VUMachOLoadCommands.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

constexpr uint32_t kMagic32 = 0xfeedface;
constexpr uint32_t kMagic64 = 0xfeedfacf;
constexpr uint32_t kLcSegment = 0x1;
constexpr uint32_t kLcSegment64 = 0x19;
constexpr uint32_t kLcUuid = 0x1b;

template <class T>
bool read(const uint8_t *bytes, size_t length, size_t offset, T *out)
{
    if (offset > length || sizeof(T) > length - offset)
        return false;
    std::memcpy(out, bytes + offset, sizeof(T));
    return true;
}

// Calls `visit` with each command's offset, command and size until it answers true.
void walk(const uint8_t *bytes, size_t length, const std::function<bool(size_t, uint32_t, uint32_t)> &visit)
{
    const size_t header = VUMachOLoadCommands::headerSize(bytes, length);
    uint32_t ncmds = 0, sizeofcmds = 0;
    if (header == 0 || !read(bytes, length, 16, &ncmds) || !read(bytes, length, 20, &sizeofcmds))
        return;
    const size_t end = header + std::min<size_t>(sizeofcmds, length - header);
    size_t offset = header;
    for (uint32_t i = 0; i < ncmds; ++i) {
        uint32_t cmd = 0, cmdsize = 0;
        if (offset + 8 > end || !read(bytes, end, offset, &cmd) || !read(bytes, end, offset + 4, &cmdsize))
            return;
        // A size below the command's own 8 bytes would never move on.
        if (cmdsize < 8 || cmdsize > end - offset)
            return;
        if (visit(offset, cmd, cmdsize))
            return;
        offset += cmdsize;
    }
}

bool nameIs(const char (&field)[16], const char *name)
{
    return std::strncmp(field, name, 16) == 0;
}

} // namespace

size_t VUMachOLoadCommands::headerSize(const uint8_t *bytes, size_t length)
{
    uint32_t magic = 0;
    if (!read(bytes, length, 0, &magic))
        return 0;
    if (magic == kMagic64)
        return length >= 32 ? 32 : 0;
    if (magic == kMagic32)
        return length >= 28 ? 28 : 0;
    return 0;
}

std::optional<QString> VUMachOLoadCommands::uuidText(const uint8_t *bytes, size_t length)
{
    std::optional<QString> found;
    walk(bytes, length, [&](size_t offset, uint32_t cmd, uint32_t cmdsize) {
        if (cmd != kLcUuid)
            return false;
        if (cmdsize >= 24)
            found = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes + offset + 8), 16).toHex());
        return true;
    });
    return found;
}

std::optional<VUMachOLoadCommands::Section> VUMachOLoadCommands::findSection(const uint8_t *bytes, size_t length,
                                                                              const char *segmentName,
                                                                              const char *sectionName)
{
    const bool is64 = headerSize(bytes, length) == 32;
    // Segment and section records as laid out in the file.
    const size_t segmentSize = is64 ? 72 : 56;
    const size_t sectionSize = is64 ? 80 : 68;
    const size_t nsectsOffset = is64 ? 64 : 48;
    std::optional<Section> found;
    walk(bytes, length, [&](size_t offset, uint32_t cmd, uint32_t cmdsize) {
        if (cmd != (is64 ? kLcSegment64 : kLcSegment) || cmdsize < segmentSize)
            return false;
        char segname[16];
        std::memcpy(segname, bytes + offset + 8, 16);
        if (!nameIs(segname, segmentName))
            return false;
        uint32_t nsects = 0;
        std::memcpy(&nsects, bytes + offset + nsectsOffset, 4);
        for (uint64_t i = 0; i < nsects; ++i) {
            const uint64_t at = segmentSize + i * sectionSize;
            if (at + sectionSize > cmdsize)
                break;
            const uint8_t *section = bytes + offset + at;
            char sectname[16];
            std::memcpy(sectname, section, 16);
            if (!nameIs(sectname, sectionName))
                continue;
            Section result;
            if (is64) {
                std::memcpy(&result.address, section + 32, 8);
                std::memcpy(&result.size, section + 40, 8);
            } else {
                uint32_t address = 0, size = 0;
                std::memcpy(&address, section + 32, 4);
                std::memcpy(&size, section + 36, 4);
                result.address = address;
                result.size = size;
            }
            found = result;
            return true;
        }
        return false;
    });
    return found;
}
