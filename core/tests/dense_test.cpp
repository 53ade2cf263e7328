// One correction run end to end through combat_dense: the report and its forced mean-only
// mode, the estimator chosen for a single kept feature, values that must come back bit
// for bit (zero-variance columns, reference rows, missing values), a reference batch
// whose own prior would be degenerate, serial against parallel runs for every option
// combination, and a statistical check that simulated batch effects are removed while a
// covariate's effect is kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/judged.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/model.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/standardize.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::bit_identical;
using testing::ScopedEnv;
using Ids = std::vector<std::uint64_t>;
using Index = Eigen::Index;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct CaseName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const {
    return p.param.name;
  }
};

// A request with the buffers it views, and its options.
struct Problem {
  std::vector<double> values;  // row-major n_samples x n_features
  Ids batch;
  std::uint64_t n_samples = 0;
  std::uint64_t n_features = 0;
  std::optional<std::vector<double>> covariates;  // row-major n_samples x n_covariates
  std::uint64_t n_covariates = 0;
  CombatOptions options;

  Problem(Ids ids, std::uint64_t features)
      : values(ids.size() * features, 0.0),
        batch(std::move(ids)),
        n_samples(batch.size()),
        n_features(features) {}

  double& at(std::size_t sample, std::size_t feature) {
    return values.at(sample * n_features + feature);
  }
  double at(std::size_t sample, std::size_t feature) const {
    return values.at(sample * n_features + feature);
  }

  CombatDenseRequest request() const {
    CombatDenseRequest r{values, batch, n_samples, n_features, std::nullopt};
    if (covariates) r.covariates = CovariateMatrix{*covariates, n_covariates};
    return r;
  }

  Result<CombatDenseOutput> run() const { return combat_dense(request(), options); }

  std::span<const double> row(std::size_t sample) const {
    return std::span<const double>(values).subspan(sample * n_features, n_features);
  }
};

std::span<const double> row_of(const CombatDenseOutput& out, std::size_t sample) {
  return std::span<const double>(out.adjusted).subspan(sample * out.n_features, out.n_features);
}

std::vector<double> column_of(std::span<const double> buffer, std::size_t n_features,
                              std::size_t feature) {
  std::vector<double> out;
  for (std::size_t k = feature; k < buffer.size(); k += n_features) out.push_back(buffer[k]);
  return out;
}

double mean_of_values(std::span<const double> v) {
  double sum = 0.0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

double variance_of_values(const std::vector<double>& v) {
  const double m = mean_of_values(v);
  double sum = 0.0;
  for (const double x : v) sum += (x - m) * (x - m);
  return sum / static_cast<double>(v.size() - 1);
}

// Values of one feature among the samples of one batch id, in sample order.
std::vector<double> batch_values(std::span<const double> buffer, const Ids& batch,
                                 std::size_t n_features, std::uint64_t id, std::size_t feature) {
  std::vector<double> out;
  for (std::size_t s = 0; s < batch.size(); ++s) {
    if (batch[s] == id) out.push_back(buffer[s * n_features + feature]);
  }
  return out;
}

// Fills every value from a seeded generator: per-batch shifts and scales, so no feature is
// constant within a batch.
void fill_random(Problem& p, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    const double b = static_cast<double>(p.batch[s] % 7);
    for (std::size_t j = 0; j < p.n_features; ++j) {
      p.at(s, j) = 5.0 + 0.7 * b + 0.1 * static_cast<double>(j) + (1.0 + 0.25 * b) * noise(rng);
    }
  }
}

bool reports_equal(const CombatDenseReport& a, const CombatDenseReport& b) {
  return a.effective_mean_only == b.effective_mean_only &&
         a.singleton_batches == b.singleton_batches &&
         a.zero_variance_features == b.zero_variance_features;
}

