"""Property tests of the Python boundary of ``_quarnel.combat``.

Hypothesis draws whole calls: arrays of every shape from empty to a few rows, every
element type, byte order and memory layout (C and Fortran order, strided, reversed,
misaligned, read-only, broadcast, ndarray subclasses), non-array arguments, bools of
every kind, reference batches of every kind, and every way of passing the six
arguments by position and keyword, right or wrong. An oracle written from the binding's
and the front door's rules predicts, from the call alone, the exact exception and text;
a call it lets through must return a well-formed result or fail with one of the
documented statistical failures. No call may crash, hang or change its arguments.
"""

from __future__ import annotations

import operator

import numpy as np
import pytest
from _quarnel import combat
from hardening_support import check_result, is_statistical_failure, snapshot
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

PARAMETERS = ("values", "batch", "mod", "par_prior", "mean_only", "ref_batch")
NATIVE_FLOAT = np.dtype(np.float64)
NATIVE_INT = np.dtype(np.int64)


class Sub(np.ndarray):
    """An ndarray subclass: still an array to the binding."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Rejected(Exception):
    """What the oracle predicts: an exception type and its exact text (None: any text)."""

    def __init__(self, exc_type, message):
        super().__init__(exc_type, message)
        self.exc_type = exc_type
        self.message = message


# ---------------------------------------------------------------------------------------
# Arrays of every layout


def laid_out(content: np.ndarray, dtype: np.dtype, layout: str) -> np.ndarray:
    """An array of `dtype` whose elements, in logical order, are `content`'s (cast as
    NumPy casts them), with the memory layout named by `layout`."""
    with np.errstate(all="ignore"):
        return arranged(content, dtype, layout)


def arranged(content, dtype, layout):
    shape = content.shape
    if dtype == np.dtype(object) and layout in ("misaligned", "broadcast"):
        layout = "c"  # NumPy cannot reinterpret raw bytes as object references
    if layout == "fortran":
        return np.asfortranarray(content.astype(dtype))
    if layout == "readonly":
        array = np.ascontiguousarray(content.astype(dtype))
        array.flags.writeable = False
        return array
    if layout == "misaligned":
        raw = np.zeros(content.size * dtype.itemsize + 1, dtype=np.uint8)
        array = raw[1:].view(dtype).reshape(shape)
        array[...] = content
        return array
    if layout == "reversed":
        return np.ascontiguousarray(content[::-1].astype(dtype))[::-1]
    if layout == "reversed-columns":
        return np.ascontiguousarray(content[:, ::-1].astype(dtype))[:, ::-1]
    if layout == "step":
        wide = np.zeros((shape[0] * 2,) + shape[1:], dtype=dtype)
        wide[::2] = content
        return wide[::2]
    if layout == "step-columns":
        wide = np.zeros((shape[0], shape[1] * 3), dtype=dtype)
        wide[:, ::3] = content
        return wide[:, ::3]
    if layout == "transposed":
        return np.ascontiguousarray(content.T.astype(dtype)).T
    if layout == "broadcast":  # every row (or element) is the first one
        first = content[:1] if content.shape[0] else content
        return np.broadcast_to(first.astype(dtype), shape)
    if layout == "subclass":
        return np.ascontiguousarray(content.astype(dtype)).view(Sub)
    assert layout == "c"
    return np.ascontiguousarray(content.astype(dtype))


MATRIX_LAYOUTS = ["c"] * 12 + ["fortran", "readonly", "misaligned", "reversed",
                              "reversed-columns", "step", "step-columns", "transposed",
                              "broadcast", "subclass"] + ["c"] * 12
VECTOR_LAYOUTS = ["c"] * 12 + ["readonly", "misaligned", "reversed", "step", "broadcast",
                              "subclass"] + ["c"] * 12
FLOAT_DTYPES = [NATIVE_FLOAT] * 15 + [NATIVE_FLOAT.newbyteorder(), np.dtype(np.float32),
                                     np.dtype(np.int64), np.dtype(object),
                                     np.dtype(np.complex128), np.dtype(np.longdouble)]
FLOAT_DTYPES += [NATIVE_FLOAT] * 15
INT_DTYPES = [NATIVE_INT] * 15 + [np.dtype(np.longlong), NATIVE_INT.newbyteorder(),
                                 np.dtype(np.int32), np.dtype(np.uint64),
                                 np.dtype(np.float64), np.dtype(bool)]
INT_DTYPES += [NATIVE_INT] * 15
DATA = [0.0, -0.0, 1.0, 2.5, -3.0, 7.25, 1e-300, 1e300, 5e-324, np.nan, np.inf, -np.inf]


@st.composite
def matrices(draw, rows, columns, elements):
    """A 2-D float argument: mostly an array (any layout and element type), sometimes a
    list, None, a scalar or an array of the wrong rank."""
    kind = draw(mostly("array", "list", "none", "scalar", "vector", "3d"))
    content = np.array(draw(st.lists(elements, min_size=rows * columns,
                                     max_size=rows * columns)), dtype=np.float64)
    content = content.reshape(rows, columns)
    if kind == "list":
        return content.tolist()
    if kind == "none":
        return None
    if kind == "scalar":
        return draw(st.sampled_from([np.float64(1.0), 2.0, "values"]))
    if kind == "vector":
        return content.ravel()
    if kind == "3d":
        return content[None]
    return laid_out(content, draw(st.sampled_from(FLOAT_DTYPES)),
                    draw(st.sampled_from(MATRIX_LAYOUTS)))


ID_POOL = [0, 1, 2, 3, 2**62, 2**63 - 1]


# Hypothesis favours both ends of a range or a list, so the common choice is put at both
# ends and the rare ones in the middle.
def mostly(common, *rare):
    return st.sampled_from([common] * 10 + list(rare) + [common] * 10)


def rarely(draw, one_in):
    """True about once in `one_in` draws."""
    half = (one_in - 1) // 2
    return draw(st.sampled_from([False] * half + [True] + [False] * (one_in - 1 - half)))


@st.composite
def batches(draw, length):
    kind = draw(mostly("array", "list", "none", "2d"))
    ids = draw(st.lists(st.sampled_from(ID_POOL), min_size=length, max_size=length))
    if length and rarely(draw, 10):
        ids[draw(st.integers(0, length - 1))] = draw(st.sampled_from([-1, -(2**63)]))
    content = np.array(ids, dtype=np.int64)
    if kind == "list":
        return ids
    if kind == "none":
        return None
    if kind == "2d":
        return content.reshape(-1, 1)
    dtype = draw(st.sampled_from(INT_DTYPES))
    with np.errstate(all="ignore"):
        if dtype.kind != "i" or dtype.itemsize != 8:
            content = content.astype(dtype)  # what the rejected array would hold
    return laid_out(content, dtype, draw(st.sampled_from(VECTOR_LAYOUTS)))


@st.composite
def covariates(draw, rows, batch):
    """Covariate columns built to reach every check: intercepts, copies of other
    columns, columns constant within batches, missing and infinite values."""
    n_columns = draw(st.integers(0, 3))
    columns = []
    for _ in range(n_columns):
        pattern = draw(st.sampled_from(["random", "random", "ones", "copy", "by-batch", "nan",
                                        "inf"]))
        column = np.array(draw(st.lists(st.sampled_from([-1.0, 0.5, 2.0, 3.0, -0.0]),
                                        min_size=rows, max_size=rows)), dtype=np.float64)
        if pattern == "ones":
            column = np.ones(rows)
        elif pattern == "copy" and columns:
            column = columns[draw(st.integers(0, len(columns) - 1))].copy()
        elif pattern == "by-batch" and isinstance(batch, np.ndarray) and batch.size == rows:
            column = (np.asarray(batch).astype(np.float64) % 5.0) * 0.5 - 1.0
        elif pattern in ("nan", "inf") and rows:
            column[draw(st.integers(0, rows - 1))] = np.nan if pattern == "nan" else -np.inf
        columns.append(column)
    content = np.column_stack(columns) if columns else np.zeros((rows, 0))
    mod_rows = rows + draw(mostly(0, -1, 1))
    if mod_rows != rows:
        content = np.resize(content, (max(mod_rows, 0), content.shape[1]))
    kind = draw(mostly("array", "list", "vector"))
    if kind == "list":
        return content.tolist()
    if kind == "vector":
        return content.ravel()
    return laid_out(content, draw(st.sampled_from(FLOAT_DTYPES)),
                    draw(st.sampled_from(MATRIX_LAYOUTS)))


FLAGS = st.sampled_from([True, False] * 6 + [np.True_, np.False_] * 2 +
                        [1, 0, None, "yes", np.float64(1.0), np.array(True)] +
                        [np.True_, np.False_] * 2 + [True, False] * 6)
REFERENCES = st.sampled_from([None, 0, 1, 2, 3, 2**62, 2**63 - 1] * 2 +
                             [2**63, 2**64 - 1, 2**64, -1, np.int64(1), np.uint64(2**64 - 1),
                              np.int64(-3), Index(2), Index(-1), True, 1.0, "1"] +
                             [None, 0, 1, 2, 3, 2**62, 2**63 - 1] * 2)


@st.composite
def calls(draw):
    """The arguments of one call, the way they are passed, and what they are."""
    rows = draw(st.sampled_from([2, 3, 4, 5, 6, 7] * 2 + [0, 1] + [2, 3, 4, 5, 6, 7] * 2))
    columns = draw(st.sampled_from([1, 2, 3, 4] * 2 + [0] + [1, 2, 3, 4] * 2))
    elements = st.sampled_from(DATA) if draw(st.booleans()) else st.floats(-4.0, 4.0)
    values = draw(matrices(rows, columns, elements))
    batch_length = rows + draw(mostly(0, -1, 1))
    batch = draw(batches(max(batch_length, 0)))
    supplied = {"values": values, "batch": batch}
    if draw(st.booleans()):
        supplied["mod"] = None if rarely(draw, 4) else draw(covariates(rows, batch))
    for name in ("par_prior", "mean_only"):
        if draw(st.booleans()):
            supplied[name] = draw(FLAGS)
    if draw(st.booleans()):
        supplied["ref_batch"] = draw(REFERENCES)
    for name in ("values", "batch"):  # sometimes a required argument is left out
        if rarely(draw, 30):
            del supplied[name]

    # Positionally: a prefix of the parameters, every one of them supplied.
    n_positional = draw(st.integers(0, 6))
    for k, name in enumerate(PARAMETERS[:n_positional]):
        if name not in supplied:
            n_positional = k
            break
    positional = [supplied[name] for name in PARAMETERS[:n_positional]]
    if n_positional == 6 and rarely(draw, 5):
        positional += [None] * draw(st.integers(1, 2))
    keyword_names = draw(st.permutations(
        [name for name in PARAMETERS if name in supplied and
         name not in PARAMETERS[:n_positional]]))
    keywords = [(name, supplied[name]) for name in keyword_names]
    if rarely(draw, 15):  # a name also given by position, or no name at all
        extra = draw(st.sampled_from(["values", "batch", "mod", "Values", "bogus", "ref"]))
        keywords.insert(draw(st.integers(0, len(keywords))), (extra, None))
    # A name may appear once only, whatever the mistake.
    seen = set()
    keywords = [(n, v) for n, v in keywords if not (n in seen or seen.add(n))]
    return positional, keywords


# ---------------------------------------------------------------------------------------
# The oracle


def qualname(value):
    return type(value).__qualname__


def not_an_instance(parameter, value, expected):
    if value is None:
        return Rejected(TypeError, f"argument '{parameter}': 'None' is not an instance of "
                                   f"'{expected}'")
    return Rejected(TypeError, f"argument '{parameter}': '{qualname(value)}' object is not "
                               f"an instance of '{expected}'")


def bind(positional, keywords):
    if len(positional) > 6:
        raise Rejected(TypeError, "combat() takes from 2 to 6 positional arguments but "
                                  f"{len(positional)} were given")
    bound = dict(zip(PARAMETERS, positional))
    for name, value in keywords:
        if name not in PARAMETERS:
            raise Rejected(TypeError, f"combat() got an unexpected keyword argument '{name}'")
        if name in bound:
            raise Rejected(TypeError, f"combat() got multiple values for argument '{name}'")
        bound[name] = value
    missing = [name for name in ("values", "batch") if name not in bound]
    if len(missing) == 2:
        raise Rejected(TypeError, "combat() missing 2 required positional arguments: "
                                  "'values' and 'batch'")
    if missing:
        raise Rejected(TypeError, "combat() missing 1 required positional argument: "
                                  f"'{missing[0]}'")
    return bound


def as_array(parameter, value, ndim, dtype):
    # Element type by NumPy's equivalence: byte order counts, `long long` is `long`.
    if not (isinstance(value, np.ndarray) and value.ndim == ndim and value.dtype == dtype):
        raise not_an_instance(parameter, value, "ndarray")
    return value


def as_flag(parameter, value):
    if type(value) is bool:
        return value
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        return kind.__bool__(value)
    raise not_an_instance(parameter, value, "bool")


def as_reference(value):
    if value is None:
        return None
    try:
        number = value if isinstance(value, int) else operator.index(value)
    except TypeError as error:
        raise Rejected(TypeError, f"argument 'ref_batch': {error}") from None
    if not 0 <= number < 2**64:
        raise Rejected(OverflowError, None)
    return int(number)


def readable(array):
    """Aligned and contiguous, as NumPy flags it (an empty array always passes)."""
    return array.size == 0 or (array.flags.aligned and (array.flags.c_contiguous or
                                                        array.flags.f_contiguous))


def predict(positional, keywords):
    """The exact exception of the call, or the validated inputs the core will run on."""
    bound = bind(positional, keywords)
    values = as_array("values", bound["values"], 2, NATIVE_FLOAT)
    batch = as_array("batch", bound["batch"], 1, NATIVE_INT)
    mod = bound.get("mod")
    if mod is not None:
        mod = as_array("mod", mod, 2, NATIVE_FLOAT)
    as_flag("par_prior", bound.get("par_prior", True))
    mean_only = as_flag("mean_only", bound.get("mean_only", False))
    ref_batch = as_reference(bound.get("ref_batch"))

    # The core reads the buffers in place: row-major without gaps, aligned, contiguous.
    if not (values.flags.c_contiguous and readable(values)):
        raise Rejected(ValueError, "values must be C-contiguous row-major float64 ndarray")
    if not readable(batch):
        raise Rejected(ValueError, "batch must be contiguous int64 ndarray")
    ids = batch.tolist()
    for sample, batch_id in enumerate(ids):
        if batch_id < 0:
            raise Rejected(ValueError, f"batch ids must be non-negative; sample {sample} has "
                                       f"{batch_id}")
    rows, columns = values.shape
    if mod is not None:
        layout = "mod must be C-contiguous row-major float64 ndarray"
        if not mod.flags.c_contiguous:
            raise Rejected(ValueError, layout)
        if mod.shape[0] != rows:
            raise Rejected(ValueError, "mod row count must match values samples: expected "
                                       f"{rows}, got {mod.shape[0]}")
        if not readable(mod):
            raise Rejected(ValueError, layout)

    # The core's front door, in its order.
    if rows == 0:
        raise Rejected(ValueError, "empty input for n_samples")
    if columns == 0:
        raise Rejected(ValueError, "empty input for n_features")
    infinite = np.argwhere(np.isinf(values))
    if len(infinite):
        sample, feature = infinite[0]
        raise Rejected(ValueError, f"non-finite dense value at sample {sample}, "
                                   f"feature {feature}")
    if len(ids) != rows:
        raise Rejected(ValueError, f"batch length mismatch: n_samples={rows}, "
                                   f"batch_len={len(ids)}")
    levels = sorted(set(ids))
    if len(levels) < 2:
        raise Rejected(ValueError, "at least two batches are required")
    if ref_batch is not None and ref_batch not in levels:
        raise Rejected(ValueError, f"missing reference batch: {ref_batch}")
    if mod is not None:
        bad = np.argwhere(~np.isfinite(mod))
        if len(bad):
            sample, column = bad[0]
            raise Rejected(ValueError, "non-finite design value in covariates at sample "
                                       f"{sample}, column {column}")
        candidates = [c for c in range(mod.shape[1]) if not np.all(mod[:, c] == 1.0)]
        if len(levels) + len(candidates) > rows:
            raise Rejected(ValueError, "invalid design: too many design columns: "
                                       f"batches={len(levels)} covariates={len(candidates)} "
                                       f"samples={rows}")
        for x, a in enumerate(candidates):
            for b in candidates[x + 1:]:
                if np.all(mod[:, a] == mod[:, b]):
                    raise Rejected(ValueError, f"invalid design: duplicate covariate "
                                               f"columns {a} and {b}")
        for c in candidates:
            if all(len(set(mod[batch == i, c].tolist())) == 1 for i in levels):
                raise Rejected(ValueError, f"invalid design: covariate column {c} is "
                                           "collinear with batch indicators")
    return values, batch, mod, mean_only, ref_batch


# ---------------------------------------------------------------------------------------
# The property


def describe(positional, keywords):
    return f"positional={positional!r} keywords={keywords!r}"


@settings(max_examples=1000, suppress_health_check=[HealthCheck.too_slow])
@given(calls())
def test_every_call_raises_what_the_rules_say_or_returns_a_result(call):
    positional, keywords = call
    arguments = positional + [value for _, value in keywords]
    before = snapshot(*arguments)
    try:
        expected = predict(positional, keywords)
    except Rejected as rejected:
        expected = rejected
    with np.errstate(all="ignore"):
        try:
            result = combat(*positional, **dict(keywords))
            raised = None
        except Exception as error:  # noqa: BLE001 - compared with the prediction below
            raised = error
    assert snapshot(*arguments) == before, "an argument was modified"

    if isinstance(expected, Rejected):
        event(f"{expected.exc_type.__name__}: {str(expected.message)[:40]}")
        assert raised is not None, f"expected {expected.exc_type.__name__}: {expected.message}"
        assert type(raised) is expected.exc_type, f"{type(raised).__name__}: {raised}"
        if expected.message is None:
            assert not str(raised).startswith("argument")
        else:
            assert str(raised) == expected.message
        return
    values, batch, _, mean_only, ref_batch = expected
    if raised is not None:
        event("statistical failure")
        assert is_statistical_failure(raised), f"{type(raised).__name__}: {raised}"
        return
    event("result")
    check_result(result, values, batch, mean_only, ref_batch)


# A few calls of each kind, so that a drift in the oracle itself is caught.
@pytest.mark.parametrize(
    ("positional", "keywords", "exc_type", "message"),
    [
        pytest.param([], [], TypeError, "combat() missing 2 required positional arguments: "
                     "'values' and 'batch'", id="nothing"),
        pytest.param([np.zeros((2, 2)), np.array([0, 1])], [("mod", None), ("par_prior", 1)],
                     TypeError, "argument 'par_prior': 'int' object is not an instance of "
                     "'bool'", id="int-flag"),
        pytest.param([np.zeros((3, 2)), np.array([0, 1, 1]).astype(">i8")], [], TypeError,
                     "argument 'batch': 'ndarray' object is not an instance of 'ndarray'",
                     id="big-endian-ids"),
        pytest.param([np.zeros((3, 2)), np.array([0, 1, 1])], [("ref_batch", Index(-1))],
                     OverflowError, None, id="negative-reference"),
        pytest.param([laid_out(np.ones((3, 2)), NATIVE_FLOAT, "misaligned"), np.arange(3)], [],
                     ValueError, "values must be C-contiguous row-major float64 ndarray",
                     id="misaligned"),
        pytest.param([np.ones((3, 2)), np.array([0, 1, 1])],
                     [("mod", np.array([[1.0], [2.0], [2.0]]))], ValueError,
                     "invalid design: covariate column 0 is collinear with batch indicators",
                     id="collinear"),
        pytest.param([np.array([[0.0, 1.0], [2.0, 5.0], [4.0, 4.0], [7.0, 1.5]]),
                      np.array([0, 0, 1, 1])], [("par_prior", np.False_)], None, None,
                     id="corrected"),
    ],
)
def test_oracle_examples(positional, keywords, exc_type, message):
    try:
        values, batch, _, mean_only, ref_batch = predict(positional, keywords)
    except Rejected as rejected:
        assert (rejected.exc_type, rejected.message) == (exc_type, message)
        with pytest.raises(exc_type) as info:
            combat(*positional, **dict(keywords))
        assert message is None or str(info.value) == message
    else:
        assert exc_type is None
        check_result(combat(*positional, **dict(keywords)), values, batch, mean_only,
                     ref_batch)
