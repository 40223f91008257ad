// Crash-time code: no heap, no locks, no stdio; async-signal-safe system calls only.
#include "VUCrashLogWriterEncoding.h"

#include "VUCrashAsync.h"
#include "VUCrashAsyncLog.h"

#include <stdlib.h>

namespace {

enum WireType : uint32_t { WIRE_VARINT = 0, WIRE_64BIT = 1, WIRE_LENGTH_PREFIXED = 2, WIRE_32BIT = 5 };

size_t tagPack(uint32_t field_id, WireType wire, uint8_t *out) {
  // Tags are varints of (number << 3 | wire type); numbers past 2^29 - 1 need the 64-bit form.
  return uint64_pack((static_cast<uint64_t>(field_id) << 3) | wire, out);
}

size_t fixed32Pack(uint32_t value, uint8_t *out) {
  for (int i = 0; i < 4; ++i)
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  return 4;
}

size_t fixed64Pack(uint64_t value, uint8_t *out) {
  for (int i = 0; i < 8; ++i)
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  return 8;
}

uint32_t zigzag32(int32_t v) {
  return (static_cast<uint32_t>(v) << 1) ^ static_cast<uint32_t>(v >> 31);
}

uint64_t zigzag64(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}

}  // namespace

size_t uint64_pack(uint64_t value, uint8_t *out) {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<uint8_t>(value);
  return n;
}

size_t vucrash_writer_pack(vucrash_async_file_t *file, uint32_t field_id, VUProtobufCType type,
                           const void *value) {
  // Tag (at most 10 bytes) plus the largest value header (10 bytes).
  uint8_t scratch[20];
  size_t rv = 0;
  const void *data = nullptr;
  size_t dataLength = 0;

  switch (type) {
    case VUPROTOBUF_C_TYPE_INT32: {
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      // A negative int32 is sign-extended: ten bytes on the wire.
      int64_t v = *static_cast<const int32_t *>(value);
      rv += uint64_pack(static_cast<uint64_t>(v), scratch + rv);
      break;
    }
    case VUPROTOBUF_C_TYPE_SINT32:
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      rv += uint64_pack(zigzag32(*static_cast<const int32_t *>(value)), scratch + rv);
      break;
    case VUPROTOBUF_C_TYPE_SFIXED32:
    case VUPROTOBUF_C_TYPE_FIXED32:
    case VUPROTOBUF_C_TYPE_FLOAT: {
      rv = tagPack(field_id, WIRE_32BIT, scratch);
      uint32_t bits;
      vucrash_async_memcpy(&bits, value, sizeof(bits));
      rv += fixed32Pack(bits, scratch + rv);
      break;
    }
    case VUPROTOBUF_C_TYPE_INT64:
    case VUPROTOBUF_C_TYPE_UINT64:
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      rv += uint64_pack(*static_cast<const uint64_t *>(value), scratch + rv);
      break;
    case VUPROTOBUF_C_TYPE_SINT64:
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      rv += uint64_pack(zigzag64(*static_cast<const int64_t *>(value)), scratch + rv);
      break;
    case VUPROTOBUF_C_TYPE_SFIXED64:
    case VUPROTOBUF_C_TYPE_FIXED64:
    case VUPROTOBUF_C_TYPE_DOUBLE: {
      rv = tagPack(field_id, WIRE_64BIT, scratch);
      uint64_t bits;
      vucrash_async_memcpy(&bits, value, sizeof(bits));
      rv += fixed64Pack(bits, scratch + rv);
      break;
    }
    case VUPROTOBUF_C_TYPE_UINT32:
    case VUPROTOBUF_C_TYPE_ENUM:
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      rv += uint64_pack(*static_cast<const uint32_t *>(value), scratch + rv);
      break;
    case VUPROTOBUF_C_TYPE_BOOL:
      rv = tagPack(field_id, WIRE_VARINT, scratch);
      scratch[rv++] = *static_cast<const uint8_t *>(value);
      break;
    case VUPROTOBUF_C_TYPE_STRING: {
      const char *text = static_cast<const char *>(value);
      dataLength = vucrash_async_strlen(text);
      data = text;
      rv = tagPack(field_id, WIRE_LENGTH_PREFIXED, scratch);
      rv += uint64_pack(dataLength, scratch + rv);
      break;
    }
    case VUPROTOBUF_C_TYPE_BYTES: {
      const VUProtobufCBinaryData *bytes = static_cast<const VUProtobufCBinaryData *>(value);
      dataLength = bytes->len;
      data = bytes->data;
      rv = tagPack(field_id, WIRE_LENGTH_PREFIXED, scratch);
      rv += uint64_pack(dataLength, scratch + rv);
      break;
    }
    case VUPROTOBUF_C_TYPE_MESSAGE:
      rv = tagPack(field_id, WIRE_LENGTH_PREFIXED, scratch);
      rv += uint64_pack(*static_cast<const uint32_t *>(value), scratch + rv);
      break;
    default:
      VUCR_LOG("Unhandled field type %d", static_cast<int>(type));
      abort();
  }

  if (file != nullptr) {
    vucrash_async_file_write(file, scratch, rv);
    if (dataLength > 0)
      vucrash_async_file_write(file, data, dataLength);
  }
  return rv + dataLength;
}
