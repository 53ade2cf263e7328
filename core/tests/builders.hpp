// Small builders of the records the stage tests feed to the core.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include <Eigen/QR>

#include "quarnel/api.hpp"
#include "quarnel/batch.hpp"
#include "quarnel/design.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/judged.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/raw_estimates.hpp"
#include "quarnel/run_mode.hpp"
#include "quarnel/stages.hpp"
#include "quarnel/standardize.hpp"
#include "quarnel/tiles.hpp"

namespace quarnel::testing {

// The levels of valid ids; invalid ids are a mistake in the test itself.
inline BatchLevels make_levels(const std::vector<std::uint64_t>& ids) {
  Result<BatchLevels> levels = BatchLevels::from_ids(ids, ids.size());
  if (!levels) throw std::runtime_error(render(levels.error()));
  return std::move(*levels);
}

// A model matrix written row by row.
inline Matrix rows_of(std::initializer_list<std::initializer_list<double>> rows) {
  Matrix m(static_cast<Eigen::Index>(rows.size()), static_cast<Eigen::Index>(rows.begin()->size()));
  Eigen::Index r = 0;
  for (const auto& row : rows) {
    Eigen::Index c = 0;
    for (const double x : row) m(r, c++) = x;
    ++r;
  }
  return m;
}

// A row-major rows x columns buffer as a model matrix.
inline Matrix column_major(const std::vector<double>& row_major, std::size_t rows,
                           std::size_t columns) {
  if (row_major.size() != rows * columns) throw std::runtime_error("buffer does not match its shape");
  Matrix m(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(columns));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      m(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = row_major[r * columns + c];
    }
  }
  return m;
}

// Every value of a standardisation mean, as a matrix.
inline Matrix dense_of(const StandMean& mean) {
  Matrix m(mean.rows(), mean.cols());
  for (Eigen::Index i = 0; i < m.rows(); ++i) {
    for (Eigen::Index j = 0; j < m.cols(); ++j) m(i, j) = mean(i, j);
  }
  return m;
}

// Only the standardised data is read by the estimators; the other fields are filled
// consistently so the record is a plausible one.
inline Standardization standardization_of(Matrix z) {
  Standardization s;
  s.pooled_variance.assign(static_cast<std::size_t>(z.cols()), 1.0);
  s.stand_mean = StandMean(std::vector<double>(static_cast<std::size_t>(z.cols()), 0.0),
                           Matrix(z.rows(), 0), Matrix(0, z.cols()));
  s.has_missing = has_missing(z);
  s.standardized = std::move(z);
  return s;
}

// The posteriors of standardised values `z` (one kept feature per column) as a run draws
// them over a single tile: the run's mode decided from z, its raw estimates, settle_run
// on the tile's traces until every level's stop is known, then tile_posteriors. The
// reference, when given, is a level of `levels`.
struct TileEstimator {
  bool par_prior = true;
  bool mean_only = false;
  std::optional<std::size_t> reference = std::nullopt;
  bool exact = true;
};

inline Result<ParametricEstimates> tile_estimates(const Matrix& z, const BatchLevels& levels,
                                                  const TileEstimator& estimator, bool parallel) {
  CombatOptions options;
  options.par_prior = estimator.par_prior;
  options.mean_only = estimator.mean_only;
  options.exact = estimator.exact;
  if (estimator.reference) options.ref_batch = levels.batch_id(*estimator.reference);
  const CombatDenseRequest unread{};  // the tile's values are given, never projected
  const TileRun run{unread, options, levels, estimator.reference};
  const RunMode mode = decide_run_mode(options.mean_only, levels, static_cast<std::size_t>(z.cols()), has_missing(z));
  Result<Matrix> gamma_hat = estimate_gamma_hat(z, levels, estimator.reference, mode.missing, parallel);
  if (!gamma_hat) return fail(std::move(gamma_hat.error()));
  ParametricEstimates raw{Matrix(), Matrix(), *gamma_hat, Matrix::Ones(gamma_hat->rows(), gamma_hat->cols())};
  ScaleMeasurements scales;
  if (!mode.effective_mean_only) {
    scales = measure_scales(z, levels, parallel);
    raw.delta_hat = scales.delta_hat;
  }
  const Standardization tile = standardization_of(z);
  const RunPriors priors = run_priors(run, mode, raw);
  std::vector<std::vector<LevelTrace>> traces;
  for (;;) {
    Result<RunSettlement> settled = settle_run(levels, options, mode, raw, scales, traces);
    if (!settled) return fail(std::move(settled.error()));
    if (settled->settled) {
      const std::span<const LevelTrace> traced = traces.empty() ? std::span<const LevelTrace>() : traces[0];
      return tile_posteriors(run, tile, mode, raw, priors, 0, settled->passes, traced, scales, parallel);
    }
    traces = {trace_tile(run, tile, scales, raw, priors.parametric, 0, settled->explore_from, parallel)};
  }
}

