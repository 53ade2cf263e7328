"""Corrections of Dask arrays: the same bits as in memory, however the features are
chunked, on the threaded scheduler and on a cluster of worker processes, one of which
may die during the run."""

from __future__ import annotations

import os
import signal
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


@pytest.fixture(scope="module")
def cluster_client():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                           dashboard_address=None)
        client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


@pytest.mark.parametrize("options", OPTIONS, ids=str)
def test_cluster_result_is_the_in_memory_result(cluster_client, options):
    rng = np.random.default_rng(11)
    x, batch, cov = problem(21, True, True)
    want, lazy = corrected_both_ways(x, batch, cov, random_chunks(rng, x.shape[1]), options)
    assert same_bits(cluster_client.compute(lazy).result(), want)


def test_a_worker_killed_during_the_run_changes_no_bit(cluster_client):
    x, batch, cov = problem(33, True, True)
    want, lazy = corrected_both_ways(x, batch, cov, (1,) * x.shape[1], dict(parametric=True))
    future = cluster_client.compute(lazy)
    victim = next(iter(cluster_client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    assert same_bits(future.result(timeout=120), want)


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
