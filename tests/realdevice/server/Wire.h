#pragma once
// Framing of the test device server's protocols, over blocking sockets with bounded waits:
// - usbmuxd messages: a 16-byte little-endian header (length, version 1, type 8 = plist,
//   tag) and an XML property list;
// - lockdown and the plist services: a 4-byte big-endian length and a property list;
// - raw reads and writes for the file service.
// Every read waits at most kWaitMs for each piece and refuses lengths above kMaxMessage, so a
// peer that stalls or lies about a length ends its connection instead of holding a thread.

#include <plist/plist.h>

#include <cstdint>
#include <string>

namespace testdevice {

constexpr int kWaitMs = 60000;
constexpr uint32_t kMaxMessage = 64u << 20;

bool readExact(int fd, void *buffer, size_t length);
bool writeAll(int fd, const void *buffer, size_t length);

struct MuxMessage
{
    uint32_t tag = 0;
    plist_t body = nullptr; // owned by the caller
};
bool readMuxMessage(int fd, MuxMessage &message);
bool writeMuxMessage(int fd, uint32_t tag, plist_t body);
bool writeMuxResult(int fd, uint32_t tag, uint64_t number);

// A length-prefixed property list; *message null on failure.
bool readPlistMessage(int fd, plist_t *message);
bool writePlistMessage(int fd, plist_t message);

std::string stringItem(plist_t dict, const char *key);
uint64_t uintItem(plist_t dict, const char *key, uint64_t fallback = 0);

} // namespace testdevice
