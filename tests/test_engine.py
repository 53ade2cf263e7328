"""Tests of quarnel._engine, the nanobind module with the verdicts and the partial run.

The module only links against a core that implements both calls, so it is imported
unguarded: without them this file errors at collection instead of skipping.
"""

import signal
import threading
import time

import numpy as np
import pytest

import _quarnel
from quarnel import _engine

NO_VALUES = _engine.FEATURE_ISSUES.index("no_values")


def problem(sizes=(4, 4, 4), n_features=5, seed=3):
    rng = np.random.default_rng(seed)
    batch = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    shift = rng.normal(scale=2.0, size=(len(sizes), n_features))
    noise = rng.normal(size=(batch.size, n_features)) * (1 + batch[:, None])
    return 5.0 + shift[batch] + noise, batch


def missing_in_batch_one():
    values, batch = problem()
    values[batch == 1, 2] = np.nan
    return values, batch


def bits(array):
    return array.view(np.int64)


@pytest.mark.parametrize("options", [{}, {"par_prior": False}, {"mean_only": True}])
def test_assess_names_the_batch_a_feature_is_missing_from(options):
    values, batch = missing_in_batch_one()
    verdict = _engine.assess(values, batch, **options)
    assert verdict["issue"].dtype == np.uint8 and verdict["batch"].dtype == np.int64
    assert verdict["issue"].tolist() == [0, 0, NO_VALUES, 0, 0]
    assert verdict["batch"].tolist() == [-1, -1, 1, -1, -1]
    assert verdict["effective_mean_only"] is bool(options.get("mean_only", False))


@pytest.mark.parametrize("options", [
    {},
    {"par_prior": False},
    {"mean_only": True},
    {"ref_batch": 2},
    {"mod": np.random.default_rng(4).normal(size=(12, 1))},
])
@pytest.mark.parametrize("complete", [None, np.arange(5, dtype=np.int64)])
def test_all_complete_features_match_quarnel_bit_for_bit(options, complete):
    values, batch = problem()
    result = _engine.combat_partial(values, batch, complete=complete, **options)
    expected = _quarnel.combat(values, batch, **options)
    assert np.array_equal(bits(result["adjusted"]), bits(expected["adjusted"]))
    assert result["adjusted"].flags.c_contiguous and result["adjusted"].flags.writeable
    assert result["report"] == expected["report"]
    assert result["partial_issue"].shape == result["partial_batch"].shape == (0,)
    assert result["partial_batches"] == []


def test_partial_feature_is_corrected_where_observed():
    values, batch = missing_in_batch_one()
    complete = np.array([0, 1, 3, 4], dtype=np.int64)
    result = _engine.combat_partial(values, batch, complete=complete,
                                    partial=np.array([2], dtype=np.int64))
    alone = _quarnel.combat(np.ascontiguousarray(values[:, complete]), batch)["adjusted"]
    assert np.array_equal(bits(result["adjusted"][:, complete]), bits(alone))
    assert result["partial_issue"].tolist() == [0]
    assert result["partial_batch"].tolist() == [-1]
    assert result["partial_batches"] == [[0, 2]]
    column = result["adjusted"][:, 2]
    assert np.isnan(column[batch == 1]).all()
    assert not np.array_equal(column[batch != 1], values[batch != 1, 2])


@pytest.mark.parametrize("case, error_type, payload", [
    ("duplicate", ValueError, {"kind": "InvalidDesign", "columns": (0, 2)}),
    ("ref_batch", ValueError, {"kind": "MissingReferenceBatch", "batch_id": 9}),
    ("infinite", ValueError, {"kind": "NonFiniteDenseValue", "sample": 3, "feature": 1}),
])
@pytest.mark.parametrize("function", [_engine.assess, _engine.combat_partial])
def test_core_errors_carry_their_payload(function, case, error_type, payload):
    values, batch = problem()
    options = {}
    if case == "duplicate":
        covariate = np.random.default_rng(5).normal(size=12)
        options["mod"] = np.column_stack([covariate, covariate ** 2, covariate])
    elif case == "ref_batch":
        options["ref_batch"] = 9
    else:
        values[3, 1] = np.inf
    with pytest.raises(error_type) as caught:
        function(values, batch, **options)
    with pytest.raises(error_type) as reference:
        _quarnel.combat(values, batch, **options)
    assert type(caught.value) is error_type
    assert str(caught.value) == str(reference.value)
    assert {name: getattr(caught.value, name) for name in payload} == payload


