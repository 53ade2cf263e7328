"""Corrections of Dask arrays: the same bits as in memory, however the features are
chunked, on the threaded scheduler and on a cluster of worker processes, one of which
may die during the run."""

from __future__ import annotations

import os
import signal
import time
import warnings

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import quarnel
from quarnel._dask import bounded_widths

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

OPTIONS = [
    dict(parametric=p, mean_only=m, reference=r)
    for p in (True, False) for m in (False, True) for r in (None, "b")
] + [dict(parametric=False, exact=False), dict(parametric=False, exact=False, reference="b")]


def problem(seed: int, covariates: bool, missing: bool):
    """Three batches with a constant feature, a feature missing from a whole batch and a
    feature constant within one batch, optionally with a covariate and scattered NaN."""
    rng = np.random.default_rng(seed)
    sizes = [14, 19, 11]
    level = np.repeat(np.arange(3), sizes)
    n, g = len(level), 23
    x = rng.normal(0, 2, g) + rng.normal(0, 1, (3, g))[level] + rng.gamma(2, 0.5, (3, g))[level] * rng.normal(size=(n, g))
    cov = rng.normal(size=n) if covariates else None
    if covariates:
        x += np.outer(cov, rng.normal(size=g))
    if missing:
        x[rng.random(x.shape) < 0.04] = np.nan
    x[:, 2] = 1.5
    x[level == 1, 5] = np.nan
    x[level == 2, 9] = 0.25
    return x, np.array(["a", "b", "c"])[level], cov


def random_chunks(rng: np.random.Generator, g: int) -> tuple[int, ...]:
    """Random feature chunks, always with a chunk of one feature."""
    cuts = sorted({1, *rng.choice(np.arange(2, g), size=rng.integers(1, 5), replace=False).tolist()})
    return tuple(np.diff([0, *cuts, g]).tolist())


def same_bits(a, b) -> bool:
    return a.shape == b.shape and np.array_equal(np.asarray(a).view(np.int64), np.asarray(b).view(np.int64))


