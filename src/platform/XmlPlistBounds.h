#pragma once
// The checks an XML property list passes before libplist parses it, in plain C++ with no Qt,
// so that the platform layer and the device library (which reads property lists through
// libplist without Qt) refuse the same input: libplist asserts on a string holding a NUL
// byte, and its XML parser recurses once per nesting level.
// Stateless and thread-safe.

#include <cstddef>

namespace XmlPlistBounds {

// Whether the text holds a NUL byte anywhere (XML forbids it).
bool containsNul(const char *data, size_t size);
// Whether no more than `cap` "<array>" and "<dict>" containers are open at any point, counted
// outside comments and CDATA sections.
bool depthWithin(const char *data, size_t size, int cap);

} // namespace XmlPlistBounds
