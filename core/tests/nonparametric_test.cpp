// Non-parametric posteriors: the worked likelihood weighting, the run's reference and
// mean-only rows, every job failure text and which job's error wins, and serial against
// parallel runs. The run's posteriors are drawn over one tile (testing::tile_estimates).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
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
#include "quarnel/nonparametric.hpp"
#include "quarnel/parametric.hpp"
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

const std::string kPriorValue = "numerical failure: non-parametric prior value is not positive finite";
const std::string kNoSupport = "numerical failure: non-parametric likelihood has no finite support";
const std::string kNonFinitePosterior =
    "numerical failure: non-parametric posterior produced a non-finite value";

TileEstimator nonparametric(bool mean_only, std::optional<std::size_t> reference = std::nullopt) {
  return {.par_prior = false, .mean_only = mean_only, .reference = reference};
}

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

double plain_mean(const std::vector<double>& v) {
  double sum = -0.0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

double plain_variance(const std::vector<double>& v) {
  const double mean = plain_mean(v);
  double squares = 0.0;
  for (const double x : v) squares += (x - mean) * (x - mean);
  return squares / static_cast<double>(v.size() - 1);
}

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

// ---------------------------------------------------------------------------------------
// Worked results

class TwoFeatures : public ::testing::TestWithParam<bool> {};

TEST_P(TwoFeatures, EachFeatureTakesTheOtherFeaturesEstimates) {
  const bool mean_only = GetParam();
  // Level 0: samples 0-1, level 1: samples 2-5; dyadic values, so every level mean and
  // variance is exact.
  const BatchLevels levels = make_levels({0, 0, 1, 1, 1, 1});
  const Matrix z = rows_of({{1.0, 0.0}, {3.0, 1.0}, {0.0, -1.0}, {1.0, 0.5}, {2.0, 0.75}, {5.0, 2.0}});
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                         tile_estimates(z, levels, nonparametric(mean_only), parallel));
    for (std::size_t i = 0; i < 2; ++i) {
      for (Index j = 0; j < 2; ++j) {
        const std::vector<double> other = observed(z, levels, i, 1 - j);
        const auto row = static_cast<Index>(i);
        EXPECT_TRUE(same_bits(est.gamma_star(row, j), plain_mean(other))) << i << "," << j;
        const double scale = mean_only ? 1.0 : plain_variance(other);
        EXPECT_TRUE(same_bits(est.delta_star(row, j), scale)) << i << "," << j;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, TwoFeatures, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? std::string("MeanOnly") : std::string("Full");
                         });

// Level 0 is one sample whose target feature 0 observes 0.0; the other two features have
// (gamma_hat, delta_hat) = (0, 1) and (1, 1): log-likelihoods differing by exactly 1/2,
// weights 1 and e^(-1/2).
double worked_location() { return std::exp(-0.5) / (1.0 + std::exp(-0.5)); }

TEST(PosteriorJob, ThreeFeatureWorkedExample) {
  const BatchLevels levels = make_levels({0, 1, 1});
  const Matrix z = rows_of({{0.0, 7.0, 8.0}, {1.0, 2.0, 3.0}, {2.0, 4.0, 7.0}});
  // The target's own estimates are unusable and must not matter.
  const Matrix gamma_hat = rows_of({{kNaN, 0.0, 1.0}, {1.5, 3.0, 5.0}});
  const Matrix delta_hat = rows_of({{-5.0, 1.0, 1.0}, {0.5, 2.0, 8.0}});
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, delta_hat);
  ASSERT_OK_AND_ASSIGN(const FeaturePosterior post, posterior_job(0, 3, z, inputs));
  EXPECT_EQ(post.level, 0u);
  EXPECT_EQ(post.feature, 0u);
  EXPECT_DOUBLE_EQ(post.gamma_star, worked_location());
  EXPECT_EQ(post.delta_star, 1.0);  // sum of 1 * w over sum of w: the same additions
}

