// The crash-time toolkit: memory reads that never fault, the size-limited output file, the
// own formatter behind the debug lines, and the result texts.
#include "VUCrashAsync.h"
#include "VUCrashAsyncFile.h"
#include "VUCrashAsyncLog.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    for (int fd : fds)
      if (fd >= 0)
        close(fd);
  }
  int pending() const {
    int n = 0;
    ioctl(fds[0], FIONREAD, &n);
    return n;
  }
  std::string drain() {
    std::string out;
    char buffer[4096];
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0)
      out.append(buffer, static_cast<size_t>(n));
    return out;
  }
};

TEST(AsyncOutput, FileLimitRefusesWholeWritesAndEverythingAfterARefusal) {
  Pipe p;
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, p.fds[1], 10);
  EXPECT_TRUE(vucrash_async_file_write(&file, "123456", 6));
  EXPECT_FALSE(vucrash_async_file_write(&file, "abcdef", 6));
  // A shorter write would still fit, but the report already lost bytes: appending after a
  // gap would leave a file whose later fields claim to follow the missing ones.
  EXPECT_FALSE(vucrash_async_file_write(&file, "wxyz", 4));
  EXPECT_EQ(vucrash_async_file_room(&file), 0u);
  EXPECT_TRUE(vucrash_async_file_flush(&file));
  EXPECT_EQ(p.drain(), "123456");
}

TEST(AsyncOutput, FileBuffersSmallWritesAndSendsLargeOnesStraightThrough) {
  Pipe p;
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, p.fds[1], 0);
  EXPECT_TRUE(vucrash_async_file_write(&file, "head", 4));
  EXPECT_EQ(p.pending(), 0);
  std::string large(300, 'x');
  EXPECT_TRUE(vucrash_async_file_write(&file, large.data(), large.size()));
  // The buffered bytes go out first, then the large write without a copy.
  EXPECT_EQ(p.pending(), 304);
  EXPECT_TRUE(vucrash_async_file_write(&file, "tail", 4));
  EXPECT_TRUE(vucrash_async_file_close(&file));
  p.fds[1] = -1;
  EXPECT_EQ(p.drain(), "head" + large + "tail");
}

TEST(AsyncOutput, FailedFlushKeepsTheBufferAndTheDescriptor) {
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, -1, 0);
  EXPECT_TRUE(vucrash_async_file_write(&file, "data", 4));
  EXPECT_FALSE(vucrash_async_file_flush(&file));
  EXPECT_EQ(file.buffered, 4u);
  EXPECT_FALSE(vucrash_async_file_close(&file));
}

TEST(AsyncOutput, WritenFailsOnAStaleInterruptInsteadOfLooping) {
  // errno still says EINTR from some earlier call; the write itself fails with EBADF.
  errno = EINTR;
  EXPECT_LT(vucrash_async_writen(-1, "x", 1), 0);
  Pipe p;
  EXPECT_GE(vucrash_async_writen(p.fds[1], "hello", 5), 0);
  EXPECT_EQ(vucrash_async_writen(p.fds[1], "", 0), 0);
  EXPECT_EQ(p.drain(), "hello");
}

