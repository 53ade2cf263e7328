// quarnel._engine: the core's feature verdicts and partial-batch run, for the package.
//
// _quarnel is the stable, hand-written face of the core's one front door. This module
// binds the calls the public package needs on top of it (the pre-flight verdicts and the
// run that corrects partially observed features) with nanobind, so that each new call is a
// few lines rather than another page of argument parsing. Both modules link the same
// static core; they share no binding code.
//
// Conventions it keeps with _quarnel, so that the package can treat both alike:
//   - arrays are NumPy float64 / int64, read in place; anything else is refused, never
//     copied behind the caller's back;
//   - a CombatError becomes ValueError (input) or RuntimeError (numerical) with the core's
//     own message, and a broken invariant becomes _quarnel.InternalFault itself;
//   - Ctrl-C stops a run between stages and surfaces as KeyboardInterrupt.
// Unlike _quarnel it releases the interpreter lock while the core works, and hands the
// error's payload over as attributes so that callers never parse the message.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/counts.hpp"
#include "quarnel/error.hpp"
#include "quarnel/estimability.hpp"
#include "quarnel/judged.hpp"
#include "quarnel/layout.hpp"
#include "quarnel/model.hpp"
#include "quarnel/partial.hpp"
#include "quarnel/stages.hpp"
#include "quarnel/new_batches.hpp"

namespace nb = nanobind;

namespace {

// Process-wide objects, looked up once by the module's initialisation and kept for the
// life of the process (the module cannot be unloaded, so they are never released).
PyObject* ndarray_type = nullptr;     // numpy.ndarray
PyObject* numpy_bool_type = nullptr;  // numpy.bool_
PyObject* internal_fault = nullptr;   // _quarnel.InternalFault

// Raises `type` with a printf-style message (PyUnicode_FromFormat's codes, so %S and %R
// take objects) by throwing the pending error through nanobind.
[[noreturn]] void raise(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(type, format, arguments);
  va_end(arguments);
  throw nb::python_error();
}

const char* python_type_name(nb::handle object) { return Py_TYPE(object.ptr())->tp_name; }

// ---------------------------------------------------------------------------------------
// Arguments

// A read-only view of a NumPy array's buffer; the view keeps the array alive.
template <class T>
using ArrayView = nb::ndarray<const T, nb::device::cpu>;

// `object` as a view of a native-endian, aligned, row-major T array with `ndim`
// dimensions, without copying it. The core reads row i, column j at i * columns + j, so a
// transposed, strided or reversed view must be refused rather than read wrongly.
template <class T>
ArrayView<T> read_in_place(nb::handle object, const char* name, std::size_t ndim,
                           const char* dtype) {
  if (PyObject_IsInstance(object.ptr(), ndarray_type) != 1) {
    if (PyErr_Occurred() != nullptr) throw nb::python_error();
    raise(PyExc_TypeError, "%s must be a numpy.ndarray of %s, not %s", name, dtype,
          python_type_name(object));
  }
  ArrayView<T> array;
  if (!nb::try_cast(object, array, /*convert=*/false)) {
    raise(PyExc_TypeError, "%s must have dtype %s, not %S", name, dtype,
          object.attr("dtype").ptr());
  }
  if (array.ndim() != ndim) {
    raise(PyExc_ValueError, "%s must be %zu-dimensional, not %zu-dimensional", name, ndim,
          array.ndim());
  }
  bool row_major = true;
  std::int64_t expected_stride = 1;
  for (std::size_t axis = ndim; axis-- > 0;) {
    const auto extent = static_cast<std::int64_t>(array.shape(axis));
    if (extent > 1 && array.stride(axis) != expected_stride) row_major = false;
    expected_stride *= extent;
  }
  // An array without elements has no layout to get wrong: NumPy gives such arrays zero
  // strides, which it counts as contiguous too.
  if (!row_major && array.size() > 0) {
    raise(PyExc_ValueError, "%s must be C-contiguous (see numpy.ascontiguousarray)", name);
  }
  if (array.size() > 0 && reinterpret_cast<std::uintptr_t>(array.data()) % alignof(T) != 0) {
    raise(PyExc_ValueError, "%s must be aligned to its %s elements", name, dtype);
  }
  return array;
}

template <class T>
std::span<const T> elements(const ArrayView<T>& array) {
  return {array.data(), array.size()};
}

// A Python bool or a NumPy bool scalar. Ints are refused so that a stray 0 or 1 in the
// wrong position is caught.
bool read_flag(nb::handle object, const char* name) {
  if (PyBool_Check(object.ptr()) ||
      PyObject_IsInstance(object.ptr(), numpy_bool_type) == 1) {
    const int truth = PyObject_IsTrue(object.ptr());
    if (truth < 0) throw nb::python_error();
    return truth == 1;
  }
  if (PyErr_Occurred() != nullptr) throw nb::python_error();
  raise(PyExc_TypeError, "%s must be a bool, not %s", name, python_type_name(object));
}

std::optional<std::uint64_t> read_ref_batch(nb::handle object) {
  if (object.is_none()) return std::nullopt;
  nb::object index = nb::steal(PyNumber_Index(object.ptr()));
  if (!index.is_valid()) {
    PyErr_Clear();
    raise(PyExc_TypeError, "ref_batch must be an integer batch id or None, not %s",
          python_type_name(object));
  }
  const unsigned long long id = PyLong_AsUnsignedLongLong(index.ptr());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    raise(PyExc_ValueError, "ref_batch must be a batch id in 0 ... 2**64 - 1, not %S",
          index.ptr());
  }
  return static_cast<std::uint64_t>(id);
}

// The caller's arrays as the core's request. The views keep the arrays alive for as long
// as the core reads them; the batch ids are the one copy made, because the core takes
// them unsigned. With the lock released, another thread could still write into the
// arrays during the run: like any NumPy routine that releases the lock, the result is
// then unspecified, but the buffers themselves stay valid.
struct Problem {
  ArrayView<double> values;
  std::optional<ArrayView<double>> mod;
  std::vector<std::uint64_t> batch_ids;
  quarnel::CombatDenseRequest request;
  quarnel::CombatOptions options;

  Problem(nb::handle values_object, nb::handle batch_object, nb::handle mod_object,
          nb::handle par_prior, nb::handle mean_only, nb::handle ref_batch);
  // The request points into the members, so a Problem stays where it was built.
  Problem(const Problem&) = delete;
  Problem& operator=(const Problem&) = delete;
};

// Asked by the core between stages on the calling thread, while none of its workers runs
// and while this thread has released the interpreter lock. Running the pending signal
// handlers lets Ctrl-C stop a long correction: the handler's exception stays pending on
// this thread and the core unwinds with RunCancelled, which run_core turns back into it.
bool signal_handler_raised(const quarnel::Progress&) {
  nb::gil_scoped_acquire acquire;
  return PyErr_CheckSignals() < 0;
}

// The same question, first telling `listener` (a Python callable, borrowed for the call)
// how far the run has come: listener(stage, done, total). An exception it raises stops
// the run like a signal handler's.
quarnel::CancelRequested progress_reported_to(PyObject* listener) {
  return [listener](const quarnel::Progress& progress) {
    nb::gil_scoped_acquire acquire;
    const nb::handle callback{listener};
    try {
      callback(nb::str(progress.stage.data(), progress.stage.size()), progress.done,
               progress.total);
    } catch (nb::python_error& raised) {
      raised.restore();
      return true;
    }
    return PyErr_CheckSignals() < 0;
  };
}

Problem::Problem(nb::handle values_object, nb::handle batch_object, nb::handle mod_object,
                 nb::handle par_prior, nb::handle mean_only, nb::handle ref_batch)
    : values(read_in_place<double>(values_object, "values", 2, "float64")) {
  const ArrayView<std::int64_t> batch = read_in_place<std::int64_t>(batch_object, "batch", 1,
                                                                    "int64");
  const std::size_t n_samples = values.shape(0);
  if (!mod_object.is_none()) {
    mod = read_in_place<double>(mod_object, "mod", 2, "float64");
    if (mod->shape(0) != n_samples) {
      raise(PyExc_ValueError,
            "mod row count must match values samples: expected %zu, got %zu", n_samples,
            mod->shape(0));
    }
  }
  batch_ids.reserve(batch.size());
  for (const std::int64_t id : elements(batch)) {
    if (id < 0) {
      raise(PyExc_ValueError, "batch ids must be non-negative; sample %zu has %lld",
            batch_ids.size(), static_cast<long long>(id));
    }
    batch_ids.push_back(static_cast<std::uint64_t>(id));
  }

  request.values = elements(values);
  request.batch = batch_ids;
  request.n_samples = n_samples;
  request.n_features = values.shape(1);
  if (mod) request.covariates = quarnel::CovariateMatrix{elements(*mod), mod->shape(1)};

  options.par_prior = read_flag(par_prior, "par_prior");
  options.mean_only = read_flag(mean_only, "mean_only");
  options.ref_batch = read_ref_batch(ref_batch);
  options.cancel_requested = signal_handler_raised;
}