// A dense request with the buffers it views, and its options.
struct DenseProblem {
  std::vector<double> values;  // row-major n_samples x n_features
  std::vector<std::uint64_t> batch;
  std::uint64_t n_samples = 0;
  std::uint64_t n_features = 0;
  std::optional<std::vector<double>> covariates;  // row-major n_samples x n_covariates
  std::uint64_t n_covariates = 0;
  CombatOptions options;

  DenseProblem(std::vector<std::uint64_t> ids, std::uint64_t features)
      : values(ids.size() * features, 0.0), batch(std::move(ids)), n_samples(batch.size()),
        n_features(features) {}

  double& at(std::size_t sample, std::size_t feature) { return values.at(sample * n_features + feature); }
  double at(std::size_t sample, std::size_t feature) const { return values.at(sample * n_features + feature); }

  CombatDenseRequest request() const {
    CombatDenseRequest r{values, batch, n_samples, n_features, std::nullopt};
    if (covariates) r.covariates = CovariateMatrix{*covariates, n_covariates};
    return r;
  }

  // The problem of `samples` alone, in the order given, with the same options.
  DenseProblem rows(std::span<const std::size_t> samples) const {
    std::vector<std::uint64_t> ids;
    for (const std::size_t s : samples) ids.push_back(batch.at(s));
    DenseProblem out(std::move(ids), n_features);
    out.options = options;
    for (std::size_t r = 0; r < samples.size(); ++r) {
      for (std::size_t j = 0; j < n_features; ++j) out.at(r, j) = at(samples[r], j);
    }
    if (covariates) {
      out.n_covariates = n_covariates;
      out.covariates.emplace();
      for (const std::size_t s : samples) {
        for (std::size_t c = 0; c < n_covariates; ++c) out.covariates->push_back((*covariates)[s * n_covariates + c]);
      }
    }
    return out;
  }

  // The problem of `features` alone, in the order given.
  DenseProblem columns(std::span<const std::size_t> features) const {
    DenseProblem out(batch, features.size());
    out.options = options;
    out.covariates = covariates;
    out.n_covariates = n_covariates;
    for (std::size_t s = 0; s < n_samples; ++s) {
      for (std::size_t k = 0; k < features.size(); ++k) out.at(s, k) = at(s, features[k]);
    }
    return out;
  }
};

// Batch ids repeated: ids[k] sizes[k] times, batch after batch.
inline std::vector<std::uint64_t> ids_of_sizes(const std::vector<std::uint64_t>& ids,
                                               const std::vector<std::size_t>& sizes) {
  std::vector<std::uint64_t> out;
  for (std::size_t k = 0; k < ids.size(); ++k) out.insert(out.end(), sizes.at(k), ids[k]);
  return out;
}

