#pragma once
// The failures a test asks of one simulated device, read from its "faults.plist".
//
// Keys of the file (a dictionary; every key optional):
//   "FailCalls"  array of {"EntryPoint": name, "Call": N (1 = the first call), "Error": code,
//                "Repeat": bool}: the Nth call of that entry point on this device fails with
//                the code (default: kAFCUnknownError for AFC…, else kAMDUndefinedError); with
//                "Repeat" every call from the Nth on fails.
//   "ShortReads" array of {"Path": device path (optional), "Offset": n}: a read that would
//                cross the offset stops there (the next read goes on normally).
//   "ReadErrors" array of {"Path": optional, "Offset": n, "Error": code (default
//                kAFCReadError)}: reads stop short of the offset, and a read starting there
//                fails.
//   "Disconnect" {"Path": optional, "Offset": n}: a read or write reaching the offset
//                unplugs the device (it detaches; every later call on it fails) until the
//                fault file changes or goes away.
//   "Slow"       {"CallDelayMilliseconds": n, "BytesPerSecond": n}: every call waits, and
//                reads and writes take at least their size at that rate.
// Call counts start again whenever the file changes. Thread-safe.

#include "PlistFile.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mobiledevice {

class FaultPlan
{
public:
    explicit FaultPlan(const std::string &path) : mFile(path) {}

    // Counts a call of `entryPoint` (after the slow-device delay) and returns the error it
    // must fail with, if any.
    std::optional<int32_t> call(const char *entryPoint);

    struct Transfer
    {
        uint32_t length = 0;              // bytes to move now (may be less than asked)
        std::optional<int32_t> error;     // fail this call instead
        bool unplug = false;              // unplug the device (after moving `length`)
    };
    // Cuts a read or write of `length` bytes at `position` of `path` by the faults asked.
    Transfer transfer(const std::string &path, uint64_t position, uint32_t length, bool isRead);
    // Sleeps as a slow device would for `bytes`.
    void throttle(uint64_t bytes);

private:
    struct FailCall { std::string entryPoint; long long call = 0; int32_t error = 0; bool repeat = false; };
    struct Cut { std::string path; uint64_t offset = 0; int32_t error = 0; };
    struct Plan
    {
        std::vector<FailCall> failCalls;
        std::vector<Cut> shortReads;
        std::vector<Cut> readErrors;
        std::optional<Cut> disconnect;
        long long callDelayMs = 0;
        long long bytesPerSecond = 0;
    };
    void refresh(); // mMutex held

    PlistFile mFile;
    std::mutex mMutex;
    Plan mPlan;
    std::map<std::string, long long> mCounts;
};

} // namespace mobiledevice
