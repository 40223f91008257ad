// Whole walks through optimised code without frame pointers, through libc and across a
// signal frame, checked frame by frame against the compiler runtime's own unwinder.
#include "UnwindFixture.h"
#include "VUCrashAsyncImageList.h"
#include "VUCrashFrameCursor.h"
#include "VUCrashThreadParking.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#include <unwind.h>

#include <algorithm>
#include <string>

#include <vector>

namespace {

struct Walk {
  vucrash_async_image_list_t *list = nullptr;
  std::vector<uint64_t> cursor;    // our walk, from the capture's caller
  std::vector<uint64_t> runtime;   // the runtime's, from the same place
  vuframe_error_t end = VUFRAME_ERR_NONE;
  sigjmp_buf leave;
};

_Unwind_Reason_Code collect(struct _Unwind_Context *context, void *arg) {
  static_cast<std::vector<uint64_t> *>(arg)->push_back(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

vucrash_error_t walkFromHere(vucrash_async_thread_state_t *state, void *context) {
  Walk *walk = static_cast<Walk *>(context);
  vuframe_cursor_t cursor;
  vuframe_cursor_init(&cursor, vu_task_self(), state, walk->list);
  vuframe_error_t err;
  while (walk->cursor.size() < 200 && (err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE) {
    vucrash_greg_t pc = 0;
    vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc);
    walk->cursor.push_back(pc);
  }
  walk->end = err;
  vuframe_cursor_free(&cursor);

  _Unwind_Backtrace(collect, &walk->runtime);
  return VUCRASH_ERR_NONE;
}

// The runtime's list starts inside the capture; ours at its caller. From there on they
// must agree frame for frame, to the end of the stack.
void expectSameFrames(const Walk &walk) {
  ASSERT_FALSE(walk.cursor.empty());
  auto start = std::find(walk.runtime.begin(), walk.runtime.end(), walk.cursor.front());
  ASSERT_NE(start, walk.runtime.end()) << "our first frame is not one the runtime saw";
  std::vector<uint64_t> expected(start, walk.runtime.end());
  // The runtime ends on the entry point's undefined return address (0).
  while (!expected.empty() && expected.back() <= 0x1000)
    expected.pop_back();
  EXPECT_EQ(walk.cursor, expected);
  EXPECT_EQ(walk.end, VUFRAME_ERR_NOFRAME);
  EXPECT_GT(walk.cursor.size(), 5u);
}

class FrameWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(vucrash_nasync_image_list_init(&list, vu_task_self()), VUCRASH_ERR_NONE);
    vucrash_nasync_image_list_refresh(&list);
    walk.list = &list;
  }
  void TearDown() override { vucrash_nasync_image_list_free(&list); }

  vucrash_async_image_list_t list;
  Walk walk;
};

TEST_F(FrameWalk, ThroughCodeWithoutFramePointers) {
  unwind_fixture_a(walkFromHere, &walk);
  expectSameFrames(walk);
}

TEST_F(FrameWalk, ThroughLibcQsort) {
  unwind_fixture_sort(walkFromHere, &walk);
  expectSameFrames(walk);
}

TEST_F(FrameWalk, ThroughARecursionWhoseFramesRepeat) {
  // Levels after the first reuse the rules the walk worked out for the same return
  // addresses; they must still unwind each level's own frame. The walk ends at the entry
  // point, whose rules leave the return address undefined: the normal end, not a failure.
  testing::internal::CaptureStderr();
  unwind_fixture_recurse(40, walkFromHere, &walk);
  const std::string log = testing::internal::GetCapturedStderr();
  expectSameFrames(walk);
  EXPECT_GT(walk.cursor.size(), 120u);
  EXPECT_EQ(log.find("Failed to apply"), std::string::npos) << log;
}

TEST_F(FrameWalk, WithEveryWalkCacheClaimedTheWalkGoesOnUncached) {
  std::vector<vuframe_walk_cache_t *> claimed;
  while (vuframe_walk_cache_t *cache = vuframe_walk_cache_claim())
    claimed.push_back(cache);
  EXPECT_FALSE(claimed.empty());
  unwind_fixture_recurse(8, walkFromHere, &walk);
  for (vuframe_walk_cache_t *cache : claimed)
    vuframe_walk_cache_release(cache);
  expectSameFrames(walk);

  // Released caches are claimed again.
  vuframe_walk_cache_t *again = vuframe_walk_cache_claim();
  EXPECT_NE(again, nullptr);
  vuframe_walk_cache_release(again);
}

bool insideLibcFunction(uint64_t pc, const char *name) {
  Dl_info info;
  return dladdr(reinterpret_cast<void *>(pc), &info) != 0 && info.dli_sname != nullptr &&
         std::string(info.dli_sname) == name;
}

TEST_F(FrameWalk, AParkedThreadIsWalkedFromTheRegistersItStored) {
  ASSERT_EQ(vucrash_nasync_thread_parking_init(), VUCRASH_ERR_NONE);
  vuframe_test_thread_t waiting;
  vuframe_test_thread_spawn(&waiting);

  vucrash_thread_t tids[64];
  size_t count = 0;
  ASSERT_TRUE(vucrash_async_thread_list(tids, 64, &count));
  const vucrash_thread_t self = vu_mach_thread_self();
  vucrash_async_threads_park(tids, count, self, 0);

  // Each other thread is walked from where the parking signal found it; the one waiting on
  // its condition is inside pthread_cond_wait.
  bool sawWaiter = false;
  for (size_t i = 0; i < count; ++i) {
    if (tids[i] == self)
      continue;
    SCOPED_TRACE(tids[i]);
    vuframe_cursor_t cursor;
    ASSERT_EQ(vuframe_cursor_thread_init(&cursor, vu_task_self(), tids[i], &list), VUCRASH_ERR_NONE);
    std::vector<uint64_t> frames;
    vuframe_error_t err;
    while (frames.size() < 100 && (err = vuframe_cursor_next(&cursor)) == VUFRAME_ERR_NONE) {
      vucrash_greg_t pc = 0;
      vuframe_cursor_get_reg(&cursor, VUCRASH_REG_IP, &pc);
      frames.push_back(pc);
    }
    vuframe_cursor_free(&cursor);
    EXPECT_EQ(err, VUFRAME_ERR_NOFRAME);
    sawWaiter = sawWaiter || std::any_of(frames.begin(), frames.end(), [](uint64_t pc) {
                  return insideLibcFunction(pc, "pthread_cond_wait");
                });
  }
  vucrash_async_threads_release();
  vuframe_test_thread_stop(&waiting);
  EXPECT_TRUE(sawWaiter);

  // A thread that never parked has no registers to give.
  vucrash_async_thread_state_t state;
  testing::internal::CaptureStderr();
  EXPECT_EQ(vucrash_async_thread_state_mach_thread_init(&state, self), VUCRASH_ERR_INTERNAL);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Fetch of x86 thread state failed with Mach error: 3"),
            std::string::npos);
  EXPECT_FALSE(vucrash_async_thread_state_has_reg(&state, VUCRASH_REG_IP));
}

