// The crash-time field encoder: the bytes of every field type, the size pass agreeing with
// the write pass, and messages the generated decoder reads back unchanged.
#include "VUCrashAsyncFile.h"
#include "VUCrashLogWriterEncoding.h"
#include "VUCrashReportFormat.h"
#include "crash_report.pb-c.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Encodes through a real descriptor (a temporary file) and returns the bytes written.
class Encoded {
 public:
  Encoded() {
    file_ = tmpfile();
    vucrash_async_file_init(&out, fileno(file_), 0);
  }
  ~Encoded() { fclose(file_); }
  std::vector<uint8_t> bytes() {
    EXPECT_TRUE(vucrash_async_file_flush(&out));
    std::vector<uint8_t> data(static_cast<size_t>(lseek(fileno(file_), 0, SEEK_END)));
    EXPECT_EQ(pread(fileno(file_), data.data(), data.size(), 0),
              static_cast<ssize_t>(data.size()));
    return data;
  }
  vucrash_async_file_t out;

 private:
  FILE *file_;
};

std::vector<uint8_t> pack(uint32_t field, VUProtobufCType type, const void *value,
                          size_t *sizePass = nullptr) {
  Encoded e;
  size_t written = vucrash_writer_pack(&e.out, field, type, value);
  if (sizePass != nullptr)
    *sizePass = vucrash_writer_pack(nullptr, field, type, value);
  std::vector<uint8_t> bytes = e.bytes();
  EXPECT_EQ(written, bytes.size());
  return bytes;
}

