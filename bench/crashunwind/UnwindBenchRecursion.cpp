// Recursion through qsort without frame pointers: each level sorts two values and the
// comparator goes one level deeper, so the stack alternates between our code and libc's.
#include <stdlib.h>

extern "C" {
typedef void (*unwind_bench_leaf_t)(void *);
void unwind_bench_recurse(int depth, unwind_bench_leaf_t leaf, void *context);
}

namespace {
int gNext = -1;
unwind_bench_leaf_t gLeaf;
void *gContext;

int compare(const void *l, const void *r) {
  const int next = gNext;
  gNext = -1;
  if (next >= 0)
    unwind_bench_recurse(next, gLeaf, gContext);
  return *static_cast<const int *>(l) - *static_cast<const int *>(r);
}
}  // namespace

extern "C" __attribute__((noinline)) void unwind_bench_recurse(int depth, unwind_bench_leaf_t leaf,
                                                               void *context) {
  gLeaf = leaf;
  gContext = context;
  if (depth <= 0) {
    leaf(context);
    return;
  }
  volatile int values[2] = {2, 1};
  gNext = depth - 1;
  qsort(const_cast<int *>(values), 2, sizeof(int), compare);
}
