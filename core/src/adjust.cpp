#include "quarnel/adjust.hpp"

#include <cmath>

namespace quarnel {

using Index = Eigen::Index;

void adjust_sample_row(std::size_t sample, std::span<double> row,
                       const Standardization& standardization,
                       const ParametricEstimates& estimates,
                       std::span<const std::size_t> sample_levels,
                       std::span<const double> scale_factors) {
  const auto i = static_cast<Index>(sample);
  const auto level = static_cast<Index>(sample_levels[sample]);
  const Matrix& standardized = standardization.standardized;
  const Matrix& stand_mean = standardization.stand_mean;
  for (std::size_t j = 0; j < row.size(); ++j) {
    const auto c = static_cast<Index>(j);
    row[j] = (standardized(i, c) - estimates.gamma_star(level, c)) /
                 std::sqrt(estimates.delta_star(level, c)) * scale_factors[j] +
             stand_mean(i, c);
  }
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
  std::vector<double> adjusted(n_samples * n_kept);
  parallel_for(plan.parallel && n_samples >= 2, n_samples, [&](std::size_t i) {
    adjust_sample_row(i, std::span<double>(adjusted).subspan(i * n_kept, n_kept), standardization,
                      estimates, levels.sample_levels(), scale_factors);
  });
  return adjusted;
}

}  // namespace quarnel
