// The negative-binomial model of one gene's counts and its fit.
//
//   y_j ~ NB(mu_j, phi_b(j)),   log mu_j = o_j + theta_b(j) + x_j^T beta
//
// with one coefficient per batch (no separate intercept) and one dispersion per batch.
// Every gene is fitted alone, from its own column only, so that genes can be fitted in any
// grouping (tiles on the worker pool, chunks of a lazy array) with the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/Cholesky>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel::counts {

// Bounds of the dispersion search.
inline constexpr double kMinDispersion = 1e-6;
inline constexpr double kMaxDispersion = 1e3;

// What every gene's fit shares: the design, the offsets and, per batch, the columns of its
// Cox-Reid adjustment.
struct CountDesign {
  Matrix x;                     // n x p: the batch indicators, then the covariates
  std::vector<double> offset;   // o_j = log N_j - mean log N
  std::vector<std::vector<std::size_t>> members;     // samples of each batch, ascending
  // Per batch, the design columns of X_b: the batch's own column and a full-rank set of
  // the covariates that vary within it, in design order.
  std::vector<std::vector<Eigen::Index>> adjusted_columns;

  std::size_t n_samples() const { return static_cast<std::size_t>(x.rows()); }
  std::size_t n_levels() const { return members.size(); }
  std::size_t n_coefficients() const { return static_cast<std::size_t>(x.cols()); }
};

// The design of batches `levels` and the non-intercept columns of `covariates` (a design
// the request checks have found of full rank), with the offsets of `library_size`
// (positive and finite, one per sample).
CountDesign count_design(const BatchLevels& levels,
                         const std::optional<CovariateMatrix>& covariates,
                         std::span<const double> library_size);

// Scratch space of one thread's fits, sized once for a design, so that the fit of a gene
// allocates nothing.
struct FitWorkspace {
  explicit FitWorkspace(const CountDesign& design);

  Vector eta, mu, weight, response, log_count;  // per sample
  Vector coefficients, trial, rhs;   // per design column
  Matrix normal;                     // p x p
  Eigen::LLT<Matrix> normal_factor;
  Matrix adjustment;                 // the largest X_b^T W_b X_b
  Matrix adjustment_slope;           // its derivative in log phi
  Eigen::LLT<Matrix> adjustment_factor;
  std::vector<double> sample_dispersion;
  std::vector<double> earlier, previous;  // log phi of the last two rounds, per batch
};

// Why a gene is passed through, or that it was fitted.
enum class GeneStatus : std::uint8_t { fitted = 0, no_reads = 1, not_converged = 2 };

// One gene's fitted parameters: coefficients in design order (theta_b, then beta), and per
// batch its dispersion and its Cox-Reid adjusted profile log-likelihood there.
struct GeneFit {
  GeneStatus status = GeneStatus::fitted;
  std::optional<std::size_t> level;  // the batch without reads, for no_reads
  std::span<double> coefficients;    // p
  std::span<double> dispersion;      // L
  std::span<double> adjusted_profile;  // L
  double log_likelihood = 0.0;
};

// Fits one gene's counts `y` (n values, non-negative integers): moment starts of the
// dispersions, then iteratively reweighted least squares for the coefficients and the
// Cox-Reid maximiser for each batch's dispersion, alternated until every dispersion
// changes by at most 1e-6 relative (at most 20 rounds), and a last fit of the
// coefficients at the final dispersions. `fit`'s spans receive the parameters. Where a
// covariate shared by small batches couples the coefficients and the dispersions, the
// alternation converges only geometrically (by about a half a round); every third round
// then extrapolates log phi by Aitken's delta-squared step, which moves the start of the
// next round, not the fixed point the rounds converge to.
void fit_gene(const CountDesign& design, std::span<const double> y, FitWorkspace& work,
              GeneFit& fit);

// The coefficients at fixed per-batch dispersions by iteratively reweighted least
// squares of the log-link NB GLM, from the coefficients in `work.coefficients`, until the
// deviance changes by at most 1e-10 relative (at most 100 iterations). False when it does
// not converge. The fitted means are left in `work.mu`.
bool fit_coefficients(const CountDesign& design, std::span<const double> y,
                      std::span<const double> dispersion, FitWorkspace& work);

// Batch `level`'s Cox-Reid adjusted profile log-likelihood at dispersion `phi`, the means
// in `work.mu`: sum_{j in b} log NB(y_j; mu_j, phi) - log det(X_b^T W_b X_b) / 2, with
// W_b = diag(mu / (1 + phi mu)).
double adjusted_profile(const CountDesign& design, std::span<const double> y,
                        std::size_t level, double phi, FitWorkspace& work);

// The dispersion that maximises adjusted_profile over log phi in
// [log kMinDispersion, log kMaxDispersion], to 1e-8 relative, searched from `start`: the
// zero of the profile's slope in log phi, or the bound it slopes towards. The slope is
// used rather than the profile itself because its terms stay small: the profile sums
// terms of the size of y log y, and for counts in the thousands their rounding moves the
// maximum of the summed profile by about 1e-5 relative.
double best_dispersion(const CountDesign& design, std::span<const double> y,
                       std::size_t level, double start, FitWorkspace& work);

}  // namespace quarnel::counts