TEST(PosteriorJob, JobIndexIsLevelMajor) {
  const BatchLevels levels = make_levels({0, 0, 1, 1});
  const Matrix z = rows_of({{0.0, 1.0, 2.0}, {1.0, 2.0, 4.0}, {3.0, 0.0, 1.0}, {5.0, 1.0, 2.0}});
  const Matrix gamma_hat = rows_of({{0.5, 1.5, 3.0}, {4.0, 0.5, 1.5}});
  const Matrix delta_hat = rows_of({{0.5, 0.5, 2.0}, {2.0, 0.5, 0.5}});
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, delta_hat);
  for (std::size_t k = 0; k < 6; ++k) {
    ASSERT_OK_AND_ASSIGN(const FeaturePosterior post, posterior_job(k, 3, z, inputs));
    EXPECT_EQ(post.level, k / 3);
    EXPECT_EQ(post.feature, k % 3);
  }
}

TEST(NonparametricPosteriors, ThreeFeatureWorkedExampleThroughTheRun) {
  // Mean-only: every delta_hat is 1. Level 0 is sample 0 alone: gamma_hat row (0, 0, 1).
  const BatchLevels levels = make_levels({0, 1, 1});
  const Matrix z = rows_of({{0.0, 0.0, 1.0}, {1.0, 2.0, 3.0}, {2.0, 4.0, 7.0}});
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                       tile_estimates(z, levels, nonparametric(true), false));
  EXPECT_DOUBLE_EQ(est.gamma_star(0, 0), worked_location());
  EXPECT_EQ(est.delta_star(0, 0), 1.0);
}

TEST(NonparametricPosteriors, MeanOnlyScaleIsExactlyOneEverywhere) {
  Ids ids;
  for (std::size_t s = 0; s < 30; ++s) ids.push_back(s % 3);
  const BatchLevels levels = make_levels(ids);
  std::mt19937_64 rng(17);
  std::normal_distribution<double> noise(0.0, 1.0);
  Matrix z(30, 8);
  for (Index s = 0; s < 30; ++s) {
    for (Index j = 0; j < 8; ++j) z(s, j) = noise(rng) * (1.0 + static_cast<double>(s % 3)) + 0.2 * static_cast<double>(j);
  }
  for (const bool parallel : {false, true}) {
    ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                         tile_estimates(z, levels, nonparametric(true), parallel));
    EXPECT_EQ(est.delta_star, Matrix(Matrix::Ones(3, 8)));
  }
  // In full mode the same data give other scales: mean-only is what made them 1.
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates full,
                       tile_estimates(z, levels, nonparametric(false), false));
  EXPECT_NE(full.delta_star, Matrix(Matrix::Ones(3, 8)));
}

// ---------------------------------------------------------------------------------------
// Reference level

TEST(NonparametricPosteriors, ReferenceRowIsPinnedAndItsJobsDoNotRun) {
  // Reference level 0 is sample 0 with values (1e308, -1e308): its jobs would each compare
  // its value with the other feature's reference mean and overflow. Level 1 is fine.
  const BatchLevels levels = make_levels({5, 9, 9});
  const Matrix z = rows_of({{1e308, -1e308}, {1e308, 0.0}, {1e308, 0.0}});
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(z, levels, 0, has_missing(z)));
  ASSERT_EQ(gamma_hat, rows_of({{1e308, -1e308}, {0.0, 1e308}}));
  const Matrix ones = Matrix::Ones(2, 2);
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, ones);
  EXPECT_ERROR_TEXT(posterior_job(0, 2, z, inputs), kNoSupport);
  EXPECT_ERROR_TEXT(posterior_job(1, 2, z, inputs), kNoSupport);

  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                         tile_estimates(z, levels, nonparametric(true, 0), parallel));
    EXPECT_TRUE(same_bits(est.gamma_star(0, 0), 0.0));
    EXPECT_TRUE(same_bits(est.gamma_star(0, 1), 0.0));
    EXPECT_EQ(est.delta_star(0, 0), 1.0);
    EXPECT_EQ(est.delta_star(0, 1), 1.0);
    // Level 1: each feature takes the other's estimate.
    EXPECT_EQ(est.gamma_star(1, 0), 1e308);
    EXPECT_EQ(est.gamma_star(1, 1), 0.0);
    EXPECT_EQ(est.delta_star(1, 0), 1.0);
    EXPECT_EQ(est.delta_star(1, 1), 1.0);
  }
}

