// vucrash_nasync_* allocate and run at ordinary times; vucrash_async_* are crash-time code
// (no heap, no locks, no stdio).
#include "VUCrashAsyncImageList.h"

#include <elf.h>
#include <link.h>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

vucrash_async_image_list_t shared_image_list;

vucrash_error_t vucrash_nasync_image_list_init(vucrash_async_image_list_t *list,
                                               vucrash_task_t task) {
  list->task = task;
  list->list = static_cast<vucrash_async_image_async_list *>(
      calloc(1, sizeof(vucrash_async_image_async_list)));
  if (list->list == nullptr)
    return VUCRASH_ERR_NOMEM;
  new (list->list) vucrash_async_image_async_list();
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

void vucrash_nasync_image_list_remove(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header) {
  list->list->set_reading(true);
  vucrash_async_image_async_list::node *found = nullptr;
  for (auto *n = list->list->next(nullptr); n != nullptr; n = list->list->next(n)) {
    if (n->value()->elf.header_addr == header) {
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
  bool found = false;
  for (size_t i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0) {
      header = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
      found = true;
      break;
    }
  }
  if (!found)
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
      bool present = false;
      for (size_t i = 0; i < loaded.count && !present; ++i)
        present = loaded.items[i].header == n->value()->elf.header_addr;
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
      listed = n->value()->elf.header_addr == loaded.items[i].header;
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
    vucrash_nasync_elf_free(&n->value()->elf);
    free(n->value());
  }
  list->list->set_reading(false);
  list->list->~async_list();
  free(list->list);
  list->list = nullptr;
}

void vucrash_async_image_list_set_reading(vucrash_async_image_list_t *list, bool enable) {
  list->list->set_reading(enable);
}

vucrash_async_image_t *vucrash_async_image_list_next(vucrash_async_image_list_t *list,
                                                     vucrash_async_image_t *current) {
  vucrash_async_image_async_list::node *n =
      list->list->next(current != nullptr ? current->node : nullptr);
  if (n == nullptr)
    return nullptr;
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
    if (vucrash_async_elf_contains_address(&image->elf, address))
      return image;
  }
  return nullptr;
}
