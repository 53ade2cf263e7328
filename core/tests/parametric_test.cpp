// Per-level estimates, their priors and the parametric posteriors: sums in index order,
// every failure text and the order in which failures are met, the worked posterior update,
// the convergence rule of the level solver (first pass, exact threshold, pass limit), the
// reference level, and serial against parallel runs. The posteriors are the run's, drawn
// over one tile (testing::tile_estimates).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/standardize.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::make_levels;
using testing::rows_of;
using testing::tile_estimates;
using testing::TileEstimator;

using testing::bit_identical;
using Index = Eigen::Index;
using Ids = std::vector<std::uint64_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> row_vector(const Matrix& m, Index row) {
  std::vector<double> out;
  for (Index c = 0; c < m.cols(); ++c) out.push_back(m(row, c));
  return out;
}

// Test names of parameterised cases: the case's own `name` field.
struct CaseName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const {
    return p.param.name;
  }
};

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::span<const double> bits_of(const Matrix& m) {
  return {m.data(), static_cast<std::size_t>(m.size())};
}

// ---------------------------------------------------------------------------------------
// Independent reference computations, written from the description of the model.

double plain_mean(std::span<const double> v) {
  double sum = -0.0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

double plain_variance(std::span<const double> v) {
  const double mean = plain_mean(v);
  double squares = 0.0;
  for (const double x : v) squares += (x - mean) * (x - mean);
  return squares / static_cast<double>(v.size() - 1);
}

// Observed values of feature j among the samples of `level`, in sample order.
std::vector<double> observed(const Matrix& z, const BatchLevels& levels, std::size_t level,
                             Index j) {
  std::vector<double> out;
  for (Index s = 0; s < z.rows(); ++s) {
    if (levels.level_of_sample(static_cast<std::size_t>(s)) == level && !std::isnan(z(s, j))) {
      out.push_back(z(s, j));
    }
  }
  return out;
}

struct Prior {
  double gamma_bar, tau2, a, b;
};

Prior moments_prior(std::span<const double> g, std::span<const double> d) {
  const double m = plain_mean(d);
  const double s2 = plain_variance(d);
  return {plain_mean(g), plain_variance(g), (m * m + 2.0 * s2) / s2,
          (m * (m * m) + m * s2) / s2};
}

struct Pass {
  std::vector<double> g, d;
};

// One pass of posterior updates of a level: fixed gamma_hat, scale carried from d_old.
Pass one_pass(const std::vector<std::vector<double>>& data, std::span<const double> gamma_hat,
              std::span<const double> d_old, const Prior& p) {
  Pass out;
  for (std::size_t j = 0; j < data.size(); ++j) {
    const double n = static_cast<double>(data[j].size());
    const double g = (p.gamma_bar * d_old[j] + gamma_hat[j] * (p.tau2 * n)) / (p.tau2 * n + d_old[j]);
    double s = 0.0;
    for (const double x : data[j]) s += (x - g) * (x - g);
    out.g.push_back(g);
    out.d.push_back((s * 0.5 + p.b) / ((n * 0.5 + p.a) - 1.0));
  }
  return out;
}

double relative_change(const std::vector<double>& g_old, const Pass& now,
                       const std::vector<double>& d_old) {
  double c = 0.0;
  for (std::size_t j = 0; j < g_old.size(); ++j) {
    const double loc = g_old[j] == 0.0 ? (now.g[j] == 0.0 ? 0.0 : kInf)
                                       : std::abs(now.g[j] - g_old[j]) / g_old[j];
    const double sc = d_old[j] == 0.0 ? (now.d[j] == 0.0 ? 0.0 : kInf)
                                      : std::abs((now.d[j] - d_old[j]) / d_old[j]);
    if (!std::isfinite(loc) || std::isnan(sc) || sc == kInf) return kInf;
    c = std::max({c, loc, sc});
  }
  return c;
}

struct Simulated {
  std::size_t passes = 0;
  Pass result;
};

// The level solver run by hand: nothing when 1000 passes do not converge.
std::optional<Simulated> simulate_level(const std::vector<std::vector<double>>& data,
                                        std::span<const double> gamma_hat,
                                        std::span<const double> delta_hat) {
  const Prior p = moments_prior(gamma_hat, delta_hat);
  std::vector<double> g_old(gamma_hat.begin(), gamma_hat.end());
  std::vector<double> d_old(delta_hat.begin(), delta_hat.end());
  for (std::size_t pass = 1; pass <= 1000; ++pass) {
    Pass now = one_pass(data, gamma_hat, d_old, p);
    const double c = relative_change(g_old, now, d_old);
    if (c <= 0.0001) return Simulated{pass, std::move(now)};
    g_old = now.g;
    d_old = now.d;
  }
  return std::nullopt;
}

// n0 samples of level 0 followed by n1 samples of level 1.
BatchLevels two_levels(std::size_t n0, std::size_t n1) {
  Ids ids(n0, 0);
  ids.insert(ids.end(), n1, 1);
  return make_levels(ids);
}

// The hand-run solver of `level` over every feature of z, from the level's raw locations
// (a row of gamma_hat) and its observed sample variances.
std::optional<Simulated> hand_run_level(const Matrix& z, const BatchLevels& levels, std::size_t level,
                                        const Matrix& gamma_hat) {
  std::vector<std::vector<double>> data;
  std::vector<double> variances;
  for (Index j = 0; j < z.cols(); ++j) {
    data.push_back(observed(z, levels, level, j));
    variances.push_back(plain_variance(data.back()));
  }
  return simulate_level(data, row_vector(gamma_hat, static_cast<Index>(level)), variances);
}

// The scale estimates of z under the run's checks of them, in their order: every level of
// two samples or more, then every entry in level-major order.
Result<Matrix> checked_delta_hat(const Matrix& z, const BatchLevels& levels, bool parallel = false) {
  if (Status sizes = check_scale_levels(levels); !sizes) return fail(std::move(sizes.error()));
  ScaleMeasurements scales = measure_scales(z, levels, parallel);
  if (Status entries = check_scale_entries(scales); !entries) return fail(std::move(entries.error()));
  return std::move(scales.delta_hat);
}

// The solver of `level` alone over every feature of z, from the prior of the raw estimates
// given, stopping by the default rule.
Result<LevelEstimates> solve_level(const Matrix& z, const BatchLevels& levels, std::size_t level,
                                   const Matrix& gamma_hat, const Matrix& delta_hat, bool parallel) {
  Result<LevelPrior> prior = full_level_prior(gamma_hat, delta_hat, level);
  if (!prior) return fail(std::move(prior.error()));
  std::vector<std::optional<LevelPrior>> priors(levels.level_count());
  priors[level] = *prior;
  ScaleMeasurements scales = measure_scales(z, levels);  // for its observed counts
  scales.delta_hat = delta_hat;
  const std::vector<PassRule> rules(levels.level_count());
  std::vector<LevelTrace> traces = trace_level_solvers(z, gamma_hat, scales, levels, priors, rules, parallel);
  return std::move(traces[level].outcome);
}

// ---------------------------------------------------------------------------------------
// Mean and sample variance

TEST(MeanOf, StartsFromNegativeZeroSoAllNegativeZeroStaysNegative) {
  const std::vector<double> one{-0.0};
  const std::vector<double> two{-0.0, -0.0};
  EXPECT_TRUE(std::signbit(mean_of(one)));
  EXPECT_EQ(mean_of(one), 0.0);
  EXPECT_TRUE(std::signbit(mean_of(two)));
}

TEST(MeanOf, SumsInIndexOrder) {
  // In index order 1 is absorbed by 1e100 and the mean is 0; any other order keeps it.
  const std::vector<double> v{1.0, 1e100, -1e100};
  EXPECT_EQ(mean_of(v), 0.0);
  const std::vector<double> w{1.0, 2.0, 3.0, 4.0};
  EXPECT_EQ(mean_of(w), 2.5);
}

TEST(SampleVarianceOf, DividesByCountMinusOne) {
  const std::vector<double> v{1.0, 2.0, 3.0, 4.0};  // squares 5
  ASSERT_OK_AND_ASSIGN(const double var, sample_variance_of(v));
  EXPECT_DOUBLE_EQ(var, 5.0 / 3.0);
  const std::vector<double> pair{0.0, 2.0};
  ASSERT_OK_AND_ASSIGN(const double var2, sample_variance_of(pair));
  EXPECT_EQ(var2, 2.0);
  const std::vector<double> same{7.0, 7.0};
  ASSERT_OK_AND_ASSIGN(const double var3, sample_variance_of(same));
  EXPECT_EQ(var3, 0.0);
}

TEST(SampleVarianceOf, FewerThanTwoValuesFail) {
  const std::vector<double> none;
  const std::vector<double> one{5.0};
  EXPECT_ERROR_TEXT(sample_variance_of(none),
                    "numerical failure: sample variance requires at least two values");
  EXPECT_ERROR_TEXT(sample_variance_of(one),
                    "numerical failure: sample variance requires at least two values");
}

// ---------------------------------------------------------------------------------------
// gamma_hat

// Samples of levels 1, 0, 1, 0, 2, 2 (ids 7, 3, 7, 3, 9, 9).
const Ids kMixedIds{7, 3, 7, 3, 9, 9};
Matrix mixed_data() {
  return rows_of({{1.0, -1.0}, {2.0, 0.5}, {3.0, -3.0}, {4.0, 1.5}, {5.0, 10.0}, {7.0, 10.5}});
}

TEST(EstimateGammaHat, WithoutReferenceRowsAreLevelMeans) {
  const BatchLevels levels = make_levels(kMixedIds);
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(mixed_data(), levels, std::nullopt, has_missing(mixed_data())));
  ASSERT_EQ(gamma_hat.rows(), 3);
  ASSERT_EQ(gamma_hat.cols(), 2);
  const Matrix expected = rows_of({{3.0, 1.0}, {2.0, -2.0}, {6.0, 10.25}});
  for (Index i = 0; i < 3; ++i) {
    for (Index j = 0; j < 2; ++j) EXPECT_NEAR(gamma_hat(i, j), expected(i, j), 1e-13) << i << "," << j;
  }
}

