"""Features that cannot be estimated: found up front, passed through, the rest exact.

Each case builds a matrix in which one feature breaks one rule, checks that the bare
``_quarnel.combat`` fails on the whole matrix in that mode, and that ``quarnel.combat``
returns that feature's column bit for bit while every other column equals what
``_quarnel.combat`` gives for the matrix without it.
"""

from __future__ import annotations

import importlib
import warnings

import numpy as np
import pytest

import _quarnel
import quarnel
from quarnel import _engine, _estimability

SIZES = (6, 5, 7)
LEVEL = np.repeat(np.arange(3), SIZES).astype(np.int64)
LABELS = np.array(["lab_A", "lab_B", "lab_C"])[LEVEL]


def base(n_features=10, seed=0):
    rng = np.random.default_rng(seed)
    shift = rng.normal(0.0, 1.0, (3, n_features))
    scale = rng.uniform(0.5, 2.0, (3, n_features))
    return 3.0 + shift[LEVEL] + scale[LEVEL] * rng.normal(0.0, 1.0, (LEVEL.size, n_features))


def same_bits(a, b) -> bool:
    return a.shape == b.shape and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


def in_batch(level, count=None):
    rows = np.flatnonzero(LEVEL == level)
    return rows if count is None else rows[:count]


def no_values(v):
    v[in_batch(1), 4] = np.nan


def one_value(v):
    v[in_batch(1)[1:], 4] = np.nan


def constant_beside_nan(v):
    v[in_batch(0), 4] = 2.5
    v[in_batch(0)[-1], 4] = np.nan


def one_value_per_batch(v):
    v[:, 4] = np.nan
    v[[in_batch(0)[0], in_batch(1)[2], in_batch(2)[3]], 4] = [1.0, 2.0, 4.0]


CONDITION = np.array([0.0, 1.0] * 9)


def condition_never_observed(v):
    v[CONDITION == 1.0, 4] = np.nan


DOSE = np.random.default_rng(7).normal(0.0, 1.0, 18)


def explained_by_dose(v):
    v[:, 4] = 2.5 - 1.3 * DOSE  # rounding is all the fit leaves


MARK = (np.arange(18) == in_batch(1)[0]).astype(float)  # marks one sample of lab_B


def batch_fitted_where_observed(v):
    # Two values left in lab_B, one of them the marked sample's: with the batch's indicator
    # the mark fits both, though it fits no other feature's five.
    v[in_batch(1)[2:], 4] = np.nan


def too_large(v):
    v[:, 4] *= 1e160


# (case, mutation, options of quarnel.combat, the matching _quarnel.combat options, the
# bare function's error, the reason in the report)
CASES = [
    pytest.param(no_values, {}, {}, "singular design matrix", "no observed value in batch 'lab_B'", id="no-values"),
    pytest.param(no_values, {"mean_only": True}, {"mean_only": True}, "singular design matrix", "no observed value in batch 'lab_B'", id="no-values-mean-only"),
    pytest.param(no_values, {"parametric": False}, {"par_prior": False}, "singular design matrix", "no observed value in batch 'lab_B'", id="no-values-nonparametric"),
    pytest.param(
        one_value, {}, {},
        "scale adjustment requires at least two observed values per batch and feature",
        "fewer than two observed values in batch 'lab_B'", id="one-value",
    ),
    pytest.param(
        one_value, {"parametric": False}, {"par_prior": False},
        "scale adjustment requires at least two observed values per batch and feature",
        "fewer than two observed values in batch 'lab_B'", id="one-value-nonparametric",
    ),
    pytest.param(
        one_value, {"mean_only": True, "reference": "lab_B"}, {"mean_only": True, "ref_batch": 1},
        "pooled variance requires at least two observed residuals",
        "fewer than two observed values in reference batch 'lab_B'", id="one-value-in-reference-mean-only",
    ),
    pytest.param(
        constant_beside_nan, {}, {}, "delta_hat is not positive finite",
        "observed values all equal in batch 'lab_A'", id="constant",
    ),
    pytest.param(
        constant_beside_nan, {"reference": "lab_A", "mean_only": True}, {"ref_batch": 0, "mean_only": True},
        "pooled variance is not positive finite",
        "observed values all equal in batch 'lab_A'", id="constant-reference-mean-only",
    ),
    pytest.param(
        one_value_per_batch, {"mean_only": True}, {"mean_only": True},
        "pooled variance is not positive finite",
        "too few observed values to estimate the residual variance", id="one-value-per-batch-mean-only",
    ),
    pytest.param(
        condition_never_observed, {"covariates": CONDITION}, {"mod": CONDITION[:, None].copy()},
        "singular design matrix",
        "covariate effects cannot be estimated from the observed samples", id="covariate-never-observed",
    ),
    pytest.param(
        explained_by_dose, {"covariates": DOSE}, {"mod": DOSE[:, None].copy()},
        "pooled variance is not positive finite",
        "the design fits its observed values exactly, leaving no spread to estimate a variance from",
        id="explained-by-a-covariate",
    ),
    pytest.param(
        batch_fitted_where_observed, {"covariates": MARK}, {"mod": MARK[:, None].copy()},
        "delta_hat is not positive finite",
        "the design fits every value of batch 'lab_B' exactly, leaving it no spread",
        id="batch-fitted-where-observed",
    ),
    pytest.param(
        too_large, {}, {}, "pooled variance is not positive finite",
        "values too large to square in double precision (residuals beyond about 1e154): scale them down",
        id="too-large-to-square",
    ),
]