// A list of feature indices: ascending, each in 0 ... n_features - 1.
std::vector<std::size_t> read_features(nb::handle object, const char* name,
                                       std::uint64_t n_features) {
  const ArrayView<std::int64_t> array = read_in_place<std::int64_t>(object, name, 1, "int64");
  std::vector<std::size_t> features;
  features.reserve(array.size());
  for (const std::int64_t feature : elements(array)) {
    if (feature < 0 || static_cast<std::uint64_t>(feature) >= n_features) {
      raise(PyExc_ValueError, "%s[%zu] = %lld is not a feature index in 0 ... %llu", name,
            features.size(), static_cast<long long>(feature),
            static_cast<unsigned long long>(n_features) - 1);
    }
    if (!features.empty() && static_cast<std::size_t>(feature) <= features.back()) {
      raise(PyExc_ValueError, "%s must be strictly ascending; %s[%zu] = %lld follows %zu",
            name, name, features.size(), static_cast<long long>(feature), features.back());
    }
    features.push_back(static_cast<std::size_t>(feature));
  }
  return features;
}

// ---------------------------------------------------------------------------------------
// Errors

void set(nb::handle error, const char* attribute, nb::handle value) {
  if (PyObject_SetAttrString(error.ptr(), attribute, value.ptr()) < 0) {
    throw nb::python_error();
  }
}
void set(nb::handle error, const char* attribute, std::uint64_t value) {
  set(error, attribute, nb::int_(value));
}
void set(nb::handle error, const char* attribute, std::string_view value) {
  set(error, attribute, nb::str(value.data(), value.size()));
}

// The variant's name as `kind` and each of its fields under the field's own name. There is
// deliberately no catch-all overload: a new variant fails to compile until it is described.
void describe(nb::handle e, const quarnel::ShapeMismatch& v) {
  set(e, "kind", "ShapeMismatch");
  set(e, "name", v.name);
  set(e, "expected", v.expected);
  set(e, "got", v.got);
}
void describe(nb::handle e, const quarnel::ShapeProductOverflow& v) {
  set(e, "kind", "ShapeProductOverflow");
  set(e, "name", v.name);
}
void describe(nb::handle e, const quarnel::EmptyInput& v) {
  set(e, "kind", "EmptyInput");
  set(e, "name", v.name);
}
void describe(nb::handle e, const quarnel::BatchLengthMismatch& v) {
  set(e, "kind", "BatchLengthMismatch");
  set(e, "n_samples", v.n_samples);
  set(e, "batch_len", v.batch_len);
}
void describe(nb::handle e, const quarnel::CovariateShapeMismatch& v) {
  set(e, "kind", "CovariateShapeMismatch");
  set(e, "n_samples", v.n_samples);
  set(e, "n_covariates", v.n_covariates);
  set(e, "len", v.len);
}
void describe(nb::handle e, const quarnel::TooFewBatches&) { set(e, "kind", "TooFewBatches"); }
void describe(nb::handle e, const quarnel::MissingReferenceBatch& v) {
  set(e, "kind", "MissingReferenceBatch");
  set(e, "batch_id", v.batch_id);
}
void describe(nb::handle e, const quarnel::NonFiniteDenseValue& v) {
  set(e, "kind", "NonFiniteDenseValue");
  set(e, "sample", v.sample);
  set(e, "feature", v.feature);
}
void describe(nb::handle e, const quarnel::NonFiniteDesignValue& v) {
  set(e, "kind", "NonFiniteDesignValue");
  set(e, "name", v.name);
  set(e, "sample", v.sample);
  set(e, "column", v.column);
}
void describe(nb::handle e, const quarnel::SingularDesign&) { set(e, "kind", "SingularDesign"); }
void describe(nb::handle e, const quarnel::InvalidDesign& v) {
  set(e, "kind", "InvalidDesign");
  set(e, "detail", v.detail);
  nb::list columns;
  for (const std::uint64_t column : v.columns) columns.append(nb::int_(column));
  set(e, "columns", nb::tuple(columns));
}
void describe(nb::handle e, const quarnel::UnsupportedOption& v) {
  set(e, "kind", "UnsupportedOption");
  set(e, "detail", v.detail);
}
void describe(nb::handle e, const quarnel::NumericalFailure& v) {
  set(e, "kind", "NumericalFailure");
  set(e, "detail", v.detail);
}
void describe(nb::handle e, const quarnel::UnknownBatches& v) {
  set(e, "kind", "UnknownBatches");
  nb::list ids;
  for (const std::uint64_t id : v.batch_ids) ids.append(nb::int_(id));
  set(e, "batch_ids", nb::tuple(ids));
}

PyObject* exception_type(const quarnel::CombatError& error) {
  return quarnel::error_class(error) == quarnel::ErrorClass::numerical ? PyExc_RuntimeError : PyExc_ValueError;
}

// The exception a CombatError raises, with its payload as attributes.
nb::object combat_exception(const quarnel::CombatError& error) {
  const std::string message = quarnel::render(error);
  nb::object exception = nb::handle(exception_type(error))(nb::str(message.data(), message.size()));
  std::visit([&](const auto& variant) { describe(exception, variant); }, error);
  return exception;
}

[[noreturn]] void raise_combat_error(const quarnel::CombatError& error) {
  PyErr_SetObject(exception_type(error), combat_exception(error).ptr());
  throw nb::python_error();
}

[[noreturn]] void raise_internal_fault(const char* what) {
  raise(internal_fault, "quarnel internal fault: %s", what);
}

// Runs `call` (a core call returning a Result) without the interpreter lock, and turns
// everything but its value into a Python exception: the CombatError with its payload,
// memory exhaustion, a cancelled run and broken invariants.
template <class Call>
auto run_core(Call&& call) {
  std::optional<decltype(call())> result;
  try {
    nb::gil_scoped_release release;
    result.emplace(call());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    throw nb::python_error();
  } catch (const quarnel::RunCancelled&) {
    // The signal handler's exception is pending; nothing of the run is returned.
    if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw nb::python_error();
  } catch (const quarnel::InternalFault& fault) {
    raise_internal_fault(fault.what());
  } catch (const std::exception& error) {
    raise(internal_fault, "quarnel internal fault: unexpected C++ exception: %s",
          error.what());
  }
  if (!*result) raise_combat_error(result->error());
  return std::move(**result);
}

// ---------------------------------------------------------------------------------------
// Results

// A new writeable NumPy array over `data`, which moves into a heap object owned by a
// capsule: the elements are never copied, and they live exactly as long as the array and
// its views.
template <class T, class Allocator>
nb::object adopt(std::vector<T, Allocator>&& data, std::initializer_list<std::size_t> shape) {
  using Owned = std::vector<T, Allocator>;
  // An empty vector has no buffer, and a capsule needs a pointer to own.
  if (data.empty()) data.reserve(1);
  auto owner = std::make_unique<Owned>(std::move(data));
  T* buffer = owner->data();
  nb::capsule capsule(owner.get(), [](void* vector) noexcept { delete static_cast<Owned*>(vector); });
  owner.release();  // the capsule frees it from here on
  return nb::ndarray<nb::numpy, T>(buffer, shape, capsule).cast();
}

std::int64_t batch_or_none(const std::optional<std::uint64_t>& batch) {
  // Every id came in as a non-negative int64, so it converts back exactly.
  return batch ? static_cast<std::int64_t>(*batch) : -1;
}

nb::list int_list(const std::vector<std::uint64_t>& items) {
  nb::list list;
  for (const std::uint64_t item : items) list.append(nb::int_(item));
  return list;
}

nb::dict report_dict(const quarnel::CombatDenseReport& report) {
  nb::dict dict;
  dict["effective_mean_only"] = nb::bool_(report.effective_mean_only);
  dict["singleton_batches"] = int_list(report.singleton_batches);
  dict["zero_variance_features"] = int_list(report.zero_variance_features);
  return dict;
}

// ---------------------------------------------------------------------------------------
// Each feature's verdict as two arrays: 'issue' (its code) and 'batch' (the batch id it
// concerns, or -1).
nb::dict verdict_arrays(const quarnel::FeatureAssessment& assessment) {
  std::vector<std::uint8_t> issues;
  std::vector<std::int64_t> batches;
  issues.reserve(assessment.verdicts.size());
  batches.reserve(assessment.verdicts.size());
  for (const quarnel::FeatureVerdict& verdict : assessment.verdicts) {
    issues.push_back(static_cast<std::uint8_t>(verdict.issue));
    batches.push_back(batch_or_none(verdict.batch));
  }
  const std::size_t n = issues.size();
  nb::dict result;
  result["issue"] = adopt(std::move(issues), {n});
  result["batch"] = adopt(std::move(batches), {n});
  return result;
}

// The functions

nb::dict assess(nb::handle values, nb::handle batch, nb::handle mod, nb::handle par_prior,
                nb::handle mean_only, nb::handle ref_batch) {
  const Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  quarnel::FeatureAssessment assessment = run_core(
      [&] { return quarnel::assess_features(problem.request, problem.options); });
  if (assessment.verdicts.size() != problem.request.n_features) {
    raise_internal_fault("assess_features returned a verdict count unlike the feature count");
  }
  nb::dict result = verdict_arrays(assessment);
  result["effective_mean_only"] = nb::bool_(assessment.effective_mean_only);
  return result;
}

// Features in neither list pass through the core untouched, so the lists only need to be
// disjoint; a feature in both would be corrected twice over.
void require_disjoint(const std::vector<std::size_t>& complete,
                      const std::vector<std::size_t>& partial) {
  auto c = complete.begin();
  for (const std::size_t feature : partial) {
    while (c != complete.end() && *c < feature) ++c;
    if (c != complete.end() && *c == feature) {
      raise(PyExc_ValueError, "feature %zu is listed in both complete and partial", feature);
    }
  }
}

