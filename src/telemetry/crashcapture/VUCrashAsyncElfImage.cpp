// vucrash_nasync_* allocate and run at ordinary times; the rest is crash-time code (no heap,
// no locks, no stdio).
#include "VUCrashAsyncElfImage.h"

#include "VUCrashReportFormat.h"

#include <elf.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Notes are small; a larger PT_NOTE is read only up to this many bytes.
constexpr size_t kMaxNoteBytes = 4096;

void readBuildId(vucrash_async_elf_t *image, vucrash_vm_address_t address, uint64_t size) {
  uint8_t notes[kMaxNoteBytes];
  if (size > sizeof(notes))
    size = sizeof(notes);
  if (vucrash_async_read_addr(image->task, address, notes, size) != VUCRASH_ERR_NONE)
    return;
  uint64_t offset = 0;
  while (offset + sizeof(ElfW(Nhdr)) <= size) {
    ElfW(Nhdr) note;
    memcpy(&note, notes + offset, sizeof(note));
    const uint64_t nameSize = (note.n_namesz + 3u) & ~3ull;
    const uint64_t descSize = (note.n_descsz + 3u) & ~3ull;
    const uint64_t name = offset + sizeof(note);
    const uint64_t desc = name + nameSize;
    if (desc > size || descSize > size - desc || note.n_descsz > size - desc)
      return;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
        memcmp(notes + name, "GNU", 4) == 0 && note.n_descsz > 0) {
      memset(image->uuid, 0, sizeof(image->uuid));
      memcpy(image->uuid, notes + desc, note.n_descsz < 16 ? note.n_descsz : 16);
      image->has_uuid = true;
      return;
    }
    offset = desc + descSize;
  }
}

}  // namespace

namespace {

vucrash_error_t elfInit(vucrash_async_elf_t *image, vucrash_task_t task,
                        vucrash_vm_address_t header_addr) {
  memset(image, 0, sizeof(*image));
  image->task = task;
  image->header_addr = header_addr;

  ElfW(Ehdr) header;
  if (vucrash_async_read_addr(task, header_addr, &header, sizeof(header)) != VUCRASH_ERR_NONE)
    return VUCRASH_ERR_INVALID_DATA;
  if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return VUCRASH_ERR_INVALID_DATA;
#if __SIZEOF_POINTER__ == 8
  if (header.e_ident[EI_CLASS] != ELFCLASS64)
    return VUCRASH_ERR_INVALID_DATA;
  image->is64 = true;
#else
  if (header.e_ident[EI_CLASS] != ELFCLASS32)
    return VUCRASH_ERR_INVALID_DATA;
#endif
  if (header.e_phentsize != sizeof(ElfW(Phdr)) || header.e_phnum == 0 ||
      header.e_phnum > 4096)
    return VUCRASH_ERR_INVALID_DATA;
  image->machine = header.e_machine;
  image->phnum = header.e_phnum;
  // The program headers of a loaded image are mapped; the first PT_LOAD holds them. They are
  // read one at a time, so records can also be filled at crash time.
  image->phdr_addr = header_addr + header.e_phoff;
  auto readPhdr = [&](size_t i, ElfW(Phdr) *ph) {
    return vucrash_async_task_memcpy(task, image->phdr_addr,
                                     static_cast<vucrash_vm_off_t>(i * sizeof(*ph)), ph,
                                     sizeof(*ph)) == VUCRASH_ERR_NONE;
  };

  bool haveBias = false;
  for (size_t i = 0; i < header.e_phnum && !haveBias; ++i) {
    ElfW(Phdr) ph;
    if (!readPhdr(i, &ph))
      return VUCRASH_ERR_INVALID_DATA;
    if (ph.p_type == PT_LOAD && ph.p_offset == 0) {
      image->slide = static_cast<int64_t>(header_addr - ph.p_vaddr);
      haveBias = true;
    }
  }
  if (!haveBias)
    return VUCRASH_ERR_INVALID_DATA;

  uint64_t codeEnd = 0, loadEnd = 0;
  for (size_t i = 0; i < header.e_phnum; ++i) {
    ElfW(Phdr) ph;
    if (!readPhdr(i, &ph))
      return VUCRASH_ERR_INVALID_DATA;
    if (ph.p_type == PT_NOTE && !image->has_uuid)
      readBuildId(image, static_cast<uint64_t>(image->slide) + ph.p_vaddr, ph.p_memsz);
    if (ph.p_type != PT_LOAD)
      continue;
    const uint64_t end = static_cast<uint64_t>(image->slide) + ph.p_vaddr + ph.p_memsz;
    if (end > loadEnd)
      loadEnd = end;
    if ((ph.p_flags & PF_X) != 0 && end > codeEnd)
      codeEnd = end;
  }
  const uint64_t end = codeEnd != 0 ? codeEnd : loadEnd;
  image->text_size = end > header_addr ? end - header_addr : 0;

  vucrash_nasync_elf_tables_init(&image->tables, task, image->slide, image->phdr_addr,
                                 image->phnum);
  return VUCRASH_ERR_NONE;
}

}  // namespace

vucrash_error_t vucrash_nasync_elf_init(vucrash_async_elf_t *image, vucrash_task_t task,
                                        const char *path, vucrash_vm_address_t header_addr) {
  vucrash_error_t err = elfInit(image, task, header_addr);
  if (err != VUCRASH_ERR_NONE)
    return err;
  image->name = strdup(path != nullptr ? path : "");
  if (image->name == nullptr)
    return VUCRASH_ERR_NOMEM;
  return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_elf_init_borrowed(vucrash_async_elf_t *image, vucrash_task_t task,
                                                const char *path, vucrash_vm_address_t header_addr) {
  vucrash_error_t err = elfInit(image, task, header_addr);
  image->name = const_cast<char *>(path != nullptr ? path : "");
  return err;
}

void vucrash_nasync_elf_free(vucrash_async_elf_t *image) {
  free(image->name);
  image->name = nullptr;
}

bool vucrash_async_elf_contains_address(const vucrash_async_elf_t *image,
                                        vucrash_vm_address_t address) {
  return address >= image->header_addr && address - image->header_addr < image->text_size;
}

uint64_t vucrash_async_elf_cpu_type(const vucrash_async_elf_t *image) {
  switch (image->machine) {
    case EM_X86_64: return VUCRASH_CPU_TYPE_X86_64;
    case EM_386: return VUCRASH_CPU_TYPE_X86;
    case EM_AARCH64: return VUCRASH_CPU_TYPE_ARM64;
    default: return 0;
  }
}

uint64_t vucrash_async_elf_cpu_subtype(const vucrash_async_elf_t *image) {
  switch (image->machine) {
    case EM_X86_64: return VUCRASH_CPU_SUBTYPE_X86_64_ALL;
    case EM_386: return 3;  // CPU_SUBTYPE_I386_ALL
    case EM_AARCH64: return VUCRASH_CPU_SUBTYPE_ARM64_ALL;
    default: return 0;
  }
}

vucrash_error_t vucrash_async_elf_find_symbol_by_pc(const vucrash_async_elf_t *image,
                                                    vucrash_vm_address_t pc,
                                                    vucrash_async_elf_found_symbol_cb callback,
                                                    void *ctx) {
  return vucrash_async_elf_tables_find_symbol_by_pc(&image->tables, pc, callback, ctx);
}
