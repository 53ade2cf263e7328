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

// Fills one sample's row of the adjusted kept matrix (G values):
//   (standardized - gamma_star) / sqrt(delta_star) * scale + stand_mean
// in exactly that order, with the level's estimates of every feature.
void adjust_sample_row(std::size_t sample, std::span<double> row,
                       const Standardization& standardization,
                       const ParametricEstimates& estimates,
                       std::span<const std::size_t> sample_levels,
                       std::span<const double> scale_factors);

// The adjusted kept matrix, row-major n x G. A NaN (missing) input stays NaN in place.
std::vector<double> adjust_parametric(const Standardization& standardization,
                                      const ParametricEstimates& estimates,
                                      const BatchLevels& levels, ParallelPlan plan);

}  // namespace quarnel
