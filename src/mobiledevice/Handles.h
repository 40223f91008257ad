#pragma once
// The objects behind the opaque handles of the C interface, and the sets that tell a live
// handle from a stale or foreign pointer (a closed handle answers an error, never a crash).
//
// Ownership: a service connection belongs to the caller until a file connection is opened
// over it; then the file connection owns it and AFCConnectionClose frees both. Directory and
// info references are freed by their close calls. Each object's mutex serialises calls that
// share it.

#include "FileArea.h"
#include "PlistFile.h"
#include "SimDevice.h"

#include <mobiledevice/MobileDevice.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct AMDSecureIOContextOpaque
{
    int unused = 0;
};

struct AMDServiceConnectionOpaque
{
    enum class Kind { FileService, SpringBoard };
    mobiledevice::SimDevice *device = nullptr;
    Kind kind = Kind::FileService;
    bool secure = false;
    bool wholeFilesystem = false;
    // Read and set from whichever threads use the handle: taken once, atomically.
    std::atomic<bool> ownedByFileConnection{false};
    AMDSecureIOContextOpaque context;
    std::shared_ptr<mobiledevice::FileArea> area;
    std::mutex mutex;
    std::deque<mobiledevice::PlistPtr> replies;
};

struct AFCConnectionOpaque
{
    struct OpenFile
    {
        int fd = -1;
        std::string path;
        bool canRead = false;
        bool canWrite = false;
    };
    AMDServiceConnectionOpaque *service = nullptr;
    std::atomic<bool> secureContextSet{false};
    std::mutex mutex;
    std::map<AFCFileRef, OpenFile> files;
};

struct AFCDirectoryOpaque
{
    std::vector<std::string> names;
    size_t next = 0;
};

struct AFCDictionaryOpaque
{
    mobiledevice::SimDevice *device = nullptr;
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t next = 0;
};

struct AFCOperationOpaque
{
    std::string path;
    uint64_t nanoseconds = 0;
};

namespace mobiledevice {

// Live handles of one kind.
template<typename T>
class HandleSet
{
public:
    void add(T *handle)
    {
        std::lock_guard lock(mMutex);
        mLive.insert(handle);
    }
    bool contains(T *handle)
    {
        std::lock_guard lock(mMutex);
        return handle && mLive.count(handle);
    }
    // Removes the handle; false when it was not live (already closed, or never ours).
    bool remove(T *handle)
    {
        std::lock_guard lock(mMutex);
        return mLive.erase(handle) > 0;
    }

private:
    std::mutex mMutex;
    std::set<T *> mLive;
};

HandleSet<AMDServiceConnectionOpaque> &serviceConnections();
HandleSet<AFCConnectionOpaque> &fileConnections();
HandleSet<AFCDirectoryOpaque> &directories();
HandleSet<AFCDictionaryOpaque> &dictionaries();
HandleSet<AFCOperationOpaque> &operations();

} // namespace mobiledevice
