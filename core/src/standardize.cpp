#include "quarnel/standardize.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "quarnel/design.hpp"
#include "quarnel/parallel.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;

// The grand mean of every feature: the reference coefficient, or the size-weighted sum of
// the level coefficients (each term n_c / n times the coefficient, in level order).
std::vector<double> grand_means(const Matrix& coefficients, const BatchLevels& levels,
                                std::size_t n, std::optional<std::size_t> reference_level) {
  const Index n_features = coefficients.cols();
  std::vector<double> grand(static_cast<std::size_t>(n_features), 0.0);
  for (Index j = 0; j < n_features; ++j) {
    if (reference_level) {
      grand[static_cast<std::size_t>(j)] = coefficients(static_cast<Index>(*reference_level), j);
      continue;
    }
    double sum = 0.0;
    for (std::size_t c = 0; c < levels.level_count(); ++c) {
      const double weight = static_cast<double>(levels.level_size(c)) / static_cast<double>(n);
      sum += weight * coefficients(static_cast<Index>(c), j);
    }
    grand[static_cast<std::size_t>(j)] = sum;
  }
  return grand;
}

// Features handed to one parallel item: each item fits, measures and standardises its own
// columns, so every column is read while it is still in cache.
constexpr Index kFeatureBlock = 16;

// Whether sample i's residual enters the pooled variance.
auto contributes(const BatchLevels& levels, std::optional<std::size_t> reference_level) {
  return [&levels, reference_level](Index i) {
    return !reference_level || levels.level_of_sample(static_cast<std::size_t>(i)) == *reference_level;
  };
}

// Residuals that the design fits exactly are zero in exact arithmetic: their pooled variance
// fails as zero would, rather than turning rounding noise into a scale.
NumericalFailure not_positive_finite() { return NumericalFailure{"pooled variance is not positive finite"}; }

// Whether the design leaves a feature nothing but rounding: a feature it explains exactly
// (a combination of the covariates, say) has residuals of about epsilon times its values.
// Taking those for a scale would standardise the feature into noise, and the noise would
// enter every level's priors and so every feature's correction. The test: the nonzero
// residuals' squares add up to at most (count * epsilon)^2 times their values' squares, the
// allowance of the design's rank test. Residuals that are exactly zero are left out, so that
// a value the design fits exactly (a batch of one) does not lend its size to the others.
// `residual(i)` is the residual of sample i, `included(i)` whether it counts; `squares` and
// `largest` are the included residuals' sum of squares and the largest included value in
// magnitude, which rule most features out at once.
template <class Residual, class Included>
bool only_rounding_left(const double* y, Index n, Residual residual, Included included,
                        std::size_t count, double squares, double largest) {
  const double allowance = static_cast<double>(count) * std::numeric_limits<double>::epsilon();
  const double bound = allowance * largest;
  if (squares > bound * bound * static_cast<double>(count)) return false;
  // Scaled by the largest value, so that no square overflows or underflows early.
  double scale = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (included(i) && residual(i) != 0.0) scale = std::max(scale, std::abs(y[i]));
  }
  if (scale == 0.0) return true;
  double residual_squares = 0.0;
  double value_squares = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (!included(i) || residual(i) == 0.0) continue;
    residual_squares += (residual(i) / scale) * (residual(i) / scale);
    value_squares += (y[i] / scale) * (y[i] / scale);
  }
  return residual_squares <= allowance * allowance * value_squares;
}

// Complete data: mean squared residual over the contributing samples, divided by their
// count (not count - 1; the residuals are not re-centred).
// Both set `overflowed` when the residuals' squares add up past the largest double: the
// values are too large for a variance, whatever their spread.
Result<double> pooled_variance_complete(const double* y, std::span<const double> fitted,
                                        const BatchLevels& levels,
                                        std::optional<std::size_t> reference_level,
                                        bool no_free_residual, unsigned char& overflowed) {
  const auto n = static_cast<Index>(fitted.size());
  const auto counts = contributes(levels, reference_level);
  const double denominator = static_cast<double>(
      reference_level ? levels.level_size(*reference_level) : static_cast<std::size_t>(n));
  double sum = 0.0;
  double largest = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (!counts(i)) continue;
    const double residual = y[i] - fitted[static_cast<std::size_t>(i)];
    sum += residual * residual;
    largest = std::max(largest, std::abs(y[i]));
  }
  overflowed = std::isinf(sum);
  const double pooled = sum / denominator;
  const auto residual = [&](Index i) { return y[i] - fitted[static_cast<std::size_t>(i)]; };
  if (!is_positive_finite(pooled) || no_free_residual ||
      only_rounding_left(y, n, residual, counts, static_cast<std::size_t>(denominator), sum, largest)) {
    return fail(not_positive_finite());
  }
  return pooled;
}

