// The negative-binomial batch correction of raw counts.
//
// Every gene is fitted alone (counts_fit.hpp); its batch-free law takes the batches'
// size-weighted mean coefficient and dispersion (or the reference batch's), and each
// count moves to the same mid-distribution place of that law (counts_nb.hpp), so that the
// result is counts again. Genes are fitted in tiles on the worker pool, each tile with
// one scratch space; a gene's result depends on its own column only, so serial and
// parallel runs give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

struct CountsRequest {
  std::span<const double> counts;        // row-major n_samples x n_genes, non-negative integers
  std::span<const std::uint64_t> batch;  // batch id of each sample
  std::uint64_t n_samples = 0;
  std::uint64_t n_genes = 0;
  std::optional<CovariateMatrix> covariates;  // biological effects to keep, no intercept
  // N_j, positive and finite; absent: each sample's total count over the genes given.
  std::optional<std::span<const double>> library_size;
};

struct CountsOptions {
  std::optional<std::uint64_t> ref_batch;  // its samples come back unchanged
  // Asked on the calling thread between slices of genes, never while a worker runs; told
  // the genes done in the stage "fit". A true answer stops the run with RunCancelled.
  CancelRequested cancel_requested;
};

// Per gene: corrected, or passed through unchanged and why.
enum class CountGeneOutcome : std::uint8_t { corrected = 0, no_reads = 1, not_converged = 2 };

struct CountsOutput {
  std::vector<std::int64_t> corrected;  // row-major n_samples x n_genes
  std::uint64_t n_samples = 0;
  std::uint64_t n_genes = 0;
  std::vector<CountGeneOutcome> outcome;        // per gene
  std::vector<std::optional<std::uint64_t>> outcome_batch;  // the batch without reads
  // Fitted parameters per gene, NaN for genes passed through: coefficients in design
  // order (one per batch level, then one per non-intercept covariate column), and per batch
  // level the dispersion and the Cox-Reid adjusted profile log-likelihood at the fit.
  Matrix coefficients;      // p x G
  Matrix dispersion;        // L x G
  Matrix adjusted_profile;  // L x G
  std::vector<double> log_likelihood;  // per gene
  std::vector<double> offset;          // per sample, o_j
  // Per gene, the counts left as they were because their tail probability is below what
  // double precision resolves.
  std::vector<std::uint64_t> tail_kept;
};

// Checks, in this order: the shape, no infinite value, the batches, the reference batch
// and the covariates as combat_dense checks them; no NaN (NonFiniteDenseValue), only
// non-negative integers (UnsupportedOption), no batch of a single sample, and the library
// sizes (InvalidDesign). Then fits and corrects every gene.
Result<CountsOutput> combat_counts(const CountsRequest& request, const CountsOptions& options);

}  // namespace quarnel
