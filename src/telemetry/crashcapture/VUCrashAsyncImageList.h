#pragma once
// The process-wide list of loaded images that crash-time code reads without locks.
//
// Writers ("nasync": init, append, remove, refresh, free) run at ordinary times and may
// allocate. Readers run at crash time: mark the list with set_reading(true), walk with
// vucrash_async_image_list_next or look up with vucrash_async_image_containing_address, and
// unmark on every exit path. An image record, once appended, stays valid for the life of the
// process (removal unlinks it but does not free it).
//
// The list starts with the executable, so no report is ever without an image. There are no
// loader callbacks on this system: the reporter refreshes the list when it is enabled, the
// dlopen/dlclose wrappers below after every load and unload, and at crash time
// vucrash_async_image_list_sync_loader adds what the loader mapped since (a plain dlopen) into
// records reserved at enable; iteration reaches those after the listed images.
//
// Images are ELF objects of this process; Mach-O images (the readers' test fixtures) can be
// listed beside them.

#include "VUCrashAsync.h"
#include "VUCrashAsyncElfImage.h"
#include "VUCrashAsyncList.h"
#include "VUCrashMachO.h"

struct vucrash_async_image_t;
typedef vucrash::VU::async::async_list<vucrash_async_image_t *> vucrash_async_image_async_list;

enum vucrash_async_image_format_t : uint8_t {
  VUCRASH_ASYNC_IMAGE_ELF = 0,
  VUCRASH_ASYNC_IMAGE_MACHO = 1,
};

struct vucrash_async_image_t {
  vucrash_async_image_format_t format;
  vucrash_async_elf_t elf;      // when format is ELF
  vucrash_async_macho_t macho;  // when format is Mach-O
  // The node holding this image, set by the first iteration that reaches it.
  vucrash_async_image_async_list::node *node;
  // A record reserved at enable and filled at crash time (never on the list).
  bool reserved;
};

struct vucrash_async_image_list_t {
  vucrash_task_t task;
  vucrash_async_image_async_list *list;
  // Records for images found at crash time, each with room for its path.
  vucrash_async_image_t *reserved;
  char *reserved_names;
  uint32_t reserved_capacity;
  uint32_t reserved_count;
};

// Header address, text range and symbol lookup of either kind of image.
vucrash_vm_address_t vucrash_async_image_header_addr(const vucrash_async_image_t *image);
const char *vucrash_async_image_name(const vucrash_async_image_t *image);
bool vucrash_async_image_contains_address(const vucrash_async_image_t *image,
                                          vucrash_vm_address_t address);
uint64_t vucrash_async_image_text_size(const vucrash_async_image_t *image);
// A section of either kind of image, by its Mach-O names. An ELF image answers
// ("__TEXT", "__eh_frame") with .eh_frame and ("__TEXT", "__eh_frame_hdr") with its search
// table; it has no "__unwind_info" and nothing else (VUCRASH_ERR_NOTFOUND).
vucrash_error_t vucrash_async_image_map_section(const vucrash_async_image_t *image,
                                                const char *segname, const char *sectname,
                                                vucrash_async_mobject_t *mobj);

// The images of this process; lives for the whole process.
extern vucrash_async_image_list_t shared_image_list;

vucrash_error_t vucrash_nasync_image_list_init(vucrash_async_image_list_t *list,
                                               vucrash_task_t task);
void vucrash_nasync_image_list_append(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header, const char *path);
void vucrash_nasync_image_list_append_macho(vucrash_async_image_list_t *list,
                                            vucrash_vm_address_t header, const char *path);
void vucrash_nasync_image_list_remove(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header);
// Brings the list in line with what the dynamic loader has mapped now: appends images it
// lacks (in the loader's order) and removes images that were unloaded. There are no loader
// callbacks on this system, so the reporter calls this when it is enabled.
void vucrash_nasync_image_list_refresh(vucrash_async_image_list_t *list);
void vucrash_nasync_image_list_free(vucrash_async_image_list_t *list);
// Reserves records (and path buffers) for images the crash-time sync may find.
vucrash_error_t vucrash_nasync_image_list_reserve(vucrash_async_image_list_t *list,
                                                  uint32_t count);

// dlopen and dlclose that keep shared_image_list in line with the loader.
void *vucrash_nasync_dlopen(const char *path, int flags);
int vucrash_nasync_dlclose(void *handle);

// Crash time: adds images the loader has mapped that the list lacks (read from the loader's
// r_debug map while it is consistent) into the reserved records. Returns how many it added.
uint32_t vucrash_async_image_list_sync_loader(vucrash_async_image_list_t *list);

void vucrash_async_image_list_set_reading(vucrash_async_image_list_t *list, bool enable);
vucrash_async_image_t *vucrash_async_image_list_next(vucrash_async_image_list_t *list,
                                                     vucrash_async_image_t *current);
vucrash_async_image_t *vucrash_async_image_containing_address(vucrash_async_image_list_t *list,
                                                              vucrash_vm_address_t address);
