#include "telemetry/crashes/VUCrashesLogBuffer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

namespace {

VUCrashesLogBuffer::Slot *gSlots = nullptr;
char gBufferPaths[VUCrashesLogBuffer::kSlotCount][VUCrashesLogBuffer::kPathRoom];
char gTokenPaths[VUCrashesLogBuffer::kSlotCount][VUCrashesLogBuffer::kPathRoom];
std::mutex gSetupLock;

void copyPath(char (&to)[VUCrashesLogBuffer::kPathRoom], const char *from)
{
    // A path that does not fit is left empty: the dump then skips that file.
    if (from == nullptr || std::strlen(from) >= sizeof to) {
        to[0] = 0;
        return;
    }
    std::strcpy(to, from);
}

VUCrashesLogBuffer::Slot *mapSlots(const char *path)
{
    const size_t size = sizeof(VUCrashesLogBuffer::Slot) * VUCrashesLogBuffer::kSlotCount;
    void *memory = MAP_FAILED;
    const int fd = path ? open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (fd >= 0) {
        if (ftruncate(fd, off_t(size)) == 0)
            memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
    }
    if (memory == MAP_FAILED)
        memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : static_cast<VUCrashesLogBuffer::Slot *>(memory);
}

} // namespace

VUCrashesLogBuffer::Slot *VUCrashesLogBuffer::slotTable()
{
    return gSlots;
}

const char *VUCrashesLogBuffer::bufferPath(int slot)
{
    return slot >= 0 && slot < kSlotCount ? gBufferPaths[slot] : nullptr;
}

const char *VUCrashesLogBuffer::targetTokenPath(int slot)
{
    return slot >= 0 && slot < kSlotCount ? gTokenPaths[slot] : nullptr;
}

bool VUCrashesLogBuffer::setup(const char *slotFilePath, const char *const bufferPaths[kSlotCount],
                               const char *const tokenPaths[kSlotCount])
{
    std::lock_guard guard(gSetupLock);
    if (!gSlots)
        gSlots = mapSlots(slotFilePath);
    if (!gSlots)
        return false;
    for (int i = 0; i < kSlotCount; ++i) {
        Slot &slot = gSlots[i];
        slot.ready.store(0, std::memory_order_release);
        slot.bufferLength = slot.tokenLength = 0;
        slot.timestamp = 0;
        slot.internalId[0] = 0;
        copyPath(gBufferPaths[i], bufferPaths[i]);
        copyPath(gTokenPaths[i], tokenPaths[i]);
    }
    return true;
}