def corrected_both_ways(x, batch, cov, chunks, options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        want, want_report = quarnel.combat(x, batch, cov, return_report=True, **options)
        lazy, report = quarnel.combat(da.from_array(x, chunks=(x.shape[0], chunks)), batch, cov,
                                      return_report=True, **options)
    assert lazy.chunks[1] == chunks
    assert report == want_report
    return want, lazy


@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("covariates,missing", [(False, False), (True, False), (True, True)],
                         ids=["plain", "covariate", "covariate-nan"])
def test_threaded_result_is_the_in_memory_result(options, covariates, missing):
    rng = np.random.default_rng(len(str(options)) + 7 * covariates + 13 * missing)
    x, batch, cov = problem(int(rng.integers(1000)), covariates, missing)
    want, lazy = corrected_both_ways(x, batch, cov, random_chunks(rng, x.shape[1]), options)
    with dask.config.set(scheduler="threads"):
        assert same_bits(lazy.compute(), want)


@pytest.mark.parametrize("case", ["par=True-mean=False-ref=None-cov=True-nan=False",
                                  "par=False-mean=False-ref=4-cov=True-nan=True"])
def test_wide_problem_is_chunk_invariant(case):
    """The pinned-output problem: 140 samples and 90 features, wide enough that a
    library product would block its sums differently for different chunk widths."""
    from test_output_hashes import CASES, problem as pinned_problem

    c = CASES[case]
    x, batch, mod = pinned_problem(c["covariates"], c["missing"])
    options = dict(parametric=c["par_prior"], mean_only=c["mean_only"],
                   reference=c["ref_batch"])
    chunks = random_chunks(np.random.default_rng(len(case)), x.shape[1])
    want, lazy = corrected_both_ways(x, batch, None if mod is None else mod[:, 1:], chunks, options)
    with dask.config.set(scheduler="threads"):
        assert same_bits(lazy.compute(), want)


@pytest.mark.parametrize("spoil", ["infinite", "confounded"])
def test_errors_are_those_of_the_in_memory_run(spoil):
    x, batch, cov = problem(8, True, False)
    if spoil == "infinite":
        x[5, 17] = np.inf
    else:
        cov = (batch == "a").astype(float)  # a covariate that is one of the batches
    with pytest.raises(ValueError) as in_memory:
        quarnel.combat(x, batch, cov)
    with pytest.raises(ValueError) as lazily, dask.config.set(scheduler="threads"):
        quarnel.combat(da.from_array(x, chunks=(x.shape[0], (4, 1, 18))), batch, cov).compute()
    assert str(lazily.value) == str(in_memory.value)


def test_fit_and_transform_of_dask_arrays_match_memory():
    x, batch, cov = problem(3, True, True)
    dx = da.from_array(x, chunks=(x.shape[0], (1, 9, 13)))
    with warnings.catch_warnings(), dask.config.set(scheduler="threads"):
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        model = quarnel.fit(dx, batch, cov)
        want = quarnel.fit(x, batch, cov)
        assert same_bits(model.transform(dx, batch, cov).compute(), want.transform(x, batch, cov))
        assert same_bits(model.transform(x, batch, cov), want.transform(x, batch, cov))


# 44 samples: a feature takes 352 bytes, so a 1 KiB target holds two features per chunk.
@pytest.mark.parametrize("chunk_size,widths", [("128MiB", (8, 8, 7)), ("1KiB", (2,) * 11 + (1,))])
def test_sample_chunks_are_rechunked_with_a_warning(chunk_size, widths):
    x, batch, _ = problem(5, False, False)
    with pytest.warns(quarnel.RechunkWarning, match="split along samples"):
        with warnings.catch_warnings(), dask.config.set({"array.chunk-size": chunk_size}):
            warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
            lazy = quarnel.combat(da.from_array(x, chunks=(10, 8)), batch)
            want = quarnel.combat(x, batch)
    assert lazy.chunks == ((x.shape[0],), widths)
    with dask.config.set(scheduler="threads"):
        assert same_bits(lazy.compute(), want)


def new_batch_problem(seed: int, covariates: bool, missing: bool):
    """problem()'s data, fitted as it is, and samples to transform: its own and those of
    three batches the model has not seen (one of a single sample), made from batch a's."""
    x, batch, cov = problem(seed, covariates, missing)
    rows = np.flatnonzero(batch == "a")
    rng = np.random.default_rng(seed)
    new_x = np.vstack([x, 1.3 * x[rows] + 0.4])
    new_batch = np.concatenate([batch, np.where(np.arange(rows.size) % 2, "d", "e")])
    new_batch[-1] = "f"
    new_cov = None if cov is None else np.concatenate([cov, rng.normal(size=rows.size)])
    return (x, batch, cov), (new_x, new_batch, new_cov)


def transformed_both_ways(seed, covariates, missing, chunks, options):
    """The new batches' correction in memory and lazily, with a model fitted lazily."""
    (x, batch, cov), (new_x, new_batch, new_cov) = new_batch_problem(seed, covariates, missing)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        model = quarnel.fit(da.from_array(x, chunks=(x.shape[0], chunks)), batch, cov, **options)
        want = quarnel.fit(x, batch, cov, **options).transform(new_x, new_batch, new_cov, new_batches="estimate")
        lazy = model.transform(da.from_array(new_x, chunks=(new_x.shape[0], chunks)), new_batch, new_cov,
                               new_batches="estimate")
    return want, lazy


@pytest.mark.parametrize("options", OPTIONS, ids=str)
@pytest.mark.parametrize("covariates,missing", [(False, False), (True, True)], ids=["plain", "covariate-nan"])
def test_new_batches_of_dask_arrays_are_estimated_as_in_memory(options, covariates, missing):
    rng = np.random.default_rng(len(str(options)) + 5 * missing)
    chunks = random_chunks(rng, 23)
    with dask.config.set(scheduler="threads"):
        want, lazy = transformed_both_ways(int(rng.integers(1000)), covariates, missing, chunks, options)
        assert same_bits(lazy.compute(), want)


# Runs whose records between rounds are of every kind: verdicts, raw effects, solver
# traces, model parts, new batches' raw effects and traces.
MOVED = [dict(parametric=True), dict(parametric=False, exact=False), dict(mean_only=True, reference="b")]


@pytest.mark.parametrize("writable", [True, False], ids=["writable", "read-only"])
@pytest.mark.parametrize("options", MOVED, ids=str)
def test_records_in_unaligned_buffers_give_the_same_bits(options, writable):
    """Every record a task is given or returns, moved as pickle protocol 5 moves it between
    processes, in buffers at an odd offset: the engine reads arrays in place, so each must
    be made aligned where it arrives."""
    from dask_clusters import misaligned, misaligning_scheduler

    moved = misaligned(np.arange(3.0), writable)
    assert not moved.flags.aligned and moved.flags.writeable == writable
    x, batch, cov = problem(4, True, True)
    chunks = (1, 7, 15)
    with dask.config.set(scheduler=misaligning_scheduler(writable)):
        want, lazy = corrected_both_ways(x, batch, cov, chunks, options)
        assert same_bits(lazy.compute(), want)
        want, lazy = transformed_both_ways(4, True, True, chunks, options)
        assert same_bits(lazy.compute(), want)


@pytest.fixture(scope="module", params=["processes", "command-line"])
def cluster_client(request, tmp_path_factory):
    """A cluster of two single-threaded worker processes: a LocalCluster, or a scheduler
    and workers started as `dask` commands."""
    from dask_clusters import command_line_cluster

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if request.param == "command-line":
            with command_line_cluster(tmp_path_factory.mktemp("cluster")) as client:
                with client.as_current():
                    yield client
            return
        cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                           dashboard_address=None, host="127.0.0.1")
        client = distributed.Client(cluster)
    with client.as_current():
        yield client
    client.close()
    cluster.close()


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_cluster_result_is_the_in_memory_result(cluster_client, options):
    rng = np.random.default_rng(11)
    x, batch, cov = problem(21, True, True)
    want, lazy = corrected_both_ways(x, batch, cov, random_chunks(rng, x.shape[1]), options)
    assert same_bits(cluster_client.compute(lazy).result(), want)


