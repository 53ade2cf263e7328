#include "quarnel/counts_fit.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quarnel/counts_nb.hpp"
#include "quarnel/design.hpp"

namespace quarnel::counts {
namespace {

constexpr int kMaxIterations = 100;
constexpr double kDevianceTolerance = 1e-10;
constexpr int kMaxRounds = 20;
constexpr double kDispersionTolerance = 1e-6;
// The dispersion search's tolerance in log phi: phi to 1e-8 relative.
constexpr double kLogDispersionTolerance = 1e-8;
constexpr int kMaxHalvings = 30;

// |change| <= tolerance * (|value| + 0.1): relative for any deviance of consequence,
// and still a test when the fit is near perfect and the deviance near zero.
bool settled(double before, double after, double tolerance) {
  return std::abs(after - before) <= tolerance * (std::abs(after) + 0.1);
}

// eta = o + X c and mu = exp(eta) at coefficients `c`, and the deviance there, or +inf
// when a mean overflows. Each sample's term,
//   2 [y log(y / mu) - (y + 1/phi) log1p(phi (y - mu) / (1 + phi mu))],
// is formed on its own: the two sums of y log y and of y log mu that it is the difference
// of grow with the counts, and for counts in the millions their rounding alone would
// exceed the convergence tolerance. work.log_count holds log y (0 where y = 0).
double deviance_at(const CountDesign& design, std::span<const double> y, const Vector& c,
                   FitWorkspace& work) {
  const Eigen::Index n = design.x.rows();
  for (Eigen::Index j = 0; j < n; ++j) work.eta[j] = design.offset[static_cast<std::size_t>(j)];
  for (Eigen::Index col = 0; col < design.x.cols(); ++col) {
    const double coefficient = c[col];
    if (coefficient == 0.0) continue;
    const double* column = design.x.col(col).data();
    for (Eigen::Index j = 0; j < n; ++j) work.eta[j] += column[j] * coefficient;
  }
  double sum = 0.0;
  for (Eigen::Index j = 0; j < n; ++j) {
    const double mu = std::exp(work.eta[j]);
    work.mu[j] = mu;
    const double phi = work.sample_dispersion[static_cast<std::size_t>(j)];
    const double yj = y[static_cast<std::size_t>(j)];
    const double counted = yj == 0.0 ? 0.0 : yj * (work.log_count[j] - work.eta[j]);
    sum += counted - (yj + 1.0 / phi) * std::log1p(phi * (yj - mu) / (1.0 + phi * mu));
  }
  sum *= 2.0;
  return std::isfinite(sum) ? sum : std::numeric_limits<double>::infinity();
}

// The normal equations X^T W X c = X^T W z of one reweighted least-squares step, with
// w = mu / (1 + phi mu) and the working response z = eta - o + (y - mu) / mu.
void normal_equations(const CountDesign& design, std::span<const double> y, FitWorkspace& work) {
  const Eigen::Index n = design.x.rows();
  const Eigen::Index p = design.x.cols();
  for (Eigen::Index j = 0; j < n; ++j) {
    const auto s = static_cast<std::size_t>(j);
    const double mu = work.mu[j];
    work.weight[j] = mu / (1.0 + work.sample_dispersion[s] * mu);
    work.response[j] = work.weight[j] * (work.eta[j] - design.offset[s] + (y[s] - mu) / mu);
  }
  for (Eigen::Index a = 0; a < p; ++a) {
    const double* xa = design.x.col(a).data();
    double rhs = 0.0;
    for (Eigen::Index j = 0; j < n; ++j) rhs += xa[j] * work.response[j];
    work.rhs[a] = rhs;
    for (Eigen::Index b = a; b < p; ++b) {
      const double* xb = design.x.col(b).data();
      double sum = 0.0;
      for (Eigen::Index j = 0; j < n; ++j) sum += work.weight[j] * xa[j] * xb[j];
      work.normal(a, b) = sum;
      work.normal(b, a) = sum;
    }
  }
}

// log det(X_b^T W_b X_b) at dispersion phi, the means in work.mu.
double log_det_adjustment(const CountDesign& design, std::size_t level, double phi,
                          FitWorkspace& work) {
  const std::vector<Eigen::Index>& columns = design.adjusted_columns[level];
  const std::vector<std::size_t>& members = design.members[level];
  if (columns.size() == 1) {
    double sum = 0.0;
    for (const std::size_t j : members) {
      const double mu = work.mu[static_cast<Eigen::Index>(j)];
      sum += mu / (1.0 + phi * mu);
    }
    return std::log(sum);
  }
  const auto k = static_cast<Eigen::Index>(columns.size());
  auto a = work.adjustment.topLeftCorner(k, k);
  a.setZero();
  for (const std::size_t j : members) {
    const auto row = static_cast<Eigen::Index>(j);
    const double mu = work.mu[row];
    const double w = mu / (1.0 + phi * mu);
    for (Eigen::Index u = 0; u < k; ++u) {
      const double wx = w * design.x(row, columns[static_cast<std::size_t>(u)]);
      for (Eigen::Index v = u; v < k; ++v) a(u, v) += wx * design.x(row, columns[static_cast<std::size_t>(v)]);
    }
  }
  work.adjustment_factor.compute(a.selfadjointView<Eigen::Upper>());
  const auto diagonal = work.adjustment_factor.matrixLLT().diagonal();
  double log_det = 0.0;
  for (Eigen::Index u = 0; u < k; ++u) log_det += 2.0 * std::log(diagonal[u]);
  return log_det;
}

// adjusted_profile without its constant, -sum_{j in b} lgamma(y_j + 1): what the
// dispersion search maximises.
double profile_terms(const CountDesign& design, std::span<const double> y, std::size_t level,
                     double phi, FitWorkspace& work) {
  const double r = 1.0 / phi;
  const double log_phi = std::log(phi);
  double sum = 0.0;
  for (const std::size_t j : design.members[level]) {
    const auto row = static_cast<Eigen::Index>(j);
    const double log1p_a = std::log1p(phi * work.mu[row]);
    const double counted = y[j] == 0.0 ? 0.0 : y[j] * (log_phi + work.eta[row] - log1p_a);
    sum += log_rising(r, y[j]) - r * log1p_a + counted;
  }
  return sum - 0.5 * log_det_adjustment(design, level, phi, work);
}

// The derivative in t = log phi of adjusted_profile, the means in work.mu:
//   sum_j [ y_j / (1 + a_j) - r (psi(r + y_j) - psi(r)) + r log1p(a_j) - r a_j / (1 + a_j) ]
//   - tr((X_b^T W_b X_b)^-1 X_b^T W_b' X_b) / 2,
// with r = 1 / phi, a_j = phi mu_j and w_j' = -w_j a_j / (1 + a_j).
double profile_slope(const CountDesign& design, std::span<const double> y, std::size_t level,
                     double phi, FitWorkspace& work) {
  const double r = 1.0 / phi;
  const DigammaRising digamma_rising(r);
  const std::vector<std::size_t>& members = design.members[level];
  double sum = 0.0;
  for (const std::size_t j : members) {
    const double a = phi * work.mu[static_cast<Eigen::Index>(j)];
    const double share = a / (1.0 + a);
    sum += y[j] / (1.0 + a) - r * digamma_rising.at(y[j]) + r * std::log1p(a) - r * share;
  }
  const std::vector<Eigen::Index>& columns = design.adjusted_columns[level];
  if (columns.size() == 1) {
    double weights = 0.0, slopes = 0.0;
    for (const std::size_t j : members) {
      const double mu = work.mu[static_cast<Eigen::Index>(j)];
      const double a = phi * mu;
      const double w = mu / (1.0 + a);
      weights += w;
      slopes -= w * a / (1.0 + a);
    }
    return sum - 0.5 * slopes / weights;
  }
  const auto k = static_cast<Eigen::Index>(columns.size());
  auto a_matrix = work.adjustment.topLeftCorner(k, k);
  auto b_matrix = work.adjustment_slope.topLeftCorner(k, k);
  a_matrix.setZero();
  b_matrix.setZero();
  for (const std::size_t j : members) {
    const auto row = static_cast<Eigen::Index>(j);
    const double mu = work.mu[row];
    const double a = phi * mu;
    const double w = mu / (1.0 + a);
    const double dw = -w * a / (1.0 + a);
    for (Eigen::Index u = 0; u < k; ++u) {
      const double xu = design.x(row, columns[static_cast<std::size_t>(u)]);
      for (Eigen::Index v = 0; v < k; ++v) {
        const double xuv = xu * design.x(row, columns[static_cast<std::size_t>(v)]);
        a_matrix(u, v) += w * xuv;
        b_matrix(u, v) += dw * xuv;
      }
    }
  }
  work.adjustment_factor.compute(a_matrix);
  work.adjustment_factor.solveInPlace(b_matrix);
  return sum - 0.5 * b_matrix.trace();
}

// The zero of f in [a, b], where f(a) and f(b) differ in sign, by Brent's method
// (bisection, secant and inverse quadratic steps), to within `tolerance`.
template <class F>
double brent_zero(F&& f, double a, double b, double fa, double fb, double tolerance) {
  constexpr double eps = std::numeric_limits<double>::epsilon();
  double c = a, fc = fa, d = b - a, e = d;
  while (true) {
    if (std::abs(fc) < std::abs(fb)) {
      a = b; b = c; c = a;
      fa = fb; fb = fc; fc = fa;
    }
    const double tol = 2.0 * eps * std::abs(b) + 0.5 * tolerance;
    const double m = 0.5 * (c - b);
    if (std::abs(m) <= tol || fb == 0.0) return b;
    if (std::abs(e) < tol || std::abs(fa) <= std::abs(fb)) {
      d = m;
      e = m;
    } else {
      double s = fb / fa, p, q;
      if (a == c) {
        p = 2.0 * m * s;
        q = 1.0 - s;
      } else {
        const double qa = fa / fc, r = fb / fc;
        p = s * (2.0 * m * qa * (qa - r) - (b - a) * (r - 1.0));
        q = (qa - 1.0) * (r - 1.0) * (s - 1.0);
      }
      if (p > 0.0) {
        q = -q;
      } else {
        p = -p;
      }
      if (2.0 * p < 3.0 * m * q - std::abs(tol * q) && p < std::abs(0.5 * e * q)) {
        e = d;
        d = p / q;
      } else {
        d = m;
        e = m;
      }
    }
    a = b;
    fa = fb;
    b += std::abs(d) > tol ? d : (m > 0.0 ? tol : -tol);
    fb = f(b);
    if ((fb > 0.0) == (fc > 0.0)) {
      c = a;
      fc = fa;
      e = d = b - a;
    }
  }
}

// Method-of-moments dispersion of a batch's library-normalised counts y_j / s_j: their
// variance less the Poisson part, mean(1 / s) times their mean, over their squared mean.
double moment_dispersion(const CountDesign& design, std::span<const double> y, std::size_t level) {
  const std::vector<std::size_t>& members = design.members[level];
  const double n = static_cast<double>(members.size());
  double mean = 0.0, inverse_size = 0.0;
  for (const std::size_t j : members) {
    const double size = std::exp(design.offset[j]);
    mean += y[j] / size;
    inverse_size += 1.0 / size;
  }
  mean /= n;
  inverse_size /= n;
  double squares = 0.0;
  for (const std::size_t j : members) {
    const double deviation = y[j] / std::exp(design.offset[j]) - mean;
    squares += deviation * deviation;
  }
  const double phi = (squares / (n - 1.0) - inverse_size * mean) / (mean * mean);
  return std::clamp(std::isfinite(phi) ? phi : kMinDispersion, kMinDispersion, kMaxDispersion);
}

// Each batch's log mean library-normalised count, covariate effects zero.
void start_coefficients(const CountDesign& design, std::span<const double> y, FitWorkspace& work) {
  work.coefficients.setZero();
  for (std::size_t level = 0; level < design.n_levels(); ++level) {
    double counts = 0.0, sizes = 0.0;
    for (const std::size_t j : design.members[level]) {
      counts += y[j];
      sizes += std::exp(design.offset[j]);
    }
    work.coefficients[static_cast<Eigen::Index>(level)] = std::log(counts / sizes);
  }
}

std::optional<std::size_t> level_without_reads(const CountDesign& design, std::span<const double> y) {
  for (std::size_t level = 0; level < design.n_levels(); ++level) {
    const auto& members = design.members[level];
    if (std::all_of(members.begin(), members.end(), [&](std::size_t j) { return y[j] == 0.0; })) {
      return level;
    }
  }
  return std::nullopt;
}

// Aitken's delta-squared step on each batch's log phi from its last three values, where
// they close in on their limit monotonically; the others are left as they are.
void extrapolate_dispersions(std::span<double> dispersion, const FitWorkspace& work) {
  for (std::size_t level = 0; level < dispersion.size(); ++level) {
    const double first = work.previous[level] - work.earlier[level];
    const double second = std::log(dispersion[level]) - work.previous[level];
    if (!(first * second > 0.0) || !(std::abs(second) < std::abs(first))) continue;
    const double limit = std::log(dispersion[level]) - second * second / (second - first);
    dispersion[level] = std::clamp(std::exp(limit), kMinDispersion, kMaxDispersion);
  }
}

// The size of the largest X_b^T W_b X_b.
Eigen::Index largest_adjustment(const CountDesign& design) {
  std::size_t largest = 1;
  for (const auto& columns : design.adjusted_columns) largest = std::max(largest, columns.size());
  return static_cast<Eigen::Index>(largest);
}

}  // namespace

CountDesign count_design(const BatchLevels& levels, const std::optional<CovariateMatrix>& covariates,
                         std::span<const double> library_size) {
  const std::size_t n = levels.sample_count();
  CountDesign design;
  design.x = build_design(n, levels, covariates, std::nullopt);
  double mean_log = 0.0;
  for (const double size : library_size) mean_log += std::log(size);
  mean_log /= static_cast<double>(n);
  design.offset.reserve(n);
  for (const double size : library_size) design.offset.push_back(std::log(size) - mean_log);
  design.members = levels.members_of_all_levels();
  const auto n_levels = static_cast<Eigen::Index>(levels.level_count());
  for (std::size_t level = 0; level < levels.level_count(); ++level) {
    const std::vector<std::size_t>& members = design.members[level];
    std::vector<Eigen::Index> columns{static_cast<Eigen::Index>(level)};
    for (Eigen::Index c = n_levels; c < design.x.cols(); ++c) {
      const double first = design.x(static_cast<Eigen::Index>(members.front()), c);
      const bool varies = std::any_of(members.begin(), members.end(), [&](std::size_t j) {
        return design.x(static_cast<Eigen::Index>(j), c) != first;
      });
      if (!varies) continue;
      Matrix rows(static_cast<Eigen::Index>(members.size()),
                  static_cast<Eigen::Index>(columns.size() + 1));
      for (std::size_t i = 0; i < members.size(); ++i) {
        const auto row = static_cast<Eigen::Index>(members[i]);
        for (std::size_t k = 0; k < columns.size(); ++k) {
          rows(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(k)) = design.x(row, columns[k]);
        }
        rows(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(columns.size())) = design.x(row, c);
      }
      if (row_support(rows).rank == rows.cols()) columns.push_back(c);
    }
    design.adjusted_columns.push_back(std::move(columns));
  }
  return design;
}

FitWorkspace::FitWorkspace(const CountDesign& design)
    : eta(static_cast<Eigen::Index>(design.n_samples())),
      mu(static_cast<Eigen::Index>(design.n_samples())),
      weight(static_cast<Eigen::Index>(design.n_samples())),
      response(static_cast<Eigen::Index>(design.n_samples())),
      log_count(static_cast<Eigen::Index>(design.n_samples())),
      coefficients(design.x.cols()),
      trial(design.x.cols()),
      rhs(design.x.cols()),
      normal(design.x.cols(), design.x.cols()),
      normal_factor(design.x.cols()),
      adjustment(Matrix::Zero(largest_adjustment(design), largest_adjustment(design))),
      adjustment_slope(Matrix::Zero(largest_adjustment(design), largest_adjustment(design))),
      // Built in place: a factorisation made by LLT(size) leaves its status unset, and
      // copying it would read that.
      adjustment_factor(largest_adjustment(design)),
      sample_dispersion(design.n_samples()),
      earlier(design.n_levels()),
      previous(design.n_levels()) {}

bool fit_coefficients(const CountDesign& design, std::span<const double> y,
                      std::span<const double> dispersion, FitWorkspace& work) {
  for (std::size_t level = 0; level < design.n_levels(); ++level) {
    for (const std::size_t j : design.members[level]) work.sample_dispersion[j] = dispersion[level];
  }
  for (std::size_t j = 0; j < y.size(); ++j) {
    work.log_count[static_cast<Eigen::Index>(j)] = y[j] == 0.0 ? 0.0 : std::log(y[j]);
  }
  double deviance = deviance_at(design, y, work.coefficients, work);
  if (!std::isfinite(deviance)) return false;
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    normal_equations(design, y, work);
    work.normal_factor.compute(work.normal);
    if (work.normal_factor.info() != Eigen::Success) return false;
    work.trial = work.normal_factor.solve(work.rhs);
    double trial_deviance = deviance_at(design, y, work.trial, work);
    // A step that overshoots is halved back towards the current coefficients.
    for (int halving = 0; halving < kMaxHalvings &&
                          !(trial_deviance <= deviance + kDevianceTolerance * (std::abs(deviance) + 0.1));
         ++halving) {
      work.trial = 0.5 * (work.trial + work.coefficients);
      trial_deviance = deviance_at(design, y, work.trial, work);
    }
    if (!std::isfinite(trial_deviance)) return false;
    work.coefficients = work.trial;
    if (settled(deviance, trial_deviance, kDevianceTolerance)) return true;
    deviance = trial_deviance;
  }
  return false;
}

