#pragma once
// Spreads independent pieces of work (archiving or decoding the logs of one batch) over a
// few helper threads, so a backlog does not wait on one core for work that shares nothing.
//
// forEach runs work(i) once for every i below count and returns when all have finished.
// The calling thread takes items itself, so everything finishes even when no helper thread
// can start; small counts run on the calling thread alone. Items may run in any order and
// at the same time: work must only touch what belongs to its own index (and thread-safe
// shared state). Callable from any thread.

#include <QtGlobal>

#include <functional>

namespace VUWorkers {

void forEach(qsizetype count, const std::function<void(qsizetype index)> &work);

} // namespace VUWorkers