@pytest.mark.parametrize(("mutate", "public", "bare", "core_error", "reason"), CASES)
def test_unestimable_feature_is_passed_through_and_the_rest_is_exact(mutate, public, bare, core_error, reason):
    values = base()
    values[3, 8] = np.nan  # an ordinary missing value elsewhere, which must not matter
    mutate(values)
    with pytest.raises((ValueError, RuntimeError), match=core_error):
        _quarnel.combat(values, LEVEL, **bare)

    with pytest.warns(quarnel.UnestimableFeatureWarning, match=r"^1 of 10 features cannot be estimated"):
        corrected, report = quarnel.combat(values, LABELS, return_report=True, partial_batches="pass", **public)
    assert report.unestimable_features == {4: reason}
    assert report.passed_through == (4,)
    assert report.n_corrected == 9
    assert same_bits(corrected[:, 4], values[:, 4])
    rest = [j for j in range(10) if j != 4]
    expected = _quarnel.combat(np.ascontiguousarray(values[:, rest]), LEVEL, **bare)["adjusted"]
    assert same_bits(corrected[:, rest], expected)


@pytest.mark.parametrize(("mutate", "public", "bare", "core_error", "reason"), CASES)
def test_strict_mode_names_the_feature_before_anything_is_corrected(mutate, public, bare, core_error, reason):
    values = base()
    mutate(values)
    with pytest.raises(ValueError) as caught:
        quarnel.combat(values, LABELS, unestimable="raise", **public)
    assert f"1 feature cannot be estimated: 4 ({reason})" in str(caught.value)


ESTIMABLE = [
    pytest.param(one_value, {"mean_only": True}, {"mean_only": True}, id="one-value-mean-only"),
    pytest.param(one_value, {"reference": "lab_C", "mean_only": True}, {"ref_batch": 2, "mean_only": True}, id="one-value-other-than-reference"),
    pytest.param(constant_beside_nan, {"covariates": np.linspace(0, 1, 18)}, {"mod": np.linspace(0, 1, 18)[:, None].copy()}, id="NaN-free-constant-is-the-core's-own"),
]


@pytest.mark.parametrize(("mutate", "public", "bare"), ESTIMABLE)
def test_features_the_core_can_estimate_are_corrected_with_everything_else(mutate, public, bare):
    values = base()
    mutate(values)
    if mutate is constant_beside_nan:
        values[in_batch(0)[-1], 4] = 2.5  # no NaN: the core's own zero-variance pass-through
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        corrected, report = quarnel.combat(values, LABELS, return_report=True, partial_batches="pass", **public)
    assert report.unestimable_features == {}
    assert same_bits(corrected, _quarnel.combat(values, LEVEL, **bare)["adjusted"])


def test_singleton_batch_switches_the_two_value_rule_off():
    sizes = (6, 5, 1)
    level = np.repeat(np.arange(3), sizes).astype(np.int64)
    values = np.random.default_rng(3).normal(size=(12, 8))
    values[7:11, 2] = np.nan  # batch 1 keeps one value of feature 2
    values[11, 5] = np.nan  # the singleton batch has no value of feature 5
    with pytest.warns(quarnel.UnestimableFeatureWarning), pytest.warns(quarnel.SingletonBatchWarning):
        corrected, report = quarnel.combat(values, level, return_report=True, partial_batches="pass")
    assert report.unestimable_features == {5: "no observed value in batch 2"}
    rest = [j for j in range(8) if j != 5]
    assert same_bits(corrected[:, rest], _quarnel.combat(np.ascontiguousarray(values[:, rest]), level)["adjusted"])


def test_all_features_unestimable_returns_the_input():
    values = base(n_features=3)
    values[in_batch(2), :] = np.nan
    with pytest.warns(quarnel.UnestimableFeatureWarning, match="3 of 3 features"):
        corrected, report = quarnel.combat(values, LABELS, return_report=True, partial_batches="pass")
    assert same_bits(corrected, values)
    assert report.n_corrected == 0 and report.effective_mean_only


