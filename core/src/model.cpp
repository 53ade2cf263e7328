#include "quarnel/model.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <utility>

#include "quarnel/design.hpp"
#include "quarnel/judged.hpp"
#include "quarnel/new_batches.hpp"
#include "quarnel/nonparametric.hpp"
#include "quarnel/parallel.hpp"
#include "quarnel/pipeline.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

LevelPrior no_prior() { return LevelPrior{kNaN, kNaN, kNaN, kNaN}; }

// The priors a model keeps: each estimated level's, as its run formed them.
std::vector<LevelPrior> model_priors(const CompletePriors& priors, std::size_t n_levels) {
  std::vector<LevelPrior> out(n_levels, no_prior());
  for (std::size_t level = 0; level < priors.parametric.size(); ++level) {
    if (!priors.parametric[level]) continue;
    out[level] = *priors.parametric[level];
    if (priors.mean_only) out[level].a_prior = out[level].b_prior = kNaN;
  }
  return out;
}

// Where each sample's values are standardised from and mapped back to: its feature's grand
// mean plus its covariate effect, summed as the run's standardisation mean sums them.
double stand_mean(const CombatModel& model, const CombatDenseRequest& request, std::size_t sample,
                  Index feature) {
  double effect = 0.0;
  for (std::size_t c = 0; c < model.covariate_columns.size(); ++c) {
    effect += request.covariates->at(sample, model.covariate_columns[c]) *
              model.covariate_coefficients(static_cast<Index>(c), feature);
  }
  return model.grand_mean[static_cast<std::size_t>(feature)] + effect;
}

// Per level, the location and the square root of the scale of every corrected feature, as
// contiguous rows: a sample's row of the output reads its level's row.
using Flags = Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic>;

struct LevelRows {
  std::vector<std::vector<unsigned char>> corrected;
  std::vector<std::vector<double>> gamma;
  std::vector<std::vector<double>> root;
};

LevelRows level_rows(const Flags& corrected, const Matrix& gamma_star, const Matrix& delta_star) {
  LevelRows rows;
  for (Index level = 0; level < gamma_star.rows(); ++level) {
    rows.corrected.emplace_back(corrected.row(level).begin(), corrected.row(level).end());
    rows.gamma.push_back(row_values(gamma_star, static_cast<std::size_t>(level)));
    std::vector<double> root = row_values(delta_star, static_cast<std::size_t>(level));
    for (double& r : root) r = std::sqrt(r);
    rows.root.push_back(std::move(root));
  }
  return rows;
}

// The per-feature constants of the adjustment beside the model's grand means, as
// contiguous rows over its features: the square roots of the pooled variances and each
// used covariate's coefficients.
struct FeatureRows {
  std::vector<double> scale;
  std::vector<std::vector<double>> coefficients;
};

FeatureRows feature_rows(const CombatModel& model) {
  FeatureRows rows{std::vector<double>(model.pooled_variance.size()), {}};
  for (std::size_t m = 0; m < rows.scale.size(); ++m) rows.scale[m] = std::sqrt(model.pooled_variance[m]);
  for (std::size_t c = 0; c < model.covariate_columns.size(); ++c) {
    rows.coefficients.push_back(row_values(model.covariate_coefficients, c));
  }
  return rows;
}

// The features of the request that the model does not correct, ascending.
std::vector<std::size_t> features_passed_through(const CombatModel& model, std::size_t n_features) {
  std::vector<std::size_t> passed;
  std::size_t next = 0;
  for (const std::size_t j : model.features) {
    for (; next < j; ++next) passed.push_back(next);
    next = j + 1;
  }
  for (; next < n_features; ++next) passed.push_back(next);
  return passed;
}

// A row is corrected in runs of this many features, whose constants stay in L1 cache.
constexpr std::size_t kAdjustRun = 256;

