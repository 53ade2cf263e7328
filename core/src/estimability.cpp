#include "quarnel/estimability.hpp"

#include <algorithm>
#include <cmath>

#include "quarnel/design.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

FeatureVerdict at_level(FeatureIssue issue, const BatchLevels& levels, std::size_t level) {
  return {issue, levels.batch_id(level)};
}

}  // namespace

FeatureVerdict fit_failure_verdict(const CombatError& error, const BatchLevels& levels,
                                   std::span<const std::size_t> level_counts) {
  // A batch without an observed value leaves its indicator column empty: the fit is
  // singular for that reason first of all.
  for (std::size_t level = 0; level < level_counts.size(); ++level) {
    if (level_counts[level] == 0) return at_level(FeatureIssue::no_values, levels, level);
  }
  if (std::holds_alternative<SingularDesign>(error)) return {FeatureIssue::singular, std::nullopt};
  return {FeatureIssue::numerical, std::nullopt};
}

FeatureVerdict variance_failure_verdict(const BatchLevels& levels,
                                        std::span<const std::size_t> level_counts,
                                        std::optional<std::size_t> reference_level,
                                        bool no_free_residual, bool overflowed) {
  if (reference_level && level_counts[*reference_level] < 2) {
    return at_level(FeatureIssue::few_values, levels, *reference_level);
  }
  if (overflowed) return {FeatureIssue::too_large, std::nullopt};
  if (no_free_residual) return {FeatureIssue::no_residual, std::nullopt};
  // With a reference the pooled variance is the reference level's alone.
  if (reference_level) return at_level(FeatureIssue::equal_values, levels, *reference_level);
  return {FeatureIssue::equal_values, std::nullopt};
}

namespace {

// The first level, in level order, whose scale estimate the feature cannot give.
// `level_fitted` holds the feature's entries of DesignFit::level_fitted.
std::optional<FeatureVerdict> scale_verdict(const BatchLevels& levels, const ScaleMeasurements& scales,
                                            Index feature, std::span<const unsigned char> level_fitted) {
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    const auto i = static_cast<Index>(level);
    if (scales.counts(i, feature) < 2) return at_level(FeatureIssue::few_values, levels, level);
    if (level_fitted[level]) return at_level(FeatureIssue::level_fitted, levels, level);
    if (scale_entry_failure(scales.counts(i, feature), scales.delta_hat(i, feature))) {
      return at_level(FeatureIssue::equal_values, levels, level);
    }
  }
  return std::nullopt;
}

}  // namespace

FeatureVerdict kept_feature_verdict(const StandardizedFeatures& each, const ScaleMeasurements& scales,
                                    std::size_t m, const BatchLevels& levels,
                                    std::optional<std::size_t> reference_level, bool judge_scales) {
  const auto column = static_cast<Index>(m);
  // Standardisation keeps every NaN where it was and makes no new one, so the scales'
  // counts are the observed ones.
  std::vector<std::size_t> level_counts(levels.level_count());
  for (std::size_t level = 0; level < level_counts.size(); ++level) {
    level_counts[level] = scales.counts(static_cast<Index>(level), column);
  }
  if (!each.fit_status[m]) return fit_failure_verdict(each.fit_status[m].error(), levels, level_counts);
  if (!each.variance_status[m]) {
    return variance_failure_verdict(levels, level_counts, reference_level, each.no_free_residual[m],
                                    each.variance_overflow[m]);
  }
  if (!judge_scales) return {};
  const auto level_fitted = std::span(each.level_fitted).subspan(m * levels.level_count(), levels.level_count());
  return scale_verdict(levels, scales, column, level_fitted).value_or(FeatureVerdict{});
}

Result<FeatureAssessment> assess_features(const CombatDenseRequest& request,
                                          const CombatOptions& options) {
  Result<BatchLevels> validated = validate_request(request, options);
  if (!validated) return fail(std::move(validated.error()));
  const BatchLevels& levels = *validated;
  const std::size_t n_samples = request.n_samples;
  const std::size_t n_features = request.n_features;
  const ParallelPlan plan = ParallelPlan::for_shape(n_samples, n_features, levels.level_count());
  const std::optional<std::size_t> reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;

  const FeatureSelection selection =
      select_nonzero_variance_features(request.values, n_samples, n_features, levels, plan);
  FeatureAssessment assessment;
  assessment.verdicts.resize(n_features);
  for (const std::uint64_t j : selection.zero_variance_features) {
    assessment.verdicts[j] = {FeatureIssue::constant, std::nullopt};
  }
  const std::vector<std::size_t>& kept = selection.kept;
  Matrix projected = project_features(request.values, n_samples, n_features, kept, plan);
  const RunMode mode =
      decide_run_mode(options.mean_only, levels, kept.size(), has_missing(projected, plan.parallel));
  assessment.effective_mean_only = mode.effective_mean_only;
  if (kept.empty()) return assessment;
  Result<StandardizedFeatures> each = standardize_each(std::move(projected), levels, request.covariates,
                                                       reference_level, mode.missing, plan.parallel);
  if (!each) return fail(std::move(each.error()));
  const ScaleMeasurements scales = measure_scales(each->standardization.standardized, levels, plan.parallel);
  for (std::size_t m = 0; m < kept.size(); ++m) {
    assessment.verdicts[kept[m]] =
        kept_feature_verdict(*each, scales, m, levels, reference_level, !mode.effective_mean_only);
  }
  return assessment;
}

}  // namespace quarnel
