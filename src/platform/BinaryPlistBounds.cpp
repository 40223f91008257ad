#include "BinaryPlistBounds.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kHeaderSize = 8;
constexpr uint64_t kTrailerSize = 32;
// Small files may still expand this far; a few MB of nodes at most.
constexpr uint64_t kMinExpansionLimit = 1 << 16;

struct Reader
{
    const uint8_t *bytes;
    uint64_t size;

    // A big-endian unsigned of `width` bytes at `at`; false when it would leave the buffer.
    bool readUnsigned(uint64_t at, unsigned width, uint64_t *out) const
    {
        if (width == 0 || width > 8 || at > size || size - at < width)
            return false;
        // Offsets, references and lengths are nearly always of one, two, four or eight bytes.
        const uint8_t *p = bytes + at;
        switch (width) {
        case 1:
            *out = p[0];
            return true;
        case 2:
            *out = uint64_t(p[0]) << 8 | p[1];
            return true;
        case 4:
            *out = uint64_t(p[0]) << 24 | uint64_t(p[1]) << 16 | uint64_t(p[2]) << 8 | p[3];
            return true;
        default:
            break;
        }
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | p[i];
        *out = value;
        return true;
    }
};

enum State : uint8_t { Unvisited, InProgress, Done };

struct Frame
{
    uint64_t object;
    uint64_t refsAt;  // where the object's references start
    uint64_t refCount;
    uint64_t next = 0;
    uint32_t tallestChild = 0;
    uint64_t expanded = 1; // nodes libplist makes for this object so far, itself included
};

} // namespace

namespace BinaryPlistBounds {

bool isSound(const uint8_t *bytes, uint64_t size, int maxDepth, const char **why)
{
    auto fail = [why](const char *text) {
        if (why)
            *why = text;
        return false;
    };
    const Reader r{bytes, size};
    if (r.size < kHeaderSize + kTrailerSize || std::memcmp(bytes, "bplist0", 7) != 0)
        return fail("too short or no header");

    const uint64_t trailer = r.size - kTrailerSize;
    const unsigned offsetSize = r.bytes[trailer + 6];
    const unsigned refSize = r.bytes[trailer + 7];
    uint64_t objectCount = 0, topObject = 0, tableAt = 0;
    r.readUnsigned(trailer + 8, 8, &objectCount);
    r.readUnsigned(trailer + 16, 8, &topObject);
    r.readUnsigned(trailer + 24, 8, &tableAt);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
        return fail("bad offset or reference size");
    if (objectCount == 0 || topObject >= objectCount)
        return fail("bad object count or top object");
    if (tableAt < kHeaderSize || tableAt > trailer
        || objectCount > (trailer - tableAt) / offsetSize)
        return fail("offset table outside the file");

    // Objects live between the header and the offset table.
    auto objectOffset = [&](uint64_t index, uint64_t *at) {
        return r.readUnsigned(tableAt + index * offsetSize, offsetSize, at) && *at >= kHeaderSize
               && *at < tableAt;
    };
    // Reads the length nibble, or the integer that follows when the nibble is 0xF.
    auto lengthOf = [&](uint64_t at, uint64_t *length, uint64_t *payloadAt) {
        const uint8_t nibble = r.bytes[at] & 0x0F;
        if (nibble != 0x0F) {
            *length = nibble;
            *payloadAt = at + 1;
            return true;
        }
        if (at + 1 >= tableAt)
            return false;
        const uint8_t marker = r.bytes[at + 1];
        if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3)
            return false;
        const unsigned width = 1u << (marker & 0x0F);
        if (!r.readUnsigned(at + 2, width, length) || at + 2 + width > tableAt)
            return false;
        *payloadAt = at + 2 + width;
        return true;
    };
    // Checks one object's extent; for containers reports where its references are.
    auto examine = [&](uint64_t index, bool *container, uint64_t *refsAt, uint64_t *refCount) {
        uint64_t at = 0;
        if (!objectOffset(index, &at))
            return false;
        const uint8_t marker = r.bytes[at];
        const uint8_t type = marker >> 4;
        const uint64_t room = tableAt - at; // bytes from the marker to the end of the objects
        *container = false;
        switch (type) {
        case 0x0:
            return marker == 0x00 || marker == 0x08 || marker == 0x09 || marker == 0x0F;
        case 0x1: {
            const unsigned width = 1u << (marker & 0x0F);
            return (marker & 0x0F) <= 4 && room > width;
        }
        case 0x2:
            return ((marker & 0x0F) == 2 || (marker & 0x0F) == 3) && room > (1u << (marker & 0x0F));
        case 0x3:
            return marker == 0x33 && room > 8;
        case 0x4:
        case 0x5:
        case 0x6: {
            uint64_t length = 0, payloadAt = 0;
            if (!lengthOf(at, &length, &payloadAt))
                return false;
            const uint64_t unit = type == 0x6 ? 2 : 1;
            if (length > (tableAt - payloadAt) / unit)
                return false;
            // libplist asserts that its strings hold no NUL; such a string is refused here.
            if (type == 0x5)
                return std::memchr(r.bytes + payloadAt, 0, length) == nullptr;
            if (type == 0x6) {
                for (uint64_t i = 0; i < length; ++i) {
                    if (r.bytes[payloadAt + 2 * i] == 0 && r.bytes[payloadAt + 2 * i + 1] == 0)
                        return false;
                }
            }
            return true;
        }
        case 0x8:
            return room > uint64_t((marker & 0x0F) + 1);
        case 0xA:
        case 0xC:
        case 0xD: {
            uint64_t length = 0, payloadAt = 0;
            if (!lengthOf(at, &length, &payloadAt))
                return false;
            const uint64_t perItem = type == 0xD ? 2 : 1;
            if (length > (tableAt - payloadAt) / refSize / perItem)
                return false;
            *container = true;
            *refsAt = payloadAt;
            *refCount = length * perItem;
            return true;
        }
        default:
            return false;
        }
    };

