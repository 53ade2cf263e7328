"""Batch labels to integer ids, and covariates to a numeric design block.

``_quarnel.combat`` takes non-negative integer batch ids and a float64 covariate
matrix. People have labels ("lab_A", a categorical, 2019) and sample tables with
numeric and text columns. This module turns the one into the other and keeps what is
needed to turn ids back into labels for the report.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Hashable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["BatchCoding", "CovariateColumn", "Covariates", "encode_batch", "encode_covariates", "reencode_covariates"]


@dataclass(frozen=True)
class BatchCoding:
    """Batch labels as ids: level ``i`` of ``levels`` is batch id ``i``."""

    levels: tuple[Hashable, ...]
    ids: npt.NDArray[np.int64]

    @property
    def sizes(self) -> npt.NDArray[np.int64]:
        return np.bincount(self.ids, minlength=len(self.levels)).astype(np.int64)


@dataclass(frozen=True)
class CovariateColumn:
    """How one given covariate became design columns: used as a number, or one-hot
    encoded over ``levels`` with ``levels[0]`` dropped. Kept so that new samples can be
    encoded exactly as the samples a model was fitted on."""

    name: str
    kind: str  # "numeric" or "categorical"
    levels: tuple[Hashable, ...] = ()


@dataclass(frozen=True)
class Covariates:
    """The encoded covariates: one float64 column per name, samples in rows."""

    matrix: npt.NDArray[np.float64] | None
    names: tuple[str, ...]
    columns: tuple[CovariateColumn, ...] = ()


def _is_missing(value: object) -> bool:
    if value is None:
        return True
    if isinstance(value, (float, np.floating)) and math.isnan(value):
        return True
    pd = sys.modules.get("pandas")
    return pd is not None and (value is pd.NA or value is pd.NaT)


def _categories(values: object) -> list[Hashable] | None:
    """The declared level order of a pandas categorical, or None for anything else."""
    pd = sys.modules.get("pandas")
    if pd is None:
        return None
    if isinstance(values, pd.Series) and isinstance(values.dtype, pd.CategoricalDtype):
        return list(values.cat.categories)
    if isinstance(values, pd.Categorical):
        return list(values.categories)
    return None


def _as_list(values: object) -> list[Any]:
    # tolist() turns NumPy scalars into Python ones, which print and serialise cleanly.
    tolist = getattr(values, "tolist", None)
    if callable(tolist):
        result = tolist()
        if isinstance(result, list):
            return result
    if isinstance(values, Iterable) and not isinstance(values, (str, bytes)):
        return list(values)
    raise TypeError(f"expected one value per sample, got {type(values).__name__}")


def _level_order(labels: list[Hashable], categories: list[Hashable] | None) -> list[Hashable]:
    present = dict.fromkeys(labels)
    if categories is not None:
        # Declared order, without the categories no sample has.
        return [c for c in categories if c in present]
    try:
        return sorted(present)  # type: ignore[type-var]
    except TypeError:
        # Labels of mixed types have no natural order; first appearance is stable.
        return list(present)


def encode_batch(batch: object, n_samples: int, sample_names: Sequence[Hashable]) -> BatchCoding:
    """Map per-sample batch labels to ids 0 … L−1 in sorted label order (categorical
    order for a pandas categorical)."""
    if isinstance(batch, (str, bytes)):
        raise TypeError("batch must be one label per sample, not a single string")
    categories = _categories(batch)
    labels = _as_list(batch)
    if len(labels) != n_samples:
        raise ValueError(f"batch has {len(labels)} labels for {n_samples} samples")
    for i, label in enumerate(labels):
        if _is_missing(label):
            raise ValueError(f"batch label is missing for sample {sample_names[i]!r}")
        try:
            hash(label)
        except TypeError:
            raise TypeError(
                f"batch labels must be hashable; sample {sample_names[i]!r} has a "
                f"{type(label).__name__}"
            ) from None
    levels = _level_order(labels, categories)
    index = {label: i for i, label in enumerate(levels)}
    ids = np.fromiter((index[label] for label in labels), dtype=np.int64, count=n_samples)
    return BatchCoding(tuple(levels), ids)


def _numeric_column(values: object) -> npt.NDArray[np.float64] | None:
    """The column as float64 when it is numeric (booleans included), else None."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(values, pd.Series):
        if isinstance(values.dtype, pd.CategoricalDtype):
            return None
        if pd.api.types.is_bool_dtype(values.dtype) or pd.api.types.is_numeric_dtype(values.dtype):
            return values.to_numpy(dtype=np.float64, na_value=np.nan)
        values = values.to_numpy(dtype=object)
    if isinstance(values, np.ndarray) and values.dtype.kind in "biuf":
        return values.astype(np.float64)
    items = _as_list(values)
    if items and all(
        isinstance(v, (bool, int, float, np.number)) and not isinstance(v, np.datetime64)
        for v in items
        if v is not None
    ):
        return np.array([math.nan if v is None else float(v) for v in items], dtype=np.float64)
    return None


