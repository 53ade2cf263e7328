"""The public correction: containers and labels around ``_quarnel.combat``."""

from __future__ import annotations

import contextlib
import sys
import warnings
from collections import Counter
from collections.abc import Hashable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, TypeVar, overload

import numpy as np
import numpy.typing as npt

from ._labels import BatchCoding, Covariates, encode_batch, encode_covariates
from ._progress import ProgressBar, interactive
from ._report import CombatReport
from ._estimability import CONSTANT, ESTIMABLE, LEVEL_FITTED, NO_VALUES, count_words, kind, reason
from ._dask import (
    apply_lazily, dense_chunks, feature_chunks, fit_chunks, is_dask_array, joined_fit, judge_chunks,
)

try:
    from . import _engine
except ImportError as err:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quarnel cannot load its compiled extension module quarnel._engine: "
        f"{err}. It is built when the package is installed; reinstall quarnel with "
        "'pip install .' from a source checkout (a C++23 compiler such as g++ 12 is "
        "needed), and do not run Python from inside the source tree's python/ folder."
    ) from err

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["SingletonBatchWarning", "SparseInputWarning", "UnestimableFeatureWarning", "combat"]

DataT = TypeVar("DataT")

# Key of the report in AnnData's .uns.
UNS_KEY = "quarnel"

# Sparse input is made dense up to this size (float64 bytes). The correction changes
# every value, so it needs the dense matrix, and a call holds about three times it at
# its peak (the dense copy, a working copy and the result); beyond this a forgotten
# sparse matrix of a million cells would take the machine down instead of failing.
MAX_DENSE_BYTES = 16 * 2**30


class UnestimableFeatureWarning(UserWarning):
    """Some features could not be estimated and were passed through unchanged."""


class SingletonBatchWarning(UserWarning):
    """A batch holds a single sample, so no batch's scale was corrected."""


class SparseInputWarning(UserWarning):
    """A sparse matrix was made dense to be corrected."""


@dataclass(frozen=True)
class _Unpacked:
    kind: Literal["array", "frame", "anndata"]
    values: npt.NDArray[np.float64]
    sample_labels: list[Hashable]
    feature_labels: list[Hashable]
    index: Any  # the pandas index that sample-table columns are aligned to, or None
    table: Any  # the sample table: a DataFrame, a mapping of columns, or None
    allow_extra: bool = False  # labelled objects may hold rows for samples not in the data


def _module(name: str) -> Any:
    # Containers are recognised without importing their libraries: an AnnData object
    # cannot exist unless anndata has been imported already.
    return sys.modules.get(name)


def _is_frame(obj: object) -> bool:
    pd = _module("pandas")
    return pd is not None and isinstance(obj, pd.DataFrame)


def _is_series(obj: object) -> bool:
    pd = _module("pandas")
    return pd is not None and isinstance(obj, pd.Series)


def _is_anndata(obj: object) -> bool:
    ad = _module("anndata")
    return ad is not None and isinstance(obj, ad.AnnData)


def size_text(n_bytes: float) -> str:
    """A byte count as people read it: '512 MiB', '24.0 GiB'."""
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if n_bytes >= scale:
            return f"{n_bytes / scale:.1f} {unit}"
    return f"{int(n_bytes)} bytes"


def dense(
    matrix: Any, max_dense_bytes: float, *, limit_name: str = "max_dense_bytes", stacklevel: int = 2
) -> npt.NDArray[np.float64]:
    """The matrix as a C-contiguous float64 array; sparse input within the size limit
    is made dense with a warning that says how large it became."""
    toarray = getattr(matrix, "toarray", None)
    if not callable(toarray):
        return np.ascontiguousarray(np.asarray(matrix, dtype=np.float64))
    shape = tuple(int(n) for n in matrix.shape)
    n_bytes = 8 * shape[0] * shape[1] if len(shape) == 2 else 0
    what = f"the sparse matrix ({shape[0]} × {shape[1]})" if len(shape) == 2 else "the sparse matrix"
    if n_bytes > max_dense_bytes:
        raise ValueError(
            f"{what} would take {size_text(n_bytes)} as a dense float64 matrix, more than "
            f"the limit of {size_text(max_dense_bytes)} ({limit_name}); the correction "
            "changes every value, so it needs the dense matrix and holds about three "
            f"times that at its peak. Raise {limit_name} if the memory is there, or "
            "correct fewer features (for example the highly variable ones)"
        )
    try:
        array = np.ascontiguousarray(np.asarray(toarray(), dtype=np.float64))
    except MemoryError:
        raise MemoryError(
            f"{what} cannot be made dense: {size_text(n_bytes)} of float64 cannot be allocated"
        ) from None
    warnings.warn(
        f"{what} was made dense for the correction: {size_text(n_bytes)} of float64. "
        "The correction changes every value, so the result is dense too",
        SparseInputWarning,
        stacklevel=stacklevel + 1,
    )
    return array


