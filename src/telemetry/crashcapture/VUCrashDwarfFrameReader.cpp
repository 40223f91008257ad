// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashDwarfFrameReader.h"

#include "VUCrashAsyncLog.h"

using vucrash::VU::async::gnu_ehptr_reader;

namespace {

// An entry's length field: 32-bit, or 0xffffffff followed by the 64-bit length.
struct EntryHeader {
  uint64_t length;
  uint8_t headerSize;  // 4 or 12
  uint8_t width;       // of the CIE id / pointer and the 64-bit format's offsets
};

vucrash_error_t readEntryHeader(const vucrash_async_mobject_t *mobj,
                                const vucrash_async_byteorder_t *byteorder,
                                vucrash_vm_address_t address, EntryHeader *header) {
  uint32_t length32;
  vucrash_error_t err = vucrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32);
  if (err != VUCRASH_ERR_NONE)
    return err;
  if (length32 == UINT32_MAX) {
    uint64_t length64;
    err = vucrash_async_mobject_read_uint64(mobj, byteorder, address, 4, &length64);
    if (err != VUCRASH_ERR_NONE)
      return err;
    *header = EntryHeader{length64, 12, 8};
  } else {
    *header = EntryHeader{length32, 4, 4};
  }
  return VUCRASH_ERR_NONE;
}

vucrash_error_t readWidth(const vucrash_async_mobject_t *mobj,
                          const vucrash_async_byteorder_t *byteorder,
                          vucrash_vm_address_t address, vucrash_vm_off_t offset, uint8_t width,
                          uint64_t *value) {
  if (width == 8)
    return vucrash_async_mobject_read_uint64(mobj, byteorder, address, offset, value);
  uint32_t v32 = 0;
  vucrash_error_t err = vucrash_async_mobject_read_uint32(mobj, byteorder, address, offset, &v32);
  *value = v32;
  return err;
}

