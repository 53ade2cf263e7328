// The execution plan (QUARNEL_PARALLEL and the shape rule) and the worker pool that every
// parallel stage goes through.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "quarnel/error.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/setting.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::ScopedEnv;
using namespace std::chrono_literals;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr const char* kSetting = "QUARNEL_PARALLEL";

// ---------------------------------------------------------------------------------------
// Reading QUARNEL_PARALLEL.

struct SettingCase {
  std::string label;
  std::string text;
  std::optional<bool> mode;  // nothing: the value names no mode
};

std::vector<SettingCase> setting_cases() {
  const std::optional<bool> none;
  return {
      // The eight words.
      {"one", "1", true},
      {"on", "on", true},
      {"true", "true", true},
      {"parallel", "parallel", true},
      {"zero", "0", false},
      {"off", "off", false},
      {"false", "false", false},
      {"serial", "serial", false},
      // ASCII case folding.
      {"upper_true", "TRUE", true},
      {"title_off", "Off", false},
      {"mixed_parallel", "PaRaLLeL", true},
      {"upper_serial", "SERIAL", false},
      {"upper_on", "ON", true},
      {"mixed_false", "fAlSe", false},
      // ASCII white space on both sides.
      {"spaces", " Parallel ", true},
      {"tab_newline", "\tserial\n", false},
      {"vertical_tab_form_feed_return", "\v\f\r on \r\n", true},
      // Non-ASCII white space, UTF-8 encoded: U+0085, U+00A0, U+1680, U+2000, U+2003,
      // U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
      {"next_line", "\xC2\x85on\xC2\x85", true},
      {"no_break_space", "\xC2\xA0off\xC2\xA0", false},
      {"ogham_space", "\xE1\x9A\x80" "1", true},
      {"en_quad_and_hair_space", "\xE2\x80\x80serial\xE2\x80\x8A", false},
      {"em_space", "\xE2\x80\x83true\xE2\x80\x83", true},
      {"line_and_paragraph_separators", "\xE2\x80\xA8" "0" "\xE2\x80\xA9", false},
      {"narrow_and_math_spaces", "\xE2\x80\xAF" "parallel" "\xE2\x81\x9F", true},
      {"ideographic_space", "\xE3\x80\x80Off\xE3\x80\x80", false},
      {"mixed_white_space", " \xE3\x80\x80\t\xC2\xA0TRUE\xE2\x80\x83\xC2\x85 \n", true},
      // Characters without the White_Space property are not trimmed.
      {"zero_width_space", "\xE2\x80\x8Bon", none},
      {"byte_order_mark", "\xEF\xBB\xBFon", none},
      {"mongolian_vowel_separator", "on\xE1\xA0\x8E", none},
      {"information_separator", "\x1Fon", none},
      // Only ASCII letters fold.
      {"long_s", "\xC5\xBF" "erial", none},
      {"ff_ligature", "o\xEF\xAC\x80", none},
      {"fullwidth_on", "\xEF\xBC\xAF\xEF\xBC\xAE", none},
      {"cyrillic_o", "\xD0\xBEn", none},
      // Other words.
      {"yes", "yes", none},
      {"two", "2", none},
      {"empty", "", none},
      {"only_white_space", " \t\xC2\xA0", none},
      {"inner_space", "o n", none},
      {"prefix", "tru", none},
      {"suffix", "truee", none},
      {"sign", "+1", none},
      {"leading_zero", "01", none},
      {"four_byte_character", "\xF0\x9F\x98\x80on", none},
      // Not UTF-8.
      {"invalid_byte", "\xFF", none},
      {"invalid_trailing_byte", "on\xFF", none},
      {"lone_continuation", "\x80on", none},
      {"truncated_sequence", "on\xC2", none},
      {"bad_continuation", "\xC2" "Aon", none},
      {"overlong_space", "\xC0\xA0on", none},
      {"overlong_three_byte_space", "\xE0\x80\xA0on", none},
      {"surrogate", "\xED\xA0\x80on", none},
      {"beyond_unicode", "\xF4\x90\x80\x80on", none},
      {"five_byte_form", "\xF8\x88\x80\x80\x80on", none},
  };
}

class ParallelSettingTest : public ::testing::TestWithParam<SettingCase> {};

TEST_P(ParallelSettingTest, ParsesTheValue) {
  EXPECT_EQ(parse_parallel_setting(GetParam().text), GetParam().mode);
}

