"""The fitted model without the engine: its file, its tables, its figure, and covariates
encoded for new samples as they were for the fitted ones."""

from __future__ import annotations

import json
import math
import sys
import warnings
import zipfile

import numpy as np
import pytest

import quarnel
from quarnel import _model
from quarnel._labels import encode_covariates, reencode_covariates
from quarnel._report import CombatReport

BATCHES = ("lab A", 2019, 2.5, True)


def hand_model(batches=BATCHES, features=("g0", 1, 2.0, "g3", "g4"), corrected=(0, 1, 3, 4), reference=None, seed=0):
    """A model as the engine describes it, with labels of every kind a file must keep."""
    rng = np.random.default_rng(seed)
    n_levels, n_corrected = len(batches), len(corrected)
    arrays = {
        "n_features": len(features), "features": np.array(corrected, np.int64),
        "zero_variance_features": np.array([2], np.int64), "batch_ids": np.arange(n_levels, dtype=np.int64),
        "level_sizes": np.full(n_levels, 5, np.int64), "n_covariates": 2,
        "reference": -1 if reference is None else batches.index(reference),
        "covariate_columns": np.array([0, 1], np.int64), "par_prior": True, "mean_only": False,
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
    options = _model._Options(True, False, reference, "pass", "correct")
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
    for attr in ("batches", "features", "covariate_columns", "report", "reference"):
        assert getattr(a, attr) == getattr(b, attr), attr
        assert [type(x) for x in getattr(a, "batches")] == [type(x) for x in getattr(b, "batches")]
    assert [type(x) for x in a.features] == [type(x) for x in b.features]


@pytest.mark.parametrize("batches", [BATCHES, ("a", "b"), (np.int64(7), np.int64(-3)), (0.1, -0.0, 1e300)])
@pytest.mark.parametrize("reference", [None, "first"])
def test_save_load_save_is_bit_exact_and_keeps_label_types(tmp_path, batches, reference):
    batches = tuple(b.item() if isinstance(b, np.generic) else b for b in batches)
    model = hand_model(batches=batches, reference=batches[0] if reference else None)
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
    (lambda p: _rewrite_header(p, lambda h, a: h.update(version=2)),
     r"written by a newer quarnel \(format version 2; this one reads 1\)"),
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
