"""The count correction: containers and labels around ``_engine.combat_counts``."""

from __future__ import annotations

import math
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import numpy.typing as npt

from ._combat import (
    MAX_DENSE_BYTES, DataT, _Unpacked, _align, _batch_labels, _column, _core_call,
    _covariate_columns, _engine, _is_anndata, _is_series, _repack, _unpack, reference_level_of,
)
from ._dask import is_dask_array
from ._labels import BatchCoding, encode_covariates
from ._progress import ProgressBar, interactive
from ._report import _plain

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["CountsReport", "combat_counts"]

# The largest count float64 holds exactly; the core reads counts as float64.
_LARGEST_COUNT = 2.0**53

# The engine's per-gene outcome codes other than 0, corrected.
_NO_READS, _NOT_CONVERGED = 1, 2


@dataclass(frozen=True)
class CountsReport:
    """What a call of :func:`quarnel.combat_counts` did.

    Attributes
    ----------
    batches, batch_sizes, reference, covariates
        As in :class:`CombatReport`.
    n_samples, n_genes
        Shape of the data.
    corrected_genes
        The genes fitted and corrected.
    passed_through
        Genes returned unchanged, with the reason for each: no read in some batch (its
        batch coefficient would be minus infinity) or a fit that did not converge.
    dispersions
        Per batch, a summary of its fitted dispersions over the corrected genes:
        ``min``, ``q25``, ``median``, ``q75``, ``max``.
    tail_kept
        Per gene (only those with any), the counts left as they were because their tail
        probability under their batch's law is below what double precision resolves.
    parameters
        The fitted model, as arrays over all genes (NaN for genes passed through):
        ``coefficients`` (one row per batch, theta, then one per encoded covariate column,
        beta), ``dispersion`` and ``adjusted_profile`` (one row per batch: phi and the
        Cox-Reid adjusted profile log-likelihood at the fit), ``log_likelihood`` (per
        gene) and ``offset`` (per sample, o_j). Not part of :meth:`to_dict`.
    """

    batches: tuple[Hashable, ...]
    batch_sizes: tuple[int, ...]
    reference: Hashable | None
    covariates: tuple[str, ...]
    n_samples: int
    n_genes: int
    corrected_genes: tuple[Hashable, ...]
    passed_through: dict[Hashable, str] = field(default_factory=dict)
    dispersions: dict[Hashable, dict[str, float]] = field(default_factory=dict)
    tail_kept: dict[Hashable, int] = field(default_factory=dict)
    parameters: dict[str, npt.NDArray[np.float64]] = field(default_factory=dict, repr=False, compare=False)

    @property
    def n_tail_kept(self) -> int:
        return sum(self.tail_kept.values())

    def to_dict(self) -> dict[str, Any]:
        """Plain Python values, for JSON and AnnData's ``.uns``."""
        return {
            "method": "combat_counts",
            "batches": [_plain(b) for b in self.batches],
            "batch_sizes": list(self.batch_sizes),
            "reference": None if self.reference is None else _plain(self.reference),
            "covariates": list(self.covariates),
            "n_samples": self.n_samples,
            "n_genes": self.n_genes,
            "corrected_genes": [_plain(g) for g in self.corrected_genes],
            "passed_through": {str(_plain(g)): r for g, r in self.passed_through.items()},
            "dispersions": {str(_plain(b)): dict(s) for b, s in self.dispersions.items()},
            "tail_kept": {str(_plain(g)): n for g, n in self.tail_kept.items()},
        }

    def summary(self) -> str:
        lines = [
            f"negative-binomial count correction of {self.n_samples} samples x {self.n_genes} "
            f"genes in {len(self.batches)} batches"
            + (f" (reference {self.reference!r})" if self.reference is not None else ""),
            f"corrected: {len(self.corrected_genes)} genes; passed through: "
            f"{len(self.passed_through)}",
        ]
        for batch, s in self.dispersions.items():
            lines.append(
                f"  batch {batch!r}: dispersion median {s['median']:.3g} "
                f"(quartiles {s['q25']:.3g} to {s['q75']:.3g})"
            )
        if self.tail_kept:
            lines.append(
                f"{self.n_tail_kept} counts in {len(self.tail_kept)} genes kept as they were: "
                "their tail probability is below what double precision resolves"
            )
        return "\n".join(lines)


