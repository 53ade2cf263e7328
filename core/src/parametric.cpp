#include "quarnel/parametric.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <tuple>

#include "quarnel/design.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

NumericalFailure too_few_for_variance() {
  return NumericalFailure{"sample variance requires at least two values"};
}

// Relative change of one value between passes, by the solver's rule: a zero old value
// gives 0 when the new one is zero too and +inf otherwise.
double location_change(double old_value, double new_value) {
  if (old_value == 0.0) return new_value == 0.0 ? 0.0 : kInfinity;
  // Divided by the old value itself, not its magnitude: never positive where it is
  // negative, so such features converge on their scale alone.
  return std::abs(new_value - old_value) / old_value;
}

double scale_change(double old_value, double new_value) {
  if (old_value == 0.0) return new_value == 0.0 ? 0.0 : kInfinity;
  return std::abs((new_value - old_value) / old_value);
}

LevelEstimates reference_estimates(std::size_t n_features) {
  return LevelEstimates{std::vector<double>(n_features, 0.0),
                        std::vector<double>(n_features, 1.0)};
}

}  // namespace

double mean_of(std::span<const double> values) {
  double sum = -0.0;
  for (const double x : values) sum += x;
  return sum / static_cast<double>(values.size());
}

Result<double> sample_variance_of(std::span<const double> values) {
  if (values.size() < 2) return fail(too_few_for_variance());
  const double mean = mean_of(values);
  double squares = 0.0;
  for (const double x : values) squares += (x - mean) * (x - mean);
  return squares / static_cast<double>(values.size() - 1);
}

Result<Matrix> estimate_gamma_hat(const Matrix& standardized, const BatchLevels& levels,
                                  std::optional<std::size_t> reference_level) {
  const Matrix design =
      build_batch_design(static_cast<std::size_t>(standardized.rows()), levels, reference_level);
  return has_missing(standardized) ? fit_coefficients_by_feature(standardized, design, levels)
                                   : fit_complete_coefficients(standardized, design);
}

Result<Matrix> estimate_delta_hat(const Matrix& standardized, const BatchLevels& levels) {
  const std::size_t n_levels = levels.level_count();
  for (std::size_t i = 0; i < n_levels; ++i) {
    if (levels.level_size(i) < 2) {
      return fail(UnsupportedOption{"scale adjustment requires at least two samples per batch"});
    }
  }

  // One walk down each feature's column accumulates every level's count and sum, a second
  // every level's squared deviations. Each level still adds its own samples in ascending
  // order, so the sums are those of one walk per level.
  const Index n = standardized.rows();
  const Index n_features = standardized.cols();
  const std::span<const std::size_t> sample_levels = levels.sample_levels();
  Matrix delta_hat = Matrix::Zero(static_cast<Index>(n_levels), n_features);
  Eigen::Matrix<std::size_t, Eigen::Dynamic, Eigen::Dynamic> counts(n_levels, n_features);
  std::vector<double> sums(n_levels);
  std::vector<double> squares(n_levels);
  for (Index j = 0; j < n_features; ++j) {
    const double* x = standardized.col(j).data();
    std::ranges::fill(sums, 0.0);
    std::ranges::fill(squares, 0.0);
    for (std::size_t i = 0; i < n_levels; ++i) counts(static_cast<Index>(i), j) = 0;
    for (Index s = 0; s < n; ++s) {
      if (std::isnan(x[s])) continue;
      const std::size_t level = sample_levels[static_cast<std::size_t>(s)];
      ++counts(static_cast<Index>(level), j);
      sums[level] += x[s];
    }
    std::vector<double> means(n_levels);
    for (std::size_t i = 0; i < n_levels; ++i) {
      means[i] = sums[i] / static_cast<double>(counts(static_cast<Index>(i), j));
    }
    for (Index s = 0; s < n; ++s) {
      if (std::isnan(x[s])) continue;
      const std::size_t level = sample_levels[static_cast<std::size_t>(s)];
      const double deviation = x[s] - means[level];
      squares[level] += deviation * deviation;
    }
    for (std::size_t i = 0; i < n_levels; ++i) {
      const double m = static_cast<double>(counts(static_cast<Index>(i), j));
      delta_hat(static_cast<Index>(i), j) = squares[i] / (m - 1.0);
    }
  }

  // Failures are reported in level-major order, as a level-by-level walk would meet them.
  for (std::size_t i = 0; i < n_levels; ++i) {
    for (Index j = 0; j < n_features; ++j) {
      if (counts(static_cast<Index>(i), j) < 2) {
        return fail(UnsupportedOption{
            "scale adjustment requires at least two observed values per batch and feature"});
      }
      if (!is_positive_finite(delta_hat(static_cast<Index>(i), j))) {
        return fail(NumericalFailure{"delta_hat is not positive finite"});
      }
    }
  }
  return delta_hat;
}