void read_lists(const Problem& problem, nb::handle complete_object, nb::handle partial_object,
                std::vector<std::size_t>& complete, std::vector<std::size_t>& partial) {
  const std::uint64_t n_features = problem.request.n_features;
  if (!partial_object.is_none()) partial = read_features(partial_object, "partial", n_features);
  if (!complete_object.is_none()) {
    complete = read_features(complete_object, "complete", n_features);
  } else {
    std::size_t next = 0;
    for (std::uint64_t j = 0; j < n_features; ++j) {
      if (next < partial.size() && partial[next] == j) {
        ++next;
      } else {
        complete.push_back(j);
      }
    }
  }
  require_disjoint(complete, partial);
}

void listen(Problem& problem, nb::handle progress) {
  if (progress.is_none()) return;
  if (PyCallable_Check(progress.ptr()) == 0) raise(PyExc_TypeError, "progress must be callable or None");
  problem.options.cancel_requested = progress_reported_to(progress.ptr());
}

// Each partial feature's outcome, one array or list per field.
void put_partial(nb::dict& result, const std::vector<quarnel::PartialOutcome>& outcomes) {
  std::vector<std::uint8_t> issues;
  std::vector<std::int64_t> issue_batches;
  nb::list corrected_in;
  for (const quarnel::PartialOutcome& outcome : outcomes) {
    issues.push_back(static_cast<std::uint8_t>(outcome.issue));
    issue_batches.push_back(batch_or_none(outcome.batch));
    corrected_in.append(int_list(outcome.batches));
  }
  const std::size_t n_partial = issues.size();
  result["partial_issue"] = adopt(std::move(issues), {n_partial});
  result["partial_batch"] = adopt(std::move(issue_batches), {n_partial});
  result["partial_batches"] = corrected_in;
}

// The features a run corrects, chosen by the caller from their verdicts: `choose` is
// called once, as choose(issue, batch) with the arrays assess returns, and gives back the
// complete and partial lists. An exception it raises stops the run and leaves the call.
quarnel::ChooseFeatures chosen_by(nb::handle choose, std::uint64_t n_features) {
  if (PyCallable_Check(choose.ptr()) == 0) raise(PyExc_TypeError, "choose must be callable or None");
  return [choose, n_features](const quarnel::FeatureAssessment& assessment) {
    nb::gil_scoped_acquire acquire;
    try {
      nb::dict verdicts = verdict_arrays(assessment);
      const nb::object lists = choose(verdicts["issue"], verdicts["batch"]);
      if (!PyTuple_Check(lists.ptr()) || PyTuple_GET_SIZE(lists.ptr()) != 2) {
        raise(PyExc_TypeError, "choose must return a (complete, partial) tuple");
      }
      quarnel::FeatureChoice choice{read_features(lists[0], "complete", n_features),
                                    read_features(lists[1], "partial", n_features)};
      require_disjoint(choice.complete, choice.partial);
      return choice;
    } catch (nb::python_error& raised) {
      raised.restore();
      throw quarnel::RunCancelled();
    }
  };
}

// The lists given, or the caller's choice from the verdicts.
struct FeatureLists {
  std::vector<std::size_t> complete, partial;
  std::optional<quarnel::ChooseFeatures> choose;
};
FeatureLists feature_lists(const Problem& problem, nb::handle complete_object,
                           nb::handle partial_object, nb::handle choose) {
  FeatureLists lists;
  if (choose.is_none()) {
    read_lists(problem, complete_object, partial_object, lists.complete, lists.partial);
  } else if (!complete_object.is_none() || !partial_object.is_none()) {
    raise(PyExc_TypeError, "choose and the complete and partial lists exclude each other");
  } else {
    lists.choose = chosen_by(choose, problem.request.n_features);
  }
  return lists;
}

nb::dict combat_partial(nb::handle values, nb::handle batch, nb::handle mod,
                        nb::handle par_prior, nb::handle mean_only, nb::handle ref_batch,
                        nb::handle complete_object, nb::handle partial_object,
                        nb::handle progress, nb::handle exact, nb::handle choose) {
  Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  problem.options.exact = read_flag(exact, "exact");
  listen(problem, progress);
  const std::uint64_t n_features = problem.request.n_features;
  const FeatureLists lists = feature_lists(problem, complete_object, partial_object, choose);

  quarnel::PartialCombatOutput output = run_core([&] {
    return lists.choose ? quarnel::combat_dense_judged(problem.request, problem.options, *lists.choose)
                        : quarnel::combat_dense_partial(problem.request, problem.options,
                                                        lists.complete, lists.partial);
  });
  quarnel::CombatDenseOutput& dense = output.output;
  if (dense.adjusted.size() != problem.request.n_samples * n_features ||
      (!lists.choose && output.partial.size() != lists.partial.size())) {
    raise_internal_fault("combat_dense_partial returned a result unlike its request");
  }

  nb::dict result;
  result["adjusted"] = adopt(std::move(dense.adjusted),
                             {static_cast<std::size_t>(problem.request.n_samples),
                              static_cast<std::size_t>(n_features)});
  result["report"] = report_dict(dense.report);
  put_partial(result, output.partial);
  return result;
}

// ---------------------------------------------------------------------------------------
// The model as a dict of plain arrays

// A levels x features model matrix (column-major) as a row-major NumPy array.
template <class T, class M>
nb::object matrix_array(const M& matrix) {
  std::vector<T> data;
  data.reserve(static_cast<std::size_t>(matrix.size()));
  for (Eigen::Index r = 0; r < matrix.rows(); ++r) {
    for (Eigen::Index c = 0; c < matrix.cols(); ++c) data.push_back(static_cast<T>(matrix(r, c)));
  }
  return adopt(std::move(data), {static_cast<std::size_t>(matrix.rows()), static_cast<std::size_t>(matrix.cols())});
}

template <class T, class Items>
nb::object vector_array(const Items& items) {
  std::vector<T> data(items.begin(), items.end());
  const std::size_t n = data.size();
  return adopt(std::move(data), {n});
}

// The four priors of each level, one array each.
void put_priors(nb::dict& dict, const std::vector<quarnel::LevelPrior>& priors) {
  std::vector<double> gamma_bar, tau2, a_prior, b_prior;
  for (const quarnel::LevelPrior& prior : priors) {
    gamma_bar.push_back(prior.gamma_bar);
    tau2.push_back(prior.tau2);
    a_prior.push_back(prior.a_prior);
    b_prior.push_back(prior.b_prior);
  }
  const std::size_t n = priors.size();
  dict["gamma_bar"] = adopt(std::move(gamma_bar), {n});
  dict["tau2"] = adopt(std::move(tau2), {n});
  dict["a_prior"] = adopt(std::move(a_prior), {n});
  dict["b_prior"] = adopt(std::move(b_prior), {n});
}

void put_effects(nb::dict& dict, const auto& corrected, const quarnel::Matrix& gamma_hat,
                 const quarnel::Matrix& delta_hat, const quarnel::Matrix& gamma_star,
                 const quarnel::Matrix& delta_star) {
  dict["corrected"] = matrix_array<std::uint8_t>(corrected);
  dict["gamma_hat"] = matrix_array<double>(gamma_hat);
  dict["delta_hat"] = matrix_array<double>(delta_hat);
  dict["gamma_star"] = matrix_array<double>(gamma_star);
  dict["delta_star"] = matrix_array<double>(delta_star);
}

nb::dict model_dict(const quarnel::CombatModel& model) {
  nb::dict dict;
  dict["n_features"] = nb::int_(model.n_features);
  dict["features"] = vector_array<std::int64_t>(model.features);
  dict["zero_variance_features"] = vector_array<std::int64_t>(model.zero_variance_features);
  dict["batch_ids"] = vector_array<std::int64_t>(model.batch_ids);
  dict["level_sizes"] = vector_array<std::int64_t>(model.level_sizes);
  dict["reference"] = nb::int_(model.reference_level
                                   ? static_cast<std::int64_t>(model.batch_ids[*model.reference_level])
                                   : -1);
  dict["n_covariates"] = nb::int_(model.n_covariates);
  dict["covariate_columns"] = vector_array<std::int64_t>(model.covariate_columns);
  dict["par_prior"] = nb::bool_(model.par_prior);
  dict["exact"] = nb::bool_(model.exact);
  dict["mean_only"] = nb::bool_(model.mean_only);
  dict["effective_mean_only"] = nb::bool_(model.effective_mean_only);
  dict["grand_mean"] = vector_array<double>(model.grand_mean);
  dict["covariate_coefficients"] = matrix_array<double>(model.covariate_coefficients);
  dict["pooled_variance"] = vector_array<double>(model.pooled_variance);
  put_effects(dict, model.corrected, model.gamma_hat, model.delta_hat, model.gamma_star,
              model.delta_star);
  put_priors(dict, model.priors);
  return dict;
}

nb::handle model_item(nb::handle dict, const char* key) {
  PyObject* item = PyDict_Check(dict.ptr()) ? PyDict_GetItemString(dict.ptr(), key) : nullptr;
  if (item == nullptr) raise(PyExc_ValueError, "model has no '%s'", key);
  return item;
}

