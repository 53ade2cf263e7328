#include "quarnel/new_batches.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quarnel/nonparametric.hpp"

namespace quarnel {
namespace {

using Index = Eigen::Index;
constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// The request's samples of each batch the model has not seen, batches ascending, as
// apply_model numbers them.
struct UnseenBatches {
  std::vector<std::uint64_t> ids;
  std::vector<std::vector<std::size_t>> samples;
};

UnseenBatches unseen_batches(const CombatModel& model, std::span<const std::uint64_t> batch) {
  UnseenBatches out;
  out.ids = unseen_batch_ids(model, batch);
  out.samples.resize(out.ids.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const auto at = std::ranges::lower_bound(out.ids, batch[i]);
    if (at != out.ids.end() && *at == batch[i]) out.samples[static_cast<std::size_t>(at - out.ids.begin())].push_back(i);
  }
  return out;
}

UnseenBatches unseen_batches_of(const CombatModel& model, const CombatDenseRequest& request,
                                const NewBatchEstimates& raw) {
  UnseenBatches unseen = unseen_batches(model, request.batch);
  require(unseen.ids == raw.batch_ids, "the raw effects are of the request's new batches");
  require(static_cast<std::size_t>(raw.gamma_hat.cols()) >= model.features.size(),
          "the raw effects hold every chunk's features");
  return unseen;
}

// Whether a new batch's scales are left alone: in a mean-only model, or with one sample.
bool location_only(const CombatModel& model, const NewBatchEstimates& raw, std::size_t batch) {
  return model.effective_mean_only || raw.sizes[batch] < 2;
}

// Whether a new batch's solver updates feature m (of all of the model's features).
bool scale_solved(const NewBatchEstimates& raw, std::size_t batch, Index m, bool only_location) {
  return !only_location && raw.counts(static_cast<Index>(batch), m) >= 2;
}

// The prior of a new batch from its raw effects of every feature.
Result<LevelPrior> new_batch_prior(const NewBatchEstimates& raw, std::size_t batch,
                                   bool only_location) {
  const auto k = static_cast<Index>(batch);
  std::vector<double> g_row, d_row;
  for (Index m = 0; m < raw.gamma_hat.cols(); ++m) {
    if (raw.counts(k, m) >= 1) g_row.push_back(raw.gamma_hat(k, m));
    if (scale_solved(raw, batch, m, only_location)) d_row.push_back(raw.delta_hat(k, m));
  }
  return only_location ? mean_only_prior_of(g_row) : full_prior_of(g_row, d_row);
}

// The chunk's columns that a new batch's solver updates.
std::vector<Index> solved_columns(const NewBatchEstimates& raw, std::size_t batch, std::size_t offset,
                                  Index width) {
  std::vector<Index> columns;
  for (Index c = 0; c < width; ++c) {
    if (scale_solved(raw, batch, static_cast<Index>(offset) + c, false)) columns.push_back(c);
  }
  return columns;
}

// The solver of a new batch over the chunk's features it updates: the fitted levels'
// solver, run on the batch's standardised samples as level 0 of a pair whose level 1 (one
// sample, no prior) is never read.
std::optional<LevelTrace> trace_new_batch(const Matrix& z, const NewBatchEstimates& raw,
                                          std::size_t batch, std::size_t offset,
                                          const LevelPrior& prior, PassRule rule) {
  const std::vector<Index> columns = solved_columns(raw, batch, offset, z.cols());
  if (columns.empty()) return std::nullopt;
  const auto width = static_cast<Index>(columns.size());
  const auto k = static_cast<Index>(batch);
  Matrix data = Matrix::Constant(z.rows() + 1, width, kNoValue);
  Matrix gamma_hat = Matrix::Zero(2, width);
  ScaleMeasurements scales{Matrix::Ones(2, width),
                           Eigen::Matrix<std::size_t, Eigen::Dynamic, Eigen::Dynamic>::Zero(2, width)};
  for (Index c = 0; c < width; ++c) {
    const Index m = static_cast<Index>(offset) + columns[static_cast<std::size_t>(c)];
    data.col(c).head(z.rows()) = z.col(columns[static_cast<std::size_t>(c)]);
    gamma_hat(0, c) = raw.gamma_hat(k, m);
    scales.delta_hat(0, c) = raw.delta_hat(k, m);
    scales.counts(0, c) = raw.counts(k, m);
  }
  std::vector<std::uint64_t> ids(static_cast<std::size_t>(z.rows()), 0);
  ids.push_back(1);
  Result<BatchLevels> levels = BatchLevels::from_ids(ids, ids.size());
  require(levels.has_value(), "two ids make two levels");
  const std::optional<LevelPrior> priors[] = {prior, std::nullopt};
  const PassRule rules[] = {rule, PassRule{}};
  std::vector<LevelTrace> traces = trace_level_solvers(data, gamma_hat, scales, *levels, priors, rules, false);
  return std::move(traces[0]);
}

}  // namespace

Result<NewBatchEstimates> new_batch_estimates(const CombatModel& model,
                                              const CombatDenseRequest& request) {
  if (Status valid = check_model_request(model, request); !valid) return fail(std::move(valid.error()));
  const UnseenBatches unseen = unseen_batches(model, request.batch);
  const auto n_new = static_cast<Index>(unseen.ids.size());
  const auto width = static_cast<Index>(model.features.size());
  NewBatchEstimates out;
  out.batch_ids = unseen.ids;
  out.gamma_hat = Matrix::Constant(n_new, width, kNoValue);
  out.delta_hat = Matrix::Constant(n_new, width, kNoValue);
  out.counts = Eigen::Matrix<std::size_t, Eigen::Dynamic, Eigen::Dynamic>::Zero(n_new, width);
  for (Index k = 0; k < n_new; ++k) {
    const std::vector<std::size_t>& samples = unseen.samples[static_cast<std::size_t>(k)];
    out.sizes.push_back(samples.size());
    const Matrix z = standardize_new_samples(model, request, samples);
    for (Index m = 0; m < width; ++m) {
      std::vector<double> observed;
      for (Index r = 0; r < z.rows(); ++r) {
        if (!std::isnan(z(r, m))) observed.push_back(z(r, m));
      }
      out.counts(k, m) = observed.size();
      if (observed.empty()) continue;
      // Aligned as the fitted levels are: to the reference level's mean when there is one.
      const double mean = mean_of(observed);
      out.gamma_hat(k, m) =
          model.reference_level ? mean - model.gamma_hat(static_cast<Index>(*model.reference_level), m) : mean;
      if (observed.size() >= 2) out.delta_hat(k, m) = *sample_variance_of(observed);
    }
  }
  return out;
}

Result<RunSettlement> settle_new_batches(const CombatModel& model, const NewBatchEstimates& raw,
                                         std::span<const std::vector<std::optional<LevelTrace>>> traces) {
  const std::size_t n_new = raw.batch_ids.size();
  RunSettlement settlement{true, std::vector<std::size_t>(n_new, 0), std::vector<std::size_t>(n_new, 0)};
  if (!model.par_prior) return settlement;
  // Batches report in order: an error is the run's only once every batch before it is
  // known to have succeeded.
  bool earlier_open = false;
  for (std::size_t batch = 0; batch < n_new; ++batch) {
    const bool only_location = location_only(model, raw, batch);
    Result<LevelPrior> prior = new_batch_prior(raw, batch, only_location);
    if (!prior) {
      if (!earlier_open) return fail(std::move(prior.error()));
      continue;
    }
    bool solved = false;
    for (Index m = 0; m < raw.counts.cols(); ++m) solved = solved || scale_solved(raw, batch, m, only_location);
    if (!solved) continue;
    std::vector<const LevelTrace*> parts;
    for (const std::vector<std::optional<LevelTrace>>& chunk : traces) {
      require(chunk.size() == n_new, "one trace per new batch");
      if (chunk[batch]) parts.push_back(&*chunk[batch]);
    }
    if (Status settled = settle_level(parts, !traces.empty(), batch, earlier_open, settlement); !settled) {
      return fail(std::move(settled.error()));
    }
  }
  return settlement;
}

Result<std::vector<std::optional<LevelTrace>>> trace_new_batches(
    const CombatModel& model, const CombatDenseRequest& request, const NewBatchEstimates& raw,
    std::size_t offset, std::span<const std::size_t> explore_from) {
  if (Status valid = check_model_request(model, request); !valid) return fail(std::move(valid.error()));
  const UnseenBatches unseen = unseen_batches_of(model, request, raw);
  require(explore_from.size() == unseen.ids.size(), "one starting pass per new batch");
  std::vector<std::optional<LevelTrace>> traces(unseen.ids.size());
  for (std::size_t batch = 0; batch < traces.size(); ++batch) {
    if (explore_from[batch] == 0 || !model.par_prior || location_only(model, raw, batch)) continue;
    const Result<LevelPrior> prior = new_batch_prior(raw, batch, false);
    if (!prior) continue;
    const Matrix z = standardize_new_samples(model, request, unseen.samples[batch]);
    traces[batch] = trace_new_batch(z, raw, batch, offset, *prior, PassRule{explore_from[batch], std::nullopt});
  }
  return traces;
}

Result<NewLevels> new_batch_posteriors(const CombatModel& model, const CombatDenseRequest& request,
                                       const NewBatchEstimates& raw, std::size_t offset,
                                       std::span<const std::size_t> passes) {
  if (Status valid = check_model_request(model, request); !valid) return fail(std::move(valid.error()));
  const UnseenBatches unseen = unseen_batches_of(model, request, raw);
  require(passes.size() == unseen.ids.size(), "one stopping pass per new batch");
  const auto n_new = static_cast<Index>(unseen.ids.size());
  const auto width = static_cast<Index>(model.features.size());
  const auto first = static_cast<Index>(offset);
  NewLevels out;
  out.batch_ids = unseen.ids;
  out.gamma_hat = raw.gamma_hat.middleCols(first, width);
  out.delta_hat = raw.delta_hat.middleCols(first, width);
  out.gamma_star = Matrix::Constant(n_new, width, kNoValue);
  out.delta_star = Matrix::Constant(n_new, width, kNoValue);
  out.corrected.resize(n_new, width);
  for (Index k = 0; k < n_new; ++k) {
    for (Index c = 0; c < width; ++c) out.corrected(k, c) = raw.counts(k, first + c) > 0;
  }
  for (Index k = 0; k < n_new; ++k) {
    const auto batch = static_cast<std::size_t>(k);
    const bool only_location = location_only(model, raw, batch);
    const Matrix z = standardize_new_samples(model, request, unseen.samples[batch]);
    if (model.par_prior) {
      Result<LevelPrior> prior = new_batch_prior(raw, batch, only_location);
      if (!prior) return fail(std::move(prior.error()));
      LevelPrior kept = *prior;
      if (only_location) kept.a_prior = kept.b_prior = kNoValue;
      out.priors.push_back(kept);
      for (Index c = 0; c < width; ++c) {
        if (raw.counts(k, first + c) == 0) continue;
        out.gamma_star(k, c) = mean_only_posterior(*prior, raw.gamma_hat(k, first + c));
        out.delta_star(k, c) = 1.0;
      }
      if (only_location) continue;
      const std::vector<Index> columns = solved_columns(raw, batch, offset, width);
      if (columns.empty()) continue;
      require(passes[batch] >= 1, "a new batch with a solver has its stopping pass");
      std::optional<LevelTrace> trace =
          trace_new_batch(z, raw, batch, offset, *prior, PassRule{1, passes[batch]});
      require(trace.has_value(), "a chunk with solved features has a trace");
      if (!trace->outcome) return fail(std::move(trace->outcome.error()));
      for (std::size_t j = 0; j < columns.size(); ++j) {
        out.gamma_star(k, columns[j]) = trace->outcome->gamma_star[j];
        out.delta_star(k, columns[j]) = trace->outcome->delta_star[j];
      }
      continue;
    }
    out.priors.push_back(LevelPrior{kNoValue, kNoValue, kNoValue, kNoValue});
    // The prior points: every feature with a scale estimate (any observed one when scales
    // are left alone), as level 0 of a pair whose level 1 repeats it and is never read.
    std::vector<Index> points;
    for (Index m = 0; m < raw.counts.cols(); ++m) {
      if (raw.counts(k, m) >= (only_location ? 1u : 2u)) points.push_back(m);
    }
    Matrix g(2, static_cast<Index>(points.size())), d(2, static_cast<Index>(points.size()));
    for (std::size_t p = 0; p < points.size(); ++p) {
      g.col(static_cast<Index>(p)).setConstant(raw.gamma_hat(k, points[p]));
      d.col(static_cast<Index>(p)).setConstant(only_location ? 1.0 : raw.delta_hat(k, points[p]));
    }
    const std::vector<std::uint64_t> pair{0, 1};
    Result<BatchLevels> levels = BatchLevels::from_ids(pair, 2);
    require(levels.has_value(), "two ids make two levels");
      const PosteriorInputs inputs = prepare_posterior_inputs(*levels, g, d);
    for (Index c = 0; c < width; ++c) {
      const std::size_t count = raw.counts(k, first + c);
      if (count == 0) continue;
      std::vector<double> observed;
      for (Index r = 0; r < z.rows(); ++r) {
        if (!std::isnan(z(r, c))) observed.push_back(z(r, c));
      }
      const auto own = std::ranges::find(points, first + c);
      Result<std::pair<double, double>> posterior = nonparametric_posterior(
          observed, inputs, 0, static_cast<std::size_t>(own - points.begin()), model.exact);
      if (!posterior) return fail(std::move(posterior.error()));
      out.gamma_star(k, c) = posterior->first;
      out.delta_star(k, c) = count >= 2 && !only_location ? posterior->second : 1.0;
    }
  }
  return out;
}

Result<NewLevels> estimate_new_batches(const CombatModel& model, const CombatDenseRequest& request,
                                       const CancelRequested& cancel) {
  Result<NewBatchEstimates> raw = new_batch_estimates(model, request);
  if (!raw) return fail(std::move(raw.error()));
  std::vector<std::vector<std::optional<LevelTrace>>> traces;
  for (std::size_t round = 0;; ++round) {
    Result<RunSettlement> settled = settle_new_batches(model, *raw, traces);
    if (!settled) return fail(std::move(settled.error()));
    stop_if_cancelled(cancel, {"estimate", round, round + 1});
    if (settled->settled) return new_batch_posteriors(model, request, *raw, 0, settled->passes);
    Result<std::vector<std::optional<LevelTrace>>> traced =
        trace_new_batches(model, request, *raw, 0, settled->explore_from);
    if (!traced) return fail(std::move(traced.error()));
    traces.assign(1, std::move(*traced));
  }
}

}  // namespace quarnel
