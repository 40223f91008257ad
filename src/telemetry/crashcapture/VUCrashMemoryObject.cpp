// Crash-time rules for this file: no heap, no locks, no stdio; only process_vm_readv.
#include "VUCrashMemoryObject.h"

#include <sys/uio.h>

namespace {

const uint64_t &gPageSize = vucrash_page_size_value;

// Number of readable pages at the start of [first, first + count pages): one byte of each page
// is read, and process_vm_readv stops at the first page it cannot read.
uint64_t readablePages(vucrash_task_t task, uint64_t first, uint64_t count)
{
    constexpr uint64_t batch = 64;
    uint8_t sink[batch];
    uint64_t done = 0;
    while (done < count) {
        uint64_t n = count - done < batch ? count - done : batch;
        iovec local{sink, static_cast<size_t>(n)};
        iovec remote[batch];
        for (uint64_t i = 0; i < n; ++i)
            remote[i] = iovec{reinterpret_cast<void *>(first + (done + i) * gPageSize), 1};
        ssize_t got = process_vm_readv(task, &local, 1, remote, n, 0);
        if (got <= 0)
            return done;
        done += static_cast<uint64_t>(got);
        if (static_cast<uint64_t>(got) < n)
            return done;
    }
    return done;
}

} // namespace

vucrash_error_t vucrash_async_mobject_init(vucrash_async_mobject_t *mobj, vucrash_task_t task, uint64_t task_addr,
                                           uint64_t length, bool require_full)
{
    if (length == 0 || task_addr + length < task_addr)
        return VUCRASH_ERR_INVAL;

    uint64_t pageBase = task_addr & ~(gPageSize - 1);
    uint64_t end = task_addr + length;
    uint64_t pages = (end - pageBase + gPageSize - 1) / gPageSize;
    if (pages > (UINT64_MAX - pageBase) / gPageSize)
        return VUCRASH_ERR_INVAL;

    uint64_t readable = readablePages(task, pageBase, pages);
    if (readable < pages && require_full) {
        VUCR_LOG("Page at 0x%llx is not readable", (unsigned long long)(pageBase + readable * gPageSize));
        return VUCRASH_ERR_NOMEM;
    }
    if (readable == 0) {
        VUCR_LOG("No mappable pages found at 0x%llx", (unsigned long long)task_addr);
        return VUCRASH_ERR_NOMEM;
    }

    mobj->task = task;
    mobj->vm_address = static_cast<uintptr_t>(pageBase);
    mobj->vm_length = readable * gPageSize;
    mobj->address = static_cast<uintptr_t>(task_addr);
    uint64_t pageOffset = task_addr - pageBase;
    uint64_t available = mobj->vm_length - pageOffset;
    mobj->length = length < available ? length : available;
    mobj->base_address = task_addr;
    mobj->slide = static_cast<int64_t>(task_addr - mobj->address);
    return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_mobject_init_in_segment(vucrash_async_mobject_t *mobj, vucrash_task_t task,
                                                      uint64_t task_addr, uint64_t length)
{
    if (length == 0 || task_addr + length < task_addr)
        return VUCRASH_ERR_INVAL;
    uint64_t firstPage = task_addr & ~(gPageSize - 1);
    uint64_t lastPage = (task_addr + length - 1) & ~(gPageSize - 1);
    uint8_t sink[2];
    iovec local{sink, 2};
    iovec remote[2] = {{reinterpret_cast<void *>(firstPage), 1}, {reinterpret_cast<void *>(lastPage), 1}};
    if (process_vm_readv(task, &local, 1, remote, 2, 0) != 2)
        return vucrash_async_mobject_init(mobj, task, task_addr, length, false);

    mobj->task = task;
    mobj->vm_address = static_cast<uintptr_t>(firstPage);
    mobj->vm_length = lastPage + gPageSize - firstPage;
    mobj->address = static_cast<uintptr_t>(task_addr);
    mobj->length = length;
    mobj->base_address = task_addr;
    mobj->slide = 0;
    return VUCRASH_ERR_NONE;
}

void vucrash_async_mobject_free(vucrash_async_mobject_t *mobj)
{
    // Nothing was mapped: the object only describes memory that is already ours.
    mobj->vm_length = 0;
    mobj->length = 0;
}

uint64_t vucrash_async_mobject_base_address(const vucrash_async_mobject_t *mobj) { return mobj->base_address; }
uint64_t vucrash_async_mobject_length(const vucrash_async_mobject_t *mobj) { return mobj->length; }
vucrash_task_t vucrash_async_mobject_task(const vucrash_async_mobject_t *mobj) { return mobj->task; }

bool vucrash_async_mobject_verify_local_pointer(const vucrash_async_mobject_t *mobj, uintptr_t address, int64_t offset,
                                               uint64_t length)
{
    uint64_t start;
    if (!vucrash_async_address_apply_offset(address, offset, &start))
        return false;
    if (length > UINT64_MAX - start)
        return false;
    uint64_t begin = mobj->address;
    uint64_t end = begin + mobj->length;
    return start >= begin && start + length <= end && start <= end;
}

void *vucrash_async_mobject_remap_address(const vucrash_async_mobject_t *mobj, uint64_t address, int64_t offset,
                                          uint64_t length)
{
    uint64_t local;
    if (!vucrash_async_address_apply_offset(address, -mobj->slide, &local))
        return nullptr;
    if (!vucrash_async_mobject_verify_local_pointer(mobj, static_cast<uintptr_t>(local), offset, length))
        return nullptr;
    return reinterpret_cast<void *>(static_cast<uintptr_t>(local + offset));
}

vucrash_error_t vucrash_async_mobject_read_uint8(const vucrash_async_mobject_t *mobj, uint64_t address, int64_t offset,
                                                 uint8_t *result)
{
    auto *p = static_cast<const uint8_t *>(vucrash_async_mobject_remap_address(mobj, address, offset, 1));
    if (!p)
        return VUCRASH_ERR_INVAL;
    *result = *p;
    return VUCRASH_ERR_NONE;
}

template<typename T>
static vucrash_error_t readValue(const vucrash_async_mobject_t *mobj, uint64_t address, int64_t offset, T *result)
{
    void *p = vucrash_async_mobject_remap_address(mobj, address, offset, sizeof(T));
    if (!p)
        return VUCRASH_ERR_INVAL;
    vucrash_async_memcpy(result, p, sizeof(T));
    return VUCRASH_ERR_NONE;
}

vucrash_error_t vucrash_async_mobject_read_uint16(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint16_t *result)
{
    vucrash_error_t err = readValue(mobj, address, offset, result);
    if (err == VUCRASH_ERR_NONE)
        *result = byteorder->swap16(*result);
    return err;
}

vucrash_error_t vucrash_async_mobject_read_uint32(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint32_t *result)
{
    vucrash_error_t err = readValue(mobj, address, offset, result);
    if (err == VUCRASH_ERR_NONE)
        *result = byteorder->swap32(*result);
    return err;
}

vucrash_error_t vucrash_async_mobject_read_uint64(const vucrash_async_mobject_t *mobj,
                                                  const vucrash_async_byteorder_t *byteorder, uint64_t address,
                                                  int64_t offset, uint64_t *result)
{
    vucrash_error_t err = readValue(mobj, address, offset, result);
    if (err == VUCRASH_ERR_NONE)
        *result = byteorder->swap64(*result);
    return err;
}