template <class T>
constexpr std::string_view dtype_name() {
  if constexpr (std::is_same_v<T, double>) return "float64";
  if constexpr (std::is_same_v<T, std::int64_t>) return "int64";
  if constexpr (std::is_same_v<T, std::uint8_t>) return "uint8";
}

// The counts a model's arrays run along (see quarnel::kModelArrays), each set by the first
// array read along it.
using ModelCounts = std::array<std::optional<std::size_t>, 4>;

// The model's array `key`, read in place as the core's table lays it out, its extents
// checked against the counts read before it.
template <class T>
std::span<const T> model_array(nb::handle dict, const char* key, ModelCounts& counts,
                               std::vector<ArrayView<T>>& keep) {
  const quarnel::ModelArray& layout = quarnel::model_array_layout(key);
  if (layout.dtype != dtype_name<T>()) raise_internal_fault("a model array read as another element type");
  const std::size_t ndim = layout.axes[1] ? 2 : 1;
  keep.push_back(read_in_place<T>(model_item(dict, key), key, ndim, layout.dtype.data()));
  const ArrayView<T>& array = keep.back();
  for (std::size_t axis = 0; axis < ndim; ++axis) {
    std::optional<std::size_t>& count = counts[static_cast<std::size_t>(*layout.axes[axis])];
    if (count && array.shape(axis) != *count) {
      raise(PyExc_ValueError, "model's '%s' has %zu entries along axis %zu, not %zu", key,
            array.shape(axis), axis, *count);
    }
    count = array.shape(axis);
  }
  return elements(array);
}

template <class M, class T>
M model_matrix(std::span<const T> data, std::size_t rows, std::size_t cols) {
  M matrix(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(cols));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      matrix(static_cast<Eigen::Index>(r), static_cast<Eigen::Index>(c)) = data[r * cols + c];
    }
  }
  return matrix;
}

// The model a dict describes, its shapes checked against each other; the values are the
// caller's, as fit returned them or as a file kept them.
quarnel::CombatModel read_model(nb::handle dict) {
  std::vector<ArrayView<std::int64_t>> ints;
  std::vector<ArrayView<double>> reals;
  std::vector<ArrayView<std::uint8_t>> flags;
  quarnel::CombatModel model;
  ModelCounts counts;
  model.n_features = nb::cast<std::uint64_t>(model_item(dict, "n_features"));
  const auto features = model_array<std::int64_t>(dict, "features", counts, ints);
  const std::size_t g = features.size();
  const auto ids = model_array<std::int64_t>(dict, "batch_ids", counts, ints);
  const std::size_t l = ids.size();
  if (l < 2) raise(PyExc_ValueError, "model has %zu batches; a model has at least two", l);
  for (const std::int64_t f : features) {
    if (f < 0 || static_cast<std::uint64_t>(f) >= model.n_features) {
      raise(PyExc_ValueError, "model's feature %lld is not below its n_features", static_cast<long long>(f));
    }
    model.features.push_back(static_cast<std::size_t>(f));
  }
  if (!std::ranges::is_sorted(model.features) || std::ranges::adjacent_find(model.features) != model.features.end()) {
    raise(PyExc_ValueError, "model's features are not strictly ascending");
  }
  for (const std::int64_t id : ids) model.batch_ids.push_back(static_cast<std::uint64_t>(id));
  if (!std::ranges::is_sorted(model.batch_ids) || std::ranges::adjacent_find(model.batch_ids) != model.batch_ids.end()) {
    raise(PyExc_ValueError, "model's batch_ids are not strictly ascending");
  }
  for (const std::int64_t size : model_array<std::int64_t>(dict, "level_sizes", counts, ints)) {
    model.level_sizes.push_back(static_cast<std::size_t>(size));
  }
  for (const std::int64_t f : model_array<std::int64_t>(dict, "zero_variance_features", counts, ints)) {
    model.zero_variance_features.push_back(static_cast<std::uint64_t>(f));
  }
  const auto reference = nb::cast<std::int64_t>(model_item(dict, "reference"));
  if (reference >= 0) {
    const auto at = std::ranges::find(model.batch_ids, static_cast<std::uint64_t>(reference));
    if (at == model.batch_ids.end()) raise(PyExc_ValueError, "model's reference is not one of its batches");
    model.reference_level = static_cast<std::size_t>(at - model.batch_ids.begin());
  }
  model.n_covariates = nb::cast<std::uint64_t>(model_item(dict, "n_covariates"));
  for (const std::int64_t c : model_array<std::int64_t>(dict, "covariate_columns", counts, ints)) {
    if (c < 0 || static_cast<std::uint64_t>(c) >= model.n_covariates) {
      raise(PyExc_ValueError, "model's covariate column %lld is not below its n_covariates", static_cast<long long>(c));
    }
    model.covariate_columns.push_back(static_cast<std::size_t>(c));
  }
  const std::size_t k = model.covariate_columns.size();
  model.par_prior = nb::cast<bool>(model_item(dict, "par_prior"));
  model.exact = nb::cast<bool>(model_item(dict, "exact"));
  model.mean_only = nb::cast<bool>(model_item(dict, "mean_only"));
  model.effective_mean_only = nb::cast<bool>(model_item(dict, "effective_mean_only"));
  const auto grand = model_array<double>(dict, "grand_mean", counts, reals);
  model.grand_mean.assign(grand.begin(), grand.end());
  const auto pooled = model_array<double>(dict, "pooled_variance", counts, reals);
  model.pooled_variance.assign(pooled.begin(), pooled.end());
  model.covariate_coefficients = model_matrix<quarnel::Matrix>(
      model_array<double>(dict, "covariate_coefficients", counts, reals), k, g);
  model.corrected = model_matrix<Eigen::Matrix<unsigned char, Eigen::Dynamic, Eigen::Dynamic>>(
      model_array<std::uint8_t>(dict, "corrected", counts, flags), l, g);
  model.gamma_hat = model_matrix<quarnel::Matrix>(model_array<double>(dict, "gamma_hat", counts, reals), l, g);
  model.delta_hat = model_matrix<quarnel::Matrix>(model_array<double>(dict, "delta_hat", counts, reals), l, g);
  model.gamma_star = model_matrix<quarnel::Matrix>(model_array<double>(dict, "gamma_star", counts, reals), l, g);
  model.delta_star = model_matrix<quarnel::Matrix>(model_array<double>(dict, "delta_star", counts, reals), l, g);
  const auto gamma_bar = model_array<double>(dict, "gamma_bar", counts, reals);
  const auto tau2 = model_array<double>(dict, "tau2", counts, reals);
  const auto a_prior = model_array<double>(dict, "a_prior", counts, reals);
  const auto b_prior = model_array<double>(dict, "b_prior", counts, reals);
  for (std::size_t level = 0; level < l; ++level) {
    model.priors.push_back({gamma_bar[level], tau2[level], a_prior[level], b_prior[level]});
  }
  return model;
}

// A fit's result: the model, the report and the partial features' outcomes.
nb::dict fit_dict(const quarnel::ModelFit& fitted) {
  nb::dict result;
  result["model"] = model_dict(fitted.model);
  result["report"] = report_dict(fitted.report);
  put_partial(result, fitted.partial);
  return result;
}

nb::dict fit(nb::handle values, nb::handle batch, nb::handle mod, nb::handle par_prior,
             nb::handle mean_only, nb::handle ref_batch, nb::handle complete_object,
             nb::handle partial_object, nb::handle progress, nb::handle exact, nb::handle choose) {
  Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  problem.options.exact = read_flag(exact, "exact");
  listen(problem, progress);
  const FeatureLists lists = feature_lists(problem, complete_object, partial_object, choose);
  const quarnel::ModelFit fitted = run_core([&] {
    return lists.choose ? quarnel::fit_model_judged(problem.request, problem.options, *lists.choose)
                        : quarnel::fit_model(problem.request, problem.options, lists.complete, lists.partial);
  });
  return fit_dict(fitted);
}

nb::dict apply(nb::handle model_object, nb::handle values, nb::handle batch, nb::handle mod,
               nb::handle new_batches, nb::handle progress) {
  const quarnel::CombatModel model = read_model(model_object);
  Problem problem(values, batch, mod, nb::bool_(true), nb::bool_(false), nb::none());
  listen(problem, progress);
  const quarnel::ApplyOptions options{read_flag(new_batches, "new_batches"),
                                      problem.options.cancel_requested};
  quarnel::ApplyOutput applied =
      run_core([&] { return quarnel::apply_model(model, problem.request, options); });
  const quarnel::NewLevels& fresh = applied.new_levels;
  nb::dict levels;
  levels["batch_ids"] = vector_array<std::int64_t>(fresh.batch_ids);
  put_effects(levels, fresh.corrected, fresh.gamma_hat, fresh.delta_hat, fresh.gamma_star,
              fresh.delta_star);
  put_priors(levels, fresh.priors);
  nb::dict result;
  result["adjusted"] = adopt(std::move(applied.adjusted),
                             {static_cast<std::size_t>(problem.request.n_samples),
                              static_cast<std::size_t>(problem.request.n_features)});
  result["new_batches"] = levels;
  return result;
}

// ---------------------------------------------------------------------------------------
// The rounds of a run fitted over chunks of features (see quarnel/stages.hpp)

