#include "quarnel/nonparametric.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quarnel/parallel.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kTwoPi = 6.283185307179586;

// Observed values of one feature among a level's members, in ascending sample order.
std::vector<double> observed_values(const Matrix& standardized, std::size_t feature,
                                    const std::vector<std::size_t>& members) {
  const double* column = standardized.col(static_cast<Index>(feature)).data();
  std::vector<double> values;
  values.reserve(members.size());
  for (const std::size_t s : members) {
    if (!std::isnan(column[s])) values.push_back(column[s]);
  }
  return values;
}

// For every prior feature m, the sum of (x - gamma_hat(m))^2 over the observed values x.
// The loop over m is innermost so that each sum still adds its terms in sample order
// while the independent sums of neighbouring m are computed side by side, four observed
// values per sweep so that each sum is loaded and stored once per four terms. It is built
// for AVX2 as well as the baseline: each lane does the same IEEE subtract, multiply and add
// as the scalar code (no fused multiply-add), so every machine gets the same bits.
__attribute__((target_clones("avx2", "default")))
std::vector<double> squared_distances(const std::vector<double>& observed,
                                      const std::vector<double>& gamma_row) {
  const std::size_t width = gamma_row.size();
  std::vector<double> sums(width, 0.0);
  const double* g = gamma_row.data();
  double* out = sums.data();
  std::size_t k = 0;
  for (; k + 4 <= observed.size(); k += 4) {
    const double x0 = observed[k], x1 = observed[k + 1];
    const double x2 = observed[k + 2], x3 = observed[k + 3];
    for (std::size_t m = 0; m < width; ++m) {
      const double d0 = x0 - g[m], d1 = x1 - g[m], d2 = x2 - g[m], d3 = x3 - g[m];
      out[m] = (((out[m] + d0 * d0) + d1 * d1) + d2 * d2) + d3 * d3;
    }
  }
  for (; k < observed.size(); ++k) {
    const double x = observed[k];
    for (std::size_t m = 0; m < width; ++m) {
      const double distance = x - g[m];
      out[m] += distance * distance;
    }
  }
  return sums;
}

}  // namespace

PosteriorInputs prepare_posterior_inputs(const Matrix& standardized, const BatchLevels& levels,
                                         const Matrix& gamma_hat, const Matrix& delta_hat) {
  PosteriorInputs inputs;
  inputs.standardized = &standardized;
  inputs.members = levels.members_of_all_levels();
  const std::size_t n_levels = levels.level_count();
  for (std::size_t i = 0; i < n_levels; ++i) {
    std::vector<double> g = row_values(gamma_hat, i);
    std::vector<double> d = row_values(delta_hat, i);
    std::vector<double> logs(d.size());
    std::vector<std::size_t> unusable;
    for (std::size_t m = 0; m < d.size(); ++m) {
      logs[m] = std::log(d[m] * kTwoPi);
      if (!std::isfinite(g[m]) || !is_positive_finite(d[m])) unusable.push_back(m);
    }
    inputs.gamma_rows.push_back(std::move(g));
    inputs.delta_rows.push_back(std::move(d));
    inputs.log_terms.push_back(std::move(logs));
    inputs.unusable.push_back(std::move(unusable));
  }
  return inputs;
}

