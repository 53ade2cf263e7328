"""Tests of the _quarnel binding, run against the installed extension module.

Most failure cases stop at a check that comes before any statistics, so they also pin
down the order in which the binding and the core's front door examine a call. A call
that passes every binding check but has a single batch fails in the core with "at least
two batches are required"; several tests use that as the sign that the binding let the
arguments through.
"""

import contextlib
import gc
import importlib.util
import inspect
import os
import subprocess
import sys
import textwrap
import warnings
import weakref

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _quarnel
from _quarnel import combat

VALUES_LAYOUT = "values must be C-contiguous row-major float64 ndarray"
BATCH_STORAGE = "batch must be contiguous int64 ndarray"
MOD_LAYOUT = "mod must be C-contiguous row-major float64 ndarray"
ONE_BATCH = "at least two batches are required"
NOT_NDARRAY = "'ndarray' object is not an instance of 'ndarray'"


@contextlib.contextmanager
def raises_exactly(exc_type, message):
    """Expects exactly `exc_type` (not a subclass) with exactly `message`."""
    with pytest.raises(BaseException) as info:
        yield info
    assert info.type is exc_type, f"{info.type.__name__}: {info.value}"
    assert str(info.value) == message


def grid(rows, cols):
    return np.arange(1.0, rows * cols + 1.0).reshape(rows, cols)


def one_batch(n):
    return np.zeros(n, dtype=np.int64)


def two_batches(n):
    return np.arange(n, dtype=np.int64) % 2


def unaligned(shape, dtype):
    """A writeable array of `shape` whose buffer starts one byte off alignment."""
    itemsize = np.dtype(dtype).itemsize
    raw = np.zeros(int(np.prod(shape)) * itemsize + 1, dtype=np.uint8)
    array = raw[1:].view(dtype).reshape(shape)
    assert not array.flags.aligned
    return array


def problem(sizes=(4, 4, 4), n_features=6, seed=1):
    """Values with a location and scale effect per batch, and their batch ids."""
    rng = np.random.default_rng(seed)
    batch = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    shift = rng.normal(scale=2.0, size=(len(sizes), n_features))
    scale = rng.uniform(0.5, 2.0, size=(len(sizes), n_features))
    values = 10.0 + shift[batch] + scale[batch] * rng.normal(size=(batch.size, n_features))
    return values, batch


def same_result(a, b):
    assert a["adjusted"].tobytes() == b["adjusted"].tobytes()
    assert a["report"] == b["report"]
    assert (a["n_samples"], a["n_features"]) == (b["n_samples"], b["n_features"])


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fake_numpy_type(name, **namespace):
    """A type that claims to live in numpy, as NumPy's own bool scalar type does."""
    return type(name, (), {"__module__": "numpy", **namespace})


# ---------------------------------------------------------------------------------------
# The module


def test_module_exports_one_function():
    assert _quarnel.__all__ == ["combat"]
    assert _quarnel.__doc__ == ""
    assert combat.__name__ == "combat"
    assert combat.__module__ == "_quarnel"


def test_signature_comes_from_the_docstring():
    assert combat.__text_signature__ == (
        "(values, batch, mod=None, par_prior=True, mean_only=False, ref_batch=None)"
    )
    assert combat.__doc__ in (None, "")
    parameters = inspect.signature(combat).parameters
    assert list(parameters) == ["values", "batch", "mod", "par_prior", "mean_only", "ref_batch"]
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [p.default for p in parameters.values()][2:] == [None, True, False, None]


def fresh_module(prepare=lambda module: None):
    spec = importlib.util.find_spec("_quarnel")
    module = importlib.util.module_from_spec(spec)
    prepare(module)
    spec.loader.exec_module(module)
    return module


def test_each_module_object_gets_its_own_function():
    other = fresh_module()
    assert other is not _quarnel
    assert other.combat is not combat
    assert other.__all__ == ["combat"]
    assert other.__all__ is not _quarnel.__all__
    with raises_exactly(ValueError, ONE_BATCH):
        other.combat(grid(2, 2), one_batch(2))


@pytest.mark.parametrize(
    ("existing", "expected"),
    [
        pytest.param(["helper"], ["helper", "combat"], id="list-extended"),
        pytest.param([], ["combat"], id="empty-list"),
    ],
)
def test_existing_all_list_is_extended(existing, expected):
    module = fresh_module(lambda m: setattr(m, "__all__", existing))
    assert module.__all__ == expected
    assert module.__all__ is existing


def test_all_that_is_not_a_list_fails_initialisation():
    with pytest.raises(TypeError, match="__all__ must be a list"):
        fresh_module(lambda m: setattr(m, "__all__", ("helper",)))


def test_internal_fault_is_outside_the_exception_hierarchy():
    fault = _quarnel.InternalFault
    assert issubclass(fault, BaseException)
    assert not issubclass(fault, Exception)
    assert (fault.__module__, fault.__name__) == ("_quarnel", "InternalFault")
    assert "InternalFault" not in _quarnel.__all__
    # One type per process, whichever module object raised it.
    assert fresh_module().InternalFault is fault


# ---------------------------------------------------------------------------------------
# Argument binding: the interpreter's wording, checked before any argument is looked at.

