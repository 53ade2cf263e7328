"""quarnel.combat: containers, label mapping, covariate encoding, errors."""

from __future__ import annotations

import sys
import warnings

import numpy as np
import pytest

import _quarnel
import quarnel

pd = pytest.importorskip("pandas")


def simulate(sizes=(6, 5, 7), n_features=12, seed=0):
    """Data with a shift and a scale per batch, samples in rows."""
    rng = np.random.default_rng(seed)
    level = np.repeat(np.arange(len(sizes)), sizes)
    shift = rng.normal(0.0, 1.0, (len(sizes), n_features))
    scale = rng.uniform(0.5, 2.0, (len(sizes), n_features))
    values = 5.0 + shift[level] + scale[level] * rng.normal(0.0, 1.0, (len(level), n_features))
    return np.ascontiguousarray(values), level.astype(np.int64)


def same_bits(a, b) -> bool:
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes()


OPTIONS = [
    pytest.param({}, {}, id="default"),
    pytest.param({"parametric": False}, {"par_prior": False}, id="nonparametric"),
    pytest.param({"mean_only": True}, {"mean_only": True}, id="mean-only"),
    pytest.param({"reference": "b"}, {"ref_batch": 1}, id="reference"),
]


@pytest.mark.parametrize(("public", "bare"), OPTIONS)
def test_options_reach_the_core_unchanged(public, bare):
    values, level = simulate()
    labels = np.array(["a", "b", "c"])[level]
    corrected = quarnel.combat(values, labels, **public)
    assert same_bits(corrected, _quarnel.combat(values, level, **bare)["adjusted"])


@pytest.mark.parametrize(
    ("make_labels", "expected_levels", "ids_of_level"),
    [
        pytest.param(lambda lv: np.array(["x", "y", "z"])[lv].tolist(), ("x", "y", "z"), [0, 1, 2], id="strings"),
        pytest.param(lambda lv: (np.array([30, 10, 20])[lv]).tolist(), (10, 20, 30), [2, 0, 1], id="integers-sorted"),
        pytest.param(lambda lv: np.array([7, 3, 5], dtype=np.int32)[lv], (3, 5, 7), [2, 0, 1], id="numpy-int32"),
        pytest.param(
            lambda lv: pd.Categorical(np.array(["p", "q", "r"])[lv], categories=["r", "unused", "q", "p"]),
            ("r", "q", "p"), [2, 1, 0], id="categorical-keeps-its-order-drops-unused",
        ),
        pytest.param(lambda lv: [("run", int(i)) for i in lv], (("run", 0), ("run", 1), ("run", 2)), [0, 1, 2], id="tuples"),
        pytest.param(lambda lv: [["a", 2, 1.5][i] for i in lv], ("a", 2, 1.5), [0, 1, 2], id="mixed-types-first-seen"),
    ],
)
def test_batch_labels_map_to_ids_and_back(make_labels, expected_levels, ids_of_level):
    values, level = simulate()
    values[level == 2, 0] = 1.25  # constant in the third simulated batch
    labels = make_labels(level)
    corrected, report = quarnel.combat(values, labels, return_report=True)
    assert report.batches == expected_levels
    ids = np.array(ids_of_level, dtype=np.int64)[level]
    assert same_bits(corrected, _quarnel.combat(values, ids)["adjusted"])
    assert report.batch_sizes == tuple(int((ids == i).sum()) for i in range(3))
    assert report.zero_variance_features == (0,)


def test_dataframe_in_dataframe_out_with_labels_kept():
    values, level = simulate()
    index = pd.Index([f"s{i:02d}" for i in range(len(level))], name="sample")
    columns = pd.Index([f"g{j}" for j in range(values.shape[1])], name="gene")
    frame = pd.DataFrame(values, index=index, columns=columns)
    sheet = pd.DataFrame({"lab": np.array(["A", "B", "C"])[level]}, index=index)
    corrected = quarnel.combat(frame, "lab", samples=sheet)
    assert isinstance(corrected, pd.DataFrame)
    assert corrected.index.equals(index) and corrected.columns.equals(columns)
    assert corrected.index.name == "sample" and corrected.columns.name == "gene"
    assert same_bits(corrected.to_numpy(), _quarnel.combat(values, level)["adjusted"])
    assert same_bits(frame.to_numpy(), values)  # the input is left alone


