// Finding and parsing FDEs and CIEs: hand-built sections for the formats and their faults,
// and this program's own .eh_frame, searched through its table and entry by entry.
#include "DwarfBytes.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashDwarfFrameReader.h"
#include "UnwindFixture.h"

#include <gtest/gtest.h>

using vucrash::VU::async::dwarf_frame_reader;
using vucrash::VU::async::gnu_ehptr_reader;

namespace {

const vucrash_async_byteorder_t *le() { return vucrash_async_byteorder_little_endian(); }

// A 32-bit-format CIE with absolute pointers; returns where it starts.
size_t addCie(DwarfBytes &b, const char *augmentation = "zR", DwarfBytes augData = DwarfBytes().u8(0x00),
              uint8_t version = 1) {
  const size_t start = b.size();
  b.u32(0).u32(0).u8(version).str(augmentation).uleb(1).sleb(-8).uleb(16);
  if (augmentation[0] == 'z')
    b.uleb(augData.size()).raw(augData.bytes.data(), augData.size());
  b.bytes_of({0x0c, 7, 8, 0x90, 1});
  b.patch32(start, static_cast<uint32_t>(b.size() - start - 4));
  return start;
}

size_t addFde(DwarfBytes &b, size_t cieStart, uint64_t pcStart, uint64_t range, bool z = true) {
  const size_t start = b.size();
  b.u32(0);
  b.u32(static_cast<uint32_t>(b.size() - cieStart));
  b.u64(pcStart).u64(range);
  if (z)
    b.uleb(0);
  b.bytes_of({0x41, 0x0e, 16});
  b.patch32(start, static_cast<uint32_t>(b.size() - start - 4));
  return start;
}

vucrash_error_t find(const DwarfBytes &section, uint64_t pc, vucrash_async_dwarf_fde_info_t *fde) {
  vucrash_async_mobject_t mobj = section.map();
  dwarf_frame_reader reader;
  reader.init(&mobj, le(), true, false);
  vucrash_error_t err = reader.find_fde(0, pc, fde);
  vucrash_async_mobject_free(&mobj);
  return err;
}

TEST(DwarfFrameReader, FindsTheFdeCoveringAPc) {
  DwarfBytes section;
  const size_t cie = addCie(section);
  addFde(section, cie, 0x1000, 0x100);
  const size_t second = addFde(section, cie, 0x2000, 0x10);
  section.u32(0);

  vucrash_async_dwarf_fde_info_t fde;
  ASSERT_EQ(find(section, 0x2008, &fde), VUCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x2000u);
  EXPECT_EQ(fde.pc_end, 0x2010u);
  EXPECT_EQ(fde.fde_offset, second + 4);
  EXPECT_EQ(fde.cie_offset, cie);
  EXPECT_EQ(fde.instructions_length, 3u);
  EXPECT_EQ(find(section, 0x2010, &fde), VUCRASH_ERR_NOTFOUND);
  EXPECT_EQ(find(section, 0xfff, &fde), VUCRASH_ERR_NOTFOUND);

  DwarfBytes empty;
  empty.u32(0).u32(0);
  EXPECT_EQ(find(empty, 0x1000, &fde), VUCRASH_ERR_NOTFOUND);
}

TEST(DwarfFrameReader, AnFdeWithAnUnreadableCieIsSkippedNotTheWholeSection) {
  DwarfBytes section;
  const size_t bad = addCie(section, "zR", DwarfBytes().u8(0x00), 9);  // no such version
  addFde(section, bad, 0x1000, 0x100);
  const size_t good = addCie(section);
  addFde(section, good, 0x1000, 0x100);
  section.u32(0);
  vucrash_async_dwarf_fde_info_t fde;
  ASSERT_EQ(find(section, 0x1010, &fde), VUCRASH_ERR_NONE);
  EXPECT_EQ(fde.cie_offset, good);
}

TEST(DwarfFrameReader, CiePointersMustStayInsideTheSection) {
  DwarfBytes section;
  const size_t cie = addCie(section);
  const size_t fdeStart = addFde(section, cie, 0x1000, 0x100);
  section.u32(0);
  // Point the CIE pointer 4 bytes before the section start.
  section.patch32(fdeStart + 4, static_cast<uint32_t>(fdeStart + 4 + 4));
  vucrash_async_mobject_t mobj = section.map();
  vucrash_async_dwarf_fde_info_t fde;
  EXPECT_EQ(vucrash_async_dwarf_fde_info_init(&fde, &mobj, le(), section.address(fdeStart), false),
            VUCRASH_ERR_INVAL);
  section.patch32(fdeStart + 4, static_cast<uint32_t>(fdeStart + 4 - cie));
  EXPECT_EQ(vucrash_async_dwarf_fde_info_init(&fde, &mobj, le(), section.address(fdeStart), false),
            VUCRASH_ERR_NONE);
  vucrash_async_mobject_free(&mobj);
}

TEST(DwarfFrameReader, ReadsSixtyFourBitFormatEntries) {
  DwarfBytes section;
  const size_t cie = section.size();
  section.u32(0xffffffff).u64(0).u64(0).u8(1).str("").uleb(1).sleb(-8).uleb(16).bytes_of({0x0c, 7, 8});
  const uint64_t cieLength = section.size() - cie - 12;
  std::memcpy(&section.bytes[cie + 4], &cieLength, 8);
  const size_t fdeStart = section.size();
  section.u32(0xffffffff).u64(0);
  section.u64(section.size() - cie).u64(0x5000).u64(0x40).bytes_of({0x41, 0x0e, 16});
  const uint64_t fdeLength = section.size() - fdeStart - 12;
  std::memcpy(&section.bytes[fdeStart + 4], &fdeLength, 8);
  section.u32(0);

  vucrash_async_dwarf_fde_info_t fde;
  ASSERT_EQ(find(section, 0x5004, &fde), VUCRASH_ERR_NONE);
  EXPECT_EQ(fde.pc_start, 0x5000u);
  EXPECT_EQ(fde.fde_offset, fdeStart + 12);
  EXPECT_EQ(fde.instructions_length, 3u);
}

TEST(DwarfFrameReader, CieAugmentations) {
  // Personality encoding 0x9b: indirect, pc-relative, signed 32-bit.
  static uint64_t personalityCell = 0x12345678;
  DwarfBytes section;
  const size_t cieStart = section.size();
  section.u32(0).u32(0).u8(1).str("zPLR").uleb(1).sleb(-8).uleb(16);
  section.uleb(7).u8(0x9b);
  const size_t field = section.size();
  section.u32(0).u8(0x1b).u8(0x1b);
  section.bytes_of({0x0c, 7, 8});
  section.patch32(cieStart, static_cast<uint32_t>(section.size() - cieStart - 4));
  section.patch32(field, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&personalityCell) - section.address(field)));

  vucrash_async_mobject_t mobj = section.map();
  gnu_ehptr_reader<uint64_t> reader(le());
  vucrash_async_dwarf_cie_info_t cie;
  ASSERT_EQ(vucrash_async_dwarf_cie_info_init(&cie, &mobj, le(), &reader, section.address(cieStart)), VUCRASH_ERR_NONE);
  EXPECT_TRUE(cie.eh_augmentation.has_personality_address);
  EXPECT_EQ(cie.eh_augmentation.personality_address, 0x12345678u);
  EXPECT_EQ(cie.eh_augmentation.lsda_encoding, 0x1b);
  EXPECT_EQ(cie.eh_augmentation.pointer_encoding, 0x1b);
  EXPECT_EQ(cie.data_alignment_factor, -8);
  EXPECT_EQ(cie.return_address_register, 16u);
  EXPECT_EQ(cie.initial_instructions_length, 3u);
  vucrash_async_mobject_free(&mobj);

  // An unknown letter stops the augmentation parse; the instructions still start after the
  // declared data.
  DwarfBytes unknown;
  addCie(unknown, "zQR", DwarfBytes().bytes_of({0xaa, 0xbb}));
  mobj = unknown.map();
  ASSERT_EQ(vucrash_async_dwarf_cie_info_init(&cie, &mobj, le(), &reader, unknown.address()), VUCRASH_ERR_NONE);
  EXPECT_FALSE(cie.eh_augmentation.has_pointer_encoding);
  EXPECT_EQ(cie.initial_instructions_length, 5u);
  EXPECT_EQ(unknown.bytes[cie.initial_instructions_offset], 0x0c);
  vucrash_async_mobject_free(&mobj);

  DwarfBytes foreign;
  addCie(foreign, "eh");
  mobj = foreign.map();
  EXPECT_EQ(vucrash_async_dwarf_cie_info_init(&cie, &mobj, le(), &reader, foreign.address()), VUCRASH_ERR_NOTSUP);
  vucrash_async_mobject_free(&mobj);
}