TEST(EstimateGammaHat, WithReferenceOtherRowsAreDifferencesFromReferenceMean) {
  const BatchLevels levels = make_levels(kMixedIds);
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(mixed_data(), levels, 1, has_missing(mixed_data())));
  // Reference level 1 (id 7) has means (2, -2).
  const Matrix expected = rows_of({{1.0, 3.0}, {2.0, -2.0}, {4.0, 12.25}});
  for (Index i = 0; i < 3; ++i) {
    for (Index j = 0; j < 2; ++j) EXPECT_NEAR(gamma_hat(i, j), expected(i, j), 1e-12) << i << "," << j;
  }
}

TEST(EstimateGammaHat, MissingValuesAreLeftOutOfTheirLevelMean) {
  const BatchLevels levels = make_levels(kMixedIds);
  Matrix z = mixed_data();
  z(0, 0) = kNaN;  // level 1 of feature 0 keeps only 3.0
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(z, levels, std::nullopt, has_missing(z)));
  EXPECT_NEAR(gamma_hat(1, 0), 3.0, 1e-13);
  EXPECT_NEAR(gamma_hat(0, 0), 3.0, 1e-13);
  EXPECT_NEAR(gamma_hat(1, 1), -2.0, 1e-13);
}

TEST(EstimateGammaHat, FitFailurePassesThroughUnchanged) {
  const BatchLevels levels = make_levels(kMixedIds);
  Matrix z = mixed_data();
  z(4, 1) = kNaN;
  z(5, 1) = kNaN;  // level 2 has no observed value of feature 1
  EXPECT_ERROR_TEXT(estimate_gamma_hat(z, levels, std::nullopt, has_missing(z)), "singular design matrix");
}

// ---------------------------------------------------------------------------------------
// delta_hat

TEST(ScaleEstimates, EntriesAreObservedSampleVariancesPerLevel) {
  const BatchLevels levels = make_levels({0, 1, 0, 1, 0, 1, 2, 2, 2});
  Matrix z = rows_of({{1.0, 4.0},
                      {10.0, -1.0},
                      {3.0, kNaN},
                      {12.0, 0.0},
                      {8.0, 6.0},
                      {17.0, 5.0},
                      {0.5, 1.0},
                      {kNaN, 2.0},
                      {1.5, 4.0}});
  ASSERT_OK_AND_ASSIGN(const Matrix delta_hat, checked_delta_hat(z, levels));
  ASSERT_EQ(delta_hat.rows(), 3);
  for (std::size_t i = 0; i < 3; ++i) {
    for (Index j = 0; j < 2; ++j) {
      EXPECT_EQ(delta_hat(static_cast<Index>(i), j), plain_variance(observed(z, levels, i, j)))
          << i << "," << j;
    }
  }
  // By hand: level 0 feature 0 {1, 3, 8} -> mean 4, squares 9 + 1 + 16 = 26 -> 13.
  EXPECT_EQ(delta_hat(0, 0), 13.0);
  // Level 2 feature 0 {0.5, 1.5} -> 0.5; level 0 feature 1 {4, 6} -> 2.
  EXPECT_EQ(delta_hat(2, 0), 0.5);
  EXPECT_EQ(delta_hat(0, 1), 2.0);
}

TEST(ScaleEstimates, PositiveSubnormalVariancePasses) {
  const BatchLevels levels = make_levels({0, 0, 1, 1});
  const Matrix z = rows_of({{0.0, 1.0}, {1e-160, 2.0}, {1.0, 3.0}, {2.0, 5.0}});
  ASSERT_OK_AND_ASSIGN(const Matrix delta_hat, checked_delta_hat(z, levels));
  EXPECT_GT(delta_hat(0, 0), 0.0);
  EXPECT_LT(delta_hat(0, 0), std::numeric_limits<double>::min());
}

struct DeltaFailureCase {
  std::string name;
  Ids ids;
  Matrix z;
  std::string expected;
};

class ScaleEstimatesFailure : public ::testing::TestWithParam<DeltaFailureCase> {};

TEST_P(ScaleEstimatesFailure, ReportsTheFirstFailureInOrder) {
  const DeltaFailureCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  EXPECT_ERROR_TEXT(checked_delta_hat(c.z, levels), c.expected);
}

const std::string kTwoSamples =
    "unsupported option: scale adjustment requires at least two samples per batch";
const std::string kTwoObserved =
    "unsupported option: scale adjustment requires at least two observed values per batch and "
    "feature";
const std::string kDeltaNotPositive = "numerical failure: delta_hat is not positive finite";

INSTANTIATE_TEST_SUITE_P(
    Cases, ScaleEstimatesFailure,
    ::testing::Values(
        // Level 0 is constant (would fail first in the variance pass) but the size test
        // over every level comes first and finds the single-sample level 1.
        DeltaFailureCase{"SizeTestRunsOverAllLevelsFirst", {0, 0, 1, 2, 2},
                         rows_of({{2.0, 1.0}, {2.0, 3.0}, {5.0, 1.0}, {1.0, 0.0}, {3.0, 4.0}}),
                         kTwoSamples},
        DeltaFailureCase{"OneObservedValueInALevel", {0, 0, 1, 1},
                         rows_of({{1.0, 2.0}, {3.0, kNaN}, {5.0, 1.0}, {6.0, 4.0}}),
                         kTwoObserved},
        DeltaFailureCase{"NoObservedValueInALevel", {0, 0, 1, 1},
                         rows_of({{1.0, kNaN}, {3.0, kNaN}, {5.0, 1.0}, {6.0, 4.0}}),
                         kTwoObserved},
        DeltaFailureCase{"TwoEqualValuesAndANaN", {0, 0, 0, 1, 1},
                         rows_of({{1.0, 2.0}, {3.0, 2.0}, {4.0, kNaN}, {5.0, 1.0}, {6.0, 4.0}}),
                         kDeltaNotPositive},
        DeltaFailureCase{"InfiniteVariance", {0, 0, 1, 1},
                         rows_of({{1.0, 1e308}, {3.0, -1e308}, {5.0, 1.0}, {6.0, 4.0}}),
                         kDeltaNotPositive},
        // Level-major: level 0 feature 1 comes before level 1 feature 0.
        DeltaFailureCase{"LevelMajorNotFeatureMajor", {0, 0, 1, 1},
                         rows_of({{1.0, 2.0}, {3.0, 2.0}, {5.0, 1.0}, {kNaN, 4.0}}),
                         kDeltaNotPositive},
        DeltaFailureCase{"LevelMajorOtherWayRound", {0, 0, 1, 1},
                         rows_of({{1.0, 2.0}, {3.0, kNaN}, {5.0, 1.0}, {5.0, 4.0}}),
                         kTwoObserved}),
    CaseName());