def test_series_and_sample_table_are_matched_by_index():
    values, level = simulate()
    index = pd.Index([f"s{i:02d}" for i in range(len(level))])
    frame = pd.DataFrame(values, index=index)
    order = np.random.default_rng(1).permutation(len(level))
    lab = pd.Series(np.array(["A", "B", "C"])[level], index=index).iloc[order]
    sheet = pd.DataFrame({"lab": lab, "extra": 1}).iloc[::-1]
    expected = _quarnel.combat(values, level)["adjusted"]
    assert same_bits(quarnel.combat(frame, lab).to_numpy(), expected)
    assert same_bits(quarnel.combat(frame, "lab", samples=sheet).to_numpy(), expected)
    with pytest.raises(ValueError, match=r"batch has no row for 1 of the samples \(for example 's00'\)"):
        quarnel.combat(frame, lab.drop("s00"))


def test_array_input_takes_positional_sample_table():
    values, level = simulate()
    sheet = {"lab": np.array(["A", "B", "C"])[level].tolist()}
    assert same_bits(quarnel.combat(values.tolist(), "lab", samples=sheet), _quarnel.combat(values, level)["adjusted"])


anndata = pytest.importorskip("anndata")


def make_adata(values, level, dtype=np.float64):
    obs = pd.DataFrame(
        {"lab": pd.Categorical(np.array(["A", "B", "C"])[level]), "cond": np.array(["x", "y"])[np.arange(len(level)) % 2]},
        index=[f"s{i}" for i in range(len(level))],
    )
    var = pd.DataFrame(index=[f"g{j}" for j in range(values.shape[1])])
    return anndata.AnnData(X=values.astype(dtype), obs=obs, var=var, layers={"raw": values * 2.0})


def test_anndata_returns_a_new_object_by_default():
    values, level = simulate()
    values[level == 1, 3] = 0.5
    adata = make_adata(values, level)
    corrected = quarnel.combat(adata, "lab")
    assert isinstance(corrected, anndata.AnnData) and corrected is not adata
    assert same_bits(adata.X, values)
    assert same_bits(corrected.X, _quarnel.combat(values, level)["adjusted"])
    assert corrected.obs_names.equals(adata.obs_names) and corrected.var_names.equals(adata.var_names)
    assert corrected.uns["quarnel"]["batches"] == ["A", "B", "C"]
    assert corrected.uns["quarnel"]["zero_variance_features"] == ["g3"]
    assert "quarnel" not in adata.uns


def test_anndata_layer_in_and_out_layer_in_place():
    values, level = simulate()
    adata = make_adata(values, level)
    returned = quarnel.combat(adata, "lab", "cond", layer="raw", out_layer="corrected")
    assert returned is adata
    mod = (adata.obs["cond"].to_numpy() == "y").astype(np.float64)[:, None]
    expected = _quarnel.combat(np.ascontiguousarray(values * 2.0), level, mod)["adjusted"]
    assert same_bits(adata.layers["corrected"], expected)
    assert same_bits(adata.X, values) and same_bits(adata.layers["raw"], values * 2.0)
    assert adata.uns["quarnel"]["covariates"] == ["cond[y]"]


def test_anndata_new_object_keeps_the_corrected_layer_where_it_was_read():
    values, level = simulate()
    adata = make_adata(values, level)
    corrected = quarnel.combat(adata, "lab", layer="raw")
    assert same_bits(corrected.X, values)
    assert same_bits(corrected.layers["raw"], _quarnel.combat(np.ascontiguousarray(values * 2.0), level)["adjusted"])


