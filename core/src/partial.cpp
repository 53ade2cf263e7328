#include "quarnel/partial.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "quarnel/design.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/pipeline.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

PartialFit not_corrected(FeatureVerdict verdict) {
  PartialFit fit;
  fit.outcome = PartialOutcome{verdict.issue, verdict.batch, {}};
  return fit;
}

PartialFit numerical_failure() { return not_corrected({FeatureIssue::numerical, std::nullopt}); }

// One partial feature's own problem: the samples of the batches it is observed in, with
// their levels, covariates and values.
struct SubProblem {
  std::vector<std::size_t> rows;        // sample indices, ascending
  std::vector<std::uint64_t> ids;       // their batch ids
  std::vector<double> covariates;       // row-major rows x n_covariates
  Matrix response;                      // rows x 1
};

SubProblem sub_problem(const CombatDenseRequest& request, const BatchLevels& levels,
                       std::span<const std::size_t> level_counts, std::size_t feature) {
  SubProblem sub;
  for (std::size_t i = 0; i < request.n_samples; ++i) {
    if (level_counts[levels.level_of_sample(i)] > 0) sub.rows.push_back(i);
  }
  sub.response.resize(static_cast<Index>(sub.rows.size()), 1);
  const std::uint64_t k = request.covariates ? request.covariates->n_covariates : 0;
  for (std::size_t r = 0; r < sub.rows.size(); ++r) {
    const std::size_t i = sub.rows[r];
    sub.ids.push_back(request.batch[i]);
    sub.response(static_cast<Index>(r), 0) = request.values[i * request.n_features + feature];
    for (std::uint64_t c = 0; c < k; ++c) sub.covariates.push_back(request.covariates->at(i, c));
  }
  return sub;
}

// The observed standardised values of one level, in sample order.
std::vector<double> observed_in_level(const Matrix& standardized, const BatchLevels& levels,
                                      std::size_t level) {
  std::vector<double> observed;
  for (Index i = 0; i < standardized.rows(); ++i) {
    const double z = standardized(i, 0);
    if (levels.level_of_sample(static_cast<std::size_t>(i)) == level && !std::isnan(z)) {
      observed.push_back(z);
    }
  }
  return observed;
}

}  // namespace

CompletePriors complete_priors(const ParametricEstimates& estimates, const BatchLevels& levels,
                               std::optional<std::size_t> reference_level, bool par_prior,
                               bool mean_only, bool exact) {
  CompletePriors priors;
  priors.par_prior = par_prior;
  priors.mean_only = mean_only;
  priors.exact = exact;
  priors.reference_level = reference_level;
  if (estimates.gamma_hat.cols() < 2) return priors;  // no prior was formed
  priors.n_complete = static_cast<std::size_t>(estimates.gamma_hat.cols());
  if (!par_prior) {
      priors.nonparametric =
        prepare_posterior_inputs(levels, estimates.gamma_hat, estimates.delta_hat);
    return priors;
  }
  priors.parametric.resize(levels.level_count());
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (level == reference_level) continue;
    // The run formed these very priors and succeeded, so they exist.
    Result<LevelPrior> prior = mean_only
                                   ? mean_only_level_prior(estimates.gamma_hat, level)
                                   : full_level_prior(estimates.gamma_hat, estimates.delta_hat, level);
    if (prior) priors.parametric[level] = *prior;
  }
  return priors;
}