std::vector<std::size_t> all_features(std::size_t n) {
  std::vector<std::size_t> out(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = k;
  return out;
}

std::vector<std::uint64_t> all_indices(std::size_t n) {
  std::vector<std::uint64_t> out;
  for (std::size_t k = 0; k < n; ++k) out.push_back(k);
  return out;
}

// A quiet NaN with a payload of its own, to see that values are copied, not recomputed.
double payload_nan() { return std::bit_cast<double>(std::uint64_t{0x7ff8000000012345}); }

// ---------------------------------------------------------------------------------------
// Nothing to correct

struct OptionsCase {
  std::string name;
  bool par_prior;
  bool mean_only;
  std::optional<std::uint64_t> ref_batch;
};

class AllFeaturesZeroVariance : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(AllFeaturesZeroVariance, OutputIsTheInputAndEveryFeatureIsListed) {
  // Feature 0 is constant in batch 3, features 1 and 2 in batch 8.
  Problem p({3, 8, 3, 8, 8}, 3);
  p.values = {-0.0, 4.0, 1.5,            //
              2.0, -0.0, 7.25,           //
              -0.0, payload_nan(), 9.0,  //
              5.0, -0.0, 7.25,           //
              6.0, -0.0, 7.25};
  p.options.par_prior = GetParam().par_prior;
  p.options.mean_only = GetParam().mean_only;
  p.options.ref_batch = GetParam().ref_batch;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  EXPECT_TRUE(bit_identical(out.adjusted, p.values));
  EXPECT_EQ(out.n_samples, 5u);
  EXPECT_EQ(out.n_features, 3u);
  EXPECT_EQ(out.report.zero_variance_features, all_indices(3));
  EXPECT_TRUE(out.report.effective_mean_only);
  EXPECT_TRUE(out.report.singleton_batches.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, AllFeaturesZeroVariance,
                         ::testing::Values(OptionsCase{"Parametric", true, false, std::nullopt},
                                           OptionsCase{"NonParametric", false, false, std::nullopt},
                                           OptionsCase{"WithReference", true, false, 8}),
                         CaseName());

// ---------------------------------------------------------------------------------------
// A single kept feature

class OneKeptFeature : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(OneKeptFeature, LocationOnlyWithoutShrinkage) {
  // Feature 0 is constant in batch 0 and feature 2 in batch 1; feature 1 is kept.
  Problem p({0, 1, 0, 1, 0, 1, 1}, 3);
  const double kept[] = {1.0, 10.0, 2.5, 14.0, 6.0, 11.0, 13.5};
  for (std::size_t s = 0; s < 7; ++s) {
    p.at(s, 0) = p.batch[s] == 0 ? 3.0 : static_cast<double>(s);
    p.at(s, 1) = kept[s];
    p.at(s, 2) = p.batch[s] == 1 ? -2.0 : static_cast<double>(s) * 0.5;
  }
  p.options.par_prior = GetParam().par_prior;
  p.options.mean_only = GetParam().mean_only;
  p.options.ref_batch = GetParam().ref_batch;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  EXPECT_EQ(out.report.zero_variance_features, (std::vector<std::uint64_t>{0, 2}));
  EXPECT_TRUE(out.report.effective_mean_only);

  // Every batch mean is removed in full and replaced by the grand mean: the size-weighted
  // mean of the batch means, or the reference batch's mean.
  const double mean0 = (1.0 + 2.5 + 6.0) / 3.0;
  const double mean1 = (10.0 + 14.0 + 11.0 + 13.5) / 4.0;
  const double target = p.options.ref_batch ? (*p.options.ref_batch == 0 ? mean0 : mean1)
                                            : (3.0 * mean0 + 4.0 * mean1) / 7.0;
  for (std::size_t s = 0; s < 7; ++s) {
    const double own = p.batch[s] == 0 ? mean0 : mean1;
    EXPECT_NEAR(out.adjusted[s * 3 + 1], kept[s] - own + target, 1e-12) << "sample " << s;
    EXPECT_EQ(out.adjusted[s * 3 + 0], p.at(s, 0));
    EXPECT_EQ(out.adjusted[s * 3 + 2], p.at(s, 2));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OneKeptFeature,
    ::testing::Values(OptionsCase{"Parametric", true, false, std::nullopt},
                      OptionsCase{"NonParametric", false, false, std::nullopt},
                      OptionsCase{"NonParametricWithReference", false, false, 1},
                      OptionsCase{"ParametricWithReference", true, false, 0}),
    CaseName());

// ---------------------------------------------------------------------------------------
// Forced and requested mean-only mode

// Within every batch of two or more samples, mean-only mode moves all samples by the same
// amount: their deviations from the batch mean stay as they were.
void expect_within_batch_spread_kept(const Problem& p, const CombatDenseOutput& out) {
  for (const std::uint64_t id : std::vector<std::uint64_t>(p.batch.begin(), p.batch.end())) {
    for (std::size_t j = 0; j < p.n_features; ++j) {
      const std::vector<double> in = batch_values(p.values, p.batch, p.n_features, id, j);
      if (in.size() < 2) continue;
      const std::vector<double> adj = batch_values(out.adjusted, p.batch, p.n_features, id, j);
      EXPECT_NEAR(variance_of_values(adj), variance_of_values(in),
                  1e-10 * variance_of_values(in))
          << "batch " << id << " feature " << j;
    }
  }
}

class SingletonBatch : public ::testing::TestWithParam<bool> {};

TEST_P(SingletonBatch, IsListedAndForcesMeanOnlyMode) {
  Problem p({2, 7, 2, 5, 7, 2, 7, 7, 2}, 4);
  fill_random(p, 31);
  p.options.par_prior = GetParam();
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  EXPECT_EQ(out.report.singleton_batches, (std::vector<std::uint64_t>{5}));
  EXPECT_TRUE(out.report.effective_mean_only);
  EXPECT_TRUE(out.report.zero_variance_features.empty());
  expect_within_batch_spread_kept(p, out);

  // The same as asking for mean-only mode outright.
  Problem asked = p;
  asked.options.mean_only = true;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput mean_only, asked.run());
  EXPECT_TRUE(bit_identical(out.adjusted, mean_only.adjusted));
}

INSTANTIATE_TEST_SUITE_P(Priors, SingletonBatch, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("Parametric") : std::string("NonParametric");
                         });

class RequestedMeanOnly : public ::testing::TestWithParam<bool> {};

TEST_P(RequestedMeanOnly, ReachesTheEstimatorAndKeepsEveryBatchsSpread) {
  Problem p({2, 7, 2, 7, 7, 2, 7, 7, 2, 2}, 4);
  fill_random(p, 37);
  p.options.par_prior = GetParam();
  p.options.mean_only = true;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  EXPECT_TRUE(out.report.effective_mean_only);
  EXPECT_TRUE(out.report.singleton_batches.empty());
  expect_within_batch_spread_kept(p, out);

  // Without it the scale is corrected too, and the report says so.
  p.options.mean_only = false;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput full, p.run());
  EXPECT_FALSE(full.report.effective_mean_only);
  const std::vector<double> in = batch_values(p.values, p.batch, 4, 7, 0);
  const std::vector<double> adj = batch_values(full.adjusted, p.batch, 4, 7, 0);
  EXPECT_GT(std::abs(variance_of_values(adj) / variance_of_values(in) - 1.0), 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Priors, RequestedMeanOnly, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("Parametric") : std::string("NonParametric");
                         });

// ---------------------------------------------------------------------------------------
// Values that come back bit for bit

