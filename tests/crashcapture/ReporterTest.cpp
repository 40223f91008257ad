// The reporter's set-up and live reports, and the writer's limits, in this process (no
// crash): what a caller sees without anything dying.
#include "CrashTestSupport.h"

#include "VUCrashAsyncSignalInfo.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashHostInfo.h"
#include "VUCrashLogWriter.h"
#include "VUCrashReportFormat.h"
#include "VUCrashReporter.h"
#include "VUCrashSysctl.h"
#include "VUCrashThreadParking.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Decoded {
  explicit Decoded(const VUCrashReportData &data)
      : bytes(data.bytes, data.bytes + data.length), report(decodeReport(bytes)) {}
  ~Decoded() {
    if (report != nullptr)
      vucrash__crash_report__free_unpacked(report, nullptr);
  }
  std::vector<uint8_t> bytes;
  Vucrash__CrashReport *report;
};

const Vucrash__CrashReport__Thread *crashedThread(const Vucrash__CrashReport *report) {
  for (size_t i = 0; i < report->n_threads; ++i)
    if (report->threads[i]->crashed)
      return report->threads[i];
  return nullptr;
}

TEST(Reporter, FolderFollowsTheCacheHomeAndKeepsSlashesOutOfItsName) {
  setenv("XDG_CACHE_HOME", "/somewhere/cache", 1);
  VUCrashReporter reporter("org.quillon/Evil/../x", nullptr, nullptr);
  EXPECT_STREQ(reporter.crashReportDirectory(),
               "/somewhere/cache/org.quillon.crashreporter.data/org.quillon_Evil_.._x");
  EXPECT_STREQ(reporter.crashReportPath(),
               "/somewhere/cache/org.quillon.crashreporter.data/org.quillon_Evil_.._x/"
               "live_report.vucrash");
  EXPECT_STREQ(reporter.queuedCrashReportDirectory(),
               "/somewhere/cache/org.quillon.crashreporter.data/org.quillon_Evil_.._x/"
               "queued_reports");
  unsetenv("XDG_CACHE_HOME");
}

TEST(Reporter, PendingReportIsFoundReadAndPurged) {
  std::string cache = std::string(getenv("HOME")) + "/pending-cache";
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  VUCrashReporter reporter("org.quillon.Pending", "1", nullptr);
  EXPECT_FALSE(reporter.hasPendingCrashReport());
  VUCrashReporterError error = {};
  ASSERT_TRUE(reporter.populateCrashReportDirectory(&error)) << error.description;
  FILE *file = fopen(reporter.crashReportPath(), "wb");
  ASSERT_NE(file, nullptr);
  fputs("vucrash\x01x", file);
  fclose(file);
  EXPECT_TRUE(reporter.hasPendingCrashReport());
  VUCrashReportData data = {};
  ASSERT_TRUE(reporter.loadPendingCrashReportData(&data, &error));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(data.bytes), data.length), "vucrash\x01x");
  free(data.bytes);
  EXPECT_TRUE(reporter.purgePendingCrashReport(&error));
  EXPECT_FALSE(reporter.hasPendingCrashReport());
  EXPECT_FALSE(reporter.purgePendingCrashReport(&error));
  EXPECT_EQ(error.code, VUCrashReporterErrorOperatingSystem);
  unsetenv("XDG_CACHE_HOME");
}