Result<LevelPrior> full_level_prior(const Matrix& gamma_hat, const Matrix& delta_hat,
                                    std::size_t level) {
  const std::vector<double> g = row_values(gamma_hat, level);
  const std::vector<double> d = row_values(delta_hat, level);
  LevelPrior prior;
  prior.gamma_bar = mean_of(g);
  const Result<double> tau2 = sample_variance_of(g);
  if (!tau2) return fail(tau2.error());
  prior.tau2 = *tau2;
  const double m = mean_of(d);
  const Result<double> s2 = sample_variance_of(d);
  if (!s2) return fail(s2.error());
  // `<=` on purpose: a NaN variance passes here and is caught as a non-finite prior.
  if (prior.tau2 <= 0.0 || *s2 <= 0.0) {
    return fail(NumericalFailure{"parametric prior variance is not positive"});
  }
  prior.a_prior = (m * m + 2.0 * *s2) / *s2;
  prior.b_prior = (m * (m * m) + m * *s2) / *s2;
  if (!std::isfinite(prior.a_prior) || !std::isfinite(prior.b_prior)) {
    return fail(NumericalFailure{"parametric prior is not finite"});
  }
  return prior;
}

Result<LevelPrior> mean_only_level_prior(const Matrix& gamma_hat, std::size_t level) {
  const std::vector<double> g = row_values(gamma_hat, level);
  const Result<double> tau2 = sample_variance_of(g);
  if (!tau2) return fail(tau2.error());
  // Zero is accepted: every shrunken location of the level then equals gamma_bar.
  if (!std::isfinite(*tau2) || *tau2 < 0.0) {
    return fail(NumericalFailure{"parametric prior variance is not finite"});
  }
  LevelPrior prior;
  prior.gamma_bar = mean_of(g);
  prior.tau2 = *tau2;
  return prior;
}

LevelSamples level_samples(const Matrix& standardized, const BatchLevels& levels,
                           std::size_t level) {
  LevelSamples samples;
  samples.level = level;
  samples.members = levels.members(level);
  samples.observed_counts.resize(static_cast<std::size_t>(standardized.cols()));
  for (Index j = 0; j < standardized.cols(); ++j) {
    const double* x = standardized.col(j).data();
    std::size_t observed = 0;
    for (const std::size_t s : samples.members) observed += !std::isnan(x[s]);
    samples.observed_counts[static_cast<std::size_t>(j)] = observed;
  }
  return samples;
}

Result<std::pair<double, double>> posterior_update_feature(const Matrix& standardized,
                                                           const LevelSamples& samples,
                                                           std::size_t feature,
                                                           const Matrix& gamma_hat,
                                                           std::span<const double> d_old,
                                                           const LevelPrior& prior) {
  const std::size_t observed = samples.observed_counts[feature];
  if (observed == 0) {
    return fail(NumericalFailure{"posterior update requires at least one observed value"});
  }
  const double count = static_cast<double>(observed);
  const double g_hat = gamma_hat(static_cast<Index>(samples.level), static_cast<Index>(feature));
  const double d = d_old[feature];
  const double g = (prior.gamma_bar * d + g_hat * (prior.tau2 * count)) / (prior.tau2 * count + d);

  const double* x = standardized.col(static_cast<Index>(feature)).data();
  double squares = 0.0;
  for (const std::size_t s : samples.members) {
    if (std::isnan(x[s])) continue;
    squares += (x[s] - g) * (x[s] - g);
  }
  if (!std::isfinite(g)) {
    return fail(NumericalFailure{"posterior update produced a non-finite value"});
  }
  const double d_new = (squares * 0.5 + prior.b_prior) / ((count * 0.5 + prior.a_prior) - 1.0);
  if (!is_positive_finite(d_new)) {
    return fail(NumericalFailure{"posterior update produced a non-finite value"});
  }
  return std::pair{g, d_new};
}

std::vector<Result<std::pair<double, double>>> posterior_updates(
    const Matrix& standardized, const LevelSamples& samples, const Matrix& gamma_hat,
    std::span<const double> d_old, const LevelPrior& prior, bool parallel) {
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  return parallel_map<Result<std::pair<double, double>>>(
      parallel && n_features >= 2, n_features, [&](std::size_t j) {
        return posterior_update_feature(standardized, samples, j, gamma_hat, d_old, prior);
      });
}

