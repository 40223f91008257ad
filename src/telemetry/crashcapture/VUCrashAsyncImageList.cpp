// vucrash_nasync_* allocate and run at ordinary times; vucrash_async_* are crash-time code
// (no heap, no locks, no stdio).
#include "VUCrashAsyncImageList.h"

#include <dlfcn.h>
#include <elf.h>
#include <limits.h>
#include <link.h>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

vucrash_async_image_list_t shared_image_list;

vucrash_vm_address_t vucrash_async_image_header_addr(const vucrash_async_image_t *image) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO ? image->macho.header_addr
                                                    : image->elf.header_addr;
}

const char *vucrash_async_image_name(const vucrash_async_image_t *image) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO ? image->macho.name : image->elf.name;
}

bool vucrash_async_image_contains_address(const vucrash_async_image_t *image,
                                          vucrash_vm_address_t address) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO
             ? vucrash_async_macho_contains_address(&image->macho, address)
             : vucrash_async_elf_contains_address(&image->elf, address);
}

uint64_t vucrash_async_image_text_size(const vucrash_async_image_t *image) {
  return image->format == VUCRASH_ASYNC_IMAGE_MACHO ? image->macho.text_size
                                                    : image->elf.text_size;
}

vucrash_error_t vucrash_async_image_map_section(const vucrash_async_image_t *image,
                                                const char *segname, const char *sectname,
                                                vucrash_async_mobject_t *mobj) {
  if (image->format == VUCRASH_ASYNC_IMAGE_MACHO)
    return vucrash_async_macho_map_section(&image->macho, segname, sectname, mobj);
  if (vucrash_async_strcmp(segname, "__TEXT") != 0)
    return VUCRASH_ERR_NOTFOUND;
  if (vucrash_async_strcmp(sectname, "__eh_frame") == 0)
    return vucrash_async_elf_tables_map_eh_frame(&image->elf.tables, mobj);
  if (vucrash_async_strcmp(sectname, "__eh_frame_hdr") == 0)
    return vucrash_async_elf_tables_map_eh_frame_hdr(&image->elf.tables, mobj);
  return VUCRASH_ERR_NOTFOUND;
}

namespace {

// The ELF header address of a loaded object: where its PT_LOAD at file offset 0 lies.
bool headerOf(const struct dl_phdr_info *info, vucrash_vm_address_t *header) {
  for (size_t i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0) {
      *header = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
      return true;
    }
  }
  return false;
}

struct Executable {
  vucrash_vm_address_t header = 0;
  bool found = false;
};

int findExecutable(struct dl_phdr_info *info, size_t, void *context) {
  Executable *exe = static_cast<Executable *>(context);
  exe->found = headerOf(info, &exe->header);
  return 1;  // the loader reports the executable first
}

}  // namespace

vucrash_error_t vucrash_nasync_image_list_init(vucrash_async_image_list_t *list,
                                               vucrash_task_t task) {
  memset(list, 0, sizeof(*list));
  list->task = task;
  list->list = static_cast<vucrash_async_image_async_list *>(
      calloc(1, sizeof(vucrash_async_image_async_list)));
  if (list->list == nullptr)
    return VUCRASH_ERR_NOMEM;
  new (list->list) vucrash_async_image_async_list();

  // A report without images is refused by every reader: the executable is listed from the
  // start, before any refresh.
  Executable exe;
  dl_iterate_phdr(findExecutable, &exe);
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  path[n > 0 ? n : 0] = 0;
  if (exe.found)
    vucrash_nasync_image_list_append(list, exe.header, path);
  return VUCRASH_ERR_NONE;
}

void vucrash_nasync_image_list_append(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header, const char *path) {
  vucrash_async_image_t *image =
      static_cast<vucrash_async_image_t *>(calloc(1, sizeof(vucrash_async_image_t)));
  if (image == nullptr)
    return;
  vucrash_error_t err = vucrash_nasync_elf_init(&image->elf, list->task, path, header);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Unexpected failure initializing ELF structure for %s: %d", path,
             static_cast<int>(err));
    vucrash_nasync_elf_free(&image->elf);
    free(image);
    return;
  }
  list->list->nasync_append(image);
}

void vucrash_nasync_image_list_append_macho(vucrash_async_image_list_t *list,
                                            vucrash_vm_address_t header, const char *path) {
  vucrash_async_image_t *image =
      static_cast<vucrash_async_image_t *>(calloc(1, sizeof(vucrash_async_image_t)));
  if (image == nullptr)
    return;
  image->format = VUCRASH_ASYNC_IMAGE_MACHO;
  vucrash_error_t err = vucrash_nasync_macho_init(&image->macho, list->task, path, header);
  if (err != VUCRASH_ERR_NONE) {
    VUCR_LOG("Unexpected failure initializing Mach-O structure for %s: %d", path,
             static_cast<int>(err));
    free(image);
    return;
  }
  list->list->nasync_append(image);
}

