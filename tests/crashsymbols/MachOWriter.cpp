#include "MachOWriter.h"

#include <cstring>
#include <stdexcept>
#include <sys/mman.h>

namespace {

class Out
{
public:
    Out(std::vector<uint8_t> &bytes, bool swapped) : mBytes(bytes), mSwapped(swapped) {}
    void u32(size_t at, uint32_t v)
    {
        if (mSwapped)
            v = __builtin_bswap32(v);
        memcpy(&mBytes.at(at + 3) - 3, &v, 4);
    }
    void u16(size_t at, uint16_t v)
    {
        if (mSwapped)
            v = __builtin_bswap16(v);
        memcpy(&mBytes.at(at + 1) - 1, &v, 2);
    }
    void name(size_t at, const char *text) { memcpy(&mBytes.at(at), text, strlen(text)); }

private:
    std::vector<uint8_t> &mBytes;
    bool mSwapped;
};

} // namespace

std::vector<uint8_t> writeMachO32(const MachOTestImage &image)
{
    std::vector<uint8_t> bytes(kTestImageSize, 0);
    Out out(bytes, image.swapped);

    const uint32_t textCmd = 28, textCmdSize = 56 + 68;
    const uint32_t linkCmd = textCmd + textCmdSize, linkCmdSize = 56;
    const uint32_t symtabCmd = linkCmd + linkCmdSize, symtabCmdSize = 24;
    const uint32_t dysymtabCmd = symtabCmd + symtabCmdSize, dysymtabCmdSize = 80;
    uint32_t ncmds = image.withDysymtab ? 4 : 3;
    uint32_t sizeofcmds = textCmdSize + linkCmdSize + symtabCmdSize + (image.withDysymtab ? dysymtabCmdSize : 0);

    out.u32(0, image.magic.value_or(0xFEEDFACE));
    out.u32(4, 18); // a 32-bit big-endian CPU
    out.u32(8, 0);
    out.u32(12, 6); // dylib
    out.u32(16, ncmds + image.extraCommands);
    out.u32(20, sizeofcmds);
    out.u32(24, 0);

    out.u32(textCmd, 1);
    out.u32(textCmd + 4, image.firstCommandSize.value_or(textCmdSize));
    out.name(textCmd + 8, "__TEXT");
    out.u32(textCmd + 24, kTestTextVmaddr);
    out.u32(textCmd + 28, 0x1000);
    out.u32(textCmd + 32, 0);
    out.u32(textCmd + 36, 0x1000);
    out.u32(textCmd + 48, 1);
    out.name(textCmd + 56, "__text");
    out.name(textCmd + 56 + 16, "__TEXT");
    out.u32(textCmd + 56 + 32, 0x1100);
    out.u32(textCmd + 56 + 36, 0x100);

    out.u32(linkCmd, 1);
    out.u32(linkCmd + 4, linkCmdSize);
    out.name(linkCmd + 8, "__LINKEDIT");
    out.u32(linkCmd + 24, 0x2000);
    out.u32(linkCmd + 28, 0x1000);
    out.u32(linkCmd + 32, 0x1000);
    out.u32(linkCmd + 36, 0x1000);

    // Symbols at the start of __LINKEDIT, strings after them; string 0 is the empty name.
    const uint32_t symoff = 0x1000;
    const uint32_t nsyms = static_cast<uint32_t>(image.symbols.size());
    const uint32_t stroff = symoff + nsyms * 12;
    uint32_t strx = 1;
    for (uint32_t i = 0; i < nsyms; ++i) {
        const MachOTestSymbol &s = image.symbols[i];
        size_t entry = symoff + i * 12;
        out.u32(entry, strx);
        bytes.at(entry + 4) = s.type;
        bytes.at(entry + 5) = s.sect;
        out.u16(entry + 6, s.desc);
        out.u32(entry + 8, s.value);
        out.name(stroff + strx, s.name.c_str());
        strx += static_cast<uint32_t>(s.name.size()) + 1;
    }
    if (stroff + strx > kTestImageSize)
        throw std::runtime_error("test image too small for its symbols");

    out.u32(symtabCmd, 2);
    out.u32(symtabCmd + 4, symtabCmdSize);
    out.u32(symtabCmd + 8, symoff);
    out.u32(symtabCmd + 12, nsyms);
    out.u32(symtabCmd + 16, stroff);
    out.u32(symtabCmd + 20, strx);

    if (image.withDysymtab) {
        out.u32(dysymtabCmd, 0xB);
        out.u32(dysymtabCmd + 4, dysymtabCmdSize);
        out.u32(dysymtabCmd + 8, image.ilocalsym);
        out.u32(dysymtabCmd + 12, image.nlocalsym);
        out.u32(dysymtabCmd + 16, image.iextdefsym);
        out.u32(dysymtabCmd + 20, image.nextdefsym);
    }
    return bytes;
}

MappedTestImage::MappedTestImage(const std::vector<uint8_t> &bytes) : mSize(bytes.size())
{
    void *p = mmap(nullptr, mSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    mBase = static_cast<uint8_t *>(p);
    memcpy(mBase, bytes.data(), mSize);
}

MappedTestImage::~MappedTestImage() { munmap(mBase, mSize); }
