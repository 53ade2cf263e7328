#include "quarnel/parallel.hpp"

#include <omp.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>

namespace quarnel {
namespace {

// Decodes UTF-8 into code points; nothing when the bytes are not valid UTF-8 (overlong
// forms, surrogates and values beyond U+10FFFF included).
std::optional<std::u32string> decode_utf8(std::string_view text) {
  std::u32string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    char32_t point = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, point = lead & 0x07, minimum = 0x10000;
    } else {
      return std::nullopt;
    }
    if (pos + length > text.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[pos + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      point = (point << 6) | (next & 0x3F);
    }
    if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return std::nullopt;
    }
    out.push_back(point);
    pos += length;
  }
  return out;
}

// The characters with the Unicode White_Space property.
bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

}  // namespace

std::optional<bool> parse_parallel_setting(std::string_view text) {
  const std::optional<std::u32string> decoded = decode_utf8(text);
  if (!decoded) return std::nullopt;
  const std::u32string& points = *decoded;
  std::size_t begin = 0;
  std::size_t end = points.size();
  while (begin < end && is_white_space(points[begin])) ++begin;
  while (end > begin && is_white_space(points[end - 1])) --end;

  // Every recognised word is ASCII, so anything else left after trimming names no mode.
  std::string word;
  for (std::size_t k = begin; k < end; ++k) {
    const char32_t c = points[k];
    if (c >= 0x80) return std::nullopt;
    const char ascii = static_cast<char>(c);
    word.push_back(ascii >= 'A' && ascii <= 'Z' ? static_cast<char>(ascii - 'A' + 'a') : ascii);
  }
  if (word == "1" || word == "on" || word == "true" || word == "parallel") return true;
  if (word == "0" || word == "off" || word == "false" || word == "serial") return false;
  return std::nullopt;
}

ParallelPlan ParallelPlan::for_shape(std::uint64_t n_samples, std::uint64_t n_features,
                                     std::uint64_t n_levels) {
  if (const char* setting = std::getenv("QUARNEL_PARALLEL")) {
    if (const std::optional<bool> forced = parse_parallel_setting(setting)) {
      return ParallelPlan{*forced};
    }
  }
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