def _matrix(matrix: Any, max_dense_bytes: float) -> Any:
    """The data matrix: a Dask array stays lazy, split along features only; anything
    else becomes a dense NumPy array."""
    if is_dask_array(matrix):
        if callable(getattr(matrix._meta, "toarray", None)):
            n_samples, n_features = matrix.shape
            warnings.warn(
                f"the Dask array's chunks are sparse ({type(matrix._meta).__name__}); each "
                "chunk is made dense for its correction, which changes every value, so the "
                f"result is a dense Dask array: {size_text(8 * n_samples * n_features)} of "
                "float64 in all",
                SparseInputWarning,
                stacklevel=4,
            )
            matrix = dense_chunks(matrix)
        return feature_chunks(matrix, stacklevel=4)
    return dense(matrix, max_dense_bytes, stacklevel=4)


def _obs_frame(obs: Any) -> Any:
    """AnnData's sample table as a DataFrame: read lazily from disk (anndata's read_lazy)
    it is an xarray-backed table whose columns hold arrays rather than labels, and it is
    small, one row per sample."""
    to_memory = getattr(obs, "to_memory", None)
    return to_memory() if callable(to_memory) else obs


def _unpack(
    data: Any, samples: object, layer: str | None, allow_extra: bool = False,
    max_dense_bytes: float = MAX_DENSE_BYTES,
) -> _Unpacked:
    if _is_anndata(data):
        if samples is not None:
            raise TypeError("samples= is for arrays and DataFrames; AnnData brings its own .obs")
        if layer is None:
            if data.X is None:
                raise ValueError("the AnnData object has no .X; name a layer with layer=")
            matrix = data.X
        elif layer in data.layers:
            matrix = data.layers[layer]
        else:
            raise ValueError(f"layer {layer!r} not found; the layers are {list(data.layers)}")
        return _Unpacked(
            "anndata", _matrix(matrix, max_dense_bytes), list(data.obs_names),
            list(data.var_names), data.obs_names, _obs_frame(data.obs), allow_extra,
        )
    if layer is not None:
        raise TypeError("layer= applies to AnnData input only")
    if _is_frame(data):
        pd = _module("pandas")
        bad = [c for c, t in data.dtypes.items() if not pd.api.types.is_numeric_dtype(t)]
        if bad:
            raise ValueError(
                f"data has non-numeric columns {bad[:5]}; pass the measurements only "
                "(samples in rows, features in columns) and the sample annotations as "
                "samples="
            )
        values = np.ascontiguousarray(data.to_numpy(dtype=np.float64, na_value=np.nan))
        return _Unpacked(
            "frame", values, data.index.tolist(), data.columns.tolist(), data.index,
            _align_table(samples, data.index, len(data.index), allow_extra), allow_extra,
        )
    values = _matrix(data, max_dense_bytes)
    if values.ndim != 2:
        raise ValueError(
            f"data must be two-dimensional (samples × features), got {values.ndim} dimensions"
        )
    return _Unpacked(
        "array", values, list(range(values.shape[0])), list(range(values.shape[1])), None,
        _align_table(samples, None, values.shape[0]), allow_extra,
    )


def _repeated(index: Any) -> str:
    labels = list(dict.fromkeys(index[index.duplicated()].tolist()))
    shown = ", ".join(repr(x) for x in labels[:5])
    return shown + (f" and {len(labels) - 5} more" if len(labels) > 5 else "")


def _align(obj: Any, index: Any, n_samples: int, what: str, allow_extra: bool = False) -> Any:
    """A pandas Series or DataFrame put in the order of the data's samples.

    Objects with an index are matched by label when the data has sample labels, as
    pandas users expect; everything else is taken in the order given.
    """
    if index is None or not (_is_series(obj) or _is_frame(obj)):
        if len(obj) != n_samples:
            raise ValueError(f"{what} has {len(obj)} rows for {n_samples} samples")
        return obj
    if obj.index.equals(index):
        return obj
    # Matching by label is only sound when each label names one sample on either side:
    # a repeated sample label would take the first matching row for every sample of
    # that name and silently ignore the others.
    if not index.is_unique:
        raise ValueError(
            f"the data's sample labels are not unique ({_repeated(index)} appear more than "
            f"once), so {what} cannot be matched to them by its index; make the labels "
            "unique (AnnData: obs_names_make_unique()) or pass values in sample order"
        )
    if not obj.index.is_unique:
        raise ValueError(f"{what} has duplicated index labels: {_repeated(obj.index)}")
    missing = index.difference(obj.index)
    if len(missing):
        raise ValueError(
            f"{what} has no row for {len(missing)} of the samples (for example "
            f"{missing[0]!r}); it is matched to the data by its index"
        )
    extra = obj.index.difference(index)
    if len(extra) and not allow_extra:
        raise ValueError(
            f"{what} has rows for {len(extra)} labels that are not samples of the data "
            f"(for example {extra[0]!r}); it is matched to the data by its index, and "
            "allow_extra_samples=True ignores such rows"
        )
    return obj.loc[index]


