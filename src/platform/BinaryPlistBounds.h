#pragma once
// The bounds check behind BinaryPlistCheck, in plain C++ with no Qt, so that the device
// library (which reads property lists through libplist without Qt) runs the same check.
// `why` (when given) receives a static text naming the first fault found.
// Stateless and thread-safe.

#include <cstdint>

namespace BinaryPlistBounds {

bool isSound(const uint8_t *bytes, uint64_t size, int maxDepth, const char **why);

} // namespace BinaryPlistBounds