void vucrash_nasync_image_list_remove(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header) {
  list->list->set_reading(true);
  vucrash_async_image_async_list::node *found = nullptr;
  for (auto *n = list->list->next(nullptr); n != nullptr; n = list->list->next(n)) {
    if (vucrash_async_image_header_addr(n->value()) == header) {
      found = n;
      break;
    }
  }
  if (found != nullptr)
    list->list->nasync_remove_node(found);
  else
    VUCR_LOG("Can't find header addr=%llu in image list.",
             static_cast<unsigned long long>(header));
  list->list->set_reading(false);
}

namespace {

struct LoadedImage {
  vucrash_vm_address_t header;
  char *path;
};

struct LoadedImages {
  LoadedImage *items = nullptr;
  size_t count = 0;
  size_t capacity = 0;
  bool first = true;
  bool failed = false;
};

int collectImage(struct dl_phdr_info *info, size_t, void *context) {
  LoadedImages *images = static_cast<LoadedImages *>(context);
  const bool isExecutable = images->first;
  images->first = false;
  vucrash_vm_address_t header = 0;
  if (!headerOf(info, &header))
    return 0;

  // The loader names neither the executable nor the vDSO.
  char *path = nullptr;
  if (info->dlpi_name != nullptr && info->dlpi_name[0] != 0) {
    path = strdup(info->dlpi_name);
  } else if (isExecutable) {
    char buffer[4096];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    buffer[n > 0 ? n : 0] = 0;
    path = strdup(buffer);
  } else {
    path = strdup("[vdso]");
  }
  if (path == nullptr) {
    images->failed = true;
    return 1;
  }
  if (images->count == images->capacity) {
    size_t capacity = images->capacity == 0 ? 64 : images->capacity * 2;
    void *grown = realloc(images->items, capacity * sizeof(LoadedImage));
    if (grown == nullptr) {
      free(path);
      images->failed = true;
      return 1;
    }
    images->items = static_cast<LoadedImage *>(grown);
    images->capacity = capacity;
  }
  images->items[images->count++] = {header, path};
  return 0;
}

}  // namespace

void vucrash_nasync_image_list_refresh(vucrash_async_image_list_t *list) {
  LoadedImages loaded;
  dl_iterate_phdr(collectImage, &loaded);

  if (!loaded.failed) {
    // Unloaded images leave the list; only a complete view of the loader may say so.
    list->list->set_reading(true);
    for (auto *n = list->list->next(nullptr); n != nullptr;) {
      auto *next = list->list->next(n);
      bool present = n->value()->format == VUCRASH_ASYNC_IMAGE_MACHO;
      for (size_t i = 0; i < loaded.count && !present; ++i)
        present = loaded.items[i].header == vucrash_async_image_header_addr(n->value());
      if (!present)
        list->list->nasync_remove_node(n);
      n = next;
    }
    list->list->set_reading(false);
  }

  for (size_t i = 0; i < loaded.count; ++i) {
    list->list->set_reading(true);
    bool listed = false;
    for (auto *n = list->list->next(nullptr); n != nullptr && !listed; n = list->list->next(n))
      listed = vucrash_async_image_header_addr(n->value()) == loaded.items[i].header;
    list->list->set_reading(false);
    if (!listed)
      vucrash_nasync_image_list_append(list, loaded.items[i].header, loaded.items[i].path);
    free(loaded.items[i].path);
  }
  free(loaded.items);
}

void vucrash_nasync_image_list_free(vucrash_async_image_list_t *list) {
  list->list->set_reading(true);
  for (auto *n = list->list->next(nullptr); n != nullptr; n = list->list->next(n)) {
    if (n->value()->format == VUCRASH_ASYNC_IMAGE_MACHO)
      vucrash_nasync_macho_free(&n->value()->macho);
    else
      vucrash_nasync_elf_free(&n->value()->elf);
    free(n->value());
  }
  list->list->set_reading(false);
  list->list->~async_list();
  free(list->list);
  list->list = nullptr;
  free(list->reserved);
  free(list->reserved_names);
  list->reserved = nullptr;
  list->reserved_names = nullptr;
  list->reserved_capacity = list->reserved_count = 0;
}

void vucrash_async_image_list_set_reading(vucrash_async_image_list_t *list, bool enable) {
  list->list->set_reading(enable);
}