// Missing data: the sample variance (denominator m - 1) of the feature's observed
// residuals over the contributing samples.
Result<double> pooled_variance_missing(const double* y, std::span<const double> fitted,
                                       const BatchLevels& levels,
                                       std::optional<std::size_t> reference_level,
                                       bool no_free_residual, unsigned char& overflowed) {
  const auto n = static_cast<Index>(fitted.size());
  const auto counts = contributes(levels, reference_level);
  std::size_t m = 0;
  double sum = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (!counts(i) || std::isnan(y[i])) continue;
    ++m;
    sum += y[i] - fitted[static_cast<std::size_t>(i)];
  }
  if (m < 2) return fail(NumericalFailure{"pooled variance requires at least two observed residuals"});
  const double mean = sum / static_cast<double>(m);
  double squares = 0.0;
  double largest = 0.0;
  for (Index i = 0; i < n; ++i) {
    if (!counts(i) || std::isnan(y[i])) continue;
    const double deviation = (y[i] - fitted[static_cast<std::size_t>(i)]) - mean;
    squares += deviation * deviation;
    largest = std::max(largest, std::abs(y[i]));
  }
  overflowed = std::isinf(squares) || std::isinf(sum);
  const double pooled = squares / static_cast<double>(m - 1);
  const auto deviation = [&](Index i) { return (y[i] - fitted[static_cast<std::size_t>(i)]) - mean; };
  const auto observed = [&](Index i) { return counts(i) && !std::isnan(y[i]); };
  if (!is_positive_finite(pooled) || no_free_residual ||
      only_rounding_left(y, n, deviation, observed, m, squares, largest)) {
    return fail(not_positive_finite());
  }
  return pooled;
}

// Residuals this small beside their values are looked at again, to tell whether they are
// zero in exact arithmetic; ordinary data never come near it.
constexpr double kSuspectResidual = 1e-9;

// Whether the observed samples `rows` of a feature (values `y`), less those the design
// fits exactly (`exact`, by position in `rows`), share one value within each level. The
// batch columns then reproduce every such value, and a sample fitted exactly keeps a zero
// residual whatever its value: in exact arithmetic the design fits the whole feature, and
// only rounding (scaled by values of other levels than the one it lands in) is left.
bool constant_within_levels(const double* y, std::span<const Index> rows,
                            std::span<const unsigned char> exact, const BatchLevels& levels) {
  std::vector<std::optional<double>> value(levels.level_count());
  for (std::size_t r = 0; r < rows.size(); ++r) {
    if (exact[r]) continue;
    const double observed = y[rows[r]];
    std::optional<double>& seen = value[levels.level_of_sample(static_cast<std::size_t>(rows[r]))];
    if (!seen) {
      seen = observed;
    } else if (*seen != observed) {
      return false;
    }
  }
  return true;
}

// Which levels of feature j (values `y`, fitted values `fitted`) have residuals that are all
// zero in exact arithmetic, whatever rounding left of them: those the design fits exactly
// (DesignFit::level_fitted), and those whose observed samples, less the ones the design
// fits exactly, share one value and one design row. The batch's indicator makes a level's
// residuals add up to zero, and such samples have one residual between them, so it is
// zero. Every level, when those samples share one value within each level (see
// constant_within_levels). An empty vector when there is none.
std::vector<unsigned char> zero_residual_levels(const double* y, std::span<const double> fitted,
                                                const DesignFit& fit, const BatchLevels& levels,
                                                Index j) {
  const std::size_t n_levels = levels.level_count();
  const auto design_fitted = std::span(fit.level_fitted).subspan(static_cast<std::size_t>(j) * n_levels, n_levels);
  std::vector<unsigned char> zero(design_fitted.begin(), design_fitted.end());
  std::vector<double> largest_residual(n_levels, 0.0);
  std::vector<double> largest_value(n_levels, 0.0);
  std::vector<std::size_t> observed(n_levels, 0);
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    if (std::isnan(y[i])) continue;
    const std::size_t level = levels.level_of_sample(i);
    ++observed[level];
    largest_residual[level] = std::max(largest_residual[level], std::abs(y[i] - fitted[i]));
    largest_value[level] = std::max(largest_value[level], std::abs(y[i]));
  }
  std::vector<std::size_t> suspects;
  for (std::size_t level = 0; level < n_levels; ++level) {
    if (!zero[level] && observed[level] >= 2 &&
        largest_residual[level] <= kSuspectResidual * largest_value[level]) {
      suspects.push_back(level);
    }
  }
  if (!suspects.empty()) {
    std::vector<Index> rows;
    for (std::size_t i = 0; i < fitted.size(); ++i) {
      if (!std::isnan(y[i])) rows.push_back(static_cast<Index>(i));
    }
    Matrix observed_design(static_cast<Index>(rows.size()), fit.design.cols());
    for (std::size_t r = 0; r < rows.size(); ++r) observed_design.row(static_cast<Index>(r)) = fit.design.row(rows[r]);
    const std::vector<unsigned char> exact = rows_fitted_exactly(observed_design);
    if (constant_within_levels(y, rows, exact, levels)) {
      std::ranges::fill(zero, 1);
      return zero;
    }
    for (const std::size_t level : suspects) {
      std::optional<Index> first;
      bool shared = true;
      for (std::size_t r = 0; r < rows.size() && shared; ++r) {
        const Index i = rows[r];
        if (exact[r] || levels.level_of_sample(static_cast<std::size_t>(i)) != level) continue;
        if (!first) {
          first = i;
          continue;
        }
        shared = y[i] == y[*first] && fit.design.row(i) == fit.design.row(*first);
      }
      zero[level] = shared;
    }
  }
  if (std::ranges::find(zero, 1) == zero.end()) zero.clear();
  return zero;
}