inline std::vector<std::size_t> index_range(std::size_t n) {
  std::vector<std::size_t> out(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = k;
  return out;
}

// Every value drawn from a seeded generator, with a location and a scale of its own per
// batch and feature, so that no feature is constant within a batch.
inline void fill_batch_effects(DenseProblem& p, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  for (std::size_t s = 0; s < p.n_samples; ++s) {
    const double b = static_cast<double>(p.batch[s] % 7);
    for (std::size_t j = 0; j < p.n_features; ++j) {
      const double f = static_cast<double>(j % 5);
      p.at(s, j) = 5.0 + 0.7 * b + 0.1 * f + (1.0 + 0.15 * b + 0.05 * f) * noise(rng);
    }
  }
}

inline void add_random_covariates(DenseProblem& p, std::uint64_t n_covariates, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> draw(0.0, 1.0);
  p.n_covariates = n_covariates;
  p.covariates.emplace(p.n_samples * n_covariates);
  for (double& x : *p.covariates) x = draw(rng);
}

// What the package's callers choose from a run's verdicts: estimable and constant
// features as one run, features missing from whole batches where they are observed.
inline FeatureChoice choose_as_callers_do(const FeatureAssessment& assessment) {
  FeatureChoice choice;
  for (std::size_t j = 0; j < assessment.verdicts.size(); ++j) {
    const FeatureIssue issue = assessment.verdicts[j].issue;
    if (issue == FeatureIssue::none || issue == FeatureIssue::constant) choice.complete.push_back(j);
    if (issue == FeatureIssue::no_values) choice.partial.push_back(j);
  }
  return choice;
}

// ---------------------------------------------------------------------------------------
// The method written out plainly, as references the core's stages are compared with.

inline double plain_mean(std::span<const double> v) {
  double sum = 0.0;
  for (const double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

inline double plain_variance(std::span<const double> v) {  // divided by count - 1
  const double m = plain_mean(v);
  double sum = 0.0;
  for (const double x : v) sum += (x - m) * (x - m);
  return sum / static_cast<double>(v.size() - 1);
}

// The standardisation of fully observed data without reference batch, by a plain
// least-squares solve of each feature on the batch indicators and the covariates (none of
// them an intercept): each feature centred on the size-weighted mean of its batch
// coefficients plus its covariate effect and scaled by the root of its mean squared
// residual; and every batch's raw effects of the standardised values (rows in ascending
// batch id order).
struct PlainStandardization {
  std::vector<std::uint64_t> ids;  // distinct, ascending
  std::vector<double> grand, pooled;
  Matrix coefficients;  // covariates x features
  Matrix z, gamma_hat, delta_hat;

  // Where sample `s` of `q` is measured from in feature j, and its standardised value.
  double stand_mean(const DenseProblem& q, std::size_t s, std::size_t j) const {
    double mean = grand[j];
    for (Eigen::Index c = 0; c < coefficients.rows(); ++c) {
      mean += (*q.covariates)[s * q.n_covariates + static_cast<std::size_t>(c)] * coefficients(c, static_cast<Eigen::Index>(j));
    }
    return mean;
  }
  double standardized(const DenseProblem& q, std::size_t s, std::size_t j) const {
    return (q.at(s, j) - stand_mean(q, s, j)) / std::sqrt(pooled[j]);
  }
};

inline PlainStandardization plain_standardize(const DenseProblem& p) {
  PlainStandardization out;
  out.ids = p.batch;
  std::ranges::sort(out.ids);
  out.ids.erase(std::ranges::unique(out.ids).begin(), out.ids.end());
  const auto n = static_cast<Eigen::Index>(p.n_samples);
  const auto l = static_cast<Eigen::Index>(out.ids.size());
  const auto k = static_cast<Eigen::Index>(p.n_covariates);
  std::vector<Eigen::Index> level(p.n_samples);
  Matrix design = Matrix::Zero(n, l + k);
  Vector size = Vector::Zero(l);
  for (Eigen::Index i = 0; i < n; ++i) {
    const auto s = static_cast<std::size_t>(i);
    level[s] = std::ranges::find(out.ids, p.batch[s]) - out.ids.begin();
    design(i, level[s]) = 1.0;
    size(level[s]) += 1.0;
    for (Eigen::Index c = 0; c < k; ++c) design(i, l + c) = (*p.covariates)[s * p.n_covariates + static_cast<std::size_t>(c)];
  }
  Matrix y(n, static_cast<Eigen::Index>(p.n_features));
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < y.cols(); ++j) y(i, j) = p.at(static_cast<std::size_t>(i), static_cast<std::size_t>(j));
  }
  const Matrix b = design.colPivHouseholderQr().solve(y);
  out.coefficients = b.bottomRows(k);
  out.z.resize(n, y.cols());
  out.gamma_hat.resize(l, y.cols());
  out.delta_hat.resize(l, y.cols());
  for (Eigen::Index j = 0; j < y.cols(); ++j) {
    out.grand.push_back(size.dot(b.col(j).head(l)) / static_cast<double>(n));
    out.pooled.push_back((y.col(j) - design * b.col(j)).squaredNorm() / static_cast<double>(n));
    std::vector<std::vector<double>> by_level(out.ids.size());
    for (Eigen::Index i = 0; i < n; ++i) {
      out.z(i, j) = out.standardized(p, static_cast<std::size_t>(i), static_cast<std::size_t>(j));
      by_level[static_cast<std::size_t>(level[static_cast<std::size_t>(i)])].push_back(out.z(i, j));
    }
    for (Eigen::Index c = 0; c < l; ++c) {
      out.gamma_hat(c, j) = plain_mean(by_level[static_cast<std::size_t>(c)]);
      out.delta_hat(c, j) = plain_variance(by_level[static_cast<std::size_t>(c)]);
    }
  }
  return out;
}

// The parametric posteriors of one batch's standardised values `z` (samples x features,
// no NaN) against the prior formed by the method of moments from the raw effects
// `gamma_row` and `delta_row`. The features are iterated together until the largest
// relative change of any of them is at most 1e-4; a batch of one sample gets the
// location of one unit-scale observation and scale 1.
struct PlainPosteriors {
  std::vector<double> gamma, delta;
};

inline PlainPosteriors plain_posteriors(const Matrix& z, std::span<const double> gamma_row,
                                        std::span<const double> delta_row) {
  const double gbar = plain_mean(gamma_row), tau2 = plain_variance(gamma_row);
  const double m = plain_mean(delta_row), s2 = plain_variance(delta_row);
  const double a = (m * m + 2.0 * s2) / s2, b = (m * m * m + m * s2) / s2;
  const auto width = static_cast<std::size_t>(z.cols());
  const double n = static_cast<double>(z.rows());
  std::vector<double> g_hat(width), g(width), d(width);
  std::vector<std::vector<double>> columns(width);
  for (std::size_t j = 0; j < width; ++j) {
    for (Eigen::Index i = 0; i < z.rows(); ++i) columns[j].push_back(z(i, static_cast<Eigen::Index>(j)));
    g[j] = g_hat[j] = plain_mean(columns[j]);
    d[j] = z.rows() < 2 ? 1.0 : plain_variance(columns[j]);
  }
  if (z.rows() < 2) {
    for (std::size_t j = 0; j < width; ++j) g[j] = (g_hat[j] * tau2 + gbar) / (tau2 + 1.0);
    return {g, d};
  }
  for (int pass = 0; pass < 1000; ++pass) {
    double change = 0.0;
    for (std::size_t j = 0; j < width; ++j) {
      const double g_new = (gbar * d[j] + g_hat[j] * tau2 * n) / (tau2 * n + d[j]);
      double squares = 0.0;
      for (const double x : columns[j]) squares += (x - g_new) * (x - g_new);
      const double d_new = (0.5 * squares + b) / (0.5 * n + a - 1.0);
      change = std::max({change, std::abs(g_new - g[j]) / g[j], std::abs((d_new - d[j]) / d[j])});
      g[j] = g_new;
      d[j] = d_new;
    }
    if (change <= 1e-4) break;
  }
  return {g, d};
}

}  // namespace quarnel::testing
