#include "XmlPlistBounds.h"

#include <cstring>

namespace XmlPlistBounds {

bool containsNul(const char *data, size_t size)
{
    return size > 0 && std::memchr(data, '\0', size) != nullptr;
}

bool depthWithin(const char *data, size_t size, int cap)
{
    int depth = 0;
    const char *p = data;
    const char *end = data + size;
    auto skipPast = [end](const char *from, const char *terminator) -> const char * {
        const size_t n = std::strlen(terminator);
        for (const char *q = from; size_t(end - q) >= n; ++q) {
            if (std::memcmp(q, terminator, n) == 0)
                return q + n;
        }
        return end;
    };
    while (p < end) {
        const void *found = std::memchr(p, '<', size_t(end - p));
        if (!found)
            break;
        p = static_cast<const char *>(found) + 1;
        // Closing tags inside comments or CDATA must not hide real nesting.
        if (end - p >= 3 && std::memcmp(p, "!--", 3) == 0) {
            p = skipPast(p + 3, "-->");
            continue;
        }
        if (end - p >= 8 && std::memcmp(p, "![CDATA[", 8) == 0) {
            p = skipPast(p + 8, "]]>");
            continue;
        }
        const bool closing = p < end && *p == '/';
        const char *name = closing ? p + 1 : p;
        size_t nameLength = 0;
        if (end - name >= 5 && std::memcmp(name, "array", 5) == 0)
            nameLength = 5;
        else if (end - name >= 4 && std::memcmp(name, "dict", 4) == 0)
            nameLength = 4;
        if (!nameLength)
            continue;
        const char *after = name + nameLength;
        if (after >= end)
            break;
        if (closing) {
            if (depth > 0)
                --depth;
        } else if (*after == '>' || *after == ' ' || *after == '\t' || *after == '\n' || *after == '\r') {
            // "<array/>" and "<array />" open nothing.
            const void *close = std::memchr(after, '>', size_t(end - after));
            if (!close)
                break;
            const char *gt = static_cast<const char *>(close);
            if (gt > after && gt[-1] == '/')
                continue;
            if (++depth > cap)
                return false;
        }
    }
    return true;
}

} // namespace XmlPlistBounds
