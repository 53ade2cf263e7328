// The _quarnel extension module: the CPython face of the quarnel core.
//
// It exposes one function,
//
//     combat(values, batch, mod=None, par_prior=True, mean_only=False, ref_batch=None)
//
// which binds and checks its arguments, lets the core read the caller's NumPy buffers in
// place, and hands the core's adjusted matrix to a new NumPy array without copying it.
// The module keeps no state of its own; the only process-wide objects are the NumPy API
// table, a few interned attribute names and the InternalFault exception type.
//
// Every C++ exception stops at the function boundary (see combat_py): memory exhaustion
// becomes MemoryError, a run stopped by a signal handler (Ctrl-C) the exception that the
// handler raised, anything else _quarnel.InternalFault, which derives from
// BaseException so that ordinary `except Exception` handlers cannot mistake a programming
// fault for a problem with the input.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_API_VERSION
// One build against the NumPy 2.x headers must also load under NumPy 1.x, so only the
// part of the C API that NumPy 1.22 already had is used.
#define NPY_TARGET_VERSION NPY_1_22_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarnel/api.hpp"
#include "quarnel/cancel.hpp"
#include "quarnel/error.hpp"
#include "quarnel/layout.hpp"

static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));
static_assert(sizeof(long long) == sizeof(std::int64_t));

namespace {

// ---------------------------------------------------------------------------------------
// Small helpers around the C API

// An owned reference, released on every path out of a scope, C++ exceptions included.
struct Decref {
  void operator()(PyObject* object) const noexcept { Py_XDECREF(object); }
};
using Ref = std::unique_ptr<PyObject, Decref>;

// Interned attribute names, created once per process by the first execution slot.
struct Names {
  PyObject* all = nullptr;       // "__all__"
  PyObject* name = nullptr;      // "__name__"
  PyObject* module = nullptr;    // "__module__"
  PyObject* qualname = nullptr;  // "__qualname__"
  PyObject* to_bool = nullptr;   // "__bool__"
};
Names names;

// _quarnel.InternalFault. One type per process: a second module object (importlib can
// create one) raises the same type, so `except _quarnel.InternalFault` works whichever
// module object the caller holds.
PyObject* internal_fault = nullptr;

constexpr const char internal_fault_doc[] =
    "A broken internal invariant of quarnel: a programming fault, never a problem with the\n"
    "input. It derives from BaseException so that `except Exception` handlers do not\n"
    "swallow it; please report it together with the input that triggered it.";

// Takes the pending exception as one normalised exception object (new reference) and
// clears the error indicator.
PyObject* take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return value;
#endif
}