class ReferenceBatch : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(ReferenceBatch, RowsComeBackBitForBit) {
  Problem p({1, 4, 6, 1, 4, 6, 1, 4, 6, 1, 4, 6}, 5);
  fill_random(p, 41);
  for (std::size_t s = 0; s < 12; ++s) {
    if (p.batch[s] == 6) p.at(s, 3) = 2.0;  // feature 3 is constant in batch 6
  }
  p.at(1, 0) = -0.0;  // a reference value whose sign a recomputation could lose
  p.at(4, 2) = 1e-300;
  p.options.par_prior = GetParam().par_prior;
  p.options.mean_only = GetParam().mean_only;
  p.options.ref_batch = 4;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  EXPECT_EQ(out.report.zero_variance_features, (std::vector<std::uint64_t>{3}));
  bool others_changed = false;
  for (std::size_t s = 0; s < 12; ++s) {
    if (p.batch[s] == 4) {
      EXPECT_TRUE(bit_identical(row_of(out, s), p.row(s))) << "reference sample " << s;
    } else {
      others_changed = others_changed || !bit_identical(row_of(out, s), p.row(s));
    }
  }
  EXPECT_TRUE(others_changed);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReferenceBatch,
                         ::testing::Values(OptionsCase{"Parametric", true, false, 4},
                                           OptionsCase{"ParametricMeanOnly", true, true, 4},
                                           OptionsCase{"NonParametric", false, false, 4},
                                           OptionsCase{"NonParametricMeanOnly", false, true, 4}),
                         CaseName());

TEST(ZeroVarianceColumns, ComeBackBitForBit) {
  // Feature 1 is constant in batch 0; in batch 9 it holds -0.0, a NaN with a payload and
  // a tiny value. Feature 3 is constant in batch 9.
  Problem p({0, 9, 0, 9, 9, 0}, 4);
  fill_random(p, 43);
  const double feature1[] = {2.5, -0.0, 2.5, payload_nan(), 1e-310, 2.5};
  for (std::size_t s = 0; s < 6; ++s) {
    p.at(s, 1) = feature1[s];
    if (p.batch[s] == 9) p.at(s, 3) = -7.0;
  }
  for (const bool par_prior : {true, false}) {
    p.options.par_prior = par_prior;
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
    EXPECT_EQ(out.report.zero_variance_features, (std::vector<std::uint64_t>{1, 3}));
    EXPECT_FALSE(out.report.effective_mean_only);
    EXPECT_TRUE(bit_identical(column_of(out.adjusted, 4, 1), column_of(p.values, 4, 1)));
    EXPECT_TRUE(bit_identical(column_of(out.adjusted, 4, 3), column_of(p.values, 4, 3)));
    EXPECT_FALSE(bit_identical(column_of(out.adjusted, 4, 0), column_of(p.values, 4, 0)));
  }
}

class MissingValues : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(MissingValues, StayInPlaceAndAppearNowhereElse) {
  Problem p({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2}, 4);
  fill_random(p, 47);
  const std::pair<std::size_t, std::size_t> holes[] = {{0, 0}, {4, 1}, {8, 1}, {14, 3}, {9, 2}};
  for (const auto& [s, j] : holes) p.at(s, j) = kNaN;
  p.options.par_prior = GetParam().par_prior;
  p.options.mean_only = GetParam().mean_only;
  p.options.ref_batch = GetParam().ref_batch;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
  for (std::size_t s = 0; s < 15; ++s) {
    for (std::size_t j = 0; j < 4; ++j) {
      bool hole = false;
      for (const auto& [hs, hj] : holes) hole = hole || (hs == s && hj == j);
      EXPECT_EQ(std::isnan(out.adjusted[s * 4 + j]), hole) << s << "," << j;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MissingValues,
    ::testing::Values(OptionsCase{"Parametric", true, false, std::nullopt},
                      OptionsCase{"ParametricMeanOnly", true, true, std::nullopt},
                      OptionsCase{"NonParametric", false, false, std::nullopt},
                      OptionsCase{"NonParametricWithReference", false, false, 2},
                      OptionsCase{"ParametricWithReference", true, false, 1}),
    CaseName());

// ---------------------------------------------------------------------------------------
// A reference batch whose own location estimates are constant

// ---------------------------------------------------------------------------------------
// Designs degenerate in exact arithmetic fail as exact arithmetic would, whatever rounding
// makes of them and whatever the order of the samples.

// Covariate columns drawn from a seeded generator, row-major.
void add_covariates(Problem& p, std::uint64_t n_covariates, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> draw(0.0, 1.0);
  p.n_covariates = n_covariates;
  p.covariates.emplace(p.n_samples * n_covariates);
  for (double& x : *p.covariates) x = draw(rng);
}

// The third of three covariates set to the sum of the first two, which rounding keeps off
// the exact sum's span in the last bits.
void make_third_the_sum(Problem& p, std::size_t first_sample) {
  for (std::size_t s = first_sample; s < p.n_samples; ++s) {
    double* row = p.covariates->data() + s * 3;
    row[2] = row[0] + row[1];
  }
}

Problem reversed(const Problem& p) {
  Problem r(Ids(p.batch.rbegin(), p.batch.rend()), p.n_features);
  r.options = p.options;
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    for (std::size_t j = 0; j < p.n_features; ++j) r.at(s, j) = p.at(p.n_samples - 1 - s, j);
  }
  if (p.covariates) {
    r.n_covariates = p.n_covariates;
    r.covariates.emplace();
    for (std::size_t s = p.n_samples; s-- > 0;) {
      const auto row = std::span<const double>(*p.covariates).subspan(s * p.n_covariates, p.n_covariates);
      r.covariates->insert(r.covariates->end(), row.begin(), row.end());
    }
  }
  return r;
}

// Twelve samples in three batches, two covariates, and feature 1 set to 2.5 plus a
// combination of the covariates plus `noise` times a draw.
Problem with_explained_feature(double noise, bool missing) {
  Problem p({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}, 3);
  fill_random(p, 14);
  add_covariates(p, 2, 15);
  std::mt19937_64 rng(16);
  std::normal_distribution<double> draw(0.0, 1.0);
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    const double* row = p.covariates->data() + s * 2;
    p.at(s, 1) = 2.5 + 0.7 * row[0] - 1.3 * row[1] + noise * draw(rng);
  }
  if (missing) p.at(5, 1) = kNaN;
  return p;
}