def _align_table(samples: object, index: Any, n_samples: int, allow_extra: bool = False) -> Any:
    if samples is None:
        return None
    if _is_frame(samples):
        return _align(samples, index, n_samples, "the sample table", allow_extra)
    if isinstance(samples, Mapping):
        for name, column in samples.items():
            if len(column) != n_samples:
                raise ValueError(
                    f"sample table column {name!r} has {len(column)} values for "
                    f"{n_samples} samples"
                )
        return samples
    raise TypeError("samples must be a pandas DataFrame or a mapping of column name to values")


def _column(name: str, table: Any, what: str) -> Any:
    if table is None:
        raise ValueError(
            f"{what} {name!r} names a column, but there is no sample table; pass "
            "samples=<DataFrame> (or use AnnData, whose .obs is the sample table), or "
            "give the values themselves"
        )
    columns = list(table.columns) if _is_frame(table) else list(table)
    if name not in columns:
        raise ValueError(f"unknown {what} column {name!r}; the sample table has {columns}")
    return table[name]


def _batch_labels(batch: object, unpacked: _Unpacked) -> BatchCoding:
    n = unpacked.values.shape[0]
    if isinstance(batch, str):
        batch = _column(batch, unpacked.table, "batch")
    elif _is_series(batch):
        batch = _align(batch, unpacked.index, n, "batch", unpacked.allow_extra)
    return encode_batch(batch, n, unpacked.sample_labels)


def _covariate_columns(covariates: object, unpacked: _Unpacked) -> list[tuple[str, object]]:
    n = unpacked.values.shape[0]
    if covariates is None:
        return []
    if isinstance(covariates, str):
        return [(covariates, _column(covariates, unpacked.table, "covariate"))]
    extra = unpacked.allow_extra
    if _is_frame(covariates):
        frame = _align(covariates, unpacked.index, n, "covariates", extra)
        return [(str(c), frame[c]) for c in frame.columns]
    if _is_series(covariates):
        series = _align(covariates, unpacked.index, n, "covariates", extra)
        return [(str(series.name) if series.name is not None else "covariate", series)]
    if isinstance(covariates, Mapping):
        return [(str(k), _align(v, unpacked.index, n, f"covariate {k!r}", extra)) for k, v in covariates.items()]
    if isinstance(covariates, (list, tuple)) and covariates and all(isinstance(c, str) for c in covariates):
        # A list of strings names columns, unless it has one entry per sample and some
        # entry is no column: then it is the values of one text covariate.
        table = unpacked.table
        columns = set() if table is None else set(table.columns if _is_frame(table) else table)
        if len(covariates) != n or all(c in columns for c in covariates):
            return [(c, _column(c, unpacked.table, "covariate")) for c in covariates]
    array = np.asarray(covariates)
    if array.ndim == 1:
        array = array.reshape(-1, 1)
    if array.ndim != 2 or array.shape[0] != n:
        raise ValueError(f"covariates must have one row per sample ({n}), got shape {array.shape}")
    return [(f"covariate{j}", array[:, j]) for j in range(array.shape[1])]


def _infinite_at(unpacked: _Unpacked, i: int, j: int) -> None:
    raise ValueError(
        f"data holds an infinite value at sample {unpacked.sample_labels[i]!r}, feature "
        f"{unpacked.feature_labels[j]!r}; mark missing values with NaN (a log of zero "
        "gives -inf: add a pseudocount first)"
    )


@contextlib.contextmanager
def infinities_named(unpacked: _Unpacked) -> Iterator[None]:
    """The core's error for an infinite value (the first in storage order, which it finds
    while it checks the request), worded with the sample's and the feature's labels."""
    try:
        yield
    except ValueError as err:
        if getattr(err, "kind", None) != "NonFiniteDenseValue":
            raise
        try:
            _infinite_at(unpacked, int(err.sample), int(err.feature))
        except ValueError as named:
            raise named from None


def _explain(err: BaseException, covariates: Covariates) -> str:
    """The core's message, with the encoded covariate columns it numbers named."""
    message = str(err)
    columns = getattr(err, "columns", ())
    names = covariates.names
    if getattr(err, "kind", None) != "InvalidDesign" or not columns:
        return message
    if len(columns) == 2:
        a, b = (names[c] for c in columns)
        return f"{message} ({a!r} and {b!r} are equal)"
    return f"{message} ({names[columns[0]]!r} is constant within every batch)"


@dataclass(frozen=True)
class _Verdicts:
    """The core's verdict on every feature: codes and the level each concerns (-1: none)."""

    codes: npt.NDArray[np.uint8]
    levels: npt.NDArray[np.int64]

    def unestimable(self) -> npt.NDArray[np.intp]:
        return np.flatnonzero((self.codes != ESTIMABLE) & (self.codes != CONSTANT))


def _describe(features: Sequence[int], verdicts: _Verdicts, unpacked: _Unpacked,
              levels: tuple[Hashable, ...], reference: int | None, limit: int) -> str:
    items = [
        f"{unpacked.feature_labels[f]!r} "
        f"({reason(int(verdicts.codes[f]), int(verdicts.levels[f]), levels, reference)})"
        for f in features[:limit]
    ]
    more = f" and {len(features) - limit} more" if len(features) > limit else ""
    return ", ".join(items) + more