template <typename machine_ptr>
vucrash_error_t parseFde(vucrash_async_dwarf_fde_info_t *info, const vucrash_async_mobject_t *mobj,
                         const vucrash_async_byteorder_t *byteorder,
                         vucrash_vm_address_t fde_address, bool debug_frame,
                         vucrash_async_page_cache_t *indirect_pages = nullptr) {
  const vucrash_vm_address_t base = vucrash_async_mobject_base_address(mobj);
  EntryHeader header;
  uint32_t length32;
  if (vucrash_async_mobject_read_uint32(mobj, byteorder, fde_address, 0, &length32) != VUCRASH_ERR_NONE) {
    VUCR_LOG("The current FDE entry 0x%llx header lies outside the mapped range",
             static_cast<unsigned long long>(fde_address));
    return VUCRASH_ERR_INVAL;
  }
  vucrash_error_t err = readEntryHeader(mobj, byteorder, fde_address, &header);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to read FDE 64-bit length value value; FDE entry lies outside the mapped range");
    return err;
  }
  info->fde_offset = fde_address - base + header.headerSize;
  info->fde_length = header.length;

  // The CIE pointer field.
  const vucrash_vm_address_t ciePtrAddr = fde_address + header.headerSize;
  uint64_t ciePtr;
  err = readWidth(mobj, byteorder, ciePtrAddr, 0, header.width, &ciePtr);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("FDE instruction offset falls outside the mapped range");
    return err;
  }
  vucrash_vm_address_t cieAddress;
  if (debug_frame) {
    if (static_cast<int64_t>(ciePtr) < 0 || ciePtr > UINT64_MAX - base) {
      VUCR_LOG("CIE offset of 0x%llx overflows representable range of pl_vm_address_t",
               static_cast<unsigned long long>(ciePtr));
      return VUCRASH_ERR_INVAL;
    }
    cieAddress = base + ciePtr;
  } else {
    // In .eh_frame the pointer counts back from its own position.
    if (ciePtr > ciePtrAddr || ciePtrAddr - ciePtr < base) {
      VUCR_LOG("CIE offset 0x%llx would place the CIE value outside of the .eh_frame section",
               static_cast<unsigned long long>(ciePtr));
      return VUCRASH_ERR_INVAL;
    }
    cieAddress = ciePtrAddr - ciePtr;
  }
  info->cie_offset = cieAddress - base;

  gnu_ehptr_reader<machine_ptr> ptrReader(byteorder);
  ptrReader.set_indirect_pages(indirect_pages);
  vucrash_async_dwarf_cie_info_t cie;
  err = vucrash_async_dwarf_cie_info_init(&cie, mobj, byteorder, &ptrReader, cieAddress);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to parse CFE for FDE");
    return err;
  }
  uint8_t encoding = VUCRASH_DW_EH_PE_absptr;
  if (cie.eh_augmentation.has_eh_augmentation && cie.eh_augmentation.has_pointer_encoding)
    encoding = cie.eh_augmentation.pointer_encoding;

  vucrash_vm_off_t position = header.headerSize + header.width;
  machine_ptr pcStart, pcRange;
  vucrash_vm_size_t size;
  err = ptrReader.read(mobj, fde_address, position, encoding, &pcStart, &size);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to read FDE initial_location");
    return err;
  }
  position += size;
  err = ptrReader.read(mobj, fde_address, position, encoding & 0x0f, &pcRange, &size);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Failed to read FDE address_length");
    return err;
  }
  position += size;
  // The range is measured in the image's word: a 32-bit image cannot wrap past 2^32 either.
  if (static_cast<uint64_t>(pcStart) + pcRange > static_cast<machine_ptr>(~static_cast<machine_ptr>(0)) ||
      static_cast<uint64_t>(pcStart) + static_cast<uint64_t>(pcRange) < static_cast<uint64_t>(pcStart)) {
    VUCR_LOG("FDE address_length + initial_location exceeds UINT64_MAX");
    return VUCRASH_ERR_INVAL;
  }
  info->pc_start = pcStart;
  info->pc_end = static_cast<uint64_t>(pcStart) + pcRange;

  if (cie.eh_augmentation.has_eh_augmentation) {
    uint64_t augLength;
    err = vucrash_async_dwarf_read_uleb128(mobj, fde_address, position, &augLength, &size);
    if (err != VUCRASH_ERR_NONE)
      return err;
    if (augLength > static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(position) - size) {
      VUCR_LOG("FDE length of 0x%llu declared to be less than the actual read length of 0x%llu",
               static_cast<unsigned long long>(header.length), static_cast<unsigned long long>(augLength));
      return VUCRASH_ERR_INVAL;
    }
    position += static_cast<vucrash_vm_off_t>(size + augLength);
  }

  const uint64_t read = static_cast<uint64_t>(position) - header.headerSize;
  if (header.length < read) {
    VUCR_LOG("FDE length of 0x%llu declared to be less than the actual read length of 0x%llu",
             static_cast<unsigned long long>(header.length), static_cast<unsigned long long>(read));
    return VUCRASH_ERR_INVAL;
  }
  info->instructions_offset = fde_address - base + static_cast<uint64_t>(position);
  info->instructions_length = header.length - read;
  return VUCRASH_ERR_NONE;
}

}  // namespace

vucrash_error_t vucrash_async_dwarf_fde_info_init(vucrash_async_dwarf_fde_info_t *info,
                                                  const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder,
                                                  vucrash_vm_address_t fde_address, bool debug_frame) {
  return parseFde<uint64_t>(info, mobj, byteorder, fde_address, debug_frame);
}

