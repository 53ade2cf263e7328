"""Finding the features that ``_quarnel.combat`` cannot estimate.

The compiled correction treats the matrix as one problem: a single feature whose batch
effects cannot be estimated makes the whole call fail. Real proteomics tables hold
hundreds of such features (a protein not seen at all by one lab), so the public
function finds them first, corrects the others and passes these through unchanged.

Only features with a missing value can be unestimable on their own: a complete feature
sees the same design as the whole matrix, whose problems concern every feature alike
and are left for ``_quarnel.combat`` to report. Features that ``_quarnel.combat``
passes through itself (a batch of two or more samples holding one value and no NaN) are
left to it as well. For any other feature with missing values the rules are, in the
order in which a reason is given:

``no_values``
    A batch holds no observed value. Its location cannot be estimated, and the
    per-feature least-squares fit is singular. Every mode.
``reference_values``
    With a reference batch of two or more samples: fewer than two observed values in
    it. The pooled variance is estimated from the reference batch alone. Every mode.
``few_values``
    Fewer than two observed values in some batch, when scale effects are estimated:
    neither ``mean_only`` nor a batch of a single sample (either switches scale
    estimation off).
``constant``
    Two or more observed values in a batch, all equal, beside a missing value. Without
    the missing value ``_quarnel.combat`` would pass the feature through as constant
    within a batch; with it, the within-batch variance is zero and scale estimation
    fails. Passing it through in every mode keeps a missing value from deciding whether
    a constant feature is corrected.
``design``
    With covariates: the design restricted to the observed samples has lower rank than
    the design of all samples (for example a condition that is never observed), so the
    covariate effects cannot be separated from the batch effects.
``no_residual``
    The observed values are no more than the design columns they determine (without
    covariates: one observed value per batch), which leaves nothing to estimate the
    residual variance from.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["KINDS", "SUMMARY", "Unestimable", "find_unestimable", "kind_of"]

# Reason kinds, in order of precedence, and how each reads in a report.
KINDS: dict[str, str] = {
    "no_values": "no observed value in batch {batch!r}",
    "reference_values": "fewer than two observed values in reference batch {batch!r}",
    "few_values": "fewer than two observed values in batch {batch!r}",
    "constant": "observed values all equal in batch {batch!r}",
    "design": "covariate effects cannot be estimated from the observed samples",
    "no_residual": "too few observed values to estimate the residual variance",
}
# The same kinds in a count: "12 with no observed value in some batch".
SUMMARY: dict[str, str] = {
    "no_values": "with no observed value in some batch",
    "reference_values": "with fewer than two observed values in the reference batch",
    "few_values": "with fewer than two observed values in some batch",
    "constant": "with all observed values equal in some batch",
    "design": "whose covariate effects cannot be estimated",
    "no_residual": "with too few observed values for the residual variance",
}
_CODE = {kind: code for code, kind in enumerate(KINDS, start=1)}
_KIND_OF = {code: kind for kind, code in _CODE.items()}

# Relative eigenvalue threshold of the column-scaled Gram matrix below which a design
# direction counts as not identified (a condition number of the design beyond 1e5).
_RANK_TOLERANCE = 1e-10


def kind_of(reason: str) -> str:
    """The kind of a rendered reason."""
    for kind, template in KINDS.items():
        if reason.startswith(template.split("{")[0]):
            return kind
    raise KeyError(reason)


@dataclass(frozen=True)
class Unestimable:
    """Feature indices (ascending), the kind of each, and the batch level it concerns
    (−1 when the reason concerns no single batch)."""

    features: npt.NDArray[np.intp]
    kinds: tuple[str, ...]
    levels: npt.NDArray[np.intp]

    def __len__(self) -> int:
        return int(self.features.size)


def _design(ids: npt.NDArray[np.int64], n_levels: int, mod: npt.NDArray[np.float64] | None):
    design = np.eye(n_levels)[ids]
    if mod is not None:
        # Columns of exactly 1.0 are intercepts, which the correction leaves out.
        kept = [c for c in range(mod.shape[1]) if not np.all(mod[:, c] == 1.0)]
        design = np.hstack([design, mod[:, kept]])
    norms = np.linalg.norm(design, axis=0)
    norms[norms == 0.0] = 1.0
    return design / norms


def _ranks(grams: npt.NDArray[np.float64]) -> npt.NDArray[np.intp]:
    eig = np.linalg.eigvalsh(grams)
    top = eig[..., -1:]
    return np.sum(eig > np.maximum(top, 0.0) * _RANK_TOLERANCE, axis=-1) * (top[..., 0] > 0.0)


def find_unestimable(
    values: npt.NDArray[np.float64],
    ids: npt.NDArray[np.int64],
    n_levels: int,
    mod: npt.NDArray[np.float64] | None,
    *,
    scale_estimated: bool,
    reference_level: int | None,
) -> Unestimable:
    """Apply the rules of this module to ``values`` (samples × features)."""
    observed = ~np.isnan(values)
    candidates = np.flatnonzero(~observed.all(axis=0))
    if candidates.size == 0:
        return Unestimable(np.empty(0, np.intp), (), np.empty(0, np.intp))
    sub = values[:, candidates]
    sub_observed = observed[:, candidates]
    sizes = np.bincount(ids, minlength=n_levels)
    counts = np.empty((n_levels, candidates.size), dtype=np.int64)
    constant = np.empty((n_levels, candidates.size), dtype=bool)
    core_constant = np.zeros(candidates.size, dtype=bool)
    for level in range(n_levels):
        rows = sub[ids == level]
        counts[level] = sub_observed[ids == level].sum(axis=0)
        # fmin/fmax skip NaN (and give NaN for an all-NaN column, which equals nothing).
        low = np.fmin.reduce(rows, axis=0)
        high = np.fmax.reduce(rows, axis=0)
        same = low == high
        constant[level] = (counts[level] >= 2) & (counts[level] < sizes[level]) & same
        core_constant |= (sizes[level] >= 2) & (counts[level] == sizes[level]) & same

    code = np.zeros(candidates.size, dtype=np.int8)
    # A batch with one value and no NaN is the correction's own zero-variance case: it
    # leaves such a feature out before estimating anything, so none of the rules apply.
    code[core_constant] = -1
    level_of = np.full(candidates.size, -1, dtype=np.intp)

    def mark(kind: str, hit: Any, level: npt.NDArray[np.intp] | int) -> None:
        new = hit & (code == 0)
        code[new] = _CODE[kind]
        level_of[new] = level[new] if isinstance(level, np.ndarray) else level

    zero = counts == 0
    mark("no_values", zero.any(axis=0), np.argmax(zero, axis=0))
    if reference_level is not None and sizes[reference_level] >= 2:
        mark("reference_values", counts[reference_level] < 2, reference_level)
    if scale_estimated:
        few = counts < 2
        mark("few_values", few.any(axis=0), np.argmax(few, axis=0))
    mark("constant", constant.any(axis=0), np.argmax(constant, axis=0))

    open_ = np.flatnonzero(code == 0)
    if open_.size:
        if mod is None:
            # Rank of the batch design over the observed samples is the number of
            # batches, all of which hold a value here.
            mark_residual = np.zeros(candidates.size, dtype=bool)
            mark_residual[open_] = counts[:, open_].sum(axis=0) <= n_levels
            mark("no_residual", mark_residual, -1)
        else:
            design = _design(ids, n_levels, mod)
            p = design.shape[1]
            outer = (design[:, :, None] * design[:, None, :]).reshape(len(ids), p * p)
            grams = (sub_observed[:, open_].T.astype(np.float64) @ outer).reshape(-1, p, p)
            full_rank = int(_ranks(design.T @ design))
            ranks = _ranks(grams)
            rank_short = np.zeros(candidates.size, dtype=bool)
            rank_short[open_] = ranks < full_rank
            mark("design", rank_short, -1)
            no_residual = np.zeros(candidates.size, dtype=bool)
            no_residual[open_] = counts[:, open_].sum(axis=0) <= ranks
            mark("no_residual", no_residual, -1)

    flagged = np.flatnonzero(code > 0)
    return Unestimable(
        candidates[flagged],
        tuple(_KIND_OF[int(c)] for c in code[flagged]),
        level_of[flagged],
    )