def encode_covariates(
    columns: Sequence[tuple[str, object]], n_samples: int, sample_names: Sequence[Hashable]
) -> Covariates:
    """Numeric columns as they are; any other column one-hot encoded with its first
    level dropped (the batch indicators already carry the intercept, so keeping every
    level would make the design singular)."""
    if not columns:
        return Covariates(None, ())
    blocks: list[npt.NDArray[np.float64]] = []
    names: list[str] = []
    spec: list[CovariateColumn] = []
    for name, values in columns:
        numeric = _numeric_column(values)
        if numeric is not None:
            if numeric.shape != (n_samples,):
                raise ValueError(
                    f"covariate {name!r} has {numeric.size} values for {n_samples} samples"
                )
            bad = np.flatnonzero(~np.isfinite(numeric))
            if bad.size:
                what = "missing" if math.isnan(numeric[bad[0]]) else "not finite"
                raise ValueError(
                    f"covariate {name!r} is {what} for sample {sample_names[bad[0]]!r}; "
                    "covariates may not have missing values"
                )
            blocks.append(numeric.reshape(-1, 1))
            names.append(str(name))
            spec.append(CovariateColumn(str(name), "numeric"))
            continue
        categories = _categories(values)
        labels = _as_list(values)
        if len(labels) != n_samples:
            raise ValueError(f"covariate {name!r} has {len(labels)} values for {n_samples} samples")
        for i, label in enumerate(labels):
            if _is_missing(label):
                raise ValueError(
                    f"covariate {name!r} is missing for sample {sample_names[i]!r}; "
                    "covariates may not have missing values"
                )
        levels = _level_order(labels, categories)
        for level in levels[1:]:
            blocks.append(np.array([label == level for label in labels], dtype=np.float64)[:, None])
            names.append(f"{name}[{level}]")
        spec.append(CovariateColumn(str(name), "categorical", tuple(levels)))
    if not blocks:
        return Covariates(None, (), tuple(spec))
    return Covariates(np.ascontiguousarray(np.hstack(blocks)), tuple(names), tuple(spec))


def reencode_covariates(
    columns: Sequence[tuple[str, object]],
    spec: Sequence[CovariateColumn],
    n_samples: int,
    sample_names: Sequence[Hashable],
) -> Covariates:
    """New samples' covariates encoded as ``spec`` says the fitted samples' were: the same
    columns in the same order, each category on the column it had then. A covariate that
    is missing, extra, of another kind or of a category not seen then is an error, since
    any of them would silently shift what the fitted coefficients mean."""
    given = {name: values for name, values in columns}
    if len(given) != len(columns):
        raise ValueError("the covariates name a column more than once")
    expected = [c.name for c in spec]
    if missing := [n for n in expected if n not in given]:
        raise ValueError(
            f"covariate {missing[0]!r} was used when the model was fitted but is not given; "
            f"the model needs {expected}"
        )
    if extra := [n for n in given if n not in expected]:
        raise ValueError(
            f"covariate {extra[0]!r} was not used when the model was fitted; the model "
            f"uses {expected if expected else 'no covariates'}"
        )
    ordered = [(c.name, given[c.name]) for c in spec]
    if not spec:
        return Covariates(None, (), ())
    blocks: list[npt.NDArray[np.float64]] = []
    names: list[str] = []
    for column, (name, values) in zip(spec, ordered):
        if column.kind == "numeric":
            numeric = _numeric_column(values)
            if numeric is None:
                raise ValueError(
                    f"covariate {name!r} was numeric when the model was fitted, but the "
                    "values given now are not numbers"
                )
            encoded = encode_covariates([(name, numeric)], n_samples, sample_names)
            blocks.append(encoded.matrix)  # type: ignore[arg-type]
            names.extend(encoded.names)
            continue
        labels = _as_list(values)
        if len(labels) != n_samples:
            raise ValueError(f"covariate {name!r} has {len(labels)} values for {n_samples} samples")
        position = {level: i for i, level in enumerate(column.levels)}
        codes = np.empty(n_samples, dtype=np.int64)
        for i, label in enumerate(labels):
            if _is_missing(label):
                raise ValueError(
                    f"covariate {name!r} is missing for sample {sample_names[i]!r}; "
                    "covariates may not have missing values"
                )
            try:
                codes[i] = position[label]
            except (KeyError, TypeError):
                raise ValueError(
                    f"covariate {name!r} has category {label!r} (sample {sample_names[i]!r}) "
                    f"that was not seen when the model was fitted; its categories are "
                    f"{list(column.levels)}"
                ) from None
        for k, level in enumerate(column.levels[1:], start=1):
            blocks.append((codes == k).astype(np.float64)[:, None])
            names.append(f"{name}[{level}]")
    if not blocks:
        return Covariates(None, (), tuple(spec))
    return Covariates(np.ascontiguousarray(np.hstack(blocks)), tuple(names), tuple(spec))