TEST(DwarfFrameReader, RefusesOverlongNumbersAndWrappingRanges) {
  DwarfBytes ten, eleven;
  for (int i = 0; i < 9; ++i)
    ten.u8(0x80);
  ten.u8(0x01);
  for (int i = 0; i < 10; ++i)
    eleven.u8(0x80);
  eleven.u8(0x01);
  uint64_t value;
  vucrash_vm_size_t size;
  vucrash_async_mobject_t mobj = ten.map();
  EXPECT_EQ(vucrash_async_dwarf_read_uleb128(&mobj, ten.address(), 0, &value, &size), VUCRASH_ERR_NONE);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(value, 1ull << 63);
  vucrash_async_mobject_free(&mobj);
  mobj = eleven.map();
  EXPECT_EQ(vucrash_async_dwarf_read_uleb128(&mobj, eleven.address(), 0, &value, &size), VUCRASH_ERR_NOTSUP);
  vucrash_async_mobject_free(&mobj);
  DwarfBytes open;
  open.u8(0x80);
  mobj = open.map();
  EXPECT_EQ(vucrash_async_dwarf_read_uleb128(&mobj, open.address(), 0, &value, &size), VUCRASH_ERR_INVAL);
  vucrash_async_mobject_free(&mobj);

  DwarfBytes section;
  const size_t cie = addCie(section);
  const size_t fdeStart = addFde(section, cie, UINT64_MAX - 4, 0x10);
  section.u32(0);
  mobj = section.map();
  vucrash_async_dwarf_fde_info_t fde;
  EXPECT_EQ(vucrash_async_dwarf_fde_info_init(&fde, &mobj, le(), section.address(fdeStart), false), VUCRASH_ERR_INVAL);
  vucrash_async_mobject_free(&mobj);
}

class OwnEhFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
    vucrash_nasync_image_list_refresh(&list);
  }
  void TearDown() override { vucrash_nasync_image_list_free(&list); }

  // Looks pc up through the search table and by walking the section.
  void lookUp(uint64_t pc, vucrash_async_dwarf_fde_info_t *byTable, vucrash_async_dwarf_fde_info_t *byWalk) {
    vucrash_async_image_list_set_reading(&list, true);
    vucrash_async_image_t *image = vucrash_async_image_containing_address(&list, pc);
    ASSERT_NE(image, nullptr);
    vucrash_async_mobject_t frame, hdr;
    ASSERT_EQ(vucrash_async_image_map_section(image, "__TEXT", "__eh_frame", &frame), VUCRASH_ERR_NONE);
    ASSERT_EQ(vucrash_async_image_map_section(image, "__TEXT", "__eh_frame_hdr", &hdr), VUCRASH_ERR_NONE);
    dwarf_frame_reader reader;
    reader.init(&frame, le(), true, false);
    EXPECT_EQ(reader.find_fde_linear(0, pc, byWalk), VUCRASH_ERR_NONE);
    reader.set_search_table(&hdr);
    EXPECT_EQ(reader.find_fde(0, pc, byTable), VUCRASH_ERR_NONE);
    vucrash_async_mobject_free(&hdr);
    vucrash_async_mobject_free(&frame);
    vucrash_async_image_list_set_reading(&list, false);
  }

  vucrash_async_image_list_t list;
};

TEST_F(OwnEhFrame, EachFunctionsFdeStartsAtTheFunction) {
  for (uint64_t function : unwind_fixture_function_addresses()) {
    SCOPED_TRACE(function);
    vucrash_async_dwarf_fde_info_t byTable{}, byWalk{};
    lookUp(function + 1, &byTable, &byWalk);
    EXPECT_EQ(byTable.pc_start, function);
    EXPECT_EQ(byWalk.pc_start, function);
    EXPECT_EQ(byTable.fde_offset, byWalk.fde_offset);
  }
}

}  // namespace
