"""The core's judgement of a problem does not depend on rounding.

On any problem the core accepts, the outcome (success, or which error) is the same
whatever the order of the samples, and adding a constant to a feature shifts its output
by that constant. Features missing from whole batches are corrected where observed by
the rules of the parametric model, checked against a computation in NumPy.
"""

from __future__ import annotations

import itertools
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _quarnel
import quarnel
from quarnel import _estimability


def problem(seed: int, n_covariates: int, missing: bool, marked: bool = False):
    """A small random problem; with `marked` the last covariate marks a single sample, which
    with the indicator of a batch of two fits that whole batch. Some batch may hold one
    value repeated beside a missing one."""
    rng = np.random.default_rng(seed)
    n_levels = int(rng.integers(2, 4))
    ids = np.repeat(np.arange(n_levels), rng.integers(2, 6, n_levels)).astype(np.int64)
    n, g = ids.size, int(rng.integers(3, 7))
    values = rng.normal(5.0, 1.0, (n, g)) + rng.normal(0.0, 1.0, (n_levels, g))[ids]
    if missing:
        values[rng.random((n, g)) < 0.15] = np.nan
        rows = np.flatnonzero(ids == rng.integers(n_levels))
        values[rows, g - 1] = 0.1 * rng.integers(1, 100)
        values[rows[0], g - 1] = np.nan
    mod = rng.normal(size=(n, n_covariates)) if n_covariates else None
    if marked and mod is not None:
        mod[:, -1] = np.arange(n) == rng.integers(n)
    return rng, ids, values, mod


def nudged(rng, a, ulps: int = 4):
    """`a` with every distinct value moved by one to `ulps` units in the last place, equal
    values kept equal and 0 and 1 kept exact, so that what the builder put in on purpose (a
    repeated value, an indicator covariate) survives: a change of the size of rounding."""
    distinct, where = np.unique(a, return_inverse=True)
    steps = rng.integers(1, ulps + 1, distinct.size) * rng.choice([-1, 1], distinct.size)
    moved = np.where((distinct == 0) | (distinct == 1), distinct, distinct * (1 + steps * np.finfo(float).eps))
    return moved[where.reshape(a.shape)]


@settings(max_examples=80, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1), n_covariates=st.integers(0, 2), missing=st.booleans(),
    reference=st.booleans(), par_prior=st.booleans(), marked=st.booleans(),
)
def test_outcome_ignores_sample_order_and_a_shift_moves_the_output(seed, n_covariates, missing, reference, par_prior, marked):
    check_outcome_ignores_sample_order(seed, n_covariates, missing, reference, par_prior, marked)


def check_outcome_ignores_sample_order(seed, n_covariates, missing, reference, par_prior, marked):
    rng, ids, values, mod = problem(seed, n_covariates, missing, marked)
    ref = int(rng.integers(ids.max() + 1)) if reference else None

    def outcome(order, shift=0.0):
        v = values[order].copy()
        v[:, 0] += shift
        m = None if mod is None else np.ascontiguousarray(mod[order])
        try:
            adjusted = _quarnel.combat(v, ids[order], m, par_prior=par_prior, ref_batch=ref)["adjusted"]
        except (ValueError, RuntimeError) as err:
            return str(err), None
        out = np.empty_like(adjusted)
        out[order] = adjusted
        return None, out

    identity = np.arange(ids.size)
    error, base = outcome(identity)
    for order in (identity[::-1], rng.permutation(ids.size)):
        other_error, other = outcome(order)
        assert other_error == error
        if error is None:
            spread = np.nanstd(values, axis=0) + 1.0
            np.testing.assert_allclose(other / spread, base / spread, rtol=0, atol=1e-8)
    if error is None:
        shift_error, shifted = outcome(identity, shift=100.0)
        assert shift_error is None
        np.testing.assert_allclose(shifted[:, 0] - base[:, 0], np.where(np.isnan(values[:, 0]), np.nan, 100.0), atol=1e-9 * 100)