def _features(n: int) -> str:
    return f"{n} feature" if n == 1 else f"{n} features"


def _counts(kinds: Mapping[Hashable, str]) -> str:
    """The features' kinds (label -> kind) counted in words."""
    return count_words(Counter(kinds.values()))


def _confounding(coding: BatchCoding, covariates: Covariates) -> str | None:
    """Which covariates make the design singular, and with which batches.

    The core has judged the design singular; this only names the columns involved: those
    with clearly non-zero entries in the directions in which the unit-norm design
    vanishes.
    """
    if covariates.matrix is None:
        return None
    design, kept = _unit_design(coding, covariates)
    _, singular, directions = np.linalg.svd(design)
    # Every direction the core's tolerance counts as vanishing, so that all the columns
    # of a many-sided confounding are named, not one arbitrary mix of them.
    null = directions[singular <= max(design.shape) * np.finfo(float).eps * singular[0]]
    if not len(null):
        null = directions[-1:]
    involved = (np.abs(null) > 1e-6).any(axis=0)
    n_levels = len(coding.levels)
    names = [covariates.names[kept[c]] for c in np.flatnonzero(involved[n_levels:])]
    batches = [coding.levels[b] for b in np.flatnonzero(involved[:n_levels])]
    if not names:
        return None
    which = f"covariate {names[0]!r} is" if len(names) == 1 else (
        "covariates " + ", ".join(repr(n) for n in names) + " together are"
    )
    if not batches:
        return (
            f"{which} linearly dependent: one is a combination of the others (singular "
            "design matrix); drop one of them"
        )
    where = "batch " + repr(batches[0]) if len(batches) == 1 else "batches " + ", ".join(repr(b) for b in batches)
    return (
        f"{which} confounded with {where}: a combination of them and the batch indicators "
        "vanishes, so their effects cannot be told apart from the batch effects (singular "
        "design matrix); drop or merge the covariates, or correct without them"
    )


def _unit_design(coding: BatchCoding, covariates: Covariates) -> tuple[npt.NDArray[np.float64], list[int]]:
    """The model's design with unit-norm columns (batch indicators, then the non-intercept
    covariates), and the covariate columns kept."""
    matrix = covariates.matrix
    assert matrix is not None
    kept = [c for c in range(matrix.shape[1]) if not np.all(matrix[:, c] == 1.0)]
    design = np.hstack([np.eye(len(coding.levels))[coding.ids], matrix[:, kept]])
    return design / np.linalg.norm(design, axis=0), kept


def _fitted_batch(coding: BatchCoding, covariates: Covariates, level: int) -> str | None:
    """The confounding error when the design, all samples observed, fits every sample of
    batch ``level`` exactly, so that no feature can have a scale there; None otherwise.

    The core has found the batch fitted exactly for some feature; this only tells whether
    the covariates do so whatever is missing, and names them: those that enter the
    combinations of the design's columns that single out each of the batch's samples.
    """
    if covariates.matrix is None:
        return None
    design, kept = _unit_design(coding, covariates)
    rows = coding.ids == level
    basis, triangle = np.linalg.qr(design)
    if (1.0 - np.sum(basis[rows] ** 2, axis=1)).sum() > 1e-8:
        return None
    # Sample i is singled out by the least-squares coefficients of its indicator vector.
    singled_out = np.linalg.solve(triangle, basis[rows].T)
    weights = np.abs(singled_out[len(coding.levels):]).max(axis=1)
    names = [covariates.names[kept[c]] for c in np.flatnonzero(weights > 1e-6 * weights.max())]
    if not names:
        return None
    which = f"covariate {names[0]!r} is" if len(names) == 1 else (
        "covariates " + ", ".join(repr(n) for n in names) + " together are"
    )
    return (
        f"{which} confounded with batch {coding.levels[level]!r}: with the batch's indicator "
        f"{'it fits' if len(names) == 1 else 'they fit'} every sample of that batch exactly, so "
        "that no feature keeps a spread there to "
        "estimate its scale from; drop or merge the covariates, correct without them, or "
        "correct locations only (mean_only=True)"
    )


def _core_call(call: Any, coding: BatchCoding, covariates: Covariates, *args: Any, **kwargs: Any) -> Any:
    """A call of the compiled engine, its errors worded with the batches' and covariates'
    names."""
    try:
        return call(*args, **kwargs)
    except (ValueError, RuntimeError) as err:
        if getattr(err, "kind", None) == "SingularDesign" and (text := _confounding(coding, covariates)):
            raise ValueError(text) from err
        message = _explain(err, covariates)
        if message == str(err):
            raise
        raise type(err)(message) from err