// Six samples in batches of two and four, one random covariate and one that marks sample
// 0 alone: with the indicator of batch 0 it singles out sample 1 too, so the design fits
// every value of batch 0 exactly while the whole fit keeps a free residual.
Problem with_batch_fitted_by_a_covariate(bool missing) {
  Problem p({0, 0, 1, 1, 1, 1}, 4);
  fill_random(p, 17);
  add_covariates(p, 2, 18);
  for (std::size_t s = 0; s < p.n_samples; ++s) (*p.covariates)[s * 2 + 1] = s == 0 ? 1.0 : 0.0;
  if (missing) p.at(3, 2) = kNaN;
  return p;
}

// Twelve samples in three batches of four and a covariate that marks sample 9 of batch 2,
// which the design then fits exactly. Feature 0 holds `value` at samples `equal` and NaN at
// sample `missing`: the other samples of their batch share one value and one design row, so
// its residuals there are all zero in exact arithmetic.
Problem with_equal_values_beside_a_fitted_sample(std::size_t missing, std::vector<std::size_t> equal,
                                                 double value) {
  Problem p({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}, 4);
  fill_random(p, 20);
  add_covariates(p, 1, 21);
  for (std::size_t s = 0; s < p.n_samples; ++s) (*p.covariates)[s] = s == 9 ? 1.0 : 0.0;
  for (const std::size_t s : equal) p.at(s, 0) = value;
  p.at(missing, 0) = kNaN;
  return p;
}

struct DegenerateCase {
  std::string name;
  Problem (*build)();
  const char* error;  // nullptr: the design is sound and the run succeeds
};

class DegenerateDesign : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(DegenerateDesign, FailsAsExactArithmeticWouldInEitherSampleOrder) {
  const Problem p = GetParam().build();
  for (const Problem& run : {p, reversed(p)}) {
    const Result<CombatDenseOutput> out = run.run();
    if (GetParam().error == nullptr) {
      EXPECT_TRUE(out.has_value()) << testing::describe(out);
    } else {
      EXPECT_ERROR_TEXT(out, GetParam().error);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegenerateDesign,
    ::testing::Values(
        DegenerateCase{"covariate_sum_of_two_others",
                       [] {
                         Problem p({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}, 3);
                         fill_random(p, 1);
                         add_covariates(p, 3, 2);
                         make_third_the_sum(p, 0);
                         return p;
                       },
                       "singular design matrix"},
        DegenerateCase{"covariates_independent_on_one_sample_only",
                       [] {
                         // The sum holds on every sample but the last, where feature 0 is
                         // missing: its observed design is singular, the whole one is not.
                         Problem p({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}, 3);
                         fill_random(p, 3);
                         add_covariates(p, 3, 4);
                         make_third_the_sum(p, 0);
                         (*p.covariates)[11 * 3 + 2] += 1.0;
                         p.at(11, 0) = kNaN;
                         return p;
                       },
                       "singular design matrix"},
        DegenerateCase{"covariate_near_the_sum_is_sound",
                       [] {
                         Problem p({0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}, 3);
                         fill_random(p, 5);
                         add_covariates(p, 3, 6);
                         make_third_the_sum(p, 0);
                         for (std::size_t s = 0; s < 12; ++s) (*p.covariates)[s * 3 + 2] += 1e-6 * static_cast<double>(s % 5);
                         return p;
                       },
                       nullptr},
        DegenerateCase{"one_observed_value_per_batch",
                       [] {
                         Problem p({0, 0, 1, 1, 2, 2}, 3);
                         fill_random(p, 7);
                         for (const std::size_t s : {1, 3, 5}) p.at(s, 0) = kNaN;
                         return p;
                       },
                       "numerical failure: pooled variance is not positive finite"},
        DegenerateCase{"observed_values_as_many_as_design_columns",
                       [] {
                         Problem p({0, 0, 0, 1, 1, 1}, 3);
                         fill_random(p, 8);
                         add_covariates(p, 1, 9);
                         p.at(2, 1) = kNaN;
                         p.at(5, 1) = kNaN;
                         p.at(4, 1) = kNaN;
                         return p;
                       },
                       "numerical failure: pooled variance is not positive finite"},
        DegenerateCase{"reference_batch_of_one_sample_with_a_covariate",
                       [] {
                         Problem p({1, 0, 1, 1, 2, 2, 2, 1}, 3);
                         fill_random(p, 10);
                         add_covariates(p, 1, 11);
                         p.options.ref_batch = 0;
                         return p;
                       },
                       "numerical failure: pooled variance is not positive finite"},
        // A feature that is 2.5 plus a combination of the covariates has residuals of
        // rounding alone, with all values or one missing; the same feature with noise of a
        // millionth is sound.
        DegenerateCase{"feature_explained_by_the_covariates",
                       [] { return with_explained_feature(0.0, false); },
                       "numerical failure: pooled variance is not positive finite"},
        DegenerateCase{"feature_explained_by_the_covariates_with_a_missing_value",
                       [] { return with_explained_feature(0.0, true); },
                       "numerical failure: pooled variance is not positive finite"},
        DegenerateCase{"feature_nearly_explained_by_the_covariates_is_sound",
                       [] { return with_explained_feature(1e-6, false); },
                       nullptr},
        DegenerateCase{"batch_fitted_by_a_covariate_marking_one_sample",
                       [] { return with_batch_fitted_by_a_covariate(false); },
                       "numerical failure: delta_hat is not positive finite"},
        DegenerateCase{"batch_fitted_by_a_covariate_with_a_missing_value",
                       [] { return with_batch_fitted_by_a_covariate(true); },
                       "numerical failure: delta_hat is not positive finite"},
        DegenerateCase{"batch_fitted_by_a_covariate_corrects_its_location_only",
                       [] {
                         Problem p = with_batch_fitted_by_a_covariate(false);
                         p.options.mean_only = true;
                         return p;
                       },
                       nullptr},
        DegenerateCase{"equal_values_beside_a_sample_the_design_fits",
                       [] { return with_equal_values_beside_a_fitted_sample(8, {9, 10, 11}, 6.2); },
                       "numerical failure: delta_hat is not positive finite"},
        DegenerateCase{"equal_reference_values_beside_a_sample_the_design_fits",
                       [] {
                         Problem p = with_equal_values_beside_a_fitted_sample(8, {10, 11}, 1.8);
                         p.options.ref_batch = 2;
                         return p;
                       },
                       "numerical failure: pooled variance is not positive finite"},
        DegenerateCase{"saturated_design",
                       [] {
                         Problem p({0, 1, 0, 1}, 4);
                         fill_random(p, 12);
                         add_covariates(p, 2, 13);
                         return p;
                       },
                       "numerical failure: pooled variance is not positive finite"}),
    CaseName());

// On random problems with covariates, missing values and reference batches: the outcome
// (success, or which error) does not depend on the order of the samples, and a feature
// shifted by a constant comes back shifted by it.
TEST(RandomProblems, OutcomeIgnoresSampleOrderAndShiftsFollowTheData) {
  std::size_t succeeded = 0;
  for (std::uint64_t seed = 0; seed < 200; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const std::size_t n_levels = 2 + seed % 2;
    Ids ids;
    for (std::size_t level = 0; level < n_levels; ++level) ids.insert(ids.end(), 2 + rng() % 4, level);
    Problem p(ids, 3 + seed % 4);
    fill_random(p, seed);
    if (seed % 3 != 0) add_covariates(p, seed % 3, seed + 1000);
    if (seed % 3 == 2 && seed % 4 < 2) {
      // The last covariate marks one sample: with a batch of two it fits the whole batch.
      const std::size_t marked = rng() % p.n_samples;
      for (std::size_t s = 0; s < p.n_samples; ++s) (*p.covariates)[s * 2 + 1] = s == marked ? 1.0 : 0.0;
    }
    if (seed % 2 == 1) {
      for (double& x : p.values) x = rng() % 7 == 0 ? kNaN : x;
    }
    if (seed % 5 < 2) p.options.ref_batch = seed % n_levels;
    p.options.par_prior = seed % 4 != 3;

    const Result<CombatDenseOutput> base = p.run();
    const Result<CombatDenseOutput> flipped = reversed(p).run();
    ASSERT_EQ(base.has_value(), flipped.has_value());
    if (!base) {
      EXPECT_EQ(render(base.error()), render(flipped.error()));
      continue;
    }
    ++succeeded;
    Problem shifted = p;
    for (std::size_t s = 0; s < p.n_samples; ++s) shifted.at(s, 0) += 100.0;
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput moved, shifted.run());
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      const std::size_t r = p.n_samples - 1 - s;
      for (std::size_t j = 0; j < p.n_features; ++j) {
        const double a = base->adjusted[s * p.n_features + j];
        const double b = flipped->adjusted[r * p.n_features + j];
        if (std::isnan(a)) {
          EXPECT_TRUE(std::isnan(b));
          continue;
        }
        EXPECT_NEAR(a, b, 1e-8 * (1.0 + std::abs(a)));
      }
      const double before = base->adjusted[s * p.n_features];
      if (!std::isnan(before)) {
        EXPECT_NEAR(moved.adjusted[s * p.n_features] - before, 100.0, 1e-7);
      }
    }
  }
  // Most problems are sound: the comparison of outputs must not be left to a few.
  EXPECT_GE(succeeded, 90u);
}