TEST(NonparametricPosteriors, ReferenceRowInFullMode) {
  const BatchLevels levels = make_levels({0, 1, 0, 1, 1, 0});
  const Matrix z = rows_of({{1.0, 0.0, 2.0},
                            {5.0, 1.0, 2.5},
                            {3.0, 4.0, 1.0},
                            {6.0, 2.0, -1.0},
                            {9.0, 2.5, 0.5},
                            {4.0, -3.0, 7.0}});
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates est,
                       tile_estimates(z, levels, nonparametric(false, 1), false));
  for (Index j = 0; j < 3; ++j) {
    EXPECT_TRUE(same_bits(est.gamma_star(1, j), 0.0));
    EXPECT_EQ(est.delta_star(1, j), 1.0);
    EXPECT_NE(est.delta_star(0, j), 1.0);  // the other level was estimated
  }
}

// ---------------------------------------------------------------------------------------
// Failures of the run's posteriors

TEST(NonparametricPosteriors, EstimationFailuresPassThroughAndABatchOfOneHasNoScale) {
  // Level 0 is one sample: it has no scale, so a run asked to correct scales corrects
  // locations only, exactly as a mean-only run.
  const BatchLevels single = make_levels({0, 1, 1});
  const Matrix z = rows_of({{0.0, 1.0}, {1.0, 3.0}, {2.0, 4.0}});
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates asked_full,
                       tile_estimates(z, single, nonparametric(false), false));
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates mean_only,
                       tile_estimates(z, single, nonparametric(true), false));
  EXPECT_TRUE(bit_identical(bits_of(asked_full.gamma_star), bits_of(mean_only.gamma_star)));
  EXPECT_EQ(asked_full.delta_star, Matrix(Matrix::Ones(2, 2)));

  const BatchLevels pairs = make_levels({0, 0, 1, 1});
  const Matrix constant = rows_of({{1.0, 2.0}, {3.0, 2.0}, {0.0, 1.0}, {1.0, 5.0}});
  EXPECT_ERROR_TEXT(
      tile_estimates(constant, pairs, nonparametric(false), false),
      "numerical failure: delta_hat is not positive finite");

  const Matrix unobserved = rows_of({{1.0, kNaN}, {3.0, kNaN}, {0.0, 1.0}, {1.0, 5.0}});
  EXPECT_ERROR_TEXT(
      tile_estimates(unobserved, pairs, nonparametric(true), false),
      "singular design matrix");
}

// ---------------------------------------------------------------------------------------
// One job

// Level 0 is samples 0 and 1; the job under test is level 0's `job`. Each case builds its
// own target data and raw estimates.
struct JobCase {
  std::string name;
  std::size_t n_features;
  std::function<void(Matrix& z, Matrix& gamma_hat, Matrix& delta_hat)> setup;
  std::size_t job;
  std::string expected_error;  // empty: success
  double expected_gamma = 0.0;
  double expected_delta = 0.0;
};

class PosteriorJobCases : public ::testing::TestWithParam<JobCase> {};

TEST_P(PosteriorJobCases, Outcome) {
  const JobCase& c = GetParam();
  const BatchLevels levels = make_levels({0, 0, 1, 1});
  const auto g = static_cast<Index>(c.n_features);
  Matrix z(4, g);
  Matrix gamma_hat(2, g);
  Matrix delta_hat(2, g);
  for (Index j = 0; j < g; ++j) {
    z(0, j) = 0.5 + static_cast<double>(j);
    z(1, j) = -0.5 + static_cast<double>(j);
    z(2, j) = 1.0;
    z(3, j) = 2.0;
    gamma_hat(0, j) = static_cast<double>(j);
    delta_hat(0, j) = 1.0 + static_cast<double>(j);
    gamma_hat(1, j) = 1.5;
    delta_hat(1, j) = 0.5;
  }
  c.setup(z, gamma_hat, delta_hat);
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, delta_hat);
  const Result<FeaturePosterior> post = posterior_job(c.job, c.n_features, z, inputs);
  if (!c.expected_error.empty()) {
    EXPECT_ERROR_TEXT(post, c.expected_error);
    return;
  }
  ASSERT_OK(post);
  EXPECT_DOUBLE_EQ(post->gamma_star, c.expected_gamma);
  EXPECT_DOUBLE_EQ(post->delta_star, c.expected_delta);
}

