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

// The adjusted kept matrix (n x G, the buffer of the standardised data, adjusted in
// place). Every value is
//   (standardized - gamma_star) / sqrt(delta_star) * scale + stand_mean
// in exactly that order, with the estimates of the sample's level and scale the square
// root of the feature's pooled variance. A NaN (missing) input stays NaN in place. With
// `plan.parallel` the features are adjusted in blocks on the worker pool; each value
// depends only on its own inputs, so the bits are the same either way.
Matrix adjust_parametric(Standardization standardization, const ParametricEstimates& estimates,
                         const BatchLevels& levels, ParallelPlan plan);

}  // namespace quarnel
