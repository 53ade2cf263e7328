"""The public correction: containers and labels around ``_quarnel.combat``."""

from __future__ import annotations

import re
import sys
import warnings
from collections import Counter
from collections.abc import Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, TypeVar, overload

import numpy as np
import numpy.typing as npt

from ._labels import BatchCoding, Covariates, encode_batch, encode_covariates
from ._report import CombatReport
from ._unestimable import KINDS, SUMMARY, Unestimable, find_unestimable

try:
    import _quarnel
except ImportError as err:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quarnel cannot load its compiled extension module _quarnel: "
        f"{err}. It is built when the package is installed; reinstall quarnel with "
        "'pip install .' from a source checkout (a C++23 compiler such as g++ 12 is "
        "needed), and do not run Python from inside the source tree's python/ folder."
    ) from err

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["UnestimableFeatureWarning", "combat"]

DataT = TypeVar("DataT")

# Key of the report in AnnData's .uns.
UNS_KEY = "quarnel"


class UnestimableFeatureWarning(UserWarning):
    """Some features could not be estimated and were passed through unchanged."""


@dataclass(frozen=True)
class _Unpacked:
    kind: Literal["array", "frame", "anndata"]
    values: npt.NDArray[np.float64]
    sample_labels: list[Hashable]
    feature_labels: list[Hashable]
    index: Any  # the pandas index that sample-table columns are aligned to, or None
    table: Any  # the sample table: a DataFrame, a mapping of columns, or None


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


def _dense(matrix: object) -> npt.NDArray[np.float64]:
    toarray = getattr(matrix, "toarray", None)
    if callable(toarray):  # scipy.sparse; batch correction fills in every cell anyway
        matrix = toarray()
    return np.ascontiguousarray(np.asarray(matrix, dtype=np.float64))


def _unpack(data: Any, samples: object, layer: str | None) -> _Unpacked:
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
            "anndata", _dense(matrix), list(data.obs_names), list(data.var_names),
            data.obs_names, data.obs,
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
            _align_table(samples, data.index, len(data.index)),
        )
    values = np.ascontiguousarray(np.asarray(data, dtype=np.float64))
    if values.ndim != 2:
        raise ValueError(
            f"data must be two-dimensional (samples × features), got {values.ndim} dimensions"
        )
    return _Unpacked(
        "array", values, list(range(values.shape[0])), list(range(values.shape[1])), None,
        _align_table(samples, None, values.shape[0]),
    )


def _align(obj: Any, index: Any, n_samples: int, what: str) -> Any:
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
    missing = index.difference(obj.index)
    if len(missing):
        raise ValueError(
            f"{what} has no row for {len(missing)} of the samples (for example "
            f"{missing[0]!r}); it is matched to the data by its index"
        )
    if not obj.index.is_unique:
        raise ValueError(f"{what} has duplicated index labels")
    return obj.loc[index]


def _align_table(samples: object, index: Any, n_samples: int) -> Any:
    if samples is None:
        return None
    if _is_frame(samples):
        return _align(samples, index, n_samples, "the sample table")
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
        batch = _align(batch, unpacked.index, n, "batch")
    return encode_batch(batch, n, unpacked.sample_labels)


def _covariate_columns(covariates: object, unpacked: _Unpacked) -> list[tuple[str, object]]:
    n = unpacked.values.shape[0]
    if covariates is None:
        return []
    if isinstance(covariates, str):
        return [(covariates, _column(covariates, unpacked.table, "covariate"))]
    if _is_frame(covariates):
        frame = _align(covariates, unpacked.index, n, "covariates")
        return [(str(c), frame[c]) for c in frame.columns]
    if _is_series(covariates):
        series = _align(covariates, unpacked.index, n, "covariates")
        return [(str(series.name) if series.name is not None else "covariate", series)]
    if isinstance(covariates, Mapping):
        return [(str(k), _align(v, unpacked.index, n, f"covariate {k!r}")) for k, v in covariates.items()]
    if isinstance(covariates, (list, tuple)) and covariates and all(isinstance(c, str) for c in covariates):
        if unpacked.table is None and len(covariates) == n:
            raise ValueError(
                "covariates given as a list of strings are column names of the sample "
                "table; pass one value per sample as a NumPy array or pandas Series"
            )
        return [(c, _column(c, unpacked.table, "covariate")) for c in covariates]
    array = np.asarray(covariates)
    if array.ndim == 1:
        array = array.reshape(-1, 1)
    if array.ndim != 2 or array.shape[0] != n:
        raise ValueError(f"covariates must have one row per sample ({n}), got shape {array.shape}")
    return [(f"covariate{j}", array[:, j]) for j in range(array.shape[1])]


