// Whole runs at the edges of what the core accepts: batch ids at the top of the unsigned
// 64-bit range, magnitudes near the limits of a double, subnormal values, huge variance
// ratios between batches and batches of one sample. Every accepted input must come back
// finite where it was finite, or fail with a numerical failure; it must never come back
// as ±inf or NaN in place of a finite value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/error.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::ScopedEnv;
using Ids = std::vector<std::uint64_t>;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kNonFiniteAdjustment =
    "numerical failure: batch adjustment produced a non-finite value";

struct Correction {
  std::vector<double> values;  // row-major, batch.size() x n_features
  Ids batch;
  std::size_t n_features = 0;
  std::optional<std::vector<double>> covariates;  // one column
  CombatOptions options;

  Result<CombatDenseOutput> operator()() const {
    CombatDenseRequest request{values, batch, batch.size(), n_features, std::nullopt};
    if (covariates) request.covariates = CovariateMatrix{*covariates, 1};
    return combat_dense(request, options);
  }
};

// Three batches (ids 0, 1, 2 unless relabelled) of 7, 9 and 6 samples with a location and
// a scale effect each, and optionally a few missing values and a covariate.
Correction simulated(std::uint64_t seed, std::size_t n_features, bool missing, bool covariate) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  Correction run;
  run.n_features = n_features;
  const std::size_t sizes[] = {7, 9, 6};
  for (std::uint64_t b = 0; b < 3; ++b) {
    for (std::size_t s = 0; s < sizes[b]; ++s) run.batch.push_back(b);
  }
  std::vector<double> x;
  for (std::size_t s = 0; s < run.batch.size(); ++s) x.push_back(noise(rng));
  for (std::size_t s = 0; s < run.batch.size(); ++s) {
    const auto b = static_cast<double>(run.batch[s]);
    for (std::size_t j = 0; j < n_features; ++j) {
      double value = 2.0 + b * 0.9 - 0.1 * static_cast<double>(j) + (1.0 + 0.5 * b) * noise(rng);
      if (covariate) value += 0.7 * x[s];
      run.values.push_back(value);
    }
  }
  if (missing) {
    run.values[3 * n_features + 1] = kNaN;
    run.values[12 * n_features + 0] = kNaN;
  }
  if (covariate) run.covariates = x;
  return run;
}

struct OptionsCase {
  std::string label;
  bool par_prior;
  bool mean_only;
  std::optional<std::uint64_t> ref_batch;
  bool missing;
  bool covariate;
};

std::vector<OptionsCase> option_cases() {
  return {
      {"Parametric", true, false, std::nullopt, false, false},
      {"ParametricMissing", true, false, std::nullopt, true, false},
      {"ParametricCovariate", true, false, std::nullopt, false, true},
      {"ParametricReference", true, false, 1, true, true},
      {"MeanOnly", true, true, std::nullopt, true, false},
      {"NonParametric", false, false, std::nullopt, false, false},
      {"NonParametricMissingReference", false, false, 2, true, false},
      {"NonParametricMeanOnlyCovariate", false, true, std::nullopt, false, true},
  };
}

Correction case_run(const OptionsCase& c, std::uint64_t seed = 17) {
  Correction run = simulated(seed, 5, c.missing, c.covariate);
  run.options.par_prior = c.par_prior;
  run.options.mean_only = c.mean_only;
  run.options.ref_batch = c.ref_batch;
  return run;
}

// ---------------------------------------------------------------------------------------
// Batch ids: only their order matters, right up to 2^64 - 1.

class ExtremeIds : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(ExtremeIds, RelabellingInOrderChangesNoBit) {
  const Correction small = case_run(GetParam());
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput expected, small());

  // Ids 0 < 1 < 2 become 2^63 - 1 < 2^63 < 2^64 - 1: the same levels in the same order.
  const std::uint64_t relabel[] = {kHalf - 1, kHalf, kMax};
  Correction large = small;
  for (std::uint64_t& id : large.batch) id = relabel[id];
  if (GetParam().ref_batch) large.options.ref_batch = relabel[*GetParam().ref_batch];
  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    const ScopedEnv parallel("QUARNEL_PARALLEL", mode);
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput actual, large());
    EXPECT_TRUE(bit_identical(actual.adjusted, expected.adjusted));
    EXPECT_EQ(actual.report.zero_variance_features, expected.report.zero_variance_features);
    EXPECT_EQ(actual.report.effective_mean_only, expected.report.effective_mean_only);
  }
}

INSTANTIATE_TEST_SUITE_P(Options, ExtremeIds, ::testing::ValuesIn(option_cases()),
                         testing::LabelName());