// The run's mode as (missing, effective_mean_only, n_kept).
quarnel::RunMode read_mode(nb::handle object) {
  const nb::tuple mode = nb::cast<nb::tuple>(object);
  if (mode.size() != 3) raise(PyExc_ValueError, "mode is (missing, effective_mean_only, n_kept)");
  return quarnel::RunMode{nb::cast<bool>(mode[0]), nb::cast<bool>(mode[1]),
                          nb::cast<std::size_t>(mode[2])};
}

nb::tuple mode_tuple(const quarnel::RunMode& mode) {
  return nb::make_tuple(mode.missing, mode.effective_mean_only, mode.n_kept);
}

// A row-major levels x features float64 array as a model matrix.
template <class T>
Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic> read_matrix(nb::handle object, const char* name,
                                                            const char* dtype) {
  const ArrayView<T> array = read_in_place<T>(object, name, 2, dtype);
  return model_matrix<Eigen::Matrix<T, Eigen::Dynamic, Eigen::Dynamic>>(elements(array), array.shape(0),
                                                                        array.shape(1));
}

quarnel::ParametricEstimates read_raw(nb::handle gamma_hat, nb::handle delta_hat) {
  quarnel::ParametricEstimates raw;
  raw.gamma_hat = read_matrix<double>(gamma_hat, "gamma_hat", "float64");
  raw.delta_hat = read_matrix<double>(delta_hat, "delta_hat", "float64");
  if (raw.gamma_hat.rows() != raw.delta_hat.rows() || raw.gamma_hat.cols() != raw.delta_hat.cols()) {
    raise(PyExc_ValueError, "gamma_hat and delta_hat differ in shape");
  }
  return raw;
}

std::vector<std::size_t> read_counts(nb::handle object, const char* name) {
  const ArrayView<std::int64_t> array = read_in_place<std::int64_t>(object, name, 1, "int64");
  std::vector<std::size_t> out;
  for (const std::int64_t v : elements(array)) {
    if (v < 0) raise(PyExc_ValueError, "%s holds a negative entry", name);
    out.push_back(static_cast<std::size_t>(v));
  }
  return out;
}

nb::tuple run_mode(nb::handle batch_object, nb::handle mean_only, std::size_t n_kept, bool missing) {
  const ArrayView<std::int64_t> batch = read_in_place<std::int64_t>(batch_object, "batch", 1, "int64");
  std::vector<std::uint64_t> ids(elements(batch).begin(), elements(batch).end());
  const quarnel::BatchLevels levels = run_core([&] { return quarnel::BatchLevels::from_ids(ids, ids.size()); });
  return mode_tuple(quarnel::decide_run_mode(read_flag(mean_only, "mean_only"), levels, n_kept, missing));
}

std::optional<bool> read_optional_flag(nb::handle object, const char* name) {
  if (object.is_none()) return std::nullopt;
  return read_flag(object, name);
}

nb::dict judge(nb::handle values, nb::handle batch, nb::handle mod, nb::handle par_prior, nb::handle mean_only,
               nb::handle ref_batch, nb::handle missing, nb::handle judge_scales) {
  const Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  quarnel::JudgedChunk judged = run_core([&] {
    return quarnel::judge_chunk(problem.request, problem.options, read_optional_flag(missing, "missing"),
                                read_optional_flag(judge_scales, "judge_scales"));
  });
  nb::dict result = verdict_arrays(judged.assessment);
  const std::size_t n_kept = judged.kept.size();
  result["kept"] = vector_array<std::int64_t>(judged.kept);
  result["holds_nan"] = adopt(std::move(judged.holds_nan), {n_kept});
  result["missing"] = nb::bool_(judged.missing);
  result["judge_scales"] = nb::bool_(judged.judge_scales);
  result["gamma_hat"] = matrix_array<double>(judged.gamma_hat);
  result["delta_hat"] = matrix_array<double>(judged.scales.delta_hat);
  result["counts"] = matrix_array<std::int64_t>(judged.scales.counts);
  result["location_error"] = judged.location_error ? combat_exception(*judged.location_error) : nb::none();
  return result;
}

// A chunk's traces: per level (changes, failure detail or None); none without kept features.
std::vector<quarnel::LevelTrace> read_traces(nb::handle object) {
  std::vector<quarnel::LevelTrace> traces;
  for (nb::handle level : nb::cast<nb::list>(object)) {
    const nb::tuple pair = nb::cast<nb::tuple>(level);
    quarnel::LevelTrace trace;
    const ArrayView<double> changes = read_in_place<double>(pair[0], "changes", 1, "float64");
    trace.changes.assign(elements(changes).begin(), elements(changes).end());
    if (!pair[1].is_none()) trace.outcome = quarnel::fail(quarnel::NumericalFailure{nb::cast<std::string>(pair[1])});
    traces.push_back(std::move(trace));
  }
  return traces;
}

nb::list trace_list(const std::vector<quarnel::LevelTrace>& traces) {
  nb::list list;
  for (const quarnel::LevelTrace& trace : traces) {
    nb::object failure = nb::none();
    if (!trace.outcome) {
      const auto* numerical = std::get_if<quarnel::NumericalFailure>(&trace.outcome.error());
      if (numerical == nullptr) raise_internal_fault("a solver failed with other than a numerical failure");
      failure = nb::str(numerical->detail.data(), numerical->detail.size());
    }
    list.append(nb::make_tuple(vector_array<double>(trace.changes), failure));
  }
  return list;
}

nb::dict settle(nb::handle batch_object, nb::handle par_prior, nb::handle mean_only,
                nb::handle ref_batch, nb::handle mode_object, nb::handle gamma_hat,
                nb::handle delta_hat, nb::handle counts, nb::handle traces_object) {
  const ArrayView<std::int64_t> batch = read_in_place<std::int64_t>(batch_object, "batch", 1, "int64");
  std::vector<std::uint64_t> ids(elements(batch).begin(), elements(batch).end());
  quarnel::CombatOptions options;
  options.par_prior = read_flag(par_prior, "par_prior");
  options.mean_only = read_flag(mean_only, "mean_only");
  options.ref_batch = read_ref_batch(ref_batch);
  const quarnel::RunMode mode = read_mode(mode_object);
  const quarnel::ParametricEstimates raw = read_raw(gamma_hat, delta_hat);
  quarnel::ScaleMeasurements scales;
  scales.delta_hat = raw.delta_hat;
  scales.counts = read_matrix<std::int64_t>(counts, "counts", "int64").cast<std::size_t>();
  std::vector<std::vector<quarnel::LevelTrace>> traces;
  if (!traces_object.is_none()) {
    for (nb::handle chunk : nb::cast<nb::list>(traces_object)) traces.push_back(read_traces(chunk));
  }
  const quarnel::RunSettlement settled = run_core([&]() -> quarnel::Result<quarnel::RunSettlement> {
    quarnel::Result<quarnel::BatchLevels> levels = quarnel::BatchLevels::from_ids(ids, ids.size());
    if (!levels) return quarnel::fail(std::move(levels.error()));
    return quarnel::settle_run(*levels, options, mode, raw, scales, traces);
  });
  nb::dict result;
  result["settled"] = nb::bool_(settled.settled);
  result["passes"] = vector_array<std::int64_t>(settled.passes);
  result["explore_from"] = vector_array<std::int64_t>(settled.explore_from);
  return result;
}

nb::dict trace(nb::handle values, nb::handle batch, nb::handle mod, nb::handle par_prior,
               nb::handle mean_only, nb::handle ref_batch, nb::handle complete_object,
               nb::handle partial_object, nb::handle mode_object, nb::handle gamma_hat,
               nb::handle delta_hat, std::size_t offset, nb::handle explore_object, nb::handle exact) {
  Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  problem.options.exact = read_flag(exact, "exact");
  std::vector<std::size_t> complete, partial;
  read_lists(problem, complete_object, partial_object, complete, partial);
  const quarnel::RunMode mode = read_mode(mode_object);
  const quarnel::ParametricEstimates raw = read_raw(gamma_hat, delta_hat);
  const std::vector<std::size_t> explore_from = read_counts(explore_object, "explore_from");
  const quarnel::TracedChunk traced = run_core([&] {
    return quarnel::trace_chunk(problem.request, problem.options, complete, partial, mode, raw, offset,
                                explore_from);
  });
  nb::dict result;
  result["traces"] = trace_list(traced.traces);
  result["fit"] = traced.fit ? nb::object(fit_dict(*traced.fit)) : nb::none();
  return result;
}

nb::dict fit_chunk(nb::handle values, nb::handle batch, nb::handle mod, nb::handle par_prior,
                   nb::handle mean_only, nb::handle ref_batch, nb::handle complete_object,
                   nb::handle partial_object, nb::handle mode_object, nb::handle gamma_hat,
                   nb::handle delta_hat, std::size_t offset, nb::handle passes_object,
                   nb::handle exact) {
  Problem problem(values, batch, mod, par_prior, mean_only, ref_batch);
  problem.options.exact = read_flag(exact, "exact");
  std::vector<std::size_t> complete, partial;
  read_lists(problem, complete_object, partial_object, complete, partial);
  const quarnel::RunMode mode = read_mode(mode_object);
  const quarnel::ParametricEstimates raw = read_raw(gamma_hat, delta_hat);
  const std::vector<std::size_t> passes = read_counts(passes_object, "passes");
  const quarnel::ModelFit fitted = run_core([&] {
    return quarnel::fit_chunk(problem.request, problem.options, complete, partial, mode, raw,
                              offset, passes);
  });
  return fit_dict(fitted);
}