MISSING_BOTH = "combat() missing 2 required positional arguments: 'values' and 'batch'"
MISSING_BATCH = "combat() missing 1 required positional argument: 'batch'"
MISSING_VALUES = "combat() missing 1 required positional argument: 'values'"


def unexpected(name):
    return f"combat() got an unexpected keyword argument '{name}'"


def multiple(name):
    return f"combat() got multiple values for argument '{name}'"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(
            lambda: combat(1, 2, 3, 4, 5, 6, 7),
            "combat() takes from 2 to 6 positional arguments but 7 were given",
            id="seven-positional",
        ),
        pytest.param(
            lambda: combat(*range(9), bogus=1),
            "combat() takes from 2 to 6 positional arguments but 9 were given",
            id="count-before-keywords",
        ),
        pytest.param(lambda: combat(1, 2, values=3), multiple("values"), id="values-twice"),
        pytest.param(lambda: combat(1, 2, 3, 4, 5, 6, ref_batch=7), multiple("ref_batch"),
                     id="ref-batch-twice"),
        pytest.param(lambda: combat(1, 2, bogus=3), unexpected("bogus"), id="unknown-keyword"),
        pytest.param(lambda: combat(1, 2, bogus=3, values=4), unexpected("bogus"),
                     id="keywords-in-call-order-unknown-first"),
        pytest.param(lambda: combat(1, 2, values=4, bogus=3), multiple("values"),
                     id="keywords-in-call-order-duplicate-first"),
        pytest.param(lambda: combat(Values=1, batch=2), unexpected("Values"),
                     id="case-sensitive"),
        pytest.param(lambda: combat(bogus=1), unexpected("bogus"), id="keyword-before-missing"),
        pytest.param(lambda: combat(), MISSING_BOTH, id="no-arguments"),
        pytest.param(lambda: combat(mod=None, ref_batch=1), MISSING_BOTH, id="only-optional"),
        pytest.param(lambda: combat(1), MISSING_BATCH, id="no-batch"),
        pytest.param(lambda: combat(values=1, mod=2), MISSING_BATCH, id="no-batch-keyword"),
        pytest.param(lambda: combat(batch=1), MISSING_VALUES, id="no-values"),
    ],
)
def test_binding_errors(call, message):
    with raises_exactly(TypeError, message):
        call()


# ---------------------------------------------------------------------------------------
# Argument conversion

V = grid(4, 2)
B = two_batches(4)


def call_with(**overrides):
    arguments = {"values": V, "batch": B, **overrides}
    return combat(**arguments)