TEST(Encoding, FieldBytesForEachType) {
  const uint64_t u300 = 300;
  const int32_t minusOne = -1;
  const int32_t sMinusOne = -1;
  const int64_t sMinusTwo = -2;
  const uint32_t u32 = 150;
  const uint8_t yes = 1;
  const double one = 1.0;
  const float half = 0.5f;
  const int64_t negative64 = -1;
  const char *text = "hi";
  const VUProtobufCBinaryData blob = {3, "\x01\x02\x03"};
  const uint32_t subSize = 300;
  struct Case {
    const char *name;
    uint32_t field;
    VUProtobufCType type;
    const void *value;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"uint64 300", 3, VUPROTOBUF_C_TYPE_UINT64, &u300, {0x18, 0xac, 0x02}},
      {"int32 -1 sign-extends",
       1,
       VUPROTOBUF_C_TYPE_INT32,
       &minusOne,
       {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
      {"int64 -1",
       1,
       VUPROTOBUF_C_TYPE_INT64,
       &negative64,
       {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
      {"sint32 -1 zig-zags", 1, VUPROTOBUF_C_TYPE_SINT32, &sMinusOne, {0x08, 0x01}},
      {"sint64 -2 zig-zags", 1, VUPROTOBUF_C_TYPE_SINT64, &sMinusTwo, {0x08, 0x03}},
      {"uint32", 2, VUPROTOBUF_C_TYPE_UINT32, &u32, {0x10, 0x96, 0x01}},
      {"enum", 2, VUPROTOBUF_C_TYPE_ENUM, &u32, {0x10, 0x96, 0x01}},
      {"bool", 1, VUPROTOBUF_C_TYPE_BOOL, &yes, {0x08, 0x01}},
      {"double", 1, VUPROTOBUF_C_TYPE_DOUBLE, &one, {0x09, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}},
      {"float", 1, VUPROTOBUF_C_TYPE_FLOAT, &half, {0x0d, 0, 0, 0, 0x3f}},
      {"fixed64", 1, VUPROTOBUF_C_TYPE_FIXED64, &u300, {0x09, 0x2c, 0x01, 0, 0, 0, 0, 0, 0}},
      {"fixed32", 1, VUPROTOBUF_C_TYPE_FIXED32, &u32, {0x0d, 0x96, 0, 0, 0}},
      {"string", 1, VUPROTOBUF_C_TYPE_STRING, text, {0x0a, 0x02, 'h', 'i'}},
      {"bytes", 2, VUPROTOBUF_C_TYPE_BYTES, &blob, {0x12, 0x03, 0x01, 0x02, 0x03}},
      {"message header only", 6, VUPROTOBUF_C_TYPE_MESSAGE, &subSize, {0x32, 0xac, 0x02}},
      {"field 0x20000000 takes a 5-byte tag",
       0x20000000,
       VUPROTOBUF_C_TYPE_BOOL,
       &yes,
       {0x80, 0x80, 0x80, 0x80, 0x10, 0x01}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    size_t sizePass = 0;
    EXPECT_EQ(pack(c.field, c.type, c.value, &sizePass), c.expected);
    EXPECT_EQ(sizePass, c.expected.size());
  }
}

TEST(Encoding, VarintLengthsAtTheirBoundaries) {
  struct Case {
    uint64_t value;
    size_t length;
  } cases[] = {{0, 1}, {127, 1}, {128, 2}, {16383, 2}, {16384, 3},
               {(1ull << 63) - 1, 9}, {1ull << 63, 10}, {UINT64_MAX, 10}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.value);
    uint8_t out[10];
    EXPECT_EQ(uint64_pack(c.value, out), c.length);
    EXPECT_EQ(out[c.length - 1] & 0x80, 0);
  }
}

// A small report, written field by field as the writer does (two passes per message), must
// decode with the generated bindings to the values given.
TEST(Encoding, MessagesWrittenInTwoPassesDecode) {
  auto signal = [](vucrash_async_file_t *f) {
    size_t n = 0;
    n += vucrash_writer_pack(f, vucrash_report_fields::SIGNAL_NAME, VUPROTOBUF_C_TYPE_STRING,
                             "SIGSEGV");
    n += vucrash_writer_pack(f, vucrash_report_fields::SIGNAL_CODE, VUPROTOBUF_C_TYPE_STRING,
                             "SEGV_MAPERR");
    const uint64_t address = 0xdeadbeef;
    n += vucrash_writer_pack(f, vucrash_report_fields::SIGNAL_ADDRESS, VUPROTOBUF_C_TYPE_UINT64,
                             &address);
    return n;
  };
  Encoded e;
  vucrash_async_file_write(&e.out, VUCRASH_REPORT_FILE_MAGIC, VUCRASH_REPORT_FILE_MAGIC_LENGTH);
  vucrash_async_file_write(&e.out, &VUCRASH_REPORT_FILE_VERSION, 1);
  const uint32_t size = static_cast<uint32_t>(signal(nullptr));
  vucrash_writer_pack(&e.out, vucrash_report_fields::SIGNAL, VUPROTOBUF_C_TYPE_MESSAGE, &size);
  EXPECT_EQ(signal(&e.out), size);
  std::vector<uint8_t> bytes = e.bytes();

  ASSERT_GT(bytes.size(), VUCRASH_REPORT_FILE_HEADER_SIZE);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), std::string("vucrash\x01", 8));
  Vucrash__CrashReport *report = vucrash__crash_report__unpack(
      nullptr, bytes.size() - VUCRASH_REPORT_FILE_HEADER_SIZE,
      bytes.data() + VUCRASH_REPORT_FILE_HEADER_SIZE);
  ASSERT_NE(report, nullptr);
  ASSERT_NE(report->signal, nullptr);
  EXPECT_STREQ(report->signal->name, "SIGSEGV");
  EXPECT_STREQ(report->signal->code, "SEGV_MAPERR");
  EXPECT_EQ(report->signal->address, 0xdeadbeefu);
  // Nothing the decoder did not understand, and nothing it had to fold together.
  EXPECT_EQ(report->base.n_unknown_fields, 0u);
  EXPECT_EQ(vucrash__crash_report__get_packed_size(report),
            bytes.size() - VUCRASH_REPORT_FILE_HEADER_SIZE);
  vucrash__crash_report__free_unpacked(report, nullptr);
}

// Every field is optional in the schema: a report without the fields the writer always
// emits still decodes, with the schema's defaults.
TEST(Encoding, AbsentFieldsDecodeWithTheirDefaults) {
  const uint8_t emptySystemInfo[] = {0x0a, 0x00};
  Vucrash__CrashReport *report =
      vucrash__crash_report__unpack(nullptr, sizeof(emptySystemInfo), emptySystemInfo);
  ASSERT_NE(report, nullptr);
  ASSERT_NE(report->system_info, nullptr);
  EXPECT_EQ(report->system_info->operating_system,
            VUCRASH__CRASH_REPORT__SYSTEM_INFO__OPERATING_SYSTEM__OS_UNKNOWN);
  EXPECT_EQ(report->system_info->architecture, VUCRASH__ARCHITECTURE__ARCHITECTURE_UNKNOWN);
  EXPECT_EQ(report->system_info->os_version, nullptr);
  EXPECT_EQ(report->signal, nullptr);
  vucrash__crash_report__free_unpacked(report, nullptr);
}

}  // namespace