// ---------------------------------------------------------------------------------------
// New batches estimated over chunks of a model's features (see quarnel/new_batches.hpp)

nb::dict new_batch_record(const quarnel::NewBatchEstimates& raw) {
  nb::dict record;
  record["batch_ids"] = vector_array<std::int64_t>(raw.batch_ids);
  record["sizes"] = vector_array<std::int64_t>(raw.sizes);
  record["gamma_hat"] = matrix_array<double>(raw.gamma_hat);
  record["delta_hat"] = matrix_array<double>(raw.delta_hat);
  record["counts"] = matrix_array<std::int64_t>(raw.counts);
  return record;
}

quarnel::NewBatchEstimates read_new_batch_record(nb::handle object) {
  const nb::dict record = nb::cast<nb::dict>(object);
  quarnel::NewBatchEstimates raw;
  const ArrayView<std::int64_t> ids = read_in_place<std::int64_t>(record["batch_ids"], "batch_ids", 1, "int64");
  for (const std::int64_t id : elements(ids)) raw.batch_ids.push_back(static_cast<std::uint64_t>(id));
  raw.sizes = read_counts(record["sizes"], "sizes");
  raw.gamma_hat = read_matrix<double>(record["gamma_hat"], "gamma_hat", "float64");
  raw.delta_hat = read_matrix<double>(record["delta_hat"], "delta_hat", "float64");
  raw.counts = read_matrix<std::int64_t>(record["counts"], "counts", "int64").cast<std::size_t>();
  const auto n_new = static_cast<Eigen::Index>(raw.batch_ids.size());
  if (static_cast<Eigen::Index>(raw.sizes.size()) != n_new || raw.gamma_hat.rows() != n_new ||
      raw.delta_hat.rows() != n_new || raw.counts.rows() != n_new ||
      raw.delta_hat.cols() != raw.gamma_hat.cols() || raw.counts.cols() != raw.gamma_hat.cols()) {
    raise(PyExc_ValueError, "the new batches' record differs in shape from its batches");
  }
  return raw;
}

// The request of a chunk a model part is applied to, as apply reads it.
Problem applied_problem(nb::handle values, nb::handle batch, nb::handle mod) {
  return Problem(values, batch, mod, nb::bool_(true), nb::bool_(false), nb::none());
}

nb::dict new_batch_estimates(nb::handle model_object, nb::handle values, nb::handle batch,
                             nb::handle mod) {
  const quarnel::CombatModel model = read_model(model_object);
  const Problem problem = applied_problem(values, batch, mod);
  return new_batch_record(run_core([&] { return quarnel::new_batch_estimates(model, problem.request); }));
}

nb::dict settle_new_batches(nb::handle model_object, nb::handle raw_object, nb::handle traces_object) {
  const quarnel::CombatModel model = read_model(model_object);
  const quarnel::NewBatchEstimates raw = read_new_batch_record(raw_object);
  std::vector<std::vector<std::optional<quarnel::LevelTrace>>> traces;
  if (!traces_object.is_none()) {
    for (nb::handle chunk : nb::cast<nb::list>(traces_object)) {
      std::vector<std::optional<quarnel::LevelTrace>> batches;
      for (nb::handle batch : nb::cast<nb::list>(chunk)) {
        if (batch.is_none()) {
          batches.emplace_back();
          continue;
        }
        nb::list one;
        one.append(batch);
        batches.emplace_back(std::move(read_traces(one).front()));
      }
      traces.push_back(std::move(batches));
    }
  }
  const quarnel::RunSettlement settled =
      run_core([&] { return quarnel::settle_new_batches(model, raw, traces); });
  nb::dict result;
  result["settled"] = nb::bool_(settled.settled);
  result["passes"] = vector_array<std::int64_t>(settled.passes);
  result["explore_from"] = vector_array<std::int64_t>(settled.explore_from);
  return result;
}

nb::list trace_new_batches(nb::handle model_object, nb::handle values, nb::handle batch,
                           nb::handle mod, nb::handle raw_object, std::size_t offset,
                           nb::handle explore_object) {
  const quarnel::CombatModel model = read_model(model_object);
  const Problem problem = applied_problem(values, batch, mod);
  const quarnel::NewBatchEstimates raw = read_new_batch_record(raw_object);
  const std::vector<std::size_t> explore_from = read_counts(explore_object, "explore_from");
  if (explore_from.size() != raw.batch_ids.size()) raise(PyExc_ValueError, "explore_from has one entry per new batch");
  if (offset + model.features.size() > static_cast<std::size_t>(raw.gamma_hat.cols())) {
    raise(PyExc_ValueError, "the chunk's features lie beyond the new batches' record");
  }
  const std::vector<std::optional<quarnel::LevelTrace>> traces = run_core([&] {
    return quarnel::trace_new_batches(model, problem.request, raw, offset, explore_from);
  });
  nb::list list;
  for (const std::optional<quarnel::LevelTrace>& trace : traces) {
    if (!trace) {
      list.append(nb::none());
      continue;
    }
    list.append(trace_list({*trace})[0]);
  }
  return list;
}

nb::dict new_batch_posteriors(nb::handle model_object, nb::handle values, nb::handle batch,
                              nb::handle mod, nb::handle raw_object, std::size_t offset,
                              nb::handle passes_object) {
  const quarnel::CombatModel model = read_model(model_object);
  const Problem problem = applied_problem(values, batch, mod);
  const quarnel::NewBatchEstimates raw = read_new_batch_record(raw_object);
  const std::vector<std::size_t> passes = read_counts(passes_object, "passes");
  if (passes.size() != raw.batch_ids.size()) raise(PyExc_ValueError, "passes has one entry per new batch");
  if (offset + model.features.size() > static_cast<std::size_t>(raw.gamma_hat.cols())) {
    raise(PyExc_ValueError, "the chunk's features lie beyond the new batches' record");
  }
  const quarnel::NewLevels fresh = run_core([&] {
    return quarnel::new_batch_posteriors(model, problem.request, raw, offset, passes);
  });
  nb::dict levels;
  levels["batch_ids"] = vector_array<std::int64_t>(fresh.batch_ids);
  put_effects(levels, fresh.corrected, fresh.gamma_hat, fresh.delta_hat, fresh.gamma_star,
              fresh.delta_star);
  put_priors(levels, fresh.priors);
  return levels;
}

// The names of the FeatureIssue codes, indexed by code.
constexpr std::pair<quarnel::FeatureIssue, const char*> issue_names[] = {
    {quarnel::FeatureIssue::none, "none"},
    {quarnel::FeatureIssue::constant, "constant"},
    {quarnel::FeatureIssue::no_values, "no_values"},
    {quarnel::FeatureIssue::few_values, "few_values"},
    {quarnel::FeatureIssue::no_residual, "no_residual"},
    {quarnel::FeatureIssue::singular, "singular"},
    {quarnel::FeatureIssue::equal_values, "equal_values"},
    {quarnel::FeatureIssue::numerical, "numerical"},
    {quarnel::FeatureIssue::one_batch, "one_batch"},
    {quarnel::FeatureIssue::no_reference, "no_reference"},
    {quarnel::FeatureIssue::no_prior, "no_prior"},
    {quarnel::FeatureIssue::level_fitted, "level_fitted"},
    {quarnel::FeatureIssue::too_large, "too_large"},
};
static_assert([] {
  for (std::size_t code = 0; code < std::size(issue_names); ++code) {
    if (static_cast<std::size_t>(issue_names[code].first) != code) return false;
  }
  return true;
}());


// ---------------------------------------------------------------------------------------
// The count correction

// Raw counts (float64 holding integers, samples x genes) corrected with the negative-
// binomial model; the arrays are read in place as for the other calls.
nb::dict combat_counts(nb::handle counts_object, nb::handle batch_object, nb::handle mod_object,
                       nb::handle ref_batch, nb::handle library_size_object, nb::handle progress) {
  const ArrayView<double> counts = read_in_place<double>(counts_object, "counts", 2, "float64");
  const ArrayView<std::int64_t> batch = read_in_place<std::int64_t>(batch_object, "batch", 1, "int64");
  const std::size_t n_samples = counts.shape(0);
  std::optional<ArrayView<double>> mod;
  if (!mod_object.is_none()) {
    mod = read_in_place<double>(mod_object, "mod", 2, "float64");
    if (mod->shape(0) != n_samples) {
      raise(PyExc_ValueError, "mod row count must match counts samples: expected %zu, got %zu",
            n_samples, mod->shape(0));
    }
  }
  std::optional<ArrayView<double>> library_size;
  if (!library_size_object.is_none()) {
    library_size = read_in_place<double>(library_size_object, "library_size", 1, "float64");
  }
  std::vector<std::uint64_t> batch_ids;
  batch_ids.reserve(batch.size());
  for (const std::int64_t id : elements(batch)) {
    if (id < 0) {
      raise(PyExc_ValueError, "batch ids must be non-negative; sample %zu has %lld",
            batch_ids.size(), static_cast<long long>(id));
    }
    batch_ids.push_back(static_cast<std::uint64_t>(id));
  }
  quarnel::CountsRequest request;
  request.counts = elements(counts);
  request.batch = batch_ids;
  request.n_samples = n_samples;
  request.n_genes = counts.shape(1);
  if (mod) request.covariates = quarnel::CovariateMatrix{elements(*mod), mod->shape(1)};
  if (library_size) request.library_size = elements(*library_size);
  quarnel::CountsOptions options;
  options.ref_batch = read_ref_batch(ref_batch);
  options.cancel_requested = signal_handler_raised;
  if (!progress.is_none()) {
    if (PyCallable_Check(progress.ptr()) == 0) raise(PyExc_TypeError, "progress must be callable or None");
    options.cancel_requested = progress_reported_to(progress.ptr());
  }

  quarnel::CountsOutput out = run_core([&] { return quarnel::combat_counts(request, options); });
  if (out.corrected.size() != n_samples * request.n_genes) {
    raise_internal_fault("combat_counts returned a result unlike its request");
  }
  std::vector<std::uint8_t> outcome;
  std::vector<std::int64_t> outcome_batch;
  for (std::size_t g = 0; g < out.outcome.size(); ++g) {
    outcome.push_back(static_cast<std::uint8_t>(out.outcome[g]));
    outcome_batch.push_back(batch_or_none(out.outcome_batch[g]));
  }
  const std::size_t n_genes = request.n_genes;
  nb::dict result;
  result["corrected"] = adopt(std::move(out.corrected), {n_samples, n_genes});
  result["outcome"] = adopt(std::move(outcome), {n_genes});
  result["outcome_batch"] = adopt(std::move(outcome_batch), {n_genes});
  result["coefficients"] = matrix_array<double>(out.coefficients);
  result["dispersion"] = matrix_array<double>(out.dispersion);
  result["adjusted_profile"] = matrix_array<double>(out.adjusted_profile);
  result["log_likelihood"] = vector_array<double>(out.log_likelihood);
  result["offset"] = vector_array<double>(out.offset);
  result["tail_kept"] = vector_array<std::int64_t>(out.tail_kept);
  return result;
}

