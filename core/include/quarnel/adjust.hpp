// The final adjustment: batch effects removed from the standardised data, which is then
// mapped back to the scale of the input.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {

// Fills the rows of samples [first, last) of the adjusted kept matrix; `rows` holds those
// rows, G values each. Every value is
//   (standardized - gamma_star) / sqrt(delta_star) * scale + stand_mean
// in exactly that order, with the estimates of the sample's level. Features are the outer
// loop so that each feature's standardised values are read contiguously.
void adjust_sample_rows(std::size_t first, std::size_t last, std::span<double> rows,
                        const Standardization& standardization,
                        const ParametricEstimates& estimates,
                        std::span<const std::size_t> sample_levels,
                        std::span<const double> scale_factors);

// One sample's row: adjust_sample_rows over that sample alone.
inline void adjust_sample_row(std::size_t sample, std::span<double> row,
                              const Standardization& standardization,
                              const ParametricEstimates& estimates,
                              std::span<const std::size_t> sample_levels,
                              std::span<const double> scale_factors) {
  adjust_sample_rows(sample, sample + 1, row, standardization, estimates, sample_levels,
                     scale_factors);
}

// The adjusted kept matrix, row-major n x G. A NaN (missing) input stays NaN in place.
std::vector<double> adjust_parametric(const Standardization& standardization,
                                      const ParametricEstimates& estimates,
                                      const BatchLevels& levels, ParallelPlan plan);

}  // namespace quarnel
