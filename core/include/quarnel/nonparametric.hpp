// Non-parametric posteriors: for every (level, kept feature) pair, the other features'
// raw estimates of the same level act as an empirical prior, and the posterior effects
// are their averages weighted by the likelihood of the target feature's data.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "quarnel/batch.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

namespace quarnel {

struct FeaturePosterior {
  std::size_t level = 0;
  std::size_t feature = 0;
  double gamma_star = 0.0;  // finite
  double delta_star = 0.0;  // positive and finite
};

// What every job reads, computed once per run: each level's members, and each level's raw
// estimates of every feature as contiguous rows with log(delta_hat * 2 pi).
struct PosteriorInputs {
  std::vector<std::vector<std::size_t>> members;  // per level, ascending samples
  std::vector<std::vector<double>> gamma_rows;    // per level, gamma_hat of every feature
  std::vector<std::vector<double>> delta_rows;    // per level, delta_hat of every feature
  std::vector<std::vector<double>> log_terms;     // per level, log(delta_hat * 2 pi)
  std::vector<std::vector<double>> half_precisions;  // per level, 1 / (2 delta_hat)
  // Per level, the ascending features whose raw estimates cannot serve as a prior value
  // (gamma_hat not finite or delta_hat not positive finite).
  std::vector<std::vector<std::size_t>> unusable;
};

PosteriorInputs prepare_posterior_inputs(const BatchLevels& levels, const Matrix& gamma_hat,
                                         const Matrix& delta_hat);

// Writes the log-likelihoods of one feature's n observed values x_k under every feature's
// raw estimates of the level (g, d and logs = log(2 pi d) at m), for m in [0, width):
//
//   logs[m] * (n * -1/2) - sum_k (x_k - g[m])^2 / (d[m] + d[m])
//
// where the sum adds its terms in ascending k, starting from 0. A value that is not finite
// comes out as -inf, and so does the one at `excluded` when it is below `width` (the job's
// own feature, whose estimates are no prior value for itself). Returns the largest value written: -inf when
// none is finite. Every version gives the same bits.
struct LikelihoodSweep {
  using Run = double(std::span<const double> observed, const double* g, const double* d,
                     const double* logs, std::size_t width, std::size_t excluded, double* out);
  const char* name;
  Run* run;
};

// The versions this CPU can run, widest vectors first; jobs use the first. The baseline
// version, which every CPU runs, comes last; outside x86 it is the only one.
std::vector<LikelihoodSweep> supported_likelihood_sweeps();

// What the fast estimate (see nonparametric_posterior) makes of one feature's observed
// values in a level: the largest log-likelihood (-inf when none is finite) and the sums of
// the weights exp(log-likelihood - largest), of the weighted locations and of the weighted
// scales, over every feature but `excluded`.
struct WeightedSums {
  double largest = 0.0;
  double total = 0.0;
  double location = 0.0;
  double scale = 0.0;
};

// The observed values as the fast estimate reads them: their count, mean and centred sum
// of squares.
struct ObservedSummary {
  double count = 0.0;
  double mean = 0.0;
  double centred = 0.0;
};
ObservedSummary summarize_observed(std::span<const double> observed);

// Buffers the fast estimate reuses from one job to the next.
struct SummaryScratch {
  std::vector<double> log_likelihoods;
  std::vector<double> shifts, locations, scales;
};

// A version of the fast estimate's inner loops for one vector width. Every version gives the
// same bits: the weights are kept in 16 running sums whatever the width, and added up in
// one fixed order at the end.
struct SummarySweep {
  using Run = WeightedSums(const ObservedSummary& summary, const double* g, const double* d,
                           const double* logs, const double* half_precisions, std::size_t width,
                           std::size_t excluded, SummaryScratch& scratch);
  const char* name;
  Run* run;
};
std::vector<SummarySweep> supported_summary_sweeps();

// The posterior (location, scale) of one feature's observed standardised values in a level:
// the level's raw estimates of every feature but `excluded` (the feature's own; pass the
// feature count to exclude none), averaged with weights proportional to the likelihood of
// the observed values under each.
// With `exact` false the log-likelihoods come from the observed values' count, mean and
// centred sum of squares rather than a sweep over the values, and the weights from a
// vectorised exponential: the same posterior up to rounding, at a cost that does not grow
// with the number of values. Weights below e^-50 of the largest are left out: there are
// fewer than 2^40 of them, so together they move the weighted averages by less than 1e-9
// of the estimates' own range.
Result<std::pair<double, double>> nonparametric_posterior(std::span<const double> observed,
                                                          const PosteriorInputs& inputs,
                                                          std::size_t level,
                                                          std::size_t excluded,
                                                          bool exact = true);

// Job k covers level k / G and feature k % G: column k % G of the standardised `data`,
// which is feature first_feature + k % G of the raw estimates (the data may hold some of
// the features only).
Result<FeaturePosterior> posterior_job(std::size_t job, std::size_t n_features, const Matrix& data,
                                       const PosteriorInputs& inputs, bool exact = true,
                                       std::size_t first_feature = 0);

}  // namespace quarnel