// Through the environment: a recognised value decides whatever the shape; anything else
// leaves the decision to the shape rule.
TEST_P(ParallelSettingTest, DecidesThePlanThroughTheEnvironment) {
  const SettingCase& c = GetParam();
  const ScopedEnv env(kSetting, c.text);
  const bool small = ParallelPlan::for_shape(4, 4, 2).parallel;     // shape rule: serial
  const bool large = ParallelPlan::for_shape(256, 256, 2).parallel;  // shape rule: parallel
  EXPECT_EQ(small, c.mode.value_or(false));
  EXPECT_EQ(large, c.mode.value_or(true));
}

INSTANTIATE_TEST_SUITE_P(QuarnelParallel, ParallelSettingTest,
                         ::testing::ValuesIn(setting_cases()),
                         testing::LabelName{});

// A NUL byte cannot reach the environment, but the parser sees the whole text.
TEST(ParallelSetting, EmbeddedNulNamesNoMode) {
  EXPECT_EQ(parse_parallel_setting(std::string_view("on\0", 3)), std::nullopt);
  EXPECT_EQ(parse_parallel_setting(std::string_view("\0off", 4)), std::nullopt);
  EXPECT_EQ(parse_parallel_setting(std::string_view("on", 2)), true);
}

// The variable is read on every call, never cached.
TEST(ParallelPlan, ReadsTheSettingAfreshOnEveryCall) {
  const std::vector<std::optional<std::string>> sequence = {"on", "off", std::nullopt, "1",
                                                            "serial", "yes", "parallel"};
  const std::vector<bool> expected = {true, false, false, true, false, false, true};
  for (std::size_t k = 0; k < sequence.size(); ++k) {
    SCOPED_TRACE(sequence[k].value_or("<unset>"));
    const ScopedEnv env(kSetting, sequence[k]);
    EXPECT_EQ(ParallelPlan::for_shape(10, 10, 2).parallel, expected[k]);
  }
}

// ---------------------------------------------------------------------------------------
// The shape rule, with the variable unset.

struct ShapeCase {
  std::string label;
  std::uint64_t n_samples;
  std::uint64_t n_features;
  std::uint64_t n_levels;
  bool parallel;
};

class ShapeRuleTest : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeRuleTest, DecidesFromCellsAndFeatureLevelPairs) {
  const ShapeCase& c = GetParam();
  const ScopedEnv env(kSetting, std::nullopt);
  EXPECT_EQ(ParallelPlan::for_shape(c.n_samples, c.n_features, c.n_levels).parallel,
            c.parallel);
}

constexpr std::uint64_t k2p31 = std::uint64_t{1} << 31;
constexpr std::uint64_t k2p32 = std::uint64_t{1} << 32;
constexpr std::uint64_t k2p33 = std::uint64_t{1} << 33;

INSTANTIATE_TEST_SUITE_P(
    Thresholds, ShapeRuleTest,
    ::testing::Values(
        ShapeCase{"cells_at_threshold", 256, 256, 2, true},
        ShapeCase{"cells_below_threshold", 255, 256, 2, false},
        ShapeCase{"work_below_threshold_many_samples", 100000, 31, 2, false},
        ShapeCase{"work_at_threshold_one_level", 2000, 64, 1, true},
        ShapeCase{"zero_levels_count_as_one", 2000, 64, 0, true},
        ShapeCase{"zero_levels_below_threshold", 2000, 63, 0, false},
        ShapeCase{"work_from_levels", 2048, 32, 2, true},
        ShapeCase{"work_one_short", 4096, 21, 3, false},
        ShapeCase{"both_at_threshold", 1024, 64, 1, true},
        ShapeCase{"cells_one_row_short", 1023, 64, 1, false},
        ShapeCase{"no_samples", 0, 1000000, 8, false},
        ShapeCase{"no_features", 1000000, 0, 8, false},
        ShapeCase{"cells_saturate", kMax, kMax, 2, true},
        ShapeCase{"cells_would_wrap_to_zero", k2p32, k2p32, 1, true},
        ShapeCase{"work_would_wrap_to_zero", 1, k2p33, k2p31, true},
        ShapeCase{"levels_saturate", 65536, 1, kMax, true},
        ShapeCase{"all_maximal", kMax, kMax, kMax, true}),
    testing::LabelName{});

// ---------------------------------------------------------------------------------------
// The worker pool.

