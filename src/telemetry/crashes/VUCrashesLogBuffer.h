#pragma once
// The crash-safe log buffer's memory: 60 slots in one file of "crasheslogbuffer" mapped
// shared into the process, so a crash handler can write them out with plain system calls.
// Each slot has fixed room; a log whose archive (or token) does not fit is not buffered.
// A slot is marked ready only after its bytes are in place, so the dump never writes a
// half-filled slot as a log.
//
// The crashes service fills and frees slots under its buffer lock (ordinary times); the
// dump (vu_save_log_buffer) runs at crash time without any lock.

#include "VUCrashReporter.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace VUCrashesLogBuffer {

constexpr int kSlotCount = 60;
constexpr size_t kBufferRoom = 48 * 1024;
constexpr size_t kTokenRoom = 1024;
constexpr size_t kIdRoom = 64;
constexpr size_t kPathRoom = 1024;

struct Slot
{
    std::atomic<uint32_t> ready;
    uint32_t bufferLength;
    uint32_t tokenLength;
    uint32_t reserved;
    double timestamp;
    char internalId[kIdRoom];
    char token[kTokenRoom];
    uint8_t buffer[kBufferRoom];
};

// The slots (mapped at the first setup of a process) and each slot's file paths.
Slot *slotTable();
const char *bufferPath(int slot);
const char *targetTokenPath(int slot);

// Ordinary time: maps the slot file once per process (memory of its own when the file
// cannot be mapped), empties every slot and records each slot's file paths.
bool setup(const char *slotFilePath, const char *const bufferPaths[kSlotCount],
           const char *const tokenPaths[kSlotCount]);

} // namespace VUCrashesLogBuffer

// Set when the crash-time dump begins; never cleared.
extern std::atomic<bool> writeBufferTaskStarted;

// Crash time: writes every slot to its buffer file (empty unless ready) and its token to
// the token file (which is removed when the slot has none).
extern "C" void vu_save_log_buffer(void);

// The callbacks record given to the crash reporter: the dump after a report was written.
void vucr_post_crash_callback(siginfo_t *info, ucontext_t *uap, void *context);
extern VUCrashReporterCallbacks vuCrashCallbacks;