@pytest.mark.parametrize("options", MOVED, ids=str)
def test_cluster_fit_and_transform_with_new_batches_match_memory(cluster_client, options):
    want, lazy = transformed_both_ways(17, True, True, (5, 1, 17), options)
    assert same_bits(cluster_client.compute(lazy).result(), want)


def test_plain_wide_chunks_are_corrected_on_a_cluster(cluster_client):
    """Chunks of 64 and 100 features: their records reach the client unaligned."""
    x = 5 + np.random.default_rng(5).normal(size=(120, 400))
    b = np.repeat(np.arange(3), 40)
    want = quarnel.combat(x, batch=b)
    for width in (64, 100):
        assert same_bits(quarnel.combat(da.from_array(x, chunks=(120, width)), batch=b).compute(), want)


def test_a_worker_killed_during_the_run_changes_no_bit(cluster_client):
    x, batch, cov = problem(33, True, True)
    want, lazy = corrected_both_ways(x, batch, cov, (1,) * x.shape[1], dict(parametric=True))
    future = cluster_client.compute(lazy)
    victim = next(iter(cluster_client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    assert same_bits(future.result(timeout=120), want)


ROUNDS = ["judge", "trace", "fit_chunk",
          "new_batch_estimates", "trace_new_batches", "new_batch_posteriors", "apply"]


@pytest.mark.parametrize("round_", ROUNDS)
def test_a_worker_killed_in_any_round_changes_no_bit(cluster_client, tmp_path, round_):
    """The first task of the round kills its worker process; Dask runs it again on the
    other worker while the nanny restarts the dead one."""
    from dask_clusters import kill_once_in, restore

    if cluster_client.cluster is not None and round_ not in ("trace", "apply"):
        pytest.skip("every round is killed on the command-line cluster; two on the LocalCluster")
    marker = tmp_path / "killed"
    cluster_client.run(kill_once_in, round_, str(marker))
    try:
        # A parametric fit reads its chunks to fit only when it traces no solver.
        options = dict(parametric=round_ != "fit_chunk")
        want, lazy = transformed_both_ways(29, True, True, (6, 1, 16), options)
        assert same_bits(cluster_client.compute(lazy).result(timeout=120), want)
    finally:
        cluster_client.run(restore, round_)
    assert marker.exists()
    cluster_client.wait_for_workers(2, timeout=60)


@pytest.fixture
def heard(monkeypatch):
    """What the progress bars of the public calls are told: (stage, done, total) triples."""
    import io

    from quarnel import _combat, _model, _progress

    told = []

    class Recorded(_progress.ProgressBar):
        def __init__(self):
            super().__init__(io.StringIO())

        def __call__(self, stage, done, total):
            told.append((stage, done, total))
            super().__call__(stage, done, total)

    monkeypatch.setattr(_progress, "DELAY", 0.0)
    monkeypatch.setattr(_model, "ProgressBar", Recorded)
    monkeypatch.setattr(_combat, "ProgressBar", Recorded)
    return told


@pytest.mark.parametrize("call", [quarnel.combat, quarnel.fit])
def test_progress_of_a_correction_tells_every_round(cluster_client, heard, call):
    x, batch, cov = problem(4, True, True)
    result = call(da.from_array(x, chunks=(x.shape[0], (5, 8, 10))), batch, cov, progress=True)
    if call is quarnel.combat:
        result.compute()
    rounds = [(stage, total) for stage, done, total in heard if done == 1]
    assert rounds[0] == ("verdicts", 3) and ("solver", 3) in rounds
    # A round counts its chunks up to all it reads: a chunk is read again only where needed.
    assert [(done, total) for _, done, total in heard] == [(d, n) for _, n in rounds for d in range(1, n + 1)]


def test_progress_tells_each_round_chunk_by_chunk(cluster_client, heard):
    """A transform estimating new batches shows its rounds on the progress bar, each
    counting its chunks done up to all of them."""
    (x, batch, cov), (new_x, new_batch, new_cov) = new_batch_problem(2, True, False)
    model = quarnel.fit(x, batch, cov)
    lazy = model.transform(da.from_array(new_x, chunks=(new_x.shape[0], (3, 9, 11))), new_batch,
                           new_cov, new_batches="estimate", progress=True)
    assert same_bits(lazy.compute(), model.transform(new_x, new_batch, new_cov, new_batches="estimate"))
    stages = [stage for stage, done, _ in heard if done == 1]
    assert stages[0] == "new batches" and "solver" in stages
    assert [(done, total) for _, done, total in heard] == [(d, 3) for _ in stages for d in (1, 2, 3)]


class CountedReads:
    """An array that counts the reads of each of its column chunks (by first column)."""

    def __init__(self, values: np.ndarray) -> None:
        self.values, self.reads = values, {}
        self.shape, self.dtype, self.ndim = values.shape, values.dtype, values.ndim

    def __getitem__(self, index):
        start = index[1].start or 0
        self.reads[start] = self.reads.get(start, 0) + 1
        return self.values[index]


@pytest.mark.parametrize("options", [dict(parametric=True), dict(parametric=True, mean_only=True),
                                     dict(parametric=False), dict(parametric=False, exact=False)], ids=str)
def test_a_correction_reads_each_chunk_in_three_rounds_and_one_per_extra_solver_round(heard, options):
    """The verdicts and raw estimates come from one read, the chunks' parts of the model
    from the solvers' traces where they run (else from one more read), and the correction
    reads each chunk once; a chunk is judged again only where the run's mode differs from
    its own, which a problem with NaN in every chunk never asks."""
    x, batch, cov = problem(8, True, True)
    x[0, [0, 4, 11]] = np.nan  # one in every chunk
    counted = CountedReads(x)
    with dask.config.set(scheduler="synchronous"):  # the counts stay in this process
        lazy = quarnel.combat(da.from_array(counted, chunks=(x.shape[0], (4, 7, 12)), asarray=True,
                                            meta=np.empty((0, 0))), batch, cov, progress=True, **options)
        corrected = lazy.compute()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        assert same_bits(corrected, quarnel.combat(x, batch, cov, **options))
    rounds = [stage for stage, done, _ in heard if done == 1]
    solves = options["parametric"] and not options.get("mean_only")
    assert rounds == ["verdicts", *["solver"] * (len(rounds) - 1)] if solves else ["verdicts", "model"]
    assert counted.reads == {0: len(rounds) + 1, 4: len(rounds) + 1, 11: len(rounds) + 1}


@pytest.mark.parametrize("nan_in", ["one chunk", "a partial feature only"])
def test_a_chunk_is_judged_again_only_where_the_runs_mode_is_not_its_own(heard, nan_in):
    """A chunk is first judged in the missing-data mode its own values suggest. Where the
    run's mode turns out otherwise (a NaN elsewhere, or only in features the run leaves to
    their own fits), it is read again in the run's mode, once: a record it already holds
    in a mode is not read anew. The bits are those of the run in memory."""
    x, batch, cov = problem(12, True, False)  # feature 5, partial, holds the only NaN
    if nan_in == "one chunk":
        x[3, 14] = np.nan
    counted = CountedReads(x)
    with dask.config.set(scheduler="synchronous"):
        lazy = quarnel.combat(da.from_array(counted, chunks=(x.shape[0], (4, 7, 12)), asarray=True,
                                            meta=np.empty((0, 0))), batch, cov, progress=True)
        corrected = lazy.compute()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quarnel.UnestimableFeatureWarning)
        assert same_bits(corrected, quarnel.combat(x, batch, cov))
    solver_rounds = sum(stage == "solver" for stage, done, _ in heard if done == 1)
    # Judged in their own mode first; then, when the run holds a NaN in a corrected feature
    # (chunk 11's), the others again in its mode; when its only NaN is the partial
    # feature's (chunk 4's), the others again for the verdicts of a run with a NaN, and
    # chunk 4 again for the raw estimates of the complete features, which hold none.
    judged = {0: 2, 4: 1, 11: 1} if nan_in == "one chunk" else {0: 2, 4: 2, 11: 2}
    assert counted.reads == {start: n + solver_rounds + 1 for start, n in judged.items()}


@pytest.mark.parametrize("how", ["callback", "signal"])
def test_interrupting_a_round_cancels_its_tasks(cluster_client, tmp_path, how):
    """Ctrl-C while a round waits on its chunks (the last held back) leaves no task of it on
    the cluster, though the interrupt's traceback still holds the round's futures."""
    import threading

    from dask_clusters import HeldArray, scheduler_tasks
    from quarnel import _dask

    x, batch, _ = problem(6, False, False)
    release = tmp_path / "release"
    held = da.from_array(HeldArray(x, 20, str(release)), chunks=(x.shape[0], 5), asarray=True,
                         meta=np.empty((0, 0)))
    ids = np.searchsorted(["a", "b", "c"], batch).astype(np.int64)
    options = dict(par_prior=True, mean_only=False, ref_batch=None)

    def interrupt(stage, done, total):
        raise KeyboardInterrupt

    timer = threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT))
    try:
        with pytest.raises(KeyboardInterrupt) as interrupted:
            if how == "callback":
                _dask.judge_chunks(held, ids, None, options, lambda i, j: None, progress=interrupt)
            else:
                timer.start()
                _dask.judge_chunks(held, ids, None, options, lambda i, j: None)
        deadline = time.monotonic() + 30
        while cluster_client.run_on_scheduler(scheduler_tasks) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert cluster_client.run_on_scheduler(scheduler_tasks) == 0
        assert interrupted.traceback
    finally:
        timer.cancel()
        release.touch()