double adjusted_profile(const CountDesign& design, std::span<const double> y, std::size_t level,
                        double phi, FitWorkspace& work) {
  double factorials = 0.0;
  for (const std::size_t j : design.members[level]) factorials += log_rising(1.0, y[j]);  // lgamma(y + 1)
  return profile_terms(design, y, level, phi, work) - factorials;
}

double best_dispersion(const CountDesign& design, std::span<const double> y, std::size_t level,
                       double start, FitWorkspace& work) {
  const double low = std::log(kMinDispersion), high = std::log(kMaxDispersion);
  const auto slope = [&](double t) { return profile_slope(design, y, level, std::exp(t), work); };
  // A bracket grown from the start, which later rounds of the alternation already hold
  // close to the answer.
  double step = 0.05;
  double a = std::clamp(std::log(start), low, high);
  double fa = slope(a);
  double b = a, fb = fa;
  while (true) {
    b = std::clamp(a + (fa > 0.0 ? step : -step), low, high);
    fb = slope(b);
    if ((fa > 0.0) != (fb > 0.0)) break;
    if (b == low || b == high) return std::exp(b);  // the profile rises to the bound
    a = b;
    fa = fb;
    step *= 2.0;
  }
  const double t = brent_zero(slope, a, b, fa, fb, kLogDispersionTolerance);
  return std::clamp(std::exp(t), kMinDispersion, kMaxDispersion);
}

