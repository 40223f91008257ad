#pragma once
// A property-list file read again only when it changes on disk.
//
// The simulated device keeps its settings and its fault requests in files that tests write
// while the device is in use; every reader asks for the current contents and pays one stat()
// when nothing changed. Thread-safe; the value handed out is a shared, never-modified copy.

#include <plist/plist.h>

#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace mobiledevice {

// Owns a plist_t and frees it.
struct PlistDeleter
{
    void operator()(plist_t node) const { if (node) plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;
using SharedPlist = std::shared_ptr<void>; // a plist_t freed with plist_free

// Reads an XML or binary property list; null when missing, not a regular file, larger than
// a settings file can be, or malformed (binary lists are bounds-checked before libplist).
PlistPtr readPlistFile(const std::string &path);
// The whole of a regular file of at most `limit` bytes; false (and nothing) for anything
// else, including a pipe or device, which are never opened for blocking reads.
bool readRegularFile(const std::string &path, size_t limit, std::string &bytes);
// Writes `node` as an XML property list atomically (temporary file, then rename).
bool writePlistFile(const std::string &path, plist_t node);

class PlistFile
{
public:
    explicit PlistFile(std::string path) : mPath(std::move(path)) {}

    // The contents now (null when the file is missing or unreadable), and whether they differ
    // from what the previous call returned.
    SharedPlist current(bool *changed = nullptr);
    const std::string &path() const { return mPath; }

private:
    std::string mPath;
    std::mutex mMutex;
    bool mLoaded = false;
    ino_t mInode = 0;
    off_t mSize = -1;
    long long mModified = 0;
    SharedPlist mValue;
};

// Small typed readers of dictionary entries (null-safe; a wrong type gives the fallback).
std::string plistString(plist_t dict, const char *key, const std::string &fallback = {});
long long plistInteger(plist_t dict, const char *key, long long fallback = 0);
double plistReal(plist_t dict, const char *key, double fallback = 0);
bool plistBool(plist_t dict, const char *key, bool fallback = false);
plist_t plistDict(plist_t dict, const char *key); // borrowed, or null when not a dictionary

} // namespace mobiledevice
