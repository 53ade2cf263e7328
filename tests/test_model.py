"""A fitted model corrects its own samples as quarnel.combat does and new samples by the
model's formulas, one sample at a time, in every container and through every front door."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import quarnel
from quarnel import _cli
from quarnel._table import read_matrix

BATCH = np.array(["a"] * 7 + ["b"] * 8 + ["c"] * 6)
GROUP = np.array(["x", "y", "z"] * 7)


def simulate(seed=0, n_features=14):
    """Values with batch shifts and scales, a group effect, scattered NaN, a feature
    missing from batch c, one constant within batch b and one with a single value in a."""
    rng = np.random.default_rng(seed)
    level = np.searchsorted(["a", "b", "c"], BATCH)
    group = np.searchsorted(["x", "y", "z"], GROUP)
    values = (
        rng.normal(5, 1, n_features) + rng.normal(0, 1, (3, n_features))[level]
        + np.array([0.0, 1.0, -0.5])[group][:, None]
        + rng.normal(0, 1, (21, n_features)) * rng.uniform(0.5, 2, (3, n_features))[level]
    )
    values[2, 1] = values[11, 4] = np.nan
    values[BATCH == "c", 5] = np.nan
    values[BATCH == "b", 7] = 4.0
    values[np.flatnonzero(BATCH == "a")[1:], 9] = np.nan
    return values


def quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


def covariates_of(rows, kind):
    if kind is None:
        return None
    return {"group": list(GROUP[rows]), "dose": np.linspace(0, 1, 21)[rows]} if kind == "both" else list(GROUP[rows])


OPTIONS = [
    dict(parametric=p, mean_only=m, reference=r)
    for p in (True, False) for m in (False, True) for r in (None, "b")
]


@pytest.mark.parametrize("covariates", [None, "group", "both"])
@pytest.mark.parametrize("options", OPTIONS + [
    dict(partial_batches="pass"), dict(reference="a", partial_batches="pass"),
    dict(parametric=False, exact=False), dict(parametric=False, exact=False, reference="b"),
])
def test_fit_then_transform_is_combat_bit_for_bit(options, covariates):
    values, rows = simulate(), np.arange(21)
    cov = covariates_of(rows, covariates)
    expected, report = quiet(quarnel.combat, values, BATCH, cov, return_report=True, **options)
    model = quiet(quarnel.fit, values, BATCH, cov, **options)
    got = model.transform(values, BATCH, cov)
    assert got.tobytes() == expected.tobytes()
    assert model.report == report
    # One sample at a time gives the same bits: known batches are not estimated again.
    one_by_one = np.vstack([model.transform(values[[i]], BATCH[[i]], covariates_of([i], covariates)) for i in rows])
    assert one_by_one.tobytes() == expected.tobytes()


@pytest.mark.parametrize("options", OPTIONS)
def test_held_out_samples_follow_the_model_formulas(options):
    values = simulate(seed=3)
    train = np.r_[0:5, 7:13, 15:20]
    test = np.setdiff1d(np.arange(21), train)
    model = quiet(quarnel.fit, values[train], BATCH[train], {"dose": np.linspace(0, 1, 21)[train]}, **options)
    got = model.transform(values[test], BATCH[test], {"dose": np.linspace(0, 1, 21)[test]})

    m = model.arrays()
    mod = np.linspace(0, 1, 21)[test][:, None]
    features, level = m["features"], np.array([model.batches.index(b) for b in BATCH[test]])
    mean = m["grand_mean"] + mod[:, m["covariate_columns"]] @ m["covariate_coefficients"]
    scale = np.sqrt(m["pooled_variance"])
    z = (values[test][:, features] - mean) / scale
    corrected = (z - m["gamma_star"][level]) / np.sqrt(m["delta_star"][level]) * scale + mean
    expected = values[test].copy()
    expected[:, features] = np.where(np.isnan(m["gamma_star"][level]), values[test][:, features], corrected)
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-12)
    assert np.array_equal(np.isnan(got), np.isnan(values[test]))
    passed = np.setdiff1d(np.arange(values.shape[1]), features)
    assert got[:, passed].tobytes() == values[test][:, passed].tobytes()
    if options["reference"] is not None:
        in_reference = BATCH[test] == options["reference"]
        assert got[in_reference].tobytes() == values[test][in_reference].tobytes()


def test_new_batches_are_rejected_by_name_or_estimated_against_the_model():
    values = simulate(seed=5)
    model = quiet(quarnel.fit, values, BATCH)
    new = values[:7] * 1.5 + 3.0
    with pytest.raises(ValueError, match=r"batch 'd' was not seen .*new_batches='estimate'"):
        model.transform(new, ["d"] * 7)
    mixed = np.vstack([values, new])
    labels = list(BATCH) + ["d"] * 7
    got = model.transform(mixed, labels, new_batches="estimate")
    assert got[:21].tobytes() == model.transform(values, BATCH).tobytes()  # known batches untouched by d
    complete = [0, 2, 3, 6, 8, 10, 11, 12, 13]
    shift = lambda x: np.abs(x[21:, complete].mean(0) - got[:21, complete].mean(0)).mean()
    assert shift(got) < 0.25 * shift(mixed)


def with_partial(seed):
    """simulate() on 40 features, of which 20 to 29 are missing from batch c as 5 is."""
    values = simulate(seed, n_features=40)
    values[BATCH == "c", 20:30] = np.nan
    return values


def same_bits(a, b):
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@pytest.mark.parametrize("options", [{}, dict(mean_only=True), dict(reference="b")], ids=["plain", "mean-only", "reference"])
def test_fast_estimate_reaches_partial_features_and_new_batches(monkeypatch, tmp_path, options):
    values = with_partial(seed=13)
    new = values[BATCH == "a"] * 1.5 + 3.0  # batch a's single-value feature 9 included
    runs = {}
    for parallel in ("0", "1"):
        monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
        for exact in (True, False):
            model = quiet(quarnel.fit, values, BATCH, parametric=False, exact=exact, **options)
            assert model.exact is exact
            runs[parallel, exact] = (model, model.transform(values, BATCH),
                                     model.transform(new, ["d"] * 7, new_batches="estimate"))
    for exact in (True, False):
        for serial, parallel in zip(runs["0", exact][1:], runs["1", exact][1:]):
            assert same_bits(serial, parallel)
    (_, exact_own, exact_new), (fast_model, fast_own, fast_new) = runs["0", True], runs["0", False]
    partial = sorted(fast_model.report.partial_features)
    assert partial == [5, *range(20, 30)]
    corrected = fast_model.arrays()["features"]
    spread = np.nanstd(values, axis=0)
    for exact_out, fast_out, columns in ((exact_own, fast_own, partial), (exact_new, fast_new, corrected)):
        assert not same_bits(exact_out[:, columns], fast_out[:, columns])
        assert np.array_equal(np.isnan(exact_out), np.isnan(fast_out))
        assert np.nanmax(np.abs(fast_out - exact_out) / spread) <= 1e-9
    fast_model.save(tmp_path / "m.npz")
    again = quarnel.load_model(tmp_path / "m.npz")
    assert again.exact is False and again.arrays()["exact"] is False
    assert same_bits(again.transform(new, ["d"] * 7, new_batches="estimate"), fast_new)
    assert same_bits(again.transform(values, BATCH), fast_own)


def new_level_in_numpy(model, x):
    """A new batch's raw and posterior effects, as one more level of the fitted run with
    its standardisation frozen: its prior from its own raw effects, then the solver."""
    z = (x[:, model["features"]] - model["grand_mean"]) / np.sqrt(model["pooled_variance"])
    counts = np.isfinite(z).sum(axis=0)
    g_hat = np.nanmean(np.where(counts > 0, z, 0.0), axis=0)
    d_hat = np.array([np.nanvar(z[:, m], ddof=1) if counts[m] >= 2 else np.nan for m in range(z.shape[1])])
    gbar, tau2 = g_hat.mean(), g_hat.var(ddof=1)
    mean, s2 = d_hat[counts >= 2].mean(), d_hat[counts >= 2].var(ddof=1)
    a, b = (mean * mean + 2 * s2) / s2, (mean * mean * mean + mean * s2) / s2
    g_star = (g_hat * tau2 + gbar) / (tau2 + 1.0)
    d_star = np.ones_like(g_hat)
    scaled = counts >= 2
    g, d, n = g_hat[scaled], d_hat[scaled], counts[scaled]
    for _ in range(1000):
        g_new = (gbar * d + g_hat[scaled] * tau2 * n) / (tau2 * n + d)
        d_new = (0.5 * np.nansum((z[:, scaled] - g_new) ** 2, axis=0) + b) / (0.5 * n + a - 1.0)
        change = max(np.max(np.abs(g_new - g) / g), np.max(np.abs((d_new - d) / d)))
        g, d = g_new, d_new
        if change <= 1e-4:
            break
    g_star[scaled], d_star[scaled] = g, d
    return g_hat, d_hat, g_star, d_star


def test_a_new_batch_is_estimated_as_one_more_level_of_the_fitted_run():
    from quarnel import _engine

    rng = np.random.default_rng(7)
    ids = np.repeat(np.arange(3), [8, 9, 7]).astype(np.int64)
    values = rng.normal(6.0, 1.0, (ids.size, 25)) + rng.normal(0.0, 1.0, (3, 25))[ids]
    model = _engine.fit(values, ids)["model"]
    new = rng.normal(8.0, 1.5, (6, 25))
    new[0, 3] = np.nan
    new[1:, 4] = np.nan  # a single value: location only
    estimated = _engine.apply(model, new, np.full(6, 9, np.int64), new_batches=True)["new_batches"]
    for got, expected in zip(
        (estimated["gamma_hat"][0], estimated["delta_hat"][0], estimated["gamma_star"][0], estimated["delta_star"][0]),
        new_level_in_numpy(model, new),
    ):
        np.testing.assert_allclose(got, expected, rtol=1e-9)


def test_containers_come_back_with_their_labels_and_features_are_matched_by_name(tmp_path):
    pd = pytest.importorskip("pandas")
    ad = pytest.importorskip("anndata")
    values = simulate(seed=7)
    samples = pd.DataFrame({"lab": BATCH, "group": GROUP}, index=[f"s{i}" for i in range(21)])
    frame = pd.DataFrame(values, index=samples.index, columns=[f"g{j}" for j in range(14)])
    model = quiet(quarnel.fit, frame, "lab", "group", samples=samples)
    expected = quiet(quarnel.combat, frame, "lab", "group", samples=samples)
    got = model.transform(frame.iloc[::-1], "lab", "group", samples=samples)
    pd.testing.assert_frame_equal(got, expected.iloc[::-1])
    adata = ad.AnnData(X=values.copy(), obs=samples, var=pd.DataFrame(index=frame.columns))
    adata.layers["raw"] = values
    out = model.transform(adata, "lab", "group", layer="raw")
    assert out.layers["raw"].tobytes() == expected.to_numpy().tobytes() and list(out.obs_names) == list(samples.index)
    with pytest.raises(ValueError, match=r"feature 0 of the data is 'g13', but the model's feature 0 is 'g0'"):
        model.transform(frame[frame.columns[::-1]], "lab", "group", samples=samples)
    with pytest.raises(ValueError, match=r"category 'w' .*not seen"):
        model.transform(frame, "lab", "group", samples=samples.assign(group="w"))
    model.save(tmp_path / "m.npz")
    again = quarnel.load_model(tmp_path / "m.npz").transform(frame, "lab", "group", samples=samples)
    pd.testing.assert_frame_equal(again, expected)


def test_transformer_sits_in_a_pipeline_with_batch_routed_as_metadata():
    sklearn = pytest.importorskip("sklearn")
    from sklearn.linear_model import LogisticRegression
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler

    from quarnel.sklearn import CombatTransformer

    values = np.nan_to_num(simulate(seed=9)[:, [0, 2, 3, 6, 8, 10, 11, 12, 13]])
    y = GROUP == "y"
    with sklearn.config_context(enable_metadata_routing=True):
        combat = CombatTransformer(reference="a").set_fit_request(batch=True).set_transform_request(batch=True)
        pipe = make_pipeline(combat, StandardScaler(), LogisticRegression())
        pipe.fit(values, y, batch=BATCH)
        expected = StandardScaler().fit_transform(quarnel.combat(values, BATCH, reference="a"))
        np.testing.assert_array_equal(pipe[:-1].transform(values, batch=BATCH), expected)
        assert pipe.predict(values[:4], batch=BATCH[:4]).shape == (4,)
        with pytest.raises(ValueError, match="needs batch="):
            CombatTransformer().fit(values)


def test_command_line_saves_a_model_and_applies_it(tmp_path, capsys):
    values = np.abs(simulate(seed=11)) + 1.0
    names = [f"S{i}" for i in range(21)]
    matrix, sheet = tmp_path / "m.tsv", tmp_path / "s.tsv"
    cell = lambda v: "NA" if np.isnan(v) else repr(float(v))
    matrix.write_text("\n".join(["id\t" + "\t".join(names)] + [f"P{j}\t" + "\t".join(cell(v) for v in values[:, j]) for j in range(14)]) + "\n")
    sheet.write_text("\n".join(["sample\tlab\tgroup"] + [f"{n}\t{b}\t{g}" for n, b, g in zip(names, BATCH, GROUP)]) + "\n")
    common = ["-s", sheet, "-b", "lab", "--log2"]
    assert _cli.main([str(a) for a in ["correct", matrix, *common, "-c", "group", "-o", tmp_path / "c.tsv",
                                        "--save-model", tmp_path / "m.npz", "--effects", tmp_path / "e.tsv"]]) == 0
    assert _cli.main([str(a) for a in ["apply", tmp_path / "m.npz", matrix, *common, "-o", tmp_path / "a.tsv"]]) == 0
    assert read_matrix(tmp_path / "a.tsv").values.tobytes() == read_matrix(tmp_path / "c.tsv").values.tobytes()
    effects = (tmp_path / "e.tsv").read_text().splitlines()
    assert effects[0].split("\t") == ["batch", "feature", "gamma_hat", "delta_hat", "gamma_star", "delta_star"]
    assert len(effects) - 1 == 3 * len(quarnel.load_model(tmp_path / "m.npz").arrays()["features"])
    sheet.write_text(sheet.read_text().replace("\tc\t", "\td\t"))
    capsys.readouterr()
    assert _cli.main([str(a) for a in ["apply", tmp_path / "m.npz", matrix, *common, "-o", tmp_path / "a.tsv"]]) == 3
    assert "batch 'd' was not seen" in capsys.readouterr().err
    status = _cli.main([str(a) for a in ["apply", tmp_path / "m.npz", matrix, *common, "-o", tmp_path / "a.tsv",
                                         "--new-batches", "estimate"]])
    assert status == 0 and "estimated against it: d" in capsys.readouterr().out


@pytest.mark.parametrize("args, status, message", [
    (["apply", "{tmp}/missing.npz", "{tmp}/m.tsv", "-s", "{tmp}/s.tsv", "-b", "lab", "-o", "{tmp}/o.tsv"], 3, "missing.npz: no such file"),
    (["apply", "{tmp}/s.tsv", "{tmp}/m.tsv", "-s", "{tmp}/s.tsv", "-b", "lab", "-o", "{tmp}/o.tsv"], 3, "is not a quarnel model file"),
    (["apply", "{tmp}/s.tsv", "{tmp}/m.tsv", "-s", "{tmp}/s.tsv", "-b", "lab", "-o", "{tmp}/s.tsv"], 2, "is the sample sheet"),
    (["correct", "{tmp}/m.tsv", "-s", "{tmp}/s.tsv", "-b", "lab", "-o", "{tmp}/o.tsv", "--save-model", "{tmp}/m.tsv"], 2, "is the matrix"),
    (["correct", "{tmp}/m.tsv", "-s", "{tmp}/s.tsv", "-b", "lab", "-o", "{tmp}/o.tsv", "--effects", "{tmp}"], 3, "is a folder"),
])
def test_command_line_refuses_bad_models_and_outputs_before_reading(tmp_path, capsys, args, status, message):
    (tmp_path / "s.tsv").write_text("sample\tlab\nS0\ta\n")
    (tmp_path / "m.tsv").write_text("not read")  # outputs are checked before this is parsed
    try:
        got = _cli.main([a.format(tmp=tmp_path) for a in args])
    except SystemExit as exit:
        got = exit.code
    assert got == status and message in capsys.readouterr().err
