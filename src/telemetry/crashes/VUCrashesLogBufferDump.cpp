// Crash-time code: runs in the crashed process from the crash reporter's post-crash
// callback. No allocation, no locks, no stdio, no exceptions: open, write, close and unlink
// on memory prepared at ordinary times.
#include "telemetry/crashes/VUCrashesLogBuffer.h"

#include "VUCrashReporter.h"

#include <fcntl.h>
#include <unistd.h>

std::atomic<bool> writeBufferTaskStarted{false};

namespace {

void saveFile(const void *bytes, size_t length, const char *path)
{
    // Non-blocking: a pipe put in place of the file must not hold the crashed process.
    if (path == nullptr || path[0] == 0)
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    if (length > 0)
        (void)!write(fd, bytes, length);
    close(fd);
}

} // namespace

extern "C" void vu_save_log_buffer(void)
{
    writeBufferTaskStarted.store(true);
    VUCrashesLogBuffer::Slot *table = VUCrashesLogBuffer::slotTable();
    if (table == nullptr)
        return;
    for (int i = 0; i < VUCrashesLogBuffer::kSlotCount; ++i) {
        VUCrashesLogBuffer::Slot &slot = table[i];
        const bool ready = slot.ready.load(std::memory_order_acquire) != 0;
        const size_t length = ready && slot.bufferLength <= VUCrashesLogBuffer::kBufferRoom ? slot.bufferLength : 0;
        saveFile(slot.buffer, length, VUCrashesLogBuffer::bufferPath(i));
        const size_t tokenLength =
            ready && slot.tokenLength <= VUCrashesLogBuffer::kTokenRoom ? slot.tokenLength : 0;
        const char *tokenPath = VUCrashesLogBuffer::targetTokenPath(i);
        if (tokenLength > 0)
            saveFile(slot.token, tokenLength, tokenPath);
        else if (tokenPath != nullptr && tokenPath[0] != 0)
            // An old token file would otherwise travel with a later log of this slot.
            unlink(tokenPath);
    }
}

void vucr_post_crash_callback(siginfo_t *, ucontext_t *, void *)
{
    vu_save_log_buffer();
}

VUCrashReporterCallbacks vuCrashCallbacks = {0, nullptr, vucr_post_crash_callback};