def test_anndata_float32_and_report_survive_h5ad(tmp_path):
    values, level = simulate()
    values[level == 0, 1] = np.nan  # one feature without any value in batch A
    adata = make_adata(values, level, dtype=np.float32)
    with pytest.warns(quarnel.UnestimableFeatureWarning):
        corrected = quarnel.combat(adata, "lab", reference="B", partial_batches="pass")
    assert corrected.X.dtype == np.float64
    path = tmp_path / "corrected.h5ad"
    corrected.write_h5ad(path)
    stored = anndata.read_h5ad(path).uns["quarnel"]
    assert list(stored["unestimable_features"]) == ["g1"]
    assert list(stored["unestimable_reasons"]) == ["no observed value in batch 'A'"]
    assert stored["reference"] == "B"


@pytest.mark.parametrize(
    ("column", "names", "mod_columns"),
    [
        pytest.param(["u", "v", "w"], ["cov[v]", "cov[w]"], lambda c: [c == "v", c == "w"], id="text-first-sorted-level-dropped"),
        pytest.param(
            pd.Categorical(["u", "v", "w"], categories=["w", "u", "v"]), ["cov[u]", "cov[v]"],
            lambda c: [c == "u", c == "v"], id="categorical-first-category-dropped",
        ),
        pytest.param([1.5, -2.0, 0.25], ["cov"], lambda c: [c], id="numeric-as-is"),
        pytest.param([True, False, True], ["cov"], lambda c: [c], id="boolean-as-0-1"),
        pytest.param([3, 1, 2], ["cov"], lambda c: [c], id="integers-numeric"),
    ],
)
def test_covariate_encoding(column, names, mod_columns):
    values, level = simulate(sizes=(9, 9, 9))
    pattern = np.tile(np.arange(3), 9)
    base = pd.Series(column).take(pattern).reset_index(drop=True)
    if isinstance(column, pd.Categorical):
        base = pd.Series(pd.Categorical(np.asarray(column)[pattern], categories=column.categories))
    cov = pd.DataFrame({"cov": base})
    corrected, report = quarnel.combat(values, level, cov, return_report=True)
    assert list(report.covariates) == names
    raw = np.asarray(base.astype(object) if not isinstance(column, pd.Categorical) else np.asarray(column)[pattern])
    mod = np.column_stack([np.asarray(m, dtype=np.float64) for m in mod_columns(raw)])
    assert same_bits(corrected, _quarnel.combat(values, level, np.ascontiguousarray(mod))["adjusted"])


def test_covariates_by_column_name_mix_numeric_and_text():
    values, level = simulate(sizes=(8, 8, 8))
    sheet = pd.DataFrame({"lab": level, "age": np.linspace(20, 60, 24), "sex": np.array(["f", "m"])[np.arange(24) % 2]})
    _, report = quarnel.combat(values, "lab", ["age", "sex"], samples=sheet, return_report=True)
    assert report.covariates == ("age", "sex[m]")
    mod = np.column_stack([sheet["age"].to_numpy(), (sheet["sex"] == "m").to_numpy(dtype=np.float64)])
    expected = _quarnel.combat(values, level, np.ascontiguousarray(mod))["adjusted"]
    assert same_bits(quarnel.combat(values, "lab", ["age", "sex"], samples=sheet), expected)


