#pragma once
// Writes small 32-bit Mach-O images in the opposite byte order (ld64.lld has no such
// target), laid out as loaded: file offset = vmaddr - 0x1000. __TEXT holds one __text
// section (0x1100, 0x100 bytes); __LINKEDIT the symbol and string tables. Options break the
// image in the ways the readers must survive.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct MachOTestSymbol {
    std::string name;
    uint32_t value;
    uint8_t type = 0x0F; // N_SECT | N_EXT
    uint8_t sect = 1;
    uint16_t desc = 0;
};

struct MachOTestImage {
    std::vector<MachOTestSymbol> symbols;
    bool swapped = true;
    std::optional<uint32_t> magic;
    bool withDysymtab = true;
    uint32_t ilocalsym = 0, nlocalsym = 0, iextdefsym = 0, nextdefsym = 0;
    std::optional<uint32_t> firstCommandSize; // overrides the __TEXT command's cmdsize
    uint32_t extraCommands = 0;               // ncmds claims this many more than there are
};

constexpr uint32_t kTestTextVmaddr = 0x1000;
constexpr uint32_t kTestImageSize = 0x2000;

std::vector<uint8_t> writeMachO32(const MachOTestImage &image);

// The image in page-aligned memory of its own, as the loader would have placed it.
class MappedTestImage
{
public:
    explicit MappedTestImage(const std::vector<uint8_t> &bytes);
    ~MappedTestImage();
    uint64_t header() const { return reinterpret_cast<uint64_t>(mBase); }
    uint64_t address(uint32_t vmaddr) const { return header() + (vmaddr - kTestTextVmaddr); }

private:
    uint8_t *mBase;
    size_t mSize;
};
