// A run over tiles of features, in a fixed sequence of rounds:
//   1. per tile, one read of the input: the zero-variance test, each feature's fit, pooled
//      variance and standardisation, its verdict's ingredients and its raw estimates;
//      then, run-wide, the verdicts, the caller's choice of features and the run's mode;
//   2. run-wide: the checks of the raw estimates and every level's prior (settle_run);
//   3. per tile, one read (parametric priors with scales only): the solvers' passes on
//      the standardised tile, traced, until settle_run knows where each level stops;
//   4. per tile, one read where the posteriors need the data: each feature's posteriors;
//      then the model, which apply_model maps the samples through in one read and write.
// A tile is standardised where it is worked on and let go: between rounds only records of
// a few numbers per feature are kept, so a run needs little memory beyond its result, and
// a tile's values stay in cache while every stage of a round works on them.
#include "quarnel/judged.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include <unistd.h>

#include "quarnel/cancel.hpp"
#include "quarnel/design.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/pipeline.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/stages.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/tiles.hpp"
#include "quarnel/zero_variance.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

// A tile's standardised values take about half of a core's L2 cache (256 KiB where the
// system does not say how large it is), so that they and the stages' small buffers stay
// in it; never fewer than kMinTileWidth features, below which the design's per-tile work
// would outweigh the features'. Any width gives the same bits.
constexpr std::size_t kMinTileWidth = 64;
constexpr std::size_t kMaxTileWidth = 1024;

std::size_t tile_bytes() {
  constexpr std::size_t kUnknownCache = std::size_t{1} << 18;
  static const std::size_t bytes = [] {
#if defined(_SC_LEVEL2_CACHE_SIZE)
    const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (l2 > 0) return std::clamp(static_cast<std::size_t>(l2) / 2, kUnknownCache / 2, std::size_t{1} << 22);
#endif
    return kUnknownCache;
  }();
  return bytes;
}

std::size_t tile_width_for(std::size_t n_samples) {
  const std::size_t fits = tile_bytes() / (sizeof(double) * std::max<std::size_t>(1, n_samples));
  return std::clamp(fits / 8 * 8, kMinTileWidth, kMaxTileWidth);
}

struct Tile {
  std::size_t begin = 0;
  std::size_t end = 0;
};

std::vector<Tile> cut_tiles(std::size_t n_features, std::size_t width) {
  std::vector<Tile> tiles;
  for (std::size_t begin = 0; begin < n_features; begin += width) {
    tiles.push_back({begin, std::min(n_features, begin + width)});
  }
  return tiles;
}

// Runs work(t) for every tile, on the worker pool when `parallel`, in slices of about
// kWorkPerSlice units of work (values visited; `tile_work` per tile), asking between the
// slices whether to stop and telling how far `stage` has come. A slice takes a fraction
// of a second, so a run stops soon after it is asked to, and the pool's threads are
// started and gathered only a few times a round.
constexpr std::size_t kWorkPerSlice = std::size_t{1} << 25;

template <class Work>
void for_each_tile(std::size_t n_tiles, std::size_t tile_work, bool parallel, const CancelRequested& cancel,
                   std::string_view stage, Work&& work) {
  const std::size_t fits = kWorkPerSlice / std::max<std::size_t>(1, tile_work);
  const std::size_t slice = std::max(fits, parallel ? 4 * pool::worker_count() : 1);
  for (std::size_t first = 0; first < n_tiles; first += slice) {
    stop_if_cancelled(cancel, {stage, first, n_tiles});
    const std::size_t count = std::min(n_tiles - first, slice);
    parallel_for_split(parallel, count, 4, [&](std::size_t k) { work(first + k); });
  }
}

// The parked standardised values of `features` (ascending).
Standardization parked_tile(std::size_t n_samples, std::span<const double> parked,
                            std::span<const std::size_t> features) {
  Standardization tile;
  tile.standardized.resize(static_cast<Index>(n_samples), static_cast<Index>(features.size()));
  for (std::size_t k = 0; k < features.size(); ++k) {
    std::copy_n(parked.data() + features[k] * n_samples, n_samples, tile.standardized.col(static_cast<Index>(k)).data());
  }
  return tile;
}