TEST(ExtremeIdsReport, SingletonsAndReferenceAtTheTopOfTheRange) {
  Correction run = simulated(3, 4, false, false);
  run.batch = Ids{kMax, kMax, kMax - 1, kMax - 1, kMax - 1, kHalf, 0, 0, kMax,
                  kHalf - 1, kMax - 1, 0, kMax, 0, kMax - 1, 0, kMax, 0, kMax - 1, 0, kMax, 0};
  run.options.ref_batch = kMax;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, run());
  EXPECT_EQ(out.report.singleton_batches, (Ids{kHalf - 1, kHalf}));
  EXPECT_TRUE(out.report.effective_mean_only);
  for (std::size_t s = 0; s < run.batch.size(); ++s) {
    const std::span<const double> got(out.adjusted.data() + s * 4, 4);
    const std::span<const double> input(run.values.data() + s * 4, 4);
    if (run.batch[s] == kMax) {
      EXPECT_TRUE(bit_identical(got, input)) << "reference sample " << s;
    } else {
      for (const double x : got) EXPECT_TRUE(std::isfinite(x)) << "sample " << s;
    }
  }

  run.options.ref_batch = kMax - 2;
  EXPECT_ERROR_TEXT(run(), "missing reference batch: 18446744073709551613");
}

// ---------------------------------------------------------------------------------------
// Magnitudes: multiplying the data by a power of two is exact in every operation of the
// model as long as nothing overflows or underflows, so the corrected data must be the
// corrected original times the same power, bit for bit. 2^±500 (about 1e±150) keeps the
// squares of the residuals normal.

class PowerOfTwoScaling
    : public ::testing::TestWithParam<std::tuple<OptionsCase, int>> {};

TEST_P(PowerOfTwoScaling, ScalesTheResultExactly) {
  const auto& [options_case, exponent] = GetParam();
  const Correction original = case_run(options_case);
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput expected, original());

  Correction scaled = original;
  for (double& x : scaled.values) x = std::ldexp(x, exponent);
  ValueBuffer expected_scaled = expected.adjusted;
  for (double& x : expected_scaled) x = std::ldexp(x, exponent);
  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    const ScopedEnv parallel("QUARNEL_PARALLEL", mode);
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput actual, scaled());
    EXPECT_TRUE(bit_identical(actual.adjusted, expected_scaled));
  }
}

INSTANTIATE_TEST_SUITE_P(
    OptionsAndExponents, PowerOfTwoScaling,
    ::testing::Combine(::testing::ValuesIn(option_cases()), ::testing::Values(-500, -60, 60, 500)),
    [](const auto& instance) {
      const int exponent = std::get<1>(instance.param);
      return std::get<0>(instance.param).label + (exponent < 0 ? "_minus" : "_plus") +
             std::to_string(std::abs(exponent));
    });

// ---------------------------------------------------------------------------------------
// Finite data that the model cannot carry through double precision: the run fails
// instead of returning ±inf or NaN in their place. Each of these returned non-finite
// values before the check on the adjusted data existed.

struct OverflowCase {
  std::string label;
  std::vector<double> values;
  Ids batch;
  std::size_t n_features;
  bool par_prior;
  bool mean_only;
  std::optional<std::uint64_t> ref_batch;
};

class FiniteInNonFiniteOut : public ::testing::TestWithParam<OverflowCase> {};

TEST_P(FiniteInNonFiniteOut, FailsInsteadOfReturningIt) {
  const OverflowCase& c = GetParam();
  Correction run{c.values, c.batch, c.n_features, std::nullopt, {}};
  run.options.par_prior = c.par_prior;
  run.options.mean_only = c.mean_only;
  run.options.ref_batch = c.ref_batch;
  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    const ScopedEnv parallel("QUARNEL_PARALLEL", mode);
    EXPECT_ERROR_TEXT(run(), kNonFiniteAdjustment);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FiniteInNonFiniteOut,
    ::testing::Values(
        // A single kept feature and a singleton batch 1e400 pooled standard deviations
        // away: its standardised value overflows, and its level's location with it (NaN
        // everywhere before).
        OverflowCase{"StandardisedValueOverflows",
                     {-1.35e250, 7.5e-151, 1.4e-150, 2.5e-150, 8.9e-151},
                     {0, 1, 1, 1, 1},
                     1,
                     false,
                     true,
                     std::nullopt},
        // A one-sample batch 1e150 away from the rest forces mean-only mode; its closed-form
        // shrinkage multiplies two values near 1e150 and 1e300 (±inf everywhere before).
        OverflowCase{"SingletonOutlierShrinkage",
                     {-0.802, -1.324, -0.248, 0.42, 1.136, 0.11, -0.553, -0.785, 0.749, 1.635,
                      0.273, -1.233, 1e150, 1e150, 1e150},
                     {0, 0, 0, 0, 1},
                     3,
                     true,
                     false,
                     std::nullopt},
        // A reference batch with a spread of 1e-100 pools a tiny variance, and a batch 1e7
        // away lands 1e107 reference deviations off (+inf in its row before).
        OverflowCase{"TinyReferenceSpread",
                     {1.13e-100, 4.66e-101, -4.18e-101, -1.18e-100, -6.7e-102, -9.93e-101, -1e7,
                      -1e7},
                     {0, 0, 0, 1},
                     2,
                     true,
                     true,
                     0}),
    testing::LabelName());