@settings(max_examples=80, deadline=None)
@given(
    seed=st.integers(0, 2**32 - 1), n_covariates=st.integers(1, 2), missing=st.booleans(),
    reference=st.booleans(), par_prior=st.booleans(), marked=st.booleans(),
)
def test_public_verdicts_ignore_sample_order_and_a_shift_moves_the_output(seed, n_covariates, missing, reference, par_prior, marked):
    """What quarnel.combat passes through and why, or the error it raises, does not depend
    on the order of the samples either."""
    check_public_verdicts_ignore_sample_order(seed, n_covariates, missing, reference, par_prior, marked)


def check_public_verdicts_ignore_sample_order(seed, n_covariates, missing, reference, par_prior, marked):
    rng, ids, values, mod = problem(seed, n_covariates, missing, marked)
    labels = np.array(["A", "B", "C"])[ids]
    ref = str(labels[rng.integers(ids.size)]) if reference else None

    def outcome(order, shift=0.0, values=values, mod=mod):
        v = values[order].copy()
        v[:, 0] += shift
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
                warnings.simplefilter("ignore", quarnel.SingletonBatchWarning)
                adjusted, report = quarnel.combat(v, labels[order], mod[order], parametric=par_prior,
                                                  reference=ref, return_report=True)
        except (ValueError, RuntimeError) as err:
            return str(err), None, None
        out = np.empty_like(adjusted)
        out[order] = adjusted
        return None, out, (report.unestimable_features, report.partial_features, report.passed_through)

    identity = np.arange(ids.size)
    error, base, verdicts = outcome(identity)
    other_error, other, other_verdicts = outcome(rng.permutation(ids.size))
    assert (other_error, other_verdicts) == (error, verdicts)
    if error is None:
        spread = np.nanstd(values, axis=0) + 1.0
        # Another order rounds the sums differently, and so do inputs a few ulps away. A
        # batch that the design fits all but exactly keeps a scale of a millionth of the
        # pooled one, known to only nine digits or so, and dividing by its root magnifies
        # that: such a problem moves its output by 1e-5 of the spread under either change,
        # and no order of summation is the right one. The largest move of three nudges
        # measures it; reorders move the output by at most some ten times that, an order
        # fault by about the spread. Nudges that pass other features through are no measure.
        noise = 0.0
        for _ in range(3):
            nudged_error, moved, nudged_verdicts = outcome(identity, values=nudged(rng, values), mod=nudged(rng, mod))
            if nudged_error is None and nudged_verdicts[1:] == verdicts[1:]:
                noise = max(noise, np.nanmax(np.abs(moved - base) / spread))
        np.testing.assert_allclose(other / spread, base / spread, rtol=0, atol=1e-8 + 100 * noise)
        _, shifted, shifted_verdicts = outcome(identity, shift=100.0)
        assert shifted_verdicts == verdicts
        np.testing.assert_allclose(shifted[:, 0] - base[:, 0], np.where(np.isnan(values[:, 0]), np.nan, 100.0), atol=1e-7)


# Problems of the builder above (with missing values) whose last feature the design fits
# exactly: one batch holds the repeated value, the design fits every other observed value
# exactly, and rounding alone used to decide, order by order, whether the residuals were
# zero. As (seed, n_covariates, reference, marked).
ROUNDING_CASES = [
    (340, 2, True, True), (389, 1, False, False), (459, 2, False, False), (459, 2, True, False),
    (717, 2, True, True), (854, 2, False, True), (856, 2, True, False), (1221, 2, True, True),
    (1362, 1, True, False), (1416, 1, False, False), (1674, 2, False, False), (1864, 2, False, True),
    (2017, 2, False, False), (2102, 1, True, False), (2585, 1, True, False), (2611, 1, True, False),
    (2853, 2, True, False),
]


@pytest.mark.parametrize("par_prior", [False, True])
@pytest.mark.parametrize("seed, n_covariates, reference, marked", ROUNDING_CASES)
def test_outcome_of_a_feature_fitted_exactly_ignores_sample_order(seed, n_covariates, reference, par_prior, marked):
    check_outcome_ignores_sample_order(seed, n_covariates, True, reference, par_prior, marked)
    check_public_verdicts_ignore_sample_order(seed, n_covariates, True, reference, par_prior, marked)


