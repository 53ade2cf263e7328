"""End-to-end corrections through ``_quarnel.combat``."""

from __future__ import annotations

import itertools

import numpy as np
import pytest

import _quarnel


def simulate(
    n_samples: int,
    n_features: int,
    batch_sizes: list[int],
    *,
    seed: int = 0,
    covariate: bool = False,
    nan_fraction: float = 0.0,
):
    """Data from the location/scale model: feature mean, batch shift and batch scale."""
    rng = np.random.default_rng(seed)
    assert sum(batch_sizes) == n_samples
    batch = np.repeat(np.arange(len(batch_sizes), dtype=np.int64), batch_sizes)
    alpha = rng.normal(5.0, 2.0, n_features)
    gamma = rng.normal(0.0, 1.0, (len(batch_sizes), n_features))
    delta = rng.gamma(4.0, 0.25, (len(batch_sizes), n_features))
    noise = rng.normal(0.0, 1.0, (n_samples, n_features))
    values = alpha + gamma[batch] + np.sqrt(delta[batch]) * noise
    mod = None
    if covariate:
        x = rng.normal(0.0, 1.0, n_samples)
        values += np.outer(x, rng.normal(0.0, 1.0, n_features))
        mod = x.reshape(-1, 1).copy()
    if nan_fraction:
        values[rng.random(values.shape) < nan_fraction] = np.nan
    return np.ascontiguousarray(values), batch, mod


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def run(monkeypatch, mode: str, *args, **kwargs):
    monkeypatch.setenv("QUARNEL_PARALLEL", mode)
    return _quarnel.combat(*args, **kwargs)


OPTION_GRID = [
    pytest.param(par, mean, ref, cov, nan, id=f"par={par}-mean={mean}-ref={ref}-cov={cov}-nan={nan}")
    for par, mean, ref, cov, nan in itertools.product(
        [True, False], [False, True], [None, 1], [False, True], [False, True]
    )
]


@pytest.mark.parametrize(("par_prior", "mean_only", "ref_batch", "covariate", "missing"), OPTION_GRID)
def test_serial_and_parallel_runs_are_bit_identical(
    monkeypatch, par_prior, mean_only, ref_batch, covariate, missing
):
    # 260 x 300 with 3 batches is parallel by shape (>= 65536 cells, >= 64 pairs).
    values, batch, mod = simulate(
        260, 300, [90, 100, 70], seed=3, covariate=covariate, nan_fraction=0.01 if missing else 0.0
    )
    kwargs = dict(mod=mod, par_prior=par_prior, mean_only=mean_only, ref_batch=ref_batch)
    serial = run(monkeypatch, "0", values, batch, **kwargs)
    parallel = run(monkeypatch, "1", values, batch, **kwargs)
    unforced = run(monkeypatch, "", values, batch, **kwargs)
    assert same_bits(serial["adjusted"], parallel["adjusted"])
    assert same_bits(serial["adjusted"], unforced["adjusted"])
    assert serial["report"] == parallel["report"]
    assert np.isfinite(serial["adjusted"][~np.isnan(values)]).all()


def test_serial_and_parallel_report_the_same_error(monkeypatch):
    values, batch, _ = simulate(260, 300, [90, 100, 70], seed=4)
    # Feature 7 keeps a single observed value in batch 1: its scale cannot be estimated.
    values[90:189, 7] = np.nan
    messages = set()
    for mode in ("0", "1"):
        with pytest.raises(ValueError) as caught:
            run(monkeypatch, mode, values, batch)
        messages.add(str(caught.value))
    assert messages == {
        "unsupported option: scale adjustment requires at least two observed values per batch and feature"
    }


@pytest.mark.parametrize("par_prior", [True, False], ids=["parametric", "nonparametric"])
@pytest.mark.parametrize("mode", ["0", "1"], ids=["serial", "parallel"])
def test_reference_and_zero_variance_columns_come_back_unchanged(monkeypatch, par_prior, mode):
    values, batch, _ = simulate(260, 300, [90, 100, 70], seed=5)
    values[:, 11] = 4.25  # constant everywhere
    values[90:190, 12] = -1.5  # constant in batch 1 only
    values[0, 13] = np.nan  # a missing value in the reference batch
    before = values.copy()
    result = run(monkeypatch, mode, values, batch, par_prior=par_prior, ref_batch=0)
    adjusted = result["adjusted"]
    assert same_bits(values, before)
    assert result["report"]["zero_variance_features"] == [11, 12]
    assert same_bits(adjusted[:, [11, 12]], values[:, [11, 12]])
    assert same_bits(adjusted[batch == 0], values[batch == 0])
    assert not same_bits(adjusted[batch == 1], values[batch == 1])


@pytest.mark.parametrize("par_prior", [True, False], ids=["parametric", "nonparametric"])
def test_missing_values_stay_missing_and_nothing_else_becomes_missing(par_prior):
    values, batch, _ = simulate(60, 40, [20, 25, 15], seed=6, nan_fraction=0.05)
    adjusted = _quarnel.combat(values, batch, par_prior=par_prior)["adjusted"]
    assert np.array_equal(np.isnan(adjusted), np.isnan(values))


def test_degenerate_reference_batch_does_not_fail_the_run():
    # Every feature of the reference batch holds c, 2c, 3c: its location row is constant,
    # which would leave no prior variance if the reference level were estimated.
    rng = np.random.default_rng(7)
    n_features = 6
    reference = np.outer([1.0, 2.0, 3.0], np.full(n_features, 0.5))
    others = rng.normal(2.0, 1.0, (8, n_features))
    values = np.vstack([reference, others])
    batch = np.array([0, 0, 0] + [1] * 4 + [2] * 4, dtype=np.int64)
    for par_prior in (True, False):
        result = _quarnel.combat(values, batch, par_prior=par_prior, ref_batch=0)
        assert same_bits(result["adjusted"][:3], values[:3])
        assert np.isfinite(result["adjusted"]).all()