constexpr const char module_doc[] =
    "The core's per-feature verdicts and its partial-batch run, for the quarnel package.\n"
    "\n"
    "Arrays are NumPy float64 (values, mod) and int64 (batch, feature lists), C-contiguous\n"
    "and read in place. Both functions release the interpreter lock while the core works\n"
    "and stop at Ctrl-C between its stages. A failure of the run raises ValueError (the\n"
    "input) or RuntimeError (a numerical failure) carrying the error's payload as\n"
    "attributes: `kind` names the error (e.g. 'InvalidDesign') and its fields follow under\n"
    "their own names (`columns` as a tuple, `sample`, `feature`, `column`, `batch_id`,\n"
    "`detail`, ...). Broken invariants raise _quarnel.InternalFault.";

constexpr const char assess_doc[] =
    "Every feature's verdict: whether the run can estimate it, and if not, why.\n"
    "\n"
    "Returns a dict: 'issue' (uint8 per feature, a code indexing FEATURE_ISSUES), 'batch'\n"
    "(int64 per feature, the batch id the issue concerns or -1) and 'effective_mean_only'\n"
    "(the mode the verdicts were judged in). Fails only for errors of the whole request.";

constexpr const char combat_partial_doc[] =
    "Corrects the complete features as one run and each partial feature in the batches\n"
    "where it is observed.\n"
    "\n"
    "complete and partial are int64 arrays of strictly ascending, disjoint feature indices.\n"
    "partial=None means none; complete=None means every feature not in partial. Features in\n"
    "neither list, and partial features that cannot be corrected, come back unchanged.\n"
    "\n"
    "Returns a dict: 'adjusted' (a new float64 n_samples x n_features array), 'report'\n"
    "(the complete run's report, as _quarnel.combat gives it), and per partial feature\n"
    "'partial_issue' (uint8 FEATURE_ISSUES code, 0 when corrected), 'partial_batch' (int64\n"
    "batch id the issue concerns, or -1) and 'partial_batches' (list of the batch ids it\n"
    "was corrected in).\n"
    "\n"
    "exact=False forms the non-parametric likelihoods from each job's count, mean and\n"
    "centred sum of squares rather than from every value: equal to rounding.\n"
    "\n"
    "choose, when given in place of the lists, is called once as choose(issue, batch) with\n"
    "every feature's verdict as assess gives it, from the standardisation the run then goes\n"
    "on from, and returns the (complete, partial) lists; an exception it raises stops the\n"
    "run. The result is that of the lists it returns, with every feature standardised once.\n"
    "\n"
    "progress, when given, is called as progress(stage, done, total) on the calling thread\n"
    "between the stages of the run and the slices of its long stages; an exception it\n"
    "raises stops the run.";

constexpr const char fit_doc[] =
    "Fits the correction of the complete features as one run and of each partial feature\n"
    "where it is observed, without correcting anything.\n"
    "\n"
    "Returns a dict: 'model' (the fitted model as plain arrays: 'features', 'batch_ids',\n"
    "'grand_mean', 'covariate_coefficients', 'pooled_variance', levels x features\n"
    "'corrected', 'gamma_hat', 'delta_hat', 'gamma_star', 'delta_star', per level\n"
    "'gamma_bar', 'tau2', 'a_prior', 'b_prior', and the options 'par_prior', 'exact',\n"
    "'mean_only', 'effective_mean_only', ...), and 'report', 'partial_issue',\n"
    "'partial_batch', 'partial_batches' as combat_partial gives them. exact=False fits the\n"
    "partial features with the fast non-parametric estimate too, and the model keeps it.";

constexpr const char apply_doc[] =
    "Corrects samples with a fitted model: apply(fit(...)['model'], values, batch) is\n"
    "combat_partial(values, batch)['adjusted'] bit for bit on the same data.\n"
    "\n"
    "Samples of batches the model has not seen raise ValueError (kind 'UnknownBatches')\n"
    "unless new_batches is true: each such batch is then estimated as one more level of the\n"
    "fitted run, with the model's 'exact' choice of non-parametric estimate. Returns a\n"
    "dict: 'adjusted' and 'new_batches' (the new levels' 'batch_ids', effects and priors,\n"
    "laid out as the model's).";

constexpr const char combat_counts_doc[] =
    "Corrects raw counts with the negative-binomial model, gene by gene.\n"
    "\n"
    "counts is a C-contiguous float64 n_samples x n_genes array of non-negative integers;\n"
    "batch the int64 batch id of each sample; mod the covariates (no intercept) or None;\n"
    "library_size the float64 N_j of each sample, or None for each sample's total count.\n"
    "Returns a dict: 'corrected' (int64 n_samples x n_genes), per gene 'outcome' (uint8:\n"
    "0 corrected, 1 no read in the batch 'outcome_batch' names, 2 the fit did not\n"
    "converge; passed through unchanged), 'log_likelihood' and 'tail_kept' (counts left as\n"
    "they were because their tail probability underflows), 'coefficients' (p x n_genes:\n"
    "one per batch level, then one per non-intercept covariate column), 'dispersion' and\n"
    "'adjusted_profile' (levels x n_genes: each batch's dispersion and its Cox-Reid adjusted\n"
    "profile log-likelihood at the fit; NaN for genes passed through) and 'offset' (the\n"
    "log library sizes less their mean). progress and Ctrl-C are as for combat_partial.";

}  // namespace