@pytest.mark.parametrize(
    ("overrides", "message"),
    [
        pytest.param({"values": V.tolist()}, "argument 'values': 'list' object is not an "
                     "instance of 'ndarray'", id="values-list"),
        pytest.param({"values": None}, "argument 'values': 'None' is not an instance of "
                     "'ndarray'", id="values-none"),
        pytest.param({"values": np.float64(1.0)}, "argument 'values': 'float64' object is not "
                     "an instance of 'ndarray'", id="values-scalar"),
        pytest.param({"values": V.astype(np.float32)}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-float32"),
        pytest.param({"values": V.astype(np.int64)}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-int64"),
        pytest.param({"values": V.astype(">f8")}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-big-endian"),
        pytest.param({"values": V.astype(object)}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-object"),
        pytest.param({"values": V.ravel()}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-1d"),
        pytest.param({"values": V[None]}, f"argument 'values': {NOT_NDARRAY}", id="values-3d"),
        pytest.param({"values": np.array(1.0)}, f"argument 'values': {NOT_NDARRAY}",
                     id="values-0d"),
        pytest.param({"batch": [0, 0, 1, 1]}, "argument 'batch': 'list' object is not an "
                     "instance of 'ndarray'", id="batch-list"),
        pytest.param({"batch": None}, "argument 'batch': 'None' is not an instance of "
                     "'ndarray'", id="batch-none"),
        pytest.param({"batch": B.astype(np.int32)}, f"argument 'batch': {NOT_NDARRAY}",
                     id="batch-int32"),
        pytest.param({"batch": B.astype(np.uint64)}, f"argument 'batch': {NOT_NDARRAY}",
                     id="batch-uint64"),
        pytest.param({"batch": B.astype(np.float64)}, f"argument 'batch': {NOT_NDARRAY}",
                     id="batch-float64"),
        pytest.param({"batch": B.astype(">i8")}, f"argument 'batch': {NOT_NDARRAY}",
                     id="batch-big-endian"),
        pytest.param({"batch": B.reshape(2, 2)}, f"argument 'batch': {NOT_NDARRAY}",
                     id="batch-2d"),
        pytest.param({"mod": V.tolist()}, "argument 'mod': 'list' object is not an instance "
                     "of 'ndarray'", id="mod-list"),
        pytest.param({"mod": V.astype(np.float32)}, f"argument 'mod': {NOT_NDARRAY}",
                     id="mod-float32"),
        pytest.param({"mod": V[:, 0]}, f"argument 'mod': {NOT_NDARRAY}", id="mod-1d"),
        pytest.param({"par_prior": 1}, "argument 'par_prior': 'int' object is not an instance "
                     "of 'bool'", id="par-prior-int"),
        pytest.param({"par_prior": None}, "argument 'par_prior': 'None' is not an instance of "
                     "'bool'", id="par-prior-none"),
        pytest.param({"par_prior": "yes"}, "argument 'par_prior': 'str' object is not an "
                     "instance of 'bool'", id="par-prior-str"),
        pytest.param({"par_prior": np.float64(1.0)}, "argument 'par_prior': 'float64' object "
                     "is not an instance of 'bool'", id="par-prior-numpy-float"),
        pytest.param({"par_prior": np.array(True)}, "argument 'par_prior': 'ndarray' object "
                     "is not an instance of 'bool'", id="par-prior-0d-array"),
        pytest.param({"mean_only": 0}, "argument 'mean_only': 'int' object is not an instance "
                     "of 'bool'", id="mean-only-int"),
        pytest.param({"mean_only": None}, "argument 'mean_only': 'None' is not an instance of "
                     "'bool'", id="mean-only-none"),
        pytest.param({"ref_batch": "1"}, "argument 'ref_batch': 'str' object cannot be "
                     "interpreted as an integer", id="ref-batch-str"),
        pytest.param({"ref_batch": 1.0}, "argument 'ref_batch': 'float' object cannot be "
                     "interpreted as an integer", id="ref-batch-float"),
        pytest.param({"ref_batch": Index("1")}, "argument 'ref_batch': __index__ returned "
                     "non-int (type str)", id="ref-batch-bad-index"),
        # Conversion runs in parameter order: the first wrong argument is reported.
        pytest.param({"values": [1.0], "batch": [0]}, "argument 'values': 'list' object is "
                     "not an instance of 'ndarray'", id="order-values-before-batch"),
        pytest.param({"batch": None, "mod": "m"}, "argument 'batch': 'None' is not an "
                     "instance of 'ndarray'", id="order-batch-before-mod"),
        pytest.param({"mod": "m", "par_prior": 1}, "argument 'mod': 'str' object is not an "
                     "instance of 'ndarray'", id="order-mod-before-par-prior"),
        pytest.param({"par_prior": 1, "mean_only": 1}, "argument 'par_prior': 'int' object "
                     "is not an instance of 'bool'", id="order-par-prior-before-mean-only"),
        pytest.param({"mean_only": 1, "ref_batch": -1}, "argument 'mean_only': 'int' object "
                     "is not an instance of 'bool'", id="order-mean-only-before-ref-batch"),
    ],
)
def test_conversion_errors(overrides, message):
    with raises_exactly(TypeError, message) as info:
        call_with(**overrides)
    assert info.value.__cause__ is None


@pytest.mark.parametrize("parameter", ["par_prior", "mean_only"])
@pytest.mark.parametrize(
    "flag",
    [
        pytest.param(True, id="true"),
        pytest.param(False, id="false"),
        pytest.param(np.True_, id="numpy-true"),
        pytest.param(np.bool_(0), id="numpy-false"),
        pytest.param(fake_numpy_type("bool_", __bool__=lambda self: True)(),
                     id="numpy-named-with-bool"),
    ],
)
def test_bool_flags_accept_python_and_numpy_bools(parameter, flag):
    with raises_exactly(ValueError, ONE_BATCH):
        call_with(batch=one_batch(4), **{parameter: flag})


def raise_chained(exc_type):
    def raiser(*args):
        raise exc_type("inner") from LookupError("root")

    return raiser


class TypeErrorSubclass(TypeError):
    pass


@pytest.mark.parametrize(
    ("overrides", "exc_type", "message", "cause"),
    [
        pytest.param({"par_prior": fake_numpy_type("bool_")()}, TypeError,
                     "argument 'par_prior': object of type 'bool_' does not define a "
                     "'__bool__' conversion", None, id="numpy-named-without-bool"),
        pytest.param({"mean_only": fake_numpy_type("bool", __bool__=lambda self: 1)()},
                     TypeError, "argument 'mean_only': __bool__ should return bool, returned "
                     "int", None, id="bool-returns-int"),
        pytest.param({"par_prior": type("bool_", (), {"__module__": "numpy.random",
                                                      "__bool__": lambda self: True})()},
                     TypeError, "argument 'par_prior': 'bool_' object is not an instance of "
                     "'bool'", None, id="bool-named-outside-numpy"),
        pytest.param({"mean_only": fake_numpy_type("bool", __bool__=raise_chained(TypeError))()},
                     TypeError, "argument 'mean_only': inner", LookupError,
                     id="bool-type-error-keeps-cause"),
        pytest.param({"mean_only": fake_numpy_type("bool", __bool__=raise_chained(ValueError))()},
                     ValueError, "inner", LookupError, id="bool-other-error-unchanged"),
        pytest.param({"ref_batch": type("I", (), {"__index__": raise_chained(TypeError)})()},
                     TypeError, "argument 'ref_batch': inner", LookupError,
                     id="index-type-error-keeps-cause"),
        pytest.param({"ref_batch": type("I", (), {"__index__":
                                                  raise_chained(TypeErrorSubclass)})()},
                     TypeError, "argument 'ref_batch': inner", LookupError,
                     id="index-type-error-subclass-replaced"),
        pytest.param({"ref_batch": type("I", (), {"__index__": raise_chained(ValueError)})()},
                     ValueError, "inner", LookupError, id="index-other-error-unchanged"),
    ],
)
def test_errors_raised_by_argument_hooks(overrides, exc_type, message, cause):
    with raises_exactly(exc_type, message) as info:
        call_with(**overrides)
    if cause is None:
        assert info.value.__cause__ is None
    else:
        assert type(info.value.__cause__) is cause
        assert info.value.__cause__.args == ("root",)


REF_IDS = np.array([0, 0, 2, 2], dtype=np.int64)


@pytest.mark.parametrize(
    ("ref_batch", "shown"),
    [
        pytest.param(7, "7", id="int"),
        pytest.param(True, "1", id="bool-is-an-int"),
        pytest.param(np.int64(7), "7", id="numpy-int64"),
        pytest.param(np.uint64(2**64 - 1), "18446744073709551615", id="numpy-uint64-max"),
        pytest.param(2**64 - 1, "18446744073709551615", id="int-max"),
        pytest.param(Index(7), "7", id="index-object"),
    ],
)
def test_ref_batch_accepts_integers_up_to_64_bits(ref_batch, shown):
    with raises_exactly(ValueError, f"missing reference batch: {shown}"):
        call_with(batch=REF_IDS, ref_batch=ref_batch)


@pytest.mark.parametrize(
    "ref_batch",
    [
        pytest.param(-1, id="minus-one"),
        pytest.param(2**64, id="two-to-64"),
        pytest.param(np.int64(-1), id="numpy-negative"),
        pytest.param(Index(-5), id="index-negative"),
        pytest.param(Index(2**70), id="index-too-large"),
    ],
)
def test_ref_batch_out_of_range_is_overflow_error(ref_batch):
    # Conversion comes before the array checks, so the layout error is never reached.
    with pytest.raises(OverflowError) as info:
        call_with(values=np.asfortranarray(grid(4, 3)), ref_batch=ref_batch)
    assert info.type is OverflowError
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    ("change", "message"),
    [
        pytest.param(lambda v, b, m: setattr(v, "shape", (-1,)),
                     f"argument 'values': {NOT_NDARRAY}", id="values-flattened"),
        pytest.param(lambda v, b, m: setattr(v, "dtype", np.int64),
                     f"argument 'values': {NOT_NDARRAY}", id="values-retyped"),
        pytest.param(lambda v, b, m: setattr(b, "shape", (2, 2)),
                     f"argument 'batch': {NOT_NDARRAY}", id="batch-reshaped"),
        pytest.param(lambda v, b, m: setattr(b, "dtype", np.float64),
                     f"argument 'batch': {NOT_NDARRAY}", id="batch-retyped"),
        pytest.param(lambda v, b, m: setattr(m, "shape", (-1,)),
                     f"argument 'mod': {NOT_NDARRAY}", id="mod-flattened"),
    ],
)
def test_arrays_changed_by_argument_hooks_are_checked_again(change, message):
    values, batch, mod = grid(4, 3), two_batches(4), grid(4, 2)

    class Meddler:
        def __index__(self):
            # NumPy 2.5 deprecates assigning shape and dtype, but still does it in place.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                change(values, batch, mod)
            return 0

    with raises_exactly(TypeError, message):
        combat(values, batch, mod, ref_batch=Meddler())


# ---------------------------------------------------------------------------------------
# Array checks and their order


@pytest.mark.parametrize(
    ("make_values", "message"),
    [
        pytest.param(lambda: np.asfortranarray(grid(3, 4)), VALUES_LAYOUT, id="fortran-3x4"),
        pytest.param(lambda: np.asfortranarray(grid(3, 1)), ONE_BATCH, id="fortran-3x1"),
        pytest.param(lambda: grid(3, 8)[:, ::2], VALUES_LAYOUT, id="column-step"),
        pytest.param(lambda: grid(6, 4)[::2], VALUES_LAYOUT, id="row-step"),
        pytest.param(lambda: grid(3, 4)[::-1], VALUES_LAYOUT, id="reversed-rows"),
        pytest.param(lambda: grid(3, 4)[:, ::-1], VALUES_LAYOUT, id="reversed-columns"),
        pytest.param(lambda: grid(4, 3).T, VALUES_LAYOUT, id="transposed"),
        pytest.param(lambda: grid(3, 4)[:, 1:2], VALUES_LAYOUT, id="column-view"),
        pytest.param(lambda: grid(3, 4)[1:3], ONE_BATCH, id="row-range-view"),
        pytest.param(lambda: grid(3, 4)[1:2, ::-1][:, :1], ONE_BATCH, id="single-cell-view"),
        pytest.param(lambda: np.broadcast_to(np.arange(4.0), (3, 4)), VALUES_LAYOUT,
                     id="broadcast-rows"),
        pytest.param(lambda: unaligned((3, 4), np.float64), VALUES_LAYOUT, id="unaligned"),
        pytest.param(lambda: np.zeros((1, 4), dtype=[("x", "f8"), ("flag", "u1")])["x"],
                     VALUES_LAYOUT, id="record-field"),
        pytest.param(lambda: np.zeros((0, 8))[:, ::2], "empty input for n_samples",
                     id="empty-strided"),
    ],
)
def test_values_layout(make_values, message):
    values = make_values()
    with raises_exactly(ValueError, message):
        combat(values, one_batch(values.shape[0]))


@given(
    rows=st.integers(0, 4),
    cols=st.integers(0, 4),
    row_step=st.sampled_from([1, 2, -1, -3]),
    col_step=st.sampled_from([1, 2, -1, -3]),
    transpose=st.booleans(),
)
def test_values_layout_matches_numpy_c_contiguity(rows, cols, row_step, col_step, transpose):
    view = grid(rows * abs(row_step), cols * abs(col_step))[::row_step, ::col_step]
    if transpose:
        view = view.T
    if view.shape[0] == 0:
        expected = "empty input for n_samples"
    elif view.shape[1] == 0:
        expected = "empty input for n_features"
    elif view.flags.c_contiguous:
        expected = ONE_BATCH
    else:
        expected = VALUES_LAYOUT
    with raises_exactly(ValueError, expected):
        combat(view, one_batch(view.shape[0]))


@pytest.mark.parametrize(
    ("make_batch", "message"),
    [
        pytest.param(lambda: np.zeros(8, dtype=np.int64)[::2], BATCH_STORAGE, id="every-second"),
        pytest.param(lambda: np.zeros(4, dtype=np.int64)[::-1], BATCH_STORAGE, id="reversed"),
        pytest.param(lambda: np.broadcast_to(np.int64(0), (4,)), BATCH_STORAGE,
                     id="broadcast"),
        pytest.param(lambda: unaligned((4,), np.int64), BATCH_STORAGE, id="unaligned"),
        pytest.param(lambda: np.zeros(8, dtype=np.int64)[::8], ONE_BATCH, id="single-strided"),
        pytest.param(lambda: np.array([0, 1, -3, 1]),
                     "batch ids must be non-negative; sample 2 has -3", id="negative"),
        pytest.param(lambda: np.array([-1, -2, 0, 1]),
                     "batch ids must be non-negative; sample 0 has -1", id="first-negative"),
        pytest.param(lambda: np.array([0, 1, 1, np.iinfo(np.int64).min]),
                     "batch ids must be non-negative; sample 3 has -9223372036854775808",
                     id="int64-min"),
        pytest.param(lambda: np.array([0, 9, -1, 9])[::2], BATCH_STORAGE,
                     id="storage-before-sign"),
    ],
)
def test_batch_checks(make_batch, message):
    batch = make_batch()
    with raises_exactly(ValueError, message):
        combat(np.zeros((batch.size, 1)), batch)


@pytest.mark.parametrize(
    ("make_mod", "message"),
    [
        pytest.param(lambda: np.asfortranarray(grid(4, 2)), MOD_LAYOUT, id="fortran-4x2"),
        pytest.param(lambda: grid(4, 4)[:, ::2], MOD_LAYOUT, id="column-step"),
        pytest.param(lambda: grid(3, 2),
                     "mod row count must match values samples: expected 4, got 3",
                     id="three-rows"),
        pytest.param(lambda: grid(5, 1),
                     "mod row count must match values samples: expected 4, got 5",
                     id="five-rows"),
        pytest.param(lambda: unaligned((4, 2), np.float64), MOD_LAYOUT, id="unaligned"),
        pytest.param(lambda: np.asfortranarray(grid(3, 2)), MOD_LAYOUT,
                     id="layout-before-rows"),
        pytest.param(lambda: unaligned((3, 2), np.float64),
                     "mod row count must match values samples: expected 4, got 3",
                     id="rows-before-storage"),
        pytest.param(lambda: np.asfortranarray(grid(4, 1)), ONE_BATCH, id="fortran-4x1"),
        pytest.param(lambda: np.zeros((4, 0)), ONE_BATCH, id="no-columns"),
        pytest.param(lambda: None, ONE_BATCH, id="none"),
    ],
)
def test_mod_checks(make_mod, message):
    with raises_exactly(ValueError, message):
        combat(grid(4, 2), one_batch(4), make_mod())


NEGATIVE_IDS = np.array([0, 1, -3, 1], dtype=np.int64)
NEGATIVE_MESSAGE = "batch ids must be non-negative; sample 2 has -3"


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        pytest.param((np.asfortranarray(grid(4, 3)), np.zeros(8, dtype=np.int64)[::2]),
                     VALUES_LAYOUT, id="values-layout-before-batch"),
        pytest.param((unaligned((4, 3), np.float64), np.zeros(8, dtype=np.int64)[::2]),
                     VALUES_LAYOUT, id="values-storage-before-batch"),
        pytest.param((grid(4, 3), NEGATIVE_IDS, np.asfortranarray(grid(4, 2))),
                     NEGATIVE_MESSAGE, id="negative-id-before-mod-layout"),
        pytest.param((grid(4, 3), NEGATIVE_IDS, grid(3, 2)), NEGATIVE_MESSAGE,
                     id="negative-id-before-mod-rows"),
        pytest.param((np.array([[np.inf], [0.0], [1.0], [2.0]]), NEGATIVE_IDS),
                     NEGATIVE_MESSAGE, id="binding-before-core"),
        pytest.param((np.zeros((0, 4)), one_batch(0), grid(3, 1)),
                     "mod row count must match values samples: expected 0, got 3",
                     id="mod-rows-before-empty-input"),
    ],
)
def test_check_order(arguments, message):
    with raises_exactly(ValueError, message):
        combat(*arguments)


# ---------------------------------------------------------------------------------------
# The core's front door, as seen from Python


def with_value(shape, *cells):
    values = grid(*shape)
    for (row, col), value in cells:
        values[row, col] = value
    return values


SIX_IDS = np.array([0, 0, 0, 1, 1, 1], dtype=np.int64)
DUPLICATES = np.column_stack([np.arange(6.0), SIX_IDS * 3.0, np.arange(6.0)])


@pytest.mark.parametrize(
    ("arguments", "keywords", "message"),
    [
        pytest.param((np.zeros((0, 5)), one_batch(0)), {}, "empty input for n_samples",
                     id="no-samples"),
        pytest.param((np.zeros((5, 0)), two_batches(5)), {}, "empty input for n_features",
                     id="no-features"),
        pytest.param((np.zeros((0, 0)), one_batch(0)), {}, "empty input for n_samples",
                     id="nothing"),
        pytest.param((grid(4, 2), two_batches(5)), {},
                     "batch length mismatch: n_samples=4, batch_len=5", id="batch-too-long"),
        pytest.param((grid(4, 2), two_batches(3)), {"ref_batch": 7},
                     "batch length mismatch: n_samples=4, batch_len=3",
                     id="batch-length-before-reference"),
        pytest.param((grid(4, 2), np.full(4, 2**63 - 1)), {}, ONE_BATCH, id="one-batch"),
        pytest.param((with_value((3, 8), ((2, 5), np.inf), ((0, 7), -np.inf)), two_batches(3)),
                     {}, "non-finite dense value at sample 0, feature 7", id="infinity"),
        pytest.param((with_value((3, 2), ((1, 1), np.nan)), one_batch(3)), {}, ONE_BATCH,
                     id="nan-is-missing-not-rejected"),
        pytest.param((grid(4, 2), two_batches(4)), {"ref_batch": 7},
                     "missing reference batch: 7", id="missing-reference"),
        pytest.param((grid(4, 2), two_batches(4), with_value((4, 1), ((1, 0), np.nan))),
                     {"ref_batch": 7}, "missing reference batch: 7",
                     id="reference-before-covariates"),
        pytest.param((grid(4, 2), two_batches(4), with_value((4, 1), ((1, 0), np.nan))), {},
                     "non-finite design value in covariates at sample 1, column 0",
                     id="nan-covariate"),
        pytest.param((grid(4, 2), two_batches(4), with_value((4, 2), ((2, 1), -np.inf))), {},
                     "non-finite design value in covariates at sample 2, column 1",
                     id="infinite-covariate"),
        pytest.param((grid(3, 2), np.array([0, 0, 1]), np.array([[1.0, 5.0], [2.0, 1.0],
                                                                 [3.0, 0.0]])), {},
                     "invalid design: too many design columns: batches=2 covariates=2 "
                     "samples=3", id="too-many-columns"),
        pytest.param((grid(6, 2), SIX_IDS, DUPLICATES), {},
                     "invalid design: duplicate covariate columns 0 and 2",
                     id="duplicates-before-collinear"),
        pytest.param((grid(6, 2), SIX_IDS, np.column_stack([np.ones(6), np.full(6, 2.0)])), {},
                     "invalid design: covariate column 1 is collinear with batch indicators",
                     id="collinear-after-intercept"),
    ],
)
def test_front_door_errors(arguments, keywords, message):
    with raises_exactly(ValueError, message):
        combat(*arguments, **keywords)


@pytest.mark.parametrize("parallel", ["0", "1"])
@pytest.mark.parametrize("par_prior", [True, False])
def test_numerical_failure_is_runtime_error(monkeypatch, parallel, par_prior):
    # Every value of batch 1 in feature 0 is missing: that feature's design has an empty
    # level, so its least-squares fit is singular.
    monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
    values = np.random.default_rng(0).normal(size=(6, 3))
    values[3:, 0] = np.nan
    with raises_exactly(RuntimeError, "singular design matrix"):
        combat(values, SIX_IDS, par_prior=par_prior)


# ---------------------------------------------------------------------------------------
# Results


def snapshot(*arrays):
    return [(a.tobytes(), a.shape, a.strides, a.flags.writeable) for a in arrays]


def test_result_dict_and_adjusted_array():
    values, batch = problem()
    mod = np.column_stack([np.ones(batch.size), np.linspace(0.0, 1.0, batch.size) ** 2])
    before = snapshot(values, batch, mod)
    result = combat(values, batch, mod)
    assert snapshot(values, batch, mod) == before

    assert list(result) == ["adjusted", "n_samples", "n_features", "report"]
    assert list(result["report"]) == [
        "effective_mean_only",
        "singleton_batches",
        "zero_variance_features",
    ]
    assert (type(result["n_samples"]), type(result["n_features"])) == (int, int)
    assert (result["n_samples"], result["n_features"]) == values.shape
    assert result["report"] == {
        "effective_mean_only": False,
        "singleton_batches": [],
        "zero_variance_features": [],
    }
    assert type(result["report"]["effective_mean_only"]) is bool

    adjusted = result["adjusted"]
    assert type(adjusted) is np.ndarray
    assert adjusted.dtype == np.dtype(np.float64) and adjusted.dtype.isnative
    assert adjusted.shape == values.shape
    assert adjusted.flags.c_contiguous and adjusted.flags.writeable and adjusted.flags.aligned
    assert not np.shares_memory(adjusted, values)
    # Handed over, not copied: the array views a buffer that its base object owns.
    assert not adjusted.flags.owndata and adjusted.base is not None
    assert np.isfinite(adjusted).all()
    assert not np.array_equal(adjusted, values)

    adjusted[:] = 0.0
    assert snapshot(values, batch, mod) == before


def test_adjusted_buffer_outlives_the_result_through_views():
    values, batch = problem()
    result = combat(values, batch)
    expected = result["adjusted"].copy()
    tail = result["adjusted"][1:]
    del result
    gc.collect()
    combat(values, batch)  # reuses freed memory if the buffer had been released early
    np.testing.assert_array_equal(tail, expected[1:])


def test_integer_report_entries_are_python_ints():
    values, batch = problem(sizes=(4, 1, 4))
    batch = np.where(batch == 1, 2**63 - 1, batch)
    values[:, 2] = 3.0
    report = combat(values, batch)["report"]
    assert report["singleton_batches"] == [2**63 - 1]
    assert report["zero_variance_features"] == [2]
    assert all(type(x) is int for x in report["singleton_batches"])
    assert all(type(x) is int for x in report["zero_variance_features"])


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda v, b: combat(v, b, None, True, False, None), id="positional"),
        pytest.param(lambda v, b: combat(values=v, batch=b, mod=None, par_prior=True,
                                         mean_only=False, ref_batch=None), id="keywords"),
        pytest.param(lambda v, b: combat(ref_batch=None, mean_only=False, batch=b, values=v),
                     id="keywords-shuffled"),
        pytest.param(lambda v, b: combat(v, b, None, mean_only=False), id="mixed"),
        pytest.param(lambda v, b: combat(v, b, par_prior=np.True_, mean_only=np.False_),
                     id="numpy-bools"),
        pytest.param(lambda v, b: combat(v.copy(order="C"), b.copy()), id="copied-inputs"),
    ],
)
def test_defaults_behave_like_explicit_arguments(call):
    values, batch = problem()
    same_result(call(values, batch), combat(values, batch))


