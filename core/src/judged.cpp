#include "quarnel/judged.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "quarnel/cancel.hpp"
#include "quarnel/design.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/pipeline.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

bool ascending_within(std::span<const std::size_t> features, std::uint64_t n_features) {
  return std::ranges::adjacent_find(features, std::greater_equal<>()) == features.end() &&
         (features.empty() || features.back() < n_features);
}

// The judged columns of the run's kept features `kept` (a subset of the judged ones).
std::vector<Index> judged_columns(const JudgedFeatures& judged, std::span<const std::size_t> kept) {
  std::vector<Index> columns;
  const std::vector<std::size_t>& all = judged.selection.kept;
  for (const std::size_t j : kept) {
    columns.push_back(static_cast<Index>(std::ranges::lower_bound(all, j) - all.begin()));
  }
  return columns;
}

bool any_missing(const Matrix& values, std::span<const Index> columns) {
  return std::ranges::any_of(columns, [&](Index c) { return values.col(c).hasNaN(); });
}

// The judged standardisation of `columns` alone, taken out of `judged` in place: what
// standardising those features in the same mode gives, or the error it meets, since every
// feature's standardisation depends on its own values only.
Result<Standardization> judged_standardization(StandardizedFeatures& judged, std::span<const Index> columns,
                                               bool missing) {
  // Every fit error comes before any variance error, as in standardize_in_mode.
  for (const Index c : columns) {
    if (!judged.fit_status[static_cast<std::size_t>(c)]) return fail(judged.fit_status[static_cast<std::size_t>(c)].error());
  }
  for (const Index c : columns) {
    if (!judged.variance_status[static_cast<std::size_t>(c)]) {
      return fail(judged.variance_status[static_cast<std::size_t>(c)].error());
    }
  }
  Standardization& all = judged.standardization;
  Standardization out;
  out.stand_mean = all.stand_mean.of(columns);
  for (const Index c : columns) out.pooled_variance.push_back(all.pooled_variance[static_cast<std::size_t>(c)]);
  // Columns move left (each to a place at or before its own), so the buffer is reused.
  Matrix& values = all.standardized;
  for (std::size_t m = 0; m < columns.size(); ++m) {
    if (columns[m] != static_cast<Index>(m)) values.col(static_cast<Index>(m)) = values.col(columns[m]);
  }
  values.conservativeResize(values.rows(), static_cast<Index>(columns.size()));
  out.standardized = std::move(values);
  out.has_missing = missing;
  return out;
}

// The run's kept features standardised in its mode: the judged columns, or, when they were
// judged in another mode (a NaN only in features left out of the run), the features
// standardised anew once the judged ones are released.
Result<Standardization> judged_or_anew(const CombatDenseRequest& request, JudgedFeatures& judged,
                                       const PipelineFit& fit, std::span<const Index> columns,
                                       const RunMode& mode, const ParallelPlan& plan) {
  if (mode.missing == judged.mode.missing) return judged_standardization(judged.standardized, columns, mode.missing);
  judged.standardized = StandardizedFeatures{};
  return standardize_in_mode(
      project_features(request.values, request.n_samples, request.n_features, fit.kept, plan),
      judged.levels, request.covariates, fit.reference_level, mode.missing, plan.parallel);
}

}  // namespace

Result<ModelFit> fit_model_judged(const CombatDenseRequest& request, const CombatOptions& options,
                                  const ChooseFeatures& choose) {
  stop_if_cancelled(options.cancel_requested, {"standardise", 0, 1});
  Result<JudgedFeatures> judged = judge_features(request, options);
  if (!judged) return fail(std::move(judged.error()));
  const FeatureChoice choice = choose(judged->assessment);
  require(ascending_within(choice.complete, request.n_features) &&
              ascending_within(choice.partial, request.n_features),
          "chosen feature lists are ascending indices of the request's features");
  const BatchLevels& levels = judged->levels;
  PipelineFit fit = start_pipeline(options, levels, choice.complete, judged->selection);
  if (!fit.kept.empty()) {
    const std::vector<Index> columns = judged_columns(*judged, fit.kept);
    const bool missing = any_missing(judged->standardized.standardization.standardized, columns);
    const RunMode mode = decide_run_mode(options.mean_only, levels, fit.kept.size(), missing);
    const ParallelPlan plan = ParallelPlan::for_shape(request.n_samples, fit.kept.size(), levels.level_count());
    Result<Standardization> standardization = judged_or_anew(request, *judged, fit, columns, mode, plan);
    if (!standardization) return fail(std::move(standardization.error()));
    Result<PipelineFit> run =
        fit_standardized(std::move(fit), std::move(*standardization), levels, options, mode, request.n_samples);
    if (!run) return fail(std::move(run.error()));
    fit = std::move(*run);
  }
  return model_of_run(request, options, levels, fit, fit.estimates, choice.partial);
}

Result<PartialCombatOutput> combat_dense_judged(const CombatDenseRequest& request,
                                                const CombatOptions& options,
                                                const ChooseFeatures& choose) {
  Result<ModelFit> fit = fit_model_judged(request, options, choose);
  if (!fit) return fail(std::move(fit.error()));
  return correct_with_fit(std::move(*fit), request, options);
}

}  // namespace quarnel
