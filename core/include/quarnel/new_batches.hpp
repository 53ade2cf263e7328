// Batches a model has not seen, estimated when the model is applied: each new batch is one
// more level of the fitted run, its prior formed from its own raw effects on every
// corrected feature, its posteriors drawn against that prior as the fitted levels' were.
//
// The estimate works in rounds over chunks of the model's features, as a run over chunks
// is fitted (stages.hpp); apply_model takes the whole request as its one chunk. Each
// feature's raw effects in a new batch are its own; what depends on all features (each new batch's
// prior, and the pass at which its solver stops) is decided from every chunk's records.
// A chunk's `model` is the model's part for the chunk's features, and `raw` holds the new
// batches' raw effects of all of the model's corrected features, gathered from every
// chunk in feature order; `offset` is how many of them the chunks before this one hold.
//
// The rounds:
//   1. new_batch_estimates on every chunk, gathered into `raw`;
//   2. settle_new_batches, and while it is not settled, trace_new_batches on every chunk
//      and settle_new_batches again on their traces;
//   3. new_batch_posteriors on every chunk, with which it is corrected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/model.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/stages.hpp"

namespace quarnel {

// The new batches' raw effects: rows the request's batches the model has not seen,
// ascending; columns the model's corrected features (NaN where a batch has no value, and
// delta_hat NaN where it has fewer than two).
struct NewBatchEstimates {
  std::vector<std::uint64_t> batch_ids;
  std::vector<std::size_t> sizes;  // samples of each new batch
  Matrix gamma_hat;
  Matrix delta_hat;
  Eigen::Matrix<std::size_t, Eigen::Dynamic, Eigen::Dynamic> counts;  // observed values
};
Result<NewBatchEstimates> new_batch_estimates(const CombatModel& model,
                                              const CombatDenseRequest& request);

// Per new batch, the pass at which its solver stops (0: no solver), as settle_run decides
// it for the fitted levels; the first error in batch order once every batch before it is
// settled. traces[chunk][batch] is empty for a chunk without a feature that batch's
// solver updates.
Result<RunSettlement> settle_new_batches(const CombatModel& model, const NewBatchEstimates& raw,
                                         std::span<const std::vector<std::optional<LevelTrace>>> traces);

// The solvers of the new batches over a chunk's features, each from explore_from[batch]
// on until its own change is small (none where explore_from is 0).
Result<std::vector<std::optional<LevelTrace>>> trace_new_batches(
    const CombatModel& model, const CombatDenseRequest& request, const NewBatchEstimates& raw,
    std::size_t offset, std::span<const std::size_t> explore_from);

// The new batches' posteriors over a chunk's features (rows the new batches; `passes` from
// settle_new_batches), with their priors.
Result<NewLevels> new_batch_posteriors(const CombatModel& model, const CombatDenseRequest& request,
                                       const NewBatchEstimates& raw, std::size_t offset,
                                       std::span<const std::size_t> passes);

// The new batches of the whole request, estimated in those rounds with it as the one chunk.
Result<NewLevels> estimate_new_batches(const CombatModel& model, const CombatDenseRequest& request,
                                       const CancelRequested& cancel);

}  // namespace quarnel
