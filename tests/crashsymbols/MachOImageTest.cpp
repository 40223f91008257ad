// The Mach-O image reader on images clang and ld64.lld built (checked against the LLVM
// tools) and on generated 32-bit images of the opposite byte order, whole and broken.

#include "MachOTestLoader.h"
#include "MachOWriter.h"
#include "VUCrashMachO.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <sys/mman.h>

namespace {

struct Found {
    bool called = false;
    uint64_t address = 0;
    std::string name;
};

void collect(uint64_t address, const char *name, void *ctx)
{
    auto *found = static_cast<Found *>(ctx);
    found->called = true;
    found->address = address;
    found->name = name;
}

std::string hex(const uint8_t *bytes, size_t n)
{
    std::string s;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(buf, sizeof buf, "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

class BuiltFixture : public ::testing::TestWithParam<const char *>
{
protected:
    std::string path() const { return fixturePath(std::string("symbols-") + GetParam() + ".dylib"); }
};

TEST_P(BuiltFixture, HeaderAndUuidMatchTheFile)
{
    auto loaded = LoadedMachO::load(path());
    vucrash_async_macho_t image;
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), path().c_str(), loaded->header()), VUCRASH_ERR_NONE);
    EXPECT_EQ(vucrash_async_macho_cpu_type(&image), std::string(GetParam()) == "arm64" ? 0x0100000Cu : 0x01000007u);
    EXPECT_EQ(vucrash_async_macho_header_size(&image), 32u);
    EXPECT_EQ(image.vmaddr_slide, static_cast<int64_t>(loaded->slide()));
    EXPECT_TRUE(vucrash_async_macho_contains_address(&image, loaded->header()));
    EXPECT_FALSE(vucrash_async_macho_contains_address(&image, loaded->header() + image.text_size));

    uint8_t uuid[16];
    ASSERT_TRUE(vucrash_async_macho_uuid(&image, uuid));
    std::string objdump = runCommand(std::string(LLVM_OBJDUMP) + " --macho -p " + path());
    std::string expected;
    std::istringstream lines(objdump);
    for (std::string line; std::getline(lines, line);) {
        auto at = line.find(" uuid ");
        if (at != std::string::npos)
            expected = line.substr(at + 6);
    }
    expected.erase(std::remove(expected.begin(), expected.end(), '-'), expected.end());
    EXPECT_EQ(hex(uuid, 16), expected);

    vucrash_async_mobject_t text;
    EXPECT_EQ(vucrash_async_macho_map_section(&image, "__TEXT", "__text", &text), VUCRASH_ERR_NONE);
    EXPECT_EQ(vucrash_async_macho_map_section(&image, "__TEXT", "__nothing", &text), VUCRASH_ERR_NOTFOUND);
    EXPECT_EQ(vucrash_async_macho_map_section(&image, "__NOSEG", "__text", &text), VUCRASH_ERR_NOTFOUND);
    vucrash_nasync_macho_free(&image);
}

TEST_P(BuiltFixture, SymbolByPcAgreesWithTheSymbolizer)
{
    auto loaded = LoadedMachO::load(path());
    vucrash_async_macho_t image;
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), path().c_str(), loaded->header()), VUCRASH_ERR_NONE);

    std::map<std::string, uint64_t> functions = textSymbols(path());
    ASSERT_GE(functions.size(), 10u);
    std::string command = std::string(LLVM_SYMBOLIZER) + " --obj=" + path();
    for (const auto &[name, value] : functions)
        command += " 0x" + (std::stringstream() << std::hex << value + 3).str();
    std::istringstream answers(runCommand(command));

    for (const auto &[name, value] : functions) {
        SCOPED_TRACE(name);
        std::string expected, location, blank;
        std::getline(answers, expected);
        std::getline(answers, location);
        std::getline(answers, blank);
        Found found;
        ASSERT_EQ(vucrash_async_macho_find_symbol_by_pc(&image, loaded->address(value) + 3, collect, &found),
                  VUCRASH_ERR_NONE);
        EXPECT_EQ(found.address, loaded->address(value));
        EXPECT_EQ(found.name, name);
        std::string plain = found.name[0] == '_' ? found.name.substr(1) : found.name;
        EXPECT_EQ(plain, expected);

        uint64_t byName = 0;
        EXPECT_EQ(vucrash_async_macho_find_symbol_by_name(&image, name.c_str(), &byName), VUCRASH_ERR_NONE);
        EXPECT_EQ(byName, loaded->address(value));
    }

    // Past the end of the code section the last function is no longer the answer.
    vucrash_async_mobject_t cstring;
    ASSERT_EQ(vucrash_async_macho_map_section(&image, "__TEXT", "__cstring", &cstring), VUCRASH_ERR_NONE);
    Found found;
    EXPECT_EQ(vucrash_async_macho_find_symbol_by_pc(&image, cstring.base_address + 1, collect, &found),
              VUCRASH_ERR_NOTFOUND);
    EXPECT_FALSE(found.called);
    vucrash_nasync_macho_free(&image);
}

INSTANTIATE_TEST_SUITE_P(Arch, BuiltFixture, ::testing::Values("x86_64", "arm64"));

