"""What the property tests of ``_quarnel.combat`` know independently of the extension.

The outcomes of a run that passed every input check: the statistical failures it may end
with, and the invariants of a successful result (report, missing values, unchanged
columns and rows), computed here from the inputs alone.
"""

from __future__ import annotations

import contextlib
import os

import numpy as np

# Statistical failures a validated run may end with. Failures that the pipeline rules out
# (priors with fewer than two kept features, scale estimates with a one-sample batch,
# which forces mean-only mode) are deliberately absent.
RUNTIME_FAILURES = frozenset(
    ["singular design matrix"]
    + [
        "numerical failure: " + detail
        for detail in [
            "design response contains an infinite value",
            "design fit produced a non-finite coefficient",
            "pooled variance requires at least two observed residuals",
            "pooled variance is not positive finite",
            "delta_hat is not positive finite",
            "sample variance requires at least two values",
            "parametric prior variance is not positive",
            "parametric prior is not finite",
            "parametric prior variance is not finite",
            "posterior update requires at least one observed value",
            "posterior update produced a non-finite value",
            "parametric posterior solver did not converge in 1000 iterations",
            "non-parametric likelihood has no finite support",
            "non-parametric likelihood weights are degenerate",
            "non-parametric posterior produced a non-finite value",
            "non-parametric prior value is not positive finite",
            "batch adjustment produced a non-finite value",
        ]
    ]
)
VALUE_FAILURES = frozenset(
    [
        (
            "unsupported option: scale adjustment requires at least two observed values per "
            "batch and feature"
        )
    ]
)


def is_statistical_failure(error: BaseException) -> bool:
    known = {RuntimeError: RUNTIME_FAILURES, ValueError: VALUE_FAILURES}.get(type(error))
    return known is not None and str(error) in known


@contextlib.contextmanager
def parallel_mode(mode: str):
    """QUARNEL_PARALLEL set to `mode` for the duration (hypothesis tests cannot use
    pytest's function-scoped monkeypatch)."""
    saved = os.environ.get("QUARNEL_PARALLEL")
    os.environ["QUARNEL_PARALLEL"] = mode
    try:
        yield
    finally:
        if saved is None:
            del os.environ["QUARNEL_PARALLEL"]
        else:
            os.environ["QUARNEL_PARALLEL"] = saved


def expected_report(values: np.ndarray, batch: np.ndarray, mean_only: bool) -> dict:
    """The report a successful run must give: one-sample batches, and features holding a
    single value (NaN never equal, -0.0 equal to 0.0) in some batch of two or more."""
    ids, counts = np.unique(batch, return_counts=True)
    singletons = [int(i) for i, count in zip(ids, counts) if count == 1]
    constant = []
    for j in range(values.shape[1]):
        for i, count in zip(ids, counts):
            column = values[batch == i, j]
            if count >= 2 and bool(np.all(column == column[0])):
                constant.append(j)
                break
    kept = values.shape[1] - len(constant)
    return {
        "effective_mean_only": bool(mean_only or singletons or kept < 2),
        "singleton_batches": singletons,
        "zero_variance_features": constant,
    }


def check_result(result, values, batch, mean_only=False, ref_batch=None):
    """Asserts everything a successful run promises about its result."""
    assert list(result) == ["adjusted", "n_samples", "n_features", "report"]
    assert (result["n_samples"], result["n_features"]) == values.shape
    assert type(result["n_samples"]) is int and type(result["n_features"]) is int
    report = result["report"]
    assert report == expected_report(values, batch, mean_only)
    assert list(report) == ["effective_mean_only", "singleton_batches", "zero_variance_features"]
    assert type(report["effective_mean_only"]) is bool
    assert all(type(x) is int for x in report["singleton_batches"])
    assert all(type(x) is int for x in report["zero_variance_features"])

    adjusted = result["adjusted"]
    assert type(adjusted) is np.ndarray
    assert adjusted.dtype == np.dtype(np.float64) and adjusted.shape == values.shape
    assert adjusted.flags.c_contiguous and adjusted.flags.writeable and adjusted.flags.aligned
    assert not np.shares_memory(adjusted, values)
    # Missing values stay missing, and nothing else becomes missing or infinite.
    missing = np.isnan(values)
    assert np.array_equal(np.isnan(adjusted), missing)
    assert np.isfinite(adjusted[~missing]).all()
    # Constant features and the reference batch come back bit for bit.
    constant = report["zero_variance_features"]
    assert adjusted[:, constant].tobytes() == values[:, constant].tobytes()
    if ref_batch is not None:
        rows = batch == ref_batch
        assert adjusted[rows].tobytes() == values[rows].tobytes()
    if len(constant) == values.shape[1]:
        assert adjusted.tobytes() == values.tobytes()


def snapshot(*arrays):
    """Everything a call could change about its array arguments."""
    return [
        (a.tobytes(), a.shape, a.strides, a.dtype.str, a.flags.writeable)
        if isinstance(a, np.ndarray) else repr(a)
        for a in arrays
    ]