@pytest.mark.parametrize(
    "ref_batch",
    [
        pytest.param(1, id="int"),
        pytest.param(np.int64(1), id="numpy-int64"),
        pytest.param(np.uint64(1), id="numpy-uint64"),
        pytest.param(Index(1), id="index-object"),
    ],
)
def test_reference_batch_comes_back_unchanged(ref_batch):
    values, batch = problem()
    values[:, 3] = 5.0  # a zero-variance feature as well
    result = combat(values, batch, ref_batch=ref_batch)
    same_result(result, combat(values, batch, ref_batch=1))
    reference = batch == 1
    assert result["adjusted"][reference].tobytes() == values[reference].tobytes()
    assert not np.array_equal(result["adjusted"][~reference], values[~reference])


def test_read_only_inputs_are_accepted():
    values, batch = problem()
    expected = combat(values, batch)
    values.flags.writeable = False
    batch.flags.writeable = False
    same_result(combat(values, batch), expected)


def test_all_zero_variance_features_pass_through():
    values, batch = problem(n_features=3)
    values[:] = (batch[:, None] + 1.0) * np.array([1.0, -2.0, 0.5])
    result = combat(values, batch)
    assert result["adjusted"].tobytes() == values.tobytes()
    assert result["report"] == {
        "effective_mean_only": True,
        "singleton_batches": [],
        "zero_variance_features": [0, 1, 2],
    }


