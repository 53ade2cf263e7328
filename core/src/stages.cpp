#include "quarnel/stages.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <optional>

#include "quarnel/design.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/pipeline.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/tiles.hpp"
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

  TileRun run(const CombatDenseRequest& request, const CombatOptions& options) const {
    return TileRun{request, options, *levels, reference_level};
  }
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
  Result<Standardization> standardization =
      standardize_tile(chunk.run(request, options), chunk.kept, mode.missing, chunk.plan.parallel);
  if (!standardization) return fail(std::move(standardization.error()));
  chunk.standardization = std::move(*standardization);
  return chunk;
}

}  // namespace

Result<JudgedChunk> judge_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                                std::optional<bool> missing, std::optional<bool> judge_scales) {
  Result<BatchLevels> validated = validate_request(request, options);
  if (!validated) return fail(std::move(validated.error()));
  const BatchLevels& levels = *validated;
  const TileRun run{request, options, levels,
                    options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt};
  const bool parallel = ParallelPlan::for_shape(request.n_samples, request.n_features, levels.level_count()).parallel;
  JudgedTile tile = judge_tile(run, 0, request.n_features, missing, false, parallel, {});
  if (tile.design_error) return fail(std::move(*tile.design_error));
  JudgedChunk out;
  out.missing = tile.missing;
  out.judge_scales = judge_scales.value_or(!decide_run_mode(options.mean_only, levels, 2, tile.missing).effective_mean_only);
  out.assessment.verdicts.resize(request.n_features);
  out.assessment.effective_mean_only = !out.judge_scales;
  tile_verdicts(run, tile, out.judge_scales, out.assessment.verdicts);
  out.kept = std::move(tile.kept);
  out.holds_nan = std::move(tile.holds_nan);
  out.location_error = std::move(tile.location_error);
  if (out.kept.empty()) {
    // Levels x 0, so that the chunks' records join whatever each one holds.
    const auto n_levels = static_cast<Index>(levels.level_count());
    out.gamma_hat.resize(n_levels, 0);
    out.scales.delta_hat.resize(n_levels, 0);
    out.scales.counts.resize(n_levels, 0);
    return out;
  }
  out.gamma_hat = std::move(tile.gamma_hat);
  out.scales = std::move(tile.scales);
  return out;
}

Status settle_level(std::span<const LevelTrace* const> parts, bool traced, std::size_t level, bool& earlier_open,
                    RunSettlement& settlement) {
  if (!traced) {
    settlement.settled = false;
    settlement.explore_from[level] = 1;
    earlier_open = true;
    return {};
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
  return {};
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
    if (Status settled = settle_level(parts, !traces.empty(), level, earlier_open, settlement); !settled) {
      return fail(std::move(settled.error()));
    }
  }
  return settlement;
}

namespace {

// The scales the chunk's solvers read: measured where they run, none otherwise.
ScaleMeasurements solver_scales(const PreparedChunk& chunk, const CombatOptions& options, const RunMode& mode) {
  if (chunk.kept.empty() || !options.par_prior || mode.effective_mean_only) return {};
  return measure_scales(chunk.standardization.standardized, *chunk.levels, chunk.plan.parallel);
}

// The chunk's part of the run's model with the posteriors `passes` give, its solvers going
// on from `traced` (see tile_posteriors) with the priors and scales they were traced with.
Result<ModelFit> fit_prepared(PreparedChunk& chunk, const CombatDenseRequest& request, const CombatOptions& options,
                              std::span<const std::size_t> partial, const RunMode& mode,
                              const ParametricEstimates& raw, const RunPriors& priors,
                              const ScaleMeasurements& scales, std::size_t offset,
                              std::span<const std::size_t> passes, std::span<const LevelTrace> traced) {
  const BatchLevels& levels = *chunk.levels;
  PipelineFit fit;
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (levels.level_size(level) == 1) fit.report.singleton_batches.push_back(levels.batch_id(level));
  }
  fit.report.effective_mean_only = mode.effective_mean_only;
  fit.report.zero_variance_features = chunk.zero_variance;
  fit.reference_level = chunk.reference_level;
  fit.kept = chunk.kept;
  if (!fit.kept.empty()) {
    Result<ParametricEstimates> estimates = tile_posteriors(chunk.run(request, options), chunk.standardization, mode,
                                                            raw, priors, offset, passes, traced, scales,
                                                            chunk.plan.parallel);
    if (!estimates) return fail(std::move(estimates.error()));
    const StandMean& mean = chunk.standardization.stand_mean;
    fit.grand_mean = mean.grand();
    fit.covariate_coefficients = mean.coefficients();
    fit.pooled_variance = std::move(chunk.standardization.pooled_variance);
    fit.estimates = std::move(*estimates);
  }
  return model_of_run(request, options, levels, fit, raw, partial);
}

// The passes at which the traced solvers stopped, if every one of them succeeded.
std::optional<std::vector<std::size_t>> traced_passes(std::span<const LevelTrace> traces) {
  std::vector<std::size_t> passes;
  for (const LevelTrace& trace : traces) {
    if (!trace.outcome) return std::nullopt;
    passes.push_back(trace.changes.size());
  }
  return passes;
}

}  // namespace

Result<TracedChunk> trace_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                                std::span<const std::size_t> complete, std::span<const std::size_t> partial,
                                const RunMode& mode, const ParametricEstimates& raw, std::size_t offset,
                                std::span<const std::size_t> explore_from) {
  Result<PreparedChunk> chunk = prepare_chunk(request, options, complete, mode);
  if (!chunk) return fail(std::move(chunk.error()));
  TracedChunk out;
  const RunPriors priors = run_priors(chunk->run(request, options), mode, raw);
  const ScaleMeasurements scales = solver_scales(*chunk, options, mode);
  if (!chunk->kept.empty()) {
    out.traces = trace_tile(chunk->run(request, options), chunk->standardization, scales, raw, priors.parametric,
                            offset, explore_from, chunk->plan.parallel);
  }
  // The traces are still at hand: where they end is likely where the run stops.
  const std::optional<std::vector<std::size_t>> passes =
      chunk->kept.empty() ? std::vector<std::size_t>(chunk->levels->level_count(), 0) : traced_passes(out.traces);
  if (!passes) return out;
  Result<ModelFit> fit =
      fit_prepared(*chunk, request, options, partial, mode, raw, priors, scales, offset, *passes, out.traces);
  if (fit) out.fit = std::move(*fit);
  return out;
}

Result<ModelFit> fit_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                           std::span<const std::size_t> complete,
                           std::span<const std::size_t> partial, const RunMode& mode,
                           const ParametricEstimates& raw, std::size_t offset,
                           std::span<const std::size_t> passes) {
  Result<PreparedChunk> chunk = prepare_chunk(request, options, complete, mode);
  if (!chunk) return fail(std::move(chunk.error()));
  const RunPriors priors = run_priors(chunk->run(request, options), mode, raw);
  return fit_prepared(*chunk, request, options, partial, mode, raw, priors, solver_scales(*chunk, options, mode),
                      offset, passes, {});
}

}  // namespace quarnel
