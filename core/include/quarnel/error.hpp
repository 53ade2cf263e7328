// The core's one error type, and the fault type for broken internal invariants.
//
// Every operation that can fail returns `Result<T>`: its value or one `CombatError`.
// The first error ends a run and travels back unchanged; only the interpreter binding
// turns it into an exception, using `render` for the message and `error_class` for the
// exception type.
#pragma once

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quarnel {

// The buffer or dimension an error is about. Always one of these constants, never an
// owned copy.
namespace names {
inline constexpr std::string_view values = "values";
inline constexpr std::string_view n_samples = "n_samples";
inline constexpr std::string_view n_features = "n_features";
inline constexpr std::string_view covariates = "covariates";
}  // namespace names

struct ShapeMismatch {
  std::string_view name;
  std::uint64_t expected;
  std::uint64_t got;
};
struct ShapeProductOverflow {
  std::string_view name;
};
struct EmptyInput {
  std::string_view name;
};
struct BatchLengthMismatch {
  std::uint64_t n_samples;
  std::uint64_t batch_len;
};
struct CovariateShapeMismatch {
  std::uint64_t n_samples;
  std::uint64_t n_covariates;
  std::uint64_t len;
};
struct TooFewBatches {};
struct MissingReferenceBatch {
  std::uint64_t batch_id;
};
struct NonFiniteDenseValue {
  std::uint64_t sample;
  std::uint64_t feature;
};
struct NonFiniteDesignValue {
  std::string_view name;
  std::uint64_t sample;
  std::uint64_t column;
};
struct SingularDesign {};
struct InvalidDesign {
  std::string detail;
  // The covariate columns the detail names, as data for callers that name them in their
  // own terms rather than read them back out of the text.
  std::vector<std::uint64_t> columns = {};
};
struct UnsupportedOption {
  std::string detail;
};
struct NumericalFailure {
  std::string detail;
};
// Samples of batches a fitted model has not seen, when it was not asked to estimate them.
struct UnknownBatches {
  std::vector<std::uint64_t> batch_ids;  // ascending
};

// The variants in their declared order; the index of a variant is part of the contract.
using CombatError =
    std::variant<ShapeMismatch, ShapeProductOverflow, EmptyInput, BatchLengthMismatch,
                 CovariateShapeMismatch, TooFewBatches, MissingReferenceBatch,
                 NonFiniteDenseValue, NonFiniteDesignValue, SingularDesign, InvalidDesign,
                 UnsupportedOption, NumericalFailure, UnknownBatches>;

template <class T>
using Result = std::expected<T, CombatError>;
using Status = std::expected<void, CombatError>;

// Wraps any variant as the error side of a `Result`, so stages can write
// `return fail(NumericalFailure{"..."});`.
inline std::unexpected<CombatError> fail(CombatError error) {
  return std::unexpected<CombatError>(std::move(error));
}

// The message of an error: its template with the payload filled in, integers as plain
// unsigned decimals, names and details verbatim.
std::string render(const CombatError& error);

// Numerical failures of the model versus problems with the caller's input; the binding
// maps them to RuntimeError and ValueError.
enum class ErrorClass { numerical, input };
ErrorClass error_class(const CombatError& error);

// A broken internal invariant: something validated input cannot cause. It is a
// programming fault, never a CombatError; the binding turns it into its own exception
// type so that it is never mistaken for an ordinary failure.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws InternalFault with `what` when `condition` is false.
inline void require(bool condition, const char* what) {
  if (!condition) throw InternalFault(what);
}

}  // namespace quarnel
