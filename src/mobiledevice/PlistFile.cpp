#include "PlistFile.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mobiledevice {

PlistPtr readPlistFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    std::vector<char> bytes;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (bytes.size() > 64u * 1024 * 1024) // a settings file, not a payload
            break;
    }
    ::close(fd);
    if (bytes.empty())
        return nullptr;
    plist_t node = nullptr;
    if (bytes.size() >= 8 && std::string(bytes.data(), 8) == "bplist00")
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    else
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
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
