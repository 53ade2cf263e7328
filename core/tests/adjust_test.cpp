// The final adjustment: the exact order of its operations, the level each sample takes its
// estimates from, the layout of the result, missing values, tiny shapes, and
// serial against parallel runs.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "quarnel/adjust.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/standardize.hpp"
#include "builders.hpp"
#include "test_support.hpp"

namespace quarnel {
namespace {

using testing::make_levels;

using testing::bit_identical;
using Index = Eigen::Index;
using Ids = std::vector<std::uint64_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Batch ids cycling through 4, 1, 9 (levels 1, 0, 2), so neighbouring samples take their
// estimates from different rows.
Ids cycling_ids(std::size_t n) {
  const std::uint64_t cycle[] = {4, 1, 9};
  Ids ids;
  for (std::size_t s = 0; s < n; ++s) ids.push_back(cycle[s % 3]);
  return ids;
}

struct Problem {
  Standardization st;
  ParametricEstimates est;
  // The factors of st.stand_mean: grand means, two covariates and their coefficients.
  std::vector<double> grand;
  Matrix covariates;
  Matrix coefficients;
};

// Random standardised data, means, pooled variances and estimates for n samples, G kept
// features and `n_levels` levels. Values are drawn so that no operation is exact.
Problem random_problem(std::size_t n, std::size_t g, std::size_t n_levels, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-3.0, 3.0);
  std::uniform_real_distribution<double> pos(0.1, 5.0);
  const auto rows = static_cast<Index>(n);
  const auto cols = static_cast<Index>(g);
  Problem p;
  p.st.standardized = Matrix(rows, cols);
  for (Index i = 0; i < rows; ++i) {
    for (Index j = 0; j < cols; ++j) p.st.standardized(i, j) = u(rng);
  }
  p.covariates = Matrix(rows, 2);
  for (Index i = 0; i < rows; ++i) {
    for (Index c = 0; c < 2; ++c) p.covariates(i, c) = u(rng);
  }
  p.coefficients = Matrix(2, cols);
  for (Index j = 0; j < cols; ++j) {
    p.grand.push_back(10.0 * u(rng));
    for (Index c = 0; c < 2; ++c) p.coefficients(c, j) = u(rng);
  }
  p.st.stand_mean = StandMean(p.grand, p.covariates, p.coefficients);
  for (std::size_t j = 0; j < g; ++j) p.st.pooled_variance.push_back(pos(rng));
  const auto l = static_cast<Index>(n_levels);
  p.est.gamma_star = Matrix(l, cols);
  p.est.delta_star = Matrix(l, cols);
  for (Index i = 0; i < l; ++i) {
    for (Index j = 0; j < cols; ++j) {
      p.est.gamma_star(i, j) = u(rng);
      p.est.delta_star(i, j) = pos(rng);
    }
  }
  return p;
}

// The adjusted matrix read out row by row, to compare with by_hand.
std::vector<double> row_major(const Matrix& m) {
  std::vector<double> out;
  for (Index i = 0; i < m.rows(); ++i) {
    for (Index j = 0; j < m.cols(); ++j) out.push_back(m(i, j));
  }
  return out;
}

std::vector<double> adjusted_rows(const Problem& p, const BatchLevels& levels, bool parallel) {
  return row_major(adjust_parametric(p.st, p.est, levels, ParallelPlan{parallel}));
}

// The adjustment written out element by element, row-major.
std::vector<double> by_hand(const Problem& p, const BatchLevels& levels) {
  const Index n = p.st.standardized.rows();
  const Index g = p.st.standardized.cols();
  std::vector<double> out;
  for (Index i = 0; i < n; ++i) {
    const auto l = static_cast<Index>(levels.level_of_sample(static_cast<std::size_t>(i)));
    for (Index j = 0; j < g; ++j) {
      const double s = std::sqrt(p.st.pooled_variance[static_cast<std::size_t>(j)]);
      const double centred = p.st.standardized(i, j) - p.est.gamma_star(l, j);
      const double rescaled = centred / std::sqrt(p.est.delta_star(l, j));
      out.push_back(rescaled * s + p.st.stand_mean(i, j));
    }
  }
  return out;
}

TEST(AdjustParametric, UnitEstimatesGiveStandardizedTimesScalePlusMean) {
  const BatchLevels levels = make_levels(cycling_ids(7));
  Problem p = random_problem(7, 4, 3, 1);
  p.est.gamma_star.setZero();
  p.est.delta_star.setOnes();
  std::vector<double> expected;
  for (Index i = 0; i < 7; ++i) {
    for (Index j = 0; j < 4; ++j) {
      expected.push_back(p.st.standardized(i, j) * std::sqrt(p.st.pooled_variance[static_cast<std::size_t>(j)]) +
                         p.st.stand_mean(i, j));
    }
  }
  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    EXPECT_TRUE(bit_identical(adjusted_rows(p, levels, parallel), expected));
  }
}