MODES = [
    pytest.param({}, {}, id="parametric"),
    pytest.param({"parametric": False}, {"par_prior": False}, id="nonparametric"),
    pytest.param({"mean_only": True}, {"mean_only": True}, id="mean-only"),
    pytest.param({"reference": "lab_A"}, {"ref_batch": 0}, id="reference"),
    pytest.param({"reference": "lab_C", "mean_only": True}, {"ref_batch": 2, "mean_only": True}, id="reference-mean-only"),
    pytest.param({"covariates": CONDITION}, {"mod": CONDITION[:, None].copy()}, id="covariate"),
    pytest.param({"covariates": CONDITION, "mean_only": True}, {"mod": CONDITION[:, None].copy(), "mean_only": True}, id="covariate-mean-only"),
]


@pytest.mark.parametrize(("public", "bare"), MODES)
@pytest.mark.parametrize("seed", range(6))
def test_after_the_pass_through_the_core_never_fails(seed, public, bare):
    # Heavy, clumped missingness: whole batches gone, lone values, ties beside NaN, a
    # condition never observed.
    rng = np.random.default_rng(100 + seed)
    values = np.round(base(n_features=60, seed=seed), 1)
    values[:, ::4] = np.round(values[:, ::4] / 4.0)
    values[CONDITION == 1.0, 1::9] = np.nan
    for j in range(60):
        level = rng.integers(3)
        keep = rng.integers(0, SIZES[level] + 1)
        drop = in_batch(level)[keep:]
        values[drop, j] = np.nan
    values[rng.random(values.shape) < 0.1] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        corrected, report = quarnel.combat(values, LABELS, return_report=True, partial_batches="pass", **public)
    flagged = sorted(report.unestimable_features)
    rest = [j for j in range(60) if j not in flagged]
    assert len(rest) >= 2
    assert same_bits(corrected[:, flagged], values[:, flagged])
    expected = _quarnel.combat(np.ascontiguousarray(values[:, rest]), LEVEL, **bare)["adjusted"]
    assert same_bits(corrected[:, rest], expected)
    # No rule fires without cause: each flagged feature, put back alone beside the
    # others, makes the bare function fail. The exception is a batch of equal values
    # beside a NaN. It mirrors the core's own zero-variance pass-through, and whether the
    # core fails on it is left to rounding: the mean of three equal values can differ
    # from them by an ulp, leaving a within-batch variance of about 1e-32 instead of 0.
    for j in flagged:
        if report.unestimable_features[j].startswith("observed values all equal"):
            continue
        with pytest.raises((ValueError, RuntimeError)):
            _quarnel.combat(np.ascontiguousarray(values[:, sorted([*rest, j])]), LEVEL, **bare)


def test_report_maps_the_core_s_zero_variance_features_back_past_removed_ones():
    values = base()
    no_values(values)  # feature 4 leaves the matrix before the correction sees it
    values[in_batch(2), 7] = 1.0  # constant in a batch, no NaN: the core passes it through
    values[in_batch(0), 9] = 0.0
    with pytest.warns(quarnel.UnestimableFeatureWarning):
        corrected, report = quarnel.combat(values, LABELS, return_report=True, partial_batches="pass")
    assert report.zero_variance_features == (7, 9)
    assert report.unestimable_features == {4: "no observed value in batch 'lab_B'"}
    assert report.passed_through == (4, 7, 9)
    assert same_bits(corrected[:, [4, 7, 9]], values[:, [4, 7, 9]])


@pytest.mark.parametrize("unestimable", ["pass", "raise"])
def test_the_core_judges_and_corrects_in_one_call(monkeypatch, unestimable):
    """In memory the verdicts come from the run itself: nothing asks the core for them
    apart, and a strict call raises from them before anything is estimated."""
    values = base()
    one_value(values)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        expected = quarnel.combat(values, LABELS, partial_batches="pass")

    def refuse(*args, **kwargs):
        raise AssertionError("the verdicts were asked for apart from the run")

    monkeypatch.setattr(quarnel._engine, "assess", refuse)
    if unestimable == "raise":
        with pytest.raises(ValueError, match=r"^1 feature cannot be estimated: 4 \("):
            quarnel.combat(values, LABELS, unestimable="raise", partial_batches="pass")
        return
    with pytest.warns(quarnel.UnestimableFeatureWarning):
        assert same_bits(quarnel.combat(values, LABELS, partial_batches="pass"), expected)
        quarnel.fit(values, LABELS, partial_batches="pass")


# ---------------------------------------------------------------------------------------
# Kinds: every count by kind comes from the core's verdicts, never from the reasons' words

