// One correction run on a request the front door has validated: the order of the stages,
// the run-wide decisions (plan, effective mean-only mode, reference level), the choice of
// estimator, and the report.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/parametric.hpp"

namespace quarnel {

// What a run produced: its output, and the estimates the adjustment used (empty when no
// feature was estimated).
struct PipelineRun {
  CombatDenseOutput output;
  ParametricEstimates estimates;
  std::optional<std::size_t> reference_level;
};

// Corrects `features` (ascending column indices) as one problem, exactly as a request
// holding only those columns would be corrected; every other column of the output is the
// input's. The report's zero-variance features are those of `features`.
Result<PipelineRun> run_pipeline(const CombatDenseRequest& request, const CombatOptions& options,
                                 const BatchLevels& levels, std::span<const std::size_t> features);

// 0, 1, ..., n_features - 1.
std::vector<std::size_t> every_feature(std::size_t n_features);

// The whole request as one problem.
Result<CombatDenseOutput> combat_dense_impl(const CombatDenseRequest& request,
                                            const CombatOptions& options, BatchLevels levels);

}  // namespace quarnel