// Runs `body` on the calling thread and aborts the program if it has not returned within
// `limit`: a deadlocked pool cannot be recovered from inside the process, and a hang
// would otherwise go unreported.
template <class Body>
void within_deadline(std::chrono::seconds limit, Body&& body) {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!finished.wait_for(lock, limit, [&] { return done; })) {
      std::fprintf(stderr, "%s: still running after %lld s; the worker pool is stuck\n",
                   ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                   static_cast<long long>(limit.count()));
      std::abort();
    }
  });
  struct Signal {
    std::mutex& mutex;
    std::condition_variable& finished;
    bool& done;
    std::thread& watchdog;
    ~Signal() {
      {
        const std::lock_guard lock(mutex);
        done = true;
      }
      finished.notify_one();
      watchdog.join();
    }
  } signal{mutex, finished, done, watchdog};
  body();
}

class PoolTest : public ::testing::TestWithParam<bool> {
 protected:
  bool parallel() const { return GetParam(); }
};

TEST_P(PoolTest, RunsEveryItemExactlyOnce) {
  for (const std::size_t count : {0u, 1u, 2u, 3u, 7u, 64u, 1000u, 100003u}) {
    SCOPED_TRACE(count);
    std::vector<std::atomic<int>> runs(count);
    within_deadline(60s, [&] {
      parallel_for(parallel(), count, [&](std::size_t i) { runs[i].fetch_add(1); });
    });
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) wrong += runs[i].load() != 1;
    EXPECT_EQ(wrong, 0u) << "items that did not run exactly once";
  }
}

// However finely the items are split, each runs exactly once and the pool's threads share
// them. A split so fine that the OpenMP runtime would run every task on the calling thread
// (past 64 tasks per thread) is capped instead of silently running serially.
TEST(PoolSplit, EveryItemRunsOnceAndThreadsShareThem) {
  if (!pool::usable() || pool::worker_count() < 2) GTEST_SKIP() << "needs a parallel pool";
  constexpr std::size_t count = 400;
  for (const std::size_t per_thread : {0u, 1u, 4u, 16u, 100u, 100000u}) {
    SCOPED_TRACE(per_thread);
    std::vector<std::atomic<int>> runs(count);
    std::mutex mutex;
    std::set<std::thread::id> threads;
    within_deadline(60s, [&] {
      parallel_for_split(true, count, per_thread, [&](std::size_t i) {
        runs[i].fetch_add(1);
        std::this_thread::sleep_for(100us);
        const std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      });
    });
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < count; ++i) wrong += runs[i].load() != 1;
    EXPECT_EQ(wrong, 0u) << "items that did not run exactly once";
    EXPECT_GE(threads.size(), 2u);
  }
}

TEST_P(PoolTest, MapsResultsInIndexOrder) {
  for (const std::size_t count : {0u, 1u, 2u, 5u, 333u, 50000u}) {
    SCOPED_TRACE(count);
    std::vector<std::uint64_t> results;
    within_deadline(60s, [&] {
      results = parallel_map<std::uint64_t>(parallel(), count, [](std::size_t i) {
        return static_cast<std::uint64_t>(i) * 2654435761u + 17;
      });
    });
    ASSERT_EQ(results.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(results[i], static_cast<std::uint64_t>(i) * 2654435761u + 17) << "index " << i;
    }
  }
}

// Item errors come back in a collected vector; the lowest failing index wins, even when
// higher items finish first (they sleep less).
TEST_P(PoolTest, FirstErrorIsThatOfTheLowestFailingItem) {
  constexpr std::size_t count = 24;
  const std::vector<std::size_t> failing = {5, 11, 12, 23};
  std::vector<Result<double>> results;
  within_deadline(60s, [&] {
    results = parallel_map<Result<double>>(parallel(), count, [&](std::size_t i) {
      std::this_thread::sleep_for(std::chrono::microseconds(300 * (count - i)));
      if (std::ranges::find(failing, i) != failing.end()) {
        return Result<double>(fail(NumericalFailure{"item " + std::to_string(i)}));
      }
      return Result<double>(static_cast<double>(i) * 0.5);
    });
  });
  ASSERT_EQ(results.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    const bool fails = std::ranges::find(failing, i) != failing.end();
    EXPECT_EQ(results[i].has_value(), !fails) << "index " << i;
    if (!fails) {
      EXPECT_EQ(*results[i], static_cast<double>(i) * 0.5) << "index " << i;
    }
  }
  EXPECT_ERROR_TEXT(first_error(results), "numerical failure: item 5");
}

TEST_P(PoolTest, FirstErrorIsSuccessWhenEveryItemSucceeds) {
  std::vector<Status> results;
  within_deadline(60s, [&] {
    results = parallel_map<Status>(parallel(), 100, [](std::size_t) -> Status { return {}; });
  });
  EXPECT_OK(first_error(results));

  results[99] = fail(SingularDesign{});
  results[40] = fail(InvalidDesign{"x"});
  EXPECT_ERROR_TEXT(first_error(results), "invalid design: x");
}

