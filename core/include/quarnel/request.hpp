// What a correction is asked to do and what it gives back, and the checks a request
// passes before any stage sees it. Every stage works from these records; the front door
// (api.hpp) is only the top call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

// The problem, as views of buffers the caller owns. The core only reads them, and only
// for the duration of the call.
struct CombatDenseRequest {
  std::span<const double> values;         // row-major n_samples x n_features; NaN = missing
  std::span<const std::uint64_t> batch;   // batch id of each sample
  std::uint64_t n_samples = 0;
  std::uint64_t n_features = 0;
  std::optional<CovariateMatrix> covariates;  // absent: no covariates
};

struct CombatOptions {
  bool par_prior = true;   // parametric (true) or non-parametric (false) priors
  bool mean_only = false;  // correct location only
  std::optional<std::uint64_t> ref_batch;  // batch returned unchanged, others aligned to it
  // Non-parametric priors only: false forms each job's likelihoods from its values' count,
  // mean and centred sum of squares, O(G) per job instead of O(G n), equal up to rounding.
  bool exact = true;
  // Asked on the calling thread between stages and between the slices of long stages,
  // never while a worker runs; a true answer stops the run with RunCancelled.
  CancelRequested cancel_requested;
};

struct CombatDenseReport {
  bool effective_mean_only = false;
  std::vector<std::uint64_t> singleton_batches;       // ids of one-sample batches, ascending
  std::vector<std::uint64_t> zero_variance_features;  // features passed through, ascending
};

struct CombatDenseOutput {
  ValueBuffer adjusted;  // row-major n_samples x n_features
  std::uint64_t n_samples = 0;
  std::uint64_t n_features = 0;
  CombatDenseReport report;
};

// True when, within every level, all samples hold the same value in covariate `column`
// (exact equality; NaN never compares equal). Such a column is a combination of the batch
// indicators, so the design would be rank-deficient.
bool column_is_constant_within_batches(std::uint64_t n_samples, const BatchLevels& levels,
                                       const CovariateMatrix& covariates, std::size_t column);

// The checks of the data alone, each in combat_dense's order: dimensions and length, no
// infinite value, and the covariates' shape and finiteness.
Status check_dense_shape(const CombatDenseRequest& request);
Status check_dense_values_not_infinite(const CombatDenseRequest& request);
Status check_covariate_shape(std::uint64_t n_samples, const CovariateMatrix& covariates);

// Every check of combat_dense, in its order; the batch levels of a valid request.
Result<BatchLevels> validate_request(const CombatDenseRequest& request,
                                     const CombatOptions& options);

}  // namespace quarnel