// ---------------------------------------------------------------------------------------
// Level priors

TEST(FullLevelPrior, MethodOfMomentsWorkedValues) {
  // Row 1: gamma (1, 3) -> mean 2, variance 2; delta (0.5, 1.5) -> mean 1, variance 0.5,
  // so a = (1 + 1) / 0.5 = 4 and b = (1 + 0.5) / 0.5 = 3.
  const Matrix gamma_hat = rows_of({{9.0, -9.0}, {1.0, 3.0}});
  const Matrix delta_hat = rows_of({{7.0, 7.0}, {0.5, 1.5}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior p, full_level_prior(gamma_hat, delta_hat, 1));
  EXPECT_EQ(p.gamma_bar, 2.0);
  EXPECT_EQ(p.tau2, 2.0);
  EXPECT_EQ(p.a_prior, 4.0);
  EXPECT_EQ(p.b_prior, 3.0);
}

TEST(FullLevelPrior, FourFeatureRow) {
  // delta (0.5, 1.5, 1, 1): mean 1, variance 0.5 / 3, so a = 8 and b = 7.
  const Matrix gamma_hat = rows_of({{0.0, 1.0, 2.0, 5.0}, {0.0, 0.0, 0.0, 0.0}});
  const Matrix delta_hat = rows_of({{0.5, 1.5, 1.0, 1.0}, {1.0, 1.0, 1.0, 1.0}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior p, full_level_prior(gamma_hat, delta_hat, 0));
  EXPECT_EQ(p.gamma_bar, 2.0);
  EXPECT_EQ(p.tau2, 14.0 / 3.0);
  EXPECT_DOUBLE_EQ(p.a_prior, 8.0);
  EXPECT_DOUBLE_EQ(p.b_prior, 7.0);
}

TEST(FullLevelPrior, NaNLocationVarianceIsNotCaughtByThePositivityTest) {
  // The test is `<= 0`, which NaN passes; a and b come from the scale row alone.
  const Matrix gamma_hat = rows_of({{kNaN, 1.0}});
  const Matrix delta_hat = rows_of({{0.5, 1.5}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior p, full_level_prior(gamma_hat, delta_hat, 0));
  EXPECT_TRUE(std::isnan(p.tau2));
  EXPECT_EQ(p.a_prior, 4.0);
  EXPECT_EQ(p.b_prior, 3.0);
}

struct PriorFailureCase {
  std::string name;
  Matrix gamma_row;
  Matrix delta_row;
  std::string expected;
};

class FullLevelPriorFailure : public ::testing::TestWithParam<PriorFailureCase> {};

TEST_P(FullLevelPriorFailure, FailsWithItsText) {
  const PriorFailureCase& c = GetParam();
  EXPECT_ERROR_TEXT(full_level_prior(c.gamma_row, c.delta_row, 0), c.expected);
}

const std::string kTooFewValues = "numerical failure: sample variance requires at least two values";
const std::string kNotPositive = "numerical failure: parametric prior variance is not positive";
const std::string kPriorNotFinite = "numerical failure: parametric prior is not finite";
const std::string kVarianceNotFinite = "numerical failure: parametric prior variance is not finite";

INSTANTIATE_TEST_SUITE_P(
    Cases, FullLevelPriorFailure,
    ::testing::Values(
        PriorFailureCase{"SingleFeature", rows_of({{1.0}}), rows_of({{1.0}}), kTooFewValues},
        PriorFailureCase{"ConstantLocationRow", rows_of({{2.0, 2.0, 2.0}}),
                         rows_of({{0.5, 1.0, 1.5}}), kNotPositive},
        PriorFailureCase{"ConstantScaleRow", rows_of({{1.0, 2.0, 3.0}}),
                         rows_of({{1.0, 1.0, 1.0}}), kNotPositive},
        PriorFailureCase{"NaNScaleRow", rows_of({{1.0, 2.0}}), rows_of({{kNaN, 1.0}}),
                         kPriorNotFinite},
        // Variance +inf: a = (inf + inf) / inf is NaN.
        // Scales that agree to rounding (one residual degree of freedom left to every
        // feature makes them one number): their variance is zero, whatever rounding left.
        PriorFailureCase{"ScalesEqualUpToRounding", rows_of({{1.0, 2.0}}),
                         rows_of({{3.0, 3.0 + 4e-15}}), kNotPositive},
        PriorFailureCase{"InfiniteScaleVariance", rows_of({{1.0, 2.0}}),
                         rows_of({{1e160, 2e160}}), kPriorNotFinite},
        // m * m overflows while the variance is finite: a is +inf.
        PriorFailureCase{"ShapeOverflows", rows_of({{1.0, 2.0}}),
                         rows_of({{1e160, 1e160 + 1e154}}), kPriorNotFinite},
        // Only b = m^3 ... overflows; a stays finite.
        PriorFailureCase{"OnlyScaleParameterOverflows", rows_of({{1.0, 2.0}}),
                         rows_of({{1e120, 1.5e120}}), kPriorNotFinite}),
    CaseName());

TEST(FullLevelPrior, OnlyScaleParameterOverflowsPremise) {
  // The premise of the case above, checked by hand: a is finite, b is not.
  const double m = 1.25e120;
  const double s2 = 2.0 * (0.25e120 * 0.25e120);
  EXPECT_TRUE(std::isfinite((m * m + 2.0 * s2) / s2));
  EXPECT_FALSE(std::isfinite((m * (m * m) + m * s2) / s2));
}

TEST(MeanOnlyLevelPrior, ConstantRowIsAcceptedWithZeroVariance) {
  const Matrix gamma_hat = rows_of({{1.5, 1.5, 1.5}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior p, mean_only_level_prior(gamma_hat, 0));
  EXPECT_EQ(p.gamma_bar, 1.5);
  EXPECT_EQ(p.tau2, 0.0);
}

TEST(MeanOnlyLevelPrior, MeanAndVarianceOfTheRow) {
  const Matrix gamma_hat = rows_of({{0.0, 0.0, 0.0}, {1.0, 2.0, 6.0}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior p, mean_only_level_prior(gamma_hat, 1));
  EXPECT_EQ(p.gamma_bar, 3.0);
  EXPECT_EQ(p.tau2, 7.0);  // (4 + 1 + 9) / 2
}

class MeanOnlyLevelPriorFailure : public ::testing::TestWithParam<PriorFailureCase> {};

TEST_P(MeanOnlyLevelPriorFailure, FailsWithItsText) {
  const PriorFailureCase& c = GetParam();
  EXPECT_ERROR_TEXT(mean_only_level_prior(c.gamma_row, 0), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeanOnlyLevelPriorFailure,
    ::testing::Values(
        PriorFailureCase{"SingleFeature", rows_of({{1.0}}), Matrix(), kTooFewValues},
        PriorFailureCase{"NaNInRow", rows_of({{1.0, kNaN, 2.0}}), Matrix(), kVarianceNotFinite},
        PriorFailureCase{"InfinityInRow", rows_of({{1.0, kInf}}), Matrix(), kVarianceNotFinite},
        PriorFailureCase{"VarianceOverflows", rows_of({{1e200, -1e200}}), Matrix(),
                         kVarianceNotFinite}),
    CaseName());

// ---------------------------------------------------------------------------------------
// One posterior update

// Level 0 holds samples 0, 2, 3 and 5; feature 1 is observed as 0.0 and 2.0 there (NaN at
// sample 2, and sample 5 is missing too). Feature 0 is a decoy with other values.
struct UpdateFixture {
  BatchLevels levels = make_levels({0, 1, 0, 0, 1, 0});
  Matrix z = rows_of({{9.0, 0.0}, {4.0, 5.0}, {8.0, kNaN}, {7.0, 2.0}, {3.0, 7.0}, {6.0, kNaN}});
  Matrix gamma_hat = rows_of({{-4.0, 1.0}, {0.0, 0.0}});
  std::vector<double> d_old{3.0, 1.0};
  LevelPrior prior{0.0, 1.0, 4.0, 3.0};
};

TEST(PosteriorUpdateFeature, WorkedUpdate) {
  UpdateFixture f;
  const LevelSamples samples = level_samples(f.z, f.levels, 0);
  ASSERT_OK_AND_ASSIGN(const auto update,
                       posterior_update_feature(f.z, samples, 1, f.gamma_hat, f.d_old, f.prior));
  // N = 2: g = (0 * 1 + 1 * 2) / (2 + 1) = 2/3; S = 4/9 + 16/9 = 20/9 around the new
  // location; d = (10/9 + 3) / ((1 + 4) - 1) = 37/36.
  EXPECT_DOUBLE_EQ(update.first, 2.0 / 3.0);
  EXPECT_DOUBLE_EQ(update.second, 37.0 / 36.0);
}

TEST(PosteriorUpdateFeature, NoObservedValueFails) {
  UpdateFixture f;
  f.z(0, 1) = kNaN;
  f.z(3, 1) = kNaN;
  const LevelSamples samples = level_samples(f.z, f.levels, 0);
  EXPECT_ERROR_TEXT(posterior_update_feature(f.z, samples, 1, f.gamma_hat, f.d_old, f.prior),
                    "numerical failure: posterior update requires at least one observed value");
}

struct NonFiniteUpdateCase {
  std::string name;
  double gamma_hat;
  double tau2;
  double a_prior;
  double b_prior;
  double x0;  // first observed value of the target feature (the other is 2.0)
};

class PosteriorUpdateNonFinite : public ::testing::TestWithParam<NonFiniteUpdateCase> {};

TEST_P(PosteriorUpdateNonFinite, FailsAsNonFinite) {
  const NonFiniteUpdateCase& c = GetParam();
  UpdateFixture f;
  f.gamma_hat(0, 1) = c.gamma_hat;
  f.prior.tau2 = c.tau2;
  f.prior.a_prior = c.a_prior;
  f.prior.b_prior = c.b_prior;
  f.z(0, 1) = c.x0;
  const LevelSamples samples = level_samples(f.z, f.levels, 0);
  EXPECT_ERROR_TEXT(posterior_update_feature(f.z, samples, 1, f.gamma_hat, f.d_old, f.prior),
                    "numerical failure: posterior update produced a non-finite value");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PosteriorUpdateNonFinite,
    ::testing::Values(
        NonFiniteUpdateCase{"NaNLocation", kNaN, 1.0, 4.0, 3.0, 0.0},
        NonFiniteUpdateCase{"InfiniteTauGivesNaNLocation", 1.0, kInf, 4.0, 3.0, 0.0},
        // (N/2 + a) - 1 = 0: the scale is +inf.
        NonFiniteUpdateCase{"ZeroScaleDenominator", 1.0, 1.0, 0.0, 3.0, 0.0},
        NonFiniteUpdateCase{"NegativeScale", 1.0, 1.0, 4.0, -10.0, 0.0},
        NonFiniteUpdateCase{"ResidualsOverflow", 1.0, 1.0, 4.0, 3.0, -1e200}),
    CaseName());

TEST(PosteriorUpdateFeature, ZeroScaleFails) {
  // Both observed values equal the new location (gamma_hat = gamma_bar = 1 gives g = 1
  // exactly), so S = 0 and with b = 0 the new scale is exactly 0.
  UpdateFixture f;
  f.z(0, 1) = 1.0;
  f.z(3, 1) = 1.0;
  f.gamma_hat(0, 1) = 1.0;
  f.prior = LevelPrior{1.0, 1.0, 4.0, 0.0};
  const LevelSamples samples = level_samples(f.z, f.levels, 0);
  EXPECT_ERROR_TEXT(posterior_update_feature(f.z, samples, 1, f.gamma_hat, f.d_old, f.prior),
                    "numerical failure: posterior update produced a non-finite value");
}

// ---------------------------------------------------------------------------------------
// Change of a pass

struct ChangeCase {
  std::string name;
  std::vector<double> g_old, g_new, d_old, d_new;
  double expected;
};

class LevelChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(LevelChange, FollowsTheRule) {
  const ChangeCase& c = GetParam();
  const double change = level_change(c.g_old, c.g_new, c.d_old, c.d_new);
  EXPECT_TRUE(same_bits(change, c.expected)) << change << " expected " << c.expected;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LevelChange,
    ::testing::Values(
        ChangeCase{"NothingMoves", {1.0, 2.0}, {1.0, 2.0}, {1.0, 3.0}, {1.0, 3.0}, 0.0},
        ChangeCase{"RelativeLocation", {2.0}, {1.0}, {1.0}, {1.0}, 0.5},
        ChangeCase{"RelativeScale", {1.0}, {1.0}, {2.0}, {1.0}, 0.5},
        ChangeCase{"LargestOverFeatures", {10.0, 4.0}, {11.0, 4.0}, {4.0, 4.0}, {4.0, 5.0}, 0.25},
        ChangeCase{"ZeroOldLocationStayingZero", {0.0, 1.0}, {0.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}, 0.0},
        ChangeCase{"ZeroOldLocationMoving", {0.0}, {1e-300}, {1.0}, {1.0}, kInf},
        ChangeCase{"ZeroOldScaleStayingZero", {1.0}, {1.0}, {0.0}, {0.0}, 0.0},
        ChangeCase{"ZeroOldScaleMoving", {1.0}, {1.0}, {0.0}, {1.0}, kInf},
        // Divided by the negative old value itself: the location change is -2, so only
        // the scale counts and the change stays at its start of 0.
        ChangeCase{"NegativeOldLocationIsNotPositive", {-1.0}, {-3.0}, {1.0}, {1.0}, 0.0},
        ChangeCase{"NegativeOldLocationScaleDecides", {-1.0}, {-3.0}, {2.0}, {3.0}, 0.5},
        // |diff| / (tiny negative) overflows to -inf: not representable, so +inf.
        ChangeCase{"NegativeInfiniteLocationChange", {-1e-310}, {1e10}, {1.0}, {1.0}, kInf},
        ChangeCase{"NaNLocation", {1.0, 1.0}, {kNaN, 1.0}, {1.0, 1.0}, {1.0, 1.0}, kInf},
        ChangeCase{"NaNScale", {1.0, 1.0}, {1.0, 1.0}, {1.0, 1.0}, {1.0, kNaN}, kInf},
        // A later, finite feature does not bring +inf back down.
        ChangeCase{"InfinityIsKept", {0.0, 5.0}, {1.0, 5.0}, {1.0, 1.0}, {1.0, 1.0}, kInf},
        // 1 / 10000 rounds to exactly the threshold.
        ChangeCase{"ExactlyTheThreshold", {10000.0}, {10001.0}, {1.0}, {1.0}, 0.0001}),
    CaseName());

// ---------------------------------------------------------------------------------------
// The level solver

// Level 0 of 22 samples, three features, with hand-picked raw estimates:
// gamma_hat row (sign*3, sign*2, sign*1) -> gamma_bar = sign*2, tau2 = 1;
// delta_hat row (5000, 10000, 15000) -> a = 6, b = 50000, and with N = 22 every new scale
// is (S / 2 + 50000) / 16.
// The middle feature sits on gamma_bar, so its new location is gamma_bar exactly and its
// new scale follows from the integer deviations of its data: S = sum of squares.
// The outer features get new scales 5000.25 and 15000.75 (relative changes 5e-5).
struct ThresholdCase {
  std::string name;
  double sign;
  std::vector<double> middle_deviations;  // 22 integers
  std::size_t expected_passes;            // 0: more than one
};

class LevelSolverThreshold : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(LevelSolverThreshold, ReturnsThePassThatConverged) {
  const ThresholdCase& c = GetParam();
  const std::size_t n0 = 22;
  const BatchLevels levels = two_levels(n0, 2);
  const std::vector<double> gh{c.sign * 3.0, c.sign * 2.0, c.sign * 1.0};
  const std::vector<double> dh{5000.0, 10000.0, 15000.0};
  const Prior p = moments_prior(gh, dh);
  ASSERT_EQ(p.gamma_bar, c.sign * 2.0);
  ASSERT_EQ(p.tau2, 1.0);
  ASSERT_EQ(p.a, 6.0);
  ASSERT_EQ(p.b, 50000.0);

  auto location = [&](std::size_t j) {
    const double n = static_cast<double>(n0);
    return (p.gamma_bar * dh[j] + gh[j] * (p.tau2 * n)) / (p.tau2 * n + dh[j]);
  };
  std::vector<std::vector<double>> data(3);
  const double spread0 = std::sqrt(60008.0 / 22.0);   // S about 60008 -> 5000.25
  const double spread2 = std::sqrt(380024.0 / 22.0);  // S about 380024 -> 15000.75
  for (std::size_t k = 0; k < n0; ++k) {
    const double sign = k % 2 == 0 ? 1.0 : -1.0;
    data[0].push_back(location(0) + sign * spread0);
    data[1].push_back(c.sign * 2.0 + c.middle_deviations.at(k));
    data[2].push_back(location(2) + sign * spread2);
  }
  Matrix z(static_cast<Index>(n0 + 2), 3);
  for (Index j = 0; j < 3; ++j) {
    for (std::size_t k = 0; k < n0; ++k) z(static_cast<Index>(k), j) = data[static_cast<std::size_t>(j)][k];
    z(static_cast<Index>(n0), j) = 100.0;      // level 1 is never read
    z(static_cast<Index>(n0 + 1), j) = -100.0;
  }
  Matrix gamma_hat(2, 3);
  Matrix delta_hat(2, 3);
  for (Index j = 0; j < 3; ++j) {
    gamma_hat(0, j) = gh[static_cast<std::size_t>(j)];
    delta_hat(0, j) = dh[static_cast<std::size_t>(j)];
    gamma_hat(1, j) = kNaN;  // nor are level 1's estimates
    delta_hat(1, j) = kNaN;
  }

  const Pass first = one_pass(data, gh, dh, p);
  const Pass second = one_pass(data, gh, first.d, p);
  // The test can tell one pass from two only if they differ.
  ASSERT_FALSE(bit_identical(first.g, second.g) && bit_identical(first.d, second.d));
  const std::optional<Simulated> sim = simulate_level(data, gh, dh);
  ASSERT_TRUE(sim.has_value());
  if (c.expected_passes == 1) {
    ASSERT_EQ(sim->passes, 1u);
  } else {
    ASSERT_GT(sim->passes, 1u);
  }

  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    ASSERT_OK_AND_ASSIGN(const LevelEstimates fit,
                         solve_level(z, levels, 0, gamma_hat, delta_hat, parallel));
    EXPECT_TRUE(bit_identical(fit.gamma_star, sim->result.g));
    EXPECT_TRUE(bit_identical(fit.delta_star, sim->result.d));
    if (c.expected_passes == 1) {
      EXPECT_TRUE(bit_identical(fit.gamma_star, first.g));
      EXPECT_TRUE(bit_identical(fit.delta_star, first.d));
    } else {
      EXPECT_FALSE(bit_identical(fit.gamma_star, first.g) && bit_identical(fit.delta_star, first.d));
    }
  }
}

std::vector<double> deviations(std::vector<double> tail, std::size_t hundreds) {
  std::vector<double> out;
  for (std::size_t k = 0; k < hundreds; ++k) out.push_back(k % 2 == 0 ? 100.0 : -100.0);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LevelSolverThreshold,
    ::testing::Values(
        // S = 20 * 100^2 + 104^2 + 96^2 = 220032 -> middle scale 10001: its change is
        // exactly 0.0001, which converges; the outer features change by 5e-5 and their
        // locations by a negative amount (divided by a negative old value).
        ThresholdCase{"ExactThresholdConvergesInFirstPass", -1.0,
                      deviations({104.0, 96.0}, 20), 1},
        // S = 18 * 100^2 + 200^2 + 8^2 = 220064 -> middle scale 10002: change 0.0002.
        ThresholdCase{"AboveThresholdNeedsAnotherPass", -1.0,
                      deviations({200.0, 8.0, 0.0, 0.0}, 18), 0},
        // The same level mirrored to positive locations: the outer locations now move by
        // a positive relative amount near 1, so the first pass cannot converge.
        ThresholdCase{"PositiveLocationsCountTowardsTheChange", 1.0,
                      deviations({104.0, 96.0}, 20), 0}),
    CaseName());

// Level 0 is one sample; feature 0 (gamma_hat 0, so its first change is +inf) observes x,
// the 19 others observe `spread` and have gamma_hat `spread`. The scale row is one large
// value among small ones, a weak prior under which feature 0 oscillates: for some x the
// oscillation dies out slowly, for others it never does.
struct SlowCase {
  std::string name;
  double spread;
  double small_scale;
  double x;
  std::optional<std::size_t> passes;  // nothing: 1000 passes do not converge
  bool also_parallel = false;         // a thousand pool round trips are slow on a busy machine
};

class LevelSolverPassLimit : public ::testing::TestWithParam<SlowCase> {};

TEST_P(LevelSolverPassLimit, AcceptsUpToTheThousandthPass) {
  const SlowCase& c = GetParam();
  const std::size_t g = 20;
  const BatchLevels levels = make_levels({1, 0, 1});
  std::vector<double> gh(g, c.spread);
  gh[0] = 0.0;
  std::vector<double> dh(g, c.small_scale);
  dh[0] = c.small_scale * 10.0;
  std::vector<std::vector<double>> data(g, std::vector<double>{c.spread});
  data[0] = {c.x};

  Matrix z(3, static_cast<Index>(g));
  Matrix gamma_hat(2, static_cast<Index>(g));
  Matrix delta_hat(2, static_cast<Index>(g));
  for (std::size_t j = 0; j < g; ++j) {
    const auto col = static_cast<Index>(j);
    z(0, col) = 1.0;
    z(1, col) = data[j][0];
    z(2, col) = 2.0;
    gamma_hat(0, col) = gh[j];
    delta_hat(0, col) = dh[j];
    gamma_hat(1, col) = 1.0;
    delta_hat(1, col) = 1.0;
  }
  const std::optional<Simulated> sim = simulate_level(data, gh, dh);
  ASSERT_EQ(sim.has_value(), c.passes.has_value());
  if (sim) {
    ASSERT_EQ(sim->passes, *c.passes);
  }

  for (const bool parallel : {false, true}) {
    if (parallel && !c.also_parallel) continue;
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    const Result<LevelEstimates> fit = solve_level(z, levels, 0, gamma_hat, delta_hat, parallel);
    if (c.passes) {
      ASSERT_OK(fit);
      EXPECT_TRUE(bit_identical(fit->gamma_star, sim->result.g));
      EXPECT_TRUE(bit_identical(fit->delta_star, sim->result.d));
    } else {
      EXPECT_ERROR_TEXT(fit,
                        "numerical failure: parametric posterior solver did not converge in 1000 "
                        "iterations");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LevelSolverPassLimit,
    ::testing::Values(SlowCase{"ConvergesAfter996Passes", 0.3, 0.000995, 0.1921, 996},
                      SlowCase{"ConvergesInExactlyTheThousandthPass", 0.3, 0.000995, 0.1922, 1000,
                               true},
                      SlowCase{"NeedsMoreThanAThousandPasses", 0.3, 0.000995, 0.1923, std::nullopt},
                      SlowCase{"OscillatesForever", 3.0, 0.01, 1.0, std::nullopt}),
    CaseName());

TEST(LevelSolver, UpdateFailureEndsTheFitWithTheLowestFeaturesError) {
  // Level 0: feature 0 has no observed value, feature 2 one value so large that S
  // overflows; the lower feature's error wins.
  const BatchLevels levels = make_levels({0, 0, 1, 1});
  const Matrix z = rows_of({{kNaN, 1.0, 1e200}, {kNaN, 2.0, -1e200}, {1.0, 0.0, 0.0}, {2.0, 1.0, 1.0}});
  const Matrix gamma_hat = rows_of({{1.0, 2.0, 4.0}, {1.0, 2.0, 4.0}});
  const Matrix delta_hat = rows_of({{1.0, 2.0, 4.0}, {1.0, 2.0, 4.0}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior prior, full_level_prior(gamma_hat, delta_hat, 0));
  const LevelSamples samples = level_samples(z, levels, 0);
  const std::vector<double> d_old = row_vector(delta_hat, 0);
  EXPECT_ERROR_TEXT(posterior_update_feature(z, samples, 2, gamma_hat, d_old, prior),
                    "numerical failure: posterior update produced a non-finite value");
  for (const bool parallel : {false, true}) {
    EXPECT_ERROR_TEXT(
        solve_level(z, levels, 0, gamma_hat, delta_hat, parallel),
        "numerical failure: posterior update requires at least one observed value");
  }
}

// ---------------------------------------------------------------------------------------
// The location-only posterior and write_level_estimates

TEST(MeanOnlyPosterior, ClosedFormShrinkage) {
  const Matrix gamma_hat = rows_of({{1.0, 2.0, 6.0}, {5.0, 5.0, 5.0}});
  ASSERT_OK_AND_ASSIGN(const LevelPrior prior0, mean_only_level_prior(gamma_hat, 0));
  ASSERT_OK_AND_ASSIGN(const LevelPrior prior1, mean_only_level_prior(gamma_hat, 1));
  // gamma_bar 3, tau2 7: (g * 7 + 3) / 8; a constant row (tau2 = 0) keeps its mean.
  const std::vector<double> expected0{1.25, 2.125, 5.625};
  for (Index j = 0; j < 3; ++j) {
    EXPECT_EQ(mean_only_posterior(prior0, gamma_hat(0, j)), expected0[static_cast<std::size_t>(j)]);
    EXPECT_EQ(mean_only_posterior(prior1, gamma_hat(1, j)), 5.0);
  }
}

TEST(WriteLevelEstimates, WritesRowsInLevelOrder) {
  std::vector<Result<LevelEstimates>> results;
  results.emplace_back(LevelEstimates{{1.0, 2.0}, {3.0, 4.0}});
  results.emplace_back(LevelEstimates{{5.0, 6.0}, {7.0, 8.0}});
  Matrix gamma_star = Matrix::Zero(2, 2);
  Matrix delta_star = Matrix::Ones(2, 2);
  ASSERT_OK(write_level_estimates(results, gamma_star, delta_star));
  EXPECT_EQ(gamma_star, rows_of({{1.0, 2.0}, {5.0, 6.0}}));
  EXPECT_EQ(delta_star, rows_of({{3.0, 4.0}, {7.0, 8.0}}));
}

TEST(WriteLevelEstimates, FirstErrorInLevelOrderWins) {
  std::vector<Result<LevelEstimates>> results;
  results.emplace_back(LevelEstimates{{1.0, 2.0}, {3.0, 4.0}});
  results.emplace_back(fail(NumericalFailure{"second level"}));
  results.emplace_back(fail(UnsupportedOption{"third level"}));
  Matrix gamma_star = Matrix::Zero(3, 2);
  Matrix delta_star = Matrix::Ones(3, 2);
  EXPECT_ERROR_TEXT(write_level_estimates(results, gamma_star, delta_star),
                    "numerical failure: second level");
}

// ---------------------------------------------------------------------------------------
// The run's parametric posteriors

TEST(ParametricPosteriors, MeanOnlyShrinksInClosedFormAndNeverEstimatesScale) {
  // Level 0 holds one sample: it has no scale, so a run asked to correct scales corrects
  // locations only, exactly as a mean-only run.
  const BatchLevels levels = make_levels({1, 0, 1, 2, 2, 1});
  const Matrix z = rows_of({{1.0, 4.0, -2.0},
                            {0.5, 0.25, 8.0},
                            {3.0, 2.0, 0.0},
                            {-1.0, 1.0, 1.0},
                            {-3.0, 2.0, 2.0},
                            {2.0, 3.0, 1.0}});
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates est, tile_estimates(z, levels, {.mean_only = true}, false));
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates asked_full, tile_estimates(z, levels, {}, false));
  EXPECT_TRUE(bit_identical(bits_of(asked_full.gamma_star), bits_of(est.gamma_star)));
  EXPECT_TRUE(bit_identical(bits_of(asked_full.delta_star), bits_of(est.delta_star)));
  for (std::size_t i = 0; i < 3; ++i) {
    std::vector<double> means;
    for (Index j = 0; j < 3; ++j) means.push_back(plain_mean(observed(z, levels, i, j)));
    const double gb = plain_mean(means);
    const double t2 = plain_variance(means);
    for (Index j = 0; j < 3; ++j) {
      const double expected = (means[static_cast<std::size_t>(j)] * t2 + gb) / (t2 + 1.0);
      EXPECT_NEAR(est.gamma_star(static_cast<Index>(i), j), expected, 1e-13) << i << "," << j;
      EXPECT_EQ(est.delta_star(static_cast<Index>(i), j), 1.0);
    }
  }
}

// Reference level 0 of two samples whose means are 2 in every feature: its gamma_hat row
// is constant, so its own full-mode prior would fail. It is not fitted at all.
struct ReferenceFixture {
  BatchLevels levels = make_levels({0, 1, 0, 1, 1, 1});
  Matrix z = rows_of({{1.0, 0.0, 3.0},
                      {5.0, 1.0, 2.5},
                      {3.0, 4.0, 1.0},
                      {6.0, 2.0, -1.0},
                      {9.0, 2.5, 0.5},
                      {4.0, -3.0, 7.0}});
};

TEST(ParametricPosteriors, ReferenceLevelIsNotFittedAndIsPinned) {
  ReferenceFixture f;
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(f.z, f.levels, 0, has_missing(f.z)));
  ASSERT_OK_AND_ASSIGN(const Matrix delta_hat, checked_delta_hat(f.z, f.levels));
  // Premise: the reference row is constant and its prior fails.
  EXPECT_EQ(row_vector(gamma_hat, 0), (std::vector<double>{2.0, 2.0, 2.0}));
  EXPECT_ERROR_TEXT(full_level_prior(gamma_hat, delta_hat, 0), kNotPositive);
  const std::optional<Simulated> level1 = hand_run_level(f.z, f.levels, 1, gamma_hat);
  ASSERT_TRUE(level1.has_value());

  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    ASSERT_OK_AND_ASSIGN(const ParametricEstimates est, tile_estimates(f.z, f.levels, {.reference = 0}, parallel));
    for (Index j = 0; j < 3; ++j) {
      EXPECT_TRUE(same_bits(est.gamma_star(0, j), 0.0));
      EXPECT_EQ(est.delta_star(0, j), 1.0);
    }
    EXPECT_TRUE(bit_identical(row_vector(est.gamma_star, 1), level1->result.g));
    EXPECT_TRUE(bit_identical(row_vector(est.delta_star, 1), level1->result.d));
  }
}

TEST(ParametricPosteriors, ReferenceLevelMeanOnlyIsPinned) {
  ReferenceFixture f;
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                       tile_estimates(f.z, f.levels, {.mean_only = true, .reference = 0}, false));
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(f.z, f.levels, 0, has_missing(f.z)));
  const std::vector<double> row1 = row_vector(gamma_hat, 1);
  const double gb = plain_mean(row1);
  const double t2 = plain_variance(row1);
  EXPECT_EQ(row_vector(est.gamma_star, 0), (std::vector<double>{0.0, 0.0, 0.0}));
  EXPECT_EQ(row_vector(est.delta_star, 0), (std::vector<double>{1.0, 1.0, 1.0}));
  for (Index j = 0; j < 3; ++j) {
    EXPECT_NEAR(est.gamma_star(1, j), (row1[static_cast<std::size_t>(j)] * t2 + gb) / (t2 + 1.0), 1e-13);
  }
  EXPECT_EQ(row_vector(est.delta_star, 1), (std::vector<double>{1.0, 1.0, 1.0}));
}

TEST(ParametricPosteriors, ScaleEstimatesStillCoverTheReferenceLevel) {
  ReferenceFixture f;
  f.z(2, 0) = 1.0;  // reference feature 0 is now {1, 1}
  EXPECT_ERROR_TEXT(tile_estimates(f.z, f.levels, {.reference = 0}, false), kDeltaNotPositive);
}

// Level 0 fits; level `constant_level` has a constant gamma_hat row (means 2 and 2); the
// other failing level has scale estimates whose mean squared overflows.
Matrix two_failing_levels(std::size_t constant_level) {
  const std::size_t overflow_level = constant_level == 1 ? 2 : 1;
  Matrix z(8, 2);
  // Level 0: samples 0-3.
  z << 0.5, 2.0,  //
      1.5, 5.0,   //
      -1.0, 3.0,  //
      2.0, 4.5,   //
      0, 0, 0, 0, 0, 0, 0, 0;
  auto put = [&](std::size_t level, double a0, double a1, double b0, double b1) {
    const auto first = static_cast<Index>(4 + 2 * (level - 1));
    z(first, 0) = a0;
    z(first + 1, 0) = a1;
    z(first, 1) = b0;
    z(first + 1, 1) = b1;
  };
  put(constant_level, 1.0, 3.0, 0.0, 4.0);
  put(overflow_level, 0.0, 2e80, 0.0, 3e80);
  return z;
}

struct TwoFailuresCase {
  std::string name;
  std::size_t constant_level;
  std::string expected;
};

class ParametricTwoFailingLevels : public ::testing::TestWithParam<TwoFailuresCase> {};

TEST_P(ParametricTwoFailingLevels, LowerLevelWinsSerialAndParallel) {
  const TwoFailuresCase& c = GetParam();
  const BatchLevels levels = make_levels({0, 0, 0, 0, 1, 1, 2, 2});
  const Matrix z = two_failing_levels(c.constant_level);
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    EXPECT_ERROR_TEXT(tile_estimates(z, levels, {}, parallel), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParametricTwoFailingLevels,
    ::testing::Values(TwoFailuresCase{"ConstantRowFirst", 1, kNotPositive},
                      TwoFailuresCase{"OverflowFirst", 2, kPriorNotFinite}),
    CaseName());

TEST(ParametricPosteriors, TwoFailingLevelsPremiseLevelZeroFits) {
  // Without the failing levels' influence level 0 converges, so the errors above are the
  // failing levels' own.
  const BatchLevels levels = make_levels({0, 0, 0, 0, 1, 1, 2, 2});
  const Matrix z = two_failing_levels(1);
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(z, levels, std::nullopt, has_missing(z)));
  ASSERT_OK_AND_ASSIGN(const Matrix delta_hat, checked_delta_hat(z, levels));
  EXPECT_OK(solve_level(z, levels, 0, gamma_hat, delta_hat, false));
  EXPECT_ERROR_TEXT(full_level_prior(gamma_hat, delta_hat, 1), kNotPositive);
  EXPECT_ERROR_TEXT(full_level_prior(gamma_hat, delta_hat, 2), kPriorNotFinite);
}

struct SerialParallelCase {
  std::string name;
  bool mean_only;
  std::optional<std::size_t> reference;
  bool missing;
};

class ParametricSerialParallel : public ::testing::TestWithParam<SerialParallelCase> {};

TEST_P(ParametricSerialParallel, BitIdentical) {
  const SerialParallelCase& c = GetParam();
  const std::size_t n = 90;
  Ids ids;
  for (std::size_t s = 0; s < n; ++s) ids.push_back((s * 7) % 3);
  const BatchLevels levels = make_levels(ids);
  std::mt19937_64 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  Matrix z(static_cast<Index>(n), 40);
  for (Index s = 0; s < z.rows(); ++s) {
    const double level = static_cast<double>(ids[static_cast<std::size_t>(s)]);
    for (Index j = 0; j < z.cols(); ++j) {
      z(s, j) = 0.3 * level * static_cast<double>(j % 5) + (1.0 + 0.5 * level) * noise(rng);
      if (c.missing && (s * 41 + j * 7) % 53 == 0) z(s, j) = kNaN;
    }
  }
  const TileEstimator estimator{.mean_only = c.mean_only, .reference = c.reference};
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates serial, tile_estimates(z, levels, estimator, false));
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates parallel, tile_estimates(z, levels, estimator, true));
  EXPECT_TRUE(bit_identical(bits_of(serial.gamma_star), bits_of(parallel.gamma_star)));
  EXPECT_TRUE(bit_identical(bits_of(serial.delta_star), bits_of(parallel.delta_star)));
  EXPECT_GT(serial.gamma_star.cwiseAbs().maxCoeff(), 0.0);  // a real fit, not all zeros
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParametricSerialParallel,
    ::testing::Values(SerialParallelCase{"Full", false, std::nullopt, false},
                      SerialParallelCase{"FullWithReference", false, 1, false},
                      SerialParallelCase{"FullMissing", false, std::nullopt, true},
                      SerialParallelCase{"MeanOnly", true, std::nullopt, false},
                      SerialParallelCase{"MeanOnlyWithReferenceMissing", true, 2, true}),
    CaseName());

