// The correction as a reusable model: fit once, then apply to the same samples, to new
// samples of the batches it has seen, or to samples of batches it has not seen.
//
// fit_model carries out everything of a run that learns from the data (the checks, the
// standardisation, the batch effects and their priors, and the partial features' own
// fits) and keeps what the adjustment needs. apply_model maps samples through it: each
// value is standardised with the model's mean and variance, its batch's posterior effects
// are removed, and it is mapped back. combat_dense is fit_model followed by apply_model on
// the same data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "quarnel/request.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/parametric.hpp"
#include "quarnel/partial.hpp"
#include "quarnel/pipeline.hpp"

namespace quarnel {

struct CombatModel {
  std::uint64_t n_features = 0;
  std::vector<std::size_t> features;                  // corrected features, ascending
  std::vector<std::uint64_t> zero_variance_features;  // passed through by the run itself
  std::vector<std::uint64_t> batch_ids;               // one per level, ascending
  std::vector<std::size_t> level_sizes;
  std::optional<std::size_t> reference_level;
  std::uint64_t n_covariates = 0;            // covariate columns the model is applied with
  std::vector<std::size_t> covariate_columns;  // the non-intercept ones it uses, ascending
  bool par_prior = true;
  // Non-parametric models: whether the posteriors of the partial features and of batches
  // estimated when the model is applied use the exact estimate or the fast one (see
  // nonparametric_posterior), as the run's own did.
  bool exact = true;
  bool mean_only = false;            // as requested
  bool effective_mean_only = false;  // as in force
  // Per corrected feature (G of them):
  std::vector<double> grand_mean;
  Matrix covariate_coefficients;  // covariate_columns x G
  std::vector<double> pooled_variance;
  // Levels x G: whether a feature is corrected in a level (not in a partial feature's
  // unobserved batches), and its raw and posterior effects there (NaN where it is not).
  // The reference level is location 0 and scale 1.
  Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic> corrected;
  Matrix gamma_hat;
  Matrix delta_hat;
  Matrix gamma_star;
  Matrix delta_star;
  // Per level; NaN fields where there is no prior (the reference level, the scale prior
  // in mean-only mode, every level of a non-parametric model).
  std::vector<LevelPrior> priors;
};

// A model's arrays as they leave the core, in the one table that everything reading or
// writing them follows (the bindings' model records, the model file, the parts of a model
// fitted over chunks of features): each array's name, NumPy element type and the counts
// its axes run along, in the order they are judged when a model is read back. A count is
// set by the first array that runs along it.
enum class ModelExtent : unsigned char { levels, corrected, zero_variance, covariates_used };

struct ModelArray {
  std::string_view name;
  std::string_view dtype;
  std::array<std::optional<ModelExtent>, 2> axes;
};

inline constexpr std::array<ModelArray, 17> kModelArrays{{
    {"batch_ids", "int64", {ModelExtent::levels, std::nullopt}},
    {"level_sizes", "int64", {ModelExtent::levels, std::nullopt}},
    {"features", "int64", {ModelExtent::corrected, std::nullopt}},
    {"zero_variance_features", "int64", {ModelExtent::zero_variance, std::nullopt}},
    {"covariate_columns", "int64", {ModelExtent::covariates_used, std::nullopt}},
    {"grand_mean", "float64", {ModelExtent::corrected, std::nullopt}},
    {"pooled_variance", "float64", {ModelExtent::corrected, std::nullopt}},
    {"covariate_coefficients", "float64", {ModelExtent::covariates_used, ModelExtent::corrected}},
    {"corrected", "uint8", {ModelExtent::levels, ModelExtent::corrected}},
    {"gamma_hat", "float64", {ModelExtent::levels, ModelExtent::corrected}},
    {"delta_hat", "float64", {ModelExtent::levels, ModelExtent::corrected}},
    {"gamma_star", "float64", {ModelExtent::levels, ModelExtent::corrected}},
    {"delta_star", "float64", {ModelExtent::levels, ModelExtent::corrected}},
    {"gamma_bar", "float64", {ModelExtent::levels, std::nullopt}},
    {"tau2", "float64", {ModelExtent::levels, std::nullopt}},
    {"a_prior", "float64", {ModelExtent::levels, std::nullopt}},
    {"b_prior", "float64", {ModelExtent::levels, std::nullopt}},
}};

// The name a count goes by outside the core.
constexpr std::string_view extent_name(ModelExtent extent) {
  switch (extent) {
    case ModelExtent::levels: return "n_levels";
    case ModelExtent::corrected: return "n_corrected";
    case ModelExtent::zero_variance: return "n_zero_variance";
    case ModelExtent::covariates_used: return "n_used";
  }
  return "";
}

// The table's entry for `name`; every model array is in it.
constexpr const ModelArray& model_array_layout(std::string_view name) {
  for (const ModelArray& array : kModelArrays) {
    if (array.name == name) return array;
  }
  throw InternalFault("no model array of that name");
}

struct ModelFit {
  CombatModel model;
  CombatDenseReport report;             // the complete features' run
  std::vector<PartialOutcome> partial;  // one per partial feature, in the order given
};

// Fits the `complete` features as one run and each `partial` feature where it is observed
// (both lists ascending and disjoint), as combat_dense_partial corrects them.
Result<ModelFit> fit_model(const CombatDenseRequest& request, const CombatOptions& options,
                           std::span<const std::size_t> complete,
                           std::span<const std::size_t> partial);

// The model of a run whose complete features `fitted` holds, with the `partial` features
// (ascending) fitted against the priors of `run_raw`: the raw estimates of all of the run's
// complete features, which `fitted` holds only some of when the run was fitted in parts.
ModelFit model_of_run(const CombatDenseRequest& request, const CombatOptions& options,
                      const BatchLevels& levels, const PipelineFit& fitted,
                      const ParametricEstimates& run_raw, std::span<const std::size_t> partial);

// Batches estimated when the model was applied: each one more level of the fitted run,
// whose standardisation is frozen. Rows are the batches, ascending; columns the model's
// corrected features.
struct NewLevels {
  std::vector<std::uint64_t> batch_ids;
  Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic> corrected;
  Matrix gamma_hat;
  Matrix delta_hat;
  Matrix gamma_star;
  Matrix delta_star;
  std::vector<LevelPrior> priors;
};

struct ApplyOptions {
  bool estimate_new_batches = false;  // false: samples of unseen batches are an error
  CancelRequested cancel_requested;
};

struct ApplyOutput {
  ValueBuffer adjusted;  // row-major n_samples x n_features
  NewLevels new_levels;
};

// The ids of `batch` that are none of the model's fitted batches, ascending and once each:
// the batches apply_model estimates, in that order.
std::vector<std::uint64_t> unseen_batch_ids(const CombatModel& model, std::span<const std::uint64_t> batch);

// The checks of a request a model is applied to, in their order: its shape, the model's
// feature count, finite values, one batch id per sample, the model's covariate count.
Status check_model_request(const CombatModel& model, const CombatDenseRequest& request);

// The standardised values of one new batch's samples (rows) for every feature the model
// corrects (columns), with the model's frozen means and variances, as apply_model
// standardises them when it estimates the batch.
Matrix standardize_new_samples(const CombatModel& model, const CombatDenseRequest& request,
                               std::span<const std::size_t> samples);

// Corrects the request's samples with the model. Samples of the reference batch, features
// the model does not correct, and batches in which a feature is not corrected come back
// as they came in; NaN stays NaN. The request must have the model's feature and covariate
// counts; its batch ids need not include every fitted batch.
// `storage` is a buffer the output may reuse (whatever it holds is overwritten).
Result<ApplyOutput> apply_model(const CombatModel& model, const CombatDenseRequest& request,
                                const ApplyOptions& options, ValueBuffer storage = {});

// The correction of the data a model was fitted to: apply_model on the same request, with
// the fit's report.
Result<PartialCombatOutput> correct_with_fit(ModelFit fit, const CombatDenseRequest& request,
                                             const CombatOptions& options, ValueBuffer storage = {});

// fit_model followed by apply_model on the same data.
Result<PartialCombatOutput> combat_dense_partial(const CombatDenseRequest& request,
                                                 const CombatOptions& options,
                                                 std::span<const std::size_t> complete,
                                                 std::span<const std::size_t> partial);

}  // namespace quarnel