template <typename machine_ptr>
vucrash_error_t vucrash_async_dwarf_cie_info_init(vucrash_async_dwarf_cie_info_t *info,
                                                  const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder,
                                                  const gnu_ehptr_reader<machine_ptr> *ptr_reader,
                                                  vucrash_vm_address_t address) {
  vucrash_async_memset(info, 0, sizeof(*info));
  const vucrash_vm_address_t base = vucrash_async_mobject_base_address(mobj);

  uint32_t length32;
  if (vucrash_async_mobject_read_uint32(mobj, byteorder, address, 0, &length32) != VUCRASH_ERR_NONE) {
    VUCR_LOG("CIE 0x%llx header lies outside the mapped range", static_cast<unsigned long long>(address));
    return VUCRASH_ERR_INVAL;
  }
  EntryHeader header;
  vucrash_error_t err = readEntryHeader(mobj, byteorder, address, &header);
  if (err != VUCRASH_ERR_NONE)
    return err;
  info->cie_offset = address - base + header.headerSize;
  info->cie_length = header.length;

  vucrash_vm_off_t position = header.headerSize;
  err = readWidth(mobj, byteorder, address, position, header.width, &info->cie_id);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("CIE id could not be read");
    return err;
  }
  position += header.width;
  const uint64_t allOnes = header.width == 8 ? UINT64_MAX : UINT32_MAX;
  if (info->cie_id != 0 && info->cie_id != allOnes) {
    VUCR_LOG(header.width == 8 ? "CIE id is not one of 0 (eh_frame) or UINT64_MAX (debug_frame): %llx"
                               : "CIE id is not one of 0 (eh_frame) or UINT32_MAX (debug_frame): %llx",
             static_cast<unsigned long long>(info->cie_id));
    return VUCRASH_ERR_INVAL;
  }

  if ((err = vucrash_async_mobject_read_uint8(mobj, address, position, &info->cie_version))) {
    VUCR_LOG("CIE version could not be read");
    return err;
  }
  position++;
  if (info->cie_version != 1 && info->cie_version != 3 && info->cie_version != 4) {
    VUCR_LOG("CIE version is not one of 1 (eh_frame) or 3 (DWARF3) or 4 (DWARF4): %hhu", info->cie_version);
    return VUCRASH_ERR_INVAL;
  }

  // The augmentation string: empty or "z..."; its letters are read again below.
  const vucrash_vm_off_t augString = position;
  uint8_t c;
  if ((err = vucrash_async_mobject_read_uint8(mobj, address, position, &c))) {
    VUCR_LOG("CIE augmentation string could not be read");
    return err;
  }
  if (c == 'z') {
    info->eh_augmentation.has_eh_augmentation = true;
  } else if (c != '\0') {
    VUCR_LOG("Unknown augmentation string prefix of %c, cannot parse CIE", c);
    return VUCRASH_ERR_NOTSUP;
  }
  while (c != '\0') {
    position++;
    if ((err = vucrash_async_mobject_read_uint8(mobj, address, position, &c))) {
      VUCR_LOG("CIE augmentation string could not be read");
      return err;
    }
  }
  position++;

  if (info->cie_version == 4) {
    if ((err = vucrash_async_mobject_read_uint8(mobj, address, position++, &info->address_size))) {
      VUCR_LOG("CIE address_size could not be read");
      return err;
    }
    if ((err = vucrash_async_mobject_read_uint8(mobj, address, position++, &info->segment_size))) {
      VUCR_LOG("CIE segment_size could not be read");
      return err;
    }
  }

  vucrash_vm_size_t size;
  if ((err = vucrash_async_dwarf_read_uleb128(mobj, address, position, &info->code_alignment_factor, &size))) {
    VUCR_LOG("Failed to read CIE code alignment value");
    return err;
  }
  position += size;
  if ((err = vucrash_async_dwarf_read_sleb128(mobj, address, position, &info->data_alignment_factor, &size))) {
    VUCR_LOG("Failed to read CIE data alignment value");
    return err;
  }
  position += size;
  if ((err = vucrash_async_dwarf_read_uleb128(mobj, address, position, &info->return_address_register, &size))) {
    VUCR_LOG("Failed to read CIE return address register");
    return err;
  }
  position += size;

  if (info->eh_augmentation.has_eh_augmentation) {
    uint64_t augLength;
    if ((err = vucrash_async_dwarf_read_uleb128(mobj, address, position, &augLength, &size))) {
      VUCR_LOG("Failed to read the augmentation data uleb128 length");
      return err;
    }
    position += size;
    const vucrash_vm_off_t dataStart = position;
    vucrash_vm_off_t letter = augString + 1;
    vucrash_vm_off_t data = position;
    for (;;) {
      if ((err = vucrash_async_mobject_read_uint8(mobj, address, letter++, &c))) {
        VUCR_LOG("Failed to read CIE augmentation data");
        return err;
      }
      if (c == '\0')
        break;
      if (c == 'L') {
        if ((err = vucrash_async_mobject_read_uint8(mobj, address, data++, &info->eh_augmentation.lsda_encoding))) {
          VUCR_LOG("Failed to read the LSDA encoding value");
          return err;
        }
        info->eh_augmentation.has_lsda_encoding = true;
      } else if (c == 'P') {
        uint8_t encoding;
        if ((err = vucrash_async_mobject_read_uint8(mobj, address, data++, &encoding))) {
          VUCR_LOG("Failed to read the personality routine encoding value");
          return err;
        }
        machine_ptr personality;
        if ((err = ptr_reader->read(mobj, address, data, encoding, &personality, &size))) {
          VUCR_LOG("Failed to read the personality routine pointer value");
          return err;
        }
        data += size;
        info->eh_augmentation.has_personality_address = true;
        info->eh_augmentation.personality_address = personality;
      } else if (c == 'R') {
        if ((err = vucrash_async_mobject_read_uint8(mobj, address, data++, &info->eh_augmentation.pointer_encoding))) {
          VUCR_LOG("Failed to read the LSDA encoding value");
          return err;
        }
        info->eh_augmentation.has_pointer_encoding = true;
      } else if (c == 'S') {
        info->eh_augmentation.signal_frame = true;
      } else {
        VUCR_LOG("Unknown augmentation entry of %c; terminating parsing early", c);
        break;
      }
    }
    // The instructions start where the declared data ends, whatever was understood of it.
    if (augLength > static_cast<uint64_t>(INT64_MAX - dataStart)) {
      VUCR_LOG("CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
               static_cast<unsigned long long>(header.length), static_cast<unsigned long long>(augLength));
      return VUCRASH_ERR_INVAL;
    }
    position = dataStart + static_cast<vucrash_vm_off_t>(augLength);
  }

  const uint64_t read = static_cast<uint64_t>(position) - header.headerSize;
  if (header.length < read) {
    VUCR_LOG("CIE length of 0x%llu declared to be less than the actual read length of 0x%llu",
             static_cast<unsigned long long>(header.length), static_cast<unsigned long long>(read));
    return VUCRASH_ERR_INVAL;
  }
  info->initial_instructions_offset = address - base + static_cast<uint64_t>(position);
  info->initial_instructions_length = header.length - read;
  return VUCRASH_ERR_NONE;
}

