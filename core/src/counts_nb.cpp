#include "quarnel/counts_nb.hpp"

#include <boost/math/policies/policy.hpp>
#include <boost/math/special_functions/beta.hpp>
#include <boost/math/special_functions/digamma.hpp>
#include <boost/math/special_functions/erf.hpp>
#include <boost/math/special_functions/gamma.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace quarnel::counts {
namespace {

namespace policies = boost::math::policies;
// Plain double arithmetic (Boost would otherwise carry doubles as long doubles inside its
// special functions, several times slower) and no exceptions: the arguments are always in
// the functions' domains, and a result that is not finite is caught by its caller.
using Policy = policies::policy<
    policies::promote_double<false>, policies::domain_error<policies::ignore_error>,
    policies::pole_error<policies::ignore_error>, policies::overflow_error<policies::ignore_error>,
    policies::evaluation_error<policies::ignore_error>>;
constexpr Policy policy{};

// Beyond this many factors a rising factorial is summed from Stirling's series or
// Boost's lgamma rather than multiplied out.
constexpr double kProductUpTo = 16.0;
// Stirling's series, cut after its x^-7 term, is exact to 1e-17 from here on.
constexpr double kStirlingFrom = 30.0;
// The largest count a double holds exactly: a quantile beyond it is no count.
constexpr double kLargestCount = 9007199254740992.0;  // 2^53
// Steps walked by pmf ratios before the search switches to bisection on the exact tail.
constexpr int kMaxWalk = 64;
// Up to this count a lower tail is summed from P(0) by the ratios of neighbouring
// probabilities (all terms positive, so each sum is exact to about k rounding errors)
// instead of taken from the incomplete beta function, several times slower.
constexpr double kSumUpTo = 64.0;
// ... provided P(0) is at least this, so that no term of the sum underflows.
constexpr double kSmallestStart = 1e-280;

// lgamma(x) - ((x - 1/2) log x - x + log(2 pi) / 2).
double stirling_tail(double x) {
  const double inv = 1.0 / x;
  const double inv2 = inv * inv;
  return inv * (1.0 / 12 - inv2 * (1.0 / 360 - inv2 * (1.0 / 1260 - inv2 / 1680)));
}

// digamma(x) - (log x - 1 / (2 x)), from the same series.
double digamma_tail(double x) {
  const double inv2 = 1.0 / (x * x);
  return -inv2 * (1.0 / 12 - inv2 * (1.0 / 120 - inv2 * (1.0 / 252 - inv2 / 240)));
}

// sum_{i < y} log(r + i), one logarithm per four factors.
double log_product_rising(double r, double y) {
  double sum = 0.0;
  double i = 0.0;
  while (i < y) {
    double product = r + i;
    i += 1.0;
    for (int k = 1; k < 4 && i < y; ++k, i += 1.0) product *= r + i;
    sum += std::log(product);
  }
  return sum;
}

// The law in Boost's terms: r = 1 / phi successes of probability p = 1 / (1 + phi mu);
// q = 1 - p, formed without the cancellation of the subtraction.
struct Shape {
  double r;
  double p;
  double q;
  double p0;  // P(Y = 0) = p^r
};

Shape shape_of(NbLaw law) {
  const double a = law.dispersion * law.mean;
  const double r = 1.0 / law.dispersion;
  return {r, 1.0 / (1.0 + a), a / (1.0 + a), std::exp(-r * std::log1p(a))};
}

// F(k) and P(k) in the lower tail.
struct Anchor {
  double tail;
  double prob;
};

bool summable(const Shape& s, double k) { return k <= kSumUpTo && s.p0 >= kSmallestStart; }

// F(k) and P(k) summed from P(0); only where summable.
Anchor summed(const Shape& s, double k) {
  double prob = s.p0;
  double tail = prob;
  for (double i = 0.0; i < k; i += 1.0) {
    prob *= (i + s.r) / (i + 1.0) * s.q;
    tail += prob;
  }
  return {tail, prob};
}

double pmf(const Shape& s, double k) {
  return boost::math::ibeta_derivative(s.r, k + 1.0, s.p, policy) * s.p / (s.r + k);
}

// F(k) in the lower tail, P(Y > k) in the upper one.
double tail_at(const Shape& s, bool upper, double k) {
  return upper ? boost::math::ibetac(s.r, k + 1.0, s.p, policy)
               : boost::math::ibeta(s.r, k + 1.0, s.p, policy);
}

// Where y sits, as the mid-distribution probability in its smaller tail.
struct Place {
  bool upper;
  double tail;
};

Place place_of(double y, const Shape& s) {
  double half = 0.0, below = 0.0;
  if (summable(s, y)) {
    const Anchor at = summed(s, y);
    half = 0.5 * at.prob;
    below = at.tail - half;
  } else {
    half = 0.5 * pmf(s, y);
    below = (y == 0.0 ? 0.0 : tail_at(s, false, y - 1.0)) + half;
  }
  if (below <= 0.5) return {false, below};
  return {true, tail_at(s, true, y) + half};
}

Anchor anchor_at(const Shape& s, bool upper, double k) {
  if (!upper && summable(s, k)) return summed(s, k);
  return {tail_at(s, upper, k), pmf(s, k)};
}

// Whether k is at or past the place: F(k) >= u in the lower tail, P(Y > k) <= 1 - u in
// the upper one. False for every k below the answer, true from it on.
bool reached(const Place& place, double tail) {
  return place.upper ? tail <= place.tail : tail >= place.tail;
}

// A Cornish-Fisher start: the normal quantile of the place, corrected for the law's skew.
double start_of(const Place& place, NbLaw law) {
  const double z = (place.upper ? 1.0 : -1.0) * std::numbers::sqrt2 *
                   boost::math::erfc_inv(2.0 * place.tail, policy);
  const double variance = law.mean + law.dispersion * law.mean * law.mean;
  const double sd = std::sqrt(variance);
  const double skew = (1.0 + 2.0 * law.dispersion * law.mean) / sd;
  const double x = law.mean + sd * (z + skew * (z * z - 1.0) / 6.0);
  if (!(x > 0.0)) return 0.0;
  return std::min(std::floor(x), kLargestCount);
}

// The first k in (low, high] that has reached the place, by bisection on exact tails;
// `low` has not reached it (or is -1), `high` has.
double bisect(const Shape& s, const Place& place, double low, double high) {
  while (high - low > 1.0) {
    const double mid = std::floor(low + (high - low) / 2.0);
    if (reached(place, tail_at(s, place.upper, mid))) {
      high = mid;
    } else {
      low = mid;
    }
  }
  return high;
}

// The first k that has reached the place, found by galloping from `k` on exact tails.
std::optional<double> gallop(const Shape& s, const Place& place, double k) {
  double step = kMaxWalk;
  if (reached(place, tail_at(s, place.upper, k))) {
    double high = k;
    while (true) {
      const double low = std::max(high - step, -1.0);
      if (low < 0.0 || !reached(place, tail_at(s, place.upper, low))) {
        return bisect(s, place, low, high);
      }
      high = low;
      step *= 2.0;
    }
  }
  double low = k;
  while (true) {
    const double high = low + step;
    if (high > kLargestCount) return std::nullopt;
    if (reached(place, tail_at(s, place.upper, high))) return bisect(s, place, low, high);
    low = high;
    step *= 2.0;
  }
}

// The first k that has reached the place. It walks from `start` by the ratios of
// neighbouring probabilities, one exact tail at the start; a decision that the walk's
// rounding could have turned is checked on exact tails, and a long walk hands over to
// galloping.
std::optional<double> first_reached(const Shape& s, const Place& place, double start) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  double k = start;
  const Anchor anchor = anchor_at(s, place.upper, k);
  double tail = anchor.tail;
  double prob = anchor.prob;
  const double scale = tail;
  for (int steps = 0; steps < kMaxWalk; ++steps) {
    // Every update adds or removes one probability, each rounded relative to the tail.
    const double slack = 16.0 * eps * (steps + 2) * std::max(scale, tail);
    if (reached(place, tail)) {
      if (k == 0.0) return 0.0;
      const double before = place.upper ? tail + prob : tail - prob;
      if (!reached(place, before)) {
        const bool clear = std::abs(tail - place.tail) > slack &&
                           std::abs(before - place.tail) > slack;
        if (clear || !reached(place, tail_at(s, place.upper, k - 1.0))) {
          if (clear || reached(place, tail_at(s, place.upper, k))) return k;
        }
        return gallop(s, place, k);
      }
      prob = prob * k / ((k - 1.0 + s.r) * s.q);
      k -= 1.0;
      tail = before;
    } else {
      if (k + 1.0 > kLargestCount) return std::nullopt;
      k += 1.0;
      prob = prob * (k - 1.0 + s.r) / k * s.q;
      tail = place.upper ? tail - prob : tail + prob;
    }
  }
  return gallop(s, place, k);
}

}  // namespace

