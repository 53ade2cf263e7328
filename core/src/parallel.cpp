#include "quarnel/parallel.hpp"

#include "quarnel/setting.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <new>

namespace quarnel {
namespace {

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

}  // namespace

ParallelPlan ParallelPlan::for_shape(std::uint64_t n_samples, std::uint64_t n_features,
                                     std::uint64_t n_levels) {
  if (const std::optional<bool> forced = parallel_setting()) return ParallelPlan{*forced};
  const std::uint64_t cells = saturating_product(n_samples, n_features);
  const std::uint64_t work = saturating_product(n_features, std::max<std::uint64_t>(n_levels, 1));
  return ParallelPlan{cells >= 65536 && work >= 64};
}

namespace pool {
namespace {

// Set in a child process forked after the pool had started. GNU libgomp keeps its idle
// threads in a process-wide team that fork() copies without the threads themselves; the
// child's first parallel region would then wait for them forever.
std::atomic<bool> pool_lost_in_fork{false};

void mark_pool_lost_in_fork() { pool_lost_in_fork.store(true, std::memory_order_relaxed); }

// Registered once, just before the first parallel region starts the pool: a process that
// forks before then hands its child no pool to lose.
void watch_for_fork() {
  static const int registered = pthread_atfork(nullptr, nullptr, mark_pool_lost_in_fork);
  require(registered == 0, "fork handler of the worker pool registered");
}

void* exit_at_once(void* /*unused*/) { return nullptr; }

// libgomp ends the whole process when it cannot create a worker thread, which a tight
// address-space limit (`ulimit -v`) is enough to cause. Each calling thread gets a team of
// workers of its own at its first parallel region, so before that region the calling
// thread makes sure that as many threads (with the default stack size, which libgomp uses
// unless OMP_STACKSIZE says otherwise) can be created now, and reports memory exhaustion
// when they cannot; a later run tries again.
void check_workers_can_start(std::size_t threads) {
  thread_local bool team_started = false;
  if (team_started) return;
  std::vector<pthread_t> probes;
  probes.reserve(threads);
  bool created = true;
  for (std::size_t t = 1; t < threads && created; ++t) {
    pthread_t probe;
    created = pthread_create(&probe, nullptr, exit_at_once, nullptr) == 0;
    if (created) probes.push_back(probe);
  }
  for (const pthread_t probe : probes) pthread_join(probe, nullptr);
  if (!created) throw std::bad_alloc();
  team_started = true;
}

}  // namespace

bool usable() { return !pool_lost_in_fork.load(std::memory_order_relaxed); }

bool inside_parallel_section() { return omp_in_parallel() != 0; }

std::size_t worker_count() {
  if (!usable()) return 1;
  return static_cast<std::size_t>(inside_parallel_section() ? omp_get_num_threads()
                                                            : omp_get_max_threads());
}

void run_ranges(std::size_t count, const std::function<void(std::size_t, std::size_t)>& chunk,
                std::size_t ranges_per_thread) {
  if (!usable()) {
    // Ascending order on this thread, as a serial run does; its exceptions need no carrying.
    if (count > 0) chunk(0, count);
    return;
  }
  const bool nested = omp_in_parallel() != 0;
  const auto threads = static_cast<std::size_t>(nested ? omp_get_num_threads() : omp_get_max_threads());
  if (!nested) {
    watch_for_fork();
    check_workers_can_start(threads);
  }
  // Each range is one task: a thread that is done takes the next range, so more ranges
  // balance uneven items better and cost more tasks. libgomp runs a whole taskloop on the
  // encountering thread, one task after another, when it would bring the team's tasks
  // past 64 per thread; staying well below that leaves room for nested sections too.
  constexpr std::size_t kMostRangesPerThread = 16;
  const std::size_t per_thread = std::clamp<std::size_t>(ranges_per_thread, 1, kMostRangesPerThread);
  const std::size_t n_ranges = std::clamp<std::size_t>(per_thread * threads, 1, count);
  std::vector<std::exception_ptr> failures(n_ranges);

  auto run_range = [&](std::size_t r) {
    const std::size_t begin = count * r / n_ranges;
    const std::size_t end = count * (r + 1) / n_ranges;
    try {
      chunk(begin, end);
    } catch (...) {
      // Nothing may leave an OpenMP task; the exception is carried to the caller.
      failures[r] = std::current_exception();
    }
  };

  if (nested) {
    // Inside a pool task: the waiting thread helps run the new tasks, so nesting costs no
    // extra threads. taskloop waits for all its tasks before returning.
#pragma omp taskloop grainsize(1)
    for (std::size_t r = 0; r < n_ranges; ++r) run_range(r);
  } else {
#pragma omp parallel
#pragma omp single
#pragma omp taskloop grainsize(1)
    for (std::size_t r = 0; r < n_ranges; ++r) run_range(r);
  }

  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace pool
}  // namespace quarnel
