#pragma once
// Base64 decoding of manifest file records, with the lenient rules those records need:
// the standard alphabet, decoding stops at the first "=", and whitespace or any other
// character outside the alphabet is skipped. Stateless, callable from any thread.

#include <QByteArray>

#include <cstddef>

// The output size to reserve for `inputLength` Base64 bytes: 3 x ceil(n / 4) + 1000.
size_t EstimateBas64DecodedDataSize(size_t inputLength);
// Decodes into `out`, which holds *outLength bytes; on return *outLength is the number of
// bytes produced. False when the output would not fit.
bool Base64DecodeData(const void *input, size_t inputLength, void *out, size_t *outLength);
// The decoded bytes; empty for empty input (or when nothing decodable is in it).
QByteArray Base64Decode(const QByteArray &input);
