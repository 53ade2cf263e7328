#include "quarnel/tiles.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

#include "quarnel/design.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Matrix tile_columns(const Matrix& run, std::size_t offset, std::size_t width) {
  return run.middleCols(static_cast<Index>(offset), static_cast<Index>(width));
}

// The tile's rows of the reference level: location 0, scale 1.
void align_reference(ParametricEstimates& estimates, std::optional<std::size_t> reference_level) {
  if (!reference_level) return;
  estimates.gamma_star.row(static_cast<Index>(*reference_level)).setZero();
  estimates.delta_star.row(static_cast<Index>(*reference_level)).setOnes();
}

Status nonparametric_posteriors(const TileRun& run, const Matrix& standardized, const PosteriorInputs& inputs,
                                std::size_t offset, bool parallel, ParametricEstimates& estimates) {
  const std::size_t width = static_cast<std::size_t>(standardized.cols());
  const std::size_t n_jobs = run.levels.level_count() * width;
  std::vector<Result<FeaturePosterior>> results = parallel_map<Result<FeaturePosterior>>(
      parallel && n_jobs >= 2, n_jobs, [&](std::size_t job) -> Result<FeaturePosterior> {
        if (job / width == run.reference_level) return FeaturePosterior{job / width, job % width, 0.0, 1.0};
        return posterior_job(job, width, standardized, inputs, run.options.exact, offset);
      });
  if (Status failed = first_error(results); !failed) return failed;
  for (const Result<FeaturePosterior>& result : results) {
    estimates.gamma_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) = result->gamma_star;
    estimates.delta_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) = result->delta_star;
  }
  return {};
}

Status parametric_posteriors(const TileRun& run, const Matrix& standardized, const ScaleMeasurements& scales,
                             const RunMode& mode, std::span<const std::optional<LevelPrior>> priors,
                             std::span<const std::size_t> passes, std::span<const LevelTrace> traced, bool parallel,
                             ParametricEstimates& estimates) {
  const BatchLevels& levels = run.levels;
  const std::size_t width = static_cast<std::size_t>(estimates.gamma_hat.cols());
  const LevelEstimates identity{std::vector<double>(width, 0.0), std::vector<double>(width, 1.0)};
  std::vector<Result<LevelEstimates>> results(levels.level_count(), identity);
  if (mode.effective_mean_only) {
    for (std::size_t level = 0; level < results.size(); ++level) {
      if (!priors[level]) continue;
      for (std::size_t j = 0; j < width; ++j) {
        results[level]->gamma_star[j] = mean_only_posterior(
            *priors[level], estimates.gamma_hat(static_cast<Index>(level), static_cast<Index>(j)));
      }
    }
    return write_level_estimates(results, estimates.gamma_star, estimates.delta_star);
  }
  std::vector<std::optional<LevelPrior>> solving(priors.begin(), priors.end());
  std::vector<PassRule> rules(levels.level_count());
  for (std::size_t level = 0; level < rules.size(); ++level) {
    rules[level].stop_pass = passes[level];
    if (!solving[level] || traced.empty() || !traced[level].outcome) continue;
    const std::size_t reached = traced[level].changes.size();
    if (reached == passes[level]) {
      results[level] = *traced[level].outcome;
      solving[level].reset();
    } else if (reached < passes[level]) {
      rules[level].resume = &*traced[level].outcome;
      rules[level].resume_passes = reached;
    }
  }
  if (std::ranges::any_of(solving, [](const auto& prior) { return prior.has_value(); })) {
    std::vector<LevelTrace> traces =
        trace_level_solvers(standardized, estimates.gamma_hat, scales, levels, solving, rules, parallel);
    for (std::size_t level = 0; level < results.size(); ++level) {
      if (solving[level]) results[level] = std::move(traces[level].outcome);
    }
  }
  return write_level_estimates(results, estimates.gamma_star, estimates.delta_star);
}

}  // namespace

Result<Standardization> standardize_tile(const TileRun& run, std::span<const std::size_t> kept,
                                         bool missing, bool parallel) {
  const CombatDenseRequest& request = run.request;
  return standardize_in_mode(
      project_features(request.values, request.n_samples, request.n_features, kept, ParallelPlan{parallel}),
      run.levels, request.covariates, run.reference_level, missing, parallel);
}