TEST(AsyncOutput, MemoryReadsReportUnmappedMemoryInsteadOfFaulting) {
  const long page = sysconf(_SC_PAGESIZE);
  char *pages = static_cast<char *>(
      mmap(nullptr, page * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(munmap(pages + page, page), 0);
  memset(pages, 0x5a, page);
  const vucrash_vm_address_t base = reinterpret_cast<uintptr_t>(pages);

  uint8_t buffer[16];
  EXPECT_EQ(vucrash_async_read_addr(vu_task_self(), base, buffer, 16), VUCRASH_ERR_NONE);
  EXPECT_EQ(buffer[15], 0x5a);
  EXPECT_EQ(vucrash_async_read_addr(vu_task_self(), base + page, buffer, 1),
            VUCRASH_ERR_NOTFOUND);
  // A range that runs off the end of the mapping is not a partial success.
  EXPECT_EQ(vucrash_async_read_addr(vu_task_self(), base + page - 8, buffer, 16),
            VUCRASH_ERR_NOTFOUND);
  EXPECT_EQ(vucrash_async_task_memcpy(vu_task_self(), UINT64_MAX - 4, 16, buffer, 1),
            VUCRASH_ERR_NOMEM);

  uint32_t big = 0;
  const uint32_t stored = 0x11223344;
  memcpy(pages, &stored, 4);
  EXPECT_EQ(vucrash_async_task_read_uint32(vu_task_self(), vucrash_async_byteorder_big_endian(),
                                           base, 0, &big),
            VUCRASH_ERR_NONE);
  EXPECT_EQ(big, 0x44332211u);
  munmap(pages, page);
}

TEST(AsyncOutput, AddressOffsetsThatLeaveTheAddressSpaceAreRefused) {
  struct Case {
    const char *name;
    uint64_t base;
    int64_t offset;
    bool ok;
    uint64_t result;
  } cases[] = {
      {"past the top", 0xFFFFFFFFFFFFFFF0ull, 0x20, false, 0},
      {"below zero", 0x10, -0x20, false, 0},
      {"to the top", 0xFFFFFFFFFFFFFFF0ull, 0xF, true, UINT64_MAX},
      {"down to zero", 0x10, -0x10, true, 0},
      {"most negative", UINT64_MAX, INT64_MIN, true, 0x7FFFFFFFFFFFFFFFull},
      {"most negative from small", 5, INT64_MIN, false, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    uint64_t out = 42;
    EXPECT_EQ(vucrash_async_address_apply_offset(c.base, c.offset, &out), c.ok);
    EXPECT_EQ(out, c.ok ? c.result : 42u);
  }
}

TEST(AsyncOutput, ResultTextsAndComparisons) {
  EXPECT_STREQ(vucrash_async_strerror(VUCRASH_ERR_NOTFOUND), "Not found");
  EXPECT_STREQ(vucrash_async_strerror(static_cast<vucrash_error_t>(10)), "Unhandled error code");
  EXPECT_LT(vucrash_async_strcmp("abc", "abd"), 0);
  EXPECT_GT(vucrash_async_strcmp("\xff", "a"), 0);
  EXPECT_EQ(vucrash_async_strncmp("__TEXTabc", "__TEXTxyz", 6), 0);
  EXPECT_EQ(vucrash_async_strncmp("ab", "ab", 10), 0);
  char buffer[4];
  EXPECT_EQ(vucrash_async_memset(buffer, 0x1ff, 4), buffer);
  EXPECT_EQ(static_cast<uint8_t>(buffer[3]), 0xff);
}

TEST(AsyncOutput, FormatterAgreesWithPrintfOnWhatTheEngineUses) {
  struct Case {
    const char *format;
    long long value;
  } cases[] = {
      {"%d", -42},        {"%i", 2147483647}, {"%u", 3000000000LL}, {"%x", 0xdeadbeef},
      {"0x%08x", 0x1f},   {"%5d|", 42},       {"%-5d|", 42},        {"%X", 0xabc},
      {"%o", 8},          {"%%%d", 1},        {"%c", 'q'},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    char mine[64], theirs[64];
    vucrash_async_format(mine, sizeof(mine), c.format, static_cast<int>(c.value));
    snprintf(theirs, sizeof(theirs), c.format, static_cast<int>(c.value));
    EXPECT_STREQ(mine, theirs);
  }
  char mine[64];
  const char *volatile missing = nullptr;
  vucrash_async_format(mine, sizeof(mine), "%llu %lld %zu %s %s", 18446744073709551615ull,
                       -9223372036854775807LL - 1, static_cast<size_t>(7), "text", missing);
  EXPECT_STREQ(mine, "18446744073709551615 -9223372036854775808 7 text (null)");
  vucrash_async_format(mine, sizeof(mine), "%p", reinterpret_cast<void *>(0x1234));
  EXPECT_STREQ(mine, "0x1234");

  // Cut to the buffer, always terminated.
  char small[8];
  EXPECT_EQ(vucrash_async_format(small, sizeof(small), "%s", "0123456789"), 7u);
  EXPECT_STREQ(small, "0123456");
}

TEST(AsyncOutput, DebugLineNamesRoutineAndLineAndCutsLongMessages) {
  Pipe p;
  int saved = dup(2);
  dup2(p.fds[1], 2);
  std::string longText(300, 'z');
  vucrash_async_log("writer", 17, "Failed: %d", 5);
  vucrash_async_log("writer", 18, "%s", longText.c_str());
  dup2(saved, 2);
  close(saved);
  std::string out = p.drain();
  EXPECT_EQ(out, "[VUCrashReport] writer:17: Failed: 5\n[VUCrashReport] writer:18: " +
                     std::string(127, 'z') + "\n");
}

}  // namespace
