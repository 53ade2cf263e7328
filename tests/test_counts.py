"""quarnel.combat_counts against independent SciPy computations, the simulation study at
small size, the containers, serial == parallel, Ctrl-C and every bad input."""

from __future__ import annotations

import importlib.util
import math
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import numpy as np
import pytest
from scipy import optimize, special, stats

import quarnel
from quarnel import _engine

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "count_simulation.py"
_spec = importlib.util.spec_from_file_location("count_simulation", EXAMPLE)
study = importlib.util.module_from_spec(_spec)
sys.modules["count_simulation"] = study
_spec.loader.exec_module(study)


def fitted(per_batch=12, n_genes=60, seed=0, n_batches=3, reference=None):
    """A simulated problem, its engine result and every cell's two laws, from the
    returned parameters (mu, phi of the batch; mu*, phi* batch-free)."""
    sim = study.simulate(per_batch, n_genes, n_batches, seed)
    x = np.ascontiguousarray((sim.group == 1).astype(float)[:, None])
    result = _engine.combat_counts(sim.counts.astype(float), sim.batch.astype(np.int64), x,
                                   ref_batch=reference)
    coef, disp, offset = result["coefficients"], result["dispersion"], result["offset"]
    weights = np.bincount(sim.batch) / sim.batch.size
    alpha = coef[reference] if reference is not None else weights @ coef[:n_batches]
    phi_star = disp[reference] if reference is not None else weights @ disp
    mu = np.exp(offset[:, None] + coef[sim.batch] + x @ coef[n_batches:])
    mu_star = np.exp(offset[:, None] + alpha + x @ coef[n_batches:])
    return sim, x, result, mu, disp[sim.batch], mu_star, np.broadcast_to(phi_star, mu.shape)


def nb_logpmf(y, mu, phi):
    """log NB(y; mu, phi), its rising factorial summed term by term: SciPy's gammaln
    differences (and so nbinom.logpmf) lose 1e-10 of it at dispersions near 1e-6."""
    y, mu, phi = np.broadcast_arrays(np.asarray(y, float), mu, phi)
    rising = np.array([math.fsum(np.log(1.0 / f + np.arange(int(k)))) for k, f in zip(y.ravel(), phi.ravel())])
    a = phi * mu
    return (rising.reshape(y.shape) - special.gammaln(y + 1) - np.log1p(a) / phi
            + special.xlogy(y, a) - y * np.log1p(a))


def cox_reid(y, mu, phi, xb):
    w = mu / (1.0 + phi * mu)
    return nb_logpmf(y, mu, phi).sum() - 0.5 * np.linalg.slogdet(xb.T @ (w[:, None] * xb))[1]


