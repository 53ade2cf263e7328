// The raw per-level estimates every estimator starts from: each level's location
// (gamma_hat) and scale (delta_hat) of every kept feature, measured on the standardised
// data. All L x G matrices are column-major model matrices: row i is batch level i.
#pragma once

#include <cstddef>
#include <optional>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

// Per-level location estimates: the batch-only design fitted to the standardised data.
// Without a reference, row i is level i's mean; with reference r, row r is the reference
// mean and every other row its level's mean minus the reference mean. `missing` says
// whether the data hold any NaN (Standardization::has_missing, or has_missing): the fit
// then goes feature by feature, on the worker pool with `parallel`, with the same bits.
Result<Matrix> estimate_gamma_hat(const Matrix& standardized, const BatchLevels& levels,
                                  std::optional<std::size_t> reference_level, bool missing,
                                  bool parallel = false);

// Per-level scale estimates before they are checked: the sample variance of each level's
// observed standardised values of each feature, with its observed count (both L x G), so
// that each feature can be judged on its own and the run's checks made over all of them.
// Serial and parallel runs give the same bits.
struct ScaleMeasurements {
  Matrix delta_hat;
  Eigen::Matrix<std::size_t, Eigen::Dynamic, Eigen::Dynamic> counts;
};
ScaleMeasurements measure_scales(const Matrix& standardized, const BatchLevels& levels,
                                 bool parallel = false);

// Why one entry of delta_hat cannot serve as a scale estimate, if it cannot: fewer than two
// observed values, or a variance that is not positive and finite.
std::optional<CombatError> scale_entry_failure(std::size_t count, double delta_hat);

// The run's checks of its scale estimates, made in this order: every level has two samples
// or more; then every entry, in level-major order.
Status check_scale_levels(const BatchLevels& levels);
Status check_scale_entries(const ScaleMeasurements& scales);

}  // namespace quarnel