// ---------------------------------------------------------------------------------------
// Shapes of the side-by-side sums: features are summed eight at a time in blocks of 64, so
// feature counts around those sizes exercise the partial lanes and blocks; interleaved
// levels give one-sample runs and missing values the +0.0 terms. Every entry must keep
// the bits of the one-feature reference sums, serial and parallel.

struct ShapeCase {
  std::string name;
  std::size_t n;
  Index features;
  std::size_t n_levels;
  bool interleaved;
  double missing;  // share of missing values
  std::optional<std::size_t> reference;
};

class SideBySideSums : public ::testing::TestWithParam<ShapeCase> {
 protected:
  void SetUp() override {
    const ShapeCase& c = GetParam();
    for (std::size_t s = 0; s < c.n; ++s) {
      ids.push_back(c.interleaved ? (s * 5 + s / 3) % c.n_levels : s * c.n_levels / c.n);
    }
    std::mt19937_64 rng(17 + c.n);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    z.resize(static_cast<Index>(c.n), c.features);
    for (Index j = 0; j < c.features; ++j) {
      for (Index s = 0; s < z.rows(); ++s) {
        const auto level = static_cast<double>(ids[static_cast<std::size_t>(s)]);
        z(s, j) = 0.4 * level * static_cast<double>(j % 7) - 0.2 * static_cast<double>(j % 3) +
                  (0.5 + 0.3 * level) * noise(rng);
        if (uniform(rng) < c.missing) z(s, j) = kNaN;
      }
    }
  }