// Writes one sample's values of the model's features into its output row: corrected where
// its level corrects the feature, else as they came in; false when a finite value would
// come back not finite. Each value is mapped
// as (z - gamma) / root * scale + mean with z = (x - mean) / scale, where mean is the
// grand mean plus the covariate effects summed in column order, as the run standardised
// it. The inner loops have no branch, so they vectorise; each value's operations and
// their order are the same as one at a time.
bool adjust_row(const CombatModel& model, const CombatDenseRequest& request, std::size_t sample,
                const std::vector<unsigned char>& corrected, const std::vector<double>& gamma,
                const std::vector<double>& root, const FeatureRows& constants, double* out) {
  const double* in = request.values.data() + sample * request.n_features;
  const std::size_t width = model.features.size();
  const std::size_t n_cov = model.covariate_columns.size();
  double x[kAdjustRun], mean[kAdjustRun];
  bool lost = false;
  for (std::size_t first = 0; first < width; first += kAdjustRun) {
    const std::size_t count = std::min(kAdjustRun, width - first);
    const std::size_t* features = model.features.data() + first;
    for (std::size_t k = 0; k < count; ++k) x[k] = in[features[k]];
    std::fill_n(mean, count, 0.0);
    for (std::size_t c = 0; c < n_cov; ++c) {
      const double covariate = request.covariates->at(sample, model.covariate_columns[c]);
      const double* coefficient = constants.coefficients[c].data() + first;
      for (std::size_t k = 0; k < count; ++k) mean[k] += covariate * coefficient[k];
    }
    const double* grand = model.grand_mean.data() + first;
    const double* scale = constants.scale.data() + first;
    const double* location = gamma.data() + first;
    const double* spread = root.data() + first;
    for (std::size_t k = 0; k < count; ++k) {
      const double centre = grand[k] + mean[k];
      const double z = (x[k] - centre) / scale[k];
      mean[k] = (z - location[k]) / spread[k] * scale[k] + centre;
    }
    for (std::size_t k = 0; k < count; ++k) {
      const bool correct = corrected[first + k];
      lost |= correct && !std::isfinite(mean[k]) && !std::isnan(x[k]);
      out[features[k]] = correct ? mean[k] : x[k];
    }
  }
  return !lost;
}

// The model's level of every sample, new batches numbered after the fitted ones; the ids
// of the samples' batches the model has not seen, ascending.
struct SampleLevels {
  std::vector<std::size_t> level;
  std::vector<std::uint64_t> unseen;
};

SampleLevels sample_levels(const CombatModel& model, std::span<const std::uint64_t> batch) {
  SampleLevels out;
  out.unseen = unseen_batch_ids(model, batch);
  for (const std::uint64_t id : batch) {
    const auto fitted = std::ranges::lower_bound(model.batch_ids, id);
    if (fitted != model.batch_ids.end() && *fitted == id) {
      out.level.push_back(static_cast<std::size_t>(fitted - model.batch_ids.begin()));
    } else {
      out.level.push_back(model.batch_ids.size() +
                          static_cast<std::size_t>(std::ranges::lower_bound(out.unseen, id) - out.unseen.begin()));
    }
  }
  return out;
}

}  // namespace

std::vector<std::uint64_t> unseen_batch_ids(const CombatModel& model, std::span<const std::uint64_t> batch) {
  std::vector<std::uint64_t> unseen;
  for (const std::uint64_t id : batch) {
    if (!std::ranges::binary_search(model.batch_ids, id)) unseen.push_back(id);
  }
  std::ranges::sort(unseen);
  unseen.erase(std::ranges::unique(unseen).begin(), unseen.end());
  return unseen;
}

Status check_model_request(const CombatModel& model, const CombatDenseRequest& request) {
  if (Status shape = check_dense_shape(request); !shape) return shape;
  if (request.n_features != model.n_features) {
    return fail(ShapeMismatch{names::n_features, model.n_features, request.n_features});
  }
  if (Status finite = check_dense_values_not_infinite(request); !finite) return finite;
  if (request.batch.size() != request.n_samples) {
    return fail(BatchLengthMismatch{request.n_samples, request.batch.size()});
  }
  const std::uint64_t n_covariates = request.covariates ? request.covariates->n_covariates : 0;
  if (n_covariates != model.n_covariates) {
    const std::uint64_t len = request.covariates ? request.covariates->values.size() : 0;
    return fail(CovariateShapeMismatch{request.n_samples, model.n_covariates, len});
  }
  if (request.covariates) return check_covariate_shape(request.n_samples, *request.covariates);
  return {};
}

Result<ModelFit> fit_model(const CombatDenseRequest& request, const CombatOptions& options,
                           std::span<const std::size_t> complete,
                           std::span<const std::size_t> partial) {
  const FeatureChoice listed{{complete.begin(), complete.end()}, {partial.begin(), partial.end()}};
  return fit_model_judged(request, options, [&](const FeatureAssessment&) { return listed; });
}