// ---------------------------------------------------------------------------------------
// The documented outcomes at the limits of a double.

std::vector<double> spread_values(double offset, double spread, std::size_t count,
                                  std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> out(count);
  for (double& x : out) x = offset + spread * noise(rng);
  return out;
}

// Squares of subnormal residuals underflow to zero, and squares of residuals near 1e300
// overflow: the pooled variance is then not positive finite.
TEST(LimitsOfADouble, PooledVarianceOutOfRangeFails) {
  const Ids batch = {0, 0, 0, 1, 1, 1};
  for (const auto& [offset, spread] : {std::pair{0.0, 1e-310}, std::pair{1e300, 1e297},
                                       std::pair{-1e300, 1e299}, std::pair{0.0, 1e300}}) {
    SCOPED_TRACE(spread);
    const Correction run{spread_values(offset, spread, 12, 4), batch, 2, std::nullopt, {}};
    EXPECT_ERROR_TEXT(run(), "numerical failure: pooled variance is not positive finite");
  }
}

// Noise far below the resolution of a 1e300 offset vanishes in the input itself: every
// feature is constant within its batches and comes back unchanged.
TEST(LimitsOfADouble, NoiseBelowResolutionIsAConstantFeature) {
  const Correction run{spread_values(1e300, 1.0, 12, 4), {0, 0, 0, 1, 1, 1}, 2, std::nullopt, {}};
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, run());
  EXPECT_TRUE(bit_identical(out.adjusted, run.values));
  EXPECT_EQ(out.report.zero_variance_features, (Ids{0, 1}));
}

// A batch of one sample has no residual of its own; when every batch is a singleton
// there is nothing to pool.
TEST(LimitsOfADouble, OneSamplePerBatch) {
  const Correction all_single{{1.0, 2.0, 4.0, 8.0, 3.0, 5.0}, {0, 1, 2}, 2, std::nullopt, {}};
  EXPECT_ERROR_TEXT(all_single(), "numerical failure: pooled variance is not positive finite");

  // One singleton beside ordinary batches: mean-only mode, every value finite.
  Correction one_single = simulated(8, 3, false, false);
  one_single.batch.back() = 9;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, one_single());
  EXPECT_EQ(out.report.singleton_batches, (Ids{9}));
  for (const double x : out.adjusted) EXPECT_TRUE(std::isfinite(x));
}

// Batches whose spreads differ by 1e±100 still give finite values, or fail with the
// numerical failure of the quantity that left the range of a double.
TEST(LimitsOfADouble, HugeVarianceRatiosBetweenBatches) {
  int corrected = 0;
  for (const double ratio : {1e-100, 1e-30, 1e30, 1e100}) {
    for (const bool par_prior : {true, false}) {
      for (const bool mean_only : {false, true}) {
        SCOPED_TRACE(std::to_string(ratio) + (par_prior ? " parametric" : " non-parametric") +
                     (mean_only ? " mean-only" : ""));
        Correction run = simulated(21, 4, false, false);
        for (std::size_t s = 0; s < run.batch.size(); ++s) {
          if (run.batch[s] != 1) continue;
          for (std::size_t j = 0; j < 4; ++j) run.values[s * 4 + j] *= ratio;
        }
        run.options.par_prior = par_prior;
        run.options.mean_only = mean_only;
        const Result<CombatDenseOutput> out = run();
        if (!out) {
          const std::string text = render(out.error());
          EXPECT_TRUE(text == "numerical failure: delta_hat is not positive finite" ||
                      text == kNonFiniteAdjustment)
              << text;
          continue;
        }
        ++corrected;
        for (const double x : out->adjusted) EXPECT_TRUE(std::isfinite(x));
      }
    }
  }
  EXPECT_GE(corrected, 8) << "mean-only runs have no within-batch variance to lose";
}

}  // namespace
}  // namespace quarnel
