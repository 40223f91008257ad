// Recursion through code without frame pointers, libc and libQt6Core: levels alternate
// between a qsort whose comparator goes one level deeper and a signal whose slot does, so
// the stack mixes our frames with libc's sort and QtCore's signal delivery.
#include <QObject>
#include <QString>

#include <stdlib.h>

extern "C" {
typedef void (*unwind_bench_leaf_t)(void *);
void unwind_bench_recurse(int depth, unwind_bench_leaf_t leaf, void *context);
}

namespace {
int gNext = -1;
unwind_bench_leaf_t gLeaf;
void *gContext;

void goDeeper() {
  const int next = gNext;
  gNext = -1;
  if (next >= 0)
    unwind_bench_recurse(next, gLeaf, gContext);
}

int compare(const void *l, const void *r) {
  goDeeper();
  return *static_cast<const int *>(l) - *static_cast<const int *>(r);
}

QObject *emitter() {
  static QObject *object = [] {
    auto *o = new QObject;
    QObject::connect(o, &QObject::objectNameChanged, [](const QString &) { goDeeper(); });
    return o;
  }();
  return object;
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
  gNext = depth - 1;
  if (depth % 2 == 0) {
    volatile int values[2] = {2, 1};
    qsort(const_cast<int *>(values), 2, sizeof(int), compare);
  } else {
    // A name the object does not have yet, so the change is signalled.
    emitter()->setObjectName(QString::number(depth));
  }
}