Result<FeaturePosterior> posterior_job(std::size_t job, std::size_t n_features,
                                       const PosteriorInputs& inputs) {
  const std::size_t level = job / n_features;
  const std::size_t feature = job % n_features;
  // Any other feature with an unusable raw estimate fails the job, whatever the others
  // hold; the job's own estimates never enter its result.
  for (const std::size_t m : inputs.unusable[level]) {
    if (m != feature) {
      return fail(NumericalFailure{"non-parametric prior value is not positive finite"});
    }
  }

  const std::vector<double>& g = inputs.gamma_rows[level];
  const std::vector<double>& d = inputs.delta_rows[level];
  const std::vector<double>& logs = inputs.log_terms[level];
  const std::vector<double> observed =
      observed_values(*inputs.standardized, feature, inputs.members[level]);
  const std::vector<double> sums = squared_distances(observed, g);
  const double half_count = static_cast<double>(observed.size()) * -0.5;

  // Log-likelihood of the target feature's data under each other feature's estimates;
  // one that cannot be represented leaves that feature out rather than failing the job.
  std::vector<double> log_likelihoods;
  std::vector<std::size_t> sources;
  log_likelihoods.reserve(n_features - 1);
  sources.reserve(n_features - 1);
  double largest = -std::numeric_limits<double>::infinity();
  for (std::size_t m = 0; m < n_features; ++m) {
    if (m == feature) continue;
    const double log_likelihood = logs[m] * half_count - sums[m] / (d[m] + d[m]);
    if (!std::isfinite(log_likelihood)) continue;
    log_likelihoods.push_back(log_likelihood);
    sources.push_back(m);
    largest = std::max(largest, log_likelihood);
  }
  if (log_likelihoods.empty()) {
    return fail(NumericalFailure{"non-parametric likelihood has no finite support"});
  }

  // Shifting by the largest log-likelihood makes its weight exactly 1: no weight
  // overflows and at least one is not zero.
  double total = 0.0;
  double location = 0.0;
  double scale = 0.0;
  for (std::size_t k = 0; k < log_likelihoods.size(); ++k) {
    const double weight = std::exp(log_likelihoods[k] - largest);
    total += weight;
    location += g[sources[k]] * weight;
    scale += d[sources[k]] * weight;
  }
  if (!is_positive_finite(total)) {
    return fail(NumericalFailure{"non-parametric likelihood weights are degenerate"});
  }
  FeaturePosterior posterior{level, feature, location / total, scale / total};
  if (!std::isfinite(posterior.gamma_star) || !is_positive_finite(posterior.delta_star)) {
    return fail(NumericalFailure{"non-parametric posterior produced a non-finite value"});
  }
  return posterior;
}

Result<ParametricEstimates> fit_feature_posteriors(const Standardization& standardization,
                                                   const BatchLevels& levels, bool mean_only,
                                                   std::optional<std::size_t> reference_level,
                                                   bool parallel, const CancelRequested& cancel) {
  const Matrix& standardized = standardization.standardized;
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  if (n_features < 2) {
    return fail(NumericalFailure{"non-parametric priors require at least two kept features"});
  }
  Result<Matrix> gamma_hat = estimate_gamma_hat(standardized, levels, reference_level);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  const auto n_levels = static_cast<Index>(levels.level_count());
  Result<Matrix> delta_hat = mean_only ? Result<Matrix>(Matrix::Ones(n_levels, gamma_hat->cols()))
                                       : estimate_delta_hat(standardized, levels);
  if (!delta_hat) return fail(std::move(delta_hat.error()));

  const PosteriorInputs inputs =
      prepare_posterior_inputs(standardized, levels, *gamma_hat, *delta_hat);
  const std::size_t n_jobs = levels.level_count() * n_features;
  // The jobs run in consecutive slices of about kJobVisitsPerSlice sample-feature visits
  // (a job visits every feature once per observed sample of its level), so that the
  // caller can be asked whether to stop every few hundred milliseconds at most. Jobs are
  // independent, so slicing changes no result.
  constexpr std::size_t kJobVisitsPerSlice = std::size_t{1} << 26;
  const std::size_t job_visits =
      std::max<std::size_t>(1, n_features * (static_cast<std::size_t>(standardized.rows()) /
                                             levels.level_count()));
  const std::size_t slice = std::max(4 * pool::worker_count(), kJobVisitsPerSlice / job_visits);
  std::vector<Result<FeaturePosterior>> results(n_jobs);
  for (std::size_t first = 0; first < n_jobs; first += slice) {
    const std::size_t count = std::min(slice, n_jobs - first);
    // The reference level is aligned to nothing, so its jobs are not run.
    parallel_for(parallel && n_jobs >= 2, count, [&](std::size_t k) {
      const std::size_t job = first + k;
      results[job] = job / n_features == reference_level
                         ? Result<FeaturePosterior>(
                               FeaturePosterior{job / n_features, job % n_features, 0.0, 1.0})
                         : posterior_job(job, n_features, inputs);
    });
    stop_if_cancelled(cancel);
  }
  if (Status failed = first_error(results); !failed) return fail(std::move(failed.error()));

  ParametricEstimates estimates{Matrix::Zero(n_levels, standardized.cols()),
                                Matrix::Zero(n_levels, standardized.cols())};
  for (const Result<FeaturePosterior>& result : results) {
    estimates.gamma_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) =
        result->gamma_star;
    estimates.delta_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) =
        result->delta_star;
  }
  return estimates;
}

}  // namespace quarnel