TEST(MachOImage, UniversalFileAndUnknownMagicAreRefused)
{
    std::vector<uint8_t> universal = readFileBytes(fixturePath("symbols-universal.dylib"));
    MappedTestImage mapped(std::vector<uint8_t>(universal.begin(), universal.begin() + kTestImageSize));
    vucrash_async_macho_t image;
    EXPECT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "universal", mapped.header()), VUCRASH_ERR_INVAL);

    MachOTestImage garbage;
    garbage.magic = 0x12345678;
    MappedTestImage bad(writeMachO32(garbage));
    EXPECT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "garbage", bad.header()), VUCRASH_ERR_INVAL);
}

// __text is 0x1100..0x1200. Indexes: 0 local, 1-5 external, 6 a debugging entry, 7 outside
// both slices.
MachOTestImage symbolImage()
{
    MachOTestImage image;
    image.symbols = {
        {"_local_helper", 0x1120, 0x0E},
        {"_first", 0x1100},
        {"_second", 0x1140},
        {"_thumb", 0x1180, 0x0F, 1, 0x0008},
        {"_dup_a", 0x11C0},
        {"_dup_b", 0x11C0},
        {"_stab", 0x11F0, 0x24},
        {"_outside", 0x11E0},
    };
    image.ilocalsym = 0;
    image.nlocalsym = 1;
    image.iextdefsym = 1;
    image.nextdefsym = 5;
    return image;
}

TEST(MachOImage, SwappedThirtyTwoBitImageAnswersLookups)
{
    struct Case {
        const char *name;
        bool dysymtab;
        uint32_t pc;
        vucrash_error_t result;
        const char *symbol;
        uint32_t address;
    } cases[] = {
        {"external", true, 0x1145, VUCRASH_ERR_NONE, "_second", 0x1140},
        {"local beats a lower external", true, 0x1125, VUCRASH_ERR_NONE, "_local_helper", 0x1120},
        {"thumb entry keeps bit 0", true, 0x1185, VUCRASH_ERR_NONE, "_thumb", 0x1181},
        {"equal values: first one", true, 0x11C4, VUCRASH_ERR_NONE, "_dup_a", 0x11C0},
        {"only the slices are searched", true, 0x11F4, VUCRASH_ERR_NONE, "_dup_a", 0x11C0},
        {"whole table without dysymtab", false, 0x11F4, VUCRASH_ERR_NONE, "_outside", 0x11E0},
        {"below every symbol", true, 0x10FF, VUCRASH_ERR_NOTFOUND, nullptr, 0},
        {"past the section end", false, 0x1200, VUCRASH_ERR_NOTFOUND, nullptr, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MachOTestImage fixture = symbolImage();
        fixture.withDysymtab = c.dysymtab;
        MappedTestImage mapped(writeMachO32(fixture));
        vucrash_async_macho_t image;
        ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "swapped", mapped.header()), VUCRASH_ERR_NONE);
        EXPECT_EQ(vucrash_async_macho_header_size(&image), 28u);
        EXPECT_EQ(vucrash_async_macho_cpu_type(&image), 18u);
        EXPECT_EQ(image.text_size, 0x1000u);
        Found found;
        EXPECT_EQ(vucrash_async_macho_find_symbol_by_pc(&image, mapped.address(c.pc), collect, &found), c.result);
        if (c.symbol) {
            EXPECT_EQ(found.name, c.symbol);
            EXPECT_EQ(found.address, mapped.address(c.address));
        } else {
            EXPECT_FALSE(found.called);
        }
        vucrash_nasync_macho_free(&image);
    }
}

TEST(MachOImage, BrokenCommandsEndTheWalk)
{
    MachOTestImage zeroSize = symbolImage();
    zeroSize.firstCommandSize = 4;
    MappedTestImage mapped(writeMachO32(zeroSize));
    vucrash_async_macho_t image;
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "zero", mapped.header()), VUCRASH_ERR_NONE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(vucrash_async_macho_find_command(&image, VUCRASH_MACHO_LC_SYMTAB), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("0-length cmdsize"), std::string::npos);
    vucrash_nasync_macho_free(&image);

    // More commands claimed than the area holds: the walk stops at the end of the area.
    MachOTestImage overclaimed = symbolImage();
    overclaimed.extraCommands = 1000;
    MappedTestImage mapped2(writeMachO32(overclaimed));
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "overclaimed", mapped2.header()), VUCRASH_ERR_NONE);
    int commands = 0;
    for (void *cmd = vucrash_async_macho_next_command(&image, nullptr); cmd;
         cmd = vucrash_async_macho_next_command(&image, cmd))
        ++commands;
    EXPECT_EQ(commands, 4);
    EXPECT_EQ(vucrash_async_macho_find_command(&image, 0x1B), nullptr);
    vucrash_nasync_macho_free(&image);
}

TEST(MachOImage, DysymtabRangesThatWrapAreRefused)
{
    // 0xFFFFFFF8 + 0x10 wraps to 8 in 32 bits, which would pass a check against nsyms.
    MachOTestImage wrapping = symbolImage();
    wrapping.iextdefsym = 0xFFFFFFF8;
    wrapping.nextdefsym = 0x10;
    MappedTestImage mapped(writeMachO32(wrapping));
    vucrash_async_macho_t image;
    ASSERT_EQ(vucrash_nasync_macho_init(&image, vu_task_self(), "wrapping", mapped.header()), VUCRASH_ERR_NONE);
    Found found;
    EXPECT_EQ(vucrash_async_macho_find_symbol_by_pc(&image, mapped.address(0x1145), collect, &found),
              VUCRASH_ERR_INVAL);
    EXPECT_FALSE(found.called);
    vucrash_nasync_macho_free(&image);
}

} // namespace
