"""How much batch structure is left: principal components, silhouette widths, a figure.

The numbers need NumPy only; the figure needs matplotlib (``pip install 'quarnel[plot]'``).
"""

from __future__ import annotations

import math
import os
from collections.abc import Hashable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._files import replacing
from ._labels import encode_batch

__all__ = ["CorrectionScores", "batch_silhouette", "correction_scores", "plot_correction", "plot_priors"]

# Silhouette widths cost n² distances; beyond this many samples a fixed random subset
# (the same on every call) stands in for all of them.
MAX_SILHOUETTE_SAMPLES = 4000


@dataclass(frozen=True)
class CorrectionScores:
    """Mean silhouette widths on the leading principal components, before and after.

    A silhouette width near 1 means samples sit with their own batch (or group), near 0
    that batches overlap. A good correction lowers the batch width and keeps the group
    width. ``n_features`` is how many features (those without missing values) entered
    the principal components.
    """

    batch_before: float
    batch_after: float
    group_before: float | None
    group_after: float | None
    n_components: int
    n_features: int

    def __str__(self) -> str:
        text = f"batch silhouette {self.batch_before:.3f} before, {self.batch_after:.3f} after"
        if self.group_before is not None and self.group_after is not None:
            text += f"; group silhouette {self.group_before:.3f} before, {self.group_after:.3f} after"
        return text


def _matrix(values: Any) -> npt.NDArray[np.float64]:
    toarray = getattr(values, "toarray", None)
    if callable(toarray):
        values = toarray()
    matrix = np.asarray(values, dtype=np.float64)
    if matrix.ndim != 2:
        raise ValueError(f"expected a samples × features matrix, got {matrix.ndim} dimensions")
    return matrix


def _codes(labels: Sequence[Hashable] | npt.ArrayLike, n: int, what: str) -> npt.NDArray[np.int64]:
    coding = encode_batch(labels, n, list(range(n)))
    if len(coding.levels) < 2:
        raise ValueError(f"{what} needs at least two distinct labels")
    return coding.ids


def _pca(
    matrix: npt.NDArray[np.float64], n_components: int
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], float]:
    """Scores on the leading components, the share of variance each explains, and the
    unit of the scores.

    The matrix is first divided by a power of two that brings its largest magnitude to
    [0.5, 1): exact, and it keeps the squares below from overflowing for values beyond
    about 1e154 (or vanishing for tiny ones). The scores are left in that unit, which
    silhouette widths do not depend on; times ``unit`` they are in the data's own.
    """
    peak = float(np.max(np.abs(matrix))) if matrix.size else 0.0
    exponent = int(np.frexp(peak)[1]) if math.isfinite(peak) and peak > 0 else 0
    scaled = np.ldexp(matrix, -exponent)
    centred = scaled - scaled.mean(axis=0)
    u, s, _ = np.linalg.svd(centred, full_matrices=False)
    k = max(1, min(n_components, s.size))
    total = float(np.sum(s**2))
    share = s[:k] ** 2 / total if total > 0 else np.zeros(k)
    return u[:, :k] * s[:k], share, math.ldexp(1.0, exponent)


def _silhouette(points: npt.NDArray[np.float64], codes: npt.NDArray[np.int64]) -> float:
    n = points.shape[0]
    if n > MAX_SILHOUETTE_SAMPLES:
        pick = np.sort(np.random.default_rng(0).choice(n, MAX_SILHOUETTE_SAMPLES, replace=False))
        points, codes = points[pick], codes[pick]
        n = MAX_SILHOUETTE_SAMPLES
    norms = np.einsum("ij,ij->i", points, points)
    distance = np.sqrt(np.maximum(norms[:, None] + norms[None, :] - 2.0 * points @ points.T, 0.0))
    np.fill_diagonal(distance, 0.0)
    n_labels = int(codes.max()) + 1
    members = np.zeros((n, n_labels))
    members[np.arange(n), codes] = 1.0
    sizes = members.sum(axis=0)
    sums = distance @ members
    own_size = sizes[codes]
    with np.errstate(divide="ignore", invalid="ignore"):
        mean_to = sums / sizes
        a = sums[np.arange(n), codes] / (own_size - 1.0)
    mean_to[np.arange(n), codes] = np.inf
    mean_to[:, sizes == 0] = np.inf
    b = mean_to.min(axis=1)
    denominator = np.maximum(a, b)
    width = np.where(denominator > 0, (b - a) / np.where(denominator > 0, denominator, 1.0), 0.0)
    # A sample alone in its label has no cohesion to measure; by convention its width is 0.
    width[own_size == 1] = 0.0
    return float(width.mean())