ModelFit model_of_run(const CombatDenseRequest& request, const CombatOptions& options,
                      const BatchLevels& levels, const PipelineFit& fitted,
                      const ParametricEstimates& run_raw, std::span<const std::size_t> partial) {
  const PipelineFit* const run = &fitted;
  ModelFit out;
  out.report = run->report;
  CombatModel& model = out.model;
  model.n_features = request.n_features;
  model.zero_variance_features = run->report.zero_variance_features;
  model.batch_ids.assign(levels.batch_ids().begin(), levels.batch_ids().end());
  model.level_sizes.assign(levels.level_sizes().begin(), levels.level_sizes().end());
  model.reference_level = run->reference_level;
  model.n_covariates = request.covariates ? request.covariates->n_covariates : 0;
  model.covariate_columns = request.covariates
                                ? non_intercept_columns(request.n_samples, *request.covariates)
                                : std::vector<std::size_t>{};
  model.par_prior = options.par_prior;
  model.exact = options.exact;
  model.mean_only = options.mean_only;
  model.effective_mean_only = run->report.effective_mean_only;
  const ParametricEstimates& estimates = run->estimates;
  const CompletePriors priors = complete_priors(run_raw, levels, run->reference_level, options.par_prior,
                                                model.effective_mean_only, options.exact);
  model.priors = model_priors(priors, levels.level_count());

  const ParallelPlan plan = ParallelPlan::for_shape(request.n_samples, partial.size(), levels.level_count());
  const std::vector<PartialFit> partial_fits = parallel_map<PartialFit>(
      plan.parallel, partial.size(), [&](std::size_t k) {
        return fit_partial_feature(request, levels, priors, partial[k], model.covariate_columns);
      });
  stop_if_cancelled(options.cancel_requested, {"adjust", 0, 1});

  // The corrected features in column order: the run's kept ones and the partial ones
  // that could be fitted.
  std::vector<std::pair<std::size_t, const PartialFit*>> columns;
  for (const std::size_t j : run->kept) columns.emplace_back(j, nullptr);
  for (std::size_t k = 0; k < partial.size(); ++k) {
    out.partial.push_back(partial_fits[k].outcome);
    if (partial_fits[k].outcome.issue == FeatureIssue::none) columns.emplace_back(partial[k], &partial_fits[k]);
  }
  std::ranges::sort(columns, {}, &std::pair<std::size_t, const PartialFit*>::first);
  const auto n_levels = static_cast<Index>(levels.level_count());
  const auto width = static_cast<Index>(columns.size());
  const auto n_cov = static_cast<Index>(model.covariate_columns.size());
  model.covariate_coefficients.resize(n_cov, width);
  for (Matrix* m : {&model.gamma_hat, &model.delta_hat, &model.gamma_star, &model.delta_star}) {
    m->resize(n_levels, width);
  }
  model.corrected.resize(n_levels, width);
  std::size_t next_kept = 0;
  for (Index m = 0; m < width; ++m) {
    const auto& [feature, fit] = columns[static_cast<std::size_t>(m)];
    model.features.push_back(feature);
    if (fit == nullptr) {
      const auto k = static_cast<Index>(next_kept++);
      model.grand_mean.push_back(run->grand_mean[static_cast<std::size_t>(k)]);
      model.pooled_variance.push_back(run->pooled_variance[static_cast<std::size_t>(k)]);
      model.covariate_coefficients.col(m) = run->covariate_coefficients.col(k);
      model.gamma_star.col(m) = estimates.gamma_star.col(k);
      model.delta_star.col(m) = estimates.delta_star.col(k);
      const bool raw = estimates.gamma_hat.cols() > 0;
      model.gamma_hat.col(m) = raw ? Vector(estimates.gamma_hat.col(k)) : Vector::Constant(n_levels, kNaN);
      model.delta_hat.col(m) = raw ? Vector(estimates.delta_hat.col(k)) : Vector::Constant(n_levels, kNaN);
      model.corrected.col(m).setOnes();
      continue;
    }
    model.grand_mean.push_back(fit->grand_mean);
    model.pooled_variance.push_back(fit->pooled_variance);
    for (Index c = 0; c < n_cov; ++c) model.covariate_coefficients(c, m) = fit->covariate_coefficients[static_cast<std::size_t>(c)];
    for (Index l = 0; l < n_levels; ++l) {
      const auto level = static_cast<std::size_t>(l);
      model.gamma_hat(l, m) = fit->gamma_hat[level];
      model.delta_hat(l, m) = fit->delta_hat[level];
      model.gamma_star(l, m) = fit->gamma_star[level];
      model.delta_star(l, m) = fit->delta_star[level];
      model.corrected(l, m) = !std::isnan(fit->gamma_hat[level]);
    }
  }
  return out;
}

