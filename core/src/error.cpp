#include "quarnel/error.hpp"

namespace quarnel {
namespace {

std::string decimal(std::uint64_t value) { return std::to_string(value); }

struct Renderer {
  std::string operator()(const ShapeMismatch& e) const {
    return "shape mismatch in " + std::string(e.name) + ": expected " + decimal(e.expected) +
           ", got " + decimal(e.got);
  }
  std::string operator()(const ShapeProductOverflow& e) const {
    return "shape product overflow in " + std::string(e.name);
  }
  std::string operator()(const EmptyInput& e) const {
    return "empty input for " + std::string(e.name);
  }
  std::string operator()(const BatchLengthMismatch& e) const {
    return "batch length mismatch: n_samples=" + decimal(e.n_samples) +
           ", batch_len=" + decimal(e.batch_len);
  }
  std::string operator()(const CovariateShapeMismatch& e) const {
    return "covariate shape mismatch: n_samples=" + decimal(e.n_samples) +
           ", n_covariates=" + decimal(e.n_covariates) + ", len=" + decimal(e.len);
  }
  std::string operator()(const TooFewBatches&) const {
    return "at least two batches are required";
  }
  std::string operator()(const MissingReferenceBatch& e) const {
    return "missing reference batch: " + decimal(e.batch_id);
  }
  std::string operator()(const NonFiniteDenseValue& e) const {
    return "non-finite dense value at sample " + decimal(e.sample) + ", feature " +
           decimal(e.feature);
  }
  std::string operator()(const NonFiniteDesignValue& e) const {
    return "non-finite design value in " + std::string(e.name) + " at sample " +
           decimal(e.sample) + ", column " + decimal(e.column);
  }
  std::string operator()(const SingularDesign&) const { return "singular design matrix"; }
  std::string operator()(const InvalidDesign& e) const { return "invalid design: " + e.detail; }
  std::string operator()(const UnsupportedOption& e) const {
    return "unsupported option: " + e.detail;
  }
  std::string operator()(const NumericalFailure& e) const {
    return "numerical failure: " + e.detail;
  }
  std::string operator()(const UnknownBatches& e) const {
    std::string text = "unknown batch ids:";
    for (std::size_t k = 0; k < e.batch_ids.size(); ++k) {
      text += (k == 0 ? " " : ", ") + std::to_string(e.batch_ids[k]);
    }
    return text + " (the model was fitted without them)";
  }
};

}  // namespace

std::string render(const CombatError& error) { return std::visit(Renderer{}, error); }

ErrorClass error_class(const CombatError& error) {
  const bool numerical = std::holds_alternative<SingularDesign>(error) ||
                         std::holds_alternative<NumericalFailure>(error);
  return numerical ? ErrorClass::numerical : ErrorClass::input;
}

}  // namespace quarnel
