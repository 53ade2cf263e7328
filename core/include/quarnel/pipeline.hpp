// What a run records of its complete features, from the zero-variance test to the
// posteriors, before model_of_run turns it into the run's model (model.hpp). The driver
// (judged.hpp) starts the record with start_pipeline and fills in the kept features'
// standardisation and batch effects as its rounds give them; a chunk's round (fit_chunk,
// stages.hpp) fills in its own part.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {

// The report, the kept features, and per kept feature its standardisation (grand mean,
// covariate coefficients, pooled variance) and its batch effects (empty when no feature is
// kept).
struct PipelineFit {
  CombatDenseReport report;
  std::optional<std::size_t> reference_level;
  std::vector<std::size_t> kept;         // ascending column indices
  std::vector<double> grand_mean;        // per kept feature
  Matrix covariate_coefficients;         // non-intercept covariates x kept features
  std::vector<double> pooled_variance;   // per kept feature
  ParametricEstimates estimates;         // levels x kept features
};

// The run's record before any feature is standardised: the report so far (singleton
// batches, and the features of `features` that `selection` does not keep), the reference
// level and the kept features; with none kept, the report's mode too.
PipelineFit start_pipeline(const CombatOptions& options, const BatchLevels& levels,
                           std::span<const std::size_t> features, const FeatureSelection& selection);

// 0, 1, ..., n_features - 1.
std::vector<std::size_t> every_feature(std::size_t n_features);

}  // namespace quarnel
