// Standardisation: the grand mean plus covariate effects as centre, the pooled residual
// variance as scale, the switch to sample variances when any value is missing, and the
// failures of the variance.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <cstddef>
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
#include "quarnel/design.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/standardize.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::make_levels;

using Index = Eigen::Index;
using Ids = std::vector<std::uint64_t>;
using Column = std::vector<double>;
using testing::bit_identical;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const std::string kTooFewResiduals =
    "numerical failure: pooled variance requires at least two observed residuals";
const std::string kNotPositive = "numerical failure: pooled variance is not positive finite";

struct LabelName {
  template <class T>
  std::string operator()(const ::testing::TestParamInfo<T>& case_info) const {
    return case_info.param.label;
  }
};

// The kept features as the row-major n x G slice standardize takes.
struct Data {
  std::size_t n = 0;
  std::size_t g = 0;
  std::vector<double> values;  // sample i, feature j at i * g + j

  double at(std::size_t i, std::size_t j) const { return values[i * g + j]; }
  double& at(std::size_t i, std::size_t j) { return values[i * g + j]; }

  static Data from_features(const std::vector<Column>& features) {
    Data d;
    d.g = features.size();
    d.n = features.front().size();
    d.values.assign(d.n * d.g, 0.0);
    for (std::size_t j = 0; j < d.g; ++j) {
      for (std::size_t i = 0; i < d.n; ++i) d.at(i, j) = features[j][i];
    }
    return d;
  }
  static Data random(std::size_t n, std::size_t g, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> dist(-4.0, 9.0);
    Data d;
    d.n = n;
    d.g = g;
    d.values.resize(n * g);
    for (double& v : d.values) v = dist(rng);
    return d;
  }
  Data feature(std::size_t j) const {
    Data d;
    d.n = n;
    d.g = 1;
    for (std::size_t i = 0; i < n; ++i) d.values.push_back(at(i, j));
    return d;
  }
};

struct Covariates {
  std::vector<double> values;  // row-major n x k
  std::size_t k = 0;

  static Covariates from_columns(const std::vector<Column>& columns) {
    Covariates cov;
    cov.k = columns.size();
    const std::size_t n = columns.front().size();
    cov.values.assign(n * cov.k, 0.0);
    for (std::size_t c = 0; c < cov.k; ++c) {
      for (std::size_t i = 0; i < n; ++i) cov.values[i * cov.k + c] = columns[c][i];
    }
    return cov;
  }
  CovariateMatrix view() const { return CovariateMatrix{values, k}; }
};

std::span<const double> data_of(const Matrix& m) {
  return {m.data(), static_cast<std::size_t>(m.size())};
}

// The serial run, after checking that the parallel one gives the same bits or the same
// error.
Result<Standardization> run(const Data& d, const BatchLevels& levels,
                            const std::optional<CovariateMatrix>& cov,
                            std::optional<std::size_t> ref) {
  Result<Standardization> serial =
      standardize(testing::column_major(d.values, d.n, d.g), levels, cov, ref, false);
  const Result<Standardization> parallel =
      standardize(testing::column_major(d.values, d.n, d.g), levels, cov, ref, true);
  EXPECT_EQ(serial.has_value(), parallel.has_value());
  if (serial && parallel) {
    EXPECT_EQ(serial->has_missing, has_missing(serial->standardized));
    EXPECT_EQ(parallel->has_missing, serial->has_missing);
    EXPECT_TRUE(bit_identical(serial->pooled_variance, parallel->pooled_variance));
    EXPECT_TRUE(bit_identical(data_of(testing::dense_of(serial->stand_mean)), data_of(testing::dense_of(parallel->stand_mean))));
    EXPECT_TRUE(bit_identical(data_of(serial->standardized), data_of(parallel->standardized)));
  } else if (!serial && !parallel) {
    EXPECT_EQ(render(serial.error()), render(parallel.error()));
  }
  return serial;
}

// |actual - expected| <= tol * max(1, |expected|).
::testing::AssertionResult near(double actual, double expected, double tol) {
  if (std::abs(actual - expected) <= tol * std::max(1.0, std::abs(expected))) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << actual << " differs from " << expected
                                       << " by more than " << tol << " (relative)";
}