def batch_silhouette(
    values: Any, batch: Sequence[Hashable] | npt.ArrayLike, *, n_components: int = 10
) -> float:
    """Mean silhouette width of the batches on the leading principal components.

    Parameters
    ----------
    values : array-like, samples × features
        Features with a missing value are left out.
    batch : sequence of hashable
        One label per sample.
    n_components : int, default 10
        Principal components that span the space the distances are measured in.

    Returns
    -------
    float
        Between −1 and 1; near 0 when the batches overlap.
    """
    matrix = _matrix(values)
    complete = ~np.isnan(matrix).any(axis=0)
    if complete.sum() < 2:
        raise ValueError("at least two features without missing values are needed")
    scores, _, _ = _pca(matrix[:, complete], n_components)
    return _silhouette(scores, _codes(batch, matrix.shape[0], "batch"))


def correction_scores(
    before: Any,
    after: Any,
    batch: Sequence[Hashable] | npt.ArrayLike,
    group: Sequence[Hashable] | npt.ArrayLike | None = None,
    *,
    n_components: int = 10,
) -> CorrectionScores:
    """Silhouette widths by batch (and by biological group) before and after correction.

    Both matrices use the same features: those without a missing value in either.
    """
    first, second = _matrix(before), _matrix(after)
    if first.shape != second.shape:
        raise ValueError(f"before has shape {first.shape} but after has {second.shape}")
    complete = ~(np.isnan(first).any(axis=0) | np.isnan(second).any(axis=0))
    if complete.sum() < 2:
        raise ValueError("at least two features without missing values are needed")
    n = first.shape[0]
    batch_codes = _codes(batch, n, "batch")
    group_codes = None if group is None else _codes(group, n, "group")
    widths: dict[str, float | None] = {}
    for name, matrix in (("before", first), ("after", second)):
        scores, _, _ = _pca(matrix[:, complete], n_components)
        widths[f"batch_{name}"] = _silhouette(scores, batch_codes)
        widths[f"group_{name}"] = None if group_codes is None else _silhouette(scores, group_codes)
    return CorrectionScores(
        batch_before=float(widths["batch_before"]),  # type: ignore[arg-type]
        batch_after=float(widths["batch_after"]),  # type: ignore[arg-type]
        group_before=widths["group_before"],
        group_after=widths["group_after"],
        n_components=n_components,
        n_features=int(complete.sum()),
    )


