// Per-level location and scale estimates, their method-of-moments priors, and the level
// solvers that shrink the estimates towards those priors (parametric empirical Bayes);
// the tiles' posteriors (tiles.hpp) and the rounds over chunks (stages.hpp) run them.
//
// All L x G matrices here are column-major model matrices: row i is batch level i, column
// j is the j-th kept feature.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimates.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/raw_estimates.hpp"

namespace quarnel {

struct LevelEstimates {
  std::vector<double> gamma_star;  // G shrunken location effects
  std::vector<double> delta_star;  // G shrunken scale effects (1.0 in mean-only mode)
};

// Sum accumulated in index order from -0.0, divided by the count.
double mean_of(std::span<const double> values);
// Sum of squared deviations from mean_of, in index order, over count - 1; fails for fewer
// than two values.
Result<double> sample_variance_of(std::span<const double> values);

// Priors of one level from its rows of gamma_hat and delta_hat (full mode), or from its
// gamma_hat row alone (mean-only mode, where a_prior and b_prior stay 0).
Result<LevelPrior> full_level_prior(const Matrix& gamma_hat, const Matrix& delta_hat,
                                    std::size_t level);
Result<LevelPrior> mean_only_level_prior(const Matrix& gamma_hat, std::size_t level);
// The same priors from a level's raw estimates given as plain sequences.
Result<LevelPrior> full_prior_of(std::span<const double> gamma_row, std::span<const double> delta_row);
Result<LevelPrior> mean_only_prior_of(std::span<const double> gamma_row);

// Samples [begin, end).
struct SampleRun {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// What the solver reads of one level's data, fixed for all of its passes: the level's
// samples in ascending order, the same samples as maximal runs of consecutive indices, and,
// per feature, how many of them are observed.
struct LevelSamples {
  std::size_t level = 0;
  std::vector<std::size_t> members;
  std::vector<SampleRun> runs;
  std::vector<std::size_t> observed_counts;
};
LevelSamples level_samples(const Matrix& standardized, const BatchLevels& levels,
                           std::size_t level);

// One posterior update of feature j of a level: the new location from the fixed
// gamma_hat and the previous scale, then the new scale from the residuals around the new
// location. Returns (location, scale).
Result<std::pair<double, double>> posterior_update_feature(const Matrix& standardized,
                                                           const LevelSamples& samples,
                                                           std::size_t feature,
                                                           const Matrix& gamma_hat,
                                                           std::span<const double> d_old,
                                                           const LevelPrior& prior);

// The largest relative change of a pass over all features (+inf when any change cannot
// be represented); the level has converged when it is at most 0.0001.
double level_change(std::span<const double> g_old, std::span<const double> g_new,
                    std::span<const double> d_old, std::span<const double> d_new);

inline constexpr double kConvergenceThreshold = 0.0001;
inline constexpr std::size_t kMaxSolverPasses = 1000;

// When a level's solver stops. By default at the first pass, from `min_pass` on, whose
// largest change is at most kConvergenceThreshold; with `stop_pass`, at that pass. A
// solver over some of a level's features cannot see the change of the others: it runs on
// until its own change is small (which the level's cannot be before), or to the pass
// found from every part's changes (level_stop).
// A solver may also go on from `resume`, the estimates an earlier run of it on the same
// data reached after `resume_passes` passes: each pass depends only on the one before, so
// it ends with the bits of a run from the start.
struct PassRule {
  std::size_t min_pass = 1;
  std::optional<std::size_t> stop_pass;
  const LevelEstimates* resume = nullptr;
  std::size_t resume_passes = 0;
};

// One level's solver over some features: the largest change of every pass whose updates
// all succeeded, and the estimates after its last pass or its error.
struct LevelTrace {
  std::vector<double> changes;
  Result<LevelEstimates> outcome;
};

// The solvers of the levels with a prior (the others, the reference among them, get an
// empty trace) over the features of `standardized`, gamma_hat and the scales, side by
// side, each stopping by its rule. Each feature's updates depend on its own values and
// its level's prior only, so a feature goes through the same passes whatever else is
// solved with it.
std::vector<LevelTrace> trace_level_solvers(const Matrix& standardized, const Matrix& gamma_hat,
                                            const ScaleMeasurements& scales,
                                            const BatchLevels& levels,
                                            std::span<const std::optional<LevelPrior>> priors,
                                            std::span<const PassRule> rules, bool parallel);

// Where a level solved over all its features stops, from the traces of its parts in
// feature order: the pass, or the error the whole solver would meet, or, when some part
// stopped too early to tell, the pass every part has to reach before the next look.
struct LevelStop {
  std::optional<std::size_t> pass;
  std::optional<CombatError> error;
  std::size_t explore_from = 0;
};
LevelStop level_stop(std::span<const LevelTrace* const> traces);

// The location posterior without scale information: the update of the solver with one
// observation of unit scale, done once.
double mean_only_posterior(const LevelPrior& prior, double gamma_hat);

// Writes each level's estimates into row i of the two matrices; the first error in level
// order is returned instead.
Status write_level_estimates(std::vector<Result<LevelEstimates>>& results, Matrix& gamma_star,
                             Matrix& delta_star);

}  // namespace quarnel