// Two observations of 0 far from both other features' locations 40 and 40.5:
// log-likelihoods near -1602 and -1642, whose plain exponentials both underflow to zero.
double far_location() {
  const double w = std::exp(-(0.5 * (40.5 * 40.5 + 40.5 * 40.5) - 0.5 * (40.0 * 40.0 + 40.0 * 40.0)));
  return (40.0 + 40.5 * w) / (1.0 + w);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PosteriorJobCases,
    ::testing::Values(
        JobCase{"OtherLocationNaN", 3,
                [](Matrix&, Matrix& gh, Matrix&) { gh(0, 1) = kNaN; }, 0, kPriorValue},
        JobCase{"OtherLocationInfinite", 3,
                [](Matrix&, Matrix& gh, Matrix&) { gh(0, 2) = -kInf; }, 0, kPriorValue},
        JobCase{"OtherScaleZero", 3, [](Matrix&, Matrix&, Matrix& dh) { dh(0, 1) = 0.0; }, 2,
                kPriorValue},
        JobCase{"OtherScaleNegative", 3, [](Matrix&, Matrix&, Matrix& dh) { dh(0, 2) = -2.0; },
                1, kPriorValue},
        JobCase{"OtherScaleInfinite", 3, [](Matrix&, Matrix&, Matrix& dh) { dh(0, 0) = kInf; },
                2, kPriorValue},
        JobCase{"OtherScaleNaN", 3, [](Matrix&, Matrix&, Matrix& dh) { dh(0, 0) = kNaN; }, 1,
                kPriorValue},
        // Another level's unusable estimate is none of this job's business.
        JobCase{"OtherLevelsEstimatesIgnored", 2,
                [](Matrix&, Matrix& gh, Matrix& dh) {
                  gh(1, 1) = kNaN;
                  dh(1, 0) = 0.0;
                },
                0, "", 1.0, 2.0},
        // The job's own estimates never enter: G = 2 gives exactly the other feature's.
        JobCase{"OwnEstimatesNeverUsed", 2,
                [](Matrix&, Matrix& gh, Matrix& dh) {
                  gh(0, 0) = kNaN;
                  dh(0, 0) = 0.0;
                },
                0, "", 1.0, 2.0},
        // Every other feature's likelihood overflows: (1e308 - (-1e308))^2 is +inf.
        JobCase{"NoFiniteSupport", 3,
                [](Matrix& z, Matrix& gh, Matrix&) {
                  z(0, 0) = 1e308;
                  z(1, 0) = 1e308;
                  gh(0, 1) = -1e308;
                  gh(0, 2) = -1e308;
                },
                0, kNoSupport},
        // A non-finite likelihood leaves its feature out; the remaining one decides alone.
        JobCase{"NonFiniteLikelihoodLeftOut", 3,
                [](Matrix& z, Matrix& gh, Matrix& dh) {
                  z(0, 0) = 1e308;
                  z(1, 0) = 1e308;
                  gh(0, 1) = -1e308;
                  gh(0, 2) = 1e308;
                  dh(0, 2) = 0.25;
                },
                0, "", 1e308, 0.25},
        // The largest log-likelihood is shifted to weight 1, so data far from every
        // location still weighs them.
        JobCase{"FarFromEveryLocationStillWeighs", 3,
                [](Matrix& z, Matrix& gh, Matrix& dh) {
                  z(0, 0) = 0.0;
                  z(1, 0) = 0.0;
                  gh(0, 1) = 40.0;
                  gh(0, 2) = 40.5;
                  dh(0, 1) = 1.0;
                  dh(0, 2) = 1.0;
                },
                0, "", far_location(), 1.0},
        // Two locations of 1e308 with equal weights: their weighted sum overflows.
        JobCase{"PosteriorLocationOverflows", 3,
                [](Matrix& z, Matrix& gh, Matrix& dh) {
                  z(0, 0) = 1e308;
                  z(1, 0) = 1e308;
                  gh(0, 1) = 1e308;
                  gh(0, 2) = 1e308;
                  dh(0, 1) = 1.0;
                  dh(0, 2) = 1.0;
                },
                0, kNonFinitePosterior},
        // Seven equal weights on scales of 2.8e307 (log(d 2 pi) still finite): their
        // weighted sum overflows.
        JobCase{"PosteriorScaleOverflows", 8,
                [](Matrix& z, Matrix& gh, Matrix& dh) {
                  for (Index j = 0; j < 8; ++j) {
                    z(0, j) = 0.0;
                    z(1, j) = 0.0;
                    gh(0, j) = 0.0;
                    dh(0, j) = 2.8e307;
                  }
                },
                3, kNonFinitePosterior}),
    CaseName());