// The choice of features quarnel's own callers make from the verdicts: every feature the
// core can estimate or passes through itself as one run, those missing from whole batches
// where they are observed.

// A run that judges its features first hands its choice the verdicts assess_features gives,
// and corrects the features chosen to the bits of combat_dense_partial on the same lists,
// or fails as it does; that holds whether the features chosen were judged in the run's own
// missing-data mode or not (a NaN only in a feature left out, or missing from a batch).
TEST(JudgedRun, ChoosesFromTheVerdictsOfAssessAndCorrectsAsTheListsWould) {
  std::size_t corrected = 0;
  for (std::uint64_t seed = 0; seed < 80; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    Problem p({0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 2}, 8);
    fill_random(p, seed + 300);
    if (seed % 3 != 0) add_covariates(p, 1, seed + 400);
    for (std::size_t s = 3; s < 7; ++s) p.at(s, 0) = kNaN;  // missing from batch 1
    if (seed % 2 == 0) p.at(8, 1) = kNaN;                    // one NaN in a feature of the run
    if (seed % 4 == 1) {
      for (std::size_t s = 0; s < 3; ++s) p.at(s, 2) = 5.0;  // constant within batch 0
    }
    if (seed % 5 == 2) {
      for (std::size_t s = 4; s < 7; ++s) p.at(s, 3) = kNaN;  // one value left in batch 1
    }
    p.options.par_prior = seed % 3 != 1;
    p.options.mean_only = seed % 7 == 3;
    if (seed % 4 == 3) p.options.ref_batch = rng() % 3;

    ASSERT_OK_AND_ASSIGN(const FeatureAssessment assessment, assess_features(p.request(), p.options));
    std::optional<FeatureChoice> chosen;
    const Result<PartialCombatOutput> judged =
        combat_dense_judged(p.request(), p.options, [&](const FeatureAssessment& given) {
          for (std::size_t j = 0; j < given.verdicts.size(); ++j) {
            EXPECT_EQ(given.verdicts[j].issue, assessment.verdicts[j].issue) << "feature " << j;
            EXPECT_EQ(given.verdicts[j].batch, assessment.verdicts[j].batch) << "feature " << j;
          }
          chosen = testing::choose_as_callers_do(given);
          return *chosen;
        });
    ASSERT_TRUE(chosen.has_value());
    const Result<PartialCombatOutput> listed =
        combat_dense_partial(p.request(), p.options, chosen->complete, chosen->partial);
    ASSERT_EQ(judged.has_value(), listed.has_value());
    if (!listed) {
      EXPECT_EQ(render(judged.error()), render(listed.error()));
      continue;
    }
    ++corrected;
    EXPECT_TRUE(bit_identical(judged->output.adjusted, listed->output.adjusted));
    EXPECT_EQ(judged->output.report.zero_variance_features, listed->output.report.zero_variance_features);
    EXPECT_EQ(judged->output.report.effective_mean_only, listed->output.report.effective_mean_only);
    ASSERT_EQ(judged->partial.size(), listed->partial.size());
    for (std::size_t k = 0; k < listed->partial.size(); ++k) {
      EXPECT_EQ(judged->partial[k].issue, listed->partial[k].issue);
      EXPECT_EQ(judged->partial[k].batches, listed->partial[k].batches);
    }
  }
  EXPECT_GE(corrected, 60u);
}

