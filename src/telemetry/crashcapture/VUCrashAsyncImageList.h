#pragma once
// The process-wide list of loaded images that crash-time code reads without locks.
//
// Writers ("nasync": init, append, remove, refresh, free) run at ordinary times and may
// allocate. Readers run at crash time: mark the list with set_reading(true), walk with
// vucrash_async_image_list_next or look up with vucrash_async_image_containing_address, and
// unmark on every exit path. An image record, once appended, stays valid for the life of the
// process (removal unlinks it but does not free it).

#include "VUCrashAsync.h"
#include "VUCrashAsyncElfImage.h"
#include "VUCrashAsyncList.h"

struct vucrash_async_image_t;
typedef vucrash::VU::async::async_list<vucrash_async_image_t *> vucrash_async_image_async_list;

struct vucrash_async_image_t {
  vucrash_async_elf_t elf;
  // The node holding this image, set by the first iteration that reaches it.
  vucrash_async_image_async_list::node *node;
};

struct vucrash_async_image_list_t {
  vucrash_task_t task;
  vucrash_async_image_async_list *list;
};

// The images of this process; lives for the whole process.
extern vucrash_async_image_list_t shared_image_list;

vucrash_error_t vucrash_nasync_image_list_init(vucrash_async_image_list_t *list,
                                               vucrash_task_t task);
void vucrash_nasync_image_list_append(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header, const char *path);
void vucrash_nasync_image_list_remove(vucrash_async_image_list_t *list,
                                      vucrash_vm_address_t header);
// Brings the list in line with what the dynamic loader has mapped now: appends images it
// lacks (in the loader's order) and removes images that were unloaded. There are no loader
// callbacks on this system, so the reporter calls this when it is enabled.
void vucrash_nasync_image_list_refresh(vucrash_async_image_list_t *list);
void vucrash_nasync_image_list_free(vucrash_async_image_list_t *list);

void vucrash_async_image_list_set_reading(vucrash_async_image_list_t *list, bool enable);
vucrash_async_image_t *vucrash_async_image_list_next(vucrash_async_image_list_t *list,
                                                     vucrash_async_image_t *current);
vucrash_async_image_t *vucrash_async_image_containing_address(vucrash_async_image_list_t *list,
                                                              vucrash_vm_address_t address);
