// The records of a run's batch effects that both estimators (parametric.hpp,
// nonparametric.hpp) and everything after them share: a level's priors, and every level's
// raw and posterior effects on the kept features.
//
// L x G matrices are column-major model matrices: row i is batch level i, column j the
// j-th kept feature.
#pragma once

#include "quarnel/layout.hpp"

namespace quarnel {

struct LevelPrior {
  double gamma_bar = 0.0;  // mean of the level's gamma_hat row
  double tau2 = 0.0;       // sample variance of the level's gamma_hat row
  double a_prior = 0.0;    // inverse-gamma shape of the level's scale effects
  double b_prior = 0.0;    // inverse-gamma scale of the level's scale effects
};

struct ParametricEstimates {
  Matrix gamma_star;  // L x G location effects, subtracted from standardised values
  Matrix delta_star;  // L x G scale effects (variance ratios, positive)
  // The raw estimates the posteriors were drawn from, and from which each level's priors
  // are formed (delta_hat all 1.0 in mean-only mode). Empty where no prior was formed: a
  // single kept feature is corrected by its raw location effects alone.
  Matrix gamma_hat = {};
  Matrix delta_hat = {};
};

}  // namespace quarnel