@overload
def combat(
    data: DataT,
    batch: str | Sequence[Hashable] | npt.ArrayLike,
    covariates: object = ...,
    *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = ...,
    parametric: bool = ...,
    exact: bool = ...,
    mean_only: bool = ...,
    reference: Hashable | None = ...,
    unestimable: Literal["pass", "raise"] = ...,
    partial_batches: Literal["correct", "pass"] = ...,
    layer: str | None = ...,
    out_layer: str | None = ...,
    allow_extra_samples: bool = ...,
    max_dense_bytes: float = ...,
    progress: bool | None = ...,
    return_report: Literal[False] = ...,
) -> DataT: ...
@overload
def combat(
    data: DataT,
    batch: str | Sequence[Hashable] | npt.ArrayLike,
    covariates: object = ...,
    *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = ...,
    parametric: bool = ...,
    exact: bool = ...,
    mean_only: bool = ...,
    reference: Hashable | None = ...,
    unestimable: Literal["pass", "raise"] = ...,
    partial_batches: Literal["correct", "pass"] = ...,
    layer: str | None = ...,
    out_layer: str | None = ...,
    allow_extra_samples: bool = ...,
    max_dense_bytes: float = ...,
    progress: bool | None = ...,
    return_report: Literal[True],
) -> tuple[DataT, CombatReport]: ...
def combat(
    data: Any,
    batch: str | Sequence[Hashable] | npt.ArrayLike,
    covariates: object = None,
    *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = None,
    parametric: bool = True,
    exact: bool = True,
    mean_only: bool = False,
    reference: Hashable | None = None,
    unestimable: Literal["pass", "raise"] = "pass",
    partial_batches: Literal["correct", "pass"] = "correct",
    layer: str | None = None,
    out_layer: str | None = None,
    allow_extra_samples: bool = False,
    max_dense_bytes: float = MAX_DENSE_BYTES,
    progress: bool | None = None,
    return_report: bool = False,
) -> Any:
    """Remove batch effects by empirical-Bayes location/scale correction.

    Every feature is modelled as a mean plus covariate effects plus a shift and a scale
    per batch; the batch effects are estimated, shrunk towards priors pooled over all
    features, and removed.

    Parameters
    ----------
    data : numpy.ndarray, pandas.DataFrame, anndata.AnnData or scipy.sparse matrix
        Samples in rows, features in columns (the convention of pandas and AnnData).
        NaN marks a missing value and stays in place; infinite values are rejected.
        Anything NumPy can turn into a 2-D float array is accepted as an array. A
        sparse matrix (or sparse AnnData ``.X``) is made dense, with a
        :class:`SparseInputWarning`, up to ``max_dense_bytes``.
    batch : str or sequence of hashable
        One batch label per sample (strings, integers, a pandas categorical, ...), or
        the name of a column of the sample table (``samples``, or ``.obs`` of AnnData).
        A pandas Series is matched to the data's samples by its index.
    covariates : str, sequence of str, DataFrame, Series or array, optional
        Effects to preserve, such as the biological condition: column names of the
        sample table (a string or a list of strings), or the values themselves (an
        array, list, Series or DataFrame with one row per sample; a list of strings
        with one entry per sample is taken as values unless every entry is a column
        name). Numeric columns are used as they are;
        text and categorical columns are one-hot encoded with their first level (sorted,
        or the categorical's first category) dropped.
    samples : DataFrame or mapping of column name to values, optional
        The sample table that ``batch`` and ``covariates`` may name columns of, for
        array and DataFrame input; a DataFrame is matched to the data by its index.
    parametric : bool, default True
        Parametric empirical-Bayes priors; False for non-parametric ones.
    exact : bool, default True
        Non-parametric priors only: False forms each likelihood from the values' count,
        mean and centred sum of squares instead of a pass over the values, so that a
        (batch, feature) job no longer grows with the batch's sample count. The results
        agree with the exact ones to rounding (within 1e-13 of each feature's spread on
        the bundled and benchmark tables), not bit for bit.
    mean_only : bool, default False
        Correct the location only and leave every batch's scale as it is.
    reference : hashable, optional
        A batch label. Its samples come back unchanged and the other batches are
        aligned to it.
    unestimable : {"pass", "raise"}, default "pass"
        What to do with features whose batch effects cannot be estimated (see Notes).
        "pass" leaves them
        unchanged, corrects the others exactly as if the unestimable features were not
        there, lists them in the report and warns once with their count. "raise" raises
        a ValueError naming them whenever there is any, before anything is corrected.
    partial_batches : {"correct", "pass"}, default "correct"
        Features missing from whole batches: "correct" corrects them in the batches where
        they are observed (see Notes); "pass" passes them through unchanged with the
        other unestimable features.
    layer : str, optional
        AnnData only: read this layer instead of ``.X``.
    out_layer : str, optional
        AnnData only: write the corrected matrix to ``data.layers[out_layer]`` and the
        report to ``data.uns["quarnel"]`` in place, and return ``data``. Without it a
        new AnnData object is returned, with the corrected matrix where it was read from.
    allow_extra_samples : bool, default False
        Let a Series or DataFrame matched by its index (``batch``, ``covariates``,
        ``samples``) hold rows for labels that are not samples of the data; they are
        ignored. Without it such rows are an error, since they usually mean the
        table belongs to other data.
    max_dense_bytes : float, default 16 GiB
        Largest dense float64 size, in bytes, that sparse input is made dense to; larger
        sparse input is an error. A call holds about three times this at its peak.
    progress : bool, optional
        Show a progress bar on standard error once a run has taken a couple of seconds
        (tqdm's when installed). By default on when standard error is a terminal or in a
        notebook, off otherwise.
    return_report : bool, default False
        Also return a :class:`CombatReport`.

    Returns
    -------
    corrected : same kind of container as ``data``
        float64 values, with the index and column labels (``obs``/``var`` for AnnData)
        of the input. Array-likes come back as a NumPy array.
    report : CombatReport
        Only with ``return_report=True``.

    Raises
    ------
    ValueError
        Unusable input: unknown column, labels that do not match the samples (missing,
        extra, or repeated sample labels when matching by index), fewer than two
        batches, an unknown reference, an invalid design, sparse input beyond
        ``max_dense_bytes``, or (with ``unestimable="raise"``) features that cannot be
        estimated.
    RuntimeError
        The correction failed numerically.

    Warns
    -----
    UnestimableFeatureWarning
        Once, when features were passed through because they cannot be estimated.
    SingletonBatchWarning
        When a batch holds a single sample (and ``mean_only`` is not set): its scale
        cannot be estimated, so only locations are corrected, in every batch. Drop or
        merge that batch to have scales corrected.
    SparseInputWarning
        When sparse input was made dense; says how large the dense matrix is.

    Notes
    -----
    The compiled core judges every feature by the rules of the correction itself. A
    feature cannot be estimated, and is passed through by default, when

    - some batch has no observed value;
    - some batch has fewer than two observed values where two are needed: any batch when
      scales are estimated (not ``mean_only`` and no batch of a single sample), and the
      reference batch, whose residuals alone give the pooled variance;
    - the observed values leave no residual degree of freedom (without covariates: one
      value per batch), or all of a batch's observed values are equal;
    - the observed samples do not determine the covariate effects.

    With ``partial_batches="correct"`` a feature missing from whole batches is corrected
    in the batches where it is observed: the fully observed features are corrected as
    one problem, exactly as without it, and their batch effects give each batch's
    priors; the partial feature is fitted alone on the batches it is observed in (its
    grand mean weighs those batches by their sizes) and shrunk towards those priors, by
    location only in a batch where it has a single value. It is passed through when it
    is observed in fewer than two batches, not in the reference batch, or when its own
    design is singular or leaves no residual degree of freedom.

    Examples
    --------
    >>> corrected = quarnel.combat(df, batch=sheet["lab"])                   # doctest: +SKIP
    >>> corrected, report = quarnel.combat(df, "lab", "condition", samples=sheet,
    ...                                    return_report=True)              # doctest: +SKIP
    """
    if out_layer is not None and not _is_anndata(data):
        raise TypeError("out_layer= applies to AnnData input only")
    unpacked = _unpack(data, samples, layer, allow_extra_samples, max_dense_bytes)
    corrected, report = correct_unpacked(
        unpacked, batch, covariates, parametric=parametric, mean_only=mean_only,
        reference=reference, unestimable=unestimable, partial_batches=partial_batches,
        progress=interactive() if progress is None else progress, stacklevel=3, exact=exact,
    )
    out = _repack(data, unpacked, corrected, report, layer, out_layer)
    return (out, report) if return_report else out