template vucrash_error_t vucrash_async_dwarf_cie_info_init<uint32_t>(
    vucrash_async_dwarf_cie_info_t *, const vucrash_async_mobject_t *, const vucrash_async_byteorder_t *,
    const gnu_ehptr_reader<uint32_t> *, vucrash_vm_address_t);
template vucrash_error_t vucrash_async_dwarf_cie_info_init<uint64_t>(
    vucrash_async_dwarf_cie_info_t *, const vucrash_async_mobject_t *, const vucrash_async_byteorder_t *,
    const gnu_ehptr_reader<uint64_t> *, vucrash_vm_address_t);

namespace vucrash {
namespace VU {
namespace async {

vucrash_error_t dwarf_frame_reader::find_fde(vucrash_vm_off_t offset, vucrash_vm_address_t pc,
                                             vucrash_async_dwarf_fde_info_t *fde_info) const {
  if (hdr_ != nullptr && offset == 0 && !debug_frame_) {
    const vucrash_error_t err = find_fde_in_table(pc, fde_info);
    // A table we cannot read is no reason to give up: the section can still be walked.
    if (err == VUCRASH_ERR_NONE || err == VUCRASH_ERR_NOTFOUND)
      return err;
  }
  return find_fde_linear(offset, pc, fde_info);
}

vucrash_error_t dwarf_frame_reader::find_fde_in_table(vucrash_vm_address_t pc,
                                                      vucrash_async_dwarf_fde_info_t *fde_info) const {
  // version, eh_frame_ptr encoding, fde_count encoding, table encoding; then eh_frame_ptr,
  // fde_count and the sorted (initial location, FDE address) pairs.
  const vucrash_vm_address_t hdr = vucrash_async_mobject_base_address(hdr_);
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (vucrash_async_mobject_read_uint8(hdr_, hdr, i, &bytes[i]) != VUCRASH_ERR_NONE)
      return VUCRASH_ERR_INVAL;
  }
  const uint8_t tableEnc = bytes[3];
  // Binary search needs fixed-size entries: 4-byte data-relative ones are what linkers write.
  if (bytes[0] != 1 || tableEnc != (VUCRASH_DW_EH_PE_datarel | VUCRASH_DW_EH_PE_sdata4))
    return VUCRASH_ERR_NOTSUP;

  gnu_ehptr_reader<uint64_t> reader(byteorder_);
  reader.set_data_base(hdr);
  vucrash_vm_off_t position = 4;
  uint64_t value;
  vucrash_vm_size_t size;
  vucrash_error_t err = reader.read(hdr_, hdr, position, bytes[1], &value, &size);
  if (err != VUCRASH_ERR_NONE)
    return err;
  position += size;
  uint64_t count;
  if ((err = reader.read(hdr_, hdr, position, bytes[2], &count, &size)))
    return err;
  position += size;

