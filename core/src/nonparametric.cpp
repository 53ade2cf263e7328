#include "quarnel/nonparametric.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "quarnel/parallel.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kTwoPi = 6.283185307179586;

// The observed values of one feature among a level's members, in ascending sample order,
// written over `values`.
void gather_observed(const Matrix& standardized, std::size_t feature,
                     const std::vector<std::size_t>& members, std::vector<double>& values) {
  const double* column = standardized.col(static_cast<Index>(feature)).data();
  values.clear();
  for (const std::size_t s : members) {
    if (!std::isnan(column[s])) values.push_back(column[s]);
  }
}

// Buffers a job reuses from the previous job on the same thread, so that the hot loop
// allocates nothing once a thread has run its first job.
struct JobScratch {
  std::vector<double> observed;
  std::vector<double> log_likelihoods;
};

JobScratch& job_scratch() {
  thread_local JobScratch scratch;
  return scratch;
}

// Two doubles: one register on every x86-64 (SSE2) and aarch64 (NEON) CPU.
typedef double Lanes2 __attribute__((vector_size(16)));

// A LikelihoodSweep (see the header) for one vector type.
//
// AVX-512 and every aarch64 CPU have fused multiply-add; the core is built with
// -ffp-contract=off, so each product is still rounded before it is added.
//
// Each block of kUnroll vectors of neighbouring m keeps its sums in registers while every
// observed value passes once; every lane does the same IEEE subtract, multiply, add and
// divide as scalar code would, so all vector widths give the same bits. The width is set
// per instruction set by the callers below.
template <class Lanes, std::size_t kUnroll>
[[gnu::always_inline]] inline double log_likelihoods_with(std::span<const double> observed,
                                                         const double* g, const double* d,
                                                         const double* logs, std::size_t width,
                                                         std::size_t excluded, double* out) {
  constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(double);
  constexpr std::size_t kBlock = kLanes * kUnroll;
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const double half_count = static_cast<double>(observed.size()) * -0.5;
  const double* x = observed.data();
  const std::size_t n = observed.size();
  const Lanes negative_infinity = Lanes{} - kInfinity;

  auto block = [&](const double* gb, const double* db, const double* lb, double* ob) {
    Lanes sums[kUnroll];
    Lanes locations[kUnroll];
    for (std::size_t u = 0; u < kUnroll; ++u) {
      sums[u] = Lanes{};
      std::memcpy(&locations[u], gb + u * kLanes, sizeof(Lanes));
    }
    for (std::size_t k = 0; k < n; ++k) {
      const double value = x[k];
      for (std::size_t u = 0; u < kUnroll; ++u) {
        const Lanes distance = value - locations[u];
        sums[u] = sums[u] + distance * distance;
      }
    }
    for (std::size_t u = 0; u < kUnroll; ++u) {
      Lanes scale;
      Lanes log_term;
      std::memcpy(&scale, db + u * kLanes, sizeof(Lanes));
      std::memcpy(&log_term, lb + u * kLanes, sizeof(Lanes));
      Lanes value = log_term * half_count - sums[u] / (scale + scale);
      // x - x is 0 exactly when x is finite.
      value = (value - value) == 0.0 ? value : negative_infinity;
      std::memcpy(ob + u * kLanes, &value, sizeof(Lanes));
    }
  };

  std::size_t m = 0;
  for (; m + kBlock <= width; m += kBlock) block(g + m, d + m, logs + m, out + m);
  if (m < width) {
    // The last partial block runs on copies padded with harmless estimates (0, 1, 0),
    // whose results are dropped.
    double gb[kBlock] = {};
    double db[kBlock];
    double lb[kBlock] = {};
    double ob[kBlock];
    std::fill(db, db + kBlock, 1.0);
    const std::size_t rest = width - m;
    std::copy(g + m, g + width, gb);
    std::copy(d + m, d + width, db);
    std::copy(logs + m, logs + width, lb);
    block(gb, db, lb, ob);
    std::copy(ob, ob + rest, out + m);
  }
  if (excluded < width) out[excluded] = -kInfinity;

  // The largest of values that are never NaN is the same whatever order they are
  // compared in (up to the sign of a zero, which the caller's shift x - largest does not
  // see), so the lanes may keep their own maxima.
  Lanes largest = negative_infinity;
  m = 0;
  for (; m + kLanes <= width; m += kLanes) {
    Lanes value;
    std::memcpy(&value, out + m, sizeof(Lanes));
    largest = value > largest ? value : largest;
  }
  double result = -kInfinity;
  for (std::size_t lane = 0; lane < kLanes; ++lane) result = std::max(result, largest[lane]);
  for (; m < width; ++m) result = std::max(result, out[m]);
  return result;
}