def labelled(
    values: npt.NDArray[np.float64],
    sample_labels: Sequence[Hashable],
    feature_labels: Sequence[Hashable],
    table: Mapping[str, Sequence[Any]] | None,
) -> _Unpacked:
    """A plain matrix with sample and feature names, for callers without pandas."""
    return _Unpacked(
        "array", np.ascontiguousarray(values, dtype=np.float64), list(sample_labels),
        list(feature_labels), None, _align_table(table, None, values.shape[0]),
    )


@dataclass(frozen=True)
class Choice:
    """The core's verdict on every feature, and which features a run corrects as one
    problem (``complete``) and which alone in the batches where they are observed
    (``partial``)."""

    verdicts: _Verdicts
    unestimable: npt.NDArray[np.intp]
    complete: npt.NDArray[np.int64]
    partial: npt.NDArray[np.int64]


@dataclass
class Plan:
    """A run decided: the samples' batches and covariates encoded, and the rules by which
    the core's verdicts choose the features it corrects. Correcting and fitting a model go
    through the same plan, so that they treat every feature alike.

    The choice is made from the verdicts of the run itself, which judges every feature
    from the standardisation it then goes on from (``choice`` is set when the core gives
    them); Dask input is judged in rounds of its own first."""

    coding: BatchCoding
    covariates: Covariates
    reference: Hashable | None
    reference_level: int | None
    values: npt.NDArray[np.float64]
    options: dict[str, Any]
    unpacked: _Unpacked
    unestimable: str
    partial_batches: str
    pass_hint: str
    choice: Choice | None = None

    def choose(self, issue: npt.NDArray[np.uint8], batch: npt.NDArray[np.int64]) -> Choice:
        """The features to correct, from the core's verdicts; raises where the verdicts
        call for an error (covariates that fit a whole batch, ``unestimable="raise"``)."""
        verdicts = _Verdicts(issue, batch)
        coding = self.coding
        for level in np.unique(verdicts.levels[verdicts.codes == LEVEL_FITTED]).tolist():
            if text := _fitted_batch(coding, self.covariates, level):
                raise ValueError(text)
        unestimable = verdicts.unestimable()
        if self.unestimable == "raise" and unestimable.size:
            raise ValueError(
                f"{_features(unestimable.size)} cannot be estimated: "
                f"{_describe(unestimable, verdicts, self.unpacked, coding.levels, self.reference_level, 5)}"
                f" ({self.pass_hint})"
            )
        complete = np.flatnonzero(verdicts.codes <= CONSTANT).astype(np.int64)
        partial = (
            unestimable[verdicts.codes[unestimable] == NO_VALUES].astype(np.int64)
            if self.partial_batches == "correct" else np.empty(0, np.int64)
        )
        self.choice = Choice(verdicts, unestimable, complete, partial)
        return self.choice

    def fit_chunks(self, progress: ProgressBar | None) -> dict[str, Any]:
        """Dask input: ``_engine.fit``'s result, judged and fitted in rounds over the chunks."""
        options = {k: v for k, v in self.options.items() if k != "exact"}
        judged = judge_chunks(
            self.values, self.coding.ids, self.covariates.matrix, options,
            lambda i, j: _infinite_at(self.unpacked, i, j), progress=progress,
        )
        choice = self.choose(np.concatenate([j["issue"] for j in judged]),
                             np.concatenate([j["batch"] for j in judged]))
        parts = fit_chunks(self.values, self.coding.ids, self.covariates.matrix, self.options,
                           judged, choice.complete, choice.partial, progress=progress)
        starts = [0, *np.cumsum(self.values.chunks[1]).tolist()]
        return joined_fit(parts, starts)

    def run(self, call: Any, progress: bool) -> Any:
        """``call`` (``_engine.combat_partial`` or ``_engine.fit``) on this plan."""

        def choose(issue: npt.NDArray[np.uint8], batch: npt.NDArray[np.int64]) -> tuple[Any, Any]:
            choice = self.choose(issue, batch)
            return choice.complete, choice.partial

        bar = ProgressBar() if progress else None
        try:
            if is_dask_array(self.values):
                fitted = _core_call(self.fit_chunks, self.coding, self.covariates, bar)
                if call is _engine.fit:
                    return fitted
                return {**fitted, "adjusted": apply_lazily(
                    self.values, fitted["model"], self.coding.ids, self.covariates.matrix)}
            with infinities_named(self.unpacked):
                return _core_call(
                    call, self.coding, self.covariates, self.values, self.coding.ids,
                    self.covariates.matrix, choose=choose, progress=bar, **self.options,
                )
        finally:
            if bar is not None:
                bar.close()