// Raises `exception` again (the reference is stolen).
void restore_exception(PyObject* exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

// 1 when `text` is a str equal to `expected`, else 0. Never raises.
int str_equals(PyObject* text, const char* expected) {
  return PyUnicode_Check(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// Reads the string attribute `name` of a type and compares it with `expected`: 1 equal,
// 0 different or missing, -1 on any other error.
int type_attribute_equals(PyTypeObject* type, PyObject* name, const char* expected) {
  Ref value(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return str_equals(value.get(), expected);
}

// ---------------------------------------------------------------------------------------
// Argument conversion

enum Parameter : Py_ssize_t { p_values, p_batch, p_mod, p_par_prior, p_mean_only, p_ref_batch };
constexpr Py_ssize_t parameter_count = 6;
constexpr const char* parameter_names[parameter_count] = {
    "values", "batch", "mod", "par_prior", "mean_only", "ref_batch"};

// Replaces a pending TypeError by a TypeError "argument '<name>': <its message>" that
// keeps the replaced error's cause, so callers see which argument was wrong without
// losing the chain. Other pending exceptions (the OverflowError of an out-of-range
// ref_batch) are left untouched.
void name_the_argument(const char* parameter) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  Ref replaced(take_exception());
  Ref message(PyObject_Str(replaced.get()));
  if (!message) return;
  Ref cause(PyException_GetCause(replaced.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", parameter, message.get());
  if (!cause) return;
  Ref replacement(take_exception());
  PyException_SetCause(replacement.get(), cause.release());
  restore_exception(replacement.release());
}

// Raises TypeError "'<type>' object is not an instance of '<expected>'".
void raise_not_an_instance(PyObject* object, const char* expected) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  Ref qualname(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), names.qualname));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", qualname.get(),
               expected);
}

// 1 when `object` is an ndarray with `ndim` dimensions whose dtype is equivalent to the
// native `type_number` (so non-native byte order fails), 0 when it is not, -1 on error.
int is_array_of(PyObject* object, int ndim, int type_number) {
  if (!PyArray_Check(object)) return 0;
  auto* array = reinterpret_cast<PyArrayObject*>(object);
  if (PyArray_NDIM(array) != ndim) return 0;
  PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
  if (wanted == nullptr) return -1;
  const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
  Py_DECREF(wanted);
  return equivalent ? 1 : 0;
}

int convert_array(PyObject* object, int ndim, int type_number, Parameter parameter) {
  const int kind = is_array_of(object, ndim, type_number);
  if (kind > 0) return 0;
  if (kind == 0) raise_not_an_instance(object, "ndarray");
  name_the_argument(parameter_names[parameter]);
  return -1;
}

// A NumPy bool scalar's type is numpy.bool_ (NumPy 1.x) or numpy.bool (2.x). The test is
// by name so that the module needs no NumPy scalar API.
int is_numpy_bool_type(PyTypeObject* type) {
  const int in_numpy = type_attribute_equals(type, names.module, "numpy");
  if (in_numpy <= 0) return in_numpy;
  const int named_bool_ = type_attribute_equals(type, names.name, "bool_");
  if (named_bool_ != 0) return named_bool_;
  return type_attribute_equals(type, names.name, "bool");
}

// 1 or 0 for a Python bool or a NumPy bool scalar; -1 with a TypeError for anything else,
// ints included, so that a stray 0 or 1 in the wrong position is caught.
int bool_value(PyObject* object) {
  if (PyBool_Check(object)) return object == Py_True ? 1 : 0;
  const int numpy_bool = is_numpy_bool_type(Py_TYPE(object));
  if (numpy_bool < 0) return -1;
  if (numpy_bool == 0) {
    raise_not_an_instance(object, "bool");
    return -1;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref method(PyObject_GetAttr(type, names.to_bool));
  if (!method) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    Ref qualname(PyObject_GetAttr(type, names.qualname));
    if (!qualname) return -1;
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 qualname.get());
    return -1;
  }
  Ref result(PyObject_CallOneArg(method.get(), object));
  if (!result) return -1;
  if (!PyBool_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "__bool__ should return bool, returned %.200s",
                 Py_TYPE(result.get())->tp_name);
    return -1;
  }
  return result.get() == Py_True ? 1 : 0;
}

int convert_bool(PyObject* object, Parameter parameter, bool& out) {
  const int value = bool_value(object);
  if (value < 0) {
    name_the_argument(parameter_names[parameter]);
    return -1;
  }
  out = value == 1;
  return 0;
}

// A Python int as is, anything else through __index__; the interpreter's own
// OverflowError for values outside 0 ... 2**64 - 1.
int convert_ref_batch(PyObject* object, std::optional<std::uint64_t>& out) {
  Ref index;
  if (!PyLong_Check(object)) {
    index.reset(PyNumber_Index(object));
    if (!index) {
      name_the_argument(parameter_names[p_ref_batch]);
      return -1;
    }
    object = index.get();
  }
  const unsigned long long id = PyLong_AsUnsignedLongLong(object);
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_the_argument(parameter_names[p_ref_batch]);
    return -1;
  }
  out = static_cast<std::uint64_t>(id);
  return 0;
}

// ---------------------------------------------------------------------------------------
// Argument binding