// Enabling is once per process, whichever instance asks and whether the first try worked.
TEST(Reporter, SecondEnableFailsWithCode3EvenAfterAFailedFirst) {
  pid_t pid = fork();
  if (pid == 0) {
    // A file where the cache folder should be: the first enable cannot make its folder.
    std::string blocker = std::string(getenv("HOME")) + "/blocked-cache";
    FILE *file = fopen(blocker.c_str(), "w");
    if (file != nullptr)
      fclose(file);
    setenv("XDG_CACHE_HOME", blocker.c_str(), 1);
    VUCrashReporter first("org.quillon.First", "1", nullptr);
    VUCrashReporterError error = {};
    if (first.enableCrashReporter(&error))
      _exit(10);
    if (error.code != VUCrashReporterErrorOperatingSystem)
      _exit(11);
    setenv("XDG_CACHE_HOME", (std::string(getenv("HOME")) + "/good-cache").c_str(), 1);
    VUCrashReporter second("org.quillon.Second", "1", nullptr);
    if (second.enableCrashReporter(&error))
      _exit(12);
    _exit(error.code == VUCrashReporterErrorResourceBusy ? 0 : 13);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Reporter, LiveReportOfTheCallingThread) {
  VUCrashReporter reporter("org.quillon.Live", "7", "0.7");
  VUCrashReportData data = {};
  VUCrashReporterError error = {};
  ASSERT_TRUE(reporter.generateLiveReport(&data, &error)) << error.description;
  Decoded decoded(data);
  free(data.bytes);
  ASSERT_NE(decoded.report, nullptr);
  const Vucrash__CrashReport *report = decoded.report;
  EXPECT_TRUE(report->report_info->user_requested);
  EXPECT_EQ(report->report_info->uuid.len, 16u);
  EXPECT_STREQ(report->signal->name, "SIGTRAP");
  EXPECT_STREQ(report->signal->code, "TRAP_TRACE");
  EXPECT_EQ(report->signal->address, 0u);
  EXPECT_STREQ(report->application_info->version, "7");
  EXPECT_STREQ(report->application_info->marketing_version, "0.7");
  EXPECT_EQ(report->process_info->process_id, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(report->process_info->parent_process_id, static_cast<uint32_t>(getppid()));
  EXPECT_TRUE(report->process_info->native);
  EXPECT_GT(report->system_info->timestamp, 0);
  const Vucrash__CrashReport__Thread *crashed = crashedThread(report);
  ASSERT_NE(crashed, nullptr);
  EXPECT_EQ(crashed->n_registers, 21u);
  EXPECT_GE(crashed->n_frames, 2u);
  EXPECT_EQ(vucrash__crash_report__get_packed_size(report), decoded.bytes.size() - 8);
}

TEST(Reporter, LiveReportOfAnotherThreadReadsItsRegistersAndLeavesTheCallerOut) {
  std::mutex mutex;
  std::condition_variable cv;
  bool stop = false;
  std::atomic<pid_t> tid{0};
  std::thread waiter([&] {
    tid = gettid();
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return stop; });
  });
  while (tid.load() == 0) {
  }
  VUCrashReporter reporter("org.quillon.Live", "7", nullptr);
  VUCrashReportData data = {};
  VUCrashReporterError error = {};
  ASSERT_TRUE(reporter.generateLiveReportWithThread(tid.load(), &data, &error));
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  cv.notify_all();
  waiter.join();
  Decoded decoded(data);
  free(data.bytes);
  ASSERT_NE(decoded.report, nullptr);
  const Vucrash__CrashReport__Thread *crashed = crashedThread(decoded.report);
  ASSERT_NE(crashed, nullptr);
  EXPECT_EQ(crashed->n_registers, 21u);
  // It waits inside the C library, whose code keeps no frame pointers: the walk may end there.
  EXPECT_GE(crashed->n_frames, 1u);
}

// Holds a thread still, deep in frames this program built with frame pointers.
__attribute__((noinline)) void spinDeep(int depth, std::atomic<bool> *stop,
                                        std::atomic<int> *arrived) {
  if (depth > 0) {
    spinDeep(depth - 1, stop, arrived);
    asm volatile("");
    return;
  }
  (*arrived)++;
  while (!stop->load()) {
  }
}

// A report that would pass its limit keeps what matters whole: the signal, the images, the
// crashed thread with its registers. Whole frames and threads go instead.
TEST(ReportWriter, ReportsWithinTightLimitsStillDecode) {
  vucrash_nasync_thread_parking_init();
  vucrash_async_image_list_t images;
  ASSERT_EQ(vucrash_nasync_image_list_init(&images, vu_task_self()), VUCRASH_ERR_NONE);
  vucrash_nasync_image_list_refresh(&images);
  vucrash_log_writer_t writer;
  vucrash_log_writer_init(&writer, "org.quillon.Limits", "1", nullptr, 0, true);

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  std::atomic<int> arrived{0};
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] { spinDeep(300, &stop, &arrived); });
  while (arrived.load() < 8) {
  }

  size_t unlimitedSize = 0;
  for (uint64_t limit : {0ull, 9000ull, 6000ull, 4000ull}) {
    SCOPED_TRACE(limit);
    FILE *tmp = tmpfile();
    vucrash_async_file_t file;
    vucrash_async_file_init(&file, fileno(tmp), limit);
    vucrash_log_writer_signal_info_t siginfo = {};
    siginfo.bsd_info.signo = 11;
    siginfo.bsd_info.code = 1;
    struct Context {
      vucrash_log_writer_t *writer;
      vucrash_async_image_list_t *images;
      vucrash_async_file_t *file;
      vucrash_log_writer_signal_info_t *siginfo;
    } context = {&writer, &images, &file, &siginfo};
    vucrash_async_thread_state_current(
        [](vucrash_async_thread_state_t *state, void *ctx) {
          auto *c = static_cast<Context *>(ctx);
          return vucrash_log_writer_write(c->writer, vu_mach_thread_self(), c->images, c->file,
                                          c->siginfo, state);
        },
        &context);
    ASSERT_TRUE(vucrash_async_file_flush(&file));
    fflush(tmp);
    std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fileno(tmp), 0, SEEK_END)));
    ASSERT_EQ(pread(fileno(tmp), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    fclose(tmp);
    if (limit == 0)
      unlimitedSize = bytes.size();
    else
      EXPECT_LE(bytes.size(), limit);

    Vucrash__CrashReport *report = decodeReport(bytes);
    ASSERT_NE(report, nullptr);
    ASSERT_NE(report->signal, nullptr);
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    const Vucrash__CrashReport__Thread *crashed = crashedThread(report);
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 21u);
    EXPECT_GE(report->n_binary_images, 1u);
    EXPECT_EQ(vucrash__crash_report__get_packed_size(report), bytes.size() - 8);
    vucrash__crash_report__free_unpacked(report, nullptr);
  }
  EXPECT_GT(unlimitedSize, 9000u) << "the limits must actually bite";
  stop = true;
  for (std::thread &t : threads)
    t.join();
  vucrash_log_writer_free(&writer);
}