double level_change(std::span<const double> g_old, std::span<const double> g_new,
                    std::span<const double> d_old, std::span<const double> d_new) {
  double change = 0.0;
  for (std::size_t j = 0; j < g_old.size(); ++j) {
    const double location = location_change(g_old[j], g_new[j]);
    const double scale = scale_change(d_old[j], d_new[j]);
    if (std::isnan(location) || std::isinf(location) || std::isnan(scale) || scale == kInfinity) {
      return kInfinity;  // no later feature can bring the change back down
    }
    change = std::max({change, location, scale});
  }
  return change;
}

namespace {

// One level's posterior solver between passes: what its passes read, the previous pass's
// estimates, and its outcome once it has converged or failed.
struct LevelSolver {
  LevelPrior prior;
  LevelSamples samples;
  std::vector<double> g_old;
  std::vector<double> d_old;
  std::size_t passes = 0;
  std::optional<Result<LevelEstimates>> outcome;
};

LevelSolver start_level_solver(const Matrix& standardized, const BatchLevels& levels,
                               std::size_t level, const Matrix& gamma_hat,
                               const Matrix& delta_hat) {
  LevelSolver solver;
  Result<LevelPrior> prior = full_level_prior(gamma_hat, delta_hat, level);
  if (!prior) {
    solver.outcome = fail(std::move(prior.error()));
    return solver;
  }
  solver.prior = *prior;
  solver.samples = level_samples(standardized, levels, level);
  solver.g_old = row_values(gamma_hat, level);
  solver.d_old = row_values(delta_hat, level);
  return solver;
}

// Takes one pass's feature updates, in feature order, and settles the level when the pass
// failed, converged or was the last one allowed.
void finish_pass(LevelSolver& solver, std::span<Result<std::pair<double, double>>> updates) {
  ++solver.passes;
  for (Result<std::pair<double, double>>& update : updates) {
    if (!update) {
      solver.outcome = fail(std::move(update.error()));
      return;
    }
  }
  std::vector<double> g_new(updates.size());
  std::vector<double> d_new(updates.size());
  for (std::size_t j = 0; j < updates.size(); ++j) std::tie(g_new[j], d_new[j]) = *updates[j];

  const double change = level_change(solver.g_old, g_new, solver.d_old, d_new);
  solver.g_old = std::move(g_new);
  solver.d_old = std::move(d_new);
  if (change <= kConvergenceThreshold) {
    solver.outcome = LevelEstimates{std::move(solver.g_old), std::move(solver.d_old)};
  } else if (solver.passes == kMaxSolverPasses) {
    solver.outcome =
        fail(NumericalFailure{"parametric posterior solver did not converge in 1000 iterations"});
  }
}

// Every level to be fitted advances one pass at a time, and one parallel section covers
// the feature updates of all levels still iterating. A level's passes read only its own
// state, so it goes through exactly the passes it would go through alone; between passes
// no worker runs and the caller may be asked whether to stop.
std::vector<Result<LevelEstimates>> fit_full_levels(const Standardization& standardization,
                                                    const BatchLevels& levels,
                                                    std::optional<std::size_t> reference_level,
                                                    const Matrix& gamma_hat,
                                                    const Matrix& delta_hat, bool parallel,
                                                    const CancelRequested& cancel) {
  const Matrix& standardized = standardization.standardized;
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  const std::size_t n_levels = levels.level_count();
  std::vector<LevelSolver> solvers(n_levels);
  for (std::size_t level = 0; level < n_levels; ++level) {
    if (level == reference_level) continue;
    solvers[level] = start_level_solver(standardized, levels, level, gamma_hat, delta_hat);
  }

  std::vector<std::size_t> iterating;
  std::vector<Result<std::pair<double, double>>> updates;
  for (;;) {
    iterating.clear();
    for (std::size_t level = 0; level < n_levels; ++level) {
      if (level != reference_level && !solvers[level].outcome) iterating.push_back(level);
    }
    if (iterating.empty()) break;
    const std::size_t n_updates = iterating.size() * n_features;
    updates.resize(n_updates);
    parallel_for(parallel && n_updates >= 2, n_updates, [&](std::size_t k) {
      const LevelSolver& solver = solvers[iterating[k / n_features]];
      updates[k] = posterior_update_feature(standardized, solver.samples, k % n_features,
                                            gamma_hat, solver.d_old, solver.prior);
    });
    for (std::size_t a = 0; a < iterating.size(); ++a) {
      finish_pass(solvers[iterating[a]],
                  std::span(updates).subspan(a * n_features, n_features));
    }
    stop_if_cancelled(cancel);
  }

  std::vector<Result<LevelEstimates>> results;
  results.reserve(n_levels);
  for (std::size_t level = 0; level < n_levels; ++level) {
    if (level == reference_level) {
      results.emplace_back(reference_estimates(n_features));
    } else {
      results.push_back(std::move(*solvers[level].outcome));
    }
  }
  return results;
}

}  // namespace