NB_MODULE(_engine, m) {
  m.doc() = module_doc;
  nb::module_ numpy = nb::module_::import_("numpy");
  ndarray_type = nb::object(numpy.attr("ndarray")).release().ptr();
  numpy_bool_type = nb::object(numpy.attr("bool_")).release().ptr();
  // The same type object as _quarnel's, so `except _quarnel.InternalFault` catches a fault
  // from either module.
  internal_fault =
      nb::object(nb::module_::import_("_quarnel").attr("InternalFault")).release().ptr();
  m.attr("InternalFault") = nb::handle(internal_fault);

  nb::list names;
  for (const auto& entry : issue_names) names.append(nb::str(entry.second));
  m.attr("FEATURE_ISSUES") = nb::tuple(names);

  // The model's arrays as the core lays them out: (name, dtype, the counts of its axes).
  nb::list arrays;
  for (const quarnel::ModelArray& array : quarnel::kModelArrays) {
    nb::list axes;
    for (const std::optional<quarnel::ModelExtent>& axis : array.axes) {
      if (axis) axes.append(nb::str(quarnel::extent_name(*axis).data()));
    }
    arrays.append(nb::make_tuple(nb::str(array.name.data(), array.name.size()),
                                 nb::str(array.dtype.data(), array.dtype.size()), nb::tuple(axes)));
  }
  m.attr("MODEL_ARRAYS") = nb::tuple(arrays);

  m.def("assess", &assess, nb::arg("values"), nb::arg("batch"),
        nb::arg("mod").none() = nb::none(), nb::arg("par_prior") = true,
        nb::arg("mean_only") = false, nb::arg("ref_batch").none() = nb::none(),
        nb::sig("def assess(values: numpy.ndarray, batch: numpy.ndarray, "
                "mod: numpy.ndarray | None = None, par_prior: bool = True, "
                "mean_only: bool = False, ref_batch: int | None = None) -> dict"),
        assess_doc);
  m.def("combat_counts", &combat_counts, nb::arg("counts"), nb::arg("batch"),
        nb::arg("mod").none() = nb::none(), nb::arg("ref_batch").none() = nb::none(),
        nb::arg("library_size").none() = nb::none(), nb::arg("progress").none() = nb::none(),
        nb::sig("def combat_counts(counts: numpy.ndarray, batch: numpy.ndarray, "
                "mod: numpy.ndarray | None = None, ref_batch: int | None = None, "
                "library_size: numpy.ndarray | None = None, "
                "progress: typing.Callable[[str, int, int], object] | None = None) -> dict"),
        combat_counts_doc);
  m.def("combat_partial", &combat_partial, nb::arg("values"), nb::arg("batch"),
        nb::arg("mod").none() = nb::none(), nb::arg("par_prior") = true,
        nb::arg("mean_only") = false, nb::arg("ref_batch").none() = nb::none(),
        nb::arg("complete").none() = nb::none(), nb::arg("partial").none() = nb::none(),
        nb::arg("progress").none() = nb::none(), nb::arg("exact") = true,
        nb::arg("choose").none() = nb::none(),
        nb::sig("def combat_partial(values: numpy.ndarray, batch: numpy.ndarray, "
                "mod: numpy.ndarray | None = None, par_prior: bool = True, "
                "mean_only: bool = False, ref_batch: int | None = None, "
                "complete: numpy.ndarray | None = None, "
                "partial: numpy.ndarray | None = None, "
                "progress: typing.Callable[[str, int, int], object] | None = None, "
                "exact: bool = True, choose: typing.Callable[[numpy.ndarray, numpy.ndarray], "
                "tuple[numpy.ndarray, numpy.ndarray]] | None = None) -> dict"),
        combat_partial_doc);
  m.def("fit", &fit, nb::arg("values"), nb::arg("batch"), nb::arg("mod").none() = nb::none(),
        nb::arg("par_prior") = true, nb::arg("mean_only") = false,
        nb::arg("ref_batch").none() = nb::none(), nb::arg("complete").none() = nb::none(),
        nb::arg("partial").none() = nb::none(), nb::arg("progress").none() = nb::none(),
        nb::arg("exact") = true, nb::arg("choose").none() = nb::none(),
        nb::sig("def fit(values: numpy.ndarray, batch: numpy.ndarray, "
                "mod: numpy.ndarray | None = None, par_prior: bool = True, "
                "mean_only: bool = False, ref_batch: int | None = None, "
                "complete: numpy.ndarray | None = None, partial: numpy.ndarray | None = None, "
                "progress: typing.Callable[[str, int, int], object] | None = None, "
                "exact: bool = True, choose: typing.Callable[[numpy.ndarray, numpy.ndarray], "
                "tuple[numpy.ndarray, numpy.ndarray]] | None = None) -> dict"),
        fit_doc);
  m.def("apply", &apply, nb::arg("model"), nb::arg("values"), nb::arg("batch"),
        nb::arg("mod").none() = nb::none(), nb::arg("new_batches") = false,
        nb::arg("progress").none() = nb::none(),
        nb::sig("def apply(model: dict, values: numpy.ndarray, batch: numpy.ndarray, "
                "mod: numpy.ndarray | None = None, new_batches: bool = False, "
                "progress: typing.Callable[[str, int, int], object] | None = None) -> dict"),
        apply_doc);
  // The stage calls take the problem's arguments first, all required: the rounds over the
  // chunks always pass the run's options.
#define QUARNEL_PROBLEM                                                                    \
  "values: numpy.ndarray, batch: numpy.ndarray, mod: numpy.ndarray | None, "               \
  "par_prior: bool, mean_only: bool, ref_batch: int | None"
#define QUARNEL_MODE "mode: tuple[bool, bool, int]"
  m.def("run_mode", &run_mode, nb::arg("batch"), nb::arg("mean_only"), nb::arg("n_kept"),
        nb::arg("missing"),
        nb::sig("def run_mode(batch: numpy.ndarray, mean_only: bool, n_kept: int, "
                "missing: bool) -> tuple[bool, bool, int]"),
        "The run's mode (missing, effective_mean_only, n_kept) from all of its kept features.");
  m.def("judge", &judge, nb::arg("values"), nb::arg("batch"), nb::arg("mod").none(),
        nb::arg("par_prior"), nb::arg("mean_only"), nb::arg("ref_batch").none(),
        nb::arg("missing").none(), nb::arg("judge_scales").none(),
        nb::sig("def judge(" QUARNEL_PROBLEM ", missing: bool | None, judge_scales: bool | None) -> dict"),
        "A chunk's first read: every feature's verdict ('issue', 'batch'), the features the\n"
        "zero-variance test keeps ('kept') with 'holds_nan' and their levels x kept 'gamma_hat',\n"
        "'delta_hat' and observed 'counts', in the mode given or, where None, the one the chunk\n"
        "suggests ('missing', 'judge_scales' tell which); 'location_error' is the exception of\n"
        "its raw locations, raised only if the run corrects one of its features, or None.");
  m.def("settle", &settle, nb::arg("batch"), nb::arg("par_prior"), nb::arg("mean_only"),
        nb::arg("ref_batch").none(), nb::arg("mode"), nb::arg("gamma_hat"), nb::arg("delta_hat"),
        nb::arg("counts"), nb::arg("traces").none(),
        nb::sig("def settle(batch: numpy.ndarray, par_prior: bool, mean_only: bool, "
                "ref_batch: int | None, " QUARNEL_MODE ", gamma_hat: numpy.ndarray, "
                "delta_hat: numpy.ndarray, counts: numpy.ndarray, traces: list | None) -> dict"),
        "Checks the run's gathered raw estimates and finds where each level's solver stops:\n"
        "'settled', and per level 'passes' and 'explore_from' for the next traces.");
  m.def("trace", &trace, nb::arg("values"), nb::arg("batch"), nb::arg("mod").none(),
        nb::arg("par_prior"), nb::arg("mean_only"), nb::arg("ref_batch").none(),
        nb::arg("complete"), nb::arg("partial"), nb::arg("mode"), nb::arg("gamma_hat"),
        nb::arg("delta_hat"), nb::arg("offset"), nb::arg("explore_from"), nb::arg("exact"),
        nb::sig("def trace(" QUARNEL_PROBLEM ", complete: numpy.ndarray, partial: numpy.ndarray, "
                QUARNEL_MODE ", gamma_hat: numpy.ndarray, delta_hat: numpy.ndarray, offset: int, "
                "explore_from: numpy.ndarray, exact: bool) -> dict"),
        "A chunk's solver passes, 'traces': per level (changes, failure detail or None); and\n"
        "'fit', fit_chunk's result were each level to stop where its trace did, or None.");
  m.def("fit_chunk", &fit_chunk, nb::arg("values"), nb::arg("batch"), nb::arg("mod").none(),
        nb::arg("par_prior"), nb::arg("mean_only"), nb::arg("ref_batch").none(),
        nb::arg("complete"), nb::arg("partial"), nb::arg("mode"), nb::arg("gamma_hat"),
        nb::arg("delta_hat"), nb::arg("offset"), nb::arg("passes"), nb::arg("exact"),
        nb::sig("def fit_chunk(" QUARNEL_PROBLEM ", complete: numpy.ndarray, "
                "partial: numpy.ndarray, " QUARNEL_MODE ", gamma_hat: numpy.ndarray, "
                "delta_hat: numpy.ndarray, offset: int, passes: numpy.ndarray, "
                "exact: bool) -> dict"),
        "A chunk's part of the run's model, as fit gives it for the whole matrix.");
#define QUARNEL_APPLIED "model: dict, values: numpy.ndarray, batch: numpy.ndarray, mod: numpy.ndarray | None"
  m.def("new_batch_estimates", &new_batch_estimates, nb::arg("model"), nb::arg("values"),
        nb::arg("batch"), nb::arg("mod").none(),
        nb::sig("def new_batch_estimates(" QUARNEL_APPLIED ") -> dict"),
        "The raw effects of a chunk's batches the model has not seen: 'batch_ids', "
        "'sizes', and per batch and feature 'gamma_hat', 'delta_hat' and 'counts'.");
  m.def("settle_new_batches", &settle_new_batches, nb::arg("model"), nb::arg("raw"),
        nb::arg("traces").none(),
        nb::sig("def settle_new_batches(model: dict, raw: dict, traces: list | None) -> dict"),
        "What the new batches' posteriors need from all features: 'settled', and per new "
        "batch 'passes' and 'explore_from' for the next traces.");
  m.def("trace_new_batches", &trace_new_batches, nb::arg("model"), nb::arg("values"),
        nb::arg("batch"), nb::arg("mod").none(), nb::arg("raw"), nb::arg("offset"),
        nb::arg("explore_from"),
        nb::sig("def trace_new_batches(" QUARNEL_APPLIED ", raw: dict, offset: int, "
                "explore_from: numpy.ndarray) -> list"),
        "A chunk's new-batch solver passes: per new batch (changes, failure detail or "
        "None), or None where the chunk has no feature its solver updates.");
  m.def("new_batch_posteriors", &new_batch_posteriors, nb::arg("model"), nb::arg("values"),
        nb::arg("batch"), nb::arg("mod").none(), nb::arg("raw"), nb::arg("offset"),
        nb::arg("passes"),
        nb::sig("def new_batch_posteriors(" QUARNEL_APPLIED ", raw: dict, offset: int, "
                "passes: numpy.ndarray) -> dict"),
        "A chunk's new batches as apply estimates them: 'batch_ids', their effects and "
        "their priors.");
#undef QUARNEL_APPLIED
#undef QUARNEL_MODE
#undef QUARNEL_PROBLEM
}