@pytest.mark.parametrize(
    ("sizes", "options", "singletons"),
    [
        pytest.param((4, 4, 4), {"mean_only": True}, [], id="requested"),
        pytest.param((4, 1, 4), {}, [1], id="singleton-batch"),
        pytest.param((1, 4, 1), {"par_prior": False}, [0, 2], id="two-singletons-nonparametric"),
    ],
)
def test_effective_mean_only(sizes, options, singletons):
    values, batch = problem(sizes=sizes)
    report = combat(values, batch, **options)["report"]
    assert report["effective_mean_only"] is True
    assert report["singleton_batches"] == singletons


def test_missing_values_come_back_missing():
    values, batch = problem()
    values[[0, 5, 11], [1, 4, 0]] = np.nan
    adjusted = combat(values, batch)["adjusted"]
    np.testing.assert_array_equal(np.isnan(adjusted), np.isnan(values))


@pytest.mark.parametrize(
    "options",
    [
        pytest.param({}, id="parametric"),
        pytest.param({"par_prior": False}, id="nonparametric"),
        pytest.param({"mean_only": True, "ref_batch": 2}, id="mean-only-reference"),
    ],
)
def test_serial_and_parallel_runs_agree(monkeypatch, options):
    values, batch = problem(sizes=(30, 20, 25), n_features=40)
    mod = np.column_stack([np.ones(batch.size), np.sin(np.arange(batch.size))])
    monkeypatch.setenv("QUARNEL_PARALLEL", "0")
    serial = combat(values, batch, mod, **options)
    monkeypatch.setenv("QUARNEL_PARALLEL", "1")
    same_result(combat(values, batch, mod, **options), serial)