def reference_level_of(coding: BatchCoding, reference: Hashable | None) -> int | None:
    """The level of the reference batch, if one is named."""
    if reference is None:
        return None
    try:
        return coding.levels.index(reference)
    except ValueError:
        raise ValueError(
            f"reference batch {reference!r} is not one of the batches {list(coding.levels)}"
        ) from None


def plan_run(
    unpacked: _Unpacked,
    batch: object,
    covariates: object,
    *,
    parametric: bool,
    mean_only: bool,
    reference: Hashable | None,
    unestimable: str,
    partial_batches: str = "correct",
    pass_hint: str = "unestimable='pass' passes them through unchanged",
    exact: bool = True,
) -> Plan:
    """Encode the labels and set the rules by which the features are chosen."""
    if unestimable not in ("pass", "raise"):
        raise ValueError(f"unestimable must be 'pass' or 'raise', got {unestimable!r}")
    if partial_batches not in ("correct", "pass"):
        raise ValueError(f"partial_batches must be 'correct' or 'pass', got {partial_batches!r}")
    n_samples = unpacked.values.shape[0]
    coding = _batch_labels(batch, unpacked)
    covariates_ = encode_covariates(
        _covariate_columns(covariates, unpacked), n_samples, unpacked.sample_labels
    )
    if len(coding.levels) < 2:
        raise ValueError("at least two batches are required")
    reference_level = reference_level_of(coding, reference)
    options = dict(par_prior=bool(parametric), mean_only=bool(mean_only), ref_batch=reference_level)
    values = unpacked.values if is_dask_array(unpacked.values) else np.ascontiguousarray(unpacked.values)
    return Plan(coding, covariates_, reference, reference_level, values, {**options, "exact": bool(exact)},
                unpacked, unestimable, partial_batches, pass_hint)


