"""The fitted model without the engine: its file, its tables, its figure, and covariates
encoded for new samples as they were for the fitted ones."""

from __future__ import annotations

import functools
import io
import json
import math
import os
import re
import sys
import tempfile
import warnings
import zipfile

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

import quarnel
from quarnel import _model
from quarnel._labels import encode_covariates, reencode_covariates
from quarnel._report import CombatReport

BATCHES = ("lab A", 2019, 2.5, True)


def hand_model(batches=BATCHES, features=("g0", 1, 2.0, "g3", "g4"), corrected=(0, 1, 3, 4), reference=None, seed=0,
               exact=True):
    """A model as the engine describes it, with labels of every kind a file must keep."""
    rng = np.random.default_rng(seed)
    n_levels, n_corrected = len(batches), len(corrected)
    arrays = {
        "n_features": len(features), "features": np.array(corrected, np.int64),
        "zero_variance_features": np.array([2], np.int64), "batch_ids": np.arange(n_levels, dtype=np.int64),
        "level_sizes": np.full(n_levels, 5, np.int64), "n_covariates": 2,
        "reference": -1 if reference is None else batches.index(reference),
        "covariate_columns": np.array([0, 1], np.int64), "par_prior": True, "exact": exact, "mean_only": False,
        "effective_mean_only": False, "grand_mean": rng.normal(size=n_corrected),
        "covariate_coefficients": rng.normal(size=(2, n_corrected)),
        "pooled_variance": rng.uniform(0.5, 2, n_corrected),
        "gamma_hat": rng.normal(size=(n_levels, n_corrected)), "delta_hat": rng.gamma(5, 0.2, (n_levels, n_corrected)),
        "gamma_star": rng.normal(size=(n_levels, n_corrected)), "delta_star": rng.gamma(5, 0.2, (n_levels, n_corrected)),
        "gamma_bar": rng.normal(size=n_levels), "tau2": rng.uniform(0.1, 1, n_levels),
        "a_prior": rng.uniform(3, 8, n_levels), "b_prior": rng.uniform(1, 3, n_levels),
    }
    arrays["corrected"] = np.ones((n_levels, n_corrected), np.uint8)
    arrays["gamma_hat"][1, -1] = np.nan  # a partial feature unobserved in one batch
    arrays["corrected"][1, -1] = 0
    columns = encode_covariates([("age", [30.0, 41.5]), ("site", ["x", "y"])], 2, ["s0", "s1"]).columns
    report = CombatReport(
        batches=batches, batch_sizes=(5,) * n_levels, reference=reference, covariates=("age", "site[y]"),
        parametric=True, mean_only=False, effective_mean_only=False, singleton_batches=(),
        zero_variance_features=(features[2],), unestimable_features={},
        n_samples=5 * n_levels, n_features=len(features), passed_through=(features[2],),
        partial_features={features[4]: batches[:1] + batches[2:]},
    )
    options = _model._Options(True, False, reference, "pass", "correct", exact)
    return _model.CombatModel(arrays, batches, features, columns, report, options, True)


def same_model(a, b):
    left, right = a.arrays(), b.arrays()
    assert sorted(left) == sorted(right)
    for key, value in left.items():
        other = right[key]
        if isinstance(value, np.ndarray):
            assert value.dtype == other.dtype and value.shape == other.shape and value.tobytes() == other.tobytes(), key
        else:
            assert type(value) is type(other) and value == other, key
    for attr in ("batches", "features", "covariate_columns", "report", "reference", "exact"):
        assert getattr(a, attr) == getattr(b, attr), attr
        assert [type(x) for x in getattr(a, "batches")] == [type(x) for x in getattr(b, "batches")]
    assert [type(x) for x in a.features] == [type(x) for x in b.features]