// An exception is a programming fault; it reaches the caller, and only once no item is
// running any more, since items refer to the caller's stack.
TEST_P(PoolTest, RethrowsAnItemsExceptionOnTheCaller) {
  constexpr std::size_t count = 200;
  std::vector<std::atomic<int>> runs(count);
  std::atomic<int> started = 0;
  std::atomic<int> finished = 0;
  within_deadline(60s, [&] {
    EXPECT_THROW(parallel_for(parallel(), count,
                              [&](std::size_t i) {
                                started.fetch_add(1);
                                std::this_thread::sleep_for(50us);
                                runs[i].fetch_add(1);
                                finished.fetch_add(1);
                                if (i == count - 1) throw InternalFault("last item");
                              }),
                 InternalFault);
  });
  EXPECT_EQ(started.load(), finished.load()) << "an item was still running after the rethrow";
  // The last item threw, so every item had its turn.
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < count; ++i) wrong += runs[i].load() != 1;
  EXPECT_EQ(wrong, 0u);
}

TEST_P(PoolTest, RethrowsTheLowestItemsExceptionAfterTheOthersStopped) {
  constexpr std::size_t count = 64;
  std::atomic<int> started = 0;
  std::atomic<int> finished = 0;
  std::string message;
  within_deadline(60s, [&] {
    try {
      parallel_for(parallel(), count, [&](std::size_t i) {
        started.fetch_add(1);
        // The lowest item throws last, after the highest has thrown.
        std::this_thread::sleep_for(i == 0 ? 20ms : 200us);
        finished.fetch_add(1);
        if (i == 0) throw std::runtime_error("item 0");
        if (i == count - 1) throw std::runtime_error("item 63");
      });
    } catch (const std::runtime_error& e) {
      message = e.what();
    }
  });
  EXPECT_EQ(message, "item 0");
  EXPECT_EQ(started.load(), finished.load()) << "an item was still running after the rethrow";

  // The pool is still usable afterwards.
  std::atomic<int> runs = 0;
  within_deadline(60s, [&] { parallel_for(parallel(), 1000, [&](std::size_t) { ++runs; }); });
  EXPECT_EQ(runs.load(), 1000);
}

// Level tasks that each run several passes of feature items, with every pass finishing
// before the next starts, as the parametric solver uses the pool. Each pass reads the
// previous pass's values of a neighbouring feature, so a missing barrier shows as a wrong
// value; the serial computation below is the reference.
TEST_P(PoolTest, NestedPassesPerLevelGiveTheSerialResult) {
  constexpr std::size_t n_levels = 5;
  constexpr std::size_t n_passes = 8;
  constexpr std::size_t n_features = 300;

  auto step = [](const std::vector<double>& previous, std::size_t level, std::size_t f) {
    const double neighbour = previous[(f + 1) % previous.size()];
    return 0.5 * previous[f] + 0.25 * neighbour + static_cast<double>(level + 1) * 1e-3;
  };
  auto start = [](std::size_t level, std::size_t f) {
    return static_cast<double>((level * 7919 + f * 104729) % 1000) / 7.0;
  };

  std::vector<std::vector<double>> expected(n_levels);
  for (std::size_t level = 0; level < n_levels; ++level) {
    std::vector<double> x(n_features);
    for (std::size_t f = 0; f < n_features; ++f) x[f] = start(level, f);
    for (std::size_t pass = 0; pass < n_passes; ++pass) {
      std::vector<double> next(n_features);
      for (std::size_t f = 0; f < n_features; ++f) next[f] = step(x, level, f);
      x = std::move(next);
    }
    expected[level] = std::move(x);
  }

  std::atomic<std::size_t> item_runs = 0;
  std::vector<std::vector<double>> actual;
  within_deadline(120s, [&] {
    actual = parallel_map<std::vector<double>>(parallel(), n_levels, [&](std::size_t level) {
      std::vector<double> x(n_features);
      for (std::size_t f = 0; f < n_features; ++f) x[f] = start(level, f);
      for (std::size_t pass = 0; pass < n_passes; ++pass) {
        x = parallel_map<double>(parallel(), n_features, [&](std::size_t f) {
          item_runs.fetch_add(1);
          return step(x, level, f);
        });
      }
      return x;
    });
  });
  EXPECT_EQ(item_runs.load(), n_levels * n_passes * n_features);
  ASSERT_EQ(actual.size(), n_levels);
  for (std::size_t level = 0; level < n_levels; ++level) {
    SCOPED_TRACE(level);
    EXPECT_TRUE(testing::bit_identical(actual[level], expected[level]));
  }
}

