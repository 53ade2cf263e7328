// One correction run on a request the front door has validated: the order of the stages,
// the run-wide decisions (plan, effective mean-only mode, reference level), the choice of
// estimator, and the report.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {

// What fitting features as one problem gives: the report, the kept features, and per kept
// feature its standardisation (grand mean, covariate coefficients, pooled variance) and its
// batch effects (empty when no feature is kept).
struct PipelineFit {
  CombatDenseReport report;
  std::optional<std::size_t> reference_level;
  std::vector<std::size_t> kept;         // ascending column indices
  std::vector<double> grand_mean;        // per kept feature
  Matrix covariate_coefficients;         // non-intercept covariates x kept features
  std::vector<double> pooled_variance;   // per kept feature
  ParametricEstimates estimates;         // levels x kept features
};

// Fits `features` (ascending column indices) as one problem, exactly as a request holding
// only those columns would be fitted. The report's zero-variance features are those of
// `features`.
Result<PipelineFit> fit_pipeline(const CombatDenseRequest& request, const CombatOptions& options,
                                 const BatchLevels& levels, std::span<const std::size_t> features);

// The two ends of fit_pipeline, for a run whose kept features another stage has already
// standardised. start_pipeline: the run's report so far (singleton batches, and the
// features of `features` that `selection` passes through) and its kept features.
// fit_standardized: the rest, from the kept features' standardisation in the run's `mode`.
PipelineFit start_pipeline(const CombatOptions& options, const BatchLevels& levels,
                           std::span<const std::size_t> features, const FeatureSelection& selection);
Result<PipelineFit> fit_standardized(PipelineFit fit, Standardization standardization,
                                     const BatchLevels& levels, const CombatOptions& options,
                                     const RunMode& mode, std::size_t n_samples);

// 0, 1, ..., n_features - 1.
std::vector<std::size_t> every_feature(std::size_t n_features);

}  // namespace quarnel