  Ids ids;
  Matrix z;
};

TEST_P(SideBySideSums, DeltaHatEntriesAreTheOneFeatureVariances) {
  const BatchLevels levels = make_levels(ids);
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    const Matrix delta_hat = measure_scales(z, levels, parallel).delta_hat;
    for (std::size_t i = 0; i < levels.level_count(); ++i) {
      for (Index j = 0; j < z.cols(); ++j) {
        ASSERT_TRUE(same_bits(delta_hat(static_cast<Index>(i), j),
                              plain_variance(observed(z, levels, i, j))))
            << "level " << i << " feature " << j;
      }
    }
  }
}

TEST_P(SideBySideSums, SolverRowsAreTheHandRunLevelSolvers) {
  const ShapeCase& c = GetParam();
  const BatchLevels levels = make_levels(ids);
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(z, levels, c.reference, has_missing(z)));
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                         tile_estimates(z, levels, {.reference = c.reference}, parallel));
    for (std::size_t i = 0; i < levels.level_count(); ++i) {
      if (i == c.reference) continue;
      SCOPED_TRACE(i);
      const std::optional<Simulated> expected = hand_run_level(z, levels, i, gamma_hat);
      ASSERT_TRUE(expected.has_value());
      EXPECT_TRUE(bit_identical(row_vector(est.gamma_star, static_cast<Index>(i)),
                                expected->result.g));
      EXPECT_TRUE(bit_identical(row_vector(est.delta_star, static_cast<Index>(i)),
                                expected->result.d));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SideBySideSums,
    ::testing::Values(ShapeCase{"TwoFeatures", 40, 2, 2, false, 0.0, std::nullopt},
                      ShapeCase{"OnePartialLane", 60, 7, 3, false, 0.0, std::nullopt},
                      ShapeCase{"OneLanePlusOne", 60, 9, 3, true, 0.0, std::nullopt},
                      ShapeCase{"OneBlock", 90, 64, 4, false, 0.1, std::nullopt},
                      ShapeCase{"BlockPlusOne", 90, 65, 4, true, 0.1, std::nullopt},
                      ShapeCase{"SeveralBlocksMissing", 120, 131, 3, true, 0.3, std::nullopt},
                      ShapeCase{"SeveralBlocksWithReference", 120, 131, 5, false, 0.05, 2}),
    CaseName());