double log_rising(double r, double y) {
  if (y == 0.0) return 0.0;
  if (y <= kProductUpTo) return log_product_rising(r, y);
  if (r >= kStirlingFrom) {
    const double z = r + y;
    return (r - 0.5) * std::log1p(y / r) + y * std::log(z) - y +
           (stirling_tail(z) - stirling_tail(r));
  }
  return boost::math::lgamma(r + y, policy) - boost::math::lgamma(r, policy);
}

DigammaRising::DigammaRising(double r)
    : r_(r), digamma_r_(r >= kStirlingFrom ? 0.0 : boost::math::digamma(r, policy)) {}

double DigammaRising::at(double y) const {
  if (y == 0.0) return 0.0;
  if (y <= kProductUpTo) {
    double sum = 0.0;
    for (double i = 0.0; i < y; i += 1.0) sum += 1.0 / (r_ + i);
    return sum;
  }
  const double z = r_ + y;
  if (r_ >= kStirlingFrom) {
    return std::log1p(y / r_) + 0.5 * y / (r_ * z) + (digamma_tail(z) - digamma_tail(r_));
  }
  // Here r < 30 <= digamma(z)'s asymptotic range or close to it, and z > r + 16, so the
  // difference loses nothing to cancellation.
  const double digamma_z = z >= kStirlingFrom ? std::log(z) - 0.5 / z + digamma_tail(z)
                                              : boost::math::digamma(z, policy);
  return digamma_z - digamma_r_;
}

double nb_log_pmf(double y, NbLaw law) {
  const double a = law.dispersion * law.mean;
  const double r = 1.0 / law.dispersion;
  const double log1p_a = std::log1p(a);
  const double counted = y == 0.0 ? 0.0 : y * (std::log(a) - log1p_a);
  return log_rising(r, y) - boost::math::lgamma(y + 1.0, policy) - r * log1p_a + counted;
}

std::optional<double> mid_quantile_map(double y, NbLaw from, NbLaw to) {
  const Place place = place_of(y, shape_of(from));
  if (!(place.tail >= std::numeric_limits<double>::min())) return std::nullopt;
  return first_reached(shape_of(to), place, start_of(place, to));
}

}  // namespace quarnel::counts
