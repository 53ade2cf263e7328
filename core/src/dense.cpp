// One correction run on a validated request: the order of the stages, the run-wide
// decisions (plan, effective mean-only mode, reference level), the choice of estimator,
// and the report.
#include <algorithm>
#include <cmath>
#include <iterator>

#include "quarnel/pipeline.hpp"

#include "quarnel/adjust.hpp"
#include "quarnel/nonparametric.hpp"
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
                                plan.parallel, options.cancel_requested);
}

// Finite data must come back finite. The model's arithmetic can still overflow on data
// that are finite but extreme (a batch 1e150 pooled deviations away from the others, a
// reference batch with almost no spread), and ±inf or NaN would then be returned in place
// of a corrected value. Rows of the reference batch are exempt: the input replaces them.
Status check_adjusted_values_finite(std::span<const double> values, const Matrix& adjusted,
                                    std::size_t n_features, std::span<const std::size_t> kept,
                                    const BatchLevels& levels,
                                    std::optional<std::size_t> reference_level,
                                    ParallelPlan plan) {
  const auto n_samples = static_cast<std::size_t>(adjusted.rows());
  std::vector<unsigned char> feature_failed(kept.size(), 0);
  parallel_for(plan.parallel && n_samples >= 2, kept.size(), [&](std::size_t m) {
    const double* column = adjusted.col(static_cast<Eigen::Index>(m)).data();
    for (std::size_t i = 0; i < n_samples; ++i) {
      // The input is looked at only for the rare non-finite value: NaN there is missing.
      if (!std::isfinite(column[i]) && levels.level_of_sample(i) != reference_level &&
          !std::isnan(values[i * n_features + kept[m]])) {
        feature_failed[m] = 1;
        return;
      }
    }
  });
  if (std::ranges::find(feature_failed, 1) != feature_failed.end()) {
    return fail(NumericalFailure{"batch adjustment produced a non-finite value"});
  }
  return {};
}

// Samples of the reference batch come back exactly as they came in, in every column.
void restore_reference_rows(std::span<const double> values, std::vector<double>& output,
                            std::size_t n_samples, std::size_t n_features,
                            const BatchLevels& levels, std::size_t reference_level,
                            ParallelPlan plan) {
  parallel_for(plan.parallel && n_samples >= 2, n_samples, [&](std::size_t i) {
    if (levels.level_of_sample(i) != reference_level) return;
    const double* row = values.data() + i * n_features;
    std::copy(row, row + n_features, output.begin() + static_cast<std::ptrdiff_t>(i * n_features));
  });
}

}  // namespace

std::vector<std::size_t> every_feature(std::size_t n_features) {
  std::vector<std::size_t> features(n_features);
  for (std::size_t j = 0; j < n_features; ++j) features[j] = j;
  return features;
}

Result<PipelineRun> run_pipeline(const CombatDenseRequest& request, const CombatOptions& options,
                                 const BatchLevels& levels, std::span<const std::size_t> features) {
  const std::size_t n_samples = request.n_samples;
  const std::size_t n_features = request.n_features;
  const CancelRequested& cancel = options.cancel_requested;
  stop_if_cancelled(cancel, {"standardise", 0, 1});
  const ParallelPlan plan = ParallelPlan::for_shape(n_samples, features.size(), levels.level_count());

  PipelineRun run;
  CombatDenseOutput& output = run.output;
  output.n_samples = request.n_samples;
  output.n_features = request.n_features;
  output.report.singleton_batches = singleton_batch_ids(levels);
  run.reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;
  const std::optional<std::size_t> reference_level = run.reference_level;
  require(!options.ref_batch || reference_level, "reference batch checked at the front door");

  // The test is per feature, so testing every column and keeping the run's gives the
  // run's features exactly the verdicts they would get alone.
  const FeatureSelection selection =
      select_nonzero_variance_features(request.values, n_samples, n_features, levels, plan);
  std::vector<std::size_t> kept;
  std::ranges::set_intersection(features, selection.kept, std::back_inserter(kept));
  std::ranges::set_difference(features, kept, std::back_inserter(output.report.zero_variance_features));
  output.report.effective_mean_only =
      options.mean_only || !output.report.singleton_batches.empty() || kept.size() < 2;

  if (kept.empty()) {
    output.adjusted.assign(request.values.begin(), request.values.end());
    return run;
  }
  stop_if_cancelled(cancel, {"standardise", 0, 1});

  // One n x G buffer carries the kept features through the stages: projected, then
  // standardised, then adjusted in place.
  Result<Standardization> standardization =
      standardize(project_features(request.values, n_samples, n_features, kept, plan), levels,
                  request.covariates, reference_level, plan.parallel);
  if (!standardization) return fail(std::move(standardization.error()));
  stop_if_cancelled(cancel, {"standardise", 1, 1});

  Result<ParametricEstimates> estimates =
      estimate_batch_effects(*standardization, levels, options,
                             output.report.effective_mean_only, reference_level, plan);
  if (!estimates) return fail(std::move(estimates.error()));
  stop_if_cancelled(cancel, {"adjust", 0, 1});

  const Matrix adjusted =
      adjust_parametric(std::move(*standardization), *estimates, levels, plan);
  if (Status finite = check_adjusted_values_finite(request.values, adjusted, n_features, kept,
                                                    levels, reference_level, plan);
      !finite) {
    return fail(std::move(finite.error()));
  }
  stop_if_cancelled(cancel, {"adjust", 1, 1});
  output.adjusted =
      reinsert_features(request.values, adjusted, n_samples, n_features, kept, plan);
  if (reference_level) {
    restore_reference_rows(request.values, output.adjusted, n_samples, n_features, levels,
                           *reference_level, plan);
  }
  run.estimates = std::move(*estimates);
  return run;
}

Result<CombatDenseOutput> combat_dense_impl(const CombatDenseRequest& request,
                                            const CombatOptions& options, BatchLevels levels) {
  Result<PipelineRun> run =
      run_pipeline(request, options, levels, every_feature(request.n_features));
  if (!run) return fail(std::move(run.error()));
  return std::move(run->output);
}

}  // namespace quarnel