// A choice that stops the run leaves it with nothing: the run ends where the choice is made.
TEST(JudgedRun, AChoiceThatCancelsStopsTheRun) {
  Problem p({0, 0, 0, 1, 1, 1}, 4);
  fill_random(p, 7);
  bool asked = false;
  EXPECT_THROW(static_cast<void>(combat_dense_judged(p.request(), p.options,
                                                     [&](const FeatureAssessment&) -> FeatureChoice {
                                                       asked = true;
                                                       throw RunCancelled();
                                                     })),
               RunCancelled);
  EXPECT_TRUE(asked);
}

// A fitted model applied to samples one at a time gives the bits of applying it to all of
// them at once, and those of the one-call run; a batch it has not seen is refused unless
// it is asked to estimate it, and then its shift is removed like the fitted batches'.
TEST(FittedModel, AppliesRowByRowAsInOneRunAndEstimatesNewBatches) {
  for (const bool par_prior : {true, false}) {
    Problem p({0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2}, 6);
    fill_random(p, 40);
    add_covariates(p, 1, 41);
    p.at(3, 2) = kNaN;
    p.options.par_prior = par_prior;
    ASSERT_OK_AND_ASSIGN(const ModelFit fit, fit_model(p.request(), p.options, all_features(6), {}));
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput whole, p.run());
    for (std::size_t s = 0; s < p.n_samples; ++s) {
      Problem one(Ids{p.batch[s]}, p.n_features);
      std::copy_n(p.row(s).begin(), p.n_features, one.values.begin());
      one.n_covariates = 1;
      one.covariates.emplace(1, (*p.covariates)[s]);
      ASSERT_OK_AND_ASSIGN(const ApplyOutput applied, apply_model(fit.model, one.request(), {}));
      EXPECT_TRUE(bit_identical(applied.adjusted, row_of(whole, s)));
    }

    Problem unseen(Ids{7, 7, 7, 7}, p.n_features);
    fill_random(unseen, 42);
    for (double& x : unseen.values) x += 3.0;
    unseen.n_covariates = 1;
    unseen.covariates.emplace(4, 0.25);
    EXPECT_ERROR_TEXT(apply_model(fit.model, unseen.request(), {}),
                      "unknown batch ids: 7 (the model was fitted without them)");
    ASSERT_OK_AND_ASSIGN(const ApplyOutput estimated,
                         apply_model(fit.model, unseen.request(), ApplyOptions{true, {}}));
    ASSERT_EQ(estimated.new_levels.batch_ids, std::vector<std::uint64_t>{7});
    // The new batch is 3 higher than the fitted batches' centre (about 6) and comes back
    // to it.
    EXPECT_NEAR(mean_of_values(estimated.adjusted), 6.0, 1.0);
  }
}