// The residuals of such a level are taken as the zeros they are: its fitted values are
// the observed ones.
void zero_fitted_residuals(const double* y, std::span<const unsigned char> fitted_level,
                           const BatchLevels& levels, std::span<double> fitted) {
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    if (fitted_level[levels.level_of_sample(i)] && !std::isnan(y[i])) fitted[i] = y[i];
  }
}

// With zero residuals, a value of such a level stands where its level's fitted location
// does: one constant for the whole level, which leaves it no scale.
void standardize_fitted_levels(double* z, std::span<const unsigned char> fitted_level,
                               const DesignFit& fit, const BatchLevels& levels,
                               std::optional<std::size_t> reference_level, Index j, double grand,
                               double scale) {
  std::vector<double> location(fitted_level.size());
  for (std::size_t level = 0; level < location.size(); ++level) {
    location[level] = (level_location(fit, reference_level, j, level) - grand) / scale;
  }
  for (std::size_t i = 0; i < levels.sample_count(); ++i) {
    const std::size_t level = levels.level_of_sample(i);
    if (fitted_level[level] && !std::isnan(z[i])) z[i] = location[level];
  }
}

}  // namespace

StandMean::StandMean(std::vector<double> grand, Matrix covariates, Matrix coefficients)
    : grand_(std::move(grand)), covariates_(std::move(covariates)), coefficients_(std::move(coefficients)) {
  require(covariates_.cols() == coefficients_.rows() &&
              coefficients_.cols() == static_cast<Index>(grand_.size()),
          "standardisation mean factors agree in shape");
}

StandMean StandMean::of(std::span<const Index> features) const {
  std::vector<double> grand;
  Matrix coefficients(coefficients_.rows(), static_cast<Index>(features.size()));
  for (std::size_t m = 0; m < features.size(); ++m) {
    grand.push_back(grand_[static_cast<std::size_t>(features[m])]);
    coefficients.col(static_cast<Index>(m)) = coefficients_.col(features[m]);
  }
  return StandMean(std::move(grand), covariates_, std::move(coefficients));
}

double StandMean::operator()(Index sample, Index feature) const {
  double effect = 0.0;
  for (Index c = 0; c < covariates_.cols(); ++c) {
    effect += covariates_(sample, c) * coefficients_(c, feature);
  }
  return grand_[static_cast<std::size_t>(feature)] + effect;
}

void StandMean::column(Index feature, std::span<double> out) const {
  require(out.size() == static_cast<std::size_t>(rows()), "one slot per sample");
  // Covariates outermost: every sample's sum still adds its terms in covariate order.
  std::ranges::fill(out, 0.0);
  for (Index c = 0; c < covariates_.cols(); ++c) {
    const double b = coefficients_(c, feature);
    const double* x = covariates_.col(c).data();
    for (std::size_t i = 0; i < out.size(); ++i) out[i] += x[i] * b;
  }
  const double g = grand_[static_cast<std::size_t>(feature)];
  for (double& value : out) value = g + value;
}