PartialFit fit_partial_feature(const CombatDenseRequest& request, const BatchLevels& levels,
                               const CompletePriors& priors, std::size_t feature,
                               std::span<const std::size_t> covariate_columns) {
  std::vector<std::size_t> level_counts(levels.level_count(), 0);
  for (std::size_t i = 0; i < request.n_samples; ++i) {
    level_counts[levels.level_of_sample(i)] += !std::isnan(request.values[i * request.n_features + feature]);
  }
  if (std::ranges::count_if(level_counts, [](std::size_t c) { return c > 0; }) < 2) {
    return not_corrected({FeatureIssue::one_batch, std::nullopt});
  }
  if (priors.reference_level && level_counts[*priors.reference_level] == 0) {
    return not_corrected({FeatureIssue::no_reference, levels.batch_id(*priors.reference_level)});
  }
  if (priors.n_complete < 2) return not_corrected({FeatureIssue::no_prior, std::nullopt});

  SubProblem sub = sub_problem(request, levels, level_counts, feature);
  Result<BatchLevels> sub_levels = BatchLevels::from_ids(sub.ids, sub.ids.size());
  require(sub_levels.has_value(), "a partial feature is observed in two or more batches");
  // The sub-problem's levels are the observed batches in ascending id order, as the
  // run's levels are: sub-level k stands for the k-th observed level.
  std::vector<std::size_t> level_of_sub;
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (level_counts[level] > 0) level_of_sub.push_back(level);
  }
  std::vector<std::size_t> sub_counts;
  for (const std::size_t level : level_of_sub) sub_counts.push_back(level_counts[level]);
  const std::optional<std::size_t> sub_reference =
      priors.reference_level ? sub_levels->level_of_batch_id(levels.batch_id(*priors.reference_level))
                             : std::nullopt;
  std::optional<CovariateMatrix> covariates;
  if (request.covariates) covariates = CovariateMatrix{sub.covariates, request.covariates->n_covariates};

  // Always the missing-data formulas: the feature's observed samples are a subset.
  Result<StandardizedFeatures> each = standardize_each(std::move(sub.response), *sub_levels,
                                                       covariates, sub_reference, true, false);
  if (!each) return numerical_failure();
  if (!each->fit_status[0]) {
    return not_corrected(fit_failure_verdict(each->fit_status[0].error(), *sub_levels, sub_counts));
  }
  if (!each->variance_status[0]) {
    return not_corrected(variance_failure_verdict(*sub_levels, sub_counts, sub_reference,
                                                  each->no_free_residual[0], each->variance_overflow[0]));
  }
  const Standardization& standardization = each->standardization;
  const Matrix& z = standardization.standardized;
  Result<Matrix> gamma_hat = estimate_gamma_hat(z, *sub_levels, sub_reference, true);
  if (!gamma_hat) return numerical_failure();
  const ScaleMeasurements scales =
      priors.mean_only ? ScaleMeasurements{} : measure_scales(z, *sub_levels);

  // Per level of the feature's own problem: the verdict that keeps it from being corrected
  // there, or the prior its solver runs against. Levels are judged in order, the first
  // verdict or failed solver deciding, as a level-by-level walk would meet them.
  const std::size_t n_sub = level_of_sub.size();
  std::vector<std::optional<FeatureVerdict>> verdicts(n_sub);
  std::vector<std::optional<LevelPrior>> solved(n_sub);
  // A single observed value says nothing of the batch's scale: location only.
  std::vector<unsigned char> location_only(n_sub);
  for (std::size_t k = 0; k < n_sub; ++k) location_only[k] = priors.mean_only || sub_counts[k] < 2;
  for (std::size_t k = 0; k < n_sub; ++k) {
    const std::size_t level = level_of_sub[k];
    if (level == priors.reference_level || location_only[k]) continue;
    if (each->level_fitted[k]) {
      verdicts[k] = FeatureVerdict{FeatureIssue::level_fitted, levels.batch_id(level)};
    } else if (scale_entry_failure(sub_counts[k], scales.delta_hat(static_cast<Index>(k), 0))) {
      verdicts[k] = FeatureVerdict{FeatureIssue::equal_values, levels.batch_id(level)};
    } else if (priors.par_prior) {
      solved[k] = priors.parametric[level];
    }
  }
  // The fitted levels' solver, run for this feature alone.
  const std::vector<LevelTrace> traces =
      std::ranges::any_of(solved, [](const auto& prior) { return prior.has_value(); })
          ? trace_level_solvers(z, *gamma_hat, scales, *sub_levels, solved, std::vector<PassRule>(n_sub), false)
          : std::vector<LevelTrace>();

  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  PartialFit fit;
  const std::size_t n_levels = levels.level_count();
  fit.gamma_hat.assign(n_levels, kNaN);
  fit.delta_hat.assign(n_levels, kNaN);
  fit.gamma_star.assign(n_levels, kNaN);
  fit.delta_star.assign(n_levels, kNaN);
  for (std::size_t k = 0; k < n_sub; ++k) {
    const std::size_t level = level_of_sub[k];
    const double g_hat = (*gamma_hat)(static_cast<Index>(k), 0);
    const double d_hat = location_only[k] ? 1.0 : scales.delta_hat(static_cast<Index>(k), 0);
    fit.gamma_hat[level] = g_hat;
    fit.delta_hat[level] = d_hat;
    if (level == priors.reference_level) {
      fit.gamma_star[level] = 0.0;
      fit.delta_star[level] = 1.0;
      continue;
    }
    if (verdicts[k]) return not_corrected(*verdicts[k]);
    Result<std::pair<double, double>> posterior = std::pair{0.0, 1.0};
    if (solved[k]) {
      const Result<LevelEstimates>& outcome = traces[k].outcome;
      if (outcome) posterior = std::pair{outcome->gamma_star[0], outcome->delta_star[0]};
      else posterior = fail(CombatError(outcome.error()));
    } else if (priors.par_prior) {
      posterior = std::pair{mean_only_posterior(*priors.parametric[level], g_hat), 1.0};
    } else {
      posterior = nonparametric_posterior(observed_in_level(z, *sub_levels, k), *priors.nonparametric,
                                          level, priors.n_complete, priors.exact);
      if (posterior && location_only[k]) posterior->second = 1.0;
    }
    if (!posterior) return numerical_failure();
    fit.gamma_star[level] = posterior->first;
    fit.delta_star[level] = posterior->second;
  }

  // Finite data must come back finite: a feature whose correction overflows on its own
  // samples is passed through rather than failing the run.
  const double scale = std::sqrt(standardization.pooled_variance[0]);
  std::vector<double> mean(sub.rows.size());
  standardization.stand_mean.column(0, mean);
  for (std::size_t r = 0; r < sub.rows.size(); ++r) {
    const std::size_t level = level_of_sub[sub_levels->level_of_sample(r)];
    const double x = z(static_cast<Index>(r), 0);
    if (std::isnan(x) || level == priors.reference_level) continue;
    const double value =
        (x - fit.gamma_star[level]) / std::sqrt(fit.delta_star[level]) * scale + mean[r];
    if (!std::isfinite(value)) return numerical_failure();
  }

  // The feature's own covariate coefficients, in the run's columns: a column its own
  // design leaves out (an intercept on its samples) has coefficient 0.
  fit.grand_mean = standardization.stand_mean.grand()[0];
  fit.pooled_variance = standardization.pooled_variance[0];
  const std::vector<std::size_t> own =
      covariates ? non_intercept_columns(sub.rows.size(), *covariates) : std::vector<std::size_t>{};
  fit.covariate_coefficients.assign(covariate_columns.size(), 0.0);
  for (std::size_t c = 0; c < own.size(); ++c) {
    const auto at = std::ranges::find(covariate_columns, own[c]);
    require(at != covariate_columns.end(), "a column of the feature's design is one of the run's");
    fit.covariate_coefficients[static_cast<std::size_t>(at - covariate_columns.begin())] =
        standardization.stand_mean.coefficients()(static_cast<Index>(c), 0);
  }
  for (const std::size_t level : level_of_sub) fit.outcome.batches.push_back(levels.batch_id(level));
  return fit;
}

}  // namespace quarnel