// Round 1 over every tile in the run's missing-data mode: `forced` when it is known, else
// the mode the tiles find, a tile without a NaN of its own being judged again when another
// tile holds one.
std::vector<JudgedTile> judge_tiles(const TileRun& run, std::span<const Tile> tiles, bool parallel,
                                    const CancelRequested& cancel, std::optional<bool> forced,
                                    std::span<double> parked) {
  std::vector<JudgedTile> judged(tiles.size());
  std::atomic<bool> seen_nan = false;
  const std::size_t work = run.request.n_samples * (tiles.empty() ? 0 : tiles.front().end - tiles.front().begin);
  for_each_tile(tiles.size(), work, parallel, cancel, "standardise", [&](std::size_t t) {
    judged[t] = judge_tile(run, tiles[t].begin, tiles[t].end, forced, seen_nan.load(std::memory_order_relaxed),
                           false, parked);
    if (std::ranges::find(judged[t].holds_nan, 1) != judged[t].holds_nan.end()) seen_nan = true;
  });
  const bool missing = forced.value_or(seen_nan.load());
  std::vector<std::size_t> again;
  for (std::size_t t = 0; t < tiles.size(); ++t) {
    if (!judged[t].kept.empty() && judged[t].missing != missing) again.push_back(t);
  }
  for_each_tile(again.size(), work, parallel, cancel, "standardise",
                [&](std::size_t k) {
                  const Tile tile = tiles[again[k]];
                  judged[again[k]] = judge_tile(run, tile.begin, tile.end, missing, missing, false, parked);
                });
  return judged;
}

// Where a kept feature's records are: its tile and its column there.
struct Place {
  std::size_t tile = 0;
  std::size_t column = 0;
};

// The run's kept features in feature order, with their places.
struct KeptFeatures {
  std::vector<std::size_t> features;
  std::vector<Place> places;
};

KeptFeatures kept_features(std::span<const JudgedTile> judged) {
  KeptFeatures out;
  for (std::size_t t = 0; t < judged.size(); ++t) {
    for (std::size_t m = 0; m < judged[t].kept.size(); ++m) {
      out.features.push_back(judged[t].kept[m]);
      out.places.push_back({t, m});
    }
  }
  return out;
}

bool any_nan(std::span<const JudgedTile> judged, std::span<const Place> places) {
  return std::ranges::any_of(places, [&](Place p) { return judged[p.tile].holds_nan[p.column] != 0; });
}

FeatureAssessment assess(std::span<const JudgedTile> judged, std::size_t n_features, const TileRun& run,
                         const RunMode& mode) {
  FeatureAssessment assessment;
  assessment.verdicts.resize(n_features);
  assessment.effective_mean_only = mode.effective_mean_only;
  for (const JudgedTile& tile : judged) tile_verdicts(run, tile, !mode.effective_mean_only, assessment.verdicts);
  return assessment;
}

// The first error of standardising `places` as one run: every fit error comes before any
// variance error, each in feature order.
Status standardization_status(std::span<const JudgedTile> judged, std::span<const Place> places) {
  for (const Place p : places) {
    if (const Status& fit = judged[p.tile].each.fit_status[p.column]; !fit) return fit;
  }
  for (const Place p : places) {
    if (const Status& variance = judged[p.tile].each.variance_status[p.column]; !variance) return variance;
  }
  return {};
}

// The raw estimates of the run's features at `places`, joined in feature order (delta_hat
// all 1.0 when scales are left alone), with the scale measurements behind them.
struct RunRecords {
  ParametricEstimates raw;
  ScaleMeasurements scales;
};

RunRecords run_records(std::span<const JudgedTile> judged, std::span<const Place> places, std::size_t n_levels,
                       const RunMode& mode) {
  const auto rows = static_cast<Index>(n_levels);
  const auto width = static_cast<Index>(places.size());
  RunRecords out;
  out.raw.gamma_hat.resize(rows, width);
  out.raw.delta_hat = Matrix::Ones(rows, width);
  if (!mode.effective_mean_only) {
    out.scales.delta_hat.resize(rows, width);
    out.scales.counts.resize(rows, width);
  }
  for (Index k = 0; k < width; ++k) {
    const Place p = places[static_cast<std::size_t>(k)];
    const JudgedTile& tile = judged[p.tile];
    const auto c = static_cast<Index>(p.column);
    out.raw.gamma_hat.col(k) = tile.gamma_hat.col(c);
    if (mode.effective_mean_only) continue;
    out.raw.delta_hat.col(k) = tile.scales.delta_hat.col(c);
    out.scales.delta_hat.col(k) = tile.scales.delta_hat.col(c);
    out.scales.counts.col(k) = tile.scales.counts.col(c);
  }
  return out;
}