Result<StandardizedFeatures> standardize_each(Matrix kept_values, const BatchLevels& levels,
                                              const std::optional<CovariateMatrix>& covariates,
                                              std::optional<std::size_t> reference_level,
                                              bool missing, bool parallel) {
  Matrix& y = kept_values;
  const Index n = y.rows();
  const Index n_features = y.cols();
  Result<DesignFits> fits = fit_design_each(y, levels, covariates, reference_level, missing, parallel);
  if (!fits) return fail(std::move(fits.error()));
  const DesignFit& fit = fits->fit;
  const std::vector<double> grand =
      grand_means(fit.coefficients, levels, static_cast<std::size_t>(n), reference_level);

  // The covariate part of the design and its coefficients: the factors of stand_mean.
  const Index n_levels = static_cast<Index>(levels.level_count());
  const Index n_covariates = fit.design.cols() - n_levels;
  StandardizedFeatures out;
  out.fit_status = std::move(fits->status);
  out.variance_status.resize(static_cast<std::size_t>(n_features));
  out.no_free_residual = fit.no_free_residual;
  out.level_fitted = fit.level_fitted;
  out.variance_overflow.assign(static_cast<std::size_t>(n_features), 0);
  Standardization& result = out.standardization;
  result.stand_mean = StandMean(grand, fit.design.rightCols(n_covariates),
                                fit.coefficients.bottomRows(n_covariates));
  result.pooled_variance.assign(static_cast<std::size_t>(n_features), 0.0);

  // Each block measures its features' pooled variances and, while their columns are in
  // cache, standardises them in place. A feature that cannot be fitted or measured is left
  // as it is, with its error in its own slot.
  const auto n_blocks =
      static_cast<std::size_t>((n_features + kFeatureBlock - 1) / kFeatureBlock);
  // Whether each block's standardised values hold a NaN, noted while they are written so
  // that the estimators need not scan the matrix again.
  std::vector<unsigned char> block_missing(n_blocks, 0);
  parallel_for(parallel && n_features >= 2, n_blocks, [&](std::size_t block) {
    std::vector<double> fitted(static_cast<std::size_t>(n));
    std::vector<double> mean(static_cast<std::size_t>(n));
    const Index first = static_cast<Index>(block) * kFeatureBlock;
    const Index last = std::min(n_features, first + kFeatureBlock);
    for (Index j = first; j < last; ++j) {
      const auto f = static_cast<std::size_t>(j);
      if (!out.fit_status[f]) continue;
      double* value = y.col(j).data();
      fitted_column(fit, levels, reference_level, j, fitted);
      const std::vector<unsigned char> zero_level = zero_residual_levels(value, fitted, fit, levels, j);
      if (!zero_level.empty()) zero_fitted_residuals(value, zero_level, levels, fitted);
      const bool no_free = fit.no_free_residual[f];
      Result<double> pooled =
          missing ? pooled_variance_missing(value, fitted, levels, reference_level, no_free,
                                            out.variance_overflow[f])
                  : pooled_variance_complete(value, fitted, levels, reference_level, no_free,
                                             out.variance_overflow[f]);
      if (!pooled) {
        out.variance_status[f] = fail(std::move(pooled.error()));
        continue;
      }
      result.pooled_variance[f] = *pooled;
      const double scale = std::sqrt(*pooled);
      result.stand_mean.column(j, mean);
      bool column_missing = false;
      for (Index i = 0; i < n; ++i) {
        value[i] = (value[i] - mean[static_cast<std::size_t>(i)]) / scale;
        column_missing |= std::isnan(value[i]);
      }
      if (!zero_level.empty()) {
        standardize_fitted_levels(value, zero_level, fit, levels, reference_level, j, grand[f], scale);
      }
      block_missing[block] |= column_missing;
    }
  });
  result.standardized = std::move(y);
  result.has_missing = std::ranges::find(block_missing, 1) != block_missing.end();
  return out;
}

Result<Standardization> standardize(Matrix kept_values, const BatchLevels& levels,
                                    const std::optional<CovariateMatrix>& covariates,
                                    std::optional<std::size_t> reference_level, bool parallel) {
  const bool missing = has_missing(kept_values, parallel);
  return standardize_in_mode(std::move(kept_values), levels, covariates, reference_level, missing,
                             parallel);
}

Result<Standardization> standardize_in_mode(Matrix kept_values, const BatchLevels& levels,
                                            const std::optional<CovariateMatrix>& covariates,
                                            std::optional<std::size_t> reference_level,
                                            bool missing, bool parallel) {
  Result<StandardizedFeatures> each = standardize_each(std::move(kept_values), levels, covariates,
                                                       reference_level, missing, parallel);
  if (!each) return fail(std::move(each.error()));
  // Every fit error comes before any variance error, as a fit of all features followed by
  // a walk over their variances would meet them.
  if (Status failed = first_error(each->fit_status); !failed) return fail(std::move(failed.error()));
  if (Status failed = first_error(each->variance_status); !failed) {
    return fail(std::move(failed.error()));
  }
  return std::move(each->standardization);
}

}  // namespace quarnel