// ---------------------------------------------------------------------------------------
// A run of one kept feature: no prior can be formed, so its raw locations are its effects

TEST(OneFeatureRun, LevelMeansWithoutShrinkage) {
  const BatchLevels levels = make_levels(kMixedIds);
  const Matrix expected = rows_of({{3.0, 1.0}, {2.0, -2.0}, {6.0, 10.25}});
  for (const TileEstimator estimator : {TileEstimator{}, TileEstimator{.mean_only = true},
                                        TileEstimator{.par_prior = false}}) {
    for (Index j = 0; j < 2; ++j) {
      SCOPED_TRACE(j);
      ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                           tile_estimates(mixed_data().col(j), levels, estimator, false));
      ASSERT_EQ(est.gamma_star.rows(), 3);
      ASSERT_EQ(est.gamma_star.cols(), 1);
      for (Index i = 0; i < 3; ++i) EXPECT_NEAR(est.gamma_star(i, 0), expected(i, j), 1e-13);
      EXPECT_EQ(est.delta_star, Matrix(Matrix::Ones(3, 1)));
    }
  }
}

TEST(OneFeatureRun, ReferenceRowIsZeroOthersAreDifferences) {
  const BatchLevels levels = make_levels(kMixedIds);
  const Matrix z = mixed_data().col(1);
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates est, tile_estimates(z, levels, {.reference = 1}, false));
  ASSERT_EQ(est.gamma_star.rows(), 3);
  ASSERT_EQ(est.gamma_star.cols(), 1);
  EXPECT_EQ(est.gamma_star(1, 0), 0.0);
  EXPECT_NEAR(est.gamma_star(0, 0), 3.0, 1e-12);    // 1 - (-2)
  EXPECT_NEAR(est.gamma_star(2, 0), 12.25, 1e-12);  // 10.25 - (-2)
  EXPECT_EQ(est.delta_star, Matrix(Matrix::Ones(3, 1)));
}