def scipy_map(y, mu, phi, mu_star, phi_star):
    """The mid-distribution map with SciPy's distribution functions, in the smaller tail;
    -1 where that tail probability is below the smallest normal double."""
    n1, p1 = 1.0 / phi, 1.0 / (1.0 + phi * mu)
    half = 0.5 * stats.nbinom.pmf(y, n1, p1)
    low = np.where(y > 0, stats.nbinom.cdf(y - 1, n1, p1), 0.0) + half
    up = stats.nbinom.sf(y, n1, p1) + half
    n2, p2 = 1.0 / phi_star, 1.0 / (1.0 + phi_star * mu_star)
    upper = low > 0.5
    tail = np.where(upper, up, low)
    k = np.where(upper, stats.nbinom.isf(up, n2, p2), stats.nbinom.ppf(low, n2, p2))
    # ppf/isf may stop one short of or past the first k at the place: settle it on the
    # distribution functions themselves.
    for _ in range(3):
        reached = np.where(upper, stats.nbinom.sf(k, n2, p2) <= tail, stats.nbinom.cdf(k, n2, p2) >= tail)
        before = np.where(upper, stats.nbinom.sf(k - 1, n2, p2) <= tail, stats.nbinom.cdf(k - 1, n2, p2) >= tail)
        k = np.where(~reached, k + 1, np.where(before & (k > 0), k - 1, k))
    return np.where(tail >= np.finfo(float).tiny, k, -1).astype(np.int64)


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_likelihoods_dispersions_and_coefficients_match_scipy(seed):
    sim, x, result, mu, phi, _, _ = fitted(seed=seed)
    ok = np.flatnonzero(result["outcome"] == 0)
    assert ok.size > 40
    L = 3
    for g in ok[:25]:
        y = sim.counts[:, g]
        np.testing.assert_allclose(result["log_likelihood"][g], nb_logpmf(y, mu[:, g], phi[:, g]).sum(), rtol=1e-12)
        for b in range(L):
            s = sim.batch == b
            xb = np.column_stack([np.ones(s.sum()), x[s, 0]])
            at = cox_reid(y[s], mu[s, g], result["dispersion"][b, g], xb)
            np.testing.assert_allclose(result["adjusted_profile"][b, g], at, rtol=1e-12)
            best = optimize.minimize_scalar(
                lambda t: -cox_reid(y[s], mu[s, g], np.exp(t), xb),
                bounds=(np.log(1e-6), np.log(1e3)), method="bounded", options={"xatol": 1e-10},
            )
            assert abs(best.x - np.log(result["dispersion"][b, g])) < 1e-6 or (
                -best.fun <= result["adjusted_profile"][b, g] + 1e-9 * abs(best.fun))
        design = np.column_stack([np.eye(L)[sim.batch], x])

        def negative_log_likelihood(c):
            m = np.exp(result["offset"] + design @ c)
            score = design.T @ ((y - m) / (1.0 + phi[:, g] * m))
            return -nb_logpmf(y, m, phi[:, g]).sum(), -score

        coef = result["coefficients"][:, g]
        found = optimize.minimize(negative_log_likelihood, coef + 0.05, jac=True, method="BFGS",
                                  options={"gtol": 1e-9})
        np.testing.assert_allclose(coef, found.x, rtol=1e-6, atol=1e-6)


