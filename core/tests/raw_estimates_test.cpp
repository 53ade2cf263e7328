// The raw per-level scales, and which levels a design fits exactly: both judged as exact
// arithmetic would, whatever rounding leaves of a zero.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "builders.hpp"
#include "quarnel/design.hpp"
#include "quarnel/raw_estimates.hpp"

#include <Eigen/LU>

namespace quarnel {
namespace {

using testing::make_levels;
using Index = Eigen::Index;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Random levels of 2 to 6 samples in a shuffled sample order.
std::vector<std::uint64_t> shuffled_ids(std::mt19937_64& rng, std::size_t n_levels) {
  std::vector<std::uint64_t> ids;
  for (std::size_t level = 0; level < n_levels; ++level) ids.insert(ids.end(), 2 + rng() % 5, level);
  std::shuffle(ids.begin(), ids.end(), rng);
  return ids;
}

// A level whose observed values are all one value has a scale of exactly zero, even when
// their mean rounds away from it (three times 0.1 sums to 0.30000000000000004); values one
// unit in the last place apart keep a positive scale. Missing values may sit anywhere.
TEST(MeasureScales, EqualValuesHaveZeroScaleAndTheSmallestSpreadDoesNot) {
  std::size_t rounded_means = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const std::vector<std::uint64_t> ids = shuffled_ids(rng, 3);
    const BatchLevels levels = make_levels(ids);
    std::uniform_real_distribution<double> value(-50.0, 50.0);
    // Tenths, never zero: a zero's neighbour is subnormal and its square underflows.
    const double equal = static_cast<double>(1 + rng() % 500) / 10.0 * (rng() % 2 == 0 ? 1.0 : -1.0);
    // Column 0: level 0 holds `equal` only; column 1: the same with one value nudged by an
    // ulp; columns 2 to 9 are ordinary, so that the lanes hold several features.
    Matrix z(static_cast<Index>(ids.size()), 10);
    for (Index j = 0; j < z.cols(); ++j) {
      for (Index i = 0; i < z.rows(); ++i) z(i, j) = value(rng);
    }
    bool nudged = false;
    std::size_t observed = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (ids[i] != 0) continue;
      const bool missing = observed >= 2 && rng() % 3 == 0;
      z(static_cast<Index>(i), 0) = missing ? kNaN : equal;
      z(static_cast<Index>(i), 1) = missing ? kNaN : nudged || observed == 0 ? equal : std::nextafter(equal, 100.0);
      nudged |= !missing && observed > 0;
      observed += !missing;
    }
    double sum = 0.0;
    for (std::size_t k = 0; k < observed; ++k) sum += equal;
    rounded_means += sum / static_cast<double>(observed) != equal;
    for (const bool parallel : {false, true}) {
      const ScaleMeasurements scales = measure_scales(z, levels, parallel);
      EXPECT_EQ(scales.counts(0, 0), observed);
      EXPECT_EQ(scales.delta_hat(0, 0), 0.0);
      EXPECT_GT(scales.delta_hat(0, 1), 0.0);
      for (Index j = 2; j < z.cols(); ++j) EXPECT_GT(scales.delta_hat(0, j), 0.0);
    }
  }
  // The case that matters: means that round are common, not left to chance.
  EXPECT_GE(rounded_means, 20u);
}

// The degrees of freedom each level keeps, computed apart: the residual projector
// I - X (X^T X)^-1 X^T, whose diagonal is one minus the leverages.
std::vector<double> level_freedom(const Matrix& design, const std::vector<std::uint64_t>& ids,
                                  std::size_t n_levels) {
  const Matrix hat = design * (design.transpose() * design).inverse() * design.transpose();
  std::vector<double> free(n_levels, 0.0);
  for (std::size_t i = 0; i < ids.size(); ++i) free[ids[i]] += 1.0 - hat(static_cast<Index>(i), static_cast<Index>(i));
  return free;
}

// On random designs whose covariates mark one or two samples, a level of two or more rows
// is marked exactly when the residual projector leaves it no degree of freedom, and the
// marks follow the rows whatever their order.
TEST(LevelsFittedExactly, MarkTheLevelsTheResidualProjectorLeavesNoFreedom) {
  std::size_t marked = 0;
  std::size_t unmarked = 0;
  for (std::uint64_t seed = 0; seed < 300; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937_64 rng(seed);
    const std::size_t n_levels = 2 + seed % 3;
    const std::vector<std::uint64_t> ids = shuffled_ids(rng, n_levels);
    const std::size_t n = ids.size();
    std::normal_distribution<double> draw(0.0, 1.0);
    Matrix design = Matrix::Zero(static_cast<Index>(n), static_cast<Index>(n_levels + 2));
    for (std::size_t i = 0; i < n; ++i) {
      design(static_cast<Index>(i), static_cast<Index>(ids[i])) = 1.0;
      design(static_cast<Index>(i), static_cast<Index>(n_levels)) = draw(rng);
    }
    design(static_cast<Index>(rng() % n), static_cast<Index>(n_levels + 1)) = 1.0;
    if (seed % 2 == 0) design(static_cast<Index>(rng() % n), static_cast<Index>(n_levels + 1)) = 1.0;
    const RowSupport support = row_support(design);
    if (support.rank < design.cols()) continue;
    std::vector<std::size_t> row_levels(ids.begin(), ids.end());
    const std::vector<unsigned char> fitted = levels_fitted_exactly(support, row_levels, n_levels);
    const std::vector<double> free = level_freedom(design, ids, n_levels);

    // The same rows reversed.
    const Matrix flipped = design.colwise().reverse();
    const std::vector<std::size_t> flipped_levels(row_levels.rbegin(), row_levels.rend());
    const std::vector<unsigned char> flipped_fitted =
        levels_fitted_exactly(row_support(flipped), flipped_levels, n_levels);
    for (std::size_t level = 0; level < n_levels; ++level) {
      const bool exact = free[level] < 1e-10;
      EXPECT_EQ(fitted[level] != 0, exact) << "level " << level << " keeps " << free[level];
      EXPECT_EQ(flipped_fitted[level], fitted[level]);
      (exact ? marked : unmarked) += 1;
    }
  }
  EXPECT_GE(marked, 20u);
  EXPECT_GE(unmarked, 300u);
}

}  // namespace
}  // namespace quarnel
