#include "quarnel/standardize.hpp"

#include <cmath>

#include "quarnel/design.hpp"

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

// Whether sample i's residual enters the pooled variance.
auto contributes(const BatchLevels& levels, std::optional<std::size_t> reference_level) {
  return [&levels, reference_level](Index i) {
    return !reference_level || levels.level_of_sample(static_cast<std::size_t>(i)) == *reference_level;
  };
}

// Complete data: mean squared residual over the contributing samples, divided by their
// count (not count - 1; the residuals are not re-centred).
Result<std::vector<double>> pooled_variance_complete(const Matrix& y, const Matrix& fitted,
                                                     const BatchLevels& levels,
                                                     std::optional<std::size_t> reference_level) {
  const Index n = y.rows();
  const auto counts = contributes(levels, reference_level);
  const double denominator = static_cast<double>(
      reference_level ? levels.level_size(*reference_level) : static_cast<std::size_t>(n));
  std::vector<double> pooled(static_cast<std::size_t>(y.cols()));
  for (Index j = 0; j < y.cols(); ++j) {
    double sum = 0.0;
    for (Index i = 0; i < n; ++i) {
      if (!counts(i)) continue;
      const double residual = y(i, j) - fitted(i, j);
      sum += residual * residual;
    }
    pooled[static_cast<std::size_t>(j)] = sum / denominator;
    if (!is_positive_finite(pooled[static_cast<std::size_t>(j)])) {
      return fail(NumericalFailure{"pooled variance is not positive finite"});
    }
  }
  return pooled;
}

// Missing data: the sample variance (denominator m - 1) of each feature's observed
// residuals over the contributing samples.
Result<std::vector<double>> pooled_variance_missing(const Matrix& y, const Matrix& fitted,
                                                    const BatchLevels& levels,
                                                    std::optional<std::size_t> reference_level) {
  const Index n = y.rows();
  const auto counts = contributes(levels, reference_level);
  std::vector<double> pooled(static_cast<std::size_t>(y.cols()));
  for (Index j = 0; j < y.cols(); ++j) {
    std::size_t m = 0;
    double sum = 0.0;
    for (Index i = 0; i < n; ++i) {
      if (!counts(i) || std::isnan(y(i, j))) continue;
      ++m;
      sum += y(i, j) - fitted(i, j);
    }
    if (m < 2) return fail(NumericalFailure{"pooled variance requires at least two observed residuals"});
    const double mean = sum / static_cast<double>(m);
    double squares = 0.0;
    for (Index i = 0; i < n; ++i) {
      if (!counts(i) || std::isnan(y(i, j))) continue;
      const double deviation = (y(i, j) - fitted(i, j)) - mean;
      squares += deviation * deviation;
    }
    pooled[static_cast<std::size_t>(j)] = squares / static_cast<double>(m - 1);
    if (!is_positive_finite(pooled[static_cast<std::size_t>(j)])) {
      return fail(NumericalFailure{"pooled variance is not positive finite"});
    }
  }
  return pooled;
}

}  // namespace

Result<Standardization> standardize(std::span<const double> kept_values, std::size_t n,
                                    std::size_t n_kept, const BatchLevels& levels,
                                    const std::optional<CovariateMatrix>& covariates,
                                    std::optional<std::size_t> reference_level) {
  Matrix y = to_column_major(kept_values, n, n_kept);
  Result<DesignFit> fit = fit_design(y, levels, covariates, reference_level);
  if (!fit) return fail(std::move(fit.error()));

  Result<std::vector<double>> pooled =
      has_missing(y) ? pooled_variance_missing(y, fit->fitted, levels, reference_level)
                     : pooled_variance_complete(y, fit->fitted, levels, reference_level);
  if (!pooled) return fail(std::move(pooled.error()));
  const std::vector<double> grand = grand_means(fit->coefficients, levels, n, reference_level);

  // The covariate effects become the standardisation mean and the data become the
  // standardised data, each in place, so no further n x G buffer is allocated.
  Standardization result;
  result.pooled_variance = std::move(*pooled);
  result.stand_mean = std::move(fit->covariate_effects);
  fit->fitted.resize(0, 0);
  for (Index j = 0; j < y.cols(); ++j) {
    const double g = grand[static_cast<std::size_t>(j)];
    const double scale = std::sqrt(result.pooled_variance[static_cast<std::size_t>(j)]);
    double* mean = result.stand_mean.col(j).data();
    double* value = y.col(j).data();
    for (Index i = 0; i < y.rows(); ++i) {
      mean[i] = g + mean[i];
      value[i] = (value[i] - mean[i]) / scale;
    }
  }
  result.standardized = std::move(y);
  return result;
}

}  // namespace quarnel
