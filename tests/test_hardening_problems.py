"""Property tests of valid correction problems and of values at the edges of a double.

Hypothesis draws problems that pass every input check: many batches of two, singleton
batches, batch ids up to 2^63 - 1, samples in any order, covariates, missing values in
scattered cells, whole rows and whole batch-feature blocks, constant and tied features,
and every combination of options. Every run must keep its invariants (shape and type,
missing values in place and nowhere else, finite values where the input was finite,
constant features and the reference batch bit for bit) and give the same bits serially,
in parallel and when repeated; a run may instead fail with a documented statistical
failure, the same one in every mode.
"""

from __future__ import annotations

import numpy as np
from _quarnel import combat
from hardening_support import check_result, is_statistical_failure, parallel_mode, snapshot
from hypothesis import HealthCheck, assume, event, given, settings
from hypothesis import strategies as st

ID_POOL = list(range(12)) + [2**40, 2**62, 2**63 - 2, 2**63 - 1]


def run(mode, values, batch, **kwargs):
    """The outcome of one call: its result's bytes and report, or its exception."""
    with parallel_mode(mode):
        try:
            result = combat(values, batch, **kwargs)
        except Exception as error:  # noqa: BLE001 - compared across modes by the caller
            return None, error
    return result, None


def same_outcome(a, b):
    (result_a, error_a), (result_b, error_b) = a, b
    if error_a is not None or error_b is not None:
        return (type(error_a), str(error_a)) == (type(error_b), str(error_b))
    return (result_a["adjusted"].tobytes() == result_b["adjusted"].tobytes()
            and result_a["report"] == result_b["report"])


def check_everywhere(values, batch, mod=None, **options):
    """Runs serially, in parallel and repeated; checks agreement and every invariant.
    Returns the serial result, or None when the problem failed statistically."""
    before = snapshot(values, batch, mod)
    serial = run("0", values, batch, mod=mod, **options)
    parallel = run("1", values, batch, mod=mod, **options)
    again = run("0", values, batch, mod=mod, **options)
    assert snapshot(values, batch, mod) == before, "an argument was modified"
    assert same_outcome(serial, parallel), (serial, parallel)
    assert same_outcome(serial, again), (serial, again)
    result, error = serial
    if error is not None:
        event(f"failure: {error}")
        assert is_statistical_failure(error), f"{type(error).__name__}: {error}"
        return None
    event("corrected")
    check_result(result, values, batch, options.get("mean_only", False),
                 options.get("ref_batch"))
    return result


# ---------------------------------------------------------------------------------------
# Valid problems


@st.composite
def batch_layouts(draw):
    """Batch ids per sample, in a random sample order."""
    shape = draw(st.sampled_from(["mixed", "mixed", "pairs", "singletons", "mixed", "mixed"]))
    n_batches = draw(st.integers(2, 7))
    if shape == "pairs":
        sizes = [2] * n_batches
    elif shape == "singletons":
        sizes = [draw(st.sampled_from([1, 1, 3, 5])) for _ in range(n_batches)]
        sizes[0] = max(sizes[0], 3)
    else:
        sizes = [draw(st.integers(2, 9)) for _ in range(n_batches)]
    ids = draw(st.lists(st.sampled_from(ID_POOL), min_size=n_batches, max_size=n_batches,
                        unique=True))
    batch = np.repeat(np.array(ids, dtype=np.int64), sizes)
    order = draw(st.permutations(range(batch.size)))
    return batch[list(order)]


@st.composite
def problems(draw):
    batch = draw(batch_layouts())
    n = batch.size
    n_features = draw(st.integers(1, 8))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    ids = np.unique(batch)
    level = np.searchsorted(ids, batch)
    shift = rng.normal(0.0, 2.0, (ids.size, n_features))
    scale = rng.uniform(0.3, 3.0, (ids.size, n_features))
    values = 10.0 + shift[level] + scale[level] * rng.normal(size=(n, n_features))

    mod = None
    n_covariates = draw(st.integers(0, 2))
    # Continuous covariates pass the design checks when some batch has two samples and
    # the design has no more columns than there are samples.
    if n_covariates and n >= ids.size + n_covariates and np.bincount(level).max() >= 2:
        columns = [rng.normal(size=n) for _ in range(n_covariates)]
        values += np.outer(columns[0], rng.normal(size=n_features))
        if draw(st.booleans()):
            columns.insert(draw(st.integers(0, len(columns))), np.ones(n))  # an intercept
        mod = np.column_stack(columns)

    if draw(st.booleans()):  # ties: values on a coarse grid
        values = np.round(values, draw(st.integers(0, 1)))
    for _ in range(draw(st.integers(0, 2))):  # features constant within one batch or all
        j = draw(st.integers(0, n_features - 1))
        rows = batch == draw(st.sampled_from(ids.tolist())) if draw(st.booleans()) else slice(None)
        values[rows, j] = draw(st.sampled_from([0.0, -0.0, 3.5, -7.0]))
    missing = draw(st.sampled_from(["none", "none", "cells", "row", "block", "one"]))
    if missing == "cells":
        values[rng.random(values.shape) < draw(st.sampled_from([0.05, 0.2]))] = np.nan
    elif missing == "row":
        values[draw(st.integers(0, n - 1))] = np.nan
    elif missing == "block":
        values[batch == draw(st.sampled_from(ids.tolist())),
               draw(st.integers(0, n_features - 1))] = np.nan
    elif missing == "one":
        values[draw(st.integers(0, n - 1)), draw(st.integers(0, n_features - 1))] = np.nan

    options = {
        "par_prior": draw(st.booleans()),
        "mean_only": draw(st.booleans()),
        "ref_batch": draw(st.sampled_from([None, None] + ids.tolist())),
    }
    return np.ascontiguousarray(values), batch, mod, options


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(problems())
def test_valid_problems_keep_every_invariant_in_every_mode(problem):
    values, batch, mod, options = problem
    check_everywhere(values, batch, mod, **options)