// ---------------------------------------------------------------------------------------
// The log-likelihood sweep and the job against plain loops

// The sweep written as plain loops over m, then k: what every vectorised version must
// reproduce bit for bit.
double plain_sweep(std::span<const double> x, const std::vector<double>& g,
                   const std::vector<double>& d, const std::vector<double>& logs,
                   std::size_t excluded, std::vector<double>& out) {
  const double half_count = static_cast<double>(x.size()) * -0.5;
  double largest = -kInf;
  out.assign(g.size(), -kInf);
  for (std::size_t m = 0; m < g.size(); ++m) {
    double sum = 0.0;
    for (const double value : x) {
      const double distance = value - g[m];
      sum += distance * distance;
    }
    const double ll = logs[m] * half_count - sum / (d[m] + d[m]);
    if (m == excluded || !std::isfinite(ll)) continue;
    out[m] = ll;
    largest = std::max(largest, ll);
  }
  return largest;
}

struct SweepCase {
  std::string name;
  std::size_t width;
  std::size_t n_observed;
  std::size_t excluded;
  // Estimates that make some log-likelihoods overflow or become NaN.
  bool extreme = false;
};

// A job's observed values and the level's estimates for a sweep case, drawn from `seed`:
// values around `centre`, locations around `location`, and in extreme cases scales and
// locations that make some log-likelihoods overflow (sum / (d + d), or the squared distance).
struct SweepInputs {
  std::vector<double> x, g, d, logs;
};
SweepInputs sweep_inputs(const SweepCase& c, std::uint64_t seed, double centre, double spread_of_values,
                         double location, double spread_of_locations) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::gamma_distribution<double> spread(2.0, 0.5);
  SweepInputs in{std::vector<double>(c.n_observed), std::vector<double>(c.width),
                 std::vector<double>(c.width), std::vector<double>(c.width)};
  for (double& v : in.x) v = centre + spread_of_values * noise(rng);
  for (std::size_t m = 0; m < c.width; ++m) {
    in.g[m] = location + spread_of_locations * noise(rng);
    in.d[m] = spread(rng);
    if (c.extreme && m % 5 == 1) in.d[m] = 1e-310;
    if (c.extreme && m % 7 == 3) in.g[m] = 1e200;
    in.logs[m] = std::log(in.d[m] * 6.283185307179586);
  }
  return in;
}

class LikelihoodSweepVersions : public ::testing::TestWithParam<SweepCase> {};

// Widths around the vector blocks (whole blocks, a partial last block, less than one
// block) and observation counts around the unrolled lengths, with the excluded feature at
// either end or inside.
TEST_P(LikelihoodSweepVersions, EveryVersionMatchesThePlainLoops) {
  const SweepCase& c = GetParam();
  const auto [x, g, d, logs] = sweep_inputs(c, c.width * 131 + c.n_observed, 0.3, 1.7, 0.0, 1.0);
  std::vector<double> expected;
  const double expected_largest = plain_sweep(x, g, d, logs, c.excluded, expected);
  // Premise: the data are not all finite or all left out, which would hide faults.
  EXPECT_TRUE(std::isfinite(expected_largest) || c.width == 1);
  if (c.extreme) {
    EXPECT_GT(std::count(expected.begin(), expected.end(), -kInf), 1);
  }

  const std::vector<LikelihoodSweep> sweeps = supported_likelihood_sweeps();
  ASSERT_FALSE(sweeps.empty());
  EXPECT_STREQ(sweeps.back().name, "baseline");
  for (const LikelihoodSweep& sweep : sweeps) {
    SCOPED_TRACE(sweep.name);
    std::vector<double> out(c.width, 12345.0);
    const double largest = sweep.run(x, g.data(), d.data(), logs.data(), c.width, c.excluded,
                                     out.data());
    EXPECT_TRUE(same_bits(largest, expected_largest)) << largest << " vs " << expected_largest;
    EXPECT_TRUE(bit_identical(out, expected));
  }
}