std::vector<std::optional<Result<LevelPrior>>> level_priors(const BatchLevels& levels,
                                                            std::optional<std::size_t> reference_level,
                                                            const RunMode& mode,
                                                            const ParametricEstimates& raw) {
  std::vector<std::optional<Result<LevelPrior>>> priors(levels.level_count());
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (level == reference_level) continue;
    priors[level] = mode.effective_mean_only ? mean_only_level_prior(raw.gamma_hat, level)
                                             : full_level_prior(raw.gamma_hat, raw.delta_hat, level);
  }
  return priors;
}

namespace {

// The priors the solvers run from; levels whose prior failed have none (settle_run has
// reported those before any tile is fitted).
std::vector<std::optional<LevelPrior>> solver_priors(const BatchLevels& levels,
                                                     std::optional<std::size_t> reference_level,
                                                     const RunMode& mode,
                                                     const ParametricEstimates& raw) {
  std::vector<std::optional<LevelPrior>> out(levels.level_count());
  const auto priors = level_priors(levels, reference_level, mode, raw);
  for (std::size_t level = 0; level < out.size(); ++level) {
    if (priors[level] && *priors[level]) out[level] = **priors[level];
  }
  return out;
}

}  // namespace

std::vector<LevelTrace> trace_tile(const TileRun& run, const Standardization& tile, const ScaleMeasurements& scales,
                                   const ParametricEstimates& raw, std::span<const std::optional<LevelPrior>> priors,
                                   std::size_t offset, std::span<const std::size_t> explore_from, bool parallel) {
  const BatchLevels& levels = run.levels;
  require(explore_from.size() == levels.level_count(), "one starting pass per level");
  std::vector<PassRule> rules(levels.level_count());
  for (std::size_t level = 0; level < rules.size(); ++level) {
    rules[level].min_pass = std::max<std::size_t>(1, explore_from[level]);
  }
  const Matrix& standardized = tile.standardized;
  return trace_level_solvers(standardized, tile_columns(raw.gamma_hat, offset, static_cast<std::size_t>(standardized.cols())),
                             scales, levels, priors, rules, parallel);
}

Result<ParametricEstimates> tile_posteriors(const TileRun& run, const Standardization& tile,
                                            const RunMode& mode, const ParametricEstimates& raw,
                                            const RunPriors& priors, std::size_t offset,
                                            std::span<const std::size_t> passes, std::span<const LevelTrace> traced,
                                            const ScaleMeasurements& scales, bool parallel) {
  const Matrix& standardized = tile.standardized;
  const auto width = static_cast<std::size_t>(standardized.cols());
  const auto n_levels = static_cast<Index>(run.levels.level_count());
  Matrix gamma_hat = tile_columns(raw.gamma_hat, offset, width);
  Matrix delta_hat = tile_columns(raw.delta_hat, offset, width);
  ParametricEstimates estimates{Matrix::Zero(n_levels, gamma_hat.cols()), Matrix::Ones(n_levels, gamma_hat.cols()),
                                std::move(gamma_hat), std::move(delta_hat)};
  // A single kept feature informs no prior: its raw locations are its effects.
  if (mode.n_kept == 1) {
    estimates.gamma_star = estimates.gamma_hat;
    estimates.gamma_hat = estimates.delta_hat = Matrix();
    align_reference(estimates, run.reference_level);
    return estimates;
  }
  if (run.options.par_prior) {
    const Status done =
        parametric_posteriors(run, standardized, scales, mode, priors.parametric, passes, traced, parallel, estimates);
    if (!done) return fail(std::move(done.error()));
    return estimates;
  }
  const Status done = nonparametric_posteriors(run, standardized, *priors.points, offset, parallel, estimates);
  if (!done) return fail(std::move(done.error()));
  return estimates;
}

bool posteriors_read_data(const TileRun& run, const RunMode& mode, std::span<const std::size_t> passes,
                          std::span<const LevelTrace> traced) {
  if (mode.n_kept < 2) return false;
  if (!run.options.par_prior) return true;
  if (mode.effective_mean_only) return false;
  for (std::size_t level = 0; level < passes.size(); ++level) {
    if (passes[level] == 0) continue;  // no solver
    if (traced.empty() || !traced[level].outcome || traced[level].changes.size() != passes[level]) return true;
  }
  return false;
}

RunPriors run_priors(const TileRun& run, const RunMode& mode, const ParametricEstimates& raw) {
  RunPriors priors;
  if (mode.n_kept < 2) return priors;
  if (run.options.par_prior) {
    priors.parametric = solver_priors(run.levels, run.reference_level, mode, raw);
  } else {
    priors.points = prepare_posterior_inputs(run.levels, raw.gamma_hat, raw.delta_hat);
  }
  return priors;
}

