#include "quarnel/counts.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "quarnel/batch.hpp"
#include "quarnel/counts_fit.hpp"
#include "quarnel/counts_nb.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/request.hpp"

namespace quarnel {
namespace {

using counts::CountDesign;
using counts::FitWorkspace;
using counts::GeneFit;
using counts::GeneStatus;
using counts::NbLaw;

// Genes per tile: one scratch space and one column buffer serve a tile, and the pool's
// threads take tiles, each costing a few milliseconds.
constexpr std::size_t kTileGenes = 16;
// Tiles per slice for each pool thread: the run asks whether to stop between slices.
constexpr std::size_t kTilesPerSlice = 8;

std::string decimal(std::uint64_t value) { return std::to_string(value); }

std::string count_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

Status check_counts(const CountsRequest& request) {
  const std::span<const double> values = request.counts;
  for (std::size_t k = 0; k < values.size(); ++k) {
    const double y = values[k];
    const std::uint64_t sample = k / request.n_genes;
    const std::uint64_t gene = k % request.n_genes;
    if (std::isnan(y)) return fail(NonFiniteDenseValue{sample, gene});
    if (!(y >= 0.0) || std::floor(y) != y) {
      return fail(UnsupportedOption{"counts must be non-negative integers; sample " +
                                    decimal(sample) + ", gene " + decimal(gene) + " holds " +
                                    count_text(y)});
    }
  }
  return {};
}

Status check_batch_sizes(const BatchLevels& levels) {
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    if (levels.level_size(level) < 2) {
      return fail(InvalidDesign{"batch " + decimal(levels.batch_id(level)) +
                                " holds a single sample, so its dispersion cannot be "
                                "estimated; drop it or merge it into another batch"});
    }
  }
  return {};
}

// The library sizes given, checked, or each sample's total count.
Result<std::vector<double>> library_sizes(const CountsRequest& request) {
  const std::size_t n = request.n_samples;
  std::vector<double> sizes;
  if (request.library_size) {
    const std::span<const double> given = *request.library_size;
    if (given.size() != n) return fail(ShapeMismatch{names::n_samples, n, given.size()});
    sizes.assign(given.begin(), given.end());
  } else {
    sizes.assign(n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
      const double* row = request.counts.data() + j * request.n_genes;
      for (std::size_t g = 0; g < request.n_genes; ++g) sizes[j] += row[g];
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!(sizes[j] > 0.0) || !std::isfinite(sizes[j])) {
      return fail(InvalidDesign{"the library size of sample " + decimal(j) +
                                " is not a positive finite number (" + count_text(sizes[j]) +
                                "); a sample without reads has no scale"});
    }
  }
  return sizes;
}

// The batch-free law's log-mean part and dispersion of a fitted gene: the batches'
// coefficients and dispersions weighted by their sizes, or the reference batch's.
struct BatchFree {
  double coefficient;
  double dispersion;
};

BatchFree batch_free(const BatchLevels& levels, std::optional<std::size_t> reference,
                     std::span<const double> coefficients, std::span<const double> dispersion) {
  if (reference) return {coefficients[*reference], dispersion[*reference]};
  const double n = static_cast<double>(levels.sample_count());
  BatchFree free{0.0, 0.0};
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    const double weight = static_cast<double>(levels.level_size(level)) / n;
    free.coefficient += weight * coefficients[level];
    free.dispersion += weight * dispersion[level];
  }
  return free;
}

// Everything one tile of genes needs and writes.
struct TileJob {
  const CountsRequest& request;
  const BatchLevels& levels;
  const CountDesign& design;
  std::optional<std::size_t> reference;
  CountsOutput& out;
};

// Moves gene g's counts to its batch-free law; the fitted means are in work.mu.
void correct_gene(const TileJob& job, std::size_t g, std::span<const double> y,
                  const FitWorkspace& work) {
  const CountDesign& design = job.design;
  const std::size_t n_levels = design.n_levels();
  const std::size_t n_genes = job.request.n_genes;
  const std::span<const double> coefficients(job.out.coefficients.col(static_cast<Eigen::Index>(g)).data(),
                                             design.n_coefficients());
  const std::span<const double> dispersion(job.out.dispersion.col(static_cast<Eigen::Index>(g)).data(),
                                           n_levels);
  const BatchFree free = batch_free(job.levels, job.reference, coefficients, dispersion);
  for (std::size_t j = 0; j < y.size(); ++j) {
    const std::size_t level = job.levels.level_of_sample(j);
    std::int64_t& slot = job.out.corrected[j * n_genes + g];
    slot = static_cast<std::int64_t>(y[j]);
    if (job.reference && level == *job.reference) continue;
    double eta = design.offset[j] + free.coefficient;
    for (std::size_t c = n_levels; c < design.n_coefficients(); ++c) {
      eta += design.x(static_cast<Eigen::Index>(j), static_cast<Eigen::Index>(c)) * coefficients[c];
    }
    const NbLaw from{work.mu[static_cast<Eigen::Index>(j)], dispersion[level]};
    const NbLaw to{std::exp(eta), free.dispersion};
    const std::optional<double> moved = counts::mid_quantile_map(y[j], from, to);
    if (moved) {
      slot = static_cast<std::int64_t>(*moved);
    } else {
      ++job.out.tail_kept[g];
    }
  }
}