Result<LevelEstimates> fit_full_level(const Standardization& standardization,
                                      const BatchLevels& levels, std::size_t level,
                                      const Matrix& gamma_hat, const Matrix& delta_hat,
                                      bool parallel) {
  const Matrix& standardized = standardization.standardized;
  LevelSolver solver = start_level_solver(standardized, levels, level, gamma_hat, delta_hat);
  while (!solver.outcome) {
    std::vector<Result<std::pair<double, double>>> updates = posterior_updates(
        standardized, solver.samples, gamma_hat, solver.d_old, solver.prior, parallel);
    finish_pass(solver, updates);
  }
  return std::move(*solver.outcome);
}

Result<LevelEstimates> fit_mean_only_level(const Matrix& gamma_hat, std::size_t level) {
  const Result<LevelPrior> prior = mean_only_level_prior(gamma_hat, level);
  if (!prior) return fail(prior.error());
  const auto n_features = static_cast<std::size_t>(gamma_hat.cols());
  LevelEstimates estimates{std::vector<double>(n_features), std::vector<double>(n_features, 1.0)};
  for (std::size_t j = 0; j < n_features; ++j) {
    const double g_hat = gamma_hat(static_cast<Index>(level), static_cast<Index>(j));
    estimates.gamma_star[j] = (g_hat * prior->tau2 + prior->gamma_bar) / (prior->tau2 + 1.0);
  }
  return estimates;
}

Status write_level_estimates(std::vector<Result<LevelEstimates>>& results, Matrix& gamma_star,
                             Matrix& delta_star) {
  require(results.size() == static_cast<std::size_t>(gamma_star.rows()),
          "one level result per level");
  if (Status failed = first_error(results); !failed) return failed;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const LevelEstimates& level = *results[i];
    require(level.gamma_star.size() == static_cast<std::size_t>(gamma_star.cols()) &&
                level.delta_star.size() == level.gamma_star.size(),
            "level estimates hold one value per kept feature");
    for (std::size_t j = 0; j < level.gamma_star.size(); ++j) {
      gamma_star(static_cast<Index>(i), static_cast<Index>(j)) = level.gamma_star[j];
      delta_star(static_cast<Index>(i), static_cast<Index>(j)) = level.delta_star[j];
    }
  }
  return {};
}

Result<ParametricEstimates> fit_parametric(const Standardization& standardization,
                                           const BatchLevels& levels, bool mean_only,
                                           std::optional<std::size_t> reference_level,
                                           bool parallel, const CancelRequested& cancel) {
  const Matrix& standardized = standardization.standardized;
  const Index n_features = standardized.cols();
  if (n_features < 2) {
    return fail(NumericalFailure{"parametric priors require at least two kept features"});
  }
  Result<Matrix> gamma_hat = estimate_gamma_hat(standardized, levels, reference_level);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  const auto n_levels = static_cast<Index>(levels.level_count());
  ParametricEstimates estimates{Matrix::Zero(n_levels, n_features),
                                Matrix::Ones(n_levels, n_features)};

  Result<Matrix> delta_hat = mean_only ? Result<Matrix>(Matrix()) : estimate_delta_hat(standardized, levels);
  if (!delta_hat) return fail(std::move(delta_hat.error()));

  // The reference level is aligned to nothing, so it is not fitted: estimating it could
  // only fail a run whose answer for it is fixed anyway.
  std::vector<Result<LevelEstimates>> results =
      mean_only ? parallel_map<Result<LevelEstimates>>(
                      parallel && n_levels > 1, levels.level_count(),
                      [&](std::size_t level) -> Result<LevelEstimates> {
                        if (level == reference_level) {
                          return reference_estimates(static_cast<std::size_t>(n_features));
                        }
                        return fit_mean_only_level(*gamma_hat, level);
                      })
                : fit_full_levels(standardization, levels, reference_level, *gamma_hat,
                                  *delta_hat, parallel, cancel);
  if (Status written = write_level_estimates(results, estimates.gamma_star, estimates.delta_star);
      !written) {
    return fail(std::move(written.error()));
  }
  return estimates;
}

Result<ParametricEstimates> fit_unshrunken_mean_only(const Standardization& standardization,
                                                     const BatchLevels& levels,
                                                     std::optional<std::size_t> reference_level) {
  Result<Matrix> gamma_hat = estimate_gamma_hat(standardization.standardized, levels, reference_level);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  Matrix delta_star = Matrix::Ones(gamma_hat->rows(), gamma_hat->cols());
  ParametricEstimates estimates{std::move(*gamma_hat), std::move(delta_star)};
  if (reference_level) estimates.gamma_star.row(static_cast<Index>(*reference_level)).setZero();
  return estimates;
}

}  // namespace quarnel