const auto kSweepShapes =
    ::testing::Values(SweepCase{"OneFeature", 1, 5, 0},
                      SweepCase{"LessThanOneBlock", 7, 3, 6},
                      SweepCase{"OneBlockNoObservation", 32, 0, 0},
                      SweepCase{"OneBlockPlusOne", 33, 1, 32},
                      SweepCase{"TwoBlocks", 64, 4, 17},
                      SweepCase{"PartialLastBlock", 101, 9, 100},
                      SweepCase{"ManyObservations", 250, 67, 3},
                      SweepCase{"ExtremeEstimates", 97, 6, 40, true},
                      SweepCase{"ExtremeEstimatesWholeBlocks", 128, 13, 0, true});
INSTANTIATE_TEST_SUITE_P(Shapes, LikelihoodSweepVersions, kSweepShapes, CaseName());

// Jobs take the first version and the baseline runs on every CPU, so it must be offered
// exactly once and last; without the x86 extensions it is the only one.
TEST(LikelihoodSweepList, BaselineIsOfferedOnceAndLast) {
  const std::vector<LikelihoodSweep> sweeps = supported_likelihood_sweeps();
  ASSERT_FALSE(sweeps.empty());
  EXPECT_STREQ(sweeps.back().name, "baseline");
  EXPECT_EQ(std::ranges::count_if(
                sweeps, [](const LikelihoodSweep& s) { return std::string(s.name) == "baseline"; }),
            1);
#if !defined(__x86_64__) && !defined(__i386__)
  EXPECT_EQ(sweeps.size(), 1u);
#endif
}

// The job as plain loops: the weighted average over the other features with a finite
// log-likelihood, in ascending feature order.
std::pair<double, double> plain_job(const std::vector<double>& x, const std::vector<double>& g,
                                    const std::vector<double>& d, std::size_t feature) {
  std::vector<double> logs(g.size());
  for (std::size_t m = 0; m < g.size(); ++m) logs[m] = std::log(d[m] * 6.283185307179586);
  std::vector<double> ll;
  const double largest = plain_sweep(x, g, d, logs, feature, ll);
  double total = 0.0;
  double location = 0.0;
  double scale = 0.0;
  for (std::size_t m = 0; m < g.size(); ++m) {
    if (m == feature || !std::isfinite(ll[m])) continue;
    const double weight = std::exp(ll[m] - largest);
    total += weight;
    location += g[m] * weight;
    scale += d[m] * weight;
  }
  return {location / total, scale / total};
}

// The fast estimate: every vector version gives the baseline's bits, and its weighted
// averages are the exact job's up to rounding, on the sweep's shapes (extreme estimates
// included, which both leave out).
class SummarySweepVersions : public ::testing::TestWithParam<SweepCase> {};