    std::vector<uint8_t> state(objectCount, Unvisited);
    std::vector<uint32_t> height(objectCount, 0);
    // libplist builds a fresh copy of an object for every reference to it, so a few shared
    // arrays that each refer to the next twice would expand into billions of nodes. A file
    // whose objects are never shared expands to no more nodes than it has bytes.
    const uint64_t expansionLimit = std::max<uint64_t>(r.size, kMinExpansionLimit);
    std::vector<uint64_t> expanded(objectCount, 0);
    std::vector<Frame> stack;
    // Adds a child's nodes to the frame on top; false once the expansion passes the limit.
    auto addToTop = [&](uint64_t nodes) {
        Frame &top = stack.back();
        top.expanded = nodes > expansionLimit - std::min(top.expanded, expansionLimit)
                           ? expansionLimit + 1
                           : top.expanded + nodes;
        return top.expanded <= expansionLimit;
    };

    auto enter = [&](uint64_t index) {
        bool container = false;
        uint64_t refsAt = 0, refCount = 0;
        if (!examine(index, &container, &refsAt, &refCount))
            return false;
        if (!container) {
            state[index] = Done;
            height[index] = 0;
            expanded[index] = 1;
            return true;
        }
        state[index] = InProgress;
        stack.push_back(Frame{index, refsAt, refCount});
        return true;
    };

    if (!enter(topObject))
        return fail("object outside the file or of unknown kind");
    while (!stack.empty()) {
        if (stack.size() > size_t(maxDepth))
            return fail("nested too deeply");
        Frame &frame = stack.back();
        if (frame.next == frame.refCount) {
            const uint32_t tall = frame.tallestChild + 1;
            const uint64_t nodes = frame.expanded;
            state[frame.object] = Done;
            height[frame.object] = tall;
            expanded[frame.object] = nodes;
            stack.pop_back();
            if (!stack.empty()) {
                stack.back().tallestChild = std::max(stack.back().tallestChild, tall);
                if (!addToTop(nodes))
                    return fail("shared objects expand too far");
            }
            continue;
        }
        uint64_t child = 0;
        if (!r.readUnsigned(frame.refsAt + frame.next * refSize, refSize, &child))
            return fail("reference outside the file");
        ++frame.next;
        if (child >= objectCount)
            return fail("reference to a missing object");
        if (state[child] == InProgress)
            return fail("reference cycle");
        if (state[child] == Done) {
            if (stack.size() + height[child] > size_t(maxDepth))
                return fail("nested too deeply");
            frame.tallestChild = std::max(frame.tallestChild, height[child]);
            if (!addToTop(expanded[child]))
                return fail("shared objects expand too far");
            continue;
        }
        if (!enter(child))
            return fail("object outside the file or of unknown kind");
        // A container was pushed and counts itself when it is done; a leaf counts now.
        if (state[child] == Done && !addToTop(1))
            return fail("shared objects expand too far");
    }
    return true;
}

} // namespace BinaryPlistBounds