TEST(OneFeatureRun, DesignFailurePassesThrough) {
  const BatchLevels levels = make_levels(kMixedIds);
  Matrix z = mixed_data().col(0);
  z(4, 0) = kNaN;
  z(5, 0) = kNaN;
  EXPECT_ERROR_TEXT(tile_estimates(z, levels, {}, false), "singular design matrix");
}

// ---------------------------------------------------------------------------------------
// Where a level stops, from the traces of its parts

// A part's trace: the changes of its passes, then either its estimates or a failure in the
// pass after them.
LevelTrace trace_of(std::vector<double> changes, bool fails = false) {
  LevelTrace trace{std::move(changes), LevelEstimates{}};
  if (fails) trace.outcome = fail(NumericalFailure{"posterior update failed"});
  return trace;
}

struct StopCase {
  std::string name;
  std::vector<LevelTrace> parts;
  std::optional<std::size_t> pass;  // the level's stop
  bool error = false;               // the level's error
  std::size_t explore_from = 0;     // or the pass every part must reach first
};

class LevelStopCases : public ::testing::TestWithParam<StopCase> {};

// The level stops at the first pass whose largest change over all parts is small, fails at
// the first pass a part failed in, and asks for more passes when a part stopped on its own
// change before the level could.
TEST_P(LevelStopCases, IsTheWholeSolversStop) {
  const StopCase& c = GetParam();
  std::vector<const LevelTrace*> parts;
  for (const LevelTrace& part : c.parts) parts.push_back(&part);
  const LevelStop stop = level_stop(parts);
  EXPECT_EQ(stop.pass, c.pass);
  EXPECT_EQ(stop.error.has_value(), c.error);
  if (!c.pass && !c.error) {
    EXPECT_EQ(stop.explore_from, c.explore_from);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Traces, LevelStopCases,
    ::testing::Values(
        StopCase{"AllPartsSmallAtOnePass", {trace_of({0.1, 0.01, 5e-5}), trace_of({0.2, 1e-5, 2e-5})}, 3},
        StopCase{"OnePartStoppedEarly", {trace_of({0.1, 0.01, 5e-5}), trace_of({0.2, 1e-5})}, std::nullopt, false, 3},
        StopCase{"EarlyPartsGoPastEveryPassAnotherStillChanges",
                 {trace_of({0.1, 0.05, 0.01, 5e-5}), trace_of({0.2, 1e-5}), trace_of({0.3, 0.1, 2e-5})},
                 std::nullopt, false, 4},
        StopCase{"EarlyPartsGoNoFurtherThanAFailure",
                 {trace_of({0.1, 0.05, 0.01}, true), trace_of({0.2, 1e-5})}, std::nullopt, false, 4},
        StopCase{"SmallThenLargeAgainStopsAtTheFirstSmall", {trace_of({0.1, 5e-5, 0.3}), trace_of({0.1, 1e-5, 0.2})}, 2},
        StopCase{"FailureBeforeTheStop", {trace_of({0.1}, true), trace_of({0.1, 0.05, 1e-5})}, std::nullopt, true},
        StopCase{"FailureAfterTheStopDoesNotCount", {trace_of({0.1, 5e-5}, true), trace_of({0.1, 1e-5})}, 2},
        StopCase{"ThresholdItselfStops", {trace_of({0.5, kConvergenceThreshold})}, 2}),
    CaseName());

}  // namespace
}  // namespace quarnel
