#include "quarnel/stages.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <optional>

#include "quarnel/design.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/pipeline.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

// A chunk's kept complete features, standardised in the run's mode.
struct PreparedChunk {
  std::optional<BatchLevels> levels;
  std::optional<std::size_t> reference_level;
  ParallelPlan plan;
  std::vector<std::size_t> kept;
  std::vector<std::uint64_t> zero_variance;
  Standardization standardization;
};

Result<PreparedChunk> prepare_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                                    std::span<const std::size_t> complete, const RunMode& mode) {
  Result<BatchLevels> validated = validate_request(request, options);
  if (!validated) return fail(std::move(validated.error()));
  PreparedChunk chunk;
  chunk.levels = std::move(*validated);
  const BatchLevels& levels = *chunk.levels;
  chunk.reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;
  chunk.plan = ParallelPlan::for_shape(request.n_samples, complete.size(), levels.level_count());
  const FeatureSelection selection = select_nonzero_variance_features(
      request.values, request.n_samples, request.n_features, levels, chunk.plan);
  std::ranges::set_intersection(complete, selection.kept, std::back_inserter(chunk.kept));
  std::ranges::set_difference(complete, chunk.kept, std::back_inserter(chunk.zero_variance));
  if (chunk.kept.empty()) return chunk;
  Result<Standardization> standardization = standardize_in_mode(
      project_features(request.values, request.n_samples, request.n_features, chunk.kept, chunk.plan),
      levels, request.covariates, chunk.reference_level, mode.missing, chunk.plan.parallel);
  if (!standardization) return fail(std::move(standardization.error()));
  chunk.standardization = std::move(*standardization);
  return chunk;
}

// The parametric prior of every level but the reference, or its error.
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

// The priors the solvers run from; levels whose prior failed have none (settle_run has
// reported those before any chunk is fitted).
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

Matrix chunk_columns(const Matrix& run, std::size_t offset, std::size_t width) {
  return run.middleCols(static_cast<Index>(offset), static_cast<Index>(width));
}

// The chunk's rows of the reference level: location 0, scale 1.
void align_reference(ParametricEstimates& estimates, std::optional<std::size_t> reference_level) {
  if (!reference_level) return;
  estimates.gamma_star.row(static_cast<Index>(*reference_level)).setZero();
  estimates.delta_star.row(static_cast<Index>(*reference_level)).setOnes();
}

// Each kept feature's posteriors, as the run's estimator draws them for it.
Result<ParametricEstimates> chunk_posteriors(const PreparedChunk& chunk, const CombatOptions& options,
                                             const RunMode& mode, const ParametricEstimates& raw,
                                             std::size_t offset, std::span<const std::size_t> passes) {
  const BatchLevels& levels = *chunk.levels;
  const Matrix& standardized = chunk.standardization.standardized;
  const std::size_t width = chunk.kept.size();
  const auto n_levels = static_cast<Index>(levels.level_count());
  const Matrix gamma_hat = chunk_columns(raw.gamma_hat, offset, width);
  const Matrix delta_hat = chunk_columns(raw.delta_hat, offset, width);
  ParametricEstimates estimates{Matrix::Zero(n_levels, gamma_hat.cols()),
                                Matrix::Ones(n_levels, gamma_hat.cols()), gamma_hat, delta_hat};
  // A single kept feature informs no prior: its raw locations are its effects.
  if (mode.n_kept == 1) {
    estimates.gamma_star = gamma_hat;
    estimates.gamma_hat = estimates.delta_hat = Matrix();
    align_reference(estimates, chunk.reference_level);
    return estimates;
  }
  if (!options.par_prior) {
    const PosteriorInputs inputs = prepare_posterior_inputs(standardized, levels, raw.gamma_hat, raw.delta_hat);
    const std::size_t n_jobs = levels.level_count() * width;
    std::vector<Result<FeaturePosterior>> results = parallel_map<Result<FeaturePosterior>>(
        chunk.plan.parallel && n_jobs >= 2, n_jobs, [&](std::size_t job) -> Result<FeaturePosterior> {
          if (job / width == chunk.reference_level) return FeaturePosterior{job / width, job % width, 0.0, 1.0};
          return posterior_job(job, width, inputs, options.exact, offset);
        });
    if (Status failed = first_error(results); !failed) return fail(std::move(failed.error()));
    for (const Result<FeaturePosterior>& result : results) {
      estimates.gamma_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) = result->gamma_star;
      estimates.delta_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) = result->delta_star;
    }
    return estimates;
  }
  const std::vector<std::optional<LevelPrior>> priors =
      solver_priors(levels, chunk.reference_level, mode, raw);
  std::vector<Result<LevelEstimates>> results(levels.level_count());
  if (mode.effective_mean_only) {
    for (std::size_t level = 0; level < results.size(); ++level) {
      LevelEstimates& level_estimates = *results[level];
      level_estimates.gamma_star.assign(width, 0.0);
      level_estimates.delta_star.assign(width, 1.0);
      if (!priors[level]) continue;
      for (std::size_t j = 0; j < width; ++j) {
        level_estimates.gamma_star[j] =
            mean_only_posterior(*priors[level], gamma_hat(static_cast<Index>(level), static_cast<Index>(j)));
      }
    }
  } else {
    std::vector<PassRule> rules(levels.level_count());
    for (std::size_t level = 0; level < rules.size(); ++level) rules[level].stop_pass = passes[level];
    const ScaleMeasurements scales = measure_scales(standardized, levels, chunk.plan.parallel);
    std::vector<LevelTrace> traces =
        trace_level_solvers(standardized, gamma_hat, scales, levels, priors, rules, chunk.plan.parallel);
    for (std::size_t level = 0; level < results.size(); ++level) {
      results[level] = priors[level] ? std::move(traces[level].outcome)
                                     : Result<LevelEstimates>(LevelEstimates{
                                           std::vector<double>(width, 0.0), std::vector<double>(width, 1.0)});
    }
  }
  if (Status written = write_level_estimates(results, estimates.gamma_star, estimates.delta_star); !written) {
    return fail(std::move(written.error()));
  }
  return estimates;
}

}  // namespace

