// The negative-binomial law of read counts, with mean mu and dispersion phi
// (variance mu + phi mu^2), and the mid-distribution quantile map between two such laws.
//
// Counts are held as doubles: every integer up to 2^53 is exact, and the model works in
// floating point throughout. The distribution functions come from Boost.Math's
// incomplete beta function (F(k) = I_p(1/phi, k + 1) with p = 1 / (1 + phi mu)), which is
// accurate in both tails; probabilities are always taken in the smaller tail so that
// none is lost to rounding against 1.
#pragma once

#include <optional>

namespace quarnel::counts {

struct NbLaw {
  double mean = 0.0;        // > 0
  double dispersion = 0.0;  // > 0
};

// lgamma(r + y) - lgamma(r) for r > 0 and a non-negative integer y, without the
// cancellation of the plain difference when r is large (small dispersions).
double log_rising(double r, double y);

// digamma(r + y) - digamma(r) for one r and many y, the derivative of log_rising in r,
// with the same care. digamma(r) is computed once, for all the counts it serves.
class DigammaRising {
 public:
  explicit DigammaRising(double r);
  double at(double y) const;

 private:
  double r_;
  double digamma_r_;  // used only below the asymptotic range of r
};

// log P(Y = y) for a non-negative integer y.
double nb_log_pmf(double y, NbLaw law);

// The count that y becomes when moved from `from` to the same place of `to`:
//   u = F(y - 1) + P(y) / 2 under `from`,  result = min { k >= 0 : F_to(k) >= u },
// with u, and the search, in the smaller tail (survival functions when u > 1/2).
// Nothing when that tail probability is below the smallest normal double (the place of y
// is not resolved, so any result would be arbitrary) or the result exceeds 2^53.
std::optional<double> mid_quantile_map(double y, NbLaw from, NbLaw to);

}  // namespace quarnel::counts