TEST_P(SummarySweepVersions, EveryVersionAgreesWithTheExactJob) {
  const SweepCase& c = GetParam();
  // Values far from zero check that the summary keeps its accuracy there.
  const auto [x, g, d, logs] = sweep_inputs(c, c.width * 7 + c.n_observed, 40.0, 0.5, 40.0, 0.5);
  std::vector<double> halves(c.width);
  for (std::size_t m = 0; m < c.width; ++m) halves[m] = 1.0 / (d[m] + d[m]);
  const std::vector<SummarySweep> sweeps = supported_summary_sweeps();
  ASSERT_STREQ(sweeps.back().name, "baseline");
  SummaryScratch scratch;
  const WeightedSums base = sweeps.back().run(summarize_observed(x), g.data(), d.data(),
                                              logs.data(), halves.data(), c.width, c.excluded,
                                              scratch);
  for (const SummarySweep& sweep : sweeps) {
    SCOPED_TRACE(sweep.name);
    const WeightedSums sums = sweep.run(summarize_observed(x), g.data(), d.data(), logs.data(),
                                        halves.data(), c.width, c.excluded, scratch);
    EXPECT_TRUE(bit_identical(std::vector{sums.largest, sums.total, sums.location, sums.scale},
                              std::vector{base.largest, base.total, base.location, base.scale}));
  }
  if (c.width == 1) {
    EXPECT_EQ(base.largest, -kInf);  // the only feature is the excluded one
    return;
  }
  const auto [location, scale] = plain_job(x, g, d, c.excluded);
  EXPECT_NEAR(base.location / base.total, location, 1e-12 * std::abs(location));
  EXPECT_NEAR(base.scale / base.total, scale, 1e-12 * scale);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SummarySweepVersions, kSweepShapes, CaseName());

// Jobs on data with missing values, where some weights underflow and some features are
// left out, give the plain loops' bits; a thread's second job reuses the first's buffers,
// so jobs of different sizes run one after another.
TEST(PosteriorJob, MatchesPlainLoopsJobAfterJob) {
  const std::size_t n_features = 45;
  Ids ids;
  for (std::size_t s = 0; s < 40; ++s) ids.push_back(s % 4 == 0 ? 0 : 1);  // 10 and 30
  const BatchLevels levels = make_levels(ids);
  std::mt19937_64 rng(99);
  std::normal_distribution<double> noise(0.0, 1.0);
  Matrix z(40, static_cast<Index>(n_features));
  Matrix gamma_hat(2, static_cast<Index>(n_features));
  Matrix delta_hat(2, static_cast<Index>(n_features));
  for (Index j = 0; j < z.cols(); ++j) {
    for (Index s = 0; s < z.rows(); ++s) {
      z(s, j) = (s * 7 + j * 3) % 11 == 0 ? kNaN : 2.0 * noise(rng);
    }
    for (Index i = 0; i < 2; ++i) {
      gamma_hat(i, j) = 3.0 * noise(rng);
      delta_hat(i, j) = j % 9 == 4 ? 1e-3 : 0.2 + std::abs(noise(rng));
    }
  }
  delta_hat(1, 8) = 1e-310;  // its log-likelihood overflows: left out
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, delta_hat);
  std::size_t underflowing = 0;
  for (std::size_t job = 0; job < 2 * n_features; ++job) {
    SCOPED_TRACE(job);
    const std::size_t level = job / n_features;
    const std::size_t feature = job % n_features;
    const std::vector<double> x = observed(z, levels, level, static_cast<Index>(feature));
    std::vector<double> g(n_features);
    std::vector<double> d(n_features);
    for (std::size_t m = 0; m < n_features; ++m) {
      g[m] = gamma_hat(static_cast<Index>(level), static_cast<Index>(m));
      d[m] = delta_hat(static_cast<Index>(level), static_cast<Index>(m));
    }
    std::vector<double> ll;
    std::vector<double> logs(n_features);
    for (std::size_t m = 0; m < n_features; ++m) logs[m] = std::log(d[m] * 6.283185307179586);
    const double largest = plain_sweep(x, g, d, logs, feature, ll);
    for (const double v : ll) underflowing += std::exp(v - largest) == 0.0 ? 1 : 0;

    const auto [gamma, delta] = plain_job(x, g, d, feature);
    ASSERT_OK_AND_ASSIGN(const FeaturePosterior post, posterior_job(job, n_features, z, inputs));
    EXPECT_TRUE(same_bits(post.gamma_star, gamma)) << post.gamma_star << " vs " << gamma;
    EXPECT_TRUE(same_bits(post.delta_star, delta)) << post.delta_star << " vs " << delta;
  }
  // Premise: besides the left-out ones, some weights really underflow.
  EXPECT_GT(underflowing, 4 * n_features);
}

// ---------------------------------------------------------------------------------------
// Which error wins

