// Features constant within some batch of two or more samples carry no information about
// that batch's scale, so they are set aside before any statistics and put back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/parallel.hpp"

namespace quarnel {

struct FeatureSelection {
  std::vector<std::size_t> kept;                      // features to correct, ascending
  std::vector<std::uint64_t> zero_variance_features;  // features passed through, ascending
};

// A feature is zero-variance when some level with at least two samples holds a single
// value in it (exact equality, so 0.0 and -0.0 agree and a NaN always differs).
FeatureSelection select_nonzero_variance_features(std::span<const double> values,
                                                  std::size_t n_samples,
                                                  std::size_t n_features,
                                                  const BatchLevels& levels,
                                                  ParallelPlan plan);

// The same test on the columns of a column-major matrix whose rows are the samples: per
// column, whether it is set aside.
std::vector<unsigned char> constant_columns(const Matrix& columns, const BatchLevels& levels);

}  // namespace quarnel
