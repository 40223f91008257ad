// Framing helpers of the test device server.

#include "Wire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testdevice {

bool readExact(int fd, void *buffer, size_t length)
{
    auto *bytes = static_cast<char *>(buffer);
    while (length > 0) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, kWaitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = recv(fd, bytes, length, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        bytes += got;
        length -= size_t(got);
    }
    return true;
}

bool writeAll(int fd, const void *buffer, size_t length)
{
    const auto *bytes = static_cast<const char *>(buffer);
    while (length > 0) {
        const ssize_t sent = send(fd, bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        bytes += sent;
        length -= size_t(sent);
    }
    return true;
}

bool readMuxMessage(int fd, MuxMessage &message)
{
    uint32_t header[4];
    if (!readExact(fd, header, sizeof header))
        return false;
    const uint32_t length = le32toh(header[0]);
    if (length < sizeof header || length > kMaxMessage || le32toh(header[2]) != 8)
        return false;
    std::vector<char> body(length - sizeof header);
    if (!readExact(fd, body.data(), body.size()))
        return false;
    message.tag = le32toh(header[3]);
    message.body = nullptr;
    plist_from_memory(body.data(), uint32_t(body.size()), &message.body);
    return message.body && plist_get_node_type(message.body) == PLIST_DICT;
}

bool writeMuxMessage(int fd, uint32_t tag, plist_t body)
{
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(body, &xml, &size);
    if (!xml)
        return false;
    const uint32_t header[4] = {htole32(uint32_t(size + 16)), htole32(1), htole32(8), htole32(tag)};
    const bool ok = writeAll(fd, header, sizeof header) && writeAll(fd, xml, size);
    free(xml);
    return ok;
}

bool writeMuxResult(int fd, uint32_t tag, uint64_t number)
{
    plist_t body = plist_new_dict();
    plist_dict_set_item(body, "MessageType", plist_new_string("Result"));
    plist_dict_set_item(body, "Number", plist_new_uint(number));
    const bool ok = writeMuxMessage(fd, tag, body);
    plist_free(body);
    return ok;
}

bool readPlistMessage(int fd, plist_t *message)
{
    *message = nullptr;
    uint32_t length = 0;
    if (!readExact(fd, &length, 4))
        return false;
    length = be32toh(length);
    if (length == 0 || length > kMaxMessage)
        return false;
    std::vector<char> body(length);
    if (!readExact(fd, body.data(), length))
        return false;
    plist_from_memory(body.data(), length, message);
    return *message != nullptr;
}

bool writePlistMessage(int fd, plist_t message)
{
    char *xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(message, &xml, &size);
    if (!xml)
        return false;
    const uint32_t length = htobe32(size);
    const bool ok = writeAll(fd, &length, 4) && writeAll(fd, xml, size);
    free(xml);
    return ok;
}

std::string stringItem(plist_t dict, const char *key)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    std::string text;
    if (node && plist_get_node_type(node) == PLIST_STRING) {
        char *value = nullptr;
        plist_get_string_val(node, &value);
        if (value)
            text = value;
        free(value);
    }
    return text;
}

uint64_t uintItem(plist_t dict, const char *key, uint64_t fallback)
{
    plist_t node = dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
    if (!node || plist_get_node_type(node) != PLIST_UINT)
        return fallback;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

} // namespace testdevice