Result<FeatureSurvey> survey_features(const CombatDenseRequest& request,
                                      const CombatOptions& options) {
  Result<BatchLevels> levels = validate_request(request, options);
  if (!levels) return fail(std::move(levels.error()));
  const std::size_t n_features = request.n_features;
  const ParallelPlan plan = ParallelPlan::for_shape(request.n_samples, n_features, levels->level_count());
  FeatureSurvey survey;
  survey.varies.assign(n_features, 0);
  survey.missing.assign(n_features, 0);
  const FeatureSelection selection =
      select_nonzero_variance_features(request.values, request.n_samples, n_features, *levels, plan);
  for (const std::size_t j : selection.kept) survey.varies[j] = 1;
  for (std::size_t i = 0; i < request.n_samples; ++i) {
    const double* row = request.values.data() + i * n_features;
    for (std::size_t j = 0; j < n_features; ++j) survey.missing[j] |= std::isnan(row[j]);
  }
  return survey;
}

Result<ChunkEstimates> raw_estimates(const CombatDenseRequest& request, const CombatOptions& options,
                                     std::span<const std::size_t> complete, const RunMode& mode) {
  Result<PreparedChunk> chunk = prepare_chunk(request, options, complete, mode);
  if (!chunk) return fail(std::move(chunk.error()));
  ChunkEstimates out;
  out.kept = chunk->kept;
  const BatchLevels& levels = *chunk->levels;
  if (out.kept.empty()) {
    // Levels x 0, so that the chunks' records join whatever each one holds.
    const auto n_levels = static_cast<Index>(levels.level_count());
    out.gamma_hat.resize(n_levels, 0);
    if (!mode.effective_mean_only) {
      out.scales.delta_hat.resize(n_levels, 0);
      out.scales.counts.resize(n_levels, 0);
    }
    return out;
  }
  const Matrix& standardized = chunk->standardization.standardized;
  Result<Matrix> gamma_hat = estimate_gamma_hat(standardized, levels, chunk->reference_level,
                                                mode.missing, chunk->plan.parallel);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  out.gamma_hat = std::move(*gamma_hat);
  if (!mode.effective_mean_only) out.scales = measure_scales(standardized, levels, chunk->plan.parallel);
  return out;
}