def report_run(plan: Plan, result: Mapping[str, Any], unpacked: _Unpacked, *, stacklevel: int = 2) -> CombatReport:
    """The report of a planned run from the core's result, with the warnings it calls for."""
    coding, choice = plan.coding, plan.choice
    assert choice is not None, "the run has chosen its features"
    verdicts = choice.verdicts
    n_samples, n_features = unpacked.values.shape
    core_report = result["report"]
    labels = unpacked.feature_labels
    reasons: dict[Hashable, str] = {}
    kinds: dict[Hashable, str] = {}
    unestimable_passed: list[int] = []
    partial_features: dict[Hashable, tuple[Hashable, ...]] = {}
    partial_outcome = {
        int(f): (int(code), int(level), batches)
        for f, code, level, batches in zip(
            choice.partial, result["partial_issue"], result["partial_batch"], result["partial_batches"]
        )
    }
    for f in choice.unestimable.tolist():
        code, level = int(verdicts.codes[f]), int(verdicts.levels[f])
        if f in partial_outcome:
            code, level, batches = partial_outcome[f]
            if code == ESTIMABLE:
                partial_features[labels[f]] = tuple(coding.levels[b] for b in batches)
                continue
        reasons[labels[f]] = reason(code, level, coding.levels, plan.reference_level)
        kinds[labels[f]] = kind(code, level)
        unestimable_passed.append(f)
    zero_variance = [int(j) for j in core_report["zero_variance_features"]]
    passed = sorted(set(zero_variance) | set(unestimable_passed))
    report = CombatReport(
        batches=coding.levels,
        batch_sizes=tuple(int(s) for s in coding.sizes),
        reference=plan.reference,
        covariates=plan.covariates.names,
        parametric=bool(plan.options["par_prior"]),
        mean_only=bool(plan.options["mean_only"]),
        effective_mean_only=bool(core_report["effective_mean_only"]),
        singleton_batches=tuple(coding.levels[i] for i in core_report["singleton_batches"]),
        zero_variance_features=tuple(labels[f] for f in zero_variance),
        unestimable_features=reasons,
        n_samples=n_samples,
        n_features=n_features,
        passed_through=tuple(labels[f] for f in passed),
        partial_features=partial_features,
        unestimable_kinds=kinds,
    )
    if reasons:
        warnings.warn(
            f"{len(reasons)} of {n_features} features cannot be estimated and were passed "
            f"through unchanged ({_counts(kinds)}); return_report=True lists them",
            UnestimableFeatureWarning,
            stacklevel=stacklevel,
        )
    warn_singletons(report, stacklevel=stacklevel)
    return report


def correct_unpacked(
    unpacked: _Unpacked,
    batch: object,
    covariates: object,
    *,
    parametric: bool,
    mean_only: bool,
    reference: Hashable | None,
    unestimable: str,
    partial_batches: str = "correct",
    progress: bool = False,
    stacklevel: int = 2,
    pass_hint: str = "unestimable='pass' passes them through unchanged",
    exact: bool = True,
) -> tuple[npt.NDArray[np.float64], CombatReport]:
    """The correction proper, on data already taken out of its container."""
    plan = plan_run(
        unpacked, batch, covariates, parametric=parametric, mean_only=mean_only,
        reference=reference, unestimable=unestimable, partial_batches=partial_batches,
        pass_hint=pass_hint, exact=exact,
    )
    result = plan.run(_engine.combat_partial, progress)
    report = report_run(plan, result, unpacked, stacklevel=stacklevel + 1)
    return result["adjusted"], report


def warn_singletons(report: CombatReport, *, stacklevel: int = 2) -> None:
    """Warn when a batch of one sample turned scale correction off for every batch.

    The report lists such batches, but the effect reaches far beyond them: the scales
    of all the other batches are left as they were, which people do not expect.
    """
    if report.mean_only or not report.singleton_batches:
        return
    names = ", ".join(repr(b) for b in report.singleton_batches)
    one = len(report.singleton_batches) == 1
    warnings.warn(
        f"{'batch' if one else 'batches'} {names} {'holds' if one else 'hold'} a single "
        "sample, so no batch's scale can be estimated and only locations were corrected: "
        "the differences in spread between all batches remain. Drop "
        f"{'that batch' if one else 'those batches'} or merge "
        f"{'it' if one else 'them'} into another to have scales corrected too",
        SingletonBatchWarning,
        stacklevel=stacklevel + 1,
    )


def _repack(
    data: Any,
    unpacked: _Unpacked,
    corrected: npt.NDArray[Any],
    report: Any,
    layer: str | None,
    out_layer: str | None,
) -> Any:
    """The corrected values in the caller's container; `report` is any report with
    to_dict() (the location/scale or the count correction's)."""
    if unpacked.kind == "array":
        return corrected
    if unpacked.kind == "frame":
        pd = _module("pandas")
        return pd.DataFrame(corrected, index=data.index, columns=data.columns)
    if out_layer is not None:
        data.layers[out_layer] = corrected
        data.uns[UNS_KEY] = report.to_dict()
        return data
    new = data.copy()
    if layer is None:
        new.X = corrected
    else:
        new.layers[layer] = corrected
    new.uns[UNS_KEY] = report.to_dict()
    return new