// Binds the positional and keyword arguments to parameter slots (borrowed references;
// unbound slots stay null), with the interpreter's own wording for binding errors.
int bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject* (&bound)[parameter_count]) {
  if (nargs > parameter_count) {
    PyErr_Format(PyExc_TypeError,
                 "combat() takes from 2 to 6 positional arguments but %zd were given", nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = 0;
    while (slot < parameter_count && !str_equals(keyword, parameter_names[slot])) ++slot;
    if (slot == parameter_count) {
      PyErr_Format(PyExc_TypeError, "combat() got an unexpected keyword argument '%S'",
                   keyword);
      return -1;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "combat() got multiple values for argument '%s'",
                   parameter_names[slot]);
      return -1;
    }
    bound[slot] = args[nargs + k];
  }
  if (bound[p_values] == nullptr && bound[p_batch] == nullptr) {
    PyErr_SetString(PyExc_TypeError,
                    "combat() missing 2 required positional arguments: 'values' and 'batch'");
    return -1;
  }
  if (bound[p_values] == nullptr || bound[p_batch] == nullptr) {
    PyErr_Format(PyExc_TypeError, "combat() missing 1 required positional argument: '%s'",
                 parameter_names[bound[p_values] == nullptr ? p_values : p_batch]);
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Array checks

PyArrayObject* as_array(PyObject* object) { return reinterpret_cast<PyArrayObject*>(object); }

// Row-major without gaps, judged on the strides alone (the strides of a dimension of
// length 1 do not matter). The core indexes the buffer as i * columns + j, so Fortran
// order, step slices and reversed views must be refused rather than read wrongly.
bool is_row_major(PyArrayObject* matrix) {
  const npy_intp rows = PyArray_DIM(matrix, 0);
  const npy_intp columns = PyArray_DIM(matrix, 1);
  if (rows == 0 || columns == 0) return true;
  // NumPy keeps rows * columns * 8 within npy_intp, so this product cannot overflow.
  const npy_intp item = static_cast<npy_intp>(sizeof(double));
  return (columns == 1 || PyArray_STRIDE(matrix, 1) == item) &&
         (rows == 1 || PyArray_STRIDE(matrix, 0) == columns * item);
}

// What NumPy itself says about a non-empty buffer before the core reads it as plain
// doubles or integers: aligned, contiguous and really there.
bool is_readable_in_place(PyArrayObject* array) {
  if (PyArray_SIZE(array) == 0) return true;
  return PyArray_ISALIGNED(array) &&
         (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) &&
         PyArray_DATA(array) != nullptr;
}

// The batch ids as the core's unsigned ids, or a ValueError at the first negative id.
std::optional<std::vector<std::uint64_t>> copy_batch_ids(PyArrayObject* batch) {
  const npy_intp count = PyArray_DIM(batch, 0);
  const npy_intp stride = PyArray_STRIDE(batch, 0);
  const char* data = static_cast<const char*>(PyArray_DATA(batch));
  std::vector<std::uint64_t> ids(static_cast<std::size_t>(count));
  for (npy_intp i = 0; i < count; ++i) {
    std::int64_t id = 0;
    std::memcpy(&id, data + i * stride, sizeof id);
    if (id < 0) {
      PyErr_Format(PyExc_ValueError, "batch ids must be non-negative; sample %zd has %lld",
                   static_cast<Py_ssize_t>(i), static_cast<long long>(id));
      return std::nullopt;
    }
    ids[static_cast<std::size_t>(i)] = static_cast<std::uint64_t>(id);
  }
  return ids;
}

std::span<const double> doubles_of(PyArrayObject* array) {
  return {static_cast<const double*>(PyArray_DATA(array)),
          static_cast<std::size_t>(PyArray_SIZE(array))};
}

// ---------------------------------------------------------------------------------------
// Results and errors

void raise_combat_error(const quarnel::CombatError& error) {
  const std::string message = quarnel::render(error);
  PyObject* type = quarnel::error_class(error) == quarnel::ErrorClass::numerical
                       ? PyExc_RuntimeError
                       : PyExc_ValueError;
  Ref text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

// Stores `value` (a new reference, stolen; null means its creation failed) under `key`.
int set_item(PyObject* dict, std::string_view key, PyObject* value) {
  Ref owned(value);
  if (!owned) return -1;
  Ref name(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!name) return -1;
  return PyDict_SetItem(dict, name.get(), owned.get());
}

PyObject* int_list(const std::vector<std::uint64_t>& items) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// The capsule that owns an adjusted buffer handed to NumPy; the array holds it as its
// base object, so the buffer lives exactly as long as the array and its views.
constexpr const char adjusted_owner_name[] = "_quarnel.adjusted";

void free_adjusted(PyObject* capsule) {
  delete static_cast<quarnel::ValueBuffer*>(PyCapsule_GetPointer(capsule, adjusted_owner_name));
}

// The dimensions of the adjusted matrix as NumPy dimensions, or a RuntimeError when the
// buffer cannot be viewed as an n_samples x n_features float64 array.
bool shape_adjusted(std::size_t length, std::uint64_t n_samples, std::uint64_t n_features,
                    npy_intp (&dims)[2]) {
  constexpr std::uint64_t max_elements =
      static_cast<std::uint64_t>(NPY_MAX_INTP) / sizeof(double);
  std::uint64_t elements = 0;
  if (__builtin_mul_overflow(n_samples, n_features, &elements) || elements > max_elements) {
    PyErr_Format(PyExc_RuntimeError,
                 "failed to shape adjusted matrix: %llu x %llu elements exceed the largest "
                 "array NumPy can address",
                 static_cast<unsigned long long>(n_samples),
                 static_cast<unsigned long long>(n_features));
    return false;
  }
  if (length != elements) {
    PyErr_Format(PyExc_RuntimeError,
                 "failed to shape adjusted matrix: %zu values cannot fill %llu x %llu",
                 length, static_cast<unsigned long long>(n_samples),
                 static_cast<unsigned long long>(n_features));
    return false;
  }
  dims[0] = static_cast<npy_intp>(n_samples);
  dims[1] = static_cast<npy_intp>(n_features);
  return true;
}

// A new writeable C-ordered float64 array over the core's buffer. The vector moves into
// a heap object owned by a capsule, so its elements are never copied.
PyObject* adopt_adjusted(quarnel::ValueBuffer&& adjusted, std::uint64_t n_samples,
                         std::uint64_t n_features) {
  npy_intp dims[2] = {0, 0};
  if (!shape_adjusted(adjusted.size(), n_samples, n_features, dims)) return nullptr;
  npy_intp strides[2] = {dims[1] * static_cast<npy_intp>(sizeof(double)),
                         static_cast<npy_intp>(sizeof(double))};
  auto owner = std::make_unique<quarnel::ValueBuffer>(std::move(adjusted));
  double* data = owner->data();
  Ref capsule(PyCapsule_New(owner.get(), adjusted_owner_name, free_adjusted));
  if (!capsule) return nullptr;
  owner.release();  // the capsule frees it from here on
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
  if (descr == nullptr) return nullptr;
  Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 2, dims, strides, data,
                                 NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  // Steals the capsule reference on failure too; the array then dies before its data.
  if (PyArray_SetBaseObject(as_array(array.get()), capsule.release()) < 0) return nullptr;
  return array.release();
}

PyObject* build_result(quarnel::CombatDenseOutput output) {
  Ref report(PyDict_New());
  if (!report) return nullptr;
  if (set_item(report.get(), "effective_mean_only",
               Py_NewRef(output.report.effective_mean_only ? Py_True : Py_False)) < 0) {
    return nullptr;
  }
  if (set_item(report.get(), "singleton_batches", int_list(output.report.singleton_batches)) <
      0) {
    return nullptr;
  }
  if (set_item(report.get(), "zero_variance_features",
               int_list(output.report.zero_variance_features)) < 0) {
    return nullptr;
  }
  Ref adjusted(adopt_adjusted(std::move(output.adjusted), output.n_samples, output.n_features));
  if (!adjusted) return nullptr;
  Ref result(PyDict_New());
  if (!result) return nullptr;
  if (set_item(result.get(), "adjusted", adjusted.release()) < 0) return nullptr;
  if (set_item(result.get(), "n_samples", PyLong_FromUnsignedLongLong(output.n_samples)) < 0) {
    return nullptr;
  }
  if (set_item(result.get(), "n_features", PyLong_FromUnsignedLongLong(output.n_features)) <
      0) {
    return nullptr;
  }
  if (set_item(result.get(), "report", report.release()) < 0) return nullptr;
  return result.release();
}

// ---------------------------------------------------------------------------------------
// The combat function

// Asked by the core between its stages, on this thread (which holds the interpreter lock)
// and while none of its workers runs. Running the pending signal handlers here lets Ctrl-C
// stop a long correction: the handler's KeyboardInterrupt is left pending and the core
// unwinds with RunCancelled, which combat_py turns back into that exception.
bool signal_handler_raised(const quarnel::Progress&) { return PyErr_CheckSignals() < 0; }

PyObject* combat_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[parameter_count] = {};
  if (bind_arguments(args, nargs, kwnames, bound) < 0) return nullptr;
  PyObject* values = bound[p_values];
  PyObject* batch = bound[p_batch];
  PyObject* mod = bound[p_mod] == Py_None ? nullptr : bound[p_mod];

  if (convert_array(values, 2, NPY_FLOAT64, p_values) < 0) return nullptr;
  if (convert_array(batch, 1, NPY_INT64, p_batch) < 0) return nullptr;
  if (mod != nullptr && convert_array(mod, 2, NPY_FLOAT64, p_mod) < 0) return nullptr;
  quarnel::CombatOptions options;
  options.cancel_requested = signal_handler_raised;
  if (bound[p_par_prior] != nullptr &&
      convert_bool(bound[p_par_prior], p_par_prior, options.par_prior) < 0) {
    return nullptr;
  }
  if (bound[p_mean_only] != nullptr &&
      convert_bool(bound[p_mean_only], p_mean_only, options.mean_only) < 0) {
    return nullptr;
  }
  if (bound[p_ref_batch] != nullptr && bound[p_ref_batch] != Py_None &&
      convert_ref_batch(bound[p_ref_batch], options.ref_batch) < 0) {
    return nullptr;
  }
  // __bool__ and __index__ run Python code, which can reshape or retype an array in place
  // (`values.shape = ...`, `batch.dtype = ...`). From here on no Python code runs until
  // the core returns, so the arrays are checked once more before their buffers are read.
  if (convert_array(values, 2, NPY_FLOAT64, p_values) < 0) return nullptr;
  if (convert_array(batch, 1, NPY_INT64, p_batch) < 0) return nullptr;
  if (mod != nullptr && convert_array(mod, 2, NPY_FLOAT64, p_mod) < 0) return nullptr;

  PyArrayObject* values_array = as_array(values);
  PyArrayObject* batch_array = as_array(batch);
  if (!is_row_major(values_array) || !is_readable_in_place(values_array)) {
    PyErr_SetString(PyExc_ValueError, "values must be C-contiguous row-major float64 ndarray");
    return nullptr;
  }
  if (!is_readable_in_place(batch_array)) {
    PyErr_SetString(PyExc_ValueError, "batch must be contiguous int64 ndarray");
    return nullptr;
  }
  std::optional<std::vector<std::uint64_t>> ids = copy_batch_ids(batch_array);
  if (!ids) return nullptr;

  const npy_intp n_samples = PyArray_DIM(values_array, 0);
  quarnel::CombatDenseRequest request;
  request.values = doubles_of(values_array);
  request.batch = *ids;
  request.n_samples = static_cast<std::uint64_t>(n_samples);
  request.n_features = static_cast<std::uint64_t>(PyArray_DIM(values_array, 1));
  if (mod != nullptr) {
    PyArrayObject* mod_array = as_array(mod);
    if (!is_row_major(mod_array)) {
      PyErr_SetString(PyExc_ValueError, "mod must be C-contiguous row-major float64 ndarray");
      return nullptr;
    }
    if (PyArray_DIM(mod_array, 0) != n_samples) {
      PyErr_Format(PyExc_ValueError,
                   "mod row count must match values samples: expected %zd, got %zd",
                   static_cast<Py_ssize_t>(n_samples),
                   static_cast<Py_ssize_t>(PyArray_DIM(mod_array, 0)));
      return nullptr;
    }
    if (!is_readable_in_place(mod_array)) {
      PyErr_SetString(PyExc_ValueError, "mod must be C-contiguous row-major float64 ndarray");
      return nullptr;
    }
    request.covariates = quarnel::CovariateMatrix{
        doubles_of(mod_array), static_cast<std::uint64_t>(PyArray_DIM(mod_array, 1))};
  }

  quarnel::Result<quarnel::CombatDenseOutput> output = quarnel::combat_dense(request, options);
  if (!output) {
    raise_combat_error(output.error());
    return nullptr;
  }
  return build_result(std::move(*output));
}

PyObject* raise_internal_fault(const char* format, const char* what) {
  PyErr_Format(internal_fault, format, what);
  return nullptr;
}

// The exception firewall: no C++ exception may unwind into the interpreter.
PyObject* combat_py(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  try {
    return combat_call(args, nargs, kwnames);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const quarnel::RunCancelled&) {
    // The exception a signal handler raised is pending; nothing of the run is returned.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  } catch (const quarnel::InternalFault& fault) {
    return raise_internal_fault("quarnel internal fault: %s", fault.what());
  } catch (const std::exception& error) {
    return raise_internal_fault("quarnel internal fault: unexpected C++ exception: %s",
                                error.what());
  } catch (...) {
    return raise_internal_fault("quarnel internal fault: %s", "unknown C++ exception");
  }
}

PyMethodDef combat_def = {
    "combat",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(combat_py)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "combat(values, batch, mod=None, par_prior=True, mean_only=False, ref_batch=None)\n--\n\n",
};

// ---------------------------------------------------------------------------------------
// Module initialisation

int require_module(PyObject* module) {
  if (PyType_IsSubtype(Py_TYPE(module), &PyModule_Type)) return 0;
  PyErr_Format(PyExc_TypeError, "_quarnel can only initialise a module, not '%.200s'",
               Py_TYPE(module)->tp_name);
  return -1;
}

int intern_names() {
  if (names.to_bool != nullptr) return 0;
  if ((names.all = PyUnicode_InternFromString("__all__")) == nullptr) return -1;
  if ((names.name = PyUnicode_InternFromString("__name__")) == nullptr) return -1;
  if ((names.module = PyUnicode_InternFromString("__module__")) == nullptr) return -1;
  if ((names.qualname = PyUnicode_InternFromString("__qualname__")) == nullptr) return -1;
  if ((names.to_bool = PyUnicode_InternFromString("__bool__")) == nullptr) return -1;
  return 0;
}

int create_internal_fault() {
  if (internal_fault != nullptr) return 0;
  internal_fault = PyErr_NewExceptionWithDoc("_quarnel.InternalFault", internal_fault_doc,
                                             PyExc_BaseException, nullptr);
  return internal_fault == nullptr ? -1 : 0;
}

// Publishes `function` under its own __name__ and lists it in __all__.
int add_to_all(PyObject* module, PyObject* function) {
  Ref name(PyObject_GetAttr(function, names.name));
  if (!name) return -1;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "function __name__ must be a str, not '%.200s'",
                 Py_TYPE(name.get())->tp_name);
    return -1;
  }
  Ref all(PyObject_GetAttr(module, names.all));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all.reset(PyList_New(0));
    if (!all) return -1;
    if (PyObject_SetAttr(module, names.all, all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "__all__ must be a list, not '%.200s'",
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttr(module, name.get(), function);
}

int add_combat(PyObject* module) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  Ref function(PyCMethod_New(&combat_def, module, module_name.get(), nullptr));
  if (!function) return -1;
  return add_to_all(module, function.get());
}

int quarnel_exec(PyObject* module) {
  if (require_module(module) < 0) return -1;
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  if (intern_names() < 0) return -1;
  if (create_internal_fault() < 0) return -1;
  if (PyModule_AddObjectRef(module, "InternalFault", internal_fault) < 0) return -1;
  if (add_combat(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot quarnel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(quarnel_exec)},
    {0, nullptr},
};

PyModuleDef quarnel_module = {
    PyModuleDef_HEAD_INIT,
    "_quarnel",     // m_name
    "",             // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods: combat is added by the execution slot
    quarnel_slots,  // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__quarnel(void) { return PyModuleDef_Init(&quarnel_module); }