namespace {

bool fitted(const StandardizedFeatures& each, std::size_t m) {
  return each.fit_status[m] && each.variance_status[m];
}

// The raw locations of the tile's features whose standardisation succeeded.
Result<Matrix> tile_locations(const TileRun& run, const StandardizedFeatures& each, bool missing, bool parallel) {
  const Matrix& standardized = each.standardization.standardized;
  std::vector<Index> good;
  for (std::size_t m = 0; m < each.fit_status.size(); ++m) {
    if (fitted(each, m)) good.push_back(static_cast<Index>(m));
  }
  if (good.size() == each.fit_status.size()) {
    return estimate_gamma_hat(standardized, run.levels, run.reference_level, missing, parallel);
  }
  Matrix out = Matrix::Constant(static_cast<Index>(run.levels.level_count()), standardized.cols(), kNaN);
  if (good.empty()) return out;
  Result<Matrix> some = estimate_gamma_hat(standardized(Eigen::all, good), run.levels, run.reference_level,
                                           missing, parallel);
  if (!some) return some;
  for (std::size_t k = 0; k < good.size(); ++k) out.col(good[k]) = some->col(static_cast<Index>(k));
  return out;
}

// The standardised values of the tile's features whose standardisation succeeded, parked
// in an n x G buffer (the run's future result), feature j's column at j * n: the later
// rounds copy them from there instead of standardising the tile again.
void park_standardized(const JudgedTile& tile, std::size_t n_samples, std::span<double> parked) {
  const Matrix& z = tile.each.standardization.standardized;
  for (std::size_t m = 0; m < tile.kept.size(); ++m) {
    if (!fitted(tile.each, m)) continue;
    std::copy_n(z.col(static_cast<Index>(m)).data(), n_samples, parked.data() + tile.kept[m] * n_samples);
  }
}

}  // namespace

// The tile judged in the missing-data mode `forced`, or when that is not known yet, in the
// mode its own values and `seen_nan` (another tile holds a NaN) suggest.
JudgedTile judge_tile(const TileRun& run, std::size_t begin, std::size_t end, std::optional<bool> forced,
                      bool seen_nan, bool parallel, std::span<double> parked) {
  const CombatDenseRequest& request = run.request;
  JudgedTile out;
  // One read of the tile's input: its columns are copied first and tested for constant
  // levels in the copy, which stays in cache.
  std::vector<std::size_t> features(end - begin);
  std::iota(features.begin(), features.end(), begin);
  Matrix projected = project_features(request.values, request.n_samples, request.n_features, features, ParallelPlan{});
  const std::vector<unsigned char> constant = constant_columns(projected, run.levels);
  std::vector<Index> kept_columns;
  for (std::size_t j = begin; j < end; ++j) {
    if (constant[j - begin]) {
      out.constant.push_back(j);
    } else {
      out.kept.push_back(j);
      kept_columns.push_back(static_cast<Index>(j - begin));
    }
  }
  if (out.kept.empty()) return out;
  if (!out.constant.empty()) projected = Matrix(projected(Eigen::all, kept_columns));
  for (Index c = 0; c < projected.cols(); ++c) out.holds_nan.push_back(projected.col(c).hasNaN());
  out.missing = forced.value_or(seen_nan || std::ranges::find(out.holds_nan, 1) != out.holds_nan.end());
  Result<StandardizedFeatures> each = standardize_each(std::move(projected), run.levels, request.covariates,
                                                       run.reference_level, out.missing, parallel);
  if (!each) {
    out.design_error = std::move(each.error());
    return out;
  }
  out.each = std::move(*each);
  out.scales = measure_scales(out.each.standardization.standardized, run.levels, parallel);
  Result<Matrix> locations = tile_locations(run, out.each, out.missing, parallel);
  if (locations) {
    out.gamma_hat = std::move(*locations);
  } else {
    out.location_error = std::move(locations.error());
  }
  if (!parked.empty()) park_standardized(out, request.n_samples, parked);
  out.each.standardization.standardized = Matrix();
  return out;
}


void tile_verdicts(const TileRun& run, const JudgedTile& tile, bool judge_scales,
                   std::span<FeatureVerdict> verdicts) {
  for (const std::uint64_t j : tile.constant) verdicts[j] = {FeatureIssue::constant, std::nullopt};
  for (std::size_t m = 0; m < tile.kept.size(); ++m) {
    verdicts[tile.kept[m]] = kept_feature_verdict(tile.each, tile.scales, m, run.levels, run.reference_level,
                                                  judge_scales);
  }
}

}  // namespace quarnel