def log_cpm(counts: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """log2(counts per million + 1) of a samples x genes matrix: how counts are compared
    and drawn before and after their correction."""
    values = np.asarray(counts, dtype=np.float64)
    library = values.sum(axis=1, keepdims=True)
    return np.log2(values / np.where(library > 0, library, 1.0) * 1e6 + 1.0)


def _count_values(unpacked: _Unpacked) -> npt.NDArray[np.float64]:
    """The matrix as float64 counts, refusing anything that is not a non-negative
    integer (naming the first such value by its sample and gene)."""
    values = unpacked.values
    ok = np.isfinite(values) & (values >= 0) & (values <= _LARGEST_COUNT)
    ok &= np.floor(np.where(ok, values, 0.0)) == np.where(ok, values, 0.0)
    if ok.all():
        return values
    i, j = np.unravel_index(int(np.flatnonzero(~ok.ravel())[0]), values.shape)
    value = values[i, j]
    where = f"sample {unpacked.sample_labels[i]!r}, gene {unpacked.feature_labels[j]!r}"
    if math.isnan(value):
        raise ValueError(f"counts hold a missing value (NaN) at {where}; the count model has none")
    if math.isinf(value):
        raise ValueError(f"counts hold an infinite value at {where}")
    raise ValueError(
        f"counts must be non-negative integers (up to 2**53): {where} holds {float(value)!r}; "
        "pass raw read counts, not normalised or log values"
    )


def _single_sample_batches(coding: BatchCoding) -> None:
    singles = [coding.levels[b] for b in np.flatnonzero(coding.sizes < 2)]
    if singles:
        names = ", ".join(repr(b) for b in singles)
        raise ValueError(
            f"batch {names} holds a single sample, so its dispersion cannot be estimated; "
            "drop it or merge it into another batch"
            if len(singles) == 1 else
            f"batches {names} hold a single sample each, so their dispersions cannot be "
            "estimated; drop them or merge them into other batches"
        )


def _library_sizes(library_size: object, unpacked: _Unpacked) -> npt.NDArray[np.float64] | None:
    if library_size is None:
        return None
    n = unpacked.values.shape[0]
    if isinstance(library_size, str):
        library_size = _column(library_size, unpacked.table, "library_size")
    elif _is_series(library_size):
        library_size = _align(library_size, unpacked.index, n, "library_size")
    sizes = np.ascontiguousarray(np.asarray(library_size, dtype=np.float64))
    if sizes.shape != (n,):
        raise ValueError(f"library_size must have one value per sample ({n}), got shape {sizes.shape}")
    bad = np.flatnonzero(~(np.isfinite(sizes) & (sizes > 0)))
    if bad.size:
        raise ValueError(
            f"library_size of sample {unpacked.sample_labels[bad[0]]!r} is {float(sizes[bad[0]])!r}; "
            "library sizes must be positive and finite"
        )
    return sizes


def _dispersion_summary(dispersion: npt.NDArray[np.float64]) -> dict[str, float]:
    if dispersion.size == 0:
        return {k: math.nan for k in ("min", "q25", "median", "q75", "max")}
    q = np.quantile(dispersion, [0.0, 0.25, 0.5, 0.75, 1.0])
    return dict(zip(("min", "q25", "median", "q75", "max"), (float(x) for x in q)))


def _report(
    result: Mapping[str, Any], unpacked: _Unpacked, coding: BatchCoding, covariates: tuple[str, ...],
    reference: Hashable | None,
) -> CountsReport:
    genes = unpacked.feature_labels
    outcome = result["outcome"]
    corrected = np.flatnonzero(outcome == 0)
    passed: dict[Hashable, str] = {}
    for g in np.flatnonzero(outcome != 0).tolist():
        if outcome[g] == _NO_READS:
            passed[genes[g]] = f"no read in batch {coding.levels[int(result['outcome_batch'][g])]!r}"
        elif outcome[g] == _NOT_CONVERGED:
            passed[genes[g]] = "the fit did not converge"
    dispersion = result["dispersion"][:, corrected]
    tail = result["tail_kept"]
    return CountsReport(
        batches=coding.levels,
        batch_sizes=tuple(int(s) for s in coding.sizes),
        reference=reference,
        covariates=covariates,
        n_samples=unpacked.values.shape[0],
        n_genes=unpacked.values.shape[1],
        corrected_genes=tuple(genes[g] for g in corrected.tolist()),
        passed_through=passed,
        dispersions={b: _dispersion_summary(dispersion[level]) for level, b in enumerate(coding.levels)},
        tail_kept={genes[g]: int(tail[g]) for g in np.flatnonzero(tail).tolist()},
        parameters={k: result[k] for k in ("coefficients", "dispersion", "adjusted_profile", "log_likelihood", "offset")},
    )


def correct_counts(
    unpacked: _Unpacked, batch: object, covariates: object, *, reference: Hashable | None,
    library_size: object, progress: bool,
) -> tuple[npt.NDArray[np.int64], CountsReport]:
    """The count correction proper, on data already taken out of its container."""
    values = _count_values(unpacked)
    coding = _batch_labels(batch, unpacked)
    encoded = encode_covariates(
        _covariate_columns(covariates, unpacked), values.shape[0], unpacked.sample_labels
    )
    if len(coding.levels) < 2:
        raise ValueError("at least two batches are required")
    _single_sample_batches(coding)
    reference_level = reference_level_of(coding, reference)
    sizes = _library_sizes(library_size, unpacked)
    bar = ProgressBar() if progress else None
    try:
        result = _core_call(
            _engine.combat_counts, coding, encoded, np.ascontiguousarray(values), coding.ids,
            encoded.matrix, ref_batch=reference_level, library_size=sizes, progress=bar,
        )
    finally:
        if bar is not None:
            bar.close()
    report = _report(result, unpacked, coding, encoded.names, reference)
    return result["corrected"], report


@overload
def combat_counts(
    counts: DataT, batch: str | Sequence[Hashable] | npt.ArrayLike, covariates: object = ..., *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = ..., reference: Hashable | None = ...,
    library_size: str | npt.ArrayLike | None = ..., layer: str | None = ..., out_layer: str | None = ...,
    max_dense_bytes: float = ..., return_report: Literal[False] = ..., progress: bool | None = ...,
) -> DataT: ...
@overload
def combat_counts(
    counts: DataT, batch: str | Sequence[Hashable] | npt.ArrayLike, covariates: object = ..., *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = ..., reference: Hashable | None = ...,
    library_size: str | npt.ArrayLike | None = ..., layer: str | None = ..., out_layer: str | None = ...,
    max_dense_bytes: float = ..., return_report: Literal[True], progress: bool | None = ...,
) -> tuple[DataT, CountsReport]: ...
def combat_counts(
    counts: Any,
    batch: str | Sequence[Hashable] | npt.ArrayLike,
    covariates: object = None,
    *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = None,
    reference: Hashable | None = None,
    library_size: str | npt.ArrayLike | None = None,
    layer: str | None = None,
    out_layer: str | None = None,
    max_dense_bytes: float = MAX_DENSE_BYTES,
    return_report: bool = False,
    progress: bool | None = None,
) -> Any:
    """Remove batch effects from raw read counts with a negative-binomial model, returning
    integer counts.

    Every gene is fitted alone: y_gj ~ NB(mu_gj, phi_gb) with
    log mu_gj = o_j + theta_gb + x_j^T beta_g, one coefficient and one dispersion per
    batch, the covariates' effects beta_g kept, and o_j the sample's log library size less
    the mean of them. Each count is then moved to the same mid-distribution place of the
    gene's batch-free law (the batches' coefficients and dispersions averaged with weights
    n_b / n, or the reference batch's), computed in the smaller tail.

    Parameters
    ----------
    counts : numpy.ndarray, pandas.DataFrame, anndata.AnnData or scipy.sparse matrix
        Samples in rows, genes in columns: non-negative integers (any integer dtype, or
        floats holding integers). AnnData reads ``.X`` or ``layer`` (e.g. ``"counts"``);
        a sparse matrix is made dense, with a :class:`SparseInputWarning`, up to
        ``max_dense_bytes``.
    batch, covariates, samples, layer, out_layer, max_dense_bytes, progress
        As for :func:`quarnel.combat`.
    reference : hashable, optional
        A batch label: the batch-free law is that batch's, and its samples come back
        unchanged.
    library_size : str or array-like, optional
        Each sample's library size N_j (positive), or the name of a sample-table column;
        by default each sample's total count over the genes given.
    return_report : bool, default False
        Also return a :class:`CountsReport`.

    Returns
    -------
    corrected : same kind of container as ``counts``, int64
    report : CountsReport
        Only with ``return_report=True``.

    Raises
    ------
    ValueError
        Values that are not non-negative integers (NaN and infinities included), fewer
        than two batches, a batch of a single sample, an unknown reference, library
        sizes that are not positive, covariates confounded with the batches.
    """
    if out_layer is not None and not _is_anndata(counts):
        raise TypeError("out_layer= applies to AnnData input only")
    unpacked = _unpack(counts, samples, layer, False, max_dense_bytes)
    if is_dask_array(unpacked.values):
        raise TypeError("combat_counts corrects in-memory counts; call .compute() on the Dask array first")
    corrected, report = correct_counts(
        unpacked, batch, covariates, reference=reference, library_size=library_size,
        progress=interactive() if progress is None else progress,
    )
    out = _repack(counts, unpacked, corrected, report, layer, out_layer)
    return (out, report) if return_report else out
