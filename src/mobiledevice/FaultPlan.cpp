#include "FaultPlan.h"

#include <mobiledevice/MobileDevice.h>

#include <chrono>
#include <thread>

namespace mobiledevice {

namespace {

std::vector<plist_t> arrayItems(plist_t dict, const char *key)
{
    std::vector<plist_t> items;
    plist_t array = dict ? plist_dict_get_item(dict, key) : nullptr;
    if (!array || plist_get_node_type(array) != PLIST_ARRAY)
        return items;
    for (uint32_t i = 0; i < plist_array_get_size(array); ++i) {
        plist_t item = plist_array_get_item(array, i);
        if (plist_get_node_type(item) == PLIST_DICT)
            items.push_back(item);
    }
    return items;
}

bool pathMatches(const std::string &wanted, const std::string &path)
{
    return wanted.empty() || wanted == path;
}

} // namespace

void FaultPlan::refresh()
{
    bool changed = false;
    SharedPlist root = mFile.current(&changed);
    if (!changed)
        return;
    mPlan = Plan();
    mCounts.clear();
    plist_t dict = root.get();
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    for (plist_t item : arrayItems(dict, "FailCalls")) {
        FailCall fail;
        fail.entryPoint = plistString(item, "EntryPoint");
        fail.call = plistInteger(item, "Call", 1);
        const bool isFile = fail.entryPoint.rfind("AFC", 0) == 0;
        fail.error = static_cast<int32_t>(plistInteger(item, "Error", isFile ? kAFCUnknownError : kAMDUndefinedError));
        fail.repeat = plistBool(item, "Repeat");
        mPlan.failCalls.push_back(fail);
    }
    for (plist_t item : arrayItems(dict, "ShortReads"))
        mPlan.shortReads.push_back({plistString(item, "Path"), static_cast<uint64_t>(plistInteger(item, "Offset")), 0});
    for (plist_t item : arrayItems(dict, "ReadErrors"))
        mPlan.readErrors.push_back({plistString(item, "Path"), static_cast<uint64_t>(plistInteger(item, "Offset")),
                                    static_cast<int32_t>(plistInteger(item, "Error", kAFCReadError))});
    if (plist_t disconnect = plistDict(dict, "Disconnect"))
        mPlan.disconnect = Cut{plistString(disconnect, "Path"), static_cast<uint64_t>(plistInteger(disconnect, "Offset")), 0};
    if (plist_t slow = plistDict(dict, "Slow")) {
        mPlan.callDelayMs = plistInteger(slow, "CallDelayMilliseconds");
        mPlan.bytesPerSecond = plistInteger(slow, "BytesPerSecond");
    }
}

std::optional<int32_t> FaultPlan::call(const char *entryPoint)
{
    long long delayMs = 0;
    std::optional<int32_t> result;
    {
        std::lock_guard lock(mMutex);
        refresh();
        delayMs = mPlan.callDelayMs;
        if (!mPlan.failCalls.empty()) {
            const long long count = ++mCounts[entryPoint];
            for (const FailCall &fail : mPlan.failCalls) {
                if (fail.entryPoint == entryPoint && (count == fail.call || (fail.repeat && count > fail.call))) {
                    result = fail.error;
                    break;
                }
            }
        }
    }
    if (delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    return result;
}

FaultPlan::Transfer FaultPlan::transfer(const std::string &path, uint64_t position, uint32_t length, bool isRead)
{
    std::lock_guard lock(mMutex);
    refresh();
    Transfer result;
    result.length = length;
    const uint64_t end = position + length;
    auto cutAt = [&](uint64_t offset) {
        if (offset > position && offset < end)
            result.length = static_cast<uint32_t>(offset - position);
    };
    if (isRead) {
        for (const Cut &cut : mPlan.readErrors) {
            if (!pathMatches(cut.path, path))
                continue;
            if (position == cut.offset && length > 0) {
                result.error = cut.error;
                return result;
            }
            cutAt(cut.offset);
        }
        for (const Cut &cut : mPlan.shortReads)
            if (pathMatches(cut.path, path))
                cutAt(cut.offset);
    }
    if (mPlan.disconnect && pathMatches(mPlan.disconnect->path, path)) {
        const uint64_t offset = mPlan.disconnect->offset;
        if (position >= offset) {
            result.length = 0;
            result.unplug = true;
        } else if (offset < position + result.length) {
            result.length = static_cast<uint32_t>(offset - position);
            result.unplug = true;
        }
    }
    return result;
}

void FaultPlan::throttle(uint64_t bytes)
{
    long long rate = 0;
    {
        std::lock_guard lock(mMutex);
        rate = mPlan.bytesPerSecond;
    }
    if (rate > 0 && bytes > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long long>(bytes * 1000000.0 / rate)));
}

} // namespace mobiledevice