def _check_finite(unpacked: _Unpacked) -> None:
    infinite = np.isinf(unpacked.values)
    if infinite.any():
        i, j = np.argwhere(infinite)[0]
        raise ValueError(
            f"data holds an infinite value at sample {unpacked.sample_labels[i]!r}, feature "
            f"{unpacked.feature_labels[j]!r}; mark missing values with NaN (a log of zero "
            "gives -inf: add a pseudocount first)"
        )


_DUPLICATE = re.compile(r"duplicate covariate columns (\d+) and (\d+)")
_COLLINEAR = re.compile(r"covariate column (\d+) is collinear with batch indicators")


def _explain(message: str, covariates: Covariates) -> str:
    """The core's message, with the encoded covariate columns it numbers named."""
    names = covariates.names
    if match := _DUPLICATE.search(message):
        a, b = (names[int(g)] for g in match.groups())
        return f"{message} ({a!r} and {b!r} are equal)"
    if match := _COLLINEAR.search(message):
        return f"{message} ({names[int(match.group(1))]!r} is constant within every batch)"
    return message


def _describe(found: Unestimable, unpacked: _Unpacked, levels: tuple[Hashable, ...], limit: int) -> str:
    items = [
        f"{unpacked.feature_labels[f]!r} ({_reason(k, l, levels)})"
        for f, k, l in zip(found.features[:limit], found.kinds, found.levels)
    ]
    more = f" and {len(found) - limit} more" if len(found) > limit else ""
    return ", ".join(items) + more


def _reason(kind: str, level: int, levels: tuple[Hashable, ...]) -> str:
    return KINDS[kind].format(batch=levels[level]) if level >= 0 else KINDS[kind]


def _features(n: int) -> str:
    return f"{n} feature" if n == 1 else f"{n} features"


def _counts(found: Unestimable) -> str:
    return "; ".join(f"{n} {SUMMARY[k]}" for k, n in Counter(found.kinds).most_common())