double sweep_baseline(std::span<const double> observed, const double* g, const double* d,
                      const double* logs, std::size_t width, std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes2, 8>(observed, g, d, logs, width, excluded, out);
}

// The wider versions exist only where the compiler can target the x86 vector extensions
// and the CPU can be asked at run time whether it has them; everywhere else the baseline
// version is the only one.
#if defined(__x86_64__) || defined(__i386__)
typedef double Lanes4 __attribute__((vector_size(32)));
typedef double Lanes8 __attribute__((vector_size(64)));

__attribute__((target("avx512f"))) double sweep_avx512(std::span<const double> observed,
                                                      const double* g, const double* d,
                                                      const double* logs, std::size_t width,
                                                      std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes8, 4>(observed, g, d, logs, width, excluded, out);
}

__attribute__((target("avx2"))) double sweep_avx2(std::span<const double> observed,
                                                  const double* g, const double* d,
                                                  const double* logs, std::size_t width,
                                                  std::size_t excluded, double* out) {
  return log_likelihoods_with<Lanes4, 8>(observed, g, d, logs, width, excluded, out);
}

// Appends the wider versions this CPU runs, widest first.
void add_wider_sweeps(std::vector<LikelihoodSweep>& sweeps) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) sweeps.push_back({"avx512f", sweep_avx512});
  if (__builtin_cpu_supports("avx2")) sweeps.push_back({"avx2", sweep_avx2});
}
#else
void add_wider_sweeps(std::vector<LikelihoodSweep>&) {}
#endif

// The widest sweep this CPU runs, chosen at the first job.
LikelihoodSweep::Run* fastest_sweep() {
  static LikelihoodSweep::Run* const run = supported_likelihood_sweeps().front().run;
  return run;
}

}  // namespace

std::vector<LikelihoodSweep> supported_likelihood_sweeps() {
  std::vector<LikelihoodSweep> sweeps;
  add_wider_sweeps(sweeps);
  sweeps.push_back({"baseline", sweep_baseline});
  return sweeps;
}

PosteriorInputs prepare_posterior_inputs(const Matrix& standardized, const BatchLevels& levels,
                                         const Matrix& gamma_hat, const Matrix& delta_hat) {
  PosteriorInputs inputs;
  inputs.standardized = &standardized;
  inputs.members = levels.members_of_all_levels();
  const std::size_t n_levels = levels.level_count();
  for (std::size_t i = 0; i < n_levels; ++i) {
    std::vector<double> g = row_values(gamma_hat, i);
    std::vector<double> d = row_values(delta_hat, i);
    std::vector<double> logs(d.size());
    std::vector<std::size_t> unusable;
    for (std::size_t m = 0; m < d.size(); ++m) {
      logs[m] = std::log(d[m] * kTwoPi);
      if (!std::isfinite(g[m]) || !is_positive_finite(d[m])) unusable.push_back(m);
    }
    inputs.gamma_rows.push_back(std::move(g));
    inputs.delta_rows.push_back(std::move(d));
    inputs.log_terms.push_back(std::move(logs));
    inputs.unusable.push_back(std::move(unusable));
  }
  return inputs;
}