# ---------------------------------------------------------------------------------------
# Ownership, leaks and memory exhaustion


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="needs /proc/self/statm")


@pytest.mark.parametrize(
    ("make_call", "exc_type"),
    [
        pytest.param(lambda v, b, m, r: combat(v, b, m, 1, ref_batch=r), TypeError,
                     id="conversion"),
        pytest.param(lambda v, b, m, r: combat(v, b, m, par_prior=r), TypeError,
                     id="bool-conversion"),
        pytest.param(lambda v, b, m, r: combat(v, b, m, ref_batch=Index(-1)), OverflowError,
                     id="overflow"),
        pytest.param(lambda v, b, m, r: combat(v.T, b, m, ref_batch=r), ValueError,
                     id="layout"),
        pytest.param(lambda v, b, m, r: combat(v, -b, m, ref_batch=r), ValueError,
                     id="negative-id"),
        pytest.param(lambda v, b, m, r: combat(v, b, m[:-1], ref_batch=r), ValueError,
                     id="mod-rows"),
        pytest.param(lambda v, b, m, r: combat(v, b, m, ref_batch=r), ValueError,
                     id="core-error"),
        pytest.param(lambda v, b, m, r: combat(v, b, m[:, :1] * 0.0 + 2.0), ValueError,
                     id="design-error"),
    ],
)
def test_failing_calls_release_everything(make_call, exc_type):
    values, batch = problem()
    batch = batch + 1  # no id 0, so ref_batch 0 is missing and -batch is negative
    mod = np.column_stack([np.ones(batch.size), np.arange(batch.size, dtype=float)])
    ref = Index(0)
    before = snapshot(values, batch, mod)
    counts = [sys.getrefcount(x) for x in (values, batch, mod, ref)]
    for _ in range(300):
        with pytest.raises(exc_type):
            make_call(values, batch, mod, ref)
    assert [sys.getrefcount(x) for x in (values, batch, mod, ref)] == counts
    assert snapshot(values, batch, mod) == before