// Mean of feature j over the observed samples of one level.
double observed_level_mean(const Data& d, std::size_t j, const BatchLevels& levels,
                           std::size_t level) {
  double sum = 0.0;
  int count = 0;
  for (std::size_t i = 0; i < d.n; ++i) {
    if (levels.level_of_sample(i) != level || std::isnan(d.at(i, j))) continue;
    sum += d.at(i, j);
    ++count;
  }
  return sum / count;
}

// The pieces of the model for one feature without covariates, summed directly: the
// residual of every sample from its level's observed mean, the contributing samples, the
// grand mean and D.
struct Expected {
  std::vector<double> residual;    // NaN where missing
  std::vector<bool> contributing;  // all samples, or the reference level's only
  double grand = 0.0;
  double denominator = 0.0;  // n, or n_r with a reference
};

Expected expected_without_covariates(const Data& d, std::size_t j, const BatchLevels& levels,
                                     std::optional<std::size_t> ref) {
  Expected e;
  for (std::size_t i = 0; i < d.n; ++i) {
    const std::size_t level = levels.level_of_sample(i);
    e.residual.push_back(d.at(i, j) - observed_level_mean(d, j, levels, level));
    e.contributing.push_back(!ref || level == *ref);
  }
  if (ref) {
    e.grand = observed_level_mean(d, j, levels, *ref);
    e.denominator = static_cast<double>(levels.level_size(*ref));
  } else {
    // The level means weighted by the level sizes (of all samples, observed or not).
    for (std::size_t l = 0; l < levels.level_count(); ++l) {
      e.grand += static_cast<double>(levels.level_size(l)) * observed_level_mean(d, j, levels, l);
    }
    e.grand /= static_cast<double>(d.n);
    e.denominator = static_cast<double>(d.n);
  }
  return e;
}

// Complete-data pooled variance: sum of squared contributing residuals over D.
double complete_variance(const Expected& e) {
  double sum = 0.0;
  for (std::size_t i = 0; i < e.residual.size(); ++i) {
    if (e.contributing[i]) sum += e.residual[i] * e.residual[i];
  }
  return sum / e.denominator;
}

// Sample variance (m - 1) of the observed contributing residuals.
double sample_variance(const Expected& e) {
  std::vector<double> r;
  for (std::size_t i = 0; i < e.residual.size(); ++i) {
    if (e.contributing[i] && !std::isnan(e.residual[i])) r.push_back(e.residual[i]);
  }
  double mean = 0.0;
  for (double v : r) mean += v;
  mean /= static_cast<double>(r.size());
  double sum = 0.0;
  for (double v : r) sum += (v - mean) * (v - mean);
  return sum / static_cast<double>(r.size() - 1);
}

// Checks the shape of the result and that every standardised value is
// (value - stand_mean) / sqrt(pooled_variance) bit for bit, NaN exactly where the input
// holds NaN, and stand_mean finite everywhere.
void expect_consistent(const Standardization& s, const Data& d) {
  ASSERT_EQ(s.pooled_variance.size(), d.g);
  ASSERT_EQ(s.stand_mean.rows(), static_cast<Index>(d.n));
  ASSERT_EQ(s.stand_mean.cols(), static_cast<Index>(d.g));
  ASSERT_EQ(s.standardized.rows(), static_cast<Index>(d.n));
  ASSERT_EQ(s.standardized.cols(), static_cast<Index>(d.g));
  Matrix expected(static_cast<Index>(d.n), static_cast<Index>(d.g));
  for (std::size_t j = 0; j < d.g; ++j) {
    EXPECT_TRUE(is_positive_finite(s.pooled_variance[j])) << "feature " << j;
    const double scale = std::sqrt(s.pooled_variance[j]);
    for (std::size_t i = 0; i < d.n; ++i) {
      const Index r = static_cast<Index>(i), c = static_cast<Index>(j);
      EXPECT_TRUE(std::isfinite(s.stand_mean(r, c))) << "stand_mean at (" << i << ", " << j << ")";
      expected(r, c) = (d.at(i, j) - s.stand_mean(r, c)) / scale;
      EXPECT_EQ(std::isnan(s.standardized(r, c)), std::isnan(d.at(i, j)))
          << "NaN pattern at (" << i << ", " << j << ")";
    }
  }
  EXPECT_TRUE(bit_identical(data_of(s.standardized), data_of(expected)));
}

// ---------------------------------------------------------------------------------------
// Complete data without covariates.

