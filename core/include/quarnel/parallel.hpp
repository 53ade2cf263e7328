// The execution plan of a run and the worker pool every parallel stage goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/error.hpp"

namespace quarnel {

// Whether a run's parallel sections may use the worker pool. Decided once per run.
struct ParallelPlan {
  bool parallel = false;

  // QUARNEL_PARALLEL, read afresh on every call, when it names a mode ("1", "on", "true",
  // "parallel" / "0", "off", "false", "serial", after trimming white space and folding
  // ASCII case); otherwise the shape rule: at least 2^16 cells and at least 64
  // feature-level pairs, products saturating.
  static ParallelPlan for_shape(std::uint64_t n_samples, std::uint64_t n_features,
                                std::uint64_t n_levels);
};

namespace pool {

// Runs chunk(begin, end) over disjoint ranges that together cover [0, count), about
// `ranges_per_thread` per pool thread (at least 1, at most 16, at most one per item),
// spread over the process-wide worker pool; returns when every range is done. Called from inside a
// pool task it adds tasks to the running pool instead of starting another, so nested use
// never oversubscribes the machine. Exceptions are reserved for faults (memory exhaustion,
// broken invariants): one thrown by an item ends that item's range, and once every range
// has stopped the exception of the lowest range is rethrown here, on the calling thread.
// A calling thread's first call starts its team of workers and throws std::bad_alloc,
// running nothing, when the threads cannot be created.
void run_ranges(std::size_t count, const std::function<void(std::size_t, std::size_t)>& chunk,
                std::size_t ranges_per_thread = 4);

// The number of threads a parallel section started now would use: the pool's size, or 1
// where the pool cannot be used (see below).
std::size_t worker_count();

// True on a thread that is running a parallel section's items.
bool inside_parallel_section();

// The pool's threads do not survive fork(): a child process forked after the pool started
// would wait forever for them in its first parallel section. Such a child runs every
// parallel section on its calling thread instead, which gives the same bits. False there,
// true everywhere else.
bool usable();

}  // namespace pool

// Calls item(i) for i in [0, count): in the pool when `parallel` is set and there are at
// least two items, else in ascending order on the calling thread. Each item must write
// only its own slot of the stage's output. The items are split into about
// `ranges_per_thread` consecutive ranges per pool thread, each range one task taken by
// whichever thread is free: a few suit many cheap items; items that each cost tens of
// microseconds and differ in cost want more, so that no thread waits long at the end for
// another's last range.
template <class Item>
void parallel_for_split(bool parallel, std::size_t count, std::size_t ranges_per_thread,
                        Item&& item) {
  if (!parallel || count < 2) {
    for (std::size_t i = 0; i < count; ++i) item(i);
    return;
  }
  pool::run_ranges(
      count,
      [&item](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) item(i);
      },
      ranges_per_thread);
}

// parallel_for_split with a few ranges per thread.
template <class Item>
void parallel_for(bool parallel, std::size_t count, Item&& item) {
  parallel_for_split(parallel, count, 4, std::forward<Item>(item));
}

// The results of item(0) ... item(count - 1), in index order, computed as parallel_for
// does.
template <class T, class Item>
std::vector<T> parallel_map(bool parallel, std::size_t count, Item&& item) {
  std::vector<T> results(count);
  parallel_for(parallel, count, [&](std::size_t i) { results[i] = item(i); });
  return results;
}

// The first error in index order, or success when every result holds a value. All items
// have run by the time this is called, so serial and parallel runs report the same error.
template <class T>
Status first_error(std::vector<Result<T>>& results) {
  for (Result<T>& result : results) {
    if (!result) return fail(std::move(result.error()));
  }
  return {};
}

}  // namespace quarnel
