// What the two halves of the R glue share: the run's problem as the core's request, and
// the core's answers as R values.
//
// The glue never raises an R error itself while core frames are on the stack: an R error
// is a longjmp, which would skip the destructors of everything the run holds. Errors come
// back to R as values (a list with `kind`, `message`, ...) and the R code signals them.
#pragma once

#include <cpp11.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/model.hpp"
#include "quarnel/request.hpp"

namespace glue {

// The caller's matrix and covariates as a request. R's matrix of features in rows and
// samples in columns is stored column by column, which is exactly the core's row-major
// samples x features layout, so `values` is read in place. The batch ids are copied,
// since the core takes them unsigned.
struct Problem {
  std::vector<std::uint64_t> batch_ids;
  quarnel::CombatDenseRequest request;

  Problem(SEXP values, int n_samples, int n_features, SEXP batch, SEXP covariates,
          int n_covariates);
  Problem(const Problem&) = delete;
  Problem& operator=(const Problem&) = delete;
};

// Whether the vectors are of the types Problem reads in place: double values and
// covariates, integer batch ids. The R code makes them so; anything else is its fault.
bool well_typed(SEXP values, SEXP batch, SEXP covariates);

// How a run was stopped from the glue's side: R's interrupt, or an R condition raised by
// the R code the run called back into (kept here to be rethrown once the core has
// unwound).
struct Stop {
  bool interrupted = false;
  std::exception_ptr callback_error;
};

// The cancel hook: asks R, on the main thread and between the core's stages, whether the
// user pressed Ctrl-C, and tells a progress line on standard error when `show` is set.
quarnel::CancelRequested interrupt_hook(Stop& stop, bool show);

// The error value R signals: kind, message, class ("input" or "numerical") and the
// variant's payload.
cpp11::list error_value(const quarnel::CombatError& error);
cpp11::list fault_value(const char* kind, const std::string& message);
cpp11::list interrupted_value();

// Runs a core call and returns its value, or the value to hand back to R instead (an
// error, an interruption, a fault). `stop` is the run's hook state; an R condition
// raised inside a callback is rethrown after the core has unwound.
template <class Call>
auto run_core(Call&& call, Stop& stop, std::optional<cpp11::list>& failed)
    -> std::optional<typename decltype(call())::value_type> {
  using Value = typename decltype(call())::value_type;
  std::optional<decltype(call())> result;
  try {
    result.emplace(call());
  } catch (const std::bad_alloc&) {
    failed = fault_value("OutOfMemory", "quarnel ran out of memory");
    return std::nullopt;
  } catch (const quarnel::RunCancelled&) {
    if (stop.callback_error) std::rethrow_exception(stop.callback_error);
    failed = interrupted_value();
    return std::nullopt;
  } catch (const quarnel::InternalFault& fault) {
    failed = fault_value("InternalFault", std::string("quarnel internal fault: ") + fault.what());
    return std::nullopt;
  }
  if (!*result) {
    failed = error_value(result->error());
    return std::nullopt;
  }
  return std::optional<Value>(std::move(**result));
}

// The model as an R list of vectors and levels x features matrices, and back.
cpp11::list model_list(const quarnel::CombatModel& model);
// The model a list describes, or an error message when its parts do not fit together.
std::optional<quarnel::CombatModel> read_model(cpp11::list list, std::string& problem);
cpp11::list new_levels_list(const quarnel::NewLevels& levels);
cpp11::list report_list(const quarnel::CombatDenseReport& report);
cpp11::list partial_list(const std::vector<quarnel::PartialOutcome>& outcomes);

}  // namespace glue