# ---------------------------------------------------------------------------------------
# Values at the edges of a double

# Exponents of ten; ordinary ones at both ends, where Hypothesis draws most often.
MAGNITUDES = [0, 0, 50, -50, -320, -310, -300, -200, -160, -150, -100, 100, 150, 154, 160,
              200, 250, 300, 307, 0, 0, -50, 50]


@st.composite
def extreme_problems(draw):
    """Ordinary problems rescaled by huge or tiny factors, per batch, per feature or
    overall, with subnormals, ties, single features and one-sample batches."""
    sizes = draw(st.lists(st.sampled_from([1, 2, 3, 5]), min_size=2, max_size=4))
    batch = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    n_features = draw(st.sampled_from([1, 1, 2, 3, 5]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.normal(size=(batch.size, n_features)) + rng.normal(size=len(sizes))[batch, None]
    if draw(st.booleans()):
        values = np.round(values, 1)  # ties
    by = draw(st.sampled_from(["batch", "all", "feature", "cell", "batch"]))
    shape = {"all": (1, 1), "batch": (len(sizes), 1), "feature": (1, n_features),
             "cell": values.shape}[by]
    exponents = np.array(draw(st.lists(st.sampled_from(MAGNITUDES), min_size=int(np.prod(shape)),
                                       max_size=int(np.prod(shape))))).reshape(shape)
    if by == "batch":
        exponents = exponents[batch]
    with np.errstate(all="ignore"):
        # Two steps, so that 10^-320 (below the smallest normal double) is reached.
        values = values * 10.0 ** (exponents // 2) * 10.0 ** (exponents - exponents // 2)
    if draw(st.booleans()):
        values[draw(st.integers(0, batch.size - 1)), 0] = draw(
            st.sampled_from([5e-324, -5e-324, 2.2e-308, 1.7e308, -1.7e308]))
    assume(np.isfinite(values).all())
    options = {
        "par_prior": draw(st.booleans()),
        "mean_only": draw(st.booleans()),
        "ref_batch": draw(st.sampled_from([None, 0])),
    }
    return values, batch, options


@settings(max_examples=600, suppress_health_check=[HealthCheck.too_slow,
                                                    HealthCheck.filter_too_much])
@given(extreme_problems())
def test_extreme_values_come_back_finite_or_fail_with_a_documented_failure(problem):
    values, batch, options = problem
    check_everywhere(values, batch, **options)


@st.composite
def scalable_problems(draw):
    sizes = draw(st.lists(st.integers(2, 6), min_size=2, max_size=4))
    batch = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    n_features = draw(st.integers(1, 5))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.normal(size=(batch.size, n_features)) * rng.uniform(0.5, 2.0, len(sizes))[
        batch, None] + rng.normal(size=len(sizes))[batch, None]
    if draw(st.booleans()):
        values[draw(st.integers(0, batch.size - 1)), draw(st.integers(0, n_features - 1))] = np.nan
    options = {
        "par_prior": draw(st.booleans()),
        "mean_only": draw(st.booleans()),
        "ref_batch": draw(st.sampled_from([None, 1])),
    }
    return values, batch, options, draw(st.integers(-450, 450))


@settings(max_examples=200, suppress_health_check=[HealthCheck.too_slow])
@given(scalable_problems())
def test_power_of_two_scaling_scales_the_result_exactly(problem):
    # Multiplying by 2^k is exact in every operation of the model as long as nothing
    # overflows or underflows, which |k| <= 450 guarantees for data of order one.
    values, batch, options, exponent = problem
    result, error = run("1", values, batch, **options)
    assume(error is None)
    scaled, scaled_error = run("1", np.ldexp(values, exponent), batch, **options)
    assert scaled_error is None, scaled_error
    assert scaled["adjusted"].tobytes() == np.ldexp(result["adjusted"], exponent).tobytes()
    assert scaled["report"] == result["report"]