// Non-parametric jobs each visit every kept feature's values once (the fast estimate only
// its summaries), so their tiles are cut to about this many visits.
constexpr double kJobVisitsPerTile = 1 << 24;

// The run's kept features cut into the tiles of rounds 3 and 4: `width` features each,
// fewer for non-parametric jobs, whose work grows with the number of features.
std::vector<Tile> estimate_tiles(const TileRun& run, std::size_t n_kept, std::size_t width) {
  if (!run.options.par_prior) {
    const double per_feature = static_cast<double>(run.levels.level_count()) * static_cast<double>(n_kept) *
                               (run.options.exact ? static_cast<double>(run.request.n_samples) : 1.0);
    width = std::clamp<std::size_t>(static_cast<std::size_t>(kJobVisitsPerTile / per_feature), 1, width);
  }
  return cut_tiles(n_kept, width);
}

// The values a tile of rounds 3 and 4 visits: its own for a solver pass, every kept
// feature's for each of its non-parametric jobs.
std::size_t tile_work(const TileRun& run, std::span<const Tile> tiles) {
  if (tiles.empty()) return 0;
  return static_cast<std::size_t>(kJobVisitsPerTile) * !run.options.par_prior +
         run.request.n_samples * (tiles.front().end - tiles.front().begin) * run.options.par_prior;
}

// The run's scale measurements of a tile of rounds 3 and 4.
ScaleMeasurements tile_scales(const RunRecords& records, Tile tile) {
  const auto first = static_cast<Index>(tile.begin);
  const auto width = static_cast<Index>(tile.end - tile.begin);
  return {records.scales.delta_hat.middleCols(first, width), records.scales.counts.middleCols(first, width)};
}

std::span<const std::size_t> tile_part(std::span<const std::size_t> kept, Tile tile) {
  return kept.subspan(tile.begin, tile.end - tile.begin);
}

// Rounds 2 and 3: the levels' stopping passes, tracing the tiles' solvers until they are
// known; `traces` ends with every tile's last traces.
Result<RunSettlement> settle(const TileRun& run, std::span<const Tile> tiles, const RunMode& mode,
                             const RunRecords& records, std::span<const std::size_t> kept,
                             std::span<const double> parked, bool parallel, const CancelRequested& cancel,
                             std::vector<std::vector<LevelTrace>>& traces) {
  std::optional<RunPriors> priors;
  for (;;) {
    Result<RunSettlement> settled = settle_run(run.levels, run.options, mode, records.raw, records.scales, traces);
    if (!settled || settled->settled) return settled;
    if (!priors) priors = run_priors(run, mode, records.raw);
    traces.assign(tiles.size(), {});
    for_each_tile(tiles.size(), tile_work(run, tiles), parallel, cancel, "estimate", [&](std::size_t t) {
      const Standardization tile = parked_tile(run.request.n_samples, parked, tile_part(kept, tiles[t]));
      traces[t] = trace_tile(run, tile, tile_scales(records, tiles[t]), records.raw, priors->parametric,
                             tiles[t].begin, settled->explore_from, false);
    });
  }
}