// A list made by a static initialiser, before main and before the engine's own initialisers
// may have run.
vucrash_async_image_list_t gEarlyList;
const bool gEarlyListMade = [] {
  const bool made = vucrash_nasync_image_list_init(&gEarlyList, vu_task_self()) == VUCRASH_ERR_NONE;
  vucrash_nasync_image_list_refresh(&gEarlyList);
  return made;
}();

TEST(FrameWalkBeforeMain, ImagesListedByAStaticInitialiserAreWalked) {
  ASSERT_TRUE(gEarlyListMade);
  Walk walk;
  walk.list = &gEarlyList;
  unwind_fixture_a(walkFromHere, &walk);
  expectSameFrames(walk);
}

Walk *noreturnWalk;

}  // namespace

extern "C" [[noreturn]] void unwind_test_capture_and_leave(void *context) {
  Walk *walk = static_cast<Walk *>(context);
  vucrash_async_thread_state_current(walkFromHere, walk);
  siglongjmp(walk->leave, 1);
}

namespace {

TEST_F(FrameWalk, ThroughAFunctionWhoseLastInstructionIsANoreturnCall) {
  // The return address of that call is past the function's end: its rules are those of the
  // call, one byte back.
  if (sigsetjmp(walk.leave, 0) == 0)
    unwind_fixture_ends_in_noreturn(&walk);
  expectSameFrames(walk);
}

void handler(int) { vucrash_async_thread_state_current(walkFromHere, noreturnWalk); }

TEST_F(FrameWalk, FromASignalHandlerAcrossTheSignalFrame) {
  noreturnWalk = &walk;
  struct sigaction action = {}, previous = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  unwind_fixture_raise(SIGUSR1);
  sigaction(SIGUSR1, &previous, nullptr);
  expectSameFrames(walk);
}

}  // namespace