def test_report_names_singleton_batches_and_reference():
    values, level = simulate(sizes=(6, 1, 7))
    labels = np.array(["big", "one", "other"])[level]
    with pytest.warns(quarnel.SingletonBatchWarning, match="batch 'one' holds a single sample"):
        _, report = quarnel.combat(values, labels, reference="big", return_report=True)
    assert report.singleton_batches == ("one",)
    assert report.effective_mean_only is True
    assert report.reference == "big"
    assert "batches of a single sample (scale not corrected): one" in report.summary()


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        pytest.param(lambda v, l: quarnel.combat(v, ["a"] * len(l)), ValueError, "at least two batches are required", id="one-batch"),
        pytest.param(lambda v, l: quarnel.combat(v, l[:-1]), ValueError, "batch has 17 labels for 18 samples", id="short-batch"),
        pytest.param(lambda v, l: quarnel.combat(v, l, reference=9), ValueError, r"reference batch 9 is not one of the batches \[0, 1, 2\]", id="unknown-reference"),
        pytest.param(lambda v, l: quarnel.combat(v, [None] + list(l[1:])), ValueError, "batch label is missing for sample 0", id="missing-label"),
        pytest.param(lambda v, l: quarnel.combat(v, "lab"), ValueError, "there is no sample table", id="name-without-table"),
        pytest.param(lambda v, l: quarnel.combat(v, "lab", samples={"batch": list(l)}), ValueError, r"unknown batch column 'lab'; the sample table has \['batch'\]", id="unknown-column"),
        pytest.param(lambda v, l: quarnel.combat(v, l, np.where(l == 0, 2.0, 3.0)), ValueError, r"covariate column 0 is collinear with batch indicators \('covariate0' is constant within every batch\)", id="collinear-covariate-named"),
        pytest.param(lambda v, l: quarnel.combat(v, l, {"x": np.arange(18.0), "y": np.arange(18.0)}), ValueError, r"duplicate covariate columns 0 and 1 \('x' and 'y' are equal\)", id="duplicate-covariates-named"),
        pytest.param(
            lambda v, l: quarnel.combat(v, l, np.array(["d1", "d2", "d3", "d4", "d5", "d6"])[2 * l + np.arange(18) % 2]),
            ValueError, r"^covariates 'covariate0\[d3\]', 'covariate0\[d4\]', 'covariate0\[d5\]', 'covariate0\[d6\]' together are confounded with batches 1, 2: ",
            id="donor-nested-in-batch-named",
        ),
        pytest.param(
            lambda v, l: quarnel.combat(v, l, {"x": np.sin(np.arange(18.0)), "y": np.cos(np.arange(18.0)), "z": np.sin(np.arange(18.0)) + np.cos(np.arange(18.0))}),
            ValueError, r"^covariates 'x', 'y', 'z' together are linearly dependent", id="dependent-covariates-named",
        ),
        pytest.param(lambda v, l: quarnel.combat(v, l, {"x": [np.nan] + [1.0] * 17}), ValueError, "covariate 'x' is missing for sample 0", id="missing-covariate"),
        pytest.param(lambda v, l: quarnel.combat(v, l, ["x", "y"]), ValueError, "covariate 'x' names a column, but there is no sample table", id="short-list-of-names"),
        pytest.param(lambda v, l: quarnel.combat(v, l, unestimable="drop"), ValueError, "unestimable must be 'pass' or 'raise'", id="bad-policy"),
        pytest.param(lambda v, l: quarnel.combat(v[0], l), ValueError, "data must be two-dimensional", id="one-dimensional"),
        pytest.param(lambda v, l: quarnel.combat(v, l, layer="x"), TypeError, "layer= applies to AnnData input only", id="layer-on-array"),
        pytest.param(lambda v, l: quarnel.combat(v, l, out_layer="x"), TypeError, "out_layer= applies to AnnData input only", id="out-layer-on-array"),
    ],
)
def test_errors_say_what_is_wrong(call, error, message):
    values, level = simulate()
    with pytest.raises(error, match=message):
        call(values, level)


def test_infinite_value_is_named_by_labels():
    values, level = simulate()
    frame = pd.DataFrame(values, index=[f"s{i}" for i in range(18)], columns=[f"g{j}" for j in range(12)])
    frame.iloc[4, 7] = -np.inf
    with pytest.raises(ValueError, match=r"infinite value at sample 's4', feature 'g7'"):
        quarnel.combat(frame, level)


def test_non_numeric_dataframe_columns_are_rejected():
    values, level = simulate()
    frame = pd.DataFrame(values)
    frame["lab"] = level.astype(str)
    with pytest.raises(ValueError, match=r"non-numeric columns \['lab'\]"):
        quarnel.combat(frame, level)


def labelled_frame(labels=None):
    values, level = simulate()
    index = pd.Index(labels if labels is not None else [f"s{i:02d}" for i in range(len(level))])
    lab = np.array(["A", "B", "C"])[level]
    return pd.DataFrame(values, index=index), pd.Series(lab, index=index), level


def _with_extra(obj):
    return pd.concat([obj, obj.iloc[:1].set_axis(["zz"])])


