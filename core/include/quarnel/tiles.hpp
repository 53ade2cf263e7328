// The per-tile work of a run fitted over tiles: runs of features, each with every sample.
//
// Every per-feature quantity of a run depends only on its own column, so a run can be
// fitted a tile at a time, each tile standardised where it is worked on and let go, with
// only the run-wide records (raw estimates, priors, the solvers' stopping passes) kept
// between rounds. The in-memory run (driver.hpp) takes its tiles from the caller's matrix;
// the rounds of a run over chunks (stages.hpp) take each chunk as one tile. Both go
// through these functions, so both give the bits of the run fitted at once.
//
// `kept` lists a tile's kept complete features as column indices of the request
// (ascending); `raw` holds the raw estimates of all of the run's kept complete features in
// feature order, and `offset` is how many of them come before the tile's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/standardize.hpp"

namespace quarnel {

// What every tile of a run shares: the validated request and its levels.
struct TileRun {
  const CombatDenseRequest& request;
  const CombatOptions& options;
  const BatchLevels& levels;
  std::optional<std::size_t> reference_level;
};

// The tile's kept features standardised in the run's missing-data mode.
Result<Standardization> standardize_tile(const TileRun& run, std::span<const std::size_t> kept,
                                         bool missing, bool parallel);

// What a tile's first read leaves of it: its kept features (request columns) and, per kept
// feature, its standardisation's outcome (the standardised values let go), the scales
// measured on it and its raw locations (NaN where its fit or pooled variance failed).
struct JudgedTile {
  std::vector<std::size_t> kept;
  std::vector<std::uint64_t> constant;
  std::vector<unsigned char> holds_nan;  // per kept feature
  bool missing = false;                  // the missing-data mode it was standardised in
  std::optional<CombatError> design_error;    // the whole design's
  std::optional<CombatError> location_error;  // a raw location's
  StandardizedFeatures each;
  ScaleMeasurements scales;
  Matrix gamma_hat;
};

// The tile of features [begin, end) judged in the missing-data mode `forced`, or when that
// is not known yet, in the mode its own values and `seen_nan` (another tile holds a NaN)
// suggest. The standardised values of its fitted features are parked at feature j's
// column j * n_samples of `parked` unless that is empty.
JudgedTile judge_tile(const TileRun& run, std::size_t begin, std::size_t end, std::optional<bool> forced,
                      bool seen_nan, bool parallel, std::span<double> parked);

// The verdicts on the tile's features, written at their request columns of `verdicts`;
// scales are judged unless the run leaves them alone.
void tile_verdicts(const TileRun& run, const JudgedTile& tile, bool judge_scales,
                   std::span<FeatureVerdict> verdicts);

// The parametric prior of every level but the reference, or its error, from the run's raw
// estimates.
std::vector<std::optional<Result<LevelPrior>>> level_priors(const BatchLevels& levels,
                                                            std::optional<std::size_t> reference_level,
                                                            const RunMode& mode,
                                                            const ParametricEstimates& raw);

// What the posteriors of every tile are drawn from, formed once from the run's raw
// estimates: each level's parametric prior (none for the reference level or a failed
// prior, which settle_run reports first), or for non-parametric priors every feature's
// raw estimates as prior points.
struct RunPriors {
  std::vector<std::optional<LevelPrior>> parametric;
  std::optional<PosteriorInputs> points;
};
RunPriors run_priors(const TileRun& run, const RunMode& mode, const ParametricEstimates& raw);

// The solvers of the tile's features, each level run until its own change is small from
// explore_from[level] on (parametric priors with scales only). `scales` are the tile's
// features' scale measurements (measure_scales).
std::vector<LevelTrace> trace_tile(const TileRun& run, const Standardization& tile, const ScaleMeasurements& scales,
                                   const ParametricEstimates& raw, std::span<const std::optional<LevelPrior>> priors,
                                   std::size_t offset, std::span<const std::size_t> explore_from, bool parallel);

// Each of the tile's features' posteriors as the run's estimator draws them for it, the
// raw estimates beside them; `passes` are the levels' stopping passes (see settle_run).
// `traced` holds the tile's last traces (trace_tile), or nothing: each level's solver goes
// on from where its trace stopped, so that a level whose trace stopped at its stopping
// pass needs no more passes (and then no data). `scales` are the tile's features' scale
// measurements, read where a solver runs.
Result<ParametricEstimates> tile_posteriors(const TileRun& run, const Standardization& tile,
                                            const RunMode& mode, const ParametricEstimates& raw,
                                            const RunPriors& priors, std::size_t offset,
                                            std::span<const std::size_t> passes, std::span<const LevelTrace> traced,
                                            const ScaleMeasurements& scales, bool parallel);

// Whether tile_posteriors reads the tile's standardised values, given its traces.
bool posteriors_read_data(const TileRun& run, const RunMode& mode, std::span<const std::size_t> passes,
                          std::span<const LevelTrace> traced);

}  // namespace quarnel
