// Walking a deep stack at crash time, and finding FDEs in a large library.
#include "VUCrashAsyncImageList.h"
#include "VUCrashDwarfFrameReader.h"
#include "VUCrashFrameCursor.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unwind.h>

#include <string>
#include <vector>

extern "C" {
typedef void (*unwind_bench_leaf_t)(void *);
void unwind_bench_recurse(int depth, unwind_bench_leaf_t leaf, void *context);
}

namespace {

vucrash_async_image_list_t *imageList() {
  static vucrash_async_image_list_t list = [] {
    // The FDE lookup below searches libQt6Widgets, which nothing else here needs.
    dlopen("libQt6Widgets.so.6", RTLD_NOW | RTLD_GLOBAL);
    vucrash_async_image_list_t l;
    vucrash_nasync_image_list_init(&l, vu_task_self());
    vucrash_nasync_image_list_refresh(&l);
    return l;
  }();
  return &list;
}

struct Run {
  benchmark::State *state;
  bool ours;
  size_t frames = 0;
};

vucrash_error_t walkCursor(vucrash_async_thread_state_t *thread, void *context) {
  Run *run = static_cast<Run *>(context);
  vuframe_cursor_t cursor;
  vuframe_cursor_init(&cursor, vu_task_self(), thread, imageList());
  size_t frames = 0;
  while (frames < 512 && vuframe_cursor_next(&cursor) == VUFRAME_ERR_NONE)
    frames++;
  vuframe_cursor_free(&cursor);
  run->frames = frames;
  return VUCRASH_ERR_NONE;
}

_Unwind_Reason_Code countFrame(struct _Unwind_Context *, void *arg) {
  ++*static_cast<size_t *>(arg);
  return _URC_NO_REASON;
}

void leaf(void *context) {
  Run *run = static_cast<Run *>(context);
  for (auto _ : *run->state) {
    if (run->ours) {
      vucrash_async_thread_state_current(walkCursor, run);
    } else {
      size_t frames = 0;
      _Unwind_Backtrace(countFrame, &frames);
      run->frames = frames;
    }
  }
}

// About a hundred frames: each pair of levels is our code, libc's qsort and QtCore's
// signal delivery.
void BM_WalkDeepStack(benchmark::State &state) {
  Run run{&state, state.range(0) == 1};
  unwind_bench_recurse(19, leaf, &run);
  state.counters["frames"] = static_cast<double>(run.frames);
  state.SetLabel(run.ours ? "cursor" : "_Unwind_Backtrace");
}
BENCHMARK(BM_WalkDeepStack)->Arg(1)->Arg(0);

// pcs spread over libQt6Widgets' code, each looked up by table or by walking .eh_frame.
void BM_FindFdeInQtWidgets(benchmark::State &state) {
  vucrash_async_image_list_t *list = imageList();
  vucrash_async_image_list_set_reading(list, true);
  vucrash_async_image_t *image = nullptr;
  while ((image = vucrash_async_image_list_next(list, image)) != nullptr) {
    const char *name = vucrash_async_image_name(image);
    if (name != nullptr && std::string(name).find("libQt6Widgets") != std::string::npos)
      break;
  }
  if (image == nullptr) {
    state.SkipWithError("libQt6Widgets is not loaded");
    vucrash_async_image_list_set_reading(list, false);
    return;
  }
  vucrash_async_mobject_t frame, hdr;
  vucrash_async_image_map_section(image, "__TEXT", "__eh_frame", &frame);
  vucrash_async_image_map_section(image, "__TEXT", "__eh_frame_hdr", &hdr);
  vucrash::VU::async::dwarf_frame_reader reader;
  reader.init(&frame, vucrash_async_byteorder_little_endian(), true, false);
  const bool table = state.range(0) == 1;
  if (table)
    reader.set_search_table(&hdr);
  const uint64_t start = vucrash_async_image_header_addr(image);
  const uint64_t size = vucrash_async_image_text_size(image);
  std::vector<uint64_t> pcs;
  for (int i = 1; i <= 64; ++i)
    pcs.push_back(start + size * i / 65);
  size_t found = 0;
  for (auto _ : state) {
    for (uint64_t pc : pcs) {
      vucrash_async_dwarf_fde_info_t fde;
      if (table)
        found += reader.find_fde(0, pc, &fde) == VUCRASH_ERR_NONE;
      else
        found += reader.find_fde_linear(0, pc, &fde) == VUCRASH_ERR_NONE;
    }
  }
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pcs.size()));
  state.SetLabel(table ? ".eh_frame_hdr" : "linear");
  vucrash_async_mobject_free(&hdr);
  vucrash_async_mobject_free(&frame);
  vucrash_async_image_list_set_reading(list, false);
}
BENCHMARK(BM_FindFdeInQtWidgets)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