// Nested use many times over, with more level tasks than threads: finishing at all is the
// point, as a pool that blocked its own workers would hang here.
TEST_P(PoolTest, NestedUseFinishesRepeatedly) {
  std::atomic<std::size_t> total = 0;
  within_deadline(120s, [&] {
    for (int round = 0; round < 200; ++round) {
      parallel_for(parallel(), 9, [&](std::size_t) {
        for (int pass = 0; pass < 3; ++pass) {
          parallel_for(parallel(), 17, [&](std::size_t) { total.fetch_add(1); });
        }
      });
    }
  });
  EXPECT_EQ(total.load(), 200u * 9 * 3 * 17);
}

// An exception from a nested item travels through the level task to the caller.
TEST_P(PoolTest, NestedExceptionReachesTheCaller) {
  within_deadline(60s, [&] {
    EXPECT_THROW(parallel_for(parallel(), 4,
                              [&](std::size_t level) {
                                parallel_for(parallel(), 50, [&](std::size_t f) {
                                  if (level == 2 && f == 31) throw InternalFault("nested");
                                });
                              }),
                 InternalFault);
  });
}

// A serial plan runs the items in ascending order on the calling thread.
TEST(Pool, SerialRunsInOrderOnTheCallingThread) {
  std::vector<std::size_t> order;
  bool same_thread = true;
  const std::thread::id caller = std::this_thread::get_id();
  parallel_for(false, 100, [&](std::size_t i) {
    order.push_back(i);
    same_thread = same_thread && std::this_thread::get_id() == caller;
  });
  std::vector<std::size_t> ascending(100);
  for (std::size_t i = 0; i < ascending.size(); ++i) ascending[i] = i;
  EXPECT_EQ(order, ascending);
  EXPECT_TRUE(same_thread);
}

// ---------------------------------------------------------------------------------------
// The pool across fork().

// Runs `child` in a forked child process, bounded by an alarm so that a hang ends the child
// rather than the suite, and describes how the child ended: "exit 0" is success.
template <class Child>
std::string run_in_forked_child(Child&& child) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    _exit(child() ? 0 : 1);
  }
  if (pid < 0) return std::string("fork failed: ") + std::strerror(errno);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return "waitpid failed";
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// What the child checks: every item of a parallel section runs exactly once, in the pool
// when it is usable and in ascending order on the calling thread when it is not.
bool parallel_section_runs_every_item(bool expect_pool) {
  constexpr std::size_t count = 1000;
  std::vector<std::size_t> order;
  std::vector<int> runs(count, 0);
  std::mutex mutex;
  parallel_for(true, count, [&](std::size_t i) {
    const std::lock_guard lock(mutex);
    ++runs[i];
    order.push_back(i);
  });
  const bool each_once = std::ranges::all_of(runs, [](int r) { return r == 1; });
  const bool ascending = std::ranges::is_sorted(order);
  if (expect_pool) return each_once && pool::usable();
  return each_once && ascending && !pool::usable() && pool::worker_count() == 1;
}

// libgomp's idle workers are not copied by fork(); a child that entered a parallel region
// would wait for them forever. Such a child runs its parallel sections on its own thread.
TEST(PoolAfterFork, ChildOfAStartedPoolRunsParallelSectionsOnItsOwnThread) {
  std::atomic<int> warm = 0;
  parallel_for(true, 64, [&](std::size_t) { warm.fetch_add(1); });  // the pool is running
  ASSERT_EQ(warm.load(), 64);
  EXPECT_EQ(run_in_forked_child([] { return parallel_section_runs_every_item(false); }),
            "exit 0");
  // A grandchild inherits the fallback instead of touching the lost pool.
  EXPECT_EQ(run_in_forked_child([] {
              return run_in_forked_child([] { return parallel_section_runs_every_item(false); }) ==
                     "exit 0";
            }),
            "exit 0");
  // The parent keeps its pool.
  EXPECT_TRUE(pool::usable());
  EXPECT_TRUE(parallel_section_runs_every_item(true));
}

INSTANTIATE_TEST_SUITE_P(SerialAndParallel, PoolTest, ::testing::Bool(),
                         [](const auto& instance) {
                           return instance.param ? "parallel" : "serial";
                         });

}  // namespace
}  // namespace quarnel