  const uint64_t available = (vucrash_async_mobject_length(hdr_) - static_cast<uint64_t>(position)) / 8;
  if (count > available)
    count = available;

  // The last entry whose initial location is at or below pc.
  uint64_t lo = 0, hi = count;
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    uint32_t loc32;
    if ((err = vucrash_async_mobject_read_uint32(hdr_, byteorder_, hdr, position + static_cast<vucrash_vm_off_t>(mid * 8), &loc32)))
      return err;
    const uint64_t loc = hdr + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(loc32)));
    if (loc <= pc)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0)
    return VUCRASH_ERR_NOTFOUND;
  uint32_t fde32;
  if ((err = vucrash_async_mobject_read_uint32(hdr_, byteorder_, hdr, position + static_cast<vucrash_vm_off_t>((lo - 1) * 8 + 4), &fde32)))
    return err;
  const vucrash_vm_address_t fdeAddress = hdr + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(fde32)));

  err = m64_ ? parseFde<uint64_t>(fde_info, mobj_, byteorder_, fdeAddress, false, indirect_pages_)
             : parseFde<uint32_t>(fde_info, mobj_, byteorder_, fdeAddress, false, indirect_pages_);
  if (err != VUCRASH_ERR_NONE)
    return err;
  if (fde_info->pc_start <= pc && pc < fde_info->pc_end)
    return VUCRASH_ERR_NONE;
  return VUCRASH_ERR_NOTFOUND;
}

vucrash_error_t dwarf_frame_reader::find_fde_linear(vucrash_vm_off_t offset, vucrash_vm_address_t pc,
                                                    vucrash_async_dwarf_fde_info_t *fde_info) const {
  const vucrash_vm_address_t base = vucrash_async_mobject_base_address(mobj_);
  const vucrash_vm_address_t end = base + vucrash_async_mobject_length(mobj_);
  vucrash_vm_address_t entry;
  if (!vucrash_async_address_apply_offset(base, offset, &entry)) {
    VUCR_LOG("FDE offset hint overflows the mobject's base address");
    return VUCRASH_ERR_INVAL;
  }
  if (entry >= end) {
    VUCR_LOG("FDE base address + offset falls outside the mapped range");
    return VUCRASH_ERR_INVAL;
  }

  while (entry < end) {
    EntryHeader header;
    if (readEntryHeader(mobj_, byteorder_, entry, &header) != VUCRASH_ERR_NONE) {
      VUCR_LOG("The current CFI entry 0x%llx header lies outside the mapped range",
               static_cast<unsigned long long>(entry));
      return VUCRASH_ERR_INVAL;
    }
    if (header.length == 0)
      return VUCRASH_ERR_NOTFOUND;
    vucrash_vm_address_t next;
    if (header.length > UINT64_MAX - header.headerSize ||
        __builtin_add_overflow(entry, header.headerSize + header.length, &next)) {
      VUCR_LOG("Entry length size overflows the CFI address");
      return VUCRASH_ERR_INVAL;
    }
    uint64_t cieId;
    if (readWidth(mobj_, byteorder_, entry, header.headerSize, header.width, &cieId) != VUCRASH_ERR_NONE) {
      VUCR_LOG("The current CFI entry 0x%llx cie_id lies outside the mapped range",
               static_cast<unsigned long long>(entry));
      return VUCRASH_ERR_INVAL;
    }
    const uint64_t cieMarker = debug_frame_ ? (header.width == 8 ? UINT64_MAX : UINT32_MAX) : 0;
    if (cieId != cieMarker) {
      const vucrash_error_t err = m64_ ? parseFde<uint64_t>(fde_info, mobj_, byteorder_, entry, debug_frame_, indirect_pages_)
                                       : parseFde<uint32_t>(fde_info, mobj_, byteorder_, entry, debug_frame_, indirect_pages_);
      // One FDE we cannot read (a bad CIE, an unknown augmentation) says nothing about the
      // others: skip it rather than give up on the whole image.
      if (err == VUCRASH_ERR_NONE && fde_info->pc_start <= pc && pc < fde_info->pc_end)
        return VUCRASH_ERR_NONE;
    }
    entry = next;
  }
  return VUCRASH_ERR_NOTFOUND;
}

}  // namespace async
}  // namespace VU
}  // namespace vucrash