namespace {

// exp(x) is exactly 0 for every x below this (ln 2^-1075 is about -745.13).
constexpr double kExpUnderflow = -745.2;

// The same log-likelihoods as a sweep, each formed from the observed values' count n,
// mean and centred sum of squares: sum_k (x_k - g)^2 = sum_k (x_k - mean)^2 + n (mean - g)^2.
// A job then costs O(width) instead of O(width * n). Centring first keeps the identity
// accurate: the uncentred form sum x^2 - 2 g sum x + n g^2 cancels catastrophically when
// the values lie far from g. The sums differ from a sweep's only by rounding.
double summary_log_likelihoods(std::span<const double> observed, const double* g, const double* d,
                               const double* logs, std::size_t width, std::size_t excluded,
                               double* out) {
  const auto count = static_cast<double>(observed.size());
  double sum = 0.0;
  for (const double x : observed) sum += x;
  const double mean = observed.empty() ? 0.0 : sum / count;
  double centred = 0.0;
  for (const double x : observed) centred += (x - mean) * (x - mean);
  const double half = count * -0.5;
  for (std::size_t m = 0; m < width; ++m) {
    const double deviation = mean - g[m];
    const double squares = centred + count * (deviation * deviation);
    out[m] = logs[m] * half - squares / (d[m] + d[m]);
  }
  if (excluded < width) out[excluded] = -std::numeric_limits<double>::infinity();
  double largest = -std::numeric_limits<double>::infinity();
  for (std::size_t m = 0; m < width; ++m) {
    if (!std::isfinite(out[m])) out[m] = -std::numeric_limits<double>::infinity();
    largest = std::max(largest, out[m]);
  }
  return largest;
}

}  // namespace

Result<std::pair<double, double>> nonparametric_posterior(std::span<const double> observed,
                                                          const PosteriorInputs& inputs,
                                                          std::size_t level,
                                                          std::size_t excluded, bool exact) {
  const std::vector<double>& g = inputs.gamma_rows[level];
  const std::vector<double>& d = inputs.delta_rows[level];
  const std::vector<double>& logs = inputs.log_terms[level];
  const std::size_t width = g.size();
  // Any feature with an unusable raw estimate fails the posterior, whatever the others
  // hold; the excluded feature's own estimates never enter it.
  for (const std::size_t m : inputs.unusable[level]) {
    if (m != excluded) {
      return fail(NumericalFailure{"non-parametric prior value is not positive finite"});
    }
  }
  JobScratch& scratch = job_scratch();
  scratch.log_likelihoods.resize(width);
  double* log_likelihood = scratch.log_likelihoods.data();

  // Log-likelihood of the observed values under each feature's estimates; one that cannot
  // be represented leaves that feature out rather than failing (it comes back as -inf, as
  // does the excluded one).
  const double largest =
      exact ? fastest_sweep()(observed, g.data(), d.data(), logs.data(), width, excluded, log_likelihood)
            : summary_log_likelihoods(observed, g.data(), d.data(), logs.data(), width, excluded,
                                      log_likelihood);
  if (largest == -std::numeric_limits<double>::infinity()) {
    return fail(NumericalFailure{"non-parametric likelihood has no finite support"});
  }

  // Shifting by the largest log-likelihood makes its weight exactly 1: no weight
  // overflows and at least one is not zero. The features left out above have a
  // log-likelihood of -inf and take no part.
  double total = 0.0;
  double location = 0.0;
  double scale = 0.0;
  for (std::size_t m = 0; m < width; ++m) {
    const double shift = log_likelihood[m] - largest;
    // exp gives exactly 0 below this (and -inf for the features left out), and a zero
    // weight adds nothing to the sums: skipping it saves the exponential, not a bit.
    if (!(shift >= kExpUnderflow)) continue;
    const double weight = std::exp(shift);
    total += weight;
    location += g[m] * weight;
    scale += d[m] * weight;
  }
  if (!is_positive_finite(total)) {
    return fail(NumericalFailure{"non-parametric likelihood weights are degenerate"});
  }
  const double gamma_star = location / total;
  const double delta_star = scale / total;
  if (!std::isfinite(gamma_star) || !is_positive_finite(delta_star)) {
    return fail(NumericalFailure{"non-parametric posterior produced a non-finite value"});
  }
  return std::pair{gamma_star, delta_star};
}