@pytest.mark.parametrize(
    ("make", "message"),
    [
        pytest.param(
            lambda f, lab: quarnel.combat(f.set_axis(["s01", *f.index[1:]]), "lab", samples=lab.to_frame("lab").iloc[::-1]),
            r"sample labels are not unique \('s01' appear more than once\), so the sample table cannot be matched",
            id="repeated-data-label-with-sample-table",
        ),
        pytest.param(
            lambda f, lab: quarnel.combat(f.set_axis(["s01", *f.index[1:]]), lab.set_axis(["s00", *lab.index[1:]]).iloc[::-1]),
            r"\('s01' appear more than once\), so batch cannot be matched", id="repeated-data-label-with-series",
        ),
        pytest.param(lambda f, lab: quarnel.combat(f, _with_extra(lab)), r"batch has rows for 1 labels that are not samples of the data \(for example 'zz'\).*allow_extra_samples=True", id="extra-batch-label"),
        pytest.param(lambda f, lab: quarnel.combat(f, "lab", samples=_with_extra(lab.to_frame("lab"))), "the sample table has rows for 1 labels", id="extra-sample-table-row"),
        pytest.param(lambda f, lab: quarnel.combat(f, lab, _with_extra(pd.Series(np.arange(18.0), index=f.index))), "covariates has rows for 1 labels", id="extra-covariate-row"),
        pytest.param(lambda f, lab: quarnel.combat(f, _with_extra(lab).iloc[::-1].set_axis(["s03", *lab.index[::-1]])), r"batch has duplicated index labels: 's03'", id="repeated-series-label"),
    ],
)
def test_labels_that_cannot_be_matched_to_one_sample_each_are_errors(make, message):
    frame, lab, _ = labelled_frame()
    with pytest.raises(ValueError, match=message):
        make(frame, lab)


def test_extra_rows_are_ignored_when_allowed_and_positional_duplicates_pass():
    frame, lab, level = labelled_frame()
    expected = _quarnel.combat(frame.to_numpy(), level)["adjusted"]
    sheet = _with_extra(lab.to_frame("lab")).iloc[::-1]
    assert same_bits(quarnel.combat(frame, "lab", samples=sheet, allow_extra_samples=True).to_numpy(), expected)
    assert same_bits(quarnel.combat(frame, _with_extra(lab), allow_extra_samples=True).to_numpy(), expected)
    # Repeated labels are harmless where nothing is matched by label.
    repeated = frame.set_axis(["s"] * len(frame))
    assert same_bits(quarnel.combat(repeated, lab.to_numpy()).to_numpy(), expected)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "Observation names are not unique")  # anndata's own
        adata = anndata.AnnData(X=frame.to_numpy(), obs=pd.DataFrame({"lab": lab.to_numpy()}, index=["s"] * len(frame)))
        assert same_bits(quarnel.combat(adata, "lab").X, expected)
        with pytest.raises(ValueError, match="'s' appear more than once"):
            quarnel.combat(adata, lab)


@pytest.mark.parametrize(
    ("sizes", "options", "warned"),
    [
        pytest.param((6, 1, 7), {}, "batch 'b' holds a single sample, so no batch's scale", id="one"),
        pytest.param((1, 6, 1), {"parametric": False}, "batches 'a', 'c' hold a single sample", id="two-nonparametric"),
        pytest.param((6, 7, 1), {"reference": "a"}, "batch 'c' holds", id="with-reference"),
        pytest.param((6, 1, 7), {"mean_only": True}, None, id="mean-only-asked-for"),
        pytest.param((6, 2, 7), {}, None, id="no-singleton"),
    ],
)
def test_a_singleton_batch_warns_that_no_scale_is_corrected(sizes, options, warned):
    values, level = simulate(sizes=sizes)
    labels = np.array(["a", "b", "c"])[level]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        corrected = quarnel.combat(values, labels, **options)
    assert [w.category for w in caught] == ([quarnel.SingletonBatchWarning] if warned else [])
    if warned:
        assert str(caught[0].message).startswith(warned) and "Drop" in str(caught[0].message)
        assert caught[0].filename == __file__  # points at the caller's line
        # What the warning says: the run was location only, for every batch.
        assert same_bits(corrected, quarnel.combat(values, labels, mean_only=True, **options))


