#include "quarnel/raw_estimates.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "lanes.hpp"
#include "quarnel/design.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {
namespace {

using namespace lanes;

// Every level's observed counts, sums and then squared deviations from the level means
// for the lanes' features, one walk down the columns for each. `runs` are the maximal runs
// of samples of one level, in sample order, so each level still adds its own samples in
// ascending order. `counts`, `sums` (left holding the means) and `squares` hold kLanes
// values per level, level-major.
QUARNEL_AVX2_CLONES
void lane_level_variances(const double* const (&columns)[kLanes],
                          std::span<const LevelRun> runs, std::span<double> counts,
                          std::span<double> sums, std::span<double> squares) {
  const Lanes one = splat(1.0);
  // Heap storage of Lanes is not aligned for them: each level's lanes are copied in and out.
  std::ranges::fill(sums, 0.0);
  std::ranges::fill(counts, 0.0);
  for (const LevelRun& run : runs) {
    Lanes count;
    Lanes sum;
    std::memcpy(&count, &counts[run.level * kLanes], sizeof count);
    std::memcpy(&sum, &sums[run.level * kLanes], sizeof sum);
    for (std::size_t s = run.begin; s < run.end; ++s) {
      Lanes x;
      load_lanes(columns, s, x);
      Lanes observed = one;
      keep_observed(x, observed);
      count += observed;
      Lanes term = x;
      keep_observed(x, term);
      sum += term;
    }
    std::memcpy(&counts[run.level * kLanes], &count, sizeof count);
    std::memcpy(&sums[run.level * kLanes], &sum, sizeof sum);
  }
  // The means, each the level's sum over its count.
  for (std::size_t k = 0; k < sums.size(); ++k) sums[k] /= counts[k];
  std::ranges::fill(squares, 0.0);
  for (const LevelRun& run : runs) {
    Lanes mean;
    Lanes square;
    std::memcpy(&mean, &sums[run.level * kLanes], sizeof mean);
    std::memcpy(&square, &squares[run.level * kLanes], sizeof square);
    for (std::size_t s = run.begin; s < run.end; ++s) {
      Lanes x;
      load_lanes(columns, s, x);
      const Lanes deviation = x - mean;
      Lanes term = deviation * deviation;
      keep_observed(x, term);
      square += term;
    }
    std::memcpy(&squares[run.level * kLanes], &square, sizeof square);
  }
}

// The maximal runs of consecutive samples of one level, in sample order.
std::vector<LevelRun> level_runs(const BatchLevels& levels) {
  std::vector<LevelRun> runs;
  const std::span<const std::size_t> sample_levels = levels.sample_levels();
  for (std::size_t s = 0; s < sample_levels.size(); ++s) {
    if (runs.empty() || runs.back().level != sample_levels[s]) {
      runs.push_back(LevelRun{sample_levels[s], s, s});
    }
    runs.back().end = s + 1;
  }
  return runs;
}

// Whether every observed value of `level` in the column is the same. Their mean can round
// away from that value, and the squared deviations then add up to about (count *
// epsilon * value)^2 where exact arithmetic gives zero.
bool observed_values_equal(const double* column, std::span<const LevelRun> runs, std::size_t level) {
  std::optional<double> first;
  for (const LevelRun& run : runs) {
    if (run.level != level) continue;
    for (std::size_t s = run.begin; s < run.end; ++s) {
      if (std::isnan(column[s])) continue;
      if (!first) first = column[s];
      if (column[s] != *first) return false;
    }
  }
  return true;
}

// The sum of squared deviations of a level's `count` observed values from their `mean`,
// taken as the zero it is when all the values are equal. Only sums small enough to be
// the rounding of equal values are looked at again.
double level_squares(double squares, double count, double mean, const double* column,
                     std::span<const LevelRun> runs, std::size_t level) {
  const double rounding = 2.0 * count * std::numeric_limits<double>::epsilon() * std::abs(mean);
  if (squares == 0.0 || !(squares <= count * rounding * rounding)) return squares;
  return observed_values_equal(column, runs, level) ? 0.0 : squares;
}

}  // namespace

ScaleMeasurements measure_scales(const Matrix& standardized, const BatchLevels& levels,
                                 bool parallel) {
  const std::size_t n_levels = levels.level_count();
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  const std::vector<LevelRun> runs = level_runs(levels);
  ScaleMeasurements out;
  out.delta_hat.resize(static_cast<Index>(n_levels), standardized.cols());
  out.counts.resize(static_cast<Index>(n_levels), standardized.cols());
  const std::size_t n_blocks = block_count(n_features);
  parallel_for(parallel, n_blocks, [&](std::size_t b) {
    std::vector<double> counts(n_levels * kLanes);
    std::vector<double> means(n_levels * kLanes);
    std::vector<double> squares(n_levels * kLanes);
    const std::size_t end = std::min(n_features, (b + 1) * kBlockFeatures);
    for (std::size_t first = b * kBlockFeatures; first < end; first += kLanes) {
      const double* columns[kLanes];
      lane_columns(standardized, first, end, columns);
      lane_level_variances(columns, runs, counts, means, squares);
      for (std::size_t k = 0; k < kLanes && first + k < end; ++k) {
        const auto j = static_cast<Index>(first + k);
        for (std::size_t i = 0; i < n_levels; ++i) {
          const std::size_t at = i * kLanes + k;
          const double m = counts[at];
          out.counts(static_cast<Index>(i), j) = static_cast<std::size_t>(m);
          const double sum_of_squares = level_squares(squares[at], m, means[at], columns[k], runs, i);
          out.delta_hat(static_cast<Index>(i), j) = sum_of_squares / (m - 1.0);
        }
      }
    }
  });
  return out;
}

std::optional<CombatError> scale_entry_failure(std::size_t count, double delta_hat) {
  if (count < 2) {
    return UnsupportedOption{
        "scale adjustment requires at least two observed values per batch and feature"};
  }
  if (!is_positive_finite(delta_hat)) return NumericalFailure{"delta_hat is not positive finite"};
  return std::nullopt;
}

Status check_scale_levels(const BatchLevels& levels) {
  for (std::size_t i = 0; i < levels.level_count(); ++i) {
    if (levels.level_size(i) < 2) {
      return fail(UnsupportedOption{"scale adjustment requires at least two samples per batch"});
    }
  }
  return {};
}

Status check_scale_entries(const ScaleMeasurements& scales) {
  // Failures are reported in level-major order, as a level-by-level walk would meet them.
  for (Index i = 0; i < scales.delta_hat.rows(); ++i) {
    for (Index j = 0; j < scales.delta_hat.cols(); ++j) {
      if (auto failure = scale_entry_failure(scales.counts(i, j), scales.delta_hat(i, j))) {
        return fail(std::move(*failure));
      }
    }
  }
  return {};
}

Result<Matrix> estimate_gamma_hat(const Matrix& standardized, const BatchLevels& levels,
                                  std::optional<std::size_t> reference_level, bool missing,
                                  bool parallel) {
  const Matrix design =
      build_batch_design(static_cast<std::size_t>(standardized.rows()), levels, reference_level);
  return missing ? fit_coefficients_by_feature(standardized, design, levels, parallel)
             : fit_complete_coefficients(standardized, design, parallel);
}

}  // namespace quarnel