vucrash_async_image_t *vucrash_async_image_list_next(vucrash_async_image_list_t *list,
                                                     vucrash_async_image_t *current) {
  const uint32_t extra = __atomic_load_n(&list->reserved_count, __ATOMIC_ACQUIRE);
  if (current != nullptr && current->reserved) {
    const uint32_t index = static_cast<uint32_t>(current - list->reserved) + 1;
    return index < extra ? &list->reserved[index] : nullptr;
  }
  vucrash_async_image_async_list::node *n =
      list->list->next(current != nullptr ? current->node : nullptr);
  if (n == nullptr)
    return extra > 0 ? &list->reserved[0] : nullptr;
  vucrash_async_image_t *image = n->value();
  vucrash_async_image_async_list::node *expected = nullptr;
  __atomic_compare_exchange_n(&image->node, &expected, n, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return image;
}

vucrash_async_image_t *vucrash_async_image_containing_address(vucrash_async_image_list_t *list,
                                                              vucrash_vm_address_t address) {
  for (vucrash_async_image_t *image = vucrash_async_image_list_next(list, nullptr);
       image != nullptr; image = vucrash_async_image_list_next(list, image)) {
    if (vucrash_async_image_contains_address(image, address))
      return image;
  }
  return nullptr;
}

vucrash_error_t vucrash_nasync_image_list_reserve(vucrash_async_image_list_t *list,
                                                  uint32_t count) {
  if (list->reserved != nullptr || count == 0)
    return VUCRASH_ERR_NONE;
  auto *records =
      static_cast<vucrash_async_image_t *>(calloc(count, sizeof(vucrash_async_image_t)));
  auto *names = static_cast<char *>(calloc(count, PATH_MAX));
  if (records == nullptr || names == nullptr) {
    free(records);
    free(names);
    return VUCRASH_ERR_NOMEM;
  }
  for (uint32_t i = 0; i < count; ++i)
    records[i].reserved = true;
  list->reserved_names = names;
  list->reserved_capacity = count;
  __atomic_store_n(&list->reserved, records, __ATOMIC_RELEASE);
  return VUCRASH_ERR_NONE;
}

void *vucrash_nasync_dlopen(const char *path, int flags) {
  void *handle = dlopen(path, flags);
  if (handle != nullptr && shared_image_list.list != nullptr)
    vucrash_nasync_image_list_refresh(&shared_image_list);
  return handle;
}

int vucrash_nasync_dlclose(void *handle) {
  int result = dlclose(handle);
  if (shared_image_list.list != nullptr)
    vucrash_nasync_image_list_refresh(&shared_image_list);
  return result;
}

namespace {

// Bounds the walk of the loader's map, which a corrupted process may have turned into a loop.
constexpr uint32_t kMaxLoaderObjects = 4096;

bool listed(vucrash_async_image_list_t *list, vucrash_vm_address_t header) {
  for (vucrash_async_image_t *image = vucrash_async_image_list_next(list, nullptr);
       image != nullptr; image = vucrash_async_image_list_next(list, image)) {
    if (vucrash_async_image_header_addr(image) == header)
      return true;
  }
  return false;
}

}  // namespace

uint32_t vucrash_async_image_list_sync_loader(vucrash_async_image_list_t *list) {
  if (list->list == nullptr || list->reserved == nullptr)
    return 0;
  struct r_debug debug;
  if (vucrash_async_read_addr(list->task, reinterpret_cast<vucrash_vm_address_t>(&_r_debug),
                              &debug, sizeof(debug)) != VUCRASH_ERR_NONE ||
      debug.r_state != r_debug::RT_CONSISTENT)
    return 0;

  uint32_t added = 0;
  list->list->set_reading(true);
  vucrash_vm_address_t at = reinterpret_cast<vucrash_vm_address_t>(debug.r_map);
  for (uint32_t walked = 0; at != 0 && walked < kMaxLoaderObjects; ++walked) {
    struct link_map map;
    if (vucrash_async_read_addr(list->task, at, &map, sizeof(map)) != VUCRASH_ERR_NONE)
      break;
    at = reinterpret_cast<vucrash_vm_address_t>(map.l_next);
    // Shared objects are linked at 0, so their header lies at the load bias; the executable
    // (no name) is always listed already.
    const vucrash_vm_address_t header = map.l_addr;
    uint32_t slot = list->reserved_count;
    if (map.l_name == nullptr || slot >= list->reserved_capacity || listed(list, header))
      continue;
    char *name = list->reserved_names + static_cast<size_t>(slot) * PATH_MAX;
    size_t length = 0;
    for (; length < PATH_MAX - 1; ++length) {
      char c;
      if (vucrash_async_read_addr(list->task,
                                  reinterpret_cast<vucrash_vm_address_t>(map.l_name) + length,
                                  &c, 1) != VUCRASH_ERR_NONE || c == 0)
        break;
      name[length] = c;
    }
    name[length] = 0;
    if (length == 0)
      continue;
    vucrash_async_image_t *record = &list->reserved[slot];
    record->format = VUCRASH_ASYNC_IMAGE_ELF;
    if (vucrash_async_elf_init_borrowed(&record->elf, list->task, name, header) !=
        VUCRASH_ERR_NONE) {
      record->reserved = true;
      continue;
    }
    record->reserved = true;
    __atomic_store_n(&list->reserved_count, slot + 1, __ATOMIC_RELEASE);
    ++added;
  }
  list->list->set_reading(false);
  return added;
}
