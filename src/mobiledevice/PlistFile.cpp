#include "PlistFile.h"

#include "platform/BinaryPlistBounds.h"
#include "platform/XmlPlistBounds.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mobiledevice {

namespace {

// Settings, identities and fault requests: small files, never payloads.
constexpr size_t kMaxPlistFileSize = 64u * 1024 * 1024;
// Real property lists nest a few dozen levels.
constexpr int kMaxPlistDepth = 512;

} // namespace

bool readRegularFile(const std::string &path, size_t limit, std::string &bytes)
{
    bytes.clear();
    // Non-blocking: a pipe planted where a file belongs must not hang the reader on open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit;
    char chunk[65536];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        // The file may grow while it is read.
        if (bytes.size() + static_cast<size_t>(n) > limit) {
            ok = false;
            break;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok)
        bytes.clear();
    return ok;
}

PlistPtr readPlistFile(const std::string &path)
{
    std::string bytes;
    if (!readRegularFile(path, kMaxPlistFileSize, bytes) || bytes.empty())
        return nullptr;
    plist_t node = nullptr;
    if (bytes.size() >= 8 && bytes.compare(0, 8, "bplist00") == 0) {
        // libplist recurses once per nesting level and copies shared objects: a hostile
        // file could exhaust the stack or the memory without this check first.
        if (!BinaryPlistBounds::isSound(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(),
                                        kMaxPlistDepth, nullptr))
            return nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    } else {
        // libplist aborts on a string holding a NUL byte and recurses once per container:
        // both are refused here, as the platform layer refuses them.
        if (XmlPlistBounds::containsNul(bytes.data(), bytes.size())
            || !XmlPlistBounds::depthWithin(bytes.data(), bytes.size(), kMaxPlistDepth))
            return nullptr;
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    }
    return PlistPtr(node);
}

bool writePlistFile(const std::string &path, plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    if (!xml)
        return false;
    const std::string temporary = path + ".tmp";
    bool ok = false;
    if (FILE *f = std::fopen(temporary.c_str(), "wb")) {
        ok = std::fwrite(xml, 1, length, f) == length;
        ok = (std::fclose(f) == 0) && ok;
    }
    std::free(xml);
    if (ok)
        ok = ::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

SharedPlist PlistFile::current(bool *changed)
{
    std::lock_guard lock(mMutex);
    struct stat st {};
    const bool exists = ::stat(mPath.c_str(), &st) == 0;
    const long long modified = exists ? static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec : 0;
    const bool same = mLoaded && (exists ? (mInode == st.st_ino && mSize == st.st_size && mModified == modified)
                                         : mSize == -1);
    if (changed)
        *changed = !same;
    if (same)
        return mValue;
    mLoaded = true;
    mInode = exists ? st.st_ino : 0;
    mSize = exists ? st.st_size : -1;
    mModified = modified;
    mValue = exists ? SharedPlist(readPlistFile(mPath).release(), PlistDeleter()) : SharedPlist();
    return mValue;
}

std::string plistString(plist_t dict, const char *key, const std::string &fallback)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return fallback;
    char *value = nullptr;
    plist_get_string_val(node, &value);
    std::string result = value ? value : "";
    std::free(value);
    return result;
}

long long plistInteger(plist_t dict, const char *key, long long fallback)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node)
        return fallback;
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<long long>(value);
    }
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        // Converting a real outside the integer range is undefined: such a value is no count.
        if (!std::isfinite(value) || value <= -0x1p63 || value >= 0x1p63)
            return fallback;
        return static_cast<long long>(value);
    }
    return fallback;
}

double plistReal(plist_t dict, const char *key, double fallback)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node)
        return fallback;
    if (plist_get_node_type(node) == PLIST_REAL) {
        double value = 0;
        plist_get_real_val(node, &value);
        return value;
    }
    if (plist_get_node_type(node) == PLIST_UINT) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return static_cast<double>(static_cast<int64_t>(value));
    }
    return fallback;
}

bool plistBool(plist_t dict, const char *key, bool fallback)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_BOOLEAN)
        return fallback;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

plist_t plistDict(plist_t dict, const char *key)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    return node && plist_get_node_type(node) == PLIST_DICT ? node : nullptr;
}

} // namespace mobiledevice