Result<RunSettlement> settle_run(const BatchLevels& levels, const CombatOptions& options,
                                 const RunMode& mode, const ParametricEstimates& raw,
                                 const ScaleMeasurements& scales,
                                 std::span<const std::vector<LevelTrace>> traces) {
  const std::size_t n_levels = levels.level_count();
  RunSettlement settlement{true, std::vector<std::size_t>(n_levels, 0),
                           std::vector<std::size_t>(n_levels, 0)};
  if (mode.n_kept < 2) return settlement;
  if (!mode.effective_mean_only) {
    if (Status sizes = check_scale_levels(levels); !sizes) return fail(std::move(sizes.error()));
    if (Status entries = check_scale_entries(scales); !entries) return fail(std::move(entries.error()));
  }
  if (!options.par_prior) return settlement;
  const std::optional<std::size_t> reference_level =
      options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt;
  const auto priors = level_priors(levels, reference_level, mode, raw);
  // Levels report in level order: an error is the run's only once every level before it
  // is known to have succeeded.
  bool earlier_open = false;
  for (std::size_t level = 0; level < n_levels; ++level) {
    if (!priors[level]) continue;
    if (!*priors[level]) {
      if (!earlier_open) return fail(std::move(priors[level]->error()));
      continue;
    }
    if (mode.effective_mean_only) continue;
    std::vector<const LevelTrace*> parts;
    for (const std::vector<LevelTrace>& chunk : traces) {
      if (!chunk.empty()) parts.push_back(&chunk[level]);
    }
    if (traces.empty()) {
      settlement.settled = false;
      settlement.explore_from[level] = 1;
      earlier_open = true;
      continue;
    }
    const LevelStop stop = level_stop(parts);
    if (stop.error) {
      if (!earlier_open) return fail(*stop.error);
      settlement.explore_from[level] = 1;
    } else if (stop.pass) {
      settlement.passes[level] = *stop.pass;
      settlement.explore_from[level] = *stop.pass;
    } else {
      settlement.settled = false;
      settlement.explore_from[level] = stop.explore_from;
      earlier_open = true;
    }
  }
  return settlement;
}

Result<std::vector<LevelTrace>> trace_chunk_solvers(const CombatDenseRequest& request,
                                                    const CombatOptions& options,
                                                    std::span<const std::size_t> complete,
                                                    const RunMode& mode,
                                                    const ParametricEstimates& raw,
                                                    std::size_t offset,
                                                    std::span<const std::size_t> explore_from) {
  Result<PreparedChunk> chunk = prepare_chunk(request, options, complete, mode);
  if (!chunk) return fail(std::move(chunk.error()));
  if (chunk->kept.empty()) return std::vector<LevelTrace>{};
  const BatchLevels& levels = *chunk->levels;
  require(explore_from.size() == levels.level_count(), "one starting pass per level");
  std::vector<PassRule> rules(levels.level_count());
  for (std::size_t level = 0; level < rules.size(); ++level) {
    rules[level].min_pass = std::max<std::size_t>(1, explore_from[level]);
  }
  const Matrix& standardized = chunk->standardization.standardized;
  const ScaleMeasurements scales = measure_scales(standardized, levels, chunk->plan.parallel);
  return trace_level_solvers(standardized, chunk_columns(raw.gamma_hat, offset, chunk->kept.size()),
                             scales, levels, solver_priors(levels, chunk->reference_level, mode, raw),
                             rules, chunk->plan.parallel);
}

Result<ModelFit> fit_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                           std::span<const std::size_t> complete,
                           std::span<const std::size_t> partial, const RunMode& mode,
                           const ParametricEstimates& raw, std::size_t offset,
                           std::span<const std::size_t> passes) {
  Result<PreparedChunk> chunk = prepare_chunk(request, options, complete, mode);
  if (!chunk) return fail(std::move(chunk.error()));
  const BatchLevels& levels = *chunk->levels;
  PipelineFit fit;
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (levels.level_size(level) == 1) fit.report.singleton_batches.push_back(levels.batch_id(level));
  }
  fit.report.effective_mean_only = mode.effective_mean_only;
  fit.report.zero_variance_features = chunk->zero_variance;
  fit.reference_level = chunk->reference_level;
  fit.kept = chunk->kept;
  if (!fit.kept.empty()) {
    Result<ParametricEstimates> estimates = chunk_posteriors(*chunk, options, mode, raw, offset, passes);
    if (!estimates) return fail(std::move(estimates.error()));
    const StandMean& mean = chunk->standardization.stand_mean;
    fit.grand_mean = mean.grand();
    fit.covariate_coefficients = mean.coefficients();
    fit.pooled_variance = std::move(chunk->standardization.pooled_variance);
    fit.estimates = std::move(*estimates);
  }
  return model_of_run(request, options, levels, fit, raw, partial);
}

}  // namespace quarnel
