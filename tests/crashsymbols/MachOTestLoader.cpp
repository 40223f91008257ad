#include "MachOTestLoader.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>

namespace {

struct Segment {
    std::string name;
    uint64_t vmaddr, vmsize, fileoff, filesize;
};
struct Section {
    std::string segment, name;
    uint64_t addr, size;
};

template<typename T> T at(const std::vector<uint8_t> &file, size_t offset)
{
    if (offset + sizeof(T) > file.size())
        throw std::runtime_error("read past the end of the file");
    T v;
    memcpy(&v, file.data() + offset, sizeof v);
    return v;
}

uint64_t uleb(const std::vector<uint8_t> &bytes, size_t &pos)
{
    uint64_t result = 0;
    int shift = 0;
    while (pos < bytes.size()) {
        uint8_t b = bytes[pos++];
        result |= uint64_t(b & 0x7F) << shift;
        shift += 7;
        if (!(b & 0x80))
            break;
    }
    return result;
}

uint8_t *mapAnywhere(size_t size, bool low)
{
    if (low) {
        for (uint64_t hint = 0x40000000; hint + size < 0x200000000; hint += 0x10000000) {
            void *p = mmap(reinterpret_cast<void *>(hint), size, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (p != MAP_FAILED)
                return static_cast<uint8_t *>(p);
        }
        throw std::runtime_error("no free range below 8 GiB");
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        throw std::runtime_error("mmap failed");
    return static_cast<uint8_t *>(p);
}

} // namespace

std::unique_ptr<LoadedMachO> LoadedMachO::load(const std::string &path, const MachOLoadOptions &options)
{
    std::vector<uint8_t> file = readFileBytes(path);
    if (at<uint32_t>(file, 0) != 0xFEEDFACF)
        throw std::runtime_error("not a 64-bit little-endian Mach-O file: " + path);
    uint32_t ncmds = at<uint32_t>(file, 16);

    std::vector<Segment> segments;
    std::vector<Section> sections;
    uint32_t rebaseOff = 0, rebaseSize = 0;
    size_t cmd = 32;
    for (uint32_t i = 0; i < ncmds; ++i) {
        uint32_t type = at<uint32_t>(file, cmd), size = at<uint32_t>(file, cmd + 4);
        if (type == 0x19) {
            Segment s{std::string(reinterpret_cast<const char *>(&file[cmd + 8]), strnlen(reinterpret_cast<const char *>(&file[cmd + 8]), 16)),
                      at<uint64_t>(file, cmd + 24), at<uint64_t>(file, cmd + 32), at<uint64_t>(file, cmd + 40),
                      at<uint64_t>(file, cmd + 48)};
            segments.push_back(s);
            uint32_t nsects = at<uint32_t>(file, cmd + 64);
            for (uint32_t k = 0; k < nsects; ++k) {
                size_t sect = cmd + 72 + k * 80;
                sections.push_back({s.name,
                                    std::string(reinterpret_cast<const char *>(&file[sect]),
                                                strnlen(reinterpret_cast<const char *>(&file[sect]), 16)),
                                    at<uint64_t>(file, sect + 32), at<uint64_t>(file, sect + 40)});
            }
        } else if (type == 0x80000022 || type == 0x22) {
            rebaseOff = at<uint32_t>(file, cmd + 8);
            rebaseSize = at<uint32_t>(file, cmd + 12);
        }
        cmd += size;
    }

    auto loaded = std::unique_ptr<LoadedMachO>(new LoadedMachO);
    uint64_t end = 0;
    for (const Segment &s : segments) {
        if (s.name == "__TEXT")
            loaded->mTextVmaddr = s.vmaddr;
        end = std::max(end, s.vmaddr + s.vmsize);
    }
    loaded->mSize = end - loaded->mTextVmaddr;
    loaded->mBase = mapAnywhere(loaded->mSize, options.lowAddress);
    for (const Segment &s : segments) {
        if (s.filesize > 0 && s.vmsize > 0)
            memcpy(loaded->mBase + (s.vmaddr - loaded->mTextVmaddr), file.data() + s.fileoff, s.filesize);
    }

    // Classic rebase opcodes: every listed pointer moves by the slide.
    uint64_t slide = loaded->slide();
    std::vector<uint8_t> ops(file.begin() + rebaseOff, file.begin() + rebaseOff + rebaseSize);
    size_t pos = 0;
    uint64_t address = 0;
    auto rebase = [&]() {
        uint64_t *p = reinterpret_cast<uint64_t *>(loaded->mBase + (address - loaded->mTextVmaddr));
        *p += slide;
        address += 8;
    };
    while (pos < ops.size()) {
        uint8_t byte = ops[pos++];
        uint8_t op = byte & 0xF0, imm = byte & 0x0F;
        if (op == 0x00)
            break;
        switch (op) {
        case 0x10: break;
        case 0x20: address = segments.at(imm).vmaddr + uleb(ops, pos); break;
        case 0x30: address += uleb(ops, pos); break;
        case 0x40: address += imm * 8; break;
        case 0x50:
            for (int i = 0; i < imm; ++i)
                rebase();
            break;
        case 0x60: {
            uint64_t n = uleb(ops, pos);
            for (uint64_t i = 0; i < n; ++i)
                rebase();
            break;
        }
        case 0x70:
            rebase();
            address += uleb(ops, pos);
            break;
        case 0x80: {
            uint64_t n = uleb(ops, pos), skip = uleb(ops, pos);
            for (uint64_t i = 0; i < n; ++i) {
                rebase();
                address += skip;
            }
            break;
        }
        default: throw std::runtime_error("unknown rebase opcode");
        }
    }

    // Realize the classes: data points at a read-write record (bit 31 set) that points at
    // the read-only one.
    for (const Section &s : sections) {
        if (s.segment != "__DATA" || s.name != "__objc_classlist")
            continue;
        size_t count = s.size / 8;
        loaded->mRwRecords.reset(new uint64_t[count * 2 * 2]());
        uint64_t *rw = loaded->mRwRecords.get();
        for (size_t i = 0; i < count; ++i) {
            auto *cls = reinterpret_cast<uint64_t *>(*reinterpret_cast<uint64_t *>(loaded->address(s.addr) + i * 8));
            auto *ro = reinterpret_cast<const uint8_t *>(cls[4]);
            std::string name(reinterpret_cast<const char *>(*reinterpret_cast<const uint64_t *>(ro + 24)));
            if (options.unrealizedClasses.count(name))
                continue;
            auto *meta = reinterpret_cast<uint64_t *>(cls[0]);
            for (uint64_t *c : {cls, meta}) {
                rw[0] = 0x80000000u;
                rw[1] = c[4];
                c[4] = reinterpret_cast<uint64_t>(rw);
                rw += 2;
            }
            if (options.nonPointerIsa)
                cls[0] = (reinterpret_cast<uint64_t>(meta) & 0x1FFFFFFF8ULL) | 1 | (uint64_t(0x1d) << 56);
        }
    }
    return loaded;
}

LoadedMachO::~LoadedMachO()
{
    if (mBase)
        munmap(mBase, mSize);
}

std::string fixturePath(const std::string &name) { return std::string(CRASH_FIXTURES_DIR) + "/" + name; }

std::vector<uint8_t> readFileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string runCommand(const std::string &command)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::map<std::string, uint64_t> textSymbols(const std::string &path)
{
    std::map<std::string, uint64_t> symbols;
    std::istringstream lines(runCommand(std::string(LLVM_NM) + " --defined-only " + path));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() < 20 || (line[17] != 't' && line[17] != 'T'))
            continue;
        symbols[line.substr(19)] = std::stoull(line.substr(0, 16), nullptr, 16);
    }
    return symbols;
}
