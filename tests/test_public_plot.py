"""Silhouette widths, principal components and the before/after figure."""

from __future__ import annotations

import numpy as np
import pytest

import quarnel


def clustered(separation, sizes=(10, 12, 1, 9), n_features=30, seed=0):
    rng = np.random.default_rng(seed)
    label = np.repeat(np.arange(len(sizes)), sizes)
    centres = rng.normal(0.0, separation, (len(sizes), n_features))
    return centres[label] + rng.normal(0.0, 1.0, (label.size, n_features)), label


@pytest.mark.parametrize("separation", [0.0, 0.5, 3.0], ids=["overlapping", "close", "apart"])
@pytest.mark.parametrize("n_components", [2, 10])
def test_batch_silhouette_matches_scikit_learn(separation, n_components):
    metrics = pytest.importorskip("sklearn.metrics")
    decomposition = pytest.importorskip("sklearn.decomposition")
    values, label = clustered(separation)
    scores = decomposition.PCA(n_components=n_components, svd_solver="full").fit_transform(values)
    expected = metrics.silhouette_score(scores, label)
    assert quarnel.batch_silhouette(values, label, n_components=n_components) == pytest.approx(expected, abs=1e-10)


def test_features_with_missing_values_are_left_out():
    values, label = clustered(2.0)
    holed = values.copy()
    holed[3, [4, 7]] = np.nan
    complete = np.delete(values, [4, 7], axis=1)
    assert quarnel.batch_silhouette(holed, label) == quarnel.batch_silhouette(complete, label)
    after = holed + 1.0
    scores = quarnel.correction_scores(holed, after, label)
    assert scores.n_features == 28
    assert scores.batch_before == pytest.approx(scores.batch_after)  # a shift changes no distance


def test_correction_scores_before_and_after_a_correction():
    values, label = clustered(0.0, sizes=(10, 12, 9))
    values += np.array([[-2.0], [0.0], [3.0]])[label]  # a pure batch shift on every feature
    group = np.arange(label.size) % 2
    values += 1.5 * group[:, None] * np.linspace(0, 1, values.shape[1])
    corrected = quarnel.combat(values, label, group.astype(np.float64))
    scores = quarnel.correction_scores(values, corrected, label, group)
    assert scores.batch_before > 0.4 and scores.batch_after < 0.05
    assert scores.group_after > scores.group_before
    assert str(scores).startswith(f"batch silhouette {scores.batch_before:.3f} before, {scores.batch_after:.3f} after; group")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        pytest.param(lambda v, l: quarnel.batch_silhouette(v, np.zeros(len(l))), "at least two distinct labels", id="one-label"),
        pytest.param(lambda v, l: quarnel.correction_scores(v, v[:, :5], l), "before has shape", id="shape-mismatch"),
        pytest.param(lambda v, l: quarnel.batch_silhouette(np.full_like(v, np.nan), l), "at least two features without missing values", id="all-missing"),
    ],
)
def test_scores_errors(call, message):
    values, label = clustered(1.0)
    with pytest.raises(ValueError, match=message):
        call(values, label)


@pytest.mark.parametrize("with_group", [False, True], ids=["batch-only", "batch-and-group"])
def test_plot_correction_draws_and_saves(tmp_path, with_group):
    pytest.importorskip("matplotlib")
    values, label = clustered(2.0, sizes=(10, 12, 9))
    values[3, :2] = np.nan  # two features the components cannot use
    batch = np.array(["run1", "run2", "run3"])[label]
    group = np.array(["a", "b"])[np.arange(label.size) % 2] if with_group else None
    corrected = quarnel.combat(values, batch)
    path = tmp_path / "pca.png"
    figure, scores = quarnel.plot_correction(values, corrected, batch, group, path=path, batch_name="lab", group_name="donor")
    axes = figure.get_axes()
    assert len([ax for ax in axes if ax.get_title()]) == (4 if with_group else 2)
    assert axes[0].get_title() == f"before correction, by lab: silhouette {scores.batch_before:.3f}"
    assert axes[1].get_title() == f"after correction, by lab: silhouette {scores.batch_after:.3f}"
    if with_group:
        assert axes[3].get_title() == f"after correction, by donor: silhouette {scores.group_after:.3f}"
    n = values.shape[1]
    assert figure._suptitle.get_text() == f"PCA of the {n - 2} of {n} features without a missing value"
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