TEST(DegenerateReference, IsNotEstimatedSoTheRunSucceeds) {
  // Reference batch 0 holds c * 1 and c * 3 in feature j (c = 1, 2, 5): its fitted mean
  // is 2c, its pooled variance c^2, its standardised values -1 and 1 in every feature, and
  // its location estimates all exactly 0. Batch 1 has four samples of varied values.
  Problem p({0, 1, 1, 0, 1, 1}, 3);
  const double c[] = {1.0, 2.0, 5.0};
  const double other[4][3] = {{4.0, 1.5, 9.0}, {6.5, -2.0, 14.0}, {5.0, 0.5, 8.0}, {9.0, 1.0, 12.5}};
  std::size_t k = 0;
  for (std::size_t s = 0; s < 6; ++s) {
    for (std::size_t j = 0; j < 3; ++j) {
      p.at(s, j) = p.batch[s] == 0 ? c[j] * (s == 0 ? 1.0 : 3.0) : other[k][j];
    }
    if (p.batch[s] == 1) ++k;
  }
  p.options.ref_batch = 0;
  p.options.par_prior = true;
  p.options.mean_only = false;

  // Premise: the reference row of gamma_hat is constant, so a prior fitted to it would
  // fail.
  ASSERT_OK_AND_ASSIGN(const BatchLevels levels, BatchLevels::from_ids(p.batch, 6));
  ASSERT_OK_AND_ASSIGN(const Standardization st,
                       standardize(testing::column_major(p.values, 6, 3), levels, std::nullopt, 0));
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(st.standardized, levels, 0, has_missing(st.standardized)));
  const Matrix delta_hat = measure_scales(st.standardized, levels).delta_hat;
  EXPECT_EQ(gamma_hat(0, 0), 0.0);
  EXPECT_EQ(gamma_hat(0, 1), 0.0);
  EXPECT_EQ(gamma_hat(0, 2), 0.0);
  EXPECT_ERROR_TEXT(full_level_prior(gamma_hat, delta_hat, 0),
                    "numerical failure: parametric prior variance is not positive");

  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    const ScopedEnv env("QUARNEL_PARALLEL", mode);
    ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, p.run());
    EXPECT_FALSE(out.report.effective_mean_only);
    for (std::size_t s = 0; s < 6; ++s) {
      if (p.batch[s] == 0) {
        EXPECT_TRUE(bit_identical(row_of(out, s), p.row(s))) << "reference sample " << s;
      } else {
        for (const double v : row_of(out, s)) EXPECT_TRUE(std::isfinite(v));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Serial and parallel runs

// 1024 samples x 64 features over three batches: 65536 cells and 192 feature-level pairs,
// parallel by shape. Feature 5 is constant in batch 11. Column 0 of the covariates is an
// intercept column, column 1 a continuous covariate.
const Problem& large_problem() {
  static const Problem problem = [] {
    Ids ids;
    for (std::size_t s = 0; s < 1024; ++s) ids.push_back(s % 5 == 0 ? 11 : (s % 2 == 0 ? 2 : 5));
    Problem p(ids, 64);
    std::mt19937_64 rng(53);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> covariates(1024 * 2);
    for (std::size_t s = 0; s < 1024; ++s) {
      covariates[s * 2] = 1.0;
      covariates[s * 2 + 1] = noise(rng);
    }
    for (std::size_t s = 0; s < 1024; ++s) {
      const double b = static_cast<double>(ids[s] % 4);
      for (std::size_t j = 0; j < 64; ++j) {
        p.at(s, j) = 3.0 + 0.5 * b * static_cast<double>(j % 3) +
                     0.8 * covariates[s * 2 + 1] + (1.0 + 0.2 * b) * noise(rng);
        if (j == 5 && ids[s] == 11) p.at(s, j) = 1.25;
      }
    }
    p.covariates = std::move(covariates);
    p.n_covariates = 2;
    return p;
  }();
  return problem;
}

struct PlanCase {
  std::string name;
  bool par_prior;
  bool mean_only;
  bool reference;
  bool covariates;
  bool missing;
};

std::vector<PlanCase> every_combination() {
  std::vector<PlanCase> cases;
  for (const bool par_prior : {true, false}) {
    for (const bool mean_only : {false, true}) {
      for (const bool reference : {false, true}) {
        for (const bool covariates : {false, true}) {
          for (const bool missing : {false, true}) {
            std::string name = par_prior ? "Parametric" : "NonParametric";
            if (mean_only) name += "MeanOnly";
            if (reference) name += "Reference";
            if (covariates) name += "Covariates";
            if (missing) name += "Missing";
            cases.push_back({name, par_prior, mean_only, reference, covariates, missing});
          }
        }
      }
    }
  }
  return cases;
}

class SerialAndParallel : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SerialAndParallel, SameOutputReportAndError) {
  const PlanCase& c = GetParam();
  {
    const ScopedEnv unset("QUARNEL_PARALLEL", std::nullopt);
    ASSERT_TRUE(ParallelPlan::for_shape(1024, 64, 3).parallel);
  }
  Problem p = large_problem();
  p.options.par_prior = c.par_prior;
  p.options.mean_only = c.mean_only;
  if (c.reference) p.options.ref_batch = 5;
  if (!c.covariates) {
    p.covariates.reset();
    p.n_covariates = 0;
  }
  if (c.missing) {
    for (std::size_t s = 0; s < 1024; ++s) {
      for (std::size_t j = 0; j < 64; ++j) {
        if ((s * 31 + j * 17) % 211 == 0 && j != 5) p.at(s, j) = kNaN;
      }
    }
  }
  Result<CombatDenseOutput> serial = [&] {
    const ScopedEnv env("QUARNEL_PARALLEL", "0");
    return p.run();
  }();
  Result<CombatDenseOutput> parallel = [&] {
    const ScopedEnv env("QUARNEL_PARALLEL", "1");
    return p.run();
  }();
  ASSERT_OK(serial);
  ASSERT_OK(parallel);
  EXPECT_TRUE(bit_identical(serial->adjusted, parallel->adjusted));
  EXPECT_TRUE(reports_equal(serial->report, parallel->report));
  EXPECT_EQ(serial->report.zero_variance_features, (std::vector<std::uint64_t>{5}));
  EXPECT_EQ(serial->report.effective_mean_only, c.mean_only);
}

INSTANTIATE_TEST_SUITE_P(EveryCombination, SerialAndParallel,
                         ::testing::ValuesIn(every_combination()), CaseName());

TEST(SerialAndParallelFailure, SameError) {
  // Feature 9 has one observed value in batch 11: full mode cannot estimate its scale.
  Problem p = large_problem();
  for (std::size_t s = 0; s < 1024; ++s) {
    if (p.batch[s] == 11 && s != 5) p.at(s, 9) = kNaN;
  }
  const std::string expected =
      "unsupported option: scale adjustment requires at least two observed values per batch "
      "and feature";
  for (const bool par_prior : {true, false}) {
    p.options.par_prior = par_prior;
    for (const char* mode : {"0", "1"}) {
      SCOPED_TRACE(mode);
      const ScopedEnv env("QUARNEL_PARALLEL", mode);
      EXPECT_ERROR_TEXT(p.run(), expected);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Statistical check

// Three batches of 40 samples with additive shifts and multiplicative scales per batch and
// feature, and a covariate whose values repeat in every batch (so it is balanced across
// batches and its effect cannot be mistaken for a batch effect).
struct Simulation {
  Problem problem{Ids{}, 0};
  std::vector<double> slope;  // true covariate effect of every feature
  std::vector<double> x;      // covariate of every sample
};

Simulation simulate() {
  constexpr std::size_t kPerBatch = 40;
  constexpr std::size_t kFeatures = 30;
  const std::uint64_t ids[] = {3, 6, 9};
  const double shift[] = {0.0, 3.0, -2.0};
  const double scale[] = {1.0, 2.0, 0.5};
  Ids batch;
  std::vector<double> x;
  for (std::size_t b = 0; b < 3; ++b) {
    for (std::size_t k = 0; k < kPerBatch; ++k) {
      batch.push_back(ids[b]);
      x.push_back(10.0 * static_cast<double>(k) / static_cast<double>(kPerBatch - 1));
    }
  }
  Simulation sim{Problem(batch, kFeatures), {}, x};
  std::mt19937_64 rng(59);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (std::size_t j = 0; j < kFeatures; ++j) {
    const double intercept = 5.0 + 5.0 * u(rng);
    const double slope = 0.5 + u(rng);
    sim.slope.push_back(slope);
    double gamma[3];
    double delta[3];
    for (std::size_t b = 0; b < 3; ++b) {
      gamma[b] = shift[b] + 0.3 * noise(rng);
      delta[b] = scale[b] * (0.8 + 0.4 * u(rng));
    }
    for (std::size_t s = 0; s < batch.size(); ++s) {
      const std::size_t b = s / kPerBatch;
      sim.problem.at(s, j) = intercept + slope * x[s] + gamma[b] + delta[b] * noise(rng);
    }
  }
  sim.problem.covariates = x;
  sim.problem.n_covariates = 1;
  return sim;
}

struct BatchSummary {
  double mean_spread = 0.0;      // between-batch variance of batch means, averaged over features
  double variance_ratio = 0.0;   // largest over smallest batch residual variance, averaged
  std::vector<double> slopes;    // within-batch covariate slope of every feature
};

// Per feature: the batch means, the residual variance of each batch around its own
// regression line on x, and the covariate slope pooled within batches.
BatchSummary summarise(std::span<const double> values, const Simulation& sim) {
  const Problem& p = sim.problem;
  BatchSummary out;
  const std::uint64_t ids[] = {3, 6, 9};
  for (std::size_t j = 0; j < p.n_features; ++j) {
    std::vector<double> means;
    std::vector<double> residual_variances;
    double sxy = 0.0;
    double sxx = 0.0;
    for (const std::uint64_t id : ids) {
      std::vector<double> y;
      std::vector<double> xs;
      for (std::size_t s = 0; s < p.n_samples; ++s) {
        if (p.batch[s] != id) continue;
        y.push_back(values[s * p.n_features + j]);
        xs.push_back(sim.x[s]);
      }
      const double my = mean_of_values(y);
      const double mx = mean_of_values(xs);
      double bxy = 0.0;
      double bxx = 0.0;
      for (std::size_t k = 0; k < y.size(); ++k) {
        bxy += (xs[k] - mx) * (y[k] - my);
        bxx += (xs[k] - mx) * (xs[k] - mx);
      }
      const double b = bxy / bxx;
      double rss = 0.0;
      for (std::size_t k = 0; k < y.size(); ++k) {
        const double r = y[k] - my - b * (xs[k] - mx);
        rss += r * r;
      }
      means.push_back(my);
      residual_variances.push_back(rss / static_cast<double>(y.size() - 2));
      sxy += bxy;
      sxx += bxx;
    }
    out.mean_spread += variance_of_values(means) / static_cast<double>(p.n_features);
    const auto [lo, hi] = std::minmax_element(residual_variances.begin(), residual_variances.end());
    out.variance_ratio += (*hi / *lo) / static_cast<double>(p.n_features);
    out.slopes.push_back(sxy / sxx);
  }
  return out;
}

struct StatisticalCase {
  std::string name;
  bool par_prior;
  bool mean_only;
  double mean_spread_reduction;  // at least this factor
};

class BatchEffectRemoval : public ::testing::TestWithParam<StatisticalCase> {};

TEST_P(BatchEffectRemoval, AlignsBatchesAndKeepsTheCovariateEffect) {
  const StatisticalCase& c = GetParam();
  Simulation sim = simulate();
  sim.problem.options.par_prior = c.par_prior;
  sim.problem.options.mean_only = c.mean_only;
  ASSERT_OK_AND_ASSIGN(const CombatDenseOutput out, sim.problem.run());
  const BatchSummary before = summarise(sim.problem.values, sim);
  const BatchSummary after = summarise(out.adjusted, sim);

  // Batch means: shifts of 0, 3 and -2 spread the means by about 6.3 before. Afterwards
  // only what shrinkage leaves of each feature's own deviation from its batch's common
  // shift remains; mean-only mode shrinks that deviation hardest (as if from one sample).
  EXPECT_GT(before.mean_spread, 4.0);
  EXPECT_LT(after.mean_spread, before.mean_spread / c.mean_spread_reduction)
      << "before " << before.mean_spread << " after " << after.mean_spread;

  // Scales of 1, 2 and 0.5: residual variances about 16 times apart before.
  EXPECT_GT(before.variance_ratio, 8.0);
  if (c.mean_only) {
    EXPECT_NEAR(after.variance_ratio, before.variance_ratio, 1e-9 * before.variance_ratio);
  } else {
    EXPECT_LT(after.variance_ratio, 1.6);
  }

  // The covariate's effect survives: within-batch slopes close to the true ones (standard
  // error about 0.03 to 0.05 here).
  double total_error = 0.0;
  for (std::size_t j = 0; j < sim.slope.size(); ++j) {
    EXPECT_NEAR(after.slopes[j], sim.slope[j], 0.25) << "feature " << j;
    total_error += std::abs(after.slopes[j] - sim.slope[j]);
  }
  EXPECT_LT(total_error / static_cast<double>(sim.slope.size()), 0.1);
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchEffectRemoval,
                         ::testing::Values(StatisticalCase{"Parametric", true, false, 100.0},
                                           StatisticalCase{"NonParametric", false, false, 50.0},
                                           StatisticalCase{"ParametricMeanOnly", true, true, 15.0},
                                           StatisticalCase{"NonParametricMeanOnly", false, true,
                                                           15.0}),
                         CaseName());

}  // namespace
}  // namespace quarnel