// Two levels of one sample each, mean-only mode (delta_hat all 1), so gamma_hat is the
// sample's row itself. A row of three 1e308 makes every job of its level overflow its
// posterior location; a row (1e308, -1e308, -1e308) makes the level's feature 0 job find
// no finite support.
struct TwoFailingJobsCase {
  std::string name;
  bool overflow_first;
  std::string expected;
};

class NonparametricPosteriorsTwoFailingJobs : public ::testing::TestWithParam<TwoFailingJobsCase> {};

TEST_P(NonparametricPosteriorsTwoFailingJobs, LowestJobWinsSerialAndParallel) {
  const TwoFailingJobsCase& c = GetParam();
  const BatchLevels levels = make_levels({0, 1});
  Matrix z(2, 3);
  const Index overflow = c.overflow_first ? 0 : 1;
  const Index support = 1 - overflow;
  z.row(overflow) << 1e308, 1e308, 1e308;
  z.row(support) << 1e308, -1e308, -1e308;

  // Premise: the first job of each level fails, each with its own text.
  ASSERT_OK_AND_ASSIGN(const Matrix gamma_hat, estimate_gamma_hat(z, levels, std::nullopt, has_missing(z)));
  const Matrix ones = Matrix::Ones(2, 3);
  const PosteriorInputs inputs = prepare_posterior_inputs(levels, gamma_hat, ones);
  EXPECT_ERROR_TEXT(posterior_job(static_cast<std::size_t>(overflow) * 3, 3, z, inputs),
                    kNonFinitePosterior);
  EXPECT_ERROR_TEXT(posterior_job(static_cast<std::size_t>(support) * 3, 3, z, inputs), kNoSupport);

  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    EXPECT_ERROR_TEXT(
        tile_estimates(z, levels, nonparametric(true), parallel),
        c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonparametricPosteriorsTwoFailingJobs,
    ::testing::Values(TwoFailingJobsCase{"OverflowInLevelZero", true, kNonFinitePosterior},
                      TwoFailingJobsCase{"NoSupportInLevelZero", false, kNoSupport}),
    CaseName());

// ---------------------------------------------------------------------------------------
// Serial and parallel

struct SerialParallelCase {
  std::string name;
  bool mean_only;
  std::optional<std::size_t> reference;
  bool missing;
};

class NonparametricPosteriorsSerialParallel : public ::testing::TestWithParam<SerialParallelCase> {};

TEST_P(NonparametricPosteriorsSerialParallel, BitIdentical) {
  const SerialParallelCase& c = GetParam();
  Ids ids;
  for (std::size_t s = 0; s < 60; ++s) ids.push_back((s * 5) % 3);
  const BatchLevels levels = make_levels(ids);
  std::mt19937_64 rng(23);
  std::normal_distribution<double> noise(0.0, 1.0);
  Matrix z(60, 25);
  for (Index s = 0; s < z.rows(); ++s) {
    const double level = static_cast<double>(ids[static_cast<std::size_t>(s)]);
    for (Index j = 0; j < z.cols(); ++j) {
      z(s, j) = 0.4 * level * static_cast<double>(j % 4) + (1.0 + 0.3 * level) * noise(rng);
      if (c.missing && (s * 13 + j * 3) % 31 == 0) z(s, j) = kNaN;
    }
  }
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates serial,
                       tile_estimates(z, levels, nonparametric(c.mean_only, c.reference), false));
  ASSERT_OK_AND_ASSIGN(const ParametricEstimates parallel,
                       tile_estimates(z, levels, nonparametric(c.mean_only, c.reference), true));
  EXPECT_TRUE(bit_identical(bits_of(serial.gamma_star), bits_of(parallel.gamma_star)));
  EXPECT_TRUE(bit_identical(bits_of(serial.delta_star), bits_of(parallel.delta_star)));
  EXPECT_GT(serial.gamma_star.cwiseAbs().maxCoeff(), 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonparametricPosteriorsSerialParallel,
    ::testing::Values(SerialParallelCase{"Full", false, std::nullopt, false},
                      SerialParallelCase{"FullWithReferenceMissing", false, 0, true},
                      SerialParallelCase{"MeanOnly", true, std::nullopt, false},
                      SerialParallelCase{"MeanOnlyWithReference", true, 2, false}),
    CaseName());

}  // namespace
}  // namespace quarnel