TEST(AdjustParametric, OperationsInTheirOrderWithEachSamplesLevel) {
  const BatchLevels levels = make_levels(cycling_ids(11));
  const Problem p = random_problem(11, 5, 3, 2);
  const std::vector<double> expected = by_hand(p, levels);

  // The order matters at the level of bits: two plausible reorderings give other results
  // somewhere, so the comparison below can tell them apart.
  std::size_t differ_fused = 0;
  std::size_t differ_swapped = 0;
  for (Index i = 0; i < 11; ++i) {
    const auto l = static_cast<Index>(levels.level_of_sample(static_cast<std::size_t>(i)));
    for (Index j = 0; j < 5; ++j) {
      const double s = std::sqrt(p.st.pooled_variance[static_cast<std::size_t>(j)]);
      const double centred = p.st.standardized(i, j) - p.est.gamma_star(l, j);
      const double fused = centred * (s / std::sqrt(p.est.delta_star(l, j))) + p.st.stand_mean(i, j);
      const double swapped = centred * s / std::sqrt(p.est.delta_star(l, j)) + p.st.stand_mean(i, j);
      const double want = expected[static_cast<std::size_t>(i * 5 + j)];
      differ_fused += fused != want;
      differ_swapped += swapped != want;
    }
  }
  ASSERT_GT(differ_fused, 0u);
  ASSERT_GT(differ_swapped, 0u);

  for (const bool parallel : {false, true}) {
    SCOPED_TRACE(parallel ? "parallel" : "serial");
    EXPECT_TRUE(bit_identical(adjusted_rows(p, levels, parallel), expected));
  }
}

TEST(AdjustParametric, SingleSampleEvenWhenThePlanIsParallel) {
  // Batch levels always hold two samples or more, and the adjustment takes its sample
  // count from the standardised data: the first row of a two-sample problem stands in for
  // a one-sample one. Sample 0 has batch id 4, level 1.
  const BatchLevels levels = make_levels({4, 1});
  Problem one = random_problem(2, 3, 2, 3);
  one.st.standardized = Matrix(one.st.standardized.topRows(1));
  one.st.stand_mean = StandMean(one.grand, one.covariates.topRows(1), one.coefficients);
  const std::vector<double> expected = by_hand(one, levels);
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_TRUE(bit_identical(adjusted_rows(one, levels, true), expected));
}

TEST(AdjustParametric, SingleKeptFeatureGivesOneValuePerSample) {
  const BatchLevels levels = make_levels(cycling_ids(6));
  const Problem p = random_problem(6, 1, 3, 4);
  const std::vector<double> out = adjusted_rows(p, levels, true);
  ASSERT_EQ(out.size(), 6u);
  EXPECT_TRUE(bit_identical(out, by_hand(p, levels)));
}

TEST(AdjustParametric, MissingValuesStayMissingAndNowhereElse) {
  const BatchLevels levels = make_levels(cycling_ids(9));
  Problem p = random_problem(9, 4, 3, 5);
  p.st.standardized(1, 2) = kNaN;
  p.st.standardized(8, 0) = kNaN;
  p.st.standardized(4, 3) = kNaN;
  for (const bool parallel : {false, true}) {
    const std::vector<double> out = adjusted_rows(p, levels, parallel);
    ASSERT_EQ(out.size(), 36u);
    for (std::size_t k = 0; k < out.size(); ++k) {
      const bool missing = k == 1 * 4 + 2 || k == 8 * 4 + 0 || k == 4 * 4 + 3;
      EXPECT_EQ(std::isnan(out[k]), missing) << "position " << k;
    }
  }
}

TEST(AdjustParametric, SerialAndParallelAreBitIdentical) {
  // 37 features: several feature blocks and a ragged last one.
  const BatchLevels levels = make_levels(cycling_ids(301));
  Problem p = random_problem(301, 37, 3, 6);
  p.st.standardized(150, 7) = kNaN;
  const std::vector<double> serial = adjusted_rows(p, levels, false);
  const std::vector<double> parallel = adjusted_rows(p, levels, true);
  EXPECT_TRUE(bit_identical(serial, parallel));
  EXPECT_TRUE(bit_identical(serial, by_hand(p, levels)));
}

// The adjusted matrix is the standardised data's own buffer: no second n x G matrix is
// allocated for it.
TEST(AdjustParametric, AdjustsTheStandardizedBufferInPlace) {
  const BatchLevels levels = make_levels(cycling_ids(8));
  Problem p = random_problem(8, 3, 3, 7);
  const std::vector<double> expected = by_hand(p, levels);
  const double* buffer = p.st.standardized.data();
  const Matrix adjusted = adjust_parametric(std::move(p.st), p.est, levels, ParallelPlan{true});
  EXPECT_EQ(adjusted.data(), buffer);
  EXPECT_TRUE(bit_identical(row_major(adjusted), expected));
}

}  // namespace
}  // namespace quarnel
