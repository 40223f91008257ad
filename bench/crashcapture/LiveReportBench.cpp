// The crash-time write of a report with 8 and 64 other threads held still, 64 frames deep
// each, against what the generated bindings take to pack and write the same content.
#include "VUCrashAsyncImageList.h"
#include "VUCrashAsyncThreadState.h"
#include "VUCrashLogWriter.h"
#include "VUCrashReportFormat.h"
#include "VUCrashThreadParking.h"
#include "crash_report.pb-c.h"

#include <benchmark/benchmark.h>

#include <linux/futex.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

uint32_t gRelease = 0;
std::atomic<int> gArrived{0};

// 64 frames of our own code, then a wait in a leaf system call that keeps the chain intact.
__attribute__((noinline)) void holdDeep(int depth) {
  if (depth > 0) {
    holdDeep(depth - 1);
    asm volatile("");
    return;
  }
  gArrived++;
  while (__atomic_load_n(&gRelease, __ATOMIC_ACQUIRE) == 0)
    syscall(SYS_futex, &gRelease, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

struct Write {
  vucrash_log_writer_t *writer;
  vucrash_async_image_list_t *images;
  vucrash_async_file_t *file;
  const vucrash_log_writer_signal_info_t *siginfo;
};

vucrash_error_t writeHere(vucrash_async_thread_state_t *state, void *context) {
  auto *w = static_cast<Write *>(context);
  return vucrash_log_writer_write(w->writer, vu_mach_thread_self(), w->images, w->file,
                                  w->siginfo, state);
}

void BM_LiveReport(benchmark::State &state) {
  const int threadCount = static_cast<int>(state.range(0));
  vucrash_nasync_thread_parking_init();
  vucrash_async_image_list_t images;
  vucrash_nasync_image_list_init(&images, vu_task_self());
  vucrash_nasync_image_list_refresh(&images);
  vucrash_log_writer_t writer;
  vucrash_log_writer_init(&writer, "org.quillon.Bench", "1", nullptr, 0, true);
  vucrash_log_writer_signal_info_t siginfo = {};
  siginfo.bsd_info.signo = 5;
  siginfo.bsd_info.code = 2;

  gRelease = 0;
  gArrived = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < threadCount; ++i)
    threads.emplace_back([] { holdDeep(64); });
  while (gArrived.load() < threadCount)
    std::this_thread::yield();

  FILE *out = tmpfile();
  size_t reportBytes = 0;
  for (auto _ : state) {
    ftruncate(fileno(out), 0);
    lseek(fileno(out), 0, SEEK_SET);
    vucrash_async_file_t file;
    vucrash_async_file_init(&file, fileno(out), VUCRASH_REPORT_MAX_SIZE);
    Write w = {&writer, &images, &file, &siginfo};
    vucrash_async_thread_state_current(writeHere, &w);
    vucrash_async_file_flush(&file);
    reportBytes = file.total;
  }

  // The yardstick: the same content packed by the generated code and written once.
  std::vector<uint8_t> bytes(reportBytes);
  pread(fileno(out), bytes.data(), bytes.size(), 0);
  Vucrash__CrashReport *report = vucrash__crash_report__unpack(
      nullptr, bytes.size() - VUCRASH_REPORT_FILE_HEADER_SIZE,
      bytes.data() + VUCRASH_REPORT_FILE_HEADER_SIZE);
  double packMs = 0;
  if (report != nullptr) {
    std::vector<uint8_t> packed(vucrash__crash_report__get_packed_size(report) + 8);
    constexpr int kRounds = 50;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
      ftruncate(fileno(out), 0);
      memcpy(packed.data(), "vucrash\x01", 8);
      size_t n = vucrash__crash_report__pack(report, packed.data() + 8);
      pwrite(fileno(out), packed.data(), n + 8, 0);
    }
    packMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                 .count() /
             kRounds;
    state.counters["threads_written"] = static_cast<double>(report->n_threads);
    vucrash__crash_report__free_unpacked(report, nullptr);
  }
  state.counters["report_bytes"] = static_cast<double>(reportBytes);
  state.counters["pack_write_ms"] = packMs;
  fclose(out);

  __atomic_store_n(&gRelease, 1, __ATOMIC_RELEASE);
  syscall(SYS_futex, &gRelease, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
  for (std::thread &t : threads)
    t.join();
  vucrash_log_writer_free(&writer);
  vucrash_nasync_image_list_free(&images);
}

BENCHMARK(BM_LiveReport)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
