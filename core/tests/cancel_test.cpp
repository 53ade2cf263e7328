// Stopping a run at the caller's request: where the question is asked (on the calling
// thread, never inside a parallel section), that every place it is asked really stops the
// run, that long stages ask it between their passes or slices, and that a run nobody
// cancels gives the same bits as a run without the question.
#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/parallel.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::ScopedEnv;

// Values with a location and a scale effect per batch; no feature is constant anywhere.
struct Problem {
  std::vector<double> values;
  std::vector<std::uint64_t> batch;
  std::size_t n_features = 0;

  Problem(std::size_t n_batches, std::size_t per_batch, std::size_t features,
          std::uint64_t seed)
      : n_features(features) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (std::size_t b = 0; b < n_batches; ++b) {
      for (std::size_t s = 0; s < per_batch; ++s) {
        batch.push_back(b);
        for (std::size_t j = 0; j < features; ++j) {
          const double scale = 1.0 + 0.3 * static_cast<double>((b + j) % 4);
          values.push_back(3.0 + 0.8 * static_cast<double>(b) + scale * noise(rng));
        }
      }
    }
  }

  Result<CombatDenseOutput> run(const CombatOptions& options) const {
    const CombatDenseRequest request{values, batch, batch.size(), n_features, std::nullopt};
    return combat_dense(request, options);
  }
};

struct CancelCase {
  std::string label;
  bool par_prior;
  bool mean_only;
  std::optional<std::uint64_t> ref_batch;
  const char* parallel;
};

CombatOptions options_of(const CancelCase& c) {
  CombatOptions options;
  options.par_prior = c.par_prior;
  options.mean_only = c.mean_only;
  options.ref_batch = c.ref_batch;
  return options;
}

class Cancellation : public ::testing::TestWithParam<CancelCase> {
 protected:
  // Three batches of 20 samples and 30 features: small enough to run every cancellation
  // point, large enough that the parametric solver needs several passes.
  const Problem problem{3, 20, 30, 11};
};

// A question that is always answered "go on" is asked on the calling thread outside any
// parallel section, and changes no bit of the result.
TEST_P(Cancellation, NeverCancelledRunGivesTheSameBits) {
  const ScopedEnv mode("QUARNEL_PARALLEL", GetParam().parallel);
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput plain, problem.run(options_of(GetParam())));

  const std::thread::id caller = std::this_thread::get_id();
  std::size_t asked = 0;
  bool on_caller = true;
  bool outside_sections = true;
  // Progress only moves forward: stages in their order, and within a stage the count of
  // items done never falls and never passes the total.
  const std::vector<std::string_view> order{"standardise", "estimate", "adjust"};
  std::size_t stage = 0;
  std::size_t done = 0;
  bool forward = true;
  CombatOptions options = options_of(GetParam());
  options.cancel_requested = [&](const Progress& progress) {
    const auto at = static_cast<std::size_t>(std::ranges::find(order, progress.stage) - order.begin());
    forward = forward && at < order.size() && at >= stage && progress.done <= progress.total &&
              (at > stage || progress.done >= done);
    if (at != stage) done = 0;
    stage = at;
    done = progress.done;
    ++asked;
    on_caller = on_caller && std::this_thread::get_id() == caller;
    outside_sections = outside_sections && !pool::inside_parallel_section();
    return false;
  };
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput asked_run, problem.run(options));
  EXPECT_TRUE(bit_identical(asked_run.adjusted, plain.adjusted));
  EXPECT_GE(asked, 5u) << "once before and once after every stage at least";
  EXPECT_TRUE(on_caller);
  EXPECT_TRUE(outside_sections);
  EXPECT_TRUE(forward);
  EXPECT_EQ(order[stage], "adjust");
}

