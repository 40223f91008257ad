#pragma once
// The Protocol Buffers field encoder of the crash-time writer: emits the bytes the generated
// bindings of crash_report.proto would, without building a message in memory.
//
// Every message is written in two passes of the same code: a size pass with no file, which
// only adds up what each field takes, then the message's tag and size, then a second pass
// with the file. vucrash_writer_pack returns the same count in both passes.
//
// Crash-time rules: no heap, no locks, no stdio. Safe in a signal handler.

#include "VUCrashAsyncFile.h"

#include <stddef.h>
#include <stdint.h>

// Field types, numbered as the protobuf-c generator numbers them.
typedef enum {
  VUPROTOBUF_C_TYPE_INT32 = 0,
  VUPROTOBUF_C_TYPE_SINT32 = 1,
  VUPROTOBUF_C_TYPE_SFIXED32 = 2,
  VUPROTOBUF_C_TYPE_INT64 = 3,
  VUPROTOBUF_C_TYPE_SINT64 = 4,
  VUPROTOBUF_C_TYPE_SFIXED64 = 5,
  VUPROTOBUF_C_TYPE_UINT32 = 6,
  VUPROTOBUF_C_TYPE_FIXED32 = 7,
  VUPROTOBUF_C_TYPE_UINT64 = 8,
  VUPROTOBUF_C_TYPE_FIXED64 = 9,
  VUPROTOBUF_C_TYPE_FLOAT = 10,
  VUPROTOBUF_C_TYPE_DOUBLE = 11,
  VUPROTOBUF_C_TYPE_BOOL = 12,
  VUPROTOBUF_C_TYPE_ENUM = 13,
  VUPROTOBUF_C_TYPE_STRING = 14,
  VUPROTOBUF_C_TYPE_BYTES = 15,
  VUPROTOBUF_C_TYPE_MESSAGE = 16,
} VUProtobufCType;

// The value of a bytes field.
struct VUProtobufCBinaryData {
  size_t len;
  const void *data;
};

// Encodes one field and returns the bytes it takes; with a file they are also written.
// value points at: int32_t, int64_t, uint32_t, uint64_t, float, double, a one-byte bool,
// an enum as uint32_t, a NUL-terminated string (the pointer itself), VUProtobufCBinaryData,
// or for a message the uint32_t size of the sub-message whose fields the caller writes next.
size_t vucrash_writer_pack(vucrash_async_file_t *file, uint32_t field_id, VUProtobufCType type,
                           const void *value);

// The base-128 varint of value into out (at least 10 bytes); returns its length.
size_t uint64_pack(uint64_t value, uint8_t *out);