@given(st.lists(st.integers(0, 40), min_size=1, max_size=6), st.integers(1, 300),
       st.integers(1, 4000))
def test_rechunked_feature_chunks_are_split_evenly_within_the_target(widths, n_samples, limit):
    with dask.config.set({"array.chunk-size": limit}):
        parts = bounded_widths(widths, n_samples)
    assert sum(parts) == sum(widths) and max(parts) <= max(1, limit // (8 * n_samples))
    edges = np.cumsum([0, *parts])
    for start, stop in zip(np.cumsum([0, *widths]), np.cumsum(widths)):  # each stored chunk
        assert start in edges and stop in edges  # is cut into near-equal parts
        inside = [p for p, e in zip(parts, edges[1:]) if p and start < e <= stop]
        assert not inside or max(inside) - min(inside) <= 1


def lazy_anndata(anndata, path, form, obs):
    """The AnnData stored at `path` with X read lazily: the whole object by read_lazy (its
    sample table backed by xarray), or X alone by read_elem_lazy, a CSR X in chunks of 10
    samples."""
    if form == "read_lazy":
        pytest.importorskip("xarray")
        return anndata.experimental.read_lazy(path)
    group = pytest.importorskip("zarr").open_group(path)
    x = anndata.experimental.read_elem_lazy(group["X"], chunks=(10, -1) if form == "csr" else None)
    return anndata.AnnData(x, obs=obs)


@pytest.mark.parametrize("form", ["dense", "csr", "read_lazy"])
def test_anndata_read_lazily_from_zarr_is_corrected_lazily(tmp_path, form):
    """A dense X is read in its stored feature chunks; a CSR X in chunks of samples is made
    dense chunk by chunk and rechunked, with a warning for each."""
    anndata = pytest.importorskip("anndata")
    pd = pytest.importorskip("pandas")
    if not hasattr(anndata.experimental, "read_lazy"):
        pytest.skip("anndata without lazy reading")
    x, batch, _ = problem(7, False, False)
    obs = pd.DataFrame({"lab": batch}, index=[f"s{i}" for i in range(x.shape[0])])
    sparse = form == "csr"
    stored = anndata.AnnData(pytest.importorskip("scipy.sparse").csr_matrix(x) if sparse else x, obs=obs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # anndata's notes on the zarr format version
        stored.write_zarr(tmp_path / "a.zarr", chunks=None if sparse else (x.shape[0], 5))
    lazy = lazy_anndata(anndata, tmp_path / "a.zarr", form, obs)
    with warnings.catch_warnings(record=True) as caught, dask.config.set(scheduler="threads"):
        warnings.simplefilter("always")
        out = quarnel.combat(lazy, "lab", out_layer="corrected")
        want = quarnel.combat(x, batch)
        corrected = out.layers["corrected"]
        assert isinstance(corrected, da.Array) and same_bits(corrected.compute(), want)
    told = {w.category for w in caught} & {quarnel.SparseInputWarning, quarnel.RechunkWarning}
    assert told == ({quarnel.SparseInputWarning, quarnel.RechunkWarning} if sparse else set())
