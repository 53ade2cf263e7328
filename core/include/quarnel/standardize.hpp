// Standardisation: every kept feature centred on its grand mean plus its covariate
// effects and scaled by its pooled residual standard deviation.
#pragma once

#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

// The value each data value is measured from: its feature's grand mean plus its sample's
// covariate effect. An n x G matrix of it would be as large as the data, so it is held as
// its factors and formed where it is read, the same way every time:
//   stand_mean(i, j) = grand(j) + (0.0 + x(i, 0) * b(0, j) + x(i, 1) * b(1, j) + ...)
// with the sum taken left to right over the non-intercept covariates x and their
// coefficients b.
class StandMean {
 public:
  StandMean() = default;
  // `covariates` is n x k', `coefficients` k' x G, `grand` G values.
  StandMean(std::vector<double> grand, Matrix covariates, Matrix coefficients);

  Eigen::Index rows() const { return covariates_.rows(); }
  Eigen::Index cols() const { return static_cast<Eigen::Index>(grand_.size()); }
  double operator()(Eigen::Index sample, Eigen::Index feature) const;
  // The feature's value for every sample, into `out` (one slot per sample).
  void column(Eigen::Index feature, std::span<double> out) const;

  // The same mean for `features` alone (indices of this one's features, ascending).
  StandMean of(std::span<const Eigen::Index> features) const;

  const std::vector<double>& grand() const { return grand_; }
  const Matrix& coefficients() const { return coefficients_; }  // k' x G

 private:
  std::vector<double> grand_;
  Matrix covariates_;
  Matrix coefficients_;
};

struct Standardization {
  std::vector<double> pooled_variance;  // G values, each positive and finite
  StandMean stand_mean;                 // n x G: grand mean plus covariate effect
  Matrix standardized;                  // n x G: (value - stand_mean) / sqrt(pooled); NaN kept
  bool has_missing = false;             // whether `standardized` holds a NaN anywhere
};

// `kept_values` holds the n x G kept features (see project_features); its buffer becomes
// the standardised data. Without a reference level the grand mean is the size-weighted
// mean of the level coefficients and the residuals of all samples are pooled; with one,
// the reference coefficient is the grand mean and only the reference samples are pooled.
// One NaN anywhere switches every feature to the sample variance of its observed
// residuals. Residuals that the design fits exactly whatever the data (a feature with no
// residual degree of freedom, a reference level of one sample) fail as the zero they are
// in exact arithmetic; a level whose every value the design fits exactly has zero
// residuals and one standardised value for all its samples, so that its scale is zero. With `parallel` the features are worked on in blocks on the worker pool; a
// failing feature is still reported in feature order, after every fit error.
Result<Standardization> standardize(Matrix kept_values, const BatchLevels& levels,
                                    const std::optional<CovariateMatrix>& covariates,
                                    std::optional<std::size_t> reference_level,
                                    bool parallel = false);

// standardize in the missing-data mode given: that of the whole run when these are some
// of its features.
Result<Standardization> standardize_in_mode(Matrix kept_values, const BatchLevels& levels,
                                            const std::optional<CovariateMatrix>& covariates,
                                            std::optional<std::size_t> reference_level,
                                            bool missing, bool parallel = false);

// standardize with the missing-data mode given and every feature's own outcome: the error
// is the whole design's; a feature that cannot be fitted has its error in `fit_status`,
// one whose pooled variance fails in `variance_status`, and its values are left as they
// are. Used where features are judged one by one rather than as one run.
struct StandardizedFeatures {
  Standardization standardization;
  std::vector<Status> fit_status;
  std::vector<Status> variance_status;
  std::vector<unsigned char> no_free_residual;  // see DesignFit
  std::vector<unsigned char> level_fitted;      // see DesignFit
  // Per feature: whether its pooled variance failed because the squares of its residuals
  // overflow, values too large for any variance to be held.
  std::vector<unsigned char> variance_overflow;
};
Result<StandardizedFeatures> standardize_each(Matrix kept_values, const BatchLevels& levels,
                                              const std::optional<CovariateMatrix>& covariates,
                                              std::optional<std::size_t> reference_level,
                                              bool missing, bool parallel = false);

// Strictly between 0 and +inf: positive subnormals pass; zero, negatives, NaN and inf fail.
inline bool is_positive_finite(double x) {
  return x > 0.0 && x < std::numeric_limits<double>::infinity();
}

}  // namespace quarnel