@settings(max_examples=40, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), n_covariates=st.integers(1, 2), reference=st.sampled_from([None, 0, 1]))
def test_a_feature_fitted_exactly_is_judged_by_its_exact_residuals_in_any_order(seed, n_covariates, reference):
    """Batch A holds one value repeated over samples with different covariates, beside a
    missing one (which keeps the feature from being passed through as constant); every
    other batch has one observed value, which its indicator fits exactly. The least-squares fit
    then leaves every residual zero in exact arithmetic, whatever sizes the values have:
    the feature has no pooled variance, so its verdict is that of the pooled variance, not
    that of the single values, in every order."""
    rng = np.random.default_rng(seed)
    sizes = [n_covariates + 3 + int(rng.integers(0, 3)), *rng.integers(2, 4, int(rng.integers(1, 3)))]
    ids = np.repeat(np.arange(len(sizes)), sizes)
    labels = np.array(["A", "B", "C"])[ids]
    values = rng.normal(5.0, 1.0, (ids.size, 12)) + rng.normal(0.0, 1.0, (len(sizes), 12))[ids]
    values[ids == 0, 0] = 0.1 * rng.integers(1, 100)
    values[0, 0] = np.nan
    for level in range(1, len(sizes)):
        values[np.flatnonzero(ids == level)[1:], 0] = np.nan
        values[ids == level, 0] *= rng.uniform(1, 100)
    mod = rng.normal(size=(ids.size, n_covariates))
    ref = None if reference is None else str(np.array(["A", "B"])[reference])
    expected = {
        None: _estimability.WORDS[_estimability.EXPLAINED].reason,
        "A": "observed values all equal in batch 'A'",
        "B": "fewer than two observed values in reference batch 'B'",
    }[ref]
    for order in (np.arange(ids.size), *(rng.permutation(ids.size) for _ in range(4))):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
            _, report = quarnel.combat(values[order], labels[order], mod[order], reference=ref, return_report=True)
        assert report.unestimable_features.get(0) == expected


def test_a_covariate_that_fits_a_whole_batch_is_confounded_with_it():
    """A covariate marking one sample of a batch of two fits both of them: no feature has a
    scale there, in any sample order, and the public call names the covariate and batch."""
    rng = np.random.default_rng(1)
    batch = np.array([0, 0, 1, 1, 1], dtype=np.int64)
    mod = np.zeros((5, 2))
    mod[:, 0] = rng.normal(size=5)
    mod[0, 1] = 1.0
    values = rng.normal(5, 1, (5, 12)) + 2.0 * batch[:, None]
    for order in itertools.permutations(range(5)):
        order = list(order)
        with pytest.raises(RuntimeError, match="delta_hat is not positive finite"):
            _quarnel.combat(values[order], batch[order], mod[order])
        with pytest.raises(ValueError, match=r"^covariate 'covariate1' is confounded with batch 0: "):
            quarnel.combat(values[order], batch[order], covariates=mod[order])
    # Locations alone need no scale.
    quarnel.combat(values, batch, covariates=mod, mean_only=True)


def test_a_condition_seen_once_in_a_lab_of_two_is_confounded_with_the_lab():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(3)
    lab = ["A"] * 6 + ["B"] * 2
    sheet = pd.DataFrame({
        "lab": lab, "age": rng.uniform(20, 70, 8).round(),
        "condition": ["w", "v", "w", "v", "w", "v", "x", "v"],
    }, index=[f"S{i}" for i in range(8)])
    data = pd.DataFrame(rng.normal(8, 1, (8, 30)), index=sheet.index)
    data = data.mask(rng.random(data.shape) < 0.1)
    with pytest.raises(ValueError, match=r"^covariate 'condition\[x\]' is confounded with batch 'B'"):
        quarnel.combat(data, batch="lab", covariates=["age", "condition"], samples=sheet)


