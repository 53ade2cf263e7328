// One correction run on a validated request: the order of the stages, the run-wide
// decisions (plan, effective mean-only mode, reference level), the choice of estimator,
// and the report.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "quarnel/pipeline.hpp"

#include "quarnel/design.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {
namespace {

std::vector<std::uint64_t> singleton_batch_ids(const BatchLevels& levels) {
  std::vector<std::uint64_t> ids;
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (levels.level_size(level) == 1) ids.push_back(levels.batch_id(level));
  }
  return ids;
}

// Exactly one estimator runs: a single kept feature cannot inform a prior, so it gets
// unshrunken location effects whatever the options say.
Result<ParametricEstimates> estimate_batch_effects(const Standardization& standardization,
                                                   const BatchLevels& levels,
                                                   const CombatOptions& options,
                                                   bool effective_mean_only,
                                                   std::optional<std::size_t> reference_level,
                                                   ParallelPlan plan) {
  if (standardization.standardized.cols() == 1) {
    return fit_unshrunken_mean_only(standardization, levels, reference_level);
  }
  if (options.par_prior) {
    return fit_parametric(standardization, levels, effective_mean_only, reference_level,
                          plan.parallel, options.cancel_requested);
  }
  return fit_feature_posteriors(standardization, levels, effective_mean_only, reference_level,
                                plan.parallel, options.cancel_requested, options.exact);
}

}  // namespace

std::vector<std::size_t> every_feature(std::size_t n_features) {
  std::vector<std::size_t> features(n_features);
  for (std::size_t j = 0; j < n_features; ++j) features[j] = j;
  return features;
}

PipelineFit start_pipeline(const CombatOptions& options, const BatchLevels& levels,
                           std::span<const std::size_t> features, const FeatureSelection& selection) {
  PipelineFit fit;
  CombatDenseReport& report = fit.report;
  report.singleton_batches = singleton_batch_ids(levels);
  fit.reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;
  require(!options.ref_batch || fit.reference_level, "reference batch checked at the front door");
  // The test is per feature, so testing every column and keeping the run's gives the
  // run's features exactly the verdicts they would get alone.
  std::ranges::set_intersection(features, selection.kept, std::back_inserter(fit.kept));
  std::ranges::set_difference(features, fit.kept, std::back_inserter(report.zero_variance_features));
  if (fit.kept.empty()) {
    report.effective_mean_only = decide_run_mode(options.mean_only, levels, 0, false).effective_mean_only;
  }
  return fit;
}

Result<PipelineFit> fit_standardized(PipelineFit fit, Standardization standardization,
                                     const BatchLevels& levels, const CombatOptions& options,
                                     const RunMode& mode, std::size_t n_samples) {
  stop_if_cancelled(options.cancel_requested, {"standardise", 1, 1});
  const ParallelPlan plan = ParallelPlan::for_shape(n_samples, fit.kept.size(), levels.level_count());
  fit.report.effective_mean_only = mode.effective_mean_only;
  Result<ParametricEstimates> estimates =
      estimate_batch_effects(standardization, levels, options, mode.effective_mean_only,
                             fit.reference_level, plan);
  if (!estimates) return fail(std::move(estimates.error()));
  fit.grand_mean = standardization.stand_mean.grand();
  fit.covariate_coefficients = standardization.stand_mean.coefficients();
  fit.pooled_variance = std::move(standardization.pooled_variance);
  fit.estimates = std::move(*estimates);
  return fit;
}

Result<PipelineFit> fit_pipeline(const CombatDenseRequest& request, const CombatOptions& options,
                                 const BatchLevels& levels, std::span<const std::size_t> features) {
  const std::size_t n_samples = request.n_samples;
  const std::size_t n_features = request.n_features;
  stop_if_cancelled(options.cancel_requested, {"standardise", 0, 1});
  const ParallelPlan plan = ParallelPlan::for_shape(n_samples, features.size(), levels.level_count());
  const FeatureSelection selection =
      select_nonzero_variance_features(request.values, n_samples, n_features, levels, plan);
  PipelineFit fit = start_pipeline(options, levels, features, selection);
  if (fit.kept.empty()) return fit;

  // One n x G buffer carries the kept features through the stages: projected, then
  // standardised; it is released when the estimates are made.
  Matrix projected = project_features(request.values, n_samples, n_features, fit.kept, plan);
  const RunMode mode = decide_run_mode(options.mean_only, levels, fit.kept.size(),
                                       has_missing(projected, plan.parallel));
  Result<Standardization> standardization = standardize_in_mode(
      std::move(projected), levels, request.covariates, fit.reference_level, mode.missing, plan.parallel);
  if (!standardization) return fail(std::move(standardization.error()));
  return fit_standardized(std::move(fit), std::move(*standardization), levels, options, mode, n_samples);
}

}  // namespace quarnel