// Round 4: every kept feature's posteriors (gamma_star and delta_star), in feature order.
// Each tile writes its own columns as it finishes, so that no tile's part outlives it.
Result<ParametricEstimates> posteriors(const TileRun& run, std::span<const Tile> tiles, const RunMode& mode,
                                       const RunRecords& records, std::span<const std::size_t> kept,
                                       std::span<const double> parked, std::span<const std::size_t> passes,
                                       std::span<const std::vector<LevelTrace>> traces, bool parallel,
                                       const CancelRequested& cancel) {
  const RunPriors priors = run_priors(run, mode, records.raw);
  const auto n_levels = static_cast<Index>(run.levels.level_count());
  const auto width = static_cast<Index>(kept.size());
  ParametricEstimates out{Matrix(n_levels, width), Matrix(n_levels, width)};
  std::vector<Status> done(tiles.size());
  for_each_tile(tiles.size(), tile_work(run, tiles), parallel, cancel, "estimate", [&](std::size_t t) {
    const std::span<const std::size_t> part = tile_part(kept, tiles[t]);
    const std::span<const LevelTrace> traced = traces.empty() ? std::span<const LevelTrace>() : traces[t];
    Standardization tile;
    if (posteriors_read_data(run, mode, passes, traced)) {
      tile = parked_tile(run.request.n_samples, parked, part);
    } else {
      // Only the tile's width is read.
      tile.standardized.resize(0, static_cast<Index>(part.size()));
    }
    const ScaleMeasurements scales = mode.effective_mean_only ? ScaleMeasurements{} : tile_scales(records, tiles[t]);
    Result<ParametricEstimates> estimates =
        tile_posteriors(run, tile, mode, records.raw, priors, tiles[t].begin, passes, traced, scales, false);
    if (!estimates) {
      done[t] = fail(std::move(estimates.error()));
      return;
    }
    const auto first = static_cast<Index>(tiles[t].begin);
    const auto count = static_cast<Index>(tiles[t].end - tiles[t].begin);
    out.gamma_star.middleCols(first, count) = estimates->gamma_star;
    out.delta_star.middleCols(first, count) = estimates->delta_star;
  });
  if (Status failed = first_error(done); !failed) return fail(std::move(failed.error()));
  return out;
}

// Lets go of what a judged tile holds beyond its standardisation records, once the
// verdicts are given and its raw estimates are joined into the run's records.
void keep_only_standardization(JudgedTile& tile) {
  tile.gamma_hat = Matrix();
  tile.scales = ScaleMeasurements{};
  std::vector<Status>().swap(tile.each.fit_status);
  std::vector<Status>().swap(tile.each.variance_status);
  std::vector<unsigned char>().swap(tile.holds_nan);
}

// The kept features' standardisation records in feature order.
void join_standardization(std::span<const JudgedTile> judged, std::span<const Place> places, PipelineFit& fit) {
  const Index n_cov = places.empty() ? 0 : judged[places.front().tile].each.standardization.stand_mean.coefficients().rows();
  fit.covariate_coefficients.resize(n_cov, static_cast<Index>(places.size()));
  for (std::size_t k = 0; k < places.size(); ++k) {
    const Standardization& s = judged[places[k].tile].each.standardization;
    const auto c = static_cast<Index>(places[k].column);
    fit.grand_mean.push_back(s.stand_mean.grand()[places[k].column]);
    fit.pooled_variance.push_back(s.pooled_variance[places[k].column]);
    fit.covariate_coefficients.col(static_cast<Index>(k)) = s.stand_mean.coefficients().col(c);
  }
}

bool ascending_within(std::span<const std::size_t> features, std::uint64_t n_features) {
  return std::ranges::adjacent_find(features, std::greater_equal<>()) == features.end() &&
         (features.empty() || features.back() < n_features);
}

// The places of the chosen complete features that the zero-variance test kept.
std::vector<Place> chosen_places(const KeptFeatures& kept, std::span<const std::size_t> complete) {
  std::vector<Place> out;
  for (std::size_t k = 0; k < kept.features.size(); ++k) {
    if (std::ranges::binary_search(complete, kept.features[k])) out.push_back(kept.places[k]);
  }
  return out;
}

}  // namespace