class TestReport:
    def test_singleton_batch_forces_mean_only(self):
        values, batch, _ = simulate(21, 8, [10, 10, 1], seed=8)
        batch = batch * 5 + 2  # ids 2, 7, 12
        report = _quarnel.combat(values, batch)["report"]
        assert report == {
            "effective_mean_only": True,
            "singleton_batches": [12],
            "zero_variance_features": [],
        }

    @pytest.mark.parametrize("par_prior", [True, False])
    def test_single_kept_feature_is_corrected_without_shrinkage(self, par_prior):
        values, batch, _ = simulate(12, 3, [6, 6], seed=9)
        values[:, 0] = 1.0
        values[:6, 2] = 3.0
        result = _quarnel.combat(values, batch, par_prior=par_prior)
        assert result["report"] == {
            "effective_mean_only": True,
            "singleton_batches": [],
            "zero_variance_features": [0, 2],
        }
        # Unshrunken location effects align the two batch means of the kept feature exactly
        # (up to rounding), and its within-batch spread is untouched.
        kept = result["adjusted"][:, 1]
        assert kept[:6].mean() == pytest.approx(kept[6:].mean(), abs=1e-12)
        assert kept[:6].std() == pytest.approx(values[:6, 1].std(), rel=1e-12)

    def test_no_kept_feature_returns_the_input(self):
        values = np.array([[1.0, 2.0], [1.0, 2.0], [5.0, 3.0], [6.0, 4.0]])
        batch = np.array([0, 0, 1, 1], dtype=np.int64)
        result = _quarnel.combat(values, batch)
        assert result["report"] == {
            "effective_mean_only": True,
            "singleton_batches": [],
            "zero_variance_features": [0, 1],
        }
        assert same_bits(result["adjusted"], values)


@pytest.mark.parametrize(
    ("values", "batch", "kwargs", "exception", "message"),
    [
        pytest.param(
            [[1.0, 2.0, 3.0], [4.0, 6.0, 9.0]],
            [0, 1],
            {},
            RuntimeError,
            "numerical failure: pooled variance is not positive finite",
            id="every-batch-a-singleton",
        ),
        pytest.param(
            [[1.0, 2.0], [2.0, np.nan], [3.0, np.nan], [1.5, 0.5], [2.5, 0.7], [3.5, 0.2]],
            [0, 0, 0, 1, 1, 1],
            {},
            ValueError,
            "unsupported option: scale adjustment requires at least two observed values per batch and feature",
            id="one-observed-value-in-a-batch",
        ),
        pytest.param(
            [[1.0, 2.0], [2.0, 1.0], [3.0, 0.5], [1.5, np.nan], [2.5, np.nan], [3.5, np.nan]],
            [0, 0, 0, 1, 1, 1],
            {"mean_only": True},
            RuntimeError,
            "singular design matrix",
            id="batch-entirely-missing",
        ),
    ],
)
def test_statistical_failures_raise_their_exception(values, batch, kwargs, exception, message):
    values = np.array(values)
    with pytest.raises(exception) as caught:
        _quarnel.combat(values, np.array(batch, dtype=np.int64), **kwargs)
    assert str(caught.value) == message


def test_batch_effects_are_removed_and_covariate_effects_kept():
    rng = np.random.default_rng(11)
    sizes = [40, 60, 50]
    n, n_features = sum(sizes), 200
    batch = np.repeat(np.arange(3, dtype=np.int64), sizes)
    covariate = rng.normal(0.0, 1.0, n)
    slope = rng.normal(1.0, 0.3, n_features)
    shift = np.array([-2.0, 0.5, 1.5])[:, None] + rng.normal(0.0, 0.2, (3, n_features))
    scale = np.array([0.5, 1.0, 2.0])[:, None] * rng.uniform(0.9, 1.1, (3, n_features))
    base = rng.normal(10.0, 1.0, n_features) + np.outer(covariate, slope)
    values = base + shift[batch] + scale[batch] * rng.normal(0.0, 1.0, (n, n_features))
    mod = covariate.reshape(-1, 1).copy()

    adjusted = _quarnel.combat(values, batch, mod=mod)["adjusted"]

    def residual_by_batch(data):
        # Remove each feature's covariate fit, then look at per-batch means and variances.
        design = np.column_stack([np.ones(n), covariate])
        fitted = design @ np.linalg.lstsq(design, data, rcond=None)[0]
        residual = data - fitted
        means = np.array([residual[batch == b].mean(axis=0) for b in range(3)])
        variances = np.array([residual[batch == b].var(axis=0) for b in range(3)])
        return means, variances

    means_before, vars_before = residual_by_batch(values)
    means_after, vars_after = residual_by_batch(adjusted)
    # Per-batch means: the spread between batches shrinks from about 1.5 to noise level.
    assert np.abs(means_before).mean() > 1.0
    assert np.abs(means_after).mean() < 0.15
    # Per-batch variances: a 16-fold ratio between batches becomes close to 1.
    ratio_before = np.median(vars_before[2] / vars_before[0])
    ratio_after = np.median(vars_after[2] / vars_after[0])
    assert ratio_before > 8.0
    assert 0.7 < ratio_after < 1.4
    # The covariate's effect survives the correction.
    design = np.column_stack([np.ones(n), covariate, np.eye(3)[batch][:, 1:]])
    slope_after = np.linalg.lstsq(design, adjusted, rcond=None)[0][1]
    assert np.corrcoef(slope_after, slope)[0, 1] > 0.95
    assert np.abs(slope_after - slope).mean() < 0.15