struct LevelsCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
};

const std::vector<LevelsCase> kLevelsCases = {
    {"two_levels", {0, 0, 0, 1, 1}, std::nullopt},
    {"unequal_sizes", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, std::nullopt},
    {"singleton_level", {2, 2, 2, 8, 2, 2}, std::nullopt},
    {"reference_first", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, 0},
    {"reference_middle", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, 1},
    {"reference_last", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, 2},
    {"four_levels_reference", {0, 1, 2, 3, 3, 2, 1, 0, 0, 2, 3}, 3},
};

class StandardizeCompleteTest : public ::testing::TestWithParam<LevelsCase> {};

TEST_P(StandardizeCompleteTest, PoolsWithinLevelDeviationsAroundGrandMean) {
  const LevelsCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Data d = Data::random(c.ids.size(), 4, 101);
  ASSERT_OK_AND_ASSIGN(const Standardization s, run(d, levels, std::nullopt, c.ref));
  expect_consistent(s, d);

  for (std::size_t j = 0; j < d.g; ++j) {
    SCOPED_TRACE("feature " + std::to_string(j));
    const Expected e = expected_without_covariates(d, j, levels, c.ref);
    EXPECT_TRUE(near(s.pooled_variance[j], complete_variance(e), 1e-12));
    if (!c.ref) {
      // The size-weighted mean of the level means is the plain mean of the feature.
      double overall = 0.0;
      for (std::size_t i = 0; i < d.n; ++i) overall += d.at(i, j);
      overall /= static_cast<double>(d.n);
      EXPECT_TRUE(near(e.grand, overall, 1e-13));
    }
    const Index col = static_cast<Index>(j);
    for (Index i = 0; i < static_cast<Index>(d.n); ++i) {
      // No covariates: one centre per feature, the same bits for every sample.
      EXPECT_EQ(s.stand_mean(i, col), s.stand_mean(0, col)) << "sample " << i;
    }
    EXPECT_TRUE(near(s.stand_mean(0, col), e.grand, 1e-12));
  }
}

INSTANTIATE_TEST_SUITE_P(NoCovariates, StandardizeCompleteTest, ::testing::ValuesIn(kLevelsCases),
                         LabelName{});

TEST(StandardizeReferenceTest, OnlyReferenceSamplesArePooled) {
  // The spread of level 1 is the same in both data sets; only the reference level
  // differs, and only its spread may change the variance.
  const Ids ids = {0, 0, 0, 1, 1, 1};
  const BatchLevels levels = make_levels(ids);
  const Data narrow = Data::from_features({{4.0, 5.0, 6.0, -10.0, 0.0, 10.0}});
  const Data wide = Data::from_features({{3.0, 5.0, 7.0, -10.0, 0.0, 10.0}});
  ASSERT_OK_AND_ASSIGN(const Standardization a, run(narrow, levels, std::nullopt, 0));
  ASSERT_OK_AND_ASSIGN(const Standardization b, run(wide, levels, std::nullopt, 0));
  EXPECT_TRUE(near(a.pooled_variance[0], 2.0 / 3.0, 1e-14));
  EXPECT_TRUE(near(b.pooled_variance[0], 8.0 / 3.0, 1e-14));
  EXPECT_TRUE(near(a.stand_mean(3, 0), 5.0, 1e-14));
  // Level 1 as the reference: the other way round.
  ASSERT_OK_AND_ASSIGN(const Standardization c, run(narrow, levels, std::nullopt, 1));
  EXPECT_TRUE(near(c.pooled_variance[0], 200.0 / 3.0, 1e-13));
  EXPECT_TRUE(near(c.stand_mean(0, 0), 0.0, 1e-13));
}

// ---------------------------------------------------------------------------------------
// One NaN anywhere: every feature takes the sample variance of its observed residuals.

struct MissingCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
  std::vector<std::pair<std::size_t, std::size_t>> missing;  // (sample, feature)
};

class StandardizeMissingTest : public ::testing::TestWithParam<MissingCase> {};