// A writer whose preparation failed still emits every text a reader depends on, as empty
// text, rather than leaving required fields out.
TEST(ReportWriter, TextsThatCouldNotBePreparedAreWrittenEmpty) {
  vucrash_async_image_list_t images;
  ASSERT_EQ(vucrash_nasync_image_list_init(&images, vu_task_self()), VUCRASH_ERR_NONE);
  vucrash_log_writer_t writer;
  memset(&writer, 0, sizeof(writer));
  writer.uncaught_exception.has_exception = true;  // with neither name nor reason

  FILE *tmp = tmpfile();
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, fileno(tmp), VUCRASH_REPORT_MAX_SIZE);
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = 99;  // no name in the table
  siginfo.bsd_info.code = -3;
  struct Context {
    vucrash_log_writer_t *writer;
    vucrash_async_image_list_t *images;
    vucrash_async_file_t *file;
    vucrash_log_writer_signal_info_t *siginfo;
  } context = {&writer, &images, &file, &siginfo};
  vucrash_async_thread_state_current(
      [](vucrash_async_thread_state_t *state, void *ctx) {
        auto *c = static_cast<Context *>(ctx);
        return vucrash_log_writer_write(c->writer, vu_mach_thread_self(), c->images, c->file,
                                        c->siginfo, state);
      },
      &context);
  ASSERT_TRUE(vucrash_async_file_flush(&file));
  std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fileno(tmp), 0, SEEK_END)));
  ASSERT_EQ(pread(fileno(tmp), bytes.data(), bytes.size(), 0),
            static_cast<ssize_t>(bytes.size()));
  fclose(tmp);

  Vucrash__CrashReport *report = decodeReport(bytes);
  ASSERT_NE(report, nullptr);
  EXPECT_STREQ(report->system_info->os_version, "");
  EXPECT_STREQ(report->application_info->identifier, "");
  EXPECT_STREQ(report->application_info->version, "");
  ASSERT_NE(report->exception, nullptr);
  EXPECT_STREQ(report->exception->name, "");
  EXPECT_STREQ(report->exception->reason, "");
  EXPECT_STREQ(report->signal->name, "#99");
  EXPECT_STREQ(report->signal->code, "#-3");
  vucrash__crash_report__free_unpacked(report, nullptr);
  vucrash_nasync_image_list_free(&images);
}

