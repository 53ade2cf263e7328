#include "quarnel/adjust.hpp"

#include <algorithm>
#include <cmath>

namespace quarnel {

using Index = Eigen::Index;

namespace {

// Features handed to one parallel item.
constexpr Index kFeatureBlock = 16;

// One feature's column, adjusted in place. The level's location and the square root of its
// scale are looked up per sample from per-level tables: sqrt is correctly rounded, so
// taking it once per (level, feature) rather than once per value gives the same values.
void adjust_feature(double* column, const double* stand_mean, Index feature,
                    const Matrix& gamma_star, const Matrix& scale_roots,
                    std::span<const std::size_t> sample_levels, double scale,
                    std::vector<double>& level_gamma, std::vector<double>& level_root) {
  for (std::size_t level = 0; level < level_gamma.size(); ++level) {
    level_gamma[level] = gamma_star(static_cast<Index>(level), feature);
    level_root[level] = scale_roots(static_cast<Index>(level), feature);
  }
  for (std::size_t i = 0; i < sample_levels.size(); ++i) {
    const std::size_t level = sample_levels[i];
    column[i] = (column[i] - level_gamma[level]) / level_root[level] * scale + stand_mean[i];
  }
}

}  // namespace

Matrix adjust_parametric(Standardization standardization, const ParametricEstimates& estimates,
                         const BatchLevels& levels, ParallelPlan plan) {
  Matrix& data = standardization.standardized;
  const Index n_kept = data.cols();
  // The sample count is the data's: the levels may describe more samples than are adjusted.
  require(static_cast<std::size_t>(data.rows()) <= levels.sample_levels().size() &&
              standardization.stand_mean.rows() == data.rows() &&
              standardization.stand_mean.cols() == n_kept &&
              estimates.gamma_star.cols() == n_kept,
          "adjustment inputs agree in shape");
  const std::span<const std::size_t> sample_levels =
      levels.sample_levels().first(static_cast<std::size_t>(data.rows()));
  const Matrix scale_roots = estimates.delta_star.cwiseSqrt();
  const auto n_blocks = static_cast<std::size_t>((n_kept + kFeatureBlock - 1) / kFeatureBlock);
  parallel_for(plan.parallel && data.rows() >= 2, n_blocks, [&](std::size_t block) {
    std::vector<double> level_gamma(levels.level_count());
    std::vector<double> level_root(levels.level_count());
    std::vector<double> stand_mean(sample_levels.size());
    const Index first = static_cast<Index>(block) * kFeatureBlock;
    const Index last = std::min(n_kept, first + kFeatureBlock);
    for (Index j = first; j < last; ++j) {
      const double scale = std::sqrt(standardization.pooled_variance[static_cast<std::size_t>(j)]);
      standardization.stand_mean.column(j, stand_mean);
      adjust_feature(data.col(j).data(), stand_mean.data(), j,
                     estimates.gamma_star, scale_roots, sample_levels, scale, level_gamma,
                     level_root);
    }
  });
  return std::move(data);
}

}  // namespace quarnel
