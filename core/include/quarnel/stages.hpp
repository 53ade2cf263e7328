// A correction fitted in rounds over parts of its features ("chunks"), for matrices too
// large to hold at once. Each function is one round's work on one chunk, or the caller's
// work between rounds; together the rounds give exactly what fit_model gives for the whole
// matrix, because every per-feature quantity is computed the same way whatever else is
// computed with it, and what depends on all features (the run's mode, the priors, the
// pass at which each level's solver stops) is decided once from the records of every
// chunk, in feature order.
//
// A chunk is a request with every sample and some of the features. `complete` and
// `partial` are its own column indices (ascending) of the run's complete and partial
// features. `raw` holds the raw estimates of all of the run's kept complete features,
// gathered from every chunk in feature order (delta_hat all 1.0 when scales are left
// alone), and `offset` is how many of them the chunks before this one hold.
//
// The rounds:
//   1. judge_chunk on every chunk (one read); decide_run_mode over all of them, judging
//      again the chunks judged in another mode; from the verdicts the caller plans the
//      complete and partial features, decides the mode again over the complete ones, and
//      gathers their raw estimates into `raw`;
//   2. settle_run, and while it is not settled, trace_chunk on every chunk with the
//      passes it asks for (one read each time) and settle_run again on their traces;
//   3. fit_chunk (one read) on every chunk whose traced part of the model is not the
//      run's: on all of them when nothing was traced.
// A chunk's part of the model is what apply_model applies to it, in one more read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/error.hpp"
#include "quarnel/model.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/run_mode.hpp"

namespace quarnel {

// A chunk's first read: every feature's verdict, and the raw estimates of the features
// the zero-variance test keeps (`kept`, ascending), in the missing-data mode given, or
// when that is not known yet in the one its own values suggest; scales are judged as the
// run judges them (`judge_scales`), or when that is not known yet as a run of two or more
// features would. Where the run turns out to be in another mode, the chunk is judged
// again in the run's. The scales are measured, not checked (settle_run checks them all).
struct JudgedChunk {
  std::vector<std::size_t> kept;
  std::vector<unsigned char> holds_nan;  // per kept feature
  bool missing = false;                  // the mode it was judged in
  bool judge_scales = false;
  FeatureAssessment assessment;          // one verdict per feature
  Matrix gamma_hat;                      // levels x kept, NaN where the feature's fit failed
  ScaleMeasurements scales;              // levels x kept
  // The error of the raw locations, the run's only if it corrects a feature of the chunk.
  std::optional<CombatError> location_error;
};
Result<JudgedChunk> judge_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                                std::optional<bool> missing, std::optional<bool> judge_scales);

// What the posteriors need from all features: per level, the pass at which its parametric
// solver stops (0: no solver), and whether that is known for every level yet; if not,
// each level's chunks are traced again from explore_from on.
struct RunSettlement {
  bool settled = true;
  std::vector<std::size_t> passes;
  std::vector<std::size_t> explore_from;
};

// The run's checks of the gathered estimates, in its order: the scales, then level by
// level the prior and the solver's end as the chunks' traces (traces[chunk][level], none
// before the first trace) show it. `counts` are the observed counts behind raw.delta_hat.
Result<RunSettlement> settle_run(const BatchLevels& levels, const CombatOptions& options,
                                 const RunMode& mode, const ParametricEstimates& raw,
                                 const ScaleMeasurements& scales,
                                 std::span<const std::vector<LevelTrace>> traces);

// One level's step of a settlement, from its solver's traces over every part that has
// some (`traced`: whether any part was traced yet): its stopping pass when every part has
// reached it, the pass to explore from otherwise, or its error. Levels report in level
// order: a level's error is the run's only once every level before it is known to have
// succeeded (no earlier level still open).
Status settle_level(std::span<const LevelTrace* const> parts, bool traced, std::size_t level, bool& earlier_open,
                    RunSettlement& settlement);

// The solvers of a chunk's features, each level run until its own change is small from
// explore_from[level] on (parametric priors with scales only), and the chunk's part of the
// run's model were each level to stop where its trace did (none where a solver failed, or
// the part met an error, which fit_chunk then meets again). After the last round of
// traces every level of every chunk stops where its trace did, since each trace runs on
// from the level's stopping pass only until its own change is small: the part is then the
// run's (fit_chunk's), and the chunk need not be read again to fit.
struct TracedChunk {
  std::vector<LevelTrace> traces;  // per level; none without kept features
  std::optional<ModelFit> fit;
};
Result<TracedChunk> trace_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                                std::span<const std::size_t> complete, std::span<const std::size_t> partial,
                                const RunMode& mode, const ParametricEstimates& raw, std::size_t offset,
                                std::span<const std::size_t> explore_from);

// The chunk's part of the run's model: its complete features' standardisation and
// posteriors, its partial features' fits, and its part of the report.
Result<ModelFit> fit_chunk(const CombatDenseRequest& request, const CombatOptions& options,
                           std::span<const std::size_t> complete,
                           std::span<const std::size_t> partial, const RunMode& mode,
                           const ParametricEstimates& raw, std::size_t offset,
                           std::span<const std::size_t> passes);

}  // namespace quarnel