@pytest.mark.parametrize("batches", [BATCHES, ("a", "b"), (np.int64(7), np.int64(-3)), (0.1, -0.0, 1e300)])
@pytest.mark.parametrize("reference", [None, "first"])
@pytest.mark.parametrize("exact", [True, False])
def test_save_load_save_is_bit_exact_and_keeps_label_types(tmp_path, batches, reference, exact):
    batches = tuple(b.item() if isinstance(b, np.generic) else b for b in batches)
    model = hand_model(batches=batches, reference=batches[0] if reference else None, exact=exact)
    model.save(tmp_path / "m.npz")
    first = quarnel.load_model(tmp_path / "m.npz")
    same_model(model, first)
    first.save(tmp_path / "again.qm")  # any suffix: written where asked, not to again.qm.npz
    same_model(first, quarnel.load_model(tmp_path / "again.qm"))
    with np.load(tmp_path / "m.npz", allow_pickle=False) as archive:  # plain arrays, no objects
        assert all(archive[k].dtype != object for k in archive.files)


def test_labels_of_other_types_are_saved_as_text_with_a_warning(tmp_path):
    model = hand_model(batches=("a", (1, 2)))
    with pytest.warns(quarnel.ModelLabelWarning, match=r"batch \(1, 2\) is a tuple"):
        model.save(tmp_path / "m.npz")
    assert quarnel.load_model(tmp_path / "m.npz").batches == ("a", "(1, 2)")


def _npy(array):
    import io

    buffer = io.BytesIO()
    np.save(buffer, array)
    return buffer.getvalue()


def _rewrite_header(path, change):
    with np.load(path, allow_pickle=False) as archive:
        arrays = {k: archive[k] for k in archive.files}
    header = json.loads(str(arrays["header"][0]))
    change(header, arrays)
    arrays["header"] = np.array([json.dumps(header)])
    np.savez(path, **arrays)