def corrected_where_observed(values, ids, complete, j):
    """One partial feature corrected by the parametric model in NumPy: its own fit over
    the batches it is observed in, shrunk towards the complete features' priors."""
    levels = np.unique(ids)
    z_all = np.empty_like(values[:, complete])
    # The complete features' raw effects, from their standardisation over all batches.
    x = values[:, complete]
    means = np.array([x[ids == b].mean(axis=0) for b in levels])
    sizes = np.array([(ids == b).sum() for b in levels])
    grand = sizes @ means / sizes.sum()
    pooled = ((x - means[ids]) ** 2).mean(axis=0)
    z_all = (x - grand) / np.sqrt(pooled)
    gamma_hat = np.array([z_all[ids == b].mean(axis=0) for b in levels])
    delta_hat = np.array([z_all[ids == b].var(axis=0, ddof=1) for b in levels])

    y = values[:, j]
    seen = [b for b in levels if np.isfinite(y[ids == b]).any()]
    rows = np.isin(ids, seen) & np.isfinite(y)
    coef = np.array([np.mean(y[(ids == b) & rows]) for b in seen])
    w = np.array([(ids == b).sum() for b in seen])
    grand_j = w @ coef / w.sum()
    residuals = y[rows] - coef[np.searchsorted(seen, ids[rows])]
    s = np.sqrt(residuals.var(ddof=1))
    out = y.copy()
    for k, b in enumerate(seen):
        z = (y[(ids == b) & rows] - grand_j) / s
        gbar, tau2 = gamma_hat[b].mean(), gamma_hat[b].var(ddof=1)
        m, s2 = delta_hat[b].mean(), delta_hat[b].var(ddof=1)
        a, bb = (m * m + 2 * s2) / s2, (m * m * m + m * s2) / s2
        g_hat, n = z.mean(), z.size
        if n < 2:
            g, d = (g_hat * tau2 + gbar) / (tau2 + 1.0), 1.0
        else:
            g_old, d_old = g_hat, z.var(ddof=1)
            for _ in range(1000):
                g = (gbar * d_old + g_hat * tau2 * n) / (tau2 * n + d_old)
                d = (0.5 * ((z - g) ** 2).sum() + bb) / (0.5 * n + a - 1.0)
                change = max(abs(g - g_old) / g_old, abs((d - d_old) / d_old))
                g_old, d_old = g, d
                if change <= 1e-4:
                    break
        out[(ids == b) & rows] = (z - g) / np.sqrt(d) * s + grand_j
    return out


@pytest.mark.parametrize("seed", range(4))
def test_partial_features_follow_the_model_where_observed(seed):
    rng = np.random.default_rng(seed)
    ids = np.repeat(np.arange(4), [6, 7, 5, 8]).astype(np.int64)
    values = rng.normal(8.0, 1.0, (ids.size, 40)) + rng.normal(0.0, 1.5, (4, 40))[ids]
    values *= rng.uniform(0.5, 2.0, (4, 40))[ids]
    values[ids == 1, 0] = np.nan  # missing from one batch
    values[np.flatnonzero(ids == 3)[1:], 1] = np.nan  # one value left in batch 3 ...
    values[ids == 1, 1] = np.nan  # ... and none in batch 1
    values[(ids == 0) | (ids == 2), 2] = np.nan  # seen in two batches only
    values[:, 3] = np.where(ids == 2, values[:, 3], np.nan)  # seen in one batch only
    with pytest.warns(quarnel.UnestimableFeatureWarning, match="1 of 40"):
        corrected, report = quarnel.combat(values, ids, return_report=True)
    assert report.partial_features == {0: (0, 2, 3), 1: (0, 2, 3), 2: (1, 3)}
    assert report.unestimable_features == {3: "observed in fewer than two batches"}
    complete = list(range(4, 40))
    assert np.array_equal(corrected[:, complete], _quarnel.combat(np.ascontiguousarray(values[:, complete]), ids)["adjusted"])
    for j in (0, 1, 2):
        np.testing.assert_allclose(corrected[:, j], corrected_where_observed(values, ids, complete, j), rtol=1e-9)
    assert np.array_equal(corrected[:, 3], values[:, 3], equal_nan=True)