def test_internal_fault_is_quarnels_own_type():
    assert _engine.InternalFault is _quarnel.InternalFault


@pytest.mark.parametrize("argument, value, error_type, message", [
    ("values", np.zeros((12, 5), dtype=np.float32), TypeError, "values must have dtype float64"),
    ("values", [[0.0] * 5] * 12, TypeError, "values must be a numpy.ndarray"),
    ("batch", np.zeros(12, dtype=np.int32), TypeError, "batch must have dtype int64"),
    ("complete", np.arange(5.0), TypeError, "complete must have dtype int64"),
    ("values", np.zeros((5, 12)).T, ValueError, "values must be C-contiguous"),
    ("batch", np.arange(12, dtype=np.int64) - 1, ValueError,
     "batch ids must be non-negative; sample 0 has -1"),
    ("complete", np.array([1, 0], dtype=np.int64), ValueError, "strictly ascending"),
    ("partial", np.array([0], dtype=np.int64), ValueError, "in both complete and partial"),
    ("par_prior", 1, TypeError, "par_prior must be a bool"),
])
def test_bad_arguments_are_refused(argument, value, error_type, message):
    values, batch = problem()
    arguments = {"values": values, "batch": batch, "complete": np.arange(5, dtype=np.int64)}
    arguments[argument] = value
    with pytest.raises(error_type, match=message):
        _engine.combat_partial(**arguments)


def long_problem(target=0.8):
    """A non-parametric problem that runs for about `target` seconds (cost grows as G^2)."""
    features = 500
    while True:
        values, batch = problem(sizes=(40, 40), n_features=features, seed=6)
        start = time.monotonic()
        _engine.combat_partial(values, batch, par_prior=False)
        elapsed = time.monotonic() - start
        if elapsed >= target or features >= 16000:
            return values, batch, elapsed
        growth = (target / max(elapsed, 1e-3)) ** 0.5
        features = min(16000, int(features * min(max(growth, 1.5), 8.0)))


def test_other_threads_run_while_the_core_works():
    values, batch, elapsed = long_problem()
    if elapsed < 0.3:
        pytest.skip(f"the largest run takes only {elapsed:.3f} s")
    stamps, done = [], threading.Event()

    def tick():
        while not done.is_set():
            stamps.append(time.monotonic())
            time.sleep(0.005)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        start = time.monotonic()
        _engine.combat_partial(values, batch, par_prior=False)
        finish = time.monotonic()
    finally:
        done.set()
        thread.join()
    # Holding the lock, the call would leave the thread no turn after its first moments.
    margin = (finish - start) / 4
    assert len([t for t in stamps if start + margin < t < finish - margin]) >= 3


@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
def test_concurrent_runs_give_their_serial_results(monkeypatch, parallel):
    # With the lock released, runs on several threads overlap inside the core.
    monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
    problems = [problem(sizes=(30, 30, 30), n_features=800, seed=seed) for seed in range(4)]
    alone = [_engine.combat_partial(v, b, par_prior=False)["adjusted"] for v, b in problems]
    together = [None] * len(problems)

    def run(i):
        together[i] = _engine.combat_partial(*problems[i], par_prior=False)["adjusted"]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(problems))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(bits(a), bits(b)) for a, b in zip(together, alone))


class Stop(Exception):
    pass