namespace {

// The run's model; `parked` is an n x G buffer the rounds keep the standardised values in.
Result<ModelFit> fit_over_tiles(const CombatDenseRequest& request, const CombatOptions& options,
                                const ChooseFeatures& choose, std::size_t tile_width, ValueBuffer& parked) {
  const CancelRequested& cancel = options.cancel_requested;
  stop_if_cancelled(cancel, {"standardise", 0, 1});
  Result<BatchLevels> validated = validate_request(request, options);
  if (!validated) return fail(std::move(validated.error()));
  const BatchLevels& levels = *validated;
  // The tiles' stages never ask whether to stop: only this thread does, between slices.
  CombatOptions tile_options = options;
  tile_options.cancel_requested = {};
  const TileRun run{request, tile_options, levels,
                    options.ref_batch ? levels.level_of_batch_id(*options.ref_batch) : std::nullopt};
  const std::size_t width = tile_width ? tile_width : tile_width_for(request.n_samples);
  const std::vector<Tile> tiles = cut_tiles(request.n_features, width);
  const bool parallel =
      ParallelPlan::for_shape(request.n_samples, request.n_features, levels.level_count()).parallel;

  // Round 1, and the verdicts in the mode the judged features decide.
  parked.resize(static_cast<std::size_t>(request.n_samples * request.n_features));
  std::vector<JudgedTile> judged = judge_tiles(run, tiles, parallel, cancel, std::nullopt, parked);
  for (JudgedTile& tile : judged) {
    if (tile.design_error) return fail(std::move(*tile.design_error));
  }
  KeptFeatures kept = kept_features(judged);
  const RunMode judged_mode =
      decide_run_mode(options.mean_only, levels, kept.features.size(), any_nan(judged, kept.places));
  const FeatureChoice choice = choose(assess(judged, request.n_features, run, judged_mode));
  require(ascending_within(choice.complete, request.n_features) &&
              ascending_within(choice.partial, request.n_features),
          "chosen feature lists are ascending indices of the request's features");

  PipelineFit fit = start_pipeline(options, levels, choice.complete, FeatureSelection{kept.features, {}});
  std::vector<Place> places = chosen_places(kept, choice.complete);
  if (places.empty()) return model_of_run(request, options, levels, fit, fit.estimates, choice.partial);
  const RunMode mode = decide_run_mode(options.mean_only, levels, places.size(), any_nan(judged, places));
  if (mode.missing != judged_mode.missing) {
    // A NaN only in features left out of the run: its features are standardised anew in
    // the run's own mode.
    judged = judge_tiles(run, tiles, parallel, cancel, mode.missing, parked);
    places = chosen_places(kept_features(judged), choice.complete);
    for (JudgedTile& tile : judged) {
      if (tile.design_error) return fail(std::move(*tile.design_error));
    }
  }
  if (Status standardized = standardization_status(judged, places); !standardized) {
    return fail(std::move(standardized.error()));
  }
  for (const Place p : places) {
    if (judged[p.tile].location_error) return fail(CombatError(*judged[p.tile].location_error));
  }
  stop_if_cancelled(cancel, {"standardise", 1, 1});

  // Rounds 2 to 4.
  fit.report.effective_mean_only = mode.effective_mean_only;
  RunRecords records = run_records(judged, places, levels.level_count(), mode);
  for (JudgedTile& tile : judged) keep_only_standardization(tile);
  const std::vector<Tile> kept_tiles = estimate_tiles(run, fit.kept.size(), width);
  std::vector<std::vector<LevelTrace>> traces;
  Result<RunSettlement> settled =
      settle(run, kept_tiles, mode, records, fit.kept, parked, parallel, cancel, traces);
  if (!settled) return fail(std::move(settled.error()));
  Result<ParametricEstimates> estimates =
      posteriors(run, kept_tiles, mode, records, fit.kept, parked, settled->passes, traces, parallel, cancel);
  if (!estimates) return fail(std::move(estimates.error()));
  // The raw estimates the posteriors shrank are the run's records; a single kept feature
  // has none.
  if (mode.n_kept >= 2) {
    estimates->gamma_hat = std::move(records.raw.gamma_hat);
    estimates->delta_hat = std::move(records.raw.delta_hat);
  }
  join_standardization(judged, places, fit);
  fit.estimates = std::move(*estimates);
  // The tiles' records are let go before the model is assembled, so that a run's memory
  // peaks at its records or its model, not at both.
  std::vector<JudgedTile>().swap(judged);
  std::vector<std::vector<LevelTrace>>().swap(traces);
  records = RunRecords{};
  return model_of_run(request, options, levels, fit, fit.estimates, choice.partial);
}

}  // namespace

Result<ModelFit> fit_model_judged(const CombatDenseRequest& request, const CombatOptions& options,
                                  const ChooseFeatures& choose, std::size_t tile_width) {
  ValueBuffer parked;
  return fit_over_tiles(request, options, choose, tile_width, parked);
}

Result<PartialCombatOutput> combat_dense_judged(const CombatDenseRequest& request,
                                                const CombatOptions& options,
                                                const ChooseFeatures& choose, std::size_t tile_width) {
  // The parked standardised values are overwritten by the result: a run needs one n x G
  // buffer.
  ValueBuffer parked;
  Result<ModelFit> fit = fit_over_tiles(request, options, choose, tile_width, parked);
  if (!fit) return fail(std::move(fit.error()));
  return correct_with_fit(std::move(*fit), request, options, std::move(parked));
}

}  // namespace quarnel