TEST_P(StandardizeMissingTest, SampleVarianceOfObservedResiduals) {
  const MissingCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  const Data complete = Data::random(c.ids.size(), 4, 211);
  Data d = complete;
  std::vector<bool> has_nan(d.g, false);
  for (const auto& [i, j] : c.missing) {
    d.at(i, j) = kNaN;
    has_nan[j] = true;
  }
  ASSERT_OK_AND_ASSIGN(const Standardization s, run(d, levels, std::nullopt, c.ref));
  expect_consistent(s, d);
  ASSERT_OK_AND_ASSIGN(const Standardization full, run(complete, levels, std::nullopt, c.ref));

  for (std::size_t j = 0; j < d.g; ++j) {
    SCOPED_TRACE("feature " + std::to_string(j));
    const Expected e = expected_without_covariates(d, j, levels, c.ref);
    const Index col = static_cast<Index>(j);
    EXPECT_TRUE(near(s.pooled_variance[j], sample_variance(e), 1e-12));
    EXPECT_TRUE(near(s.stand_mean(0, col), e.grand, 1e-12));
    if (!has_nan[j]) {
      // The complete-data variance with denominator D - 1 instead of D.
      const double scale = e.denominator / (e.denominator - 1.0);
      EXPECT_TRUE(near(s.pooled_variance[j], full.pooled_variance[j] * scale, 1e-12));
      EXPECT_TRUE(near(s.pooled_variance[j], complete_variance(e) * scale, 1e-12));
      EXPECT_TRUE(near(s.stand_mean(0, col), full.stand_mean(0, col), 1e-12));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    NoCovariates, StandardizeMissingTest,
    ::testing::Values(
        MissingCase{"one_nan_first_feature", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, std::nullopt, {{0, 0}}},
        MissingCase{"one_nan_last_feature", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, std::nullopt, {{9, 3}}},
        // The grand mean weights each level's observed mean by its full size.
        MissingCase{"several_nans_one_level",
                    {5, 1, 5, 3, 3, 5, 1, 5, 3, 5},
                    std::nullopt,
                    {{0, 1}, {2, 1}, {5, 1}}},
        MissingCase{"nan_in_reference_level", {5, 1, 5, 3, 3, 5, 1, 5, 3, 5}, 2, {{0, 2}}},
        MissingCase{"nan_outside_reference_level",
                    {5, 1, 5, 3, 3, 5, 1, 5, 3, 5},
                    2,
                    {{1, 0}, {3, 0}}},
        MissingCase{"two_features_with_nans", {0, 1, 2, 3, 3, 2, 1, 0, 0, 2, 3, 1}, 0,
                    {{7, 1}, {2, 3}, {5, 3}}}),
    LabelName{});

// ---------------------------------------------------------------------------------------
// Failures. The first failing feature in ascending order decides; the fit's own errors
// come first because the whole design is fitted before any variance is formed.

struct FailureCase {
  std::string label;
  Ids ids;
  std::optional<std::size_t> ref;
  std::vector<Column> features;
  std::string expected;
};

class StandardizeFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StandardizeFailureTest, ReportsFirstFailure) {
  const FailureCase& c = GetParam();
  const BatchLevels levels = make_levels(c.ids);
  EXPECT_ERROR_TEXT(run(Data::from_features(c.features), levels, std::nullopt, c.ref), c.expected);
}

const Ids kSix = {0, 0, 0, 1, 1, 1};
// Level sizes 2 and 4: the level means of small integers are exact, so a feature that is
// constant within each level has residuals of exactly 0.0.
const Ids kTwoFour = {0, 0, 1, 1, 1, 1};
const Column kFlat = {3.0, 3.0, -2.0, -2.0, -2.0, -2.0};
const Column kFine = {1.5, 2.5, 0.25, 4.0, -1.0, 3.0};
const Column kFineMissing = {1.5, 2.5, 0.25, kNaN, -1.0, 3.0};

const Column kZeroReferenceResiduals = {3.0, 3.0, 1.0, 2.0, 4.0, 5.0};
const Column kOneObservedReference = {kNaN, 3.0, 1.0, 2.0, 4.0, 5.0};
const Column kUnfittable = {1.0, 2.0, kNaN, kNaN, kNaN, kNaN};
const Column kInfiniteWithNaN = {1.0, 2.0, kInf, 4.0, 5.0, 7.0};

// `width` copies of `filler` with the given features planted at their positions: wide
// enough that the planted features fall in different work blocks.
std::vector<Column> planted(std::size_t width, const Column& filler,
                            const std::vector<std::pair<std::size_t, Column>>& at) {
  std::vector<Column> features(width, filler);
  for (const auto& [j, feature] : at) features[j] = feature;
  return features;
}

INSTANTIATE_TEST_SUITE_P(
    WideCases, StandardizeFailureTest,
    ::testing::Values(
        FailureCase{"too_few_in_a_late_block_before_zero_residuals", kTwoFour, 0,
                    planted(40, kFineMissing, {{21, kOneObservedReference}, {37, kZeroReferenceResiduals}}),
                    kTooFewResiduals},
        FailureCase{"zero_residuals_in_a_late_block_before_too_few", kTwoFour, 0,
                    planted(40, kFineMissing, {{17, kZeroReferenceResiduals}, {33, kOneObservedReference}}),
                    kNotPositive},
        // The fit of every feature comes before any variance, across fit blocks too.
        FailureCase{"late_fit_failure_after_early_variance_failure", kTwoFour, 0,
                    planted(150, kFineMissing, {{2, kZeroReferenceResiduals}, {130, kUnfittable}, {140, kInfiniteWithNaN}}),
                    "singular design matrix"},
        FailureCase{"first_of_two_fit_failures_in_different_blocks", kTwoFour, 0,
                    planted(150, kFineMissing, {{70, kInfiniteWithNaN}, {129, kUnfittable}}),
                    "numerical failure: design response contains an infinite value"}),
    LabelName{});

INSTANTIATE_TEST_SUITE_P(
    Cases, StandardizeFailureTest,
    ::testing::Values(
        // Missing mode with a reference: fewer than two observed reference values, however
        // many other levels hold.
        FailureCase{"one_observed_reference_value", kSix, 0,
                    {{kNaN, kNaN, 1.0, 2.0, 3.0, 4.5}}, kTooFewResiduals},
        FailureCase{"one_observed_reference_value_other_feature_missing", kSix, 1,
                    {{1.0, 2.0, 3.0, 2.0, kNaN, kNaN}, kFineMissing}, kTooFewResiduals},
        FailureCase{"singleton_reference_level", {0, 1, 1, 1, 1, 1, 1}, 0,
                    {{1.0, 2.0, 3.0, 2.5, 6.0, 1.0, 0.5}, {2.0, 1.0, kNaN, 3.0, 4.0, 5.0, 6.0}},
                    kTooFewResiduals},
        // Residuals of exactly 0.0 over the contributing samples.
        FailureCase{"zero_residuals_complete", kTwoFour, std::nullopt, {kFine, kFlat}, kNotPositive},
        FailureCase{"zero_residuals_complete_reference", kTwoFour, 1, {kFlat}, kNotPositive},
        FailureCase{"zero_residuals_missing", kTwoFour, std::nullopt, {kFineMissing, kFlat},
                    kNotPositive},
        FailureCase{"zero_reference_residuals_others_vary", kTwoFour, 0,
                    {{3.0, 3.0, 1.0, 2.0, 4.0, 5.0}}, kNotPositive},
        FailureCase{"zero_reference_residuals_others_vary_missing", kTwoFour, 0,
                    {{3.0, 3.0, 1.0, kNaN, 4.0, 5.0}}, kNotPositive},
        // First failing feature decides between the two variance failures.
        FailureCase{"zero_residuals_before_too_few", kTwoFour, 0,
                    {kFineMissing, {3.0, 3.0, 1.0, 2.0, 4.0, 5.0}, {kNaN, 3.0, 1.0, 2.0, 4.0, 5.0}},
                    kNotPositive},
        FailureCase{"too_few_before_zero_residuals", kTwoFour, 0,
                    {kFineMissing, {kNaN, 3.0, 1.0, 2.0, 4.0, 5.0}, {3.0, 3.0, 1.0, 2.0, 4.0, 5.0}},
                    kTooFewResiduals},
        // The fit fails before any variance is looked at, whatever the feature order.
        FailureCase{"fit_failure_after_zero_variance_feature", kTwoFour, std::nullopt,
                    {kFlat, {1.0, 2.0, kNaN, kNaN, kNaN, kNaN}}, "singular design matrix"},
        FailureCase{"infinite_value_with_nan", kSix, std::nullopt,
                    {{1.0, 2.0, kInf, 4.0, 5.0, 7.0}, kFineMissing},
                    "numerical failure: design response contains an infinite value"},
        // Without a NaN the complete fit passes the infinite value on; the variance
        // becomes NaN and is caught there.
        FailureCase{"infinite_value_complete", kSix, std::nullopt,
                    {kFine, {1.0, 2.0, kInf, 4.0, 5.0, 7.0}}, kNotPositive},
        FailureCase{"negative_infinite_value_complete_reference", kSix, 1,
                    {{1.0, 2.0, 3.0, 4.0, -kInf, 7.0}}, kNotPositive}),
    LabelName{});

TEST(StandardizeReferenceTest, ZeroSpreadOutsideReferenceIsFine) {
  // Level 0 is constant. That does not matter when level 1 is the reference, and without
  // a reference level 1's spread alone gives a positive variance.
  const BatchLevels levels = make_levels(kTwoFour);
  const Data d = Data::from_features({{3.0, 3.0, 1.0, 2.0, 4.0, 5.0}});
  // Level 1's mean is 3: squared deviations 4 + 1 + 1 + 4 = 10.
  ASSERT_OK_AND_ASSIGN(const Standardization without_ref, run(d, levels, std::nullopt, std::nullopt));
  EXPECT_TRUE(near(without_ref.pooled_variance[0], 10.0 / 6.0, 1e-14));
  ASSERT_OK_AND_ASSIGN(const Standardization ref_1, run(d, levels, std::nullopt, 1));
  EXPECT_TRUE(near(ref_1.pooled_variance[0], 10.0 / 4.0, 1e-14));
  expect_consistent(ref_1, d);
}

// ---------------------------------------------------------------------------------------
// Covariates: the centre moves with the covariate effects, the variance uses the full
// model's residuals.

const Ids kCovIds = {0, 0, 0, 1, 1, 1, 1, 2, 2};
const Column kAge = {0.3, 1.9, -0.7, 2.2, 0.1, 1.4, -1.1, 0.8, 2.6};
const Column kDose = {5.0, 3.0, 4.5, 1.0, 2.5, 6.0, 3.5, 0.5, 2.0};
const Column kOnes(9, 1.0);

struct CovariateCase {
  std::string label;
  std::optional<std::size_t> ref;
  std::vector<std::pair<std::size_t, std::size_t>> missing;
};

class StandardizeCovariateTest : public ::testing::TestWithParam<CovariateCase> {};

TEST_P(StandardizeCovariateTest, CentreMovesWithCovariateEffects) {
  const CovariateCase& c = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  Data d = Data::random(9, 3, 307);
  for (const auto& [i, j] : c.missing) d.at(i, j) = kNaN;
  const Covariates cov = Covariates::from_columns({kAge, kDose});
  ASSERT_OK_AND_ASSIGN(const Standardization s, run(d, levels, cov.view(), c.ref));
  expect_consistent(s, d);

  // Independent model: indicators (plus the reference column), age, dose; Eigen's QR over
  // each feature's observed samples.
  Matrix x = Matrix::Zero(9, 5);
  for (std::size_t i = 0; i < 9; ++i) {
    x(static_cast<Index>(i), static_cast<Index>(levels.level_of_sample(i))) = 1.0;
    if (c.ref) x(static_cast<Index>(i), static_cast<Index>(*c.ref)) = 1.0;
    x(static_cast<Index>(i), 3) = kAge[i];
    x(static_cast<Index>(i), 4) = kDose[i];
  }
  const bool missing_mode = !c.missing.empty();
  for (std::size_t j = 0; j < d.g; ++j) {
    SCOPED_TRACE("feature " + std::to_string(j));
    std::vector<Index> rows;
    for (std::size_t i = 0; i < 9; ++i) {
      if (!std::isnan(d.at(i, j))) rows.push_back(static_cast<Index>(i));
    }
    Matrix xo(static_cast<Index>(rows.size()), 5);
    Vector yo(static_cast<Index>(rows.size()));
    for (std::size_t r = 0; r < rows.size(); ++r) {
      xo.row(static_cast<Index>(r)) = x.row(rows[r]);
      yo(static_cast<Index>(r)) = d.at(static_cast<std::size_t>(rows[r]), j);
    }
    const Vector beta = xo.colPivHouseholderQr().solve(yo);

    double grand = 0.0;
    if (c.ref) {
      grand = beta(static_cast<Index>(*c.ref));
    } else {
      for (std::size_t l = 0; l < 3; ++l) {
        grand += static_cast<double>(levels.level_size(l)) / 9.0 * beta(static_cast<Index>(l));
      }
    }
    const Index col = static_cast<Index>(j);
    const double effect_0 = kAge[0] * beta(3) + kDose[0] * beta(4);
    for (std::size_t i = 0; i < 9; ++i) {
      const double effect = kAge[i] * beta(3) + kDose[i] * beta(4);
      const double centre = s.stand_mean(static_cast<Index>(i), col);
      EXPECT_TRUE(near(centre, grand + effect, 1e-11)) << "sample " << i;
      // Two samples' centres differ by the difference of their covariate effects only.
      EXPECT_TRUE(near(centre - s.stand_mean(0, col), effect - effect_0, 1e-11)) << "sample " << i;
    }

    std::vector<double> residuals;
    std::vector<bool> contributing;
    for (std::size_t i = 0; i < 9; ++i) {
      residuals.push_back(d.at(i, j) - x.row(static_cast<Index>(i)).dot(beta));
      contributing.push_back(!c.ref || levels.level_of_sample(i) == *c.ref);
    }
    const Expected e{residuals, contributing, grand,
                     static_cast<double>(c.ref ? levels.level_size(*c.ref) : 9)};
    const double expected_variance = missing_mode ? sample_variance(e) : complete_variance(e);
    EXPECT_TRUE(near(s.pooled_variance[j], expected_variance, 1e-11));
  }
}

TEST_P(StandardizeCovariateTest, CentreIsGrandMeanPlusFittedCovariateEffects) {
  // Bit for bit: grand(j) is formed from the fit's level coefficients (the reference
  // coefficient, or the sum over levels of n_c / n times the coefficient in level order),
  // and each sample's covariate effect is added to it unchanged.
  const CovariateCase& c = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  Data d = Data::random(9, 3, 307);
  for (const auto& [i, j] : c.missing) d.at(i, j) = kNaN;
  const Covariates cov = Covariates::from_columns({kAge, kDose});
  ASSERT_OK_AND_ASSIGN(const Standardization s, run(d, levels, cov.view(), c.ref));

  Matrix y(9, 3);
  for (std::size_t i = 0; i < 9; ++i) {
    for (std::size_t j = 0; j < 3; ++j) y(static_cast<Index>(i), static_cast<Index>(j)) = d.at(i, j);
  }
  ASSERT_OK_AND_ASSIGN(const DesignFit fit, fit_design(y, levels, cov.view(), c.ref, has_missing(y)));
  // The covariate effects as the library's product of the design, batch columns zeroed,
  // with the coefficients: the standardisation mean must reproduce its bits.
  Matrix zeroed = fit.design;
  zeroed.leftCols(3).setZero();
  const Matrix covariate_effects = zeroed * fit.coefficients;
  Matrix expected(9, 3);
  for (Index j = 0; j < 3; ++j) {
    double grand = 0.0;
    if (c.ref) {
      grand = fit.coefficients(static_cast<Index>(*c.ref), j);
    } else {
      for (std::size_t l = 0; l < 3; ++l) {
        const double weight = static_cast<double>(levels.level_size(l)) / 9.0;
        grand += weight * fit.coefficients(static_cast<Index>(l), j);
      }
    }
    for (Index i = 0; i < 9; ++i) expected(i, j) = grand + covariate_effects(i, j);
  }
  EXPECT_TRUE(bit_identical(data_of(testing::dense_of(s.stand_mean)), data_of(expected)));
}

INSTANTIATE_TEST_SUITE_P(
    AgeAndDose, StandardizeCovariateTest,
    ::testing::Values(CovariateCase{"complete", std::nullopt, {}},
                      CovariateCase{"complete_reference_0", 0, {}},
                      CovariateCase{"complete_reference_1", 1, {}},
                      CovariateCase{"missing", std::nullopt, {{4, 0}, {8, 2}}},
                      CovariateCase{"missing_reference_1", 1, {{4, 0}}}),
    LabelName{});

struct InterceptCase {
  std::string label;
  std::optional<std::size_t> ref;
  bool missing;
};

class StandardizeInterceptTest : public ::testing::TestWithParam<InterceptCase> {};

void expect_same(const Standardization& a, const Standardization& b) {
  EXPECT_TRUE(bit_identical(a.pooled_variance, b.pooled_variance));
  EXPECT_TRUE(bit_identical(data_of(testing::dense_of(a.stand_mean)), data_of(testing::dense_of(b.stand_mean))));
  EXPECT_TRUE(bit_identical(data_of(a.standardized), data_of(b.standardized)));
}

TEST_P(StandardizeInterceptTest, InterceptColumnsChangeNothing) {
  const InterceptCase& c = GetParam();
  const BatchLevels levels = make_levels(kCovIds);
  Data d = Data::random(9, 3, 401);
  if (c.missing) d.at(5, 1) = kNaN;

  ASSERT_OK_AND_ASSIGN(const Standardization plain, run(d, levels, std::nullopt, c.ref));
  const Covariates ones = Covariates::from_columns({kOnes});
  ASSERT_OK_AND_ASSIGN(const Standardization with_ones, run(d, levels, ones.view(), c.ref));
  expect_same(with_ones, plain);

  const Covariates age = Covariates::from_columns({kAge});
  ASSERT_OK_AND_ASSIGN(const Standardization with_age, run(d, levels, age.view(), c.ref));
  const Covariates padded = Covariates::from_columns({kOnes, kAge, kOnes});
  ASSERT_OK_AND_ASSIGN(const Standardization with_padded, run(d, levels, padded.view(), c.ref));
  expect_same(with_padded, with_age);
  // The real covariate does change the centre, so the comparison above is not vacuous.
  EXPECT_FALSE(bit_identical(data_of(testing::dense_of(with_age.stand_mean)), data_of(testing::dense_of(plain.stand_mean))));
}

INSTANTIATE_TEST_SUITE_P(Routes, StandardizeInterceptTest,
                         ::testing::Values(InterceptCase{"complete", std::nullopt, false},
                                           InterceptCase{"complete_reference", 2, false},
                                           InterceptCase{"missing", std::nullopt, true},
                                           InterceptCase{"missing_reference", 0, true}),
                         LabelName{});

// ---------------------------------------------------------------------------------------

TEST(StandardizeNanTest, NaNPositionsReappearAndCentreStaysFinite) {
  const Ids ids = {0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2};
  const BatchLevels levels = make_levels(ids);
  Data d = Data::random(12, 5, 503);
  const std::vector<std::pair<std::size_t, std::size_t>> holes = {
      {0, 0}, {11, 4}, {4, 2}, {7, 2}, {6, 3}};
  for (const auto& [i, j] : holes) d.at(i, j) = kNaN;
  const Covariates cov = Covariates::from_columns(
      {{0.5, 1.5, 2.5, 0.1, 1.1, 2.1, 0.9, 1.9, 2.9, 0.3, 1.3, 2.2}});
  using OptionalLevel = std::optional<std::size_t>;
  for (const OptionalLevel ref : {OptionalLevel{}, OptionalLevel{2}}) {
    for (const bool with_cov : {false, true}) {
      SCOPED_TRACE(std::string(ref ? "reference" : "no reference") + (with_cov ? ", covariate" : ""));
      std::optional<CovariateMatrix> view;
      if (with_cov) view = cov.view();
      ASSERT_OK_AND_ASSIGN(const Standardization s, run(d, levels, view, ref));
      expect_consistent(s, d);
      for (const auto& [i, j] : holes) {
        // The NaN comes back as it went in, payload and sign included.
        const double* out = &s.standardized(static_cast<Index>(i), static_cast<Index>(j));
        EXPECT_TRUE(bit_identical(std::span<const double>(out, 1),
                                  std::span<const double>(&d.at(i, j), 1)));
      }
    }
  }
}

TEST(StandardizePositiveFiniteTest, AcceptsExactlyPositiveFiniteValues) {
  struct Probe {
    double value;
    bool expected;
  };
  const Probe probes[] = {
      {std::numeric_limits<double>::denorm_min(), true},
      {std::numeric_limits<double>::min(), true},
      {1.0, true},
      {std::numeric_limits<double>::max(), true},
      {0.0, false},
      {-0.0, false},
      {-std::numeric_limits<double>::denorm_min(), false},
      {-1.0, false},
      {kInf, false},
      {-kInf, false},
      {kNaN, false},
  };
  for (const Probe& p : probes) EXPECT_EQ(is_positive_finite(p.value), p.expected) << p.value;
}

}  // namespace
}  // namespace quarnel
