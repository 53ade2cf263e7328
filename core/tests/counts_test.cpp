// The count correction's properties that need no outside reference: the rising factorial
// agrees with its recurrence across every evaluation branch, the quantile map between a
// law and itself is the identity (the walk, the exact checks and the galloping all
// decide exactly where F crosses u), runs are bit-identical serial and parallel, reference
// batches and unfit genes come back unchanged, and bad requests fail with their errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "quarnel/counts.hpp"
#include "quarnel/counts_nb.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using counts::NbLaw;
using testing::ScopedEnv;

// Counts drawn from the model: per gene a mean, a fold change and a dispersion per batch.
struct CountProblem {
  std::size_t n_samples, n_genes;
  std::vector<double> counts;
  std::vector<std::uint64_t> batch;
  std::vector<double> group;

  CountsRequest request() const {
    CountsRequest r;
    r.counts = counts;
    r.batch = batch;
    r.n_samples = n_samples;
    r.n_genes = n_genes;
    r.covariates = CovariateMatrix{group, 1};
    return r;
  }
};

CountProblem simulated(std::size_t n_samples, std::size_t n_genes, std::uint32_t seed) {
  std::mt19937_64 rng(seed);
  CountProblem p{n_samples, n_genes, std::vector<double>(n_samples * n_genes), {}, {}};
  for (std::size_t j = 0; j < n_samples; ++j) {
    p.batch.push_back(j % 3);
    p.group.push_back(static_cast<double>((j / 3) % 2));
  }
  std::lognormal_distribution<double> mean(3.0, 1.5), fold(0.0, 0.4);
  std::uniform_real_distribution<double> dispersion(0.02, 0.5);
  for (std::size_t g = 0; g < n_genes; ++g) {
    const double base = mean(rng);
    const double folds[3] = {fold(rng), fold(rng), fold(rng)};
    const double phis[3] = {dispersion(rng), dispersion(rng), dispersion(rng)};
    for (std::size_t j = 0; j < n_samples; ++j) {
      const std::size_t b = p.batch[j];
      const double mu = base * folds[b] * (p.group[j] == 1.0 ? 1.5 : 1.0);
      std::gamma_distribution<double> rate(1.0 / phis[b], mu * phis[b]);
      p.counts[j * n_genes + g] = static_cast<double>(std::poisson_distribution<long>(rate(rng))(rng));
    }
  }
  return p;
}

TEST(CountsNb, RisingFactorialAndItsSlopeKeepTheirRecurrencesAcrossBranches) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> log_r(std::log(1e-3), std::log(1e7));
  for (int trial = 0; trial < 2000; ++trial) {
    const double r = std::exp(log_r(rng));
    const double y = std::floor(std::exp(std::uniform_real_distribution<double>(0.0, 12.0)(rng)));
    const double step = counts::log_rising(r, y + 1.0) - counts::log_rising(r, y);
    const double scale = std::max(1.0, std::abs(counts::log_rising(r, y + 1.0)));
    EXPECT_NEAR(step, std::log(r + y), 1e-13 * scale) << "r=" << r << " y=" << y;
    const counts::DigammaRising slope(r);
    const double slope_step = slope.at(y + 1.0) - slope.at(y);
    const double slope_scale = std::max(1.0 / r, std::abs(slope.at(y + 1.0)));
    EXPECT_NEAR(slope_step, 1.0 / (r + y), 1e-13 * slope_scale) << "r=" << r << " y=" << y;
  }
}

TEST(CountsNb, MapBetweenEqualLawsIsTheIdentity) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> log_mu(std::log(1e-3), std::log(1e6));
  std::uniform_real_distribution<double> log_phi(std::log(1e-5), std::log(1e2));
  std::uniform_real_distribution<double> spread(-8.0, 8.0);
  int mapped = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const NbLaw law{std::exp(log_mu(rng)), std::exp(log_phi(rng))};
    const double sd = std::sqrt(law.mean + law.dispersion * law.mean * law.mean);
    const double y = std::max(0.0, std::floor(law.mean + spread(rng) * sd));
    const std::optional<double> moved = counts::mid_quantile_map(y, law, law);
    if (!moved) continue;
    ++mapped;
    ASSERT_EQ(*moved, y) << "mu=" << law.mean << " phi=" << law.dispersion;
  }
  EXPECT_GT(mapped, 15000);
}

TEST(CountsNb, PlacesBeyondDoublePrecisionAreNotMoved) {
  // P(Y >= 1e5) under a near-Poisson law of mean 1 is far below the smallest double.
  EXPECT_FALSE(counts::mid_quantile_map(1e5, {1.0, 1e-5}, {2.0, 1e-5}));
  // A zero where the mean is 1e6 and the law tight: P(Y = 0) underflows too.
  EXPECT_FALSE(counts::mid_quantile_map(0.0, {1e6, 1e-4}, {1e6, 1e-4}));
  EXPECT_TRUE(counts::mid_quantile_map(30.0, {1.0, 1e-5}, {2.0, 1e-5}));
}

TEST(CountsNb, MapIsMonotoneInTheCount) {
  const NbLaw from{40.0, 0.3}, to{400.0, 0.05};
  double previous = 0.0;
  for (double y = 0.0; y < 400.0; y += 1.0) {
    const std::optional<double> moved = counts::mid_quantile_map(y, from, to);
    ASSERT_TRUE(moved);
    EXPECT_GE(*moved, previous);
    previous = *moved;
  }
}

