#pragma once
// A bounds check of a binary property list before libplist parses it.
//
// libplist follows object references recursively, so a hostile file with a reference cycle
// or tens of thousands of nested arrays can exhaust the stack. This walks the object graph
// once, iteratively, and checks the trailer, every offset, every reference and every
// object's length against the buffer, and that the nesting stays within `maxDepth`.
// libplist copies an object for every reference to it, so the check also refuses files
// whose shared objects would expand to more nodes than the file has bytes (with a floor
// for small files).
// Internal to the platform layer (the work is done by BinaryPlistBounds, which the device
// library shares). Stateless and thread-safe.

#include <QByteArray>
#include <QString>

namespace BinaryPlistCheck {

bool isSound(const QByteArray &data, int maxDepth, QString *why);

} // namespace BinaryPlistCheck