// Without a thread list (here: threads were never made listable) the report still holds the
// crashed thread: a report without one would be rejected by every reader.
TEST(ReportWriter, CrashedThreadIsWrittenWhenThreadsCannotBeListed) {
  if (vucrash_thread_parking_signal() != 0)
    GTEST_SKIP() << "thread listing was set up by an earlier test in this process";
  vucrash_async_image_list_t images;
  ASSERT_EQ(vucrash_nasync_image_list_init(&images, vu_task_self()), VUCRASH_ERR_NONE);
  vucrash_log_writer_t writer;
  vucrash_log_writer_init(&writer, "org.quillon.Alone", "1", nullptr, 0, false);
  FILE *tmp = tmpfile();
  vucrash_async_file_t file;
  vucrash_async_file_init(&file, fileno(tmp), VUCRASH_REPORT_MAX_SIZE);
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = 11;
  siginfo.bsd_info.code = 1;
  struct Context {
    vucrash_log_writer_t *writer;
    vucrash_async_image_list_t *images;
    vucrash_async_file_t *file;
    vucrash_log_writer_signal_info_t *siginfo;
  } context = {&writer, &images, &file, &siginfo};
  vucrash_async_thread_state_current(
      [](vucrash_async_thread_state_t *state, void *ctx) {
        auto *c = static_cast<Context *>(ctx);
        return vucrash_log_writer_write(c->writer, vu_mach_thread_self(), c->images, c->file,
                                        c->siginfo, state);
      },
      &context);
  ASSERT_TRUE(vucrash_async_file_flush(&file));
  std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fileno(tmp), 0, SEEK_END)));
  ASSERT_EQ(pread(fileno(tmp), bytes.data(), bytes.size(), 0),
            static_cast<ssize_t>(bytes.size()));
  fclose(tmp);
  Vucrash__CrashReport *report = decodeReport(bytes);
  ASSERT_NE(report, nullptr);
  ASSERT_EQ(report->n_threads, 1u);
  EXPECT_TRUE(report->threads[0]->crashed);
  EXPECT_EQ(report->threads[0]->n_registers, 21u);
  vucrash__crash_report__free_unpacked(report, nullptr);
  vucrash_log_writer_free(&writer);
  vucrash_nasync_image_list_free(&images);
}

TEST(HostAndProcess, KernelReleaseParsesIntoThreeNumbers) {
  struct Case {
    const char *release;
    uint64_t major, minor, revision;
  } cases[] = {{"13.4.0", 13, 4, 0}, {"6.18.44-fc-v1523", 6, 18, 44}, {"13", 13, 0, 0},
               {"", 0, 0, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.release);
    VUCrashHostInfoVersion v = VUCrashHostInfo::parseRelease(c.release);
    EXPECT_EQ(v.major, c.major);
    EXPECT_EQ(v.minor, c.minor);
    EXPECT_EQ(v.revision, c.revision);
  }
}

TEST(HostAndProcess, ValidUtf8PrefixRejectsMalformedSequences) {
  struct Case {
    const char *name;
    std::string bytes;
    size_t valid;
  } cases[] = {
      {"plain", "abc", 3},
      {"lone lead byte before NUL", std::string("abc\xC3", 4), 3},
      {"two-byte", "a\xC3\xA9", 3},
      {"byte-order mark counts", "\xEF\xBB\xBFx", 4},
      {"overlong two-byte", "a\xC0\xAF", 1},
      {"overlong three-byte", "a\xE0\x80\xAF", 1},
      {"overlong four-byte", "a\xF0\x80\x80\xAF", 1},
      {"surrogate", "a\xED\xA0\x80", 1},
      {"past U+10FFFF", "a\xF4\x90\x80\x80", 1},
      {"F5 lead", "a\xF5\x80\x80\x80", 1},
      {"largest", "a\xF4\x8F\xBF\xBF", 5},
      {"cut short", "a\xE2\x82", 1},
      {"stray continuation", "a\x80", 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(vucrash_sysctl_valid_utf8_bytes_max(
                  reinterpret_cast<const uint8_t *>(c.bytes.data()), c.bytes.size()),
              c.valid);
  }
}

TEST(HostAndProcess, SignalNamesUseTheReportNumbering) {
  EXPECT_STREQ(vucrash_async_signal_signame(6), "SIGABRT");
  EXPECT_STREQ(vucrash_async_signal_signame(vucrash_async_signal_report_signo(SIGBUS)), "SIGBUS");
  EXPECT_EQ(vucrash_async_signal_report_signo(SIGBUS), 10);
  EXPECT_EQ(vucrash_async_signal_sigcode(11, 5), nullptr);
  EXPECT_EQ(vucrash_async_signal_sigcode(5, 0), nullptr);
  EXPECT_STREQ(vucrash_async_signal_sigcode(6, 0), "#0");
  struct Case {
    int signo, code;
    const char *name;
  } cases[] = {{SIGFPE, FPE_INTDIV, "FPE_INTDIV"}, {SIGFPE, FPE_FLTDIV, "FPE_FLTDIV"},
               {SIGILL, ILL_ILLOPN, "ILL_ILLOPN"}, {SIGILL, ILL_ILLTRP, "ILL_ILLTRP"},
               {SIGBUS, BUS_ADRERR, "BUS_ADRERR"}, {SIGTRAP, SI_KERNEL, "TRAP_BRKPT"},
               {SIGABRT, SI_TKILL, "#0"},           {SIGSEGV, SEGV_ACCERR, "SEGV_ACCERR"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_STREQ(vucrash_async_signal_sigcode(vucrash_async_signal_report_signo(c.signo),
                                              vucrash_async_signal_report_code(c.signo, c.code)),
                 c.name);
  }
}

}  // namespace