TEST(Counts, SerialAndParallelRunsAreBitIdentical) {
  const CountProblem problem = simulated(60, 300, 3);
  std::vector<std::vector<std::int64_t>> corrected;
  std::vector<std::vector<double>> dispersions;
  for (const char* mode : {"0", "1"}) {
    const ScopedEnv env("QUARNEL_PARALLEL", mode);
    ASSERT_OK_AND_ASSIGN(CountsOutput out, combat_counts(problem.request(), {}));
    corrected.push_back(out.corrected);
    dispersions.emplace_back(out.dispersion.data(), out.dispersion.data() + out.dispersion.size());
  }
  EXPECT_EQ(corrected[0], corrected[1]);
  EXPECT_TRUE(testing::bit_identical(dispersions[0], dispersions[1]));
}

TEST(Counts, ReferenceBatchAndUnfitGenesComeBackUnchanged) {
  CountProblem problem = simulated(30, 40, 5);
  for (std::size_t j = 0; j < problem.n_samples; ++j) {
    if (problem.batch[j] == 2) problem.counts[j * problem.n_genes + 7] = 0.0;
  }
  CountsOptions options;
  options.ref_batch = 1;
  ASSERT_OK_AND_ASSIGN(CountsOutput out, combat_counts(problem.request(), options));
  EXPECT_EQ(out.outcome[7], CountGeneOutcome::no_reads);
  EXPECT_EQ(out.outcome_batch[7], std::optional<std::uint64_t>(2));
  std::size_t changed = 0;
  for (std::size_t j = 0; j < problem.n_samples; ++j) {
    for (std::size_t g = 0; g < problem.n_genes; ++g) {
      const double before = problem.counts[j * problem.n_genes + g];
      const auto after = static_cast<double>(out.corrected[j * problem.n_genes + g]);
      if (problem.batch[j] == 1 || g == 7) {
        ASSERT_EQ(after, before) << "sample " << j << " gene " << g;
      } else {
        changed += after != before;
      }
    }
  }
  EXPECT_GT(changed, problem.n_samples * problem.n_genes / 4);
}

TEST(Counts, FitsConvergeWhereACovariateCouplesSmallBatches) {
  // Seven samples a batch, the group effect shared by all three: the alternation of
  // coefficients and dispersions contracts slowly here.
  const CountProblem problem = simulated(21, 400, 13);
  ASSERT_OK_AND_ASSIGN(CountsOutput out, combat_counts(problem.request(), {}));
  std::size_t unconverged = 0;
  for (const CountGeneOutcome outcome : out.outcome) unconverged += outcome == CountGeneOutcome::not_converged;
  EXPECT_LE(unconverged, 4u);
}

TEST(Counts, CancelStopsTheRun) {
  const CountProblem problem = simulated(30, 200, 9);
  CountsOptions options;
  std::size_t asked = 0;
  options.cancel_requested = [&](const Progress& progress) {
    EXPECT_EQ(progress.stage, "fit");
    return ++asked == 2;
  };
  EXPECT_THROW((void)combat_counts(problem.request(), options), RunCancelled);
  EXPECT_EQ(asked, 2u);
}

TEST(Counts, BadRequestsFailWithTheirErrors) {
  const CountProblem base = simulated(12, 5, 1);
  struct Case {
    const char* what;
    std::size_t cell;
    double value;
    const char* text;
  };
  const Case cases[] = {
      {"NaN", 13, std::nan(""), "non-finite dense value at sample 2, feature 3"},
      {"infinity", 13, INFINITY, "non-finite dense value at sample 2, feature 3"},
      {"negative", 6, -1.0, "unsupported option: counts must be non-negative integers; sample 1, gene 1 holds -1"},
      {"fraction", 6, 2.5, "unsupported option: counts must be non-negative integers; sample 1, gene 1 holds 2.5"},
  };
  for (const Case& c : cases) {
    CountProblem p = base;
    p.counts[c.cell] = c.value;
    EXPECT_ERROR_TEXT(combat_counts(p.request(), {}), c.text) << c.what;
  }
  CountProblem single = base;
  single.batch[0] = 9;
  EXPECT_ERROR_TEXT(combat_counts(single.request(), {}),
                    "invalid design: batch 9 holds a single sample, so its dispersion cannot "
                    "be estimated; drop it or merge it into another batch");
  CountProblem empty_sample = base;
  for (std::size_t g = 0; g < base.n_genes; ++g) empty_sample.counts[4 * base.n_genes + g] = 0.0;
  EXPECT_ERROR_TEXT(combat_counts(empty_sample.request(), {}),
                    "invalid design: the library size of sample 4 is not a positive finite "
                    "number (0); a sample without reads has no scale");
  CountProblem confounded = base;
  for (std::size_t j = 0; j < base.n_samples; ++j) confounded.group[j] = base.batch[j] == 0 ? 1.0 : 0.0;
  EXPECT_ERROR_TEXT(combat_counts(confounded.request(), {}),
                    "invalid design: covariate column 0 is collinear with batch indicators");
  CountsOptions missing;
  missing.ref_batch = 7;
  EXPECT_ERROR_TEXT(combat_counts(base.request(), missing), "missing reference batch: 7");
}

}  // namespace
}  // namespace quarnel