def plot_correction(
    before: Any,
    after: Any,
    batch: Sequence[Hashable] | npt.ArrayLike,
    group: Sequence[Hashable] | npt.ArrayLike | None = None,
    *,
    path: str | os.PathLike[str] | None = None,
    title: str | None = None,
    batch_name: str = "batch",
    group_name: str = "group",
    n_components: int = 10,
) -> tuple[Any, CorrectionScores]:
    """Draw the first two principal components before and after correction.

    The top row colours samples by batch; with ``group`` a second row colours them by
    biological group. Each panel's title carries its silhouette width.

    Parameters
    ----------
    before, after : array-like, samples × features
        The data before and after correction (for example ``quarnel.combat``'s input
        and output).
    batch, group : sequence of hashable
        One label per sample.
    path : path-like, optional
        Where to save the figure; the format follows the suffix (``.png``, ``.pdf``, ...).
    title : str, optional
        A title over the whole figure.
    batch_name, group_name : str
        What the panels and legends call the batch and the group (for example
        ``"lab"`` and ``"donor"``).
    n_components : int, default 10
        Components used for the silhouette widths.

    Returns
    -------
    figure : matplotlib.figure.Figure
    scores : CorrectionScores
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError(
            "plot_correction needs matplotlib; install it with pip install 'quarnel[plot]'"
        ) from err
    first, second = _matrix(before), _matrix(after)
    scores = correction_scores(first, second, batch, group, n_components=n_components)
    complete = ~(np.isnan(first).any(axis=0) | np.isnan(second).any(axis=0))
    n = first.shape[0]
    rows = [("batch", batch_name, encode_batch(batch, n, list(range(n))))]
    if group is not None:
        rows.append(("group", group_name, encode_batch(group, n, list(range(n)))))
    figure = Figure(figsize=(11, 4.6 * len(rows)), layout="constrained")
    axes = figure.subplots(len(rows), 2, squeeze=False)
    for col, (when, matrix) in enumerate((("before", first), ("after", second))):
        points, share, unit = _pca(matrix[:, complete], max(2, n_components))
        points = points * unit
        if points.shape[1] < 2:
            points = np.column_stack([points, np.zeros(n)])
            share = np.append(share, 0.0)
        for row, (what, name, coding) in enumerate(rows):
            ax = axes[row][col]
            palette = _palette(len(coding.levels))
            for level, label in enumerate(coding.levels):
                chosen = coding.ids == level
                ax.scatter(
                    points[chosen, 0], points[chosen, 1], s=22, color=palette[level],
                    label=str(label), edgecolors="white", linewidths=0.4,
                )
            width = getattr(scores, f"{what}_{when}")
            ax.set_title(f"{when} correction, by {name}: silhouette {width:.3f}")
            ax.set_xlabel(f"PC1 ({100 * share[0]:.1f} % of variance)")
            ax.set_ylabel(f"PC2 ({100 * share[1]:.1f} % of variance)")
            if col == 1 and len(coding.levels) <= 20:
                ax.legend(title=name, fontsize="small", loc="center left", bbox_to_anchor=(1.0, 0.5))
    # Principal components need every value: say how many features they rest on, since
    # features with a missing value (those missing from whole batches among them) are left
    # out of the picture though they were corrected.
    used = f"PCA of the {int(complete.sum())} of {complete.size} features without a missing value"
    figure.suptitle(f"{title}\n{used}" if title else used)
    if path is not None:
        with replacing(path) as temporary:  # the format follows the suffix it keeps
            figure.savefig(temporary, dpi=150)
    return figure, scores


def _palette(n: int) -> list[Any]:
    from matplotlib import colormaps

    cmap = colormaps["tab10" if n <= 10 else "tab20"]
    return [cmap(i % cmap.N) for i in range(n)]


def _normal_density(x: npt.NDArray[np.float64], mean: float, variance: float) -> npt.NDArray[np.float64]:
    return np.exp(-0.5 * (x - mean) ** 2 / variance) / np.sqrt(2.0 * np.pi * variance)


def _inverse_gamma_density(x: npt.NDArray[np.float64], a: float, b: float) -> npt.NDArray[np.float64]:
    # b^a / Γ(a) · x^(−a−1) · e^(−b/x), in logs: the powers overflow for the large shapes
    # that features of very even spread give.
    return np.exp(a * math.log(b) - math.lgamma(a) - (a + 1.0) * np.log(x) - b / x)


def plot_priors(model: Any, path: str | os.PathLike[str] | None = None, *, bins: int = 30) -> Any:
    """Draw, per batch, the raw batch effects of a fitted model against their priors.

    The left column shows the histogram of the location effects (gamma_hat) with the
    normal prior N(gamma_bar, tau2), the right one the scale effects (delta_hat) with the
    inverse-gamma prior (a_prior, b_prior). The priors are what the effects are shrunk
    towards, so a prior far from its histogram means a poor fit. Only features corrected
    as one problem are drawn (those missing from whole batches did not form the priors);
    the reference batch, whose effects are fixed, is left out. Panels without a prior
    (non-parametric priors, scales when only locations were corrected) show the
    histogram alone.

    Parameters
    ----------
    model : CombatModel
    path : path-like, optional
        Where to save the figure; the format follows the suffix.
    bins : int, default 30

    Returns
    -------
    matplotlib.figure.Figure
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as err:
        raise ImportError(
            "plot_priors needs matplotlib; install it with pip install 'quarnel[plot]'"
        ) from err
    arrays = model.arrays()
    partial = set(model.report.partial_features)
    complete = np.array([model.features[f] not in partial for f in arrays["features"]], dtype=bool)
    levels = [i for i, b in enumerate(model.batches) if b != model.reference]
    figure = Figure(figsize=(10, 2.8 * len(levels)), layout="constrained")
    axes = figure.subplots(len(levels), 2, squeeze=False)
    for row, level in enumerate(levels):
        name = model.batches[level]
        for col, (what, effect) in enumerate((("location", "gamma_hat"), ("scale", "delta_hat"))):
            ax = axes[row][col]
            values = arrays[effect][level][complete]
            values = values[np.isfinite(values)]
            if what == "scale":
                values = values[values > 0]
            ax.set_title(f"batch {name}: {what} effects ({effect})")
            if not values.size:
                ax.text(0.5, 0.5, "no effects estimated", ha="center", va="center", transform=ax.transAxes)
                continue
            ax.hist(values, bins=bins, density=True, color="0.75", edgecolor="white", label=effect)
            low, high = float(values.min()), float(values.max())
            pad = 0.1 * (high - low) if high > low else 0.5 * max(abs(low), 1e-3)
            grid = np.linspace(low - pad, high + pad, 400)
            if what == "location":
                mean, variance = float(arrays["gamma_bar"][level]), float(arrays["tau2"][level])
                if np.isfinite(mean) and np.isfinite(variance) and variance > 0:
                    ax.plot(grid, _normal_density(grid, mean, variance), color="C0",
                            label=f"N({mean:.3g}, {variance:.3g})")
            else:
                a, b = float(arrays["a_prior"][level]), float(arrays["b_prior"][level])
                grid = grid[grid > 0]
                if np.isfinite(a) and np.isfinite(b) and a > 0 and b > 0 and grid.size:
                    ax.plot(grid, _inverse_gamma_density(grid, a, b), color="C3",
                            label=f"inverse gamma({a:.3g}, {b:.3g})")
            ax.legend(fontsize="small")
    figure.suptitle("raw batch effects and their fitted priors")
    if path is not None:
        with replacing(path) as temporary:  # the format follows the suffix it keeps
            figure.savefig(temporary, dpi=150)
    return figure
