#include "quarnel/zero_variance.hpp"

#include <algorithm>

namespace quarnel {
namespace {

// Features are tested in blocks of adjacent columns: one walk down the rows of a block
// serves every level at once and reads the row-major input contiguously.
constexpr std::size_t kFeatureBlock = 256;

// For each feature of [first, last), whether some level of two or more samples is
// constant in it. Each level's values are compared with that level's first value, which
// is exactly the per-level test walked in ascending sample order; the walk over all rows
// just answers every level at once.
void find_constant_features(std::span<const double> values, std::size_t n_samples,
                            std::size_t n_features, const BatchLevels& levels,
                            std::size_t first, std::size_t last,
                            std::span<unsigned char> zero_variance) {
  const std::size_t width = last - first;
  const std::size_t n_levels = levels.level_count();
  std::vector<double> level_first(n_levels * width);
  std::vector<unsigned char> level_varies(n_levels * width, 0);
  std::vector<unsigned char> level_started(n_levels, 0);

  for (std::size_t i = 0; i < n_samples; ++i) {
    const std::size_t level = levels.level_of_sample(i);
    const double* row = values.data() + i * n_features + first;
    double* reference = level_first.data() + level * width;
    if (!level_started[level]) {
      std::copy(row, row + width, reference);
      level_started[level] = 1;
      continue;
    }
    unsigned char* varies = level_varies.data() + level * width;
    for (std::size_t m = 0; m < width; ++m) varies[m] |= !(row[m] == reference[m]);
  }

  for (std::size_t m = 0; m < width; ++m) {
    bool constant_somewhere = false;
    for (std::size_t level = 0; level < n_levels && !constant_somewhere; ++level) {
      constant_somewhere = levels.level_size(level) >= 2 && !level_varies[level * width + m];
    }
    zero_variance[m] = constant_somewhere;
  }
}

}  // namespace

std::vector<unsigned char> constant_columns(const Matrix& columns, const BatchLevels& levels) {
  std::vector<unsigned char> constant(static_cast<std::size_t>(columns.cols()), 0);
  std::vector<double> level_first(levels.level_count());
  std::vector<unsigned char> started(levels.level_count()), varies(levels.level_count());
  for (Eigen::Index j = 0; j < columns.cols(); ++j) {
    const double* column = columns.col(j).data();
    std::ranges::fill(started, 0);
    std::ranges::fill(varies, 0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(columns.rows()); ++i) {
      const std::size_t level = levels.level_of_sample(i);
      if (!started[level]) {
        level_first[level] = column[i];
        started[level] = 1;
        continue;
      }
      varies[level] |= !(column[i] == level_first[level]);
    }
    for (std::size_t level = 0; level < levels.level_count(); ++level) {
      if (levels.level_size(level) >= 2 && !varies[level]) constant[static_cast<std::size_t>(j)] = 1;
    }
  }
  return constant;
}

FeatureSelection select_nonzero_variance_features(std::span<const double> values,
                                                  std::size_t n_samples,
                                                  std::size_t n_features,
                                                  const BatchLevels& levels,
                                                  ParallelPlan plan) {
  std::vector<unsigned char> zero_variance(n_features, 0);
  const std::size_t n_blocks = (n_features + kFeatureBlock - 1) / kFeatureBlock;
  parallel_for(plan.parallel && n_features >= 2, n_blocks, [&](std::size_t block) {
    const std::size_t first = block * kFeatureBlock;
    const std::size_t last = std::min(n_features, first + kFeatureBlock);
    find_constant_features(values, n_samples, n_features, levels, first, last,
                           std::span(zero_variance).subspan(first, last - first));
  });

  FeatureSelection selection;
  for (std::size_t j = 0; j < n_features; ++j) {
    if (zero_variance[j]) {
      selection.zero_variance_features.push_back(j);
    } else {
      selection.kept.push_back(j);
    }
  }
  return selection;
}

}  // namespace quarnel