def wide_problem(seed, n_per_batch=30, n_genes=150):
    """Three batches whose genes' means run from 1e-3 to 1e6 and dispersions from 1e-5 to
    1e2 (log-uniform), every batch with a read, and outliers deep in both tails."""
    rng = np.random.default_rng(seed)
    batch = np.repeat(np.arange(3), n_per_batch)
    x = np.ascontiguousarray(np.tile([0.0, 1.0], batch.size // 2)[:, None])
    mean = np.exp(rng.uniform(np.log(1e-3), np.log(1e6), n_genes)) * np.exp(rng.normal(0, 0.5, (3, n_genes)))[batch]
    phi = np.exp(rng.uniform(np.log(1e-5), np.log(1e2), n_genes)) * np.exp(rng.uniform(-0.7, 0.7, (3, n_genes)))[batch]
    counts = rng.negative_binomial(1.0 / phi, 1.0 / (1.0 + phi * mean)).astype(float)
    for b in range(3):
        rows = np.flatnonzero(batch == b)
        empty = counts[rows].sum(axis=0) == 0
        counts[rows[0], empty] = 1.0
    cells = rng.integers(0, counts.size, 80)
    counts.flat[cells] = np.where(rng.random(80) < 0.5, 0.0, np.round(counts.flat[cells] * 30 + 300))
    return counts, batch, x


def laws(result, batch, x, n_levels=3):
    coef, disp, offset = result["coefficients"], result["dispersion"], result["offset"]
    weights = np.bincount(batch) / batch.size
    mu = np.exp(offset[:, None] + coef[batch] + x @ coef[n_levels:])
    mu_star = np.exp(offset[:, None] + weights @ coef[:n_levels] + x @ coef[n_levels:])
    return mu, disp[batch], mu_star, np.broadcast_to(weights @ disp, mu.shape)


def test_quantile_map_gives_scipys_integers_on_random_laws_and_tails():
    """Every cell of fitted problems over the whole range of means and dispersions, with
    outliers in both tails, moves to exactly the count SciPy's functions give; counts
    whose tail underflows stay and are counted."""
    checked, means, dispersions, deep = 0, [], [], 0
    for seed in range(3):
        counts, batch, x = wide_problem(seed, n_per_batch=100, n_genes=50)
        result = _engine.combat_counts(counts, batch.astype(np.int64), x)
        ok = result["outcome"] == 0
        mu, phi, mu_star, phi_star = (a[:, ok] for a in laws(result, batch, x))
        y = counts[:, ok]
        expected = scipy_map(y, mu, phi, mu_star, phi_star)
        kept = expected < 0
        expected[kept] = y[kept]
        np.testing.assert_array_equal(result["corrected"][:, ok], expected)
        assert result["tail_kept"][ok].sum() == kept.sum()
        n1, p1 = 1.0 / phi, 1.0 / (1.0 + phi * mu)
        deep += int((np.minimum(stats.nbinom.cdf(y, n1, p1), stats.nbinom.sf(y - 1, n1, p1)) < 1e-12).sum())
        checked += y.size
        means.append(mu.ravel())
        dispersions.append(phi.ravel())
    means, dispersions = np.concatenate(means), np.concatenate(dispersions)
    assert checked >= 10_000 and deep >= 20
    assert means.min() < 1e-2 and means.max() > 1e5
    assert dispersions.min() < 1e-4 and dispersions.max() > 10


def test_reference_batch_is_unchanged_and_defines_the_batch_free_law():
    sim, x, result, mu, phi, mu_star, phi_star = fitted(reference=1)
    ok = result["outcome"] == 0
    ref = sim.batch == 1
    np.testing.assert_array_equal(result["corrected"][ref], sim.counts[ref])
    other = ~ref
    expected = scipy_map(sim.counts[other][:, ok], mu[other][:, ok], phi[other][:, ok],
                         mu_star[other][:, ok], phi_star[other][:, ok])
    expected[expected < 0] = sim.counts[other][:, ok][expected < 0]
    np.testing.assert_array_equal(result["corrected"][other][:, ok], expected)


def test_simulation_study_at_small_size():
    sim = study.simulate(per_batch=24, n_genes=1500, seed=3)
    corrected, report = quarnel.combat_counts(sim.counts, sim.batch, sim.group.astype(str), return_report=True)
    m = study.measures(sim, corrected, study.expressed(sim.counts))
    assert corrected.dtype == np.int64 and (corrected >= 0).all()
    assert m["batch_difference_shrink"] >= 0.90
    assert m["group_lfc_correlation_after"] >= m["group_lfc_correlation_before"] - 0.02
    assert m["batch_silhouette_before"] > 0.4 and abs(m["batch_silhouette_after"]) < 0.1
    assert m["group_silhouette_after"] >= m["group_silhouette_before"]
    assert m["largest_ratio_to_input_max"] <= 100
    assert len(report.corrected_genes) == 1500 and not report.passed_through


def test_unfit_genes_pass_through_with_their_reasons():
    sim = study.simulate(per_batch=8, n_genes=30, n_batches=3, seed=5)
    counts = sim.counts.copy()
    counts[sim.batch == 2, 4] = 0
    out, report = quarnel.combat_counts(counts, [f"b{b}" for b in sim.batch], return_report=True)
    assert report.passed_through[4] == "no read in batch 'b2'"
    np.testing.assert_array_equal(out[:, 4], counts[:, 4])
    assert 4 not in report.corrected_genes and len(report.dispersions) == 3
    dispersion = report.parameters["dispersion"]
    assert np.isnan(dispersion[:, 4]).all() and np.isfinite(np.delete(dispersion, 4, axis=1)).all()
    assert report.dispersions["b1"]["median"] == np.median(np.delete(dispersion[1], 4))


@pytest.mark.parametrize("kind", ["array", "float", "frame", "anndata", "sparse"])
def test_containers_round_trip_as_int64(kind):
    pd = pytest.importorskip("pandas")
    sim = study.simulate(per_batch=6, n_genes=25, n_batches=2, seed=6)
    labels = [f"s{i}" for i in range(sim.counts.shape[0])]
    sheet = pd.DataFrame({"lab": sim.batch.astype(str), "condition": sim.group.astype(str)}, index=labels)
    expected = quarnel.combat_counts(sim.counts, sim.batch, sim.group.astype(str))
    if kind == "array":
        out = quarnel.combat_counts(sim.counts, sheet["lab"].to_numpy(), sheet["condition"].to_numpy())
    elif kind == "float":
        out = quarnel.combat_counts(sim.counts.astype(float), sheet["lab"].to_numpy(), sheet["condition"].to_numpy())
    elif kind == "frame":
        frame = pd.DataFrame(sim.counts, index=labels, columns=[f"g{j}" for j in range(25)])
        out = quarnel.combat_counts(frame, "lab", "condition", samples=sheet)
        assert list(out.index) == labels and list(out.columns) == list(frame.columns)
        out = out.to_numpy()
    elif kind == "anndata":
        anndata = pytest.importorskip("anndata")
        adata = anndata.AnnData(np.zeros(sim.counts.shape), obs=sheet)
        adata.layers["counts"] = sim.counts.copy()
        back = quarnel.combat_counts(adata, "lab", "condition", layer="counts", out_layer="corrected")
        assert back is adata and adata.uns["quarnel"]["method"] == "combat_counts"
        np.testing.assert_array_equal(adata.layers["counts"], sim.counts)
        out = adata.layers["corrected"]
    else:
        sparse = pytest.importorskip("scipy.sparse")
        with pytest.warns(quarnel.SparseInputWarning):
            out = quarnel.combat_counts(sparse.csr_matrix(sim.counts), sim.batch, sim.group.astype(str))
    assert out.dtype == np.int64
    np.testing.assert_array_equal(out, expected)


def test_library_sizes_default_to_the_totals_and_only_their_ratios_matter():
    sim = study.simulate(per_batch=6, n_genes=20, n_batches=2, seed=7)
    totals = sim.counts.sum(axis=1).astype(float)
    default = quarnel.combat_counts(sim.counts, sim.batch)
    np.testing.assert_array_equal(quarnel.combat_counts(sim.counts, sim.batch, library_size=totals * 3.0), default)
    assert (quarnel.combat_counts(sim.counts, sim.batch, library_size=np.ones(totals.size)) != default).any()


@pytest.mark.parametrize("mode", ["0", "1"])
def test_serial_and_parallel_runs_give_the_same_bits(mode):
    script = textwrap.dedent(f"""
        import sys, hashlib, numpy as np
        sys.path.insert(0, {str(EXAMPLE.parent)!r})
        import count_simulation as study, quarnel
        sim = study.simulate(30, 2000, 4, 8)
        out = quarnel.combat_counts(sim.counts, sim.batch, sim.group.astype(str))
        print(hashlib.sha256(out.tobytes()).hexdigest())
    """)
    digests = {
        m: subprocess.run([sys.executable, "-c", script], env={**os.environ, "QUARNEL_PARALLEL": m},
                          capture_output=True, text=True, check=True).stdout
        for m in (mode, "1" if mode == "0" else "0")
    }
    assert len(set(digests.values())) == 1


@pytest.mark.parametrize("how", ["callback", "signal"])
def test_ctrl_c_stops_the_run_and_leaves_the_input_alone(how):
    sim = study.simulate(per_batch=100, n_genes=6000, n_batches=4, seed=9)
    counts = sim.counts.astype(float)
    before = counts.copy()

    def interrupt(stage, done, total):
        if done:
            raise KeyboardInterrupt

    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    try:
        with pytest.raises(KeyboardInterrupt):
            if how == "callback":
                _engine.combat_counts(counts, sim.batch.astype(np.int64), progress=interrupt)
            else:
                timer.start()
                _engine.combat_counts(counts, sim.batch.astype(np.int64))
    finally:
        timer.cancel()
    np.testing.assert_array_equal(counts, before)


@pytest.mark.parametrize(
    "edit, kwargs, message",
    [
        (lambda c: c.__setitem__((2, 3), -1), {}, "sample 2, gene 3 holds -1.0"),
        (lambda c: c.__setitem__((2, 3), 2.5), {}, "sample 2, gene 3 holds 2.5"),
        (lambda c: c.__setitem__((1, 0), np.nan), {}, r"missing value \(NaN\) at sample 1, gene 0"),
        (lambda c: c.__setitem__((1, 0), np.inf), {}, "infinite value at sample 1, gene 0"),
        (None, {"batch": [0] * 11 + [1]}, "batch 1 holds a single sample"),
        (None, {"batch": [0] * 12}, "at least two batches"),
        (None, {"reference": 7}, "reference batch 7 is not one of the batches"),
        (None, {"library_size": np.r_[np.ones(11), 0.0]}, "library_size of sample 11 is 0.0"),
        # Confounded covariates: the message of quarnel.combat on the same design.
        (None, {"covariates": np.repeat([0.0, 1.0], 6)}, None),
        (None, {"covariates": np.c_[np.tile([0.0, 1.0], 6), np.tile([0.0, 2.0], 6)]}, None),
        (None, {"covariates": np.c_[np.tile([0.0, 1.0], 6), np.r_[np.zeros(3), np.ones(3), np.zeros(6)],
                                    np.tile([0.0, 1.0], 6) + np.r_[np.zeros(3), np.ones(3), np.zeros(6)]]}, None),
    ],
)
def test_bad_inputs_are_refused_and_nothing_else_happens(edit, kwargs, message):
    rng = np.random.default_rng(10)
    counts = rng.poisson(20, (12, 5)).astype(float)
    if edit is not None:
        edit(counts)
    kept = counts.copy()
    batch = kwargs.pop("batch", np.repeat([0, 1], 6))
    if message is None:
        with pytest.raises(ValueError) as combat_error:
            quarnel.combat(counts, batch, **kwargs)
        message = "^" + re.escape(str(combat_error.value)) + "$"
    with pytest.raises(ValueError, match=message):
        quarnel.combat_counts(counts, batch, **kwargs)
    np.testing.assert_array_equal(counts, kept)


def test_command_line_reads_and_writes_integer_counts(tmp_path):
    from quarnel._cli import main

    sim = study.simulate(per_batch=6, n_genes=40, n_batches=3, seed=11)
    names = [f"s{i}" for i in range(sim.counts.shape[0])]
    rows = ["gene\t" + "\t".join(names)] + [f"g{g}\t" + "\t".join(map(str, sim.counts[:, g])) for g in range(40)]
    (tmp_path / "counts.tsv").write_text("\n".join(rows) + "\n")
    sheet = ["sample\tlab\tcondition"] + [f"{n}\tL{b}\t{'ab'[c]}" for n, b, c in zip(names, sim.batch, sim.group)]
    (tmp_path / "sheet.tsv").write_text("\n".join(sheet) + "\n")
    args = [str(tmp_path / "counts.tsv"), "--counts", "--samples", str(tmp_path / "sheet.tsv"),
            "--batch", "lab", "--covariates", "condition", "-o", str(tmp_path / "out.tsv"), "-q"]
    assert main(["correct", *args]) == 0
    lines = (tmp_path / "out.tsv").read_text().splitlines()
    written = np.array([[int(cell) for cell in line.split("\t")[1:]] for line in lines[1:]]).T
    expected = quarnel.combat_counts(sim.counts, [f"L{b}" for b in sim.batch], ["ab"[c] for c in sim.group])
    np.testing.assert_array_equal(written, expected)
    with pytest.raises(SystemExit) as refused:
        main(["correct", *args, "--log2"])
    assert refused.value.code == 2