def put(mutate, column, values):
    """Break feature `column` of `values` the way `mutate` breaks feature 4."""
    scratch = values.copy()
    scratch[:, 4] = values[:, column]
    mutate(scratch)
    values[:, column] = scratch[:, 4]


# With DOSE as covariate: the broken features, each with its mutation and kind.
SEVERAL_KINDS = {
    1: (too_large, "too_large"), 2: (too_large, "too_large"), 4: (no_values, "no_values"),
    5: (too_large, "too_large"), 7: (one_value, "few_values"), 9: (explained_by_dose, "explained"),
    10: (no_values, "no_values"), 11: (one_value_per_batch, "singular"), 12: (one_value, "few_values"),
}
SEVERAL_COUNTS = (
    "3 whose values are too large to square; 2 with no observed value in some batch; "
    "2 with fewer than two observed values in some batch; 1 whose observed values the design "
    "fits exactly; 1 whose covariate effects cannot be estimated"
)


def several_kinds():
    """14 features under the covariate DOSE, 9 of them unestimable in 5 kinds."""
    values = base(n_features=14)
    for column, (mutate, _) in SEVERAL_KINDS.items():
        put(mutate, column, values)
    return values


@pytest.mark.parametrize("reworded", [False, True], ids=["as-worded", "every-reason-reworded-alike"])
def test_counts_by_kind_come_from_the_verdicts(monkeypatch, reworded):
    if reworded:  # one text for every reason: only the kinds can tell them apart
        for name, words in list(_estimability.WORDS.items()):
            monkeypatch.setitem(_estimability.WORDS, name, words._replace(reason="cannot be estimated"))
    with pytest.warns(quarnel.UnestimableFeatureWarning) as caught:
        _, report = quarnel.combat(several_kinds(), LABELS, DOSE, return_report=True, partial_batches="pass")
    assert report.unestimable_kinds == {c: kind for c, (_, kind) in SEVERAL_KINDS.items()}
    assert list(report.unestimable_kinds) == list(report.unestimable_features)
    assert report.counts_by_kind() == {"too_large": 3, "no_values": 2, "few_values": 2, "explained": 1, "singular": 1}
    assert f"9 features that cannot be estimated ({SEVERAL_COUNTS})" in report.summary()
    assert str(caught[0].message).startswith(f"9 of 14 features cannot be estimated and were passed through unchanged ({SEVERAL_COUNTS})")
    stored = report.to_dict()
    assert dict(zip(stored["unestimable_features"], stored["unestimable_kinds"])) == report.unestimable_kinds
    if reworded:
        assert set(report.unestimable_features.values()) == {"cannot be estimated"}


def test_a_report_without_the_kind_of_every_reason_is_refused():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        _, report = quarnel.combat(several_kinds(), LABELS, DOSE, return_report=True, partial_batches="pass")
    fields = {name: getattr(report, name) for name in report.__dataclass_fields__}
    for kinds, message in [(dict(list(report.unestimable_kinds.items())[1:]), "kind of every unestimable feature"),
                           ({**report.unestimable_kinds, 1: "overflow"}, r"kinds \['overflow'\]")]:
        with pytest.raises(ValueError, match=message):
            type(report)(**{**fields, "unestimable_kinds": kinds})


UNESTIMABLE_VERDICTS = [name for name in _engine.FEATURE_ISSUES if name not in _estimability.NOT_UNESTIMABLE]


@pytest.mark.parametrize("name", UNESTIMABLE_VERDICTS)
def test_every_verdict_the_engine_reports_has_words(name):
    code = _estimability.CODE[name]
    assert _engine.FEATURE_ISSUES[code] == name
    words = _estimability.WORDS[name]
    assert words.reason and words.count
    text = _estimability.reason(code, 1, ("first", "second"))
    assert ("'second'" in text) == ("{batch" in words.reason)
    assert _estimability.kind(code, 1) == name


@pytest.mark.parametrize(("names", "message"), [
    pytest.param((*_engine.FEATURE_ISSUES, "brand_new"), r"verdicts \['brand_new'\] that quarnel._estimability has no words for",
                 id="verdict-without-words"),
    pytest.param(tuple(n for n in _engine.FEATURE_ISSUES if n != "too_large"), r"words feature verdicts \['too_large'\] that quarnel._engine does not report",
                 id="words-for-no-verdict"),
])
def test_the_import_stops_when_the_engine_s_verdicts_and_the_words_disagree(monkeypatch, names, message):
    monkeypatch.setattr(_engine, "FEATURE_ISSUES", names)
    try:
        with pytest.raises(RuntimeError, match=message):
            importlib.reload(_estimability)
    finally:
        monkeypatch.undo()
        importlib.reload(_estimability)
