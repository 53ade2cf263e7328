#include "quarnel/parametric.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "lanes.hpp"
#include "quarnel/design.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {
namespace {

using namespace lanes;
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

// Per lane k: the sum, over the samples of `runs` in ascending order, of (x - g[k])^2 for
// the observed values x of the lane's column.
QUARNEL_AVX2_CLONES
void lane_squares(const double* const (&columns)[kLanes], std::span<const SampleRun> runs,
                  const Lanes& g, Lanes& squares) {
  Lanes sum = splat(0.0);
  for (const SampleRun& run : runs) {
    for (std::size_t s = run.begin; s < run.end; ++s) {
      Lanes x;
      load_lanes(columns, s, x);
      const Lanes deviation = x - g;
      Lanes term = deviation * deviation;
      keep_observed(x, term);
      sum += term;
    }
  }
  squares = sum;
}

// Ascending sample indices as maximal runs of consecutive ones.
std::vector<SampleRun> member_runs(std::span<const std::size_t> members) {
  std::vector<SampleRun> runs;
  for (const std::size_t s : members) {
    if (runs.empty() || runs.back().end != s) runs.push_back(SampleRun{s, s});
    runs.back().end = s + 1;
  }
  return runs;
}

// The posterior location of one feature from its gamma_hat, previous scale and count.
double posterior_location(const LevelPrior& prior, double g_hat, double d, double count) {
  return (prior.gamma_bar * d + g_hat * (prior.tau2 * count)) / (prior.tau2 * count + d);
}

double posterior_scale(const LevelPrior& prior, double squares, double count) {
  return (squares * 0.5 + prior.b_prior) / ((count * 0.5 + prior.a_prior) - 1.0);
}

// How a feature update ended.
enum class UpdateOutcome : unsigned char { ok, unobserved, non_finite };

UpdateOutcome update_outcome(std::size_t observed, double g, double d_new) {
  if (observed == 0) return UpdateOutcome::unobserved;
  if (!std::isfinite(g) || !is_positive_finite(d_new)) return UpdateOutcome::non_finite;
  return UpdateOutcome::ok;
}

NumericalFailure non_convergence() {
  return NumericalFailure{"parametric posterior solver did not converge in 1000 iterations"};
}

NumericalFailure update_failure(UpdateOutcome outcome) {
  return NumericalFailure{outcome == UpdateOutcome::unobserved
                              ? "posterior update requires at least one observed value"
                              : "posterior update produced a non-finite value"};
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

Result<LevelPrior> full_level_prior(const Matrix& gamma_hat, const Matrix& delta_hat,
                                    std::size_t level) {
  return full_prior_of(row_values(gamma_hat, level), row_values(delta_hat, level));
}

namespace {

// Whether a sample variance of `values` is what rounding leaves of zero: below 1e-18 of
// their mean square, the values agree to about nine digits. Rounding errors of values
// computed feature by feature are near 1e-16 of their size, while real estimates agree
// that closely only when the features are the same up to location and scale, or when the
// design leaves every feature a single residual degree of freedom (every feature's scale
// estimate is then the same number). Their variance is zero then, and a prior formed from
// what rounding makes of it would be noise that depends on the order of the samples.
bool rounded_zero_variance(std::span<const double> values, double variance) {
  // Measured in units of the largest magnitude, so that large values do not overflow.
  double largest = 0.0;
  for (const double x : values) largest = std::max(largest, std::abs(x));
  if (!(largest > 0.0) || !std::isfinite(largest)) return false;
  double mean_square = 0.0;
  for (const double x : values) mean_square += (x / largest) * (x / largest);
  mean_square /= static_cast<double>(values.size());
  return variance / largest / largest <= 1e-18 * mean_square;
}

}  // namespace

Result<LevelPrior> full_prior_of(std::span<const double> g, std::span<const double> d) {
  LevelPrior prior;
  prior.gamma_bar = mean_of(g);
  const Result<double> tau2 = sample_variance_of(g);
  if (!tau2) return fail(tau2.error());
  prior.tau2 = *tau2;
  const double m = mean_of(d);
  const Result<double> s2 = sample_variance_of(d);
  if (!s2) return fail(s2.error());
  // `<=` on purpose: a NaN variance passes here and is caught as a non-finite prior.
  if (prior.tau2 <= 0.0 || *s2 <= 0.0 || rounded_zero_variance(g, prior.tau2) || rounded_zero_variance(d, *s2)) {
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
  return mean_only_prior_of(row_values(gamma_hat, level));
}

Result<LevelPrior> mean_only_prior_of(std::span<const double> g) {
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

namespace {

// A level's samples and their runs, with the observed counts given.
LevelSamples samples_of_level(const BatchLevels& levels, std::size_t level,
                              std::vector<std::size_t> observed_counts) {
  LevelSamples samples;
  samples.level = level;
  samples.members = levels.members(level);
  samples.runs = member_runs(samples.members);
  samples.observed_counts = std::move(observed_counts);
  return samples;
}

}  // namespace

LevelSamples level_samples(const Matrix& standardized, const BatchLevels& levels,
                           std::size_t level) {
  const std::vector<std::size_t> members = levels.members(level);
  std::vector<std::size_t> observed_counts(static_cast<std::size_t>(standardized.cols()));
  for (Index j = 0; j < standardized.cols(); ++j) {
    const double* x = standardized.col(j).data();
    std::size_t observed = 0;
    for (const std::size_t s : members) observed += !std::isnan(x[s]);
    observed_counts[static_cast<std::size_t>(j)] = observed;
  }
  return samples_of_level(levels, level, std::move(observed_counts));
}

Result<std::pair<double, double>> posterior_update_feature(const Matrix& standardized,
                                                           const LevelSamples& samples,
                                                           std::size_t feature,
                                                           const Matrix& gamma_hat,
                                                           std::span<const double> d_old,
                                                           const LevelPrior& prior) {
  const std::size_t observed = samples.observed_counts[feature];
  if (observed == 0) return fail(update_failure(UpdateOutcome::unobserved));
  const double count = static_cast<double>(observed);
  const double g_hat = gamma_hat(static_cast<Index>(samples.level), static_cast<Index>(feature));
  const double g = posterior_location(prior, g_hat, d_old[feature], count);

  const double* x = standardized.col(static_cast<Index>(feature)).data();
  double squares = 0.0;
  for (const std::size_t s : samples.members) {
    if (std::isnan(x[s])) continue;
    squares += (x[s] - g) * (x[s] - g);
  }
  const double d_new = posterior_scale(prior, squares, count);
  if (const UpdateOutcome outcome = update_outcome(observed, g, d_new);
      outcome != UpdateOutcome::ok) {
    return fail(update_failure(outcome));
  }
  return std::pair{g, d_new};
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
// estimates, the current pass's updates, and its outcome once it has converged or failed.
struct LevelSolver {
  LevelPrior prior;
  LevelSamples samples;
  std::vector<double> g_old;
  std::vector<double> d_old;
  std::vector<double> g_new;
  std::vector<double> d_new;
  std::vector<UpdateOutcome> outcomes;
  std::size_t passes = 0;
  PassRule rule;
  std::vector<double> changes;  // of every pass whose updates all succeeded
  std::optional<Result<LevelEstimates>> outcome;
};

LevelSolver start_level_solver(const Matrix& gamma_hat, const Matrix& delta_hat,
                               LevelSamples samples, const LevelPrior& prior, PassRule rule) {
  LevelSolver solver;
  const std::size_t level = samples.level;
  solver.prior = prior;
  solver.rule = rule;
  solver.samples = std::move(samples);
  if (rule.resume) {
    solver.g_old = rule.resume->gamma_star;
    solver.d_old = rule.resume->delta_star;
    solver.passes = rule.resume_passes;
  } else {
    solver.g_old = row_values(gamma_hat, level);
    solver.d_old = row_values(delta_hat, level);
  }
  solver.g_new.resize(solver.g_old.size());
  solver.d_new.resize(solver.g_old.size());
  solver.outcomes.resize(solver.g_old.size());
  return solver;
}

// Settles the level when the pass in g_new / d_new / outcomes failed (the lowest failing
// feature's error), converged, or was the last one allowed.
void settle_pass(LevelSolver& solver) {
  ++solver.passes;
  const auto failed = std::ranges::find_if(
      solver.outcomes, [](UpdateOutcome outcome) { return outcome != UpdateOutcome::ok; });
  if (failed != solver.outcomes.end()) {
    solver.outcome = fail(update_failure(*failed));
    return;
  }
  const double change = level_change(solver.g_old, solver.g_new, solver.d_old, solver.d_new);
  std::swap(solver.g_old, solver.g_new);
  std::swap(solver.d_old, solver.d_new);
  solver.changes.push_back(change);
  const PassRule& rule = solver.rule;
  const bool stop = rule.stop_pass ? solver.passes == *rule.stop_pass
                                   : solver.passes >= rule.min_pass && change <= kConvergenceThreshold;
  if (stop) {
    solver.outcome = LevelEstimates{std::move(solver.g_old), std::move(solver.d_old)};
  } else if (solver.passes == kMaxSolverPasses) {
    solver.outcome = fail(non_convergence());
  }
}

// One pass's updates of features [first, end) of a level, written to the solver's own
// slots of those features. The same arithmetic as posterior_update_feature, with the
// residual sums of kLanes features computed side by side.
void update_feature_block(const Matrix& standardized, const Matrix& gamma_hat,
                          LevelSolver& solver, std::size_t first, std::size_t end) {
  const LevelPrior& prior = solver.prior;
  const auto level = static_cast<Index>(solver.samples.level);
  for (std::size_t lane_first = first; lane_first < end; lane_first += kLanes) {
    const double* columns[kLanes];
    lane_columns(standardized, lane_first, end, columns);
    Lanes g;
    for (std::size_t k = 0; k < kLanes; ++k) {
      const std::size_t j = std::min(lane_first + k, end - 1);
      const double count = static_cast<double>(solver.samples.observed_counts[j]);
      g[k] = posterior_location(prior, gamma_hat(level, static_cast<Index>(j)), solver.d_old[j],
                                count);
    }
    Lanes squares;
    lane_squares(columns, solver.samples.runs, g, squares);
    for (std::size_t k = 0; k < kLanes && lane_first + k < end; ++k) {
      const std::size_t j = lane_first + k;
      const std::size_t observed = solver.samples.observed_counts[j];
      const double d_new = posterior_scale(prior, squares[k], static_cast<double>(observed));
      solver.g_new[j] = g[k];
      solver.d_new[j] = d_new;
      solver.outcomes[j] = update_outcome(observed, g[k], d_new);
    }
  }
}

// Every solver without an outcome advances one pass at a time, and one parallel section
// covers the feature updates of all solvers still iterating, in blocks of kBlockFeatures
// features. A level's passes read only its own state, so it goes through exactly the
// passes it would go through alone.
void run_solvers(const Matrix& standardized, const Matrix& gamma_hat,
                 std::span<LevelSolver* const> solvers, bool parallel) {
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  const std::size_t n_blocks = block_count(n_features);
  std::vector<LevelSolver*> iterating;
  for (;;) {
    iterating.clear();
    for (LevelSolver* solver : solvers) {
      if (!solver->outcome) iterating.push_back(solver);
    }
    if (iterating.empty()) return;
    const std::size_t n_items = iterating.size() * n_blocks;
    parallel_for(parallel, n_items, [&](std::size_t k) {
      const std::size_t b = k % n_blocks;
      update_feature_block(standardized, gamma_hat, *iterating[k / n_blocks], b * kBlockFeatures,
                           std::min(n_features, (b + 1) * kBlockFeatures));
    });
    for (LevelSolver* solver : iterating) settle_pass(*solver);
  }
}

}  // namespace

std::vector<LevelTrace> trace_level_solvers(const Matrix& standardized, const Matrix& gamma_hat,
                                            const ScaleMeasurements& scales,
                                            const BatchLevels& levels,
                                            std::span<const std::optional<LevelPrior>> priors,
                                            std::span<const PassRule> rules, bool parallel) {
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  const std::size_t n_levels = levels.level_count();
  std::vector<LevelSolver> solvers(n_levels);
  std::vector<LevelSolver*> fitted;
  for (std::size_t level = 0; level < n_levels; ++level) {
    if (!priors[level]) continue;
    // delta_hat has already counted every level's observed values.
    std::vector<std::size_t> observed_counts(n_features);
    for (std::size_t j = 0; j < n_features; ++j) {
      observed_counts[j] = scales.counts(static_cast<Index>(level), static_cast<Index>(j));
    }
    solvers[level] = start_level_solver(gamma_hat, scales.delta_hat,
                                        samples_of_level(levels, level, std::move(observed_counts)),
                                        *priors[level], rules[level]);
    fitted.push_back(&solvers[level]);
  }
  run_solvers(standardized, gamma_hat, fitted, parallel);
  std::vector<LevelTrace> traces(n_levels);
  for (LevelSolver* solver : fitted) {
    LevelTrace& trace = traces[solver->samples.level];
    trace.changes = std::move(solver->changes);
    trace.outcome = std::move(*solver->outcome);
  }
  return traces;
}

namespace {

// The first pass from `pass` on at which the whole solver could stop or fail, where every
// part has to reach before the next look: a pass at which some part still changed by more
// than the threshold is neither, so the parts that stopped early are sent past all such
// passes at once, rather than one pass per round.
std::size_t explore_point(std::span<const LevelTrace* const> traces, std::size_t pass) {
  for (; pass < kMaxSolverPasses; ++pass) {
    bool still_changing = false;
    for (const LevelTrace* trace : traces) {
      if (!trace->outcome && trace->changes.size() == pass - 1) return pass;
      still_changing |= trace->changes.size() >= pass && trace->changes[pass - 1] > kConvergenceThreshold;
    }
    if (!still_changing) return pass;
  }
  return pass;
}

}  // namespace

LevelStop level_stop(std::span<const LevelTrace* const> traces) {
  for (std::size_t pass = 1; pass <= kMaxSolverPasses; ++pass) {
    // A pass whose updates failed somewhere ends the level with the error of its first
    // failing feature, whatever the changes elsewhere.
    for (const LevelTrace* trace : traces) {
      if (!trace->outcome && trace->changes.size() == pass - 1) return {std::nullopt, trace->outcome.error(), 0};
    }
    double change = 0.0;
    for (const LevelTrace* trace : traces) {
      if (trace->changes.size() < pass) return {std::nullopt, std::nullopt, explore_point(traces, pass)};
      change = std::max(change, trace->changes[pass - 1]);
    }
    if (change <= kConvergenceThreshold) return {pass, std::nullopt, 0};
  }
  return {std::nullopt, non_convergence(), 0};
}

double mean_only_posterior(const LevelPrior& prior, double gamma_hat) {
  return (gamma_hat * prior.tau2 + prior.gamma_bar) / (prior.tau2 + 1.0);
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

}  // namespace quarnel