void pass_gene(const TileJob& job, std::size_t g, std::span<const double> y, const GeneFit& fit) {
  const std::size_t n_genes = job.request.n_genes;
  for (std::size_t j = 0; j < y.size(); ++j) job.out.corrected[j * n_genes + g] = static_cast<std::int64_t>(y[j]);
  const auto col = static_cast<Eigen::Index>(g);
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  job.out.coefficients.col(col).setConstant(nan);
  job.out.dispersion.col(col).setConstant(nan);
  job.out.adjusted_profile.col(col).setConstant(nan);
  job.out.log_likelihood[g] = nan;
  job.out.outcome[g] = fit.status == GeneStatus::no_reads ? CountGeneOutcome::no_reads
                                                           : CountGeneOutcome::not_converged;
  if (fit.level) job.out.outcome_batch[g] = job.levels.batch_id(*fit.level);
}

void run_tile(const TileJob& job, std::size_t first, std::size_t last) {
  const std::size_t n = job.request.n_samples;
  const std::size_t n_genes = job.request.n_genes;
  FitWorkspace work(job.design);
  std::vector<double> y(n);
  for (std::size_t g = first; g < last; ++g) {
    for (std::size_t j = 0; j < n; ++j) y[j] = job.request.counts[j * n_genes + g];
    const auto col = static_cast<Eigen::Index>(g);
    GeneFit fit;
    fit.coefficients = {job.out.coefficients.col(col).data(), job.design.n_coefficients()};
    fit.dispersion = {job.out.dispersion.col(col).data(), job.design.n_levels()};
    fit.adjusted_profile = {job.out.adjusted_profile.col(col).data(), job.design.n_levels()};
    counts::fit_gene(job.design, y, work, fit);
    if (fit.status != GeneStatus::fitted) {
      pass_gene(job, g, y, fit);
      continue;
    }
    job.out.log_likelihood[g] = fit.log_likelihood;
    correct_gene(job, g, y, work);
  }
}

Result<BatchLevels> validate_counts(const CountsRequest& request, const CountsOptions& options) {
  CombatDenseRequest dense{request.counts, request.batch, request.n_samples, request.n_genes,
                           request.covariates};
  CombatOptions checks;
  checks.ref_batch = options.ref_batch;
  Result<BatchLevels> levels = validate_request(dense, checks);
  if (!levels) return levels;
  if (Status values = check_counts(request); !values) return fail(std::move(values.error()));
  if (Status sizes = check_batch_sizes(*levels); !sizes) return fail(std::move(sizes.error()));
  return levels;
}

}  // namespace

Result<CountsOutput> combat_counts(const CountsRequest& request, const CountsOptions& options) {
  Result<BatchLevels> levels = validate_counts(request, options);
  if (!levels) return fail(std::move(levels.error()));
  Result<std::vector<double>> sizes = library_sizes(request);
  if (!sizes) return fail(std::move(sizes.error()));
  const CountDesign design = counts::count_design(*levels, request.covariates, *sizes);

  const std::size_t n_genes = request.n_genes;
  const auto genes = static_cast<Eigen::Index>(n_genes);
  CountsOutput out;
  out.n_samples = request.n_samples;
  out.n_genes = n_genes;
  out.corrected.assign(request.n_samples * n_genes, 0);
  out.outcome.assign(n_genes, CountGeneOutcome::corrected);
  out.outcome_batch.assign(n_genes, std::nullopt);
  out.coefficients.resize(static_cast<Eigen::Index>(design.n_coefficients()), genes);
  out.dispersion.resize(static_cast<Eigen::Index>(design.n_levels()), genes);
  out.adjusted_profile.resize(static_cast<Eigen::Index>(design.n_levels()), genes);
  out.log_likelihood.assign(n_genes, 0.0);
  out.offset = design.offset;
  out.tail_kept.assign(n_genes, 0);

  const std::optional<std::size_t> reference =
      options.ref_batch ? levels->level_of_batch_id(*options.ref_batch) : std::nullopt;
  const TileJob job{request, *levels, design, reference, out};
  const bool parallel =
      ParallelPlan::for_shape(request.n_samples, n_genes, levels->level_count()).parallel;
  const std::size_t n_tiles = (n_genes + kTileGenes - 1) / kTileGenes;
  const std::size_t slice = kTilesPerSlice * std::max<std::size_t>(pool::worker_count(), 1);
  stop_if_cancelled(options.cancel_requested, {"fit", 0, n_genes});
  for (std::size_t first_tile = 0; first_tile < n_tiles; first_tile += slice) {
    const std::size_t tiles = std::min(slice, n_tiles - first_tile);
    parallel_for_split(parallel, tiles, 2, [&](std::size_t t) {
      const std::size_t first = (first_tile + t) * kTileGenes;
      run_tile(job, first, std::min(first + kTileGenes, n_genes));
    });
    const std::size_t done = std::min((first_tile + tiles) * kTileGenes, n_genes);
    stop_if_cancelled(options.cancel_requested, {"fit", done, n_genes});
  }
  return out;
}

}  // namespace quarnel