Result<FeaturePosterior> posterior_job(std::size_t job, std::size_t n_features,
                                       const PosteriorInputs& inputs, bool exact,
                                       std::size_t first_feature) {
  const std::size_t level = job / n_features;
  const std::size_t feature = job % n_features;
  std::vector<double>& observed = job_scratch().observed;
  gather_observed(*inputs.standardized, feature, inputs.members[level], observed);
  Result<std::pair<double, double>> posterior =
      nonparametric_posterior(observed, inputs, level, first_feature + feature, exact);
  if (!posterior) return fail(std::move(posterior.error()));
  return FeaturePosterior{level, feature, posterior->first, posterior->second};
}

Result<ParametricEstimates> fit_feature_posteriors(const Standardization& standardization,
                                                   const BatchLevels& levels, bool mean_only,
                                                   std::optional<std::size_t> reference_level,
                                                   bool parallel, const CancelRequested& cancel,
                                                   bool exact) {
  const Matrix& standardized = standardization.standardized;
  const auto n_features = static_cast<std::size_t>(standardized.cols());
  if (n_features < 2) {
    return fail(NumericalFailure{"non-parametric priors require at least two kept features"});
  }
  Result<Matrix> gamma_hat = estimate_gamma_hat(standardized, levels, reference_level,
                                                standardization.has_missing, parallel);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  const auto n_levels = static_cast<Index>(levels.level_count());
  Result<Matrix> delta_hat = mean_only ? Result<Matrix>(Matrix::Ones(n_levels, gamma_hat->cols()))
                                       : estimate_delta_hat(standardized, levels, parallel);
  if (!delta_hat) return fail(std::move(delta_hat.error()));

  const PosteriorInputs inputs =
      prepare_posterior_inputs(standardized, levels, *gamma_hat, *delta_hat);
  const std::size_t n_jobs = levels.level_count() * n_features;
  // The jobs run in consecutive slices of about kJobVisitsPerSlice sample-feature visits
  // (a job visits every feature once per observed sample of its level), so that the
  // caller can be asked whether to stop every few hundred milliseconds at most. Jobs are
  // independent, so slicing changes no result.
  constexpr std::size_t kJobVisitsPerSlice = std::size_t{1} << 26;
  const std::size_t job_visits =
      std::max<std::size_t>(1, n_features * (static_cast<std::size_t>(standardized.rows()) /
                                             levels.level_count()));
  const std::size_t slice = std::max(4 * pool::worker_count(), kJobVisitsPerSlice / job_visits);
  // A job costs tens of microseconds, more in larger levels and less where values are
  // missing; ranges of a few jobs each let the threads finish a slice together.
  constexpr std::size_t kRangesPerThread = 16;
  std::vector<Result<FeaturePosterior>> results(n_jobs);
  for (std::size_t first = 0; first < n_jobs; first += slice) {
    const std::size_t count = std::min(slice, n_jobs - first);
    // The reference level is aligned to nothing, so its jobs are not run.
    parallel_for_split(parallel && n_jobs >= 2, count, kRangesPerThread, [&](std::size_t k) {
      const std::size_t job = first + k;
      results[job] = job / n_features == reference_level
                         ? Result<FeaturePosterior>(
                               FeaturePosterior{job / n_features, job % n_features, 0.0, 1.0})
                         : posterior_job(job, n_features, inputs, exact);
    });
    stop_if_cancelled(cancel, {"estimate", first + count, n_jobs});
  }
  if (Status failed = first_error(results); !failed) return fail(std::move(failed.error()));

  ParametricEstimates estimates{Matrix::Zero(n_levels, standardized.cols()),
                                Matrix::Zero(n_levels, standardized.cols())};
  for (const Result<FeaturePosterior>& result : results) {
    estimates.gamma_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) =
        result->gamma_star;
    estimates.delta_star(static_cast<Index>(result->level), static_cast<Index>(result->feature)) =
        result->delta_star;
  }
  estimates.gamma_hat = std::move(*gamma_hat);
  estimates.delta_hat = std::move(*delta_hat);
  return estimates;
}

}  // namespace quarnel
