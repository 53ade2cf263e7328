// The design of the batch-effect model and its ordinary least-squares fits.
//
// The design has one indicator column per batch level followed by the caller's
// covariates (intercept columns left out: the indicators, or the reference column, carry
// the intercept). Complete responses are fitted all at once through one inverse; a
// response with any NaN is fitted feature by feature over each feature's observed samples.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include <Eigen/QR>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

// The fit keeps its design rather than n x G products of it: fitted values and covariate
// effects are formed a feature at a time where they are needed.
struct DesignFit {
  Matrix coefficients;  // p x G
  Matrix design;        // n x p: the batch columns, then the non-intercept covariates
  // Per feature: whether the design fits every residual that enters the pooled variance
  // exactly, whatever the data (see leaves_no_free_residual). Those residuals are then
  // zero in exact arithmetic, and what rounding leaves of them is no variance estimate.
  std::vector<unsigned char> no_free_residual;
  // Per feature and level, L entries a feature (entry j * L + level): whether the design
  // fits every observed value of that level exactly, whatever the data (see
  // levels_fitted_exactly). The level's residuals are then zero in exact arithmetic, its
  // standardised values one constant, and its scale zero.
  std::vector<unsigned char> level_fitted;
};

// The numerical rank of a design's rows, and the decomposition behind it, from which each
// row's leverage (its diagonal entry of the hat matrix) follows. Every column is scaled to
// unit norm first, so that units do not matter; a pivot of the column-pivoted QR counts
// when its magnitude exceeds max(rows, columns) * epsilon times the largest pivot. Exact
// singularity tests miss designs that rounding keeps a hair away from singular (a covariate
// that is the sum of two others); this one does not, and it gives the same answer whatever
// the order of the rows.
struct RowSupport {
  Eigen::Index rank = 0;
  Eigen::ColPivHouseholderQR<Matrix> qr;
};
RowSupport row_support(const Matrix& rows);

// True when the rows marked in `contributes` are each fitted exactly by the design, so that
// their residuals carry no degree of freedom: their leverages add up to their count (to
// within 1e-8; rounding puts such a sum within about 1e-13 of it).
bool leaves_no_free_residual(const RowSupport& support, std::span<const unsigned char> contributes);

// Per row of `rows`: whether the design they form fits it exactly, its leverage one to the
// tolerance of leaves_no_free_residual.
std::vector<unsigned char> rows_fitted_exactly(const Matrix& rows);

// For every level, whether the design fits each of its rows exactly: the degrees of freedom
// its rows keep (the sum of one minus their leverages) are at most the tolerance of
// leaves_no_free_residual. A design can do so while the whole fit keeps free residuals: a
// covariate that marks one sample of a batch of two fits both. Levels of fewer than two
// rows are left to the rules for a single value and are never marked. `row_levels` gives
// each row's level.
std::vector<unsigned char> levels_fitted_exactly(const RowSupport& support,
                                                 std::span<const std::size_t> row_levels,
                                                 std::size_t n_levels);

// The full design of the model: the batch columns (see build_batch_design), then the
// non-intercept covariate columns in ascending order.
Matrix build_design(std::size_t n, const BatchLevels& levels,
                    const std::optional<CovariateMatrix>& covariates,
                    std::optional<std::size_t> reference_level);

// n x L batch indicators; with a reference level r, column r is all 1.0 and acts as the
// intercept.
Matrix build_batch_design(std::size_t n, const BatchLevels& levels,
                          std::optional<std::size_t> reference_level);

// The inverse of a small square matrix, or nothing when it is exactly singular: sizes 1 to
// 4 fail when their determinant is exactly 0.0, larger sizes when a pivot of the LU
// factorisation with partial pivoting is exactly 0.0. There is no tolerance: a nearly
// singular matrix is inverted as it is.
std::optional<Matrix> invert_exact(const Matrix& a);

// B = ((X^T X)^-1 X^T) Y for every feature at once. The response must hold no NaN. Each
// coefficient is summed over the samples in ascending order, so a feature's coefficients
// are the same whatever other features are fitted with it; with `parallel` the features are
// shared out over the worker pool.
Result<Matrix> fit_complete_coefficients(const Matrix& response, const Matrix& design,
                                         bool parallel);

// Every feature fitted over its own observed (non-NaN) samples: its coefficients, or the
// reason it cannot be fitted, and whether the fit leaves the residuals that enter the
// pooled variance (all observed samples, or the reference level's) without a free degree
// of freedom. Features are independent: one failing does not stop the others.
struct FeatureFits {
  Matrix coefficients;                          // p x G; a failed feature's column is unset
  std::vector<Status> status;                   // per feature
  std::vector<unsigned char> no_free_residual;  // per feature
  std::vector<unsigned char> level_fitted;      // per feature and level, as in DesignFit
};
FeatureFits fit_each_feature(const Matrix& response, const Matrix& design,
                             const BatchLevels& levels,
                             std::optional<std::size_t> reference_level, bool parallel = false);

// The coefficients of fit_each_feature, or the error of the first failing feature. The first levels.level_count() design columns
// are the batch columns, any further ones covariates: a feature whose observed samples
// make two covariate columns equal, or a covariate column constant within every level,
// has an exactly collinear design and fails as singular even when rounding leaves its
// determinant a hair away from zero; so does one whose observed rows have a numerical rank
// (row_support) below the design's column count.
// With `parallel` the features are fitted in blocks on the worker pool; the error reported
// is still that of the first failing feature.
Result<Matrix> fit_coefficients_by_feature(const Matrix& response, const Matrix& design,
                                           const BatchLevels& levels, bool parallel = false);

// The fitted values (design * coefficients) of one feature, every sample's sum taken over
// the design columns in ascending order from +0.0, as the library product would. One
// column at a time, so that no n x G matrix of fitted values is ever held. `levels` and
// `reference_level` are those the design was built from.
void fitted_column(const DesignFit& fit, const BatchLevels& levels,
                   std::optional<std::size_t> reference_level, Eigen::Index feature,
                   std::span<double> fitted);

// The batch columns' part of a fitted value of `level`, for finite coefficients: the
// level's coefficient, plus the reference coefficient with a reference, summed as
// fitted_column sums them.
double level_location(const DesignFit& fit, std::optional<std::size_t> reference_level,
                      Eigen::Index feature, std::size_t level);

// True when any element of the matrix is NaN: the fits then go feature by feature.
bool has_missing(const Matrix& response, bool parallel = false);

// Fits the full design (batch indicators then non-intercept covariates) to the response.
// `missing` says whether the response holds any NaN (see has_missing): the fit then goes
// feature by feature, on the worker pool when `parallel` is set. The error is that of the
// whole design (complete data) or of the first failing feature.
Result<DesignFit> fit_design(const Matrix& response, const BatchLevels& levels,
                             const std::optional<CovariateMatrix>& covariates,
                             std::optional<std::size_t> reference_level, bool missing,
                             bool parallel = false);

// fit_design with every feature's own outcome: the error is the whole design's, and
// `status` holds each feature's (all successes with complete data).
struct DesignFits {
  DesignFit fit;
  std::vector<Status> status;
};
Result<DesignFits> fit_design_each(const Matrix& response, const BatchLevels& levels,
                                   const std::optional<CovariateMatrix>& covariates,
                                   std::optional<std::size_t> reference_level, bool missing,
                                   bool parallel = false);

// The covariate columns that are not intercept columns (all values exactly 1.0), ascending.
std::vector<std::size_t> non_intercept_columns(std::size_t n, const CovariateMatrix& covariates);

}  // namespace quarnel