// Answering "stop" at the k-th question, for every k the run asks, stops the run right
// there; the next run is unaffected.
TEST_P(Cancellation, EveryQuestionCanStopTheRun) {
  const ScopedEnv mode("QUARNEL_PARALLEL", GetParam().parallel);
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput plain, problem.run(options_of(GetParam())));
  std::size_t total = 0;
  CombatOptions counting = options_of(GetParam());
  counting.cancel_requested = [&](const Progress&) {
    ++total;
    return false;
  };
  ASSERT_OK(problem.run(counting));

  for (std::size_t stop_at = 1; stop_at <= total; ++stop_at) {
    SCOPED_TRACE(stop_at);
    std::size_t asked = 0;
    CombatOptions options = options_of(GetParam());
    options.cancel_requested = [&](const Progress&) { return ++asked == stop_at; };
    EXPECT_THROW((void)problem.run(options), RunCancelled);
    EXPECT_EQ(asked, stop_at) << "the run went on after being told to stop";
  }
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput again, problem.run(options_of(GetParam())));
  EXPECT_TRUE(bit_identical(again.adjusted, plain.adjusted));
}

INSTANTIATE_TEST_SUITE_P(
    Options, Cancellation,
    ::testing::Values(CancelCase{"ParametricSerial", true, false, std::nullopt, "0"},
                      CancelCase{"ParametricParallel", true, false, std::nullopt, "1"},
                      CancelCase{"ParametricReferenceParallel", true, false, 1, "1"},
                      CancelCase{"MeanOnlyParallel", true, true, std::nullopt, "1"},
                      CancelCase{"NonParametricSerial", false, false, std::nullopt, "0"},
                      CancelCase{"NonParametricParallel", false, false, 2, "1"}),
    testing::LabelName());

// The solvers' round asks between slices of its tiles, so a run of many tiles is asked
// many times while its solvers run, not just once for the whole stage.
TEST(CancellationPoints, ParametricSolverAsksBetweenSlicesOfTiles) {
  const ScopedEnv mode("QUARNEL_PARALLEL", "1");
  const Problem problem(3, 20, 20000, 11);
  std::size_t asked = 0;
  CombatOptions options;
  options.cancel_requested = [&](const Progress&) {
    ++asked;
    return false;
  };
  ASSERT_OK(problem.run(options));
  CombatOptions mean_only = options;
  mean_only.mean_only = true;  // closed form: no passes
  std::size_t asked_without_passes = 0;
  mean_only.cancel_requested = [&](const Progress&) {
    ++asked_without_passes;
    return false;
  };
  ASSERT_OK(problem.run(mean_only));
  EXPECT_GT(asked, asked_without_passes + 1);
}

// Non-parametric jobs run in slices with a question between slices; a problem with
// enough work per job is cut into several slices.
TEST(CancellationPoints, NonParametricJobsAskBetweenSlices) {
  const ScopedEnv mode("QUARNEL_PARALLEL", "1");
  const Problem problem(2, 60, 1500, 5);  // 3000 jobs of 90 000 visits each
  std::size_t asked = 0;
  CombatOptions options;
  options.par_prior = false;
  options.mean_only = true;
  options.cancel_requested = [&](const Progress&) { return ++asked == 7; };
  EXPECT_THROW((void)problem.run(options), RunCancelled);
  EXPECT_EQ(asked, 7u);
}

// Asking from inside a parallel section would run the caller's code alongside the
// workers; it is a programming fault, not a way to cancel.
TEST(CancellationPoints, AskingInsideAParallelSectionIsAFault) {
  const CancelRequested never = [](const Progress&) { return false; };
  EXPECT_NO_THROW(stop_if_cancelled(never));
  EXPECT_NO_THROW(stop_if_cancelled(CancelRequested{}));
  if (!pool::usable() || pool::worker_count() < 2) GTEST_SKIP() << "needs a parallel pool";
  EXPECT_THROW(parallel_for(true, 8, [&](std::size_t) { stop_if_cancelled(never); }),
               InternalFault);
}

}  // namespace
}  // namespace quarnel