def _run_core(
    values: npt.NDArray[np.float64],
    coding: BatchCoding,
    covariates: Covariates,
    parametric: bool,
    mean_only: bool,
    reference_level: int | None,
    strict_note: str,
) -> Mapping[str, Any]:
    try:
        return _quarnel.combat(
            np.ascontiguousarray(values),
            coding.ids,
            covariates.matrix,
            par_prior=bool(parametric),
            mean_only=bool(mean_only),
            ref_batch=reference_level,
        )
    except (ValueError, RuntimeError) as err:
        message = _explain(str(err), covariates) + strict_note
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
    mean_only: bool = ...,
    reference: Hashable | None = ...,
    unestimable: Literal["pass", "raise"] = ...,
    layer: str | None = ...,
    out_layer: str | None = ...,
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
    mean_only: bool = ...,
    reference: Hashable | None = ...,
    unestimable: Literal["pass", "raise"] = ...,
    layer: str | None = ...,
    out_layer: str | None = ...,
    return_report: Literal[True],
) -> tuple[DataT, CombatReport]: ...
def combat(
    data: Any,
    batch: str | Sequence[Hashable] | npt.ArrayLike,
    covariates: object = None,
    *,
    samples: pd.DataFrame | Mapping[str, Sequence[Any]] | None = None,
    parametric: bool = True,
    mean_only: bool = False,
    reference: Hashable | None = None,
    unestimable: Literal["pass", "raise"] = "pass",
    layer: str | None = None,
    out_layer: str | None = None,
    return_report: bool = False,
) -> Any:
    """Remove batch effects by empirical-Bayes location/scale correction.

    Every feature is modelled as a mean plus covariate effects plus a shift and a scale
    per batch; the batch effects are estimated, shrunk towards priors pooled over all
    features, and removed.

    Parameters
    ----------
    data : numpy.ndarray, pandas.DataFrame or anndata.AnnData
        Samples in rows, features in columns (the convention of pandas and AnnData).
        NaN marks a missing value and stays in place; infinite values are rejected.
        Anything NumPy can turn into a 2-D float array is accepted as an array.
    batch : str or sequence of hashable
        One batch label per sample (strings, integers, a pandas categorical, ...), or
        the name of a column of the sample table (``samples``, or ``.obs`` of AnnData).
        A pandas Series is matched to the data's samples by its index.
    covariates : str, sequence of str, DataFrame, Series or array, optional
        Effects to preserve, such as the biological condition: column names of the
        sample table (a string or a list of strings), or the values themselves (an
        array, Series or DataFrame with one row per sample). Numeric columns are used as they are;
        text and categorical columns are one-hot encoded with their first level (sorted,
        or the categorical's first category) dropped.
    samples : DataFrame or mapping of column name to values, optional
        The sample table that ``batch`` and ``covariates`` may name columns of, for
        array and DataFrame input; a DataFrame is matched to the data by its index.
    parametric : bool, default True
        Parametric empirical-Bayes priors; False for non-parametric ones.
    mean_only : bool, default False
        Correct the location only and leave every batch's scale as it is.
    reference : hashable, optional
        A batch label. Its samples come back unchanged and the other batches are
        aligned to it.
    unestimable : {"pass", "raise"}, default "pass"
        What to do with features whose batch effects cannot be estimated (see Notes).
        "pass" leaves them
        unchanged, corrects the others exactly as if the unestimable features were not
        there, lists them in the report and warns once with their count. "raise" hands
        every feature to the correction, which then fails as a whole; its error names
        the features found.
    layer : str, optional
        AnnData only: read this layer instead of ``.X``.
    out_layer : str, optional
        AnnData only: write the corrected matrix to ``data.layers[out_layer]`` and the
        report to ``data.uns["quarnel"]`` in place, and return ``data``. Without it a
        new AnnData object is returned, with the corrected matrix where it was read from.
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
        Unusable input: unknown column, labels that do not match the samples, fewer
        than two batches, an unknown reference, an invalid design, or (with
        ``unestimable="raise"``) features that cannot be estimated.
    RuntimeError
        The correction failed numerically.

    Warns
    -----
    UnestimableFeatureWarning
        Once, when features were passed through because they cannot be estimated.

    Notes
    -----
    A feature cannot be estimated, and is passed through by default, when it has a
    missing value and

    - some batch has no observed value (every mode);
    - with ``reference``: the reference batch has two or more samples but fewer than two
      observed values (every mode: the pooled variance comes from the reference batch
      alone);
    - some batch has fewer than two observed values, when scales are estimated (not
      ``mean_only`` and no batch of a single sample);
    - some batch has two or more observed values, all equal, beside a missing value
      (every mode: without the missing value the feature would be passed through as
      constant within a batch);
    - with covariates: the observed samples do not identify the covariate effects;
    - the observed values leave nothing to estimate the residual variance from (without
      covariates: one value per batch).

    Features without missing values never count: their problems are the whole design's.

    Examples
    --------
    >>> corrected = quarnel.combat(df, batch=sheet["lab"])                   # doctest: +SKIP
    >>> corrected, report = quarnel.combat(df, "lab", "condition", samples=sheet,
    ...                                    return_report=True)              # doctest: +SKIP
    """
    if out_layer is not None and not _is_anndata(data):
        raise TypeError("out_layer= applies to AnnData input only")
    unpacked = _unpack(data, samples, layer)
    corrected, report = correct_unpacked(
        unpacked, batch, covariates, parametric=parametric, mean_only=mean_only,
        reference=reference, unestimable=unestimable, stacklevel=3,
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


def correct_unpacked(
    unpacked: _Unpacked,
    batch: object,
    covariates: object,
    *,
    parametric: bool,
    mean_only: bool,
    reference: Hashable | None,
    unestimable: str,
    stacklevel: int = 2,
) -> tuple[npt.NDArray[np.float64], CombatReport]:
    """The correction proper, on data already taken out of its container."""
    if unestimable not in ("pass", "raise"):
        raise ValueError(f"unestimable must be 'pass' or 'raise', got {unestimable!r}")
    n_samples, n_features = unpacked.values.shape
    coding = _batch_labels(batch, unpacked)
    covariates_ = encode_covariates(
        _covariate_columns(covariates, unpacked), n_samples, unpacked.sample_labels
    )
    if len(coding.levels) < 2:
        raise ValueError("at least two batches are required")
    reference_level: int | None = None
    if reference is not None:
        try:
            reference_level = coding.levels.index(reference)
        except ValueError:
            raise ValueError(
                f"reference batch {reference!r} is not one of the batches {list(coding.levels)}"
            ) from None
    _check_finite(unpacked)

    sizes = coding.sizes
    found = find_unestimable(
        unpacked.values,
        coding.ids,
        len(coding.levels),
        covariates_.matrix,
        scale_estimated=not mean_only and bool(sizes.min() >= 2),
        reference_level=reference_level,
    )
    keep = np.ones(n_features, dtype=bool)
    if unestimable == "pass":
        keep[found.features] = False
    kept = np.flatnonzero(keep)
    strict_note = ""
    if unestimable == "raise" and len(found):
        strict_note = (
            f"; {_features(len(found))} cannot be estimated: "
            f"{_describe(found, unpacked, coding.levels, 5)}"
            " (unestimable='pass' passes them through unchanged)"
        )

    if kept.size == n_features:
        result = _run_core(
            unpacked.values, coding, covariates_, parametric, mean_only, reference_level, strict_note
        )
        corrected = result["adjusted"]
        core_report = result["report"]
    else:
        # Pass-through columns keep the input's bits; the others are corrected as if
        # the unestimable features had never been in the matrix.
        corrected = unpacked.values.copy()
        if kept.size:
            result = _run_core(
                unpacked.values[:, kept], coding, covariates_, parametric, mean_only,
                reference_level, strict_note,
            )
            corrected[:, kept] = result["adjusted"]
            core_report = result["report"]
        else:
            core_report = {
                "effective_mean_only": True,
                "singleton_batches": [int(i) for i in np.flatnonzero(sizes == 1)],
                "zero_variance_features": [],
            }

    labels = unpacked.feature_labels
    zero_variance = [int(kept[j]) for j in core_report["zero_variance_features"]]
    unestimable_map: dict[Hashable, str] = {}
    if unestimable == "pass":
        for f, k, lvl in zip(found.features.tolist(), found.kinds, found.levels.tolist()):
            unestimable_map[labels[f]] = _reason(k, lvl, coding.levels)
    passed = sorted(set(zero_variance) | (set(found.features.tolist()) if unestimable == "pass" else set()))
    report = CombatReport(
        batches=coding.levels,
        batch_sizes=tuple(int(s) for s in sizes),
        reference=reference,
        covariates=covariates_.names,
        parametric=bool(parametric),
        mean_only=bool(mean_only),
        effective_mean_only=bool(core_report["effective_mean_only"]),
        singleton_batches=tuple(coding.levels[i] for i in core_report["singleton_batches"]),
        zero_variance_features=tuple(labels[f] for f in zero_variance),
        unestimable_features=unestimable_map,
        n_samples=n_samples,
        n_features=n_features,
        passed_through=tuple(labels[f] for f in passed),
    )
    if unestimable == "pass" and len(found):
        warnings.warn(
            f"{len(found)} of {n_features} features cannot be estimated and were passed "
            f"through unchanged ({_counts(found)}); return_report=True lists them",
            UnestimableFeatureWarning,
            stacklevel=stacklevel,
        )
    return corrected, report


def _repack(
    data: Any,
    unpacked: _Unpacked,
    corrected: npt.NDArray[np.float64],
    report: CombatReport,
    layer: str | None,
    out_layer: str | None,
) -> Any:
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