def test_successful_calls_release_arguments():
    values, batch = problem()
    mod = np.column_stack([np.ones(batch.size), np.arange(batch.size, dtype=float)])
    ref = Index(2)
    before = snapshot(values, batch, mod)
    counts = [sys.getrefcount(x) for x in (values, batch, mod, ref)]
    for _ in range(200):
        result = combat(values, batch, mod, ref_batch=ref)
    adjusted = weakref.ref(result["adjusted"])
    del result
    assert adjusted() is None  # the dict held the only reference to the array
    assert [sys.getrefcount(x) for x in (values, batch, mod, ref)] == counts
    assert snapshot(values, batch, mod) == before


def memory_growth(call, repeats):
    for _ in range(10):
        call()
    gc.collect()
    start = rss_bytes()
    for _ in range(repeats):
        call()
    gc.collect()
    return rss_bytes() - start


@needs_proc
@pytest.mark.parametrize("parallel", ["0", "1"])
def test_memory_stays_flat_over_repeated_calls(monkeypatch, parallel):
    monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
    # A failing call after the batch ids were copied (1.6 MB) ...
    n = 200_000
    values, batch = np.zeros((n, 1)), one_batch(n)

    def failing():
        with pytest.raises(ValueError):
            combat(values, batch)

    assert memory_growth(failing, 100) < 40 * 2**20  # a leak would be 160 MB

    # ... and a successful one whose result (1.6 MB) is dropped at once.
    values, batch = problem(sizes=(2000, 2000), n_features=50, seed=3)
    assert memory_growth(lambda: combat(values, batch), 60) < 32 * 2**20  # a leak: 96 MB


@needs_proc
def test_memory_exhaustion_raises_memory_error():
    # The address-space limit sits 16 MB above what the process already maps, so copying
    # 32 MB of batch ids cannot succeed; the rest of the machine is never touched.
    script = textwrap.dedent(
        """
        import os, resource
        import numpy as np
        import _quarnel

        n = 4_000_000
        values, batch = np.zeros((n, 1)), np.zeros(n, dtype=np.int64)
        page = os.sysconf("SC_PAGE_SIZE")
        with open("/proc/self/statm") as statm:
            mapped = int(statm.read().split()[0]) * page
        _, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped + 16 * 2**20, hard))
        try:
            _quarnel.combat(values, batch)
        except MemoryError:
            print("MemoryError")
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "MemoryError"
