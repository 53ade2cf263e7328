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
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
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

// The parametric prior of every level but the reference, or its error, from the run's raw
// estimates.
std::vector<std::optional<Result<LevelPrior>>> level_priors(const BatchLevels& levels,
                                                            std::optional<std::size_t> reference_level,
                                                            const RunMode& mode,
                                                            const ParametricEstimates& raw);

// The solvers of the tile's features, each level run until its own change is small from
// explore_from[level] on (parametric priors with scales only).
std::vector<LevelTrace> trace_tile(const TileRun& run, const Standardization& tile, const RunMode& mode,
                                   const ParametricEstimates& raw, std::size_t offset,
                                   std::span<const std::size_t> explore_from, bool parallel);

// Each of the tile's features' posteriors as the run's estimator draws them for it, the
// raw estimates beside them; `passes` are the levels' stopping passes (see settle_run).
// Non-parametric posteriors weigh every feature's raw estimates: `prior_points` holds them
// prepared once for all of a run's tiles (prepare_posterior_inputs of `raw`), or null to
// prepare them for this tile alone.
Result<ParametricEstimates> tile_posteriors(const TileRun& run, const Standardization& tile,
                                            const RunMode& mode, const ParametricEstimates& raw,
                                            std::size_t offset, std::span<const std::size_t> passes,
                                            bool parallel, const PosteriorInputs* prior_points = nullptr);

}  // namespace quarnel