void fit_gene(const CountDesign& design, std::span<const double> y, FitWorkspace& work, GeneFit& fit) {
  fit.status = GeneStatus::fitted;
  fit.level.reset();
  fit.log_likelihood = 0.0;
  if (const std::optional<std::size_t> level = level_without_reads(design, y)) {
    fit.status = GeneStatus::no_reads;
    fit.level = level;
    return;
  }
  const std::size_t n_levels = design.n_levels();
  for (std::size_t level = 0; level < n_levels; ++level) {
    fit.dispersion[level] = moment_dispersion(design, y, level);
  }
  start_coefficients(design, y, work);
  bool converged = false;
  for (int round = 0; round < kMaxRounds && !converged; ++round) {
    if (!fit_coefficients(design, y, fit.dispersion, work)) break;
    converged = true;
    for (std::size_t level = 0; level < n_levels; ++level) {
      const double phi = best_dispersion(design, y, level, fit.dispersion[level], work);
      if (std::abs(phi - fit.dispersion[level]) > kDispersionTolerance * fit.dispersion[level]) {
        converged = false;
      }
      work.earlier[level] = work.previous[level];
      work.previous[level] = std::log(fit.dispersion[level]);
      fit.dispersion[level] = phi;
    }
    if (!converged && round % 3 == 2) extrapolate_dispersions(fit.dispersion, work);
  }
  if (!converged || !fit_coefficients(design, y, fit.dispersion, work)) {
    fit.status = GeneStatus::not_converged;
    return;
  }
  for (std::size_t c = 0; c < design.n_coefficients(); ++c) {
    fit.coefficients[c] = work.coefficients[static_cast<Eigen::Index>(c)];
  }
  for (std::size_t level = 0; level < n_levels; ++level) {
    const double phi = fit.dispersion[level];
    double log_likelihood = 0.0;
    for (const std::size_t j : design.members[level]) {
      log_likelihood += nb_log_pmf(y[j], {work.mu[static_cast<Eigen::Index>(j)], phi});
    }
    fit.log_likelihood += log_likelihood;
    fit.adjusted_profile[level] = log_likelihood - 0.5 * log_det_adjustment(design, level, phi, work);
  }
}

}  // namespace quarnel::counts