def test_a_raising_signal_handler_stops_the_run():
    values, batch, elapsed = long_problem()
    if elapsed < 0.3:
        pytest.skip(f"the largest run takes only {elapsed:.3f} s")

    def stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, stop)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.monotonic()
        with pytest.raises(Stop):
            _engine.combat_partial(values, batch, par_prior=False)
        assert time.monotonic() - start < 0.05 + elapsed / 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def choose_callers_way(issue, batch):
    """The lists quarnel's callers choose: estimable and constant features as one run,
    features missing from whole batches where observed."""
    return (np.flatnonzero(issue <= 1).astype(np.int64),
            np.flatnonzero(issue == NO_VALUES).astype(np.int64))


@pytest.mark.parametrize("call", [_engine.combat_partial, _engine.fit])
def test_a_run_that_chooses_from_its_verdicts_gives_the_lists_bits(call):
    values, batch = missing_in_batch_one()
    values[0, 4] = np.nan
    seen = []

    def choose(issue, batch_ids):
        seen.append(issue.copy())
        return choose_callers_way(issue, batch_ids)

    judged = call(values, batch, choose=choose)
    assert len(seen) == 1
    np.testing.assert_array_equal(seen[0], _engine.assess(values, batch)["issue"])
    complete, partial = choose_callers_way(seen[0], None)
    listed = call(values, batch, complete=complete, partial=partial)
    key = "adjusted" if call is _engine.combat_partial else "model"
    if key == "adjusted":
        np.testing.assert_array_equal(bits(judged["adjusted"]), bits(listed["adjusted"]))
    else:
        for name, array in listed["model"].items():
            np.testing.assert_array_equal(judged["model"][name], array, err_msg=name)
    assert judged["partial_batches"] == listed["partial_batches"]


@pytest.mark.parametrize(("choose", "kwargs", "error", "match"), [
    (lambda issue, batch: (_ for _ in ()).throw(KeyError("mine")), {}, KeyError, "mine"),
    (lambda issue, batch: [issue, batch], {}, TypeError, r"choose must return a \(complete, partial\) tuple"),
    (lambda issue, batch: (np.array([1, 0]), np.empty(0, np.int64)), {}, ValueError, "complete must be strictly ascending"),
    (lambda issue, batch: (np.array([0, 1]), np.array([1])), {}, ValueError, "listed in both"),
    (choose_callers_way, {"complete": np.array([0])}, TypeError, "exclude each other"),
    ("not callable", {}, TypeError, "choose must be callable"),
])
def test_a_choice_that_fails_stops_the_run_with_its_error(choose, kwargs, error, match):
    values, batch = missing_in_batch_one()
    with pytest.raises(error, match=match):
        _engine.combat_partial(values, batch, choose=choose, **kwargs)


@pytest.mark.parametrize("covariates", [0, 2])
def test_a_fitted_model_holds_every_array_as_the_cores_table_lays_it_out(covariates):
    """The model's arrays come out with the dtype and shape the table declares, one count per
    axis name throughout (what the model file and the chunked runs rely on), and a model
    that strays from it is refused when it is read back."""
    values, batch = missing_in_batch_one()
    values[:, 0] = 1.0  # constant: a zero-variance feature
    mod = np.random.default_rng(1).normal(size=(batch.size, covariates)) if covariates else None
    model = _engine.fit(values, batch, mod, complete=np.array([0, 1, 3, 4], dtype=np.int64),
                        partial=np.array([2], dtype=np.int64))["model"]
    counts = {"n_levels": 3, "n_corrected": 4, "n_zero_variance": 1, "n_used": covariates}
    seen = set()
    for name, dtype, axes in _engine.MODEL_ARRAYS:
        array = model[name]
        assert array.dtype == np.dtype(dtype) and array.shape == tuple(counts[a] for a in axes), name
        assert array.flags.c_contiguous, name
        if axes[-1] not in seen:  # the first array along a count sets it
            seen.add(axes[-1])
            continue
        bad = dict(model)
        bad[name] = np.ascontiguousarray(np.repeat(array, 2, axis=array.ndim - 1))
        with pytest.raises(ValueError, match=f"model's '{name}' has|model's .* not"):
            _engine.apply(bad, values, batch, mod)