sparse = pytest.importorskip("scipy.sparse")


@pytest.mark.parametrize(
    "wrap",
    [
        pytest.param(lambda m, lab: (sparse.csr_matrix(m), lab), id="csr-matrix"),
        pytest.param(lambda m, lab: (sparse.csc_array(m), lab), id="csc-array"),
        pytest.param(lambda m, lab: (anndata.AnnData(X=sparse.csr_matrix(m), obs=pd.DataFrame({"lab": lab}, index=[f"c{i}" for i in range(len(lab))])), "lab"), id="anndata-sparse-X"),
    ],
)
def test_sparse_input_is_made_dense_with_a_warning_or_refused_beyond_the_limit(wrap):
    values, level = simulate()
    values[values < 5.0] = 0.0  # mostly zeros, as counts are
    data, batch = wrap(values, np.array(["A", "B", "C"])[level])
    with pytest.warns(quarnel.SparseInputWarning, match=r"sparse matrix \(18 × 12\) was made dense for the correction: 1.7 KiB"):
        corrected = quarnel.combat(data, batch)
    got = corrected.X if isinstance(corrected, anndata.AnnData) else corrected
    assert same_bits(got, _quarnel.combat(values, level)["adjusted"])
    with pytest.raises(ValueError, match=r"would take 1.7 KiB as a dense float64 matrix, more than the limit of 1.0 KiB \(max_dense_bytes\)"):
        quarnel.combat(data, batch, max_dense_bytes=1024)


@pytest.mark.parametrize(
    ("covariates", "samples"),
    [
        pytest.param(["x", "y"] * 9, None, id="text-list-without-table"),
        pytest.param(["x", "y"] * 9, {"x": [0.0] * 18, "lab": [0] * 18}, id="text-list-not-all-column-names"),
        pytest.param(("x", "y") * 9, None, id="tuple"),
    ],
)
def test_a_plain_list_with_one_value_per_sample_is_a_covariate(covariates, samples):
    values, level = simulate()
    corrected, report = quarnel.combat(values, level, covariates, samples=samples, return_report=True)
    assert report.covariates == ("covariate0[y]",)
    mod = (np.array(covariates) == "y").astype(np.float64)[:, None]
    assert same_bits(corrected, _quarnel.combat(values, level, np.ascontiguousarray(mod))["adjusted"])


@pytest.mark.parametrize("tqdm_installed", [False, True], ids=["plain-text", "tqdm"])
def test_progress_bar_follows_the_core_and_changes_nothing(monkeypatch, capsys, tqdm_installed):
    from quarnel import _progress

    monkeypatch.setattr(_progress, "DELAY", 0.0)
    if tqdm_installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    values, level = simulate()
    corrected = quarnel.combat(values, level, progress=True)
    shown = capsys.readouterr().err
    assert "quarnel" in shown and (tqdm_installed or shown.rstrip().endswith("100%"))
    assert same_bits(corrected, quarnel.combat(values, level, progress=False))
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "options", [{}, {"mean_only": True}, {"reference": 1}, {"shift": 40.0}],
    ids=["plain", "mean-only", "reference", "batches-far-apart"],
)
def test_fast_nonparametric_estimate_agrees_with_the_exact_one_to_rounding(options):
    options = dict(options)
    values, level = simulate(n_features=80, seed=3)
    # Batches far apart put each job's values far from most features' raw effects, where
    # an uncentred sum of squares would cancel.
    values += options.pop("shift", 0.0) * level[:, None]
    values[3, 5] = np.nan
    exact = quarnel.combat(values, level, parametric=False, **options)
    fast = quarnel.combat(values, level, parametric=False, exact=False, **options)
    spread = np.nanstd(values, axis=0)
    assert np.isnan(fast).tolist() == np.isnan(exact).tolist()
    assert np.nanmax(np.abs(fast - exact) / spread) <= 1e-9
