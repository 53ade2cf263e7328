// Which features a run can estimate, judged one by one by the run's own stages.
//
// A run fails as a whole at its first failing feature. Callers that would rather set such
// features aside ask first: assess_features carries out the stages that can fail for one
// feature alone (the design fit, the pooled variance, the per-batch scale) in the mode the
// whole run would use, and reports every feature's outcome instead of stopping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/error.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {

// Why a feature cannot be estimated, or how it is handled instead.
enum class FeatureIssue : std::uint8_t {
  none = 0,          // estimated and corrected
  constant = 1,      // constant within a batch: the run passes it through itself
  no_values = 2,     // a batch holds no observed value
  few_values = 3,    // a batch holds fewer than the two observed values its estimate needs
  no_residual = 4,   // the observed values leave no residual degree of freedom
  singular = 5,      // the observed samples do not determine the design's coefficients
  equal_values = 6,  // the observed values leave no spread to estimate a variance from
  numerical = 7,     // any other numerical failure of the feature's own estimates
  one_batch = 8,     // observed in fewer than two batches
  no_reference = 9,  // not observed in the reference batch
  no_prior = 10,     // the fully observed features are too few to form priors
  level_fitted = 11,  // the design fits every observed value of a batch exactly
  too_large = 12,     // the values are too large to square: no variance can be held
};

struct FeatureVerdict {
  FeatureIssue issue = FeatureIssue::none;
  std::optional<std::uint64_t> batch;  // the batch id the issue concerns, where there is one
};

struct FeatureAssessment {
  std::vector<FeatureVerdict> verdicts;  // one per feature
  bool effective_mean_only = false;      // the mode the judgement was made in
};

// The verdict on a feature whose fit failed with `error`, given its observed count in
// every level.
FeatureVerdict fit_failure_verdict(const CombatError& error, const BatchLevels& levels,
                                   std::span<const std::size_t> level_counts);

// The verdict on a feature whose pooled variance failed: too few observed values in the
// reference level, residuals whose squares overflow, residuals the design fits exactly, or
// residuals that are all zero.
FeatureVerdict variance_failure_verdict(const BatchLevels& levels,
                                        std::span<const std::size_t> level_counts,
                                        std::optional<std::size_t> reference_level,
                                        bool no_free_residual, bool overflowed);

// The verdict on column m of `each`, a kept feature's standardisation outcome, with the
// scales measured on its standardised values: its fit's failure, its pooled variance's,
// or, with `judge_scales`, that of the first level whose scale it cannot estimate; no
// issue otherwise.
FeatureVerdict kept_feature_verdict(const StandardizedFeatures& each, const ScaleMeasurements& scales,
                                    std::size_t m, const BatchLevels& levels,
                                    std::optional<std::size_t> reference_level, bool judge_scales);

// Every feature's verdict for the request and options as they stand. Fails only with the
// errors that concern the whole request (those of the front door, a singular design of
// complete data); a feature's own failure is its verdict.
Result<FeatureAssessment> assess_features(const CombatDenseRequest& request,
                                          const CombatOptions& options);

}  // namespace quarnel
