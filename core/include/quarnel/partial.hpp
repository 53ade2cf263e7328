// Features missing from whole batches, corrected in the batches where they are observed.
//
// The fully observed ("complete") features are corrected as one run, exactly as
// combat_dense corrects the matrix of them alone, and their raw batch effects form each
// batch's priors. A partial feature is then fitted alone, with the design restricted to the
// batches it is observed in, and its posterior effects in each of those batches are drawn
// against that batch's priors: by the parametric solver run for this feature alone, or by
// the non-parametric average over the complete features' raw effects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parametric.hpp"

namespace quarnel {

struct PartialOutcome {
  FeatureIssue issue = FeatureIssue::none;  // none: corrected; otherwise why it is not
  std::optional<std::uint64_t> batch;       // the batch id the issue concerns
  std::vector<std::uint64_t> batches;       // the batch ids it was corrected in, ascending
};

struct PartialCombatOutput {
  CombatDenseOutput output;             // every feature; its report is the complete run's
  std::vector<PartialOutcome> partial;  // one per partial feature, in the order given
};

// What the complete features' run leaves to the partial ones: the mode it ran in and each
// level's prior, formed from its raw estimates by the same rules as the run's own.
// `exact` is the run's choice of non-parametric estimate (see nonparametric_posterior),
// which the partial features' posteriors follow.
struct CompletePriors {
  bool par_prior = true;
  bool mean_only = false;
  bool exact = true;
  std::optional<std::size_t> reference_level;
  std::vector<std::optional<LevelPrior>> parametric;  // per level; none for the reference
  std::optional<PosteriorInputs> nonparametric;
  std::size_t n_complete = 0;  // features behind the priors; fewer than 2: no priors
};
CompletePriors complete_priors(const ParametricEstimates& estimates, const BatchLevels& levels,
                               std::optional<std::size_t> reference_level, bool par_prior,
                               bool mean_only, bool exact);

// One partial feature's own model, in the layout of the run's: its grand mean, its
// coefficients of the run's non-intercept covariates (0 for a column its own design leaves
// out), its pooled variance, and per level its raw and posterior effects (NaN in the
// levels it is not observed in).
struct PartialFit {
  PartialOutcome outcome;
  double grand_mean = 0.0;
  std::vector<double> covariate_coefficients;
  double pooled_variance = 0.0;
  std::vector<double> gamma_hat, delta_hat, gamma_star, delta_star;
};

// Fits feature `feature` of the request in the batches where it is observed, against the
// complete features' priors. `covariate_columns` are the run's non-intercept covariates.
PartialFit fit_partial_feature(const CombatDenseRequest& request, const BatchLevels& levels,
                               const CompletePriors& priors, std::size_t feature,
                               std::span<const std::size_t> covariate_columns);

}  // namespace quarnel
