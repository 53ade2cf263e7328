#include "quarnel/adjust.hpp"

#include <algorithm>
#include <cmath>

namespace quarnel {

using Index = Eigen::Index;

// Rows handed to one parallel item: enough to make the strided writes of each feature
// land in cache lines that the next features reuse.
constexpr std::size_t kRowBlock = 32;

namespace {

// The square root of every scale effect is taken once per (level, feature) rather than
// once per value: sqrt is correctly rounded, so the values are the same.
void adjust_rows(std::size_t first, std::size_t last, std::span<double> rows,
                 const Standardization& standardization, const Matrix& gamma_star,
                 const Matrix& scale_roots, std::span<const std::size_t> sample_levels,
                 std::span<const double> scale_factors) {
  const std::size_t n_kept = scale_factors.size();
  require(rows.size() == (last - first) * n_kept, "one output row per adjusted sample");
  for (std::size_t j = 0; j < n_kept; ++j) {
    const auto c = static_cast<Index>(j);
    const double* standardized = standardization.standardized.col(c).data();
    const double* stand_mean = standardization.stand_mean.col(c).data();
    for (std::size_t i = first; i < last; ++i) {
      const auto level = static_cast<Index>(sample_levels[i]);
      rows[(i - first) * n_kept + j] =
          (standardized[i] - gamma_star(level, c)) / scale_roots(level, c) *
              scale_factors[j] +
          stand_mean[i];
    }
  }
}

}  // namespace

void adjust_sample_rows(std::size_t first, std::size_t last, std::span<double> rows,
                        const Standardization& standardization,
                        const ParametricEstimates& estimates,
                        std::span<const std::size_t> sample_levels,
                        std::span<const double> scale_factors) {
  adjust_rows(first, last, rows, standardization, estimates.gamma_star,
              estimates.delta_star.cwiseSqrt(), sample_levels, scale_factors);
}

std::vector<double> adjust_parametric(const Standardization& standardization,
                                      const ParametricEstimates& estimates,
                                      const BatchLevels& levels, ParallelPlan plan) {
  const auto n_samples = static_cast<std::size_t>(standardization.standardized.rows());
  const auto n_kept = static_cast<std::size_t>(standardization.standardized.cols());
  std::vector<double> scale_factors(n_kept);
  for (std::size_t j = 0; j < n_kept; ++j) {
    scale_factors[j] = std::sqrt(standardization.pooled_variance[j]);
  }
  const Matrix scale_roots = estimates.delta_star.cwiseSqrt();
  std::vector<double> adjusted(n_samples * n_kept);
  const std::size_t n_blocks = (n_samples + kRowBlock - 1) / kRowBlock;
  parallel_for(plan.parallel && n_samples >= 2, n_blocks, [&](std::size_t block) {
    const std::size_t first = block * kRowBlock;
    const std::size_t last = std::min(n_samples, first + kRowBlock);
    adjust_rows(first, last,
                std::span<double>(adjusted).subspan(first * n_kept, (last - first) * n_kept),
                standardization, estimates.gamma_star, scale_roots, levels.sample_levels(),
                scale_factors);
  });
  return adjusted;
}

}  // namespace quarnel