Result<ApplyOutput> apply_model(const CombatModel& model, const CombatDenseRequest& request,
                                const ApplyOptions& options, ValueBuffer storage) {
  if (Status valid = check_model_request(model, request); !valid) return fail(std::move(valid.error()));
  const SampleLevels levels = sample_levels(model, request.batch);
  if (!levels.unseen.empty() && !options.estimate_new_batches) {
    return fail(UnknownBatches{levels.unseen});
  }
  ApplyOutput out;
  if (!levels.unseen.empty()) {
    Result<NewLevels> estimated = estimate_new_batches(model, request, options.cancel_requested);
    if (!estimated) return fail(std::move(estimated.error()));
    out.new_levels = std::move(*estimated);
  }
  const NewLevels& fresh = out.new_levels;
  const auto width = static_cast<Index>(model.features.size());
  const auto n_new = static_cast<Index>(levels.unseen.size());
  stop_if_cancelled(options.cancel_requested, {"adjust", 0, 1});

  // Fitted levels first, then the new ones, as the sample levels number them.
  Matrix gamma(model.gamma_star.rows() + n_new, width), delta(model.delta_star.rows() + n_new, width);
  gamma << model.gamma_star, fresh.gamma_star;
  delta << model.delta_star, fresh.delta_star;
  Flags corrected(model.corrected.rows() + n_new, width);
  corrected << model.corrected, fresh.corrected;
  const LevelRows rows = level_rows(corrected, gamma, delta);
  const FeatureRows constants = feature_rows(model);

  const std::size_t n_samples = request.n_samples;
  const std::size_t n_features = request.n_features;
  const ParallelPlan plan = ParallelPlan::for_shape(n_samples, n_features, model.batch_ids.size());
  out.adjusted = std::move(storage);
  out.adjusted.resize(n_samples * n_features);
  const std::vector<std::size_t> passed = features_passed_through(model, n_features);
  // Rows in blocks, each output row written once.
  constexpr std::size_t kRows = 8;
  const std::size_t n_blocks = (n_samples + kRows - 1) / kRows;
  std::vector<unsigned char> block_finite(n_blocks, 1);
  parallel_for(plan.parallel && n_samples >= 2, n_blocks, [&](std::size_t block) {
    for (std::size_t i = block * kRows; i < std::min(n_samples, (block + 1) * kRows); ++i) {
      double* row = out.adjusted.data() + i * n_features;
      const double* in = request.values.data() + i * n_features;
      // The reference batch comes back exactly as it came in.
      if (levels.level[i] == model.reference_level) {
        std::copy_n(in, n_features, row);
        continue;
      }
      for (const std::size_t j : passed) row[j] = in[j];
      const std::size_t level = levels.level[i];
      const bool finite = adjust_row(model, request, i, rows.corrected[level], rows.gamma[level],
                                     rows.root[level], constants, row);
      if (!finite) block_finite[block] = 0;
    }
  });
  if (std::ranges::find(block_finite, 0) != block_finite.end()) {
    return fail(NumericalFailure{"batch adjustment produced a non-finite value"});
  }
  stop_if_cancelled(options.cancel_requested, {"adjust", 1, 1});
  return out;
}

Result<PartialCombatOutput> combat_dense_partial(const CombatDenseRequest& request,
                                                 const CombatOptions& options,
                                                 std::span<const std::size_t> complete,
                                                 std::span<const std::size_t> partial) {
  const FeatureChoice listed{{complete.begin(), complete.end()}, {partial.begin(), partial.end()}};
  return combat_dense_judged(request, options, [&](const FeatureAssessment&) { return listed; });
}

Result<PartialCombatOutput> correct_with_fit(ModelFit fit, const CombatDenseRequest& request,
                                             const CombatOptions& options, ValueBuffer storage) {
  Result<ApplyOutput> applied =
      apply_model(fit.model, request, ApplyOptions{false, options.cancel_requested}, std::move(storage));
  if (!applied) return fail(std::move(applied.error()));
  PartialCombatOutput out;
  out.output.adjusted = std::move(applied->adjusted);
  out.output.n_samples = request.n_samples;
  out.output.n_features = request.n_features;
  out.output.report = std::move(fit.report);
  out.partial = std::move(fit.partial);
  return out;
}

Matrix standardize_new_samples(const CombatModel& model, const CombatDenseRequest& request,
                               std::span<const std::size_t> samples) {
  Matrix z(static_cast<Index>(samples.size()), static_cast<Index>(model.features.size()));
  for (Index m = 0; m < z.cols(); ++m) {
    const double scale = std::sqrt(model.pooled_variance[static_cast<std::size_t>(m)]);
    for (Index r = 0; r < z.rows(); ++r) {
      const std::size_t i = samples[static_cast<std::size_t>(r)];
      const double x = request.values[i * request.n_features + model.features[static_cast<std::size_t>(m)]];
      z(r, m) = (x - stand_mean(model, request, i, m)) / scale;
    }
  }
  return z;
}

}  // namespace quarnel