@pytest.mark.parametrize("damage, message", [
    (lambda p: p.write_bytes(p.read_bytes()[: len(p.read_bytes()) // 2]), "not a NumPy .npz archive, or it is truncated"),
    (lambda p: p.write_bytes(p.read_bytes()[:200] + bytes(b ^ 0xFF for b in p.read_bytes()[200:400]) + p.read_bytes()[400:]), "damaged"),
    (lambda p: p.write_text("sample\tbatch\nS1\tA\n"), "is not a quarnel model file"),
    (lambda p: p.write_bytes(_npy(np.arange(3))), "holds a single NumPy array"),
    (lambda p: np.savez(p, grand_mean=np.arange(3.0)), "holds no model header"),
    (lambda p: _rewrite_header(p, lambda h, a: h.update(format="other-tool")), "not a quarnel model file .*'other-tool'"),
    (lambda p: _rewrite_header(p, lambda h, a: h.update(version=_model.FORMAT_VERSION + 1)),
     rf"written by a newer quarnel \(format version {_model.FORMAT_VERSION + 1}; this one reads {_model.FORMAT_VERSION}\)"),
    (lambda p: _rewrite_header(p, lambda h, a: a.pop("tau2")), "damaged: .*lacks the array 'tau2'"),
    (lambda p: _rewrite_header(p, lambda h, a: a.update(gamma_star=a["gamma_star"][:, :2])), "'gamma_star' has shape"),
    (lambda p: _rewrite_header(p, lambda h, a: h["batches"].append(["date", "x"])), "damaged"),
])
def test_damaged_or_foreign_files_are_named_value_errors(tmp_path, damage, message):
    path = tmp_path / "m.npz"
    hand_model().save(path)
    damage(path)
    with pytest.raises(ValueError, match=message) as caught:
        quarnel.load_model(path)
    assert str(path) in str(caught.value)


def as_format_1(header, arrays):
    """The file as quarnel wrote it before a model recorded its exact and its report the
    kinds of its reasons."""
    header["version"] = 1
    del header["options"]["exact"], header["scalars"]["exact"], header["report"]["unestimable_kinds"]


def test_a_format_1_file_loads_as_exact_as_older_quarnel_estimated_new_batches(tmp_path):
    values, batch, covariates = fit_data()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fits = {exact: quarnel.fit(values, batch, covariates, parametric=False, exact=exact) for exact in (True, False)}
    path = tmp_path / "m.npz"
    fits[False].save(path)
    _rewrite_header(path, as_format_1)
    old = quarnel.load_model(path)
    assert old.exact is True and old.arrays()["exact"] is True
    rows = batch == "b"
    new = values[rows] * 1.5 + 3.0
    estimated = {k: m.transform(new, ["e"] * rows.sum(), {k: v[rows] for k, v in covariates.items()}, new_batches="estimate")
                 for k, m in [("old", old), *fits.items()]}
    assert estimated["old"].tobytes() == estimated[True].tobytes() != estimated[False].tobytes()
    # Its fitted effects are the file's: the batches it was fitted on are corrected as before.
    assert old.transform(values, batch, covariates).tobytes() == fits[False].transform(values, batch, covariates).tobytes()
    old.save(tmp_path / "again.npz")  # in the current format, exact and all
    with np.load(tmp_path / "again.npz", allow_pickle=False) as archive:
        assert json.loads(str(archive["header"][0]))["version"] == _model.FORMAT_VERSION
    same_model(old, quarnel.load_model(tmp_path / "again.npz"))


@functools.lru_cache(maxsize=1)
def several_kinds_fit():
    from test_public_unestimable import DOSE, LABELS, several_kinds

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quarnel.fit(several_kinds(), LABELS, DOSE, partial_batches="pass")


FIRST_EXPLAINED = "observed values leave no spread to estimate a variance from"  # how format 1 first worded it


def first_wording(header, arrays):
    as_format_1(header, arrays)
    for pair in header["report"]["unestimable_features"]:
        if pair[1].startswith("the design fits its observed values exactly"):
            pair[1] = FIRST_EXPLAINED


@pytest.mark.parametrize("rewrite", [None, as_format_1, first_wording], ids=["current", "format-1", "format-1-first-wording"])
def test_a_report_keeps_the_kinds_of_its_reasons_through_a_file(tmp_path, rewrite):
    model = several_kinds_fit()
    path = tmp_path / "m.npz"
    model.save(path)
    if rewrite is not None:
        _rewrite_header(path, rewrite)
    loaded = quarnel.load_model(path).report
    assert loaded.unestimable_kinds == model.report.unestimable_kinds
    assert len(set(loaded.unestimable_kinds.values())) == 5
    assert loaded.summary() == model.report.summary()
    if rewrite is first_wording:
        assert FIRST_EXPLAINED in loaded.unestimable_features.values()
    else:
        assert loaded == model.report


@pytest.mark.parametrize(("change", "message"), [
    pytest.param(lambda h: h["report"]["unestimable_features"][0].__setitem__(1, "no value in batch 'lab_B'"),
                 r"'report.unestimable_features\[0\]\[1\]' is \"no value in batch 'lab_B'\", not a reason quarnel gave",
                 id="format-1-unknown-reason"),
    pytest.param(lambda h: h["report"]["unestimable_features"][0].__setitem__(1, "no observed value in batch "),
                 "'report.unestimable_features\\[0\\]\\[1\\]' is .*not a reason quarnel gave", id="format-1-reason-without-its-batch"),
])
def test_a_format_1_report_is_judged_as_format_1_wrote_it(tmp_path, change, message):
    path = tmp_path / "m.npz"
    several_kinds_fit().save(path)
    _rewrite_header(path, lambda h, a: (as_format_1(h, a), change(h)))
    with pytest.raises(ValueError, match=f"model file {re.escape(str(path))} is damaged: .*{message}"):
        quarnel.load_model(path)


FIT_COLUMNS = [("age", np.array([30.0, 41.5, 52.0, 30.0])), ("site", ["y", "x", "z", "x"]), ("sex", ["f", "m", "f", "m"])]


@pytest.mark.parametrize("rows", [[0, 1, 2, 3], [3, 2], [1], [2, 2, 0]])
def test_new_samples_get_the_fitted_columns_whatever_categories_they_hold(rows):
    fitted = encode_covariates(FIT_COLUMNS, 4, list(range(4)))
    subset = [(name, [list(values)[r] for r in rows]) for name, values in reversed(FIT_COLUMNS)]
    again = reencode_covariates(subset, fitted.columns, len(rows), rows)
    assert again.names == fitted.names
    assert again.matrix.tobytes() == fitted.matrix[rows].tobytes()


@pytest.mark.parametrize("columns, message", [
    ([("age", [30.0]), ("site", ["w"]), ("sex", ["f"])], r"category 'w' .*not seen .*\['x', 'y', 'z'\]"),
    ([("age", [30.0]), ("site", ["x"])], "covariate 'sex' was used .* not given"),
    ([("age", [30.0]), ("site", ["x"]), ("sex", ["f"]), ("dose", [1.0])], "covariate 'dose' was not used"),
    ([("age", ["old"]), ("site", ["x"]), ("sex", ["f"])], "'age' was numeric .* not numbers"),
    ([("age", [30.0]), ("site", [None]), ("sex", ["f"])], "'site' is missing for sample 0"),
])
def test_covariates_that_do_not_fit_the_model_are_named(columns, message):
    spec = encode_covariates(FIT_COLUMNS, 4, list(range(4))).columns
    with pytest.raises(ValueError, match=message):
        reencode_covariates(columns, spec, 1, [0])


@pytest.mark.parametrize("pandas", [True, False])
def test_effects_and_priors_tables_follow_the_arrays(monkeypatch, pandas):
    model = hand_model()
    if not pandas:
        monkeypatch.setitem(sys.modules, "pandas", None)
    effects, priors = model.effects(), model.priors()
    if pandas:
        effects, priors = {k: effects[k].to_numpy() for k in effects}, {k: priors[k].to_numpy() for k in priors}
    assert list(effects) == ["batch", "feature", "gamma_hat", "delta_hat", "gamma_star", "delta_star"]
    assert list(priors) == ["batch", "gamma_bar", "tau2", "a_prior", "b_prior"]
    arrays = model.arrays()
    corrected = [model.features[f] for f in arrays["features"]]
    for row in range(len(effects["batch"])):
        level, k = divmod(row, len(corrected))
        assert effects["batch"][row] == model.batches[level] and effects["feature"][row] == corrected[k]
        for name in ("gamma_hat", "delta_hat", "gamma_star", "delta_star"):
            np.testing.assert_equal(effects[name][row], arrays[name][level, k])
    np.testing.assert_equal(priors["a_prior"], arrays["a_prior"])
    assert list(priors["batch"]) == list(model.batches)


def test_prior_densities_are_the_normal_and_inverse_gamma_ones():
    stats = pytest.importorskip("scipy.stats")
    from quarnel._plot import _inverse_gamma_density, _normal_density

    x = np.linspace(0.05, 6, 50)
    np.testing.assert_allclose(_inverse_gamma_density(x, 4.5, 2.0), stats.invgamma.pdf(x, 4.5, scale=2.0), rtol=1e-10)
    np.testing.assert_allclose(_normal_density(x, 0.3, 0.7), stats.norm.pdf(x, 0.3, math.sqrt(0.7)), rtol=1e-10)


@pytest.mark.parametrize("reference, parametric", [(None, True), ("lab A", True), (None, False)])
def test_plot_priors_draws_each_non_reference_batch_with_its_priors(tmp_path, reference, parametric):
    pytest.importorskip("matplotlib")
    model = hand_model(reference=reference)
    if not parametric:
        for name in ("gamma_bar", "tau2", "a_prior", "b_prior"):
            model._model[name][:] = np.nan
    figure = quarnel.plot_priors(model, tmp_path / "priors.png")
    axes = figure.axes
    assert len(axes) == 2 * (len(model.batches) - (reference is not None))
    assert all(len(ax.lines) == int(parametric) for ax in axes)
    assert (tmp_path / "priors.png").stat().st_size > 0


def test_the_sklearn_module_says_what_to_install_without_sklearn(monkeypatch):
    for name in [m for m in sys.modules if m == "sklearn" or m.startswith("sklearn.")] or ["sklearn"]:
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, "quarnel.sklearn", raising=False)
    with pytest.raises(ImportError, match="pip install scikit-learn"):
        import quarnel.sklearn  # noqa: F401


# ---------------------------------------------------------------------------------------
# Damaged files: refused when loaded, or still a model that corrects

def fit_data():
    """Four batches with a numeric and a categorical covariate, a reference batch, a feature
    one batch never sees and one constant within a batch: every array of a model in use."""
    rng = np.random.default_rng(3)
    batch = np.repeat(np.array(["a", "b", "c", "d"]), [6, 6, 4, 4])
    level = np.searchsorted(["a", "b", "c", "d"], batch)
    values = rng.normal(size=(20, 7)) * rng.uniform(0.5, 2, (4, 7))[level] + rng.normal(size=(4, 7))[level]
    values[batch == "c", 3] = np.nan
    values[batch == "a", 5] = 2.0
    covariates = {"age": rng.normal(40, 9, 20), "site": np.array(["x", "y", "z", "y"] * 5)}
    return values, batch, covariates


@functools.lru_cache(maxsize=1)
def saved_fit():
    values, batch, covariates = fit_data()
    with warnings.catch_warnings(), tempfile.TemporaryDirectory() as folder:
        warnings.simplefilter("ignore")
        quarnel.fit(values, batch, covariates, reference="b").save(os.path.join(folder, "m.npz"))
        return open(os.path.join(folder, "m.npz"), "rb").read()


NEST = re.compile(r'"@nest(\d+)@"')  # a header value to be written as lists nested this deep


def rebuilt(change):
    """The fitted model's file after change(header, members) edits its header and arrays."""
    with np.load(io.BytesIO(saved_fit()), allow_pickle=False) as archive:
        members = {k: archive[k] for k in archive.files}
    header = json.loads(str(members["header"][0]))
    change(header, members)
    if "header" in members:
        text = NEST.sub(lambda m: "[" * int(m[1]) + "]" * int(m[1]), json.dumps(header))
        members["header"] = np.array([text])
    out = io.BytesIO()
    np.savez(out, **members)
    return out.getvalue()


def loads_or_corrects(path, data):
    """Either load_model refuses the file with a ValueError naming it, or the model it
    loads corrects the samples it was fitted on; whether it loaded."""
    path.write_bytes(data)
    try:
        model = quarnel.load_model(path)
    except ValueError as err:
        assert str(path) in str(err) and "\n" not in str(err)
        return False
    values, batch, covariates = fit_data()
    corrected = model.transform(values, batch, covariates)
    assert corrected.shape == values.shape and np.array_equal(np.isnan(corrected), np.isnan(values))
    return True


def _set(where, key, value):
    where[key] = value


ARRAY_DAMAGE = {
    "float32": lambda a: a.astype(np.float32),
    "int32": lambda a: np.nan_to_num(a).astype(np.int32),
    "float64": lambda a: a.astype(np.float64),
    "big-endian": lambda a: a.astype(a.dtype.newbyteorder(">")),
    "fortran": np.asfortranarray,
    "transposed": lambda a: a.T.copy(),
    "one short": lambda a: a[..., :-1],
    "one more": lambda a: np.concatenate([a, a[..., -1:]], axis=-1),
    "flattened": lambda a: a.reshape(-1),
    "extra axis": lambda a: a[None],
    "negated": lambda a: -a,
}
FORBIDDEN = {"f": [np.nan, np.inf, -np.inf, 0.0, -1.0], "i": [-1, 0, 2, 2**40], "u": [0, 1, 2, 255]}
JUNK = [None, True, 0, -1, 2**70, 1.5, float("nan"), "x", [], {}, [["str", "a"]], {"a": 1}, "@nest5000@"]
BAD_SCALARS = [["int", 2**70], ["int", -1], ["int", 2], ["bool", 1], ["int", True], ["float", "0x1p+1"], ["int", "2"], None, 7]
ARRAY_NAMES = sorted(_model.ARRAY_LAYOUT)
MATRICES = [k for k, (_, axes, _) in _model.ARRAY_LAYOUT.items() if len(axes) == 2]
MEMBERS = ["header", *ARRAY_NAMES]


def _paths(value, path=()):
    yield path
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, child in items:
        yield from _paths(child, (*path, key))


def _replace(header, path, junk):
    *parents, last = path
    for key in parents:
        header = header[key]
    header[last] = junk


@st.composite
def damaged_files(draw):
    pristine = saved_fit()
    # Weighted towards the damages that come in many kinds: every array has values it may not hold.
    how = draw(st.sampled_from(["truncate", "flip", "array", "array", "entry", "entry", "entry", "drop", "swap", "scalar", "field"]))
    if how == "truncate":
        return pristine[: draw(st.integers(0, len(pristine) - 1))]
    if how == "flip":  # in the compressed file as saved, or in a stored one, whose .npy headers are plain text
        data = bytearray(draw(st.sampled_from([pristine, rebuilt(lambda h, m: None)])))
        for at in draw(st.lists(st.integers(0, len(data) - 1), min_size=1, max_size=3)):
            data[at] ^= draw(st.integers(1, 255))
        return bytes(data)
    if how == "array":
        kind = draw(st.sampled_from(sorted(ARRAY_DAMAGE)))
        name = draw(st.sampled_from(MATRICES if kind in ("fortran", "transposed") else ARRAY_NAMES))
        return rebuilt(lambda h, m: _set(m, name, ARRAY_DAMAGE[kind](m[name])))
    if how == "entry":  # at a level and feature that is corrected, for the arrays of both
        name = draw(st.sampled_from(ARRAY_NAMES))

        def change(h, m):
            array = m[name].copy()
            if array.size:
                at = draw(st.sampled_from(np.flatnonzero(m["corrected"]) if array.shape == m["corrected"].shape else range(array.size)))
                array.reshape(-1)[at] = draw(st.sampled_from(FORBIDDEN[array.dtype.kind]))
            m[name] = array
        return rebuilt(change)
    if how == "drop":
        gone = draw(st.sampled_from(MEMBERS))
        return rebuilt(lambda h, m: m.pop(gone))
    if how == "swap":
        a, b = draw(st.lists(st.sampled_from(MEMBERS), min_size=2, max_size=2, unique=True))
        return rebuilt(lambda h, m: m.update({a: m[b], b: m[a]}))
    if how == "scalar":
        key, bad = draw(st.sampled_from(sorted(_model.SCALAR_LAYOUT))), draw(st.sampled_from(BAD_SCALARS))
        return rebuilt(lambda h, m: _set(h["scalars"], key, bad))

    def change(h, m):  # any header field given a value of another JSON type
        path = draw(st.sampled_from([p for p in _paths(h) if p]))
        old = functools.reduce(lambda v, k: v[k], path, h)
        _replace(h, path, draw(st.sampled_from([j for j in JUNK if type(j) is not type(old)])))
    return rebuilt(change)


@pytest.fixture(scope="module")
def model_path(tmp_path_factory):
    return tmp_path_factory.mktemp("damaged") / "m.npz"


@settings(max_examples=1000)
@given(data=damaged_files())
def test_a_damaged_file_is_refused_when_loaded_or_still_corrects(model_path, data):
    event("loaded" if loads_or_corrects(model_path, data) else "refused")


def _level_of_unseen_feature(m):
    return tuple(int(i) for i in np.argwhere(m["corrected"] == 0)[0])


@pytest.mark.parametrize("change, field", [
    (lambda h, m: _set(h["report"], "covariates", "@nest1000@"), "its header nests deeper than"),
    (lambda h, m: _set(h, "version", "@nest100000@"), "its header nests deeper than"),
    (lambda h, m: _set(h["scalars"], "n_covariates", ["int", 2**70]), "'scalars.n_covariates' holds 1180591620717411303424"),
    (lambda h, m: _set(h["scalars"], "par_prior", ["int", 2]), "'scalars.par_prior' is \\['int', 2\\]"),
    (lambda h, m: _set(h["scalars"], "reference", ["int", 0]), "'scalars.reference' holds 0, not the level of options.reference"),
    (lambda h, m: _set(h["scalars"], "exact", ["int", 0]), "'scalars.exact' is \\['int', 0\\], not \\['bool'"),
    (lambda h, m: _set(h["scalars"], "exact", ["bool", False]), "'scalars.exact' holds False, not options.exact \\(True\\)"),
    (lambda h, m: _set(h["options"], "exact", 1), "'options.exact' is 1, not true or false"),
    (lambda h, m: h["scalars"].pop("exact"), "lacks the field 'scalars.exact'"),
    (lambda h, m: _set(h, "version", 1), "holds the unknown field 'options.exact'"),
    (lambda h, m: _set(h["report"], "unestimable_kinds", ["too_large"]), "'report.unestimable_kinds' gives the kinds of 1 features, but 'report.unestimable_features' lists 0"),
    (lambda h, m: _set(h["report"], "unestimable_kinds", ["overflow"]), "'report.unestimable_kinds\\[0\\]' is 'overflow', not one of \\['no_values'"),
    (lambda h, m: h["report"].pop("unestimable_kinds"), "lacks the field 'report.unestimable_kinds'"),
    (lambda h, m: _set(h, "labelled_features", "yes"), "'labelled_features' is 'yes', not true or false"),
    (lambda h, m: _set(h["options"], "unestimable", "maybe"), "'options.unestimable' is 'maybe'"),
    (lambda h, m: _set(h["batches"], 0, ["float", "0x1p99999"]), "'batches\\[0\\]' is .* not a label"),
    (lambda h, m: _set(h["batches"], 0, h["batches"][1]), "'batches' names a label more than once"),
    (lambda h, m: h["report"]["batch_sizes"].reverse(), "'level_sizes' holds .*'report.batch_sizes'"),
    (lambda h, m: _set(m, "delta_hat", m["delta_hat"].astype(np.float32)), "'delta_hat' is float32, not float64"),
    (lambda h, m: _set(m, "gamma_star", np.asfortranarray(m["gamma_star"])), "'gamma_star' is not in row-major"),
    (lambda h, m: m.pop("covariate_coefficients"), "lacks the array 'covariate_coefficients'"),
    (lambda h, m: _set(m, "batch_ids", m["batch_ids"][::-1].copy()), "'batch_ids' holds 3 at \\[0\\]"),
    (lambda h, m: m["pooled_variance"].__setitem__(2, 0.0), "'pooled_variance' holds 0.0 at \\[2\\], where it must be positive"),
    (lambda h, m: m["delta_star"].__setitem__((0, 1), -1.0), "'delta_star' holds -1.0 at \\[0, 1\\]"),
    (lambda h, m: m["corrected"].__setitem__(_level_of_unseen_feature(m), 1), "'gamma_star' holds nan at \\[2, 3\\], where it must be finite where corrected"),
    (lambda h, m: m["features"].__setitem__(0, 7), "'features' holds 7 at \\[0\\]"),
    (lambda h, m: m["covariate_columns"].__setitem__(2, 9), "'covariate_columns' holds 9 at \\[2\\]"),
    (lambda h, m: m["corrected"].__setitem__((0, 0), 2), "'corrected' holds 2 at \\[0, 0\\], where it must be 0 or 1"),
])
def test_each_damage_is_refused_naming_the_field(model_path, change, field):
    assert loads_or_corrects(model_path, rebuilt(lambda h, m: None))  # the file undamaged loads
    model_path.write_bytes(rebuilt(change))
    with pytest.raises(ValueError, match=f"model file {re.escape(str(model_path))} is damaged: .*{field}"):
        quarnel.load_model(model_path)
