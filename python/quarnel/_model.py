"""The correction as a reusable model: fit once, inspect, save, apply to new samples."""

from __future__ import annotations

import json
import os
import re
import struct
import tokenize
import warnings
import zipfile
import zlib
from collections.abc import Callable, Collection, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from ._combat import (
    MAX_DENSE_BYTES,
    _align,
    _column,
    _covariate_columns,
    _engine,
    _is_series,
    _module,
    _Unpacked,
    _unpack,
    infinities_named,
    plan_run,
    report_run,
)
from ._dask import apply_lazily, apply_new_batches_lazily, is_dask_array
from ._estimability import KINDS
from ._files import replacing
from ._labels import BatchCoding, CovariateColumn, encode_batch, reencode_covariates
from ._progress import ProgressBar, interactive
from ._report import CombatReport

__all__ = ["CombatModel", "ModelLabelWarning", "fit", "load_model"]

FORMAT_NAME = "quarnel-model"
# 2 added "exact" (options.exact and scalars.exact) and the kind of each unestimable
# feature's reason (report.unestimable_kinds). A version 1 file has neither: its partial
# features and new batches used the exact non-parametric estimate, as it loads, and its
# kinds are read from its reasons' texts (see FORMAT_1_REASONS).
FORMAT_VERSION = 2



class ModelLabelWarning(UserWarning):
    """A label that is not a string, number or boolean was saved as its text."""


# ---------------------------------------------------------------------------------------
# Labels in JSON, with their type kept

def _tag(label: Hashable, what: str) -> list[Any]:
    """A label as [type, value]: JSON alone would turn the batch 2019 and the batch
    "2019" into the same thing, or a float label into an int."""
    item = getattr(label, "item", None)
    if callable(item) and not isinstance(label, (str, bytes)):
        label = item()
    if isinstance(label, bool):
        return ["bool", label]
    if isinstance(label, int):
        return ["int", str(label)]  # as text: JSON readers may round big integers
    if isinstance(label, float):
        return ["float", float.hex(label)]  # exact, and NaN and infinities survive
    if isinstance(label, str):
        return ["str", label]
    warnings.warn(
        f"{what} {label!r} is a {type(label).__name__}; the model file stores it as its "
        f"text {str(label)!r}, and the loaded model knows it by that text",
        ModelLabelWarning,
        stacklevel=4,
    )
    return ["str", str(label)]


_INTEGER = re.compile(r"-?[0-9]+")


def _untag(pair: Any, field: str) -> Hashable:
    """The label a [type, value] pair of header field ``field`` stands for."""
    if isinstance(pair, list) and len(pair) == 2 and isinstance(pair[0], str):
        kind, value = pair
        try:
            if kind == "bool" and isinstance(value, bool):
                return value
            if kind == "int" and isinstance(value, str) and _INTEGER.fullmatch(value):
                return int(value)
            if kind == "float" and isinstance(value, str):
                return float.fromhex(value)
            if kind == "str" and isinstance(value, str):
                return value
        except (ValueError, OverflowError):  # too many digits, or not a float's hex text
            pass
    raise ValueError(f"its header field {field!r} is {_shown(pair)}, not a label")


def _label_key(label: Hashable) -> tuple[type, Hashable]:
    """A label as a key that tells the batch 1 from the batch True."""
    return type(label), label


def _tags(labels: Sequence[Hashable], what: str) -> list[list[Any]]:
    return [_tag(label, what) for label in labels]


def _untags(pairs: Any, field: str, distinct: bool = False) -> tuple[Hashable, ...]:
    labels = _items(pairs, field, _untag)
    if distinct:
        keys = [_label_key(label) for label in labels]
        if len(set(keys)) != len(keys):
            raise ValueError(f"its header field {field!r} names a label more than once")
    return labels


def _report_json(report: CombatReport) -> dict[str, Any]:
    return {
        "batches": _tags(report.batches, "batch"),
        "batch_sizes": list(report.batch_sizes),
        "reference": None if report.reference is None else _tag(report.reference, "batch"),
        "covariates": list(report.covariates),
        "parametric": report.parametric,
        "mean_only": report.mean_only,
        "effective_mean_only": report.effective_mean_only,
        "singleton_batches": _tags(report.singleton_batches, "batch"),
        "zero_variance_features": _tags(report.zero_variance_features, "feature"),
        "unestimable_features": [[_tag(f, "feature"), r] for f, r in report.unestimable_features.items()],
        "unestimable_kinds": list(report.unestimable_kinds.values()),
        "n_samples": report.n_samples,
        "n_features": report.n_features,
        "passed_through": _tags(report.passed_through, "feature"),
        "partial_features": [
            [_tag(f, "feature"), _tags(bs, "batch")] for f, bs in report.partial_features.items()
        ],
    }


def _report_from_json(data: Any, version: int) -> CombatReport:
    absent = _absent(version, "report")
    data = _object(data, "report", tuple(f for f in REPORT_FIELDS if f not in absent))
    reasons = _pairs(data["unestimable_features"], "report.unestimable_features", _text)
    if "unestimable_kinds" in absent:
        kinds = _format_1_kinds(reasons)
    else:
        listed = _items(data["unestimable_kinds"], "report.unestimable_kinds",
                        lambda v, f: _text(v, f, KINDS))
        if len(listed) != len(reasons):
            raise ValueError(
                f"its header field 'report.unestimable_kinds' gives the kinds of {len(listed)} "
                f"features, but 'report.unestimable_features' lists {len(reasons)}"
            )
        kinds = dict(zip(reasons, listed))
    return CombatReport(
        batches=_untags(data["batches"], "report.batches"),
        batch_sizes=_items(data["batch_sizes"], "report.batch_sizes", _count),
        reference=None if data["reference"] is None else _untag(data["reference"], "report.reference"),
        covariates=_items(data["covariates"], "report.covariates", _text),
        parametric=_flag(data["parametric"], "report.parametric"),
        mean_only=_flag(data["mean_only"], "report.mean_only"),
        effective_mean_only=_flag(data["effective_mean_only"], "report.effective_mean_only"),
        singleton_batches=_untags(data["singleton_batches"], "report.singleton_batches"),
        zero_variance_features=_untags(data["zero_variance_features"], "report.zero_variance_features"),
        unestimable_features=reasons,
        unestimable_kinds=kinds,
        n_samples=_count(data["n_samples"], "report.n_samples"),
        n_features=_count(data["n_features"], "report.n_features"),
        passed_through=_untags(data["passed_through"], "report.passed_through"),
        partial_features=_pairs(data["partial_features"], "report.partial_features", _untags),
    )


# ---------------------------------------------------------------------------------------
# The model

@dataclass(frozen=True)
class _Options:
    parametric: bool
    mean_only: bool
    reference: Hashable | None
    unestimable: str
    partial_batches: str
    exact: bool = True


class CombatModel:
    """A fitted correction: the batch effects learned from some samples, ready to be
    removed from those samples and from new ones.

    Made by :func:`quarnel.fit` or :func:`quarnel.load_model`. ``batches`` are the batch
    labels of the fit (level ``i`` is batch ``batches[i]``), ``features`` the feature
    labels (column positions for array input), ``covariates`` the encoded covariate
    columns and ``report`` the :class:`CombatReport` of the fit.

    ``exact`` tells which non-parametric estimate the model uses (see
    :func:`quarnel.combat`): the one its partial features were fitted with and new batches
    are estimated with by ``transform(..., new_batches="estimate")``.
    """

    def __init__(
        self,
        model: Mapping[str, Any],
        batches: Sequence[Hashable],
        features: Sequence[Hashable],
        covariates: Sequence[CovariateColumn],
        report: CombatReport,
        options: _Options,
        labelled_features: bool,
    ) -> None:
        self._model = dict(model)
        self.batches: tuple[Hashable, ...] = tuple(batches)
        self.features: tuple[Hashable, ...] = tuple(features)
        self.covariate_columns: tuple[CovariateColumn, ...] = tuple(covariates)
        self.report = report
        self._options = options
        self._labelled_features = labelled_features
        self._levels = {b: i for i, b in enumerate(self.batches)}

    def __repr__(self) -> str:
        return (
            f"<CombatModel: {len(self.batches)} batches, "
            f"{len(self._model['features'])} of {len(self.features)} features corrected>"
        )

    @property
    def covariates(self) -> tuple[str, ...]:
        """Names of the encoded covariate columns (``"donor[F7]"`` for a one-hot level)."""
        return self.report.covariates

    @property
    def reference(self) -> Hashable | None:
        return self._options.reference

    @property
    def exact(self) -> bool:
        """The ``exact`` the model was fitted with. False: its non-parametric posteriors
        (the partial features', and those of new batches it estimates) come from the fast
        estimate; a parametric model has none."""
        return self._options.exact

    def arrays(self) -> dict[str, Any]:
        """The model's numbers as the engine holds them (copies)."""
        return {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in self._model.items()}

    # -- applying ------------------------------------------------------------------------

    def _batch_ids(self, batch: object, unpacked: _Unpacked, new_batches: str) -> tuple[npt.NDArray[np.int64], tuple[Hashable, ...]]:
        n = unpacked.values.shape[0]
        if isinstance(batch, str):
            batch = _column(batch, unpacked.table, "batch")
        elif _is_series(batch):
            batch = _align(batch, unpacked.index, n, "batch", unpacked.allow_extra)
        coding: BatchCoding = encode_batch(batch, n, unpacked.sample_labels)
        unknown = [b for b in coding.levels if b not in self._levels]
        if unknown and new_batches != "estimate":
            shown = ", ".join(repr(b) for b in unknown[:5]) + (f" and {len(unknown) - 5} more" if len(unknown) > 5 else "")
            raise ValueError(
                f"{'batch' if len(unknown) == 1 else 'batches'} {shown} "
                f"{'was' if len(unknown) == 1 else 'were'} not seen when the model was fitted "
                f"(its batches are {list(self.batches)}); new_batches='estimate' estimates "
                "their effects against the model"
            )
        level_of = dict(self._levels)
        for k, label in enumerate(unknown):
            level_of[label] = len(self.batches) + k
        mapping = np.array([level_of[b] for b in coding.levels], dtype=np.int64)
        return np.ascontiguousarray(mapping[coding.ids]), tuple(unknown)

    def _design(self, covariates: object, unpacked: _Unpacked) -> npt.NDArray[np.float64] | None:
        columns = _covariate_columns(covariates, unpacked)
        encoded = reencode_covariates(columns, self.covariate_columns, unpacked.values.shape[0], unpacked.sample_labels)
        return encoded.matrix

    def _check_features(self, unpacked: _Unpacked) -> None:
        n = unpacked.values.shape[1]
        if n != len(self.features):
            raise ValueError(
                f"data has {n} features, but the model was fitted on {len(self.features)}"
            )
        if unpacked.kind == "array" or not self._labelled_features:
            return
        for position, (got, expected) in enumerate(zip(unpacked.feature_labels, self.features)):
            if not _same_label(got, expected):
                raise ValueError(
                    f"feature {position} of the data is {got!r}, but the model's feature "
                    f"{position} is {expected!r}; the data needs the model's features in "
                    "the model's order (select them with data[model.features])"
                )

    def transform_unpacked(
        self, unpacked: _Unpacked, batch: object, covariates: object = None, *,
        new_batches: str = "error", progress: bool = False,
    ) -> tuple[npt.NDArray[np.float64], tuple[Hashable, ...]]:
        """The correction of data already taken out of its container, with the batches
        that were estimated anew."""
        if new_batches not in ("error", "estimate"):
            raise ValueError(f"new_batches must be 'error' or 'estimate', got {new_batches!r}")
        self._check_features(unpacked)
        ids, unknown = self._batch_ids(batch, unpacked, new_batches)
        mod = self._design(covariates, unpacked)
        if is_dask_array(unpacked.values):
            if not unknown:
                return apply_lazily(unpacked.values, self._model, ids, mod), unknown
            # The new batches' priors need their raw effects of every feature: rounds over
            # the chunks before the lazy correction.
            bar = ProgressBar() if progress else None
            try:
                return apply_new_batches_lazily(unpacked.values, self._model, ids, mod, progress=bar), unknown
            finally:
                if bar is not None:
                    bar.close()
        bar = ProgressBar() if progress else None
        try:
            with infinities_named(unpacked):
                result = _engine.apply(
                    self._model, np.ascontiguousarray(unpacked.values), ids, mod,
                    new_batches=bool(unknown), progress=bar,
                )
        finally:
            if bar is not None:
                bar.close()
        return result["adjusted"], unknown

    def transform(
        self,
        data: Any,
        batch: Any,
        covariates: object = None,
        *,
        samples: Any = None,
        new_batches: Literal["error", "estimate"] = "error",
        layer: str | None = None,
        allow_extra_samples: bool = False,
        max_dense_bytes: float = MAX_DENSE_BYTES,
        progress: bool | None = None,
    ) -> Any:
        """Remove the model's batch effects from ``data``.

        ``data``, ``batch``, ``covariates``, ``samples``, ``layer`` and the other options
        are taken as by :func:`quarnel.combat`. Samples of batches seen at fit time are
        corrected with the fitted effects, each on its own: transforming samples one at a
        time gives the same values as transforming them together. Covariates are encoded
        exactly as at fit time (the same columns; an unseen category is an error).

        Parameters
        ----------
        new_batches : {"error", "estimate"}, default "error"
            Batches not seen at fit time: "error" raises a ValueError naming them;
            "estimate" estimates their effects from their own samples against the model
            (its grand mean, covariate effects and pooled variance) and corrects them.

        Returns
        -------
        The same kind of container as ``data``, with its labels; features the model
        passes through come back unchanged.
        """
        unpacked = _unpack(data, samples, layer, allow_extra_samples, max_dense_bytes)
        corrected, _ = self.transform_unpacked(
            unpacked, batch, covariates, new_batches=new_batches,
            progress=interactive() if progress is None else progress,
        )
        return _repack_transform(data, unpacked, corrected, layer)

    # -- inspecting ----------------------------------------------------------------------

    def effects(self) -> Any:
        """Each batch's effect on each corrected feature: one row per batch and feature
        with columns batch, feature, gamma_hat, delta_hat (the raw location and scale
        effects), gamma_star and delta_star (after shrinkage; the ones removed). NaN
        where a feature is not corrected in a batch. A pandas DataFrame when pandas is
        installed, else a dict of NumPy arrays."""
        corrected = self._model["features"]
        n_levels, n_corrected = len(self.batches), len(corrected)
        columns: dict[str, Any] = {
            "batch": _objects([b for b in self.batches for _ in range(n_corrected)]),
            "feature": _objects([self.features[f] for _ in range(n_levels) for f in corrected]),
        }
        for name in EFFECT_ARRAYS:
            columns[name] = np.asarray(self._model[name], dtype=np.float64).reshape(-1).copy()
        return _table(columns)

    def priors(self) -> Any:
        """Each batch's priors: gamma_bar and tau2 (the normal prior of the location
        effects), a_prior and b_prior (the inverse-gamma prior of the scale effects). NaN
        where there is none: the reference batch, a_prior and b_prior when only locations
        are corrected, all of them for non-parametric priors."""
        columns: dict[str, Any] = {"batch": _objects(list(self.batches))}
        for name in ("gamma_bar", "tau2", "a_prior", "b_prior"):
            columns[name] = np.asarray(self._model[name], dtype=np.float64).copy()
        return _table(columns)

    # -- saving --------------------------------------------------------------------------

    def _header(self) -> dict[str, Any]:
        scalars = {k: v for k, v in self._model.items() if not isinstance(v, np.ndarray)}
        for key, value in scalars.items():
            if isinstance(value, (bool, np.bool_)):
                scalars[key] = ["bool", bool(value)]
            elif isinstance(value, (int, np.integer)):
                scalars[key] = ["int", int(value)]
            elif isinstance(value, (float, np.floating)):
                scalars[key] = ["float", float.hex(float(value))]
            else:
                raise TypeError(f"model entry {key!r} is a {type(value).__name__}, which the file cannot hold")
        options = self._options
        return {
            "format": FORMAT_NAME,
            "version": FORMAT_VERSION,
            "batches": _tags(self.batches, "batch"),
            "features": _tags(self.features, "feature"),
            "labelled_features": self._labelled_features,
            "covariates": [
                {"name": c.name, "kind": c.kind, "levels": _tags(c.levels, f"covariate {c.name!r} category")}
                for c in self.covariate_columns
            ],
            "options": {
                "parametric": options.parametric,
                "mean_only": options.mean_only,
                "reference": None if options.reference is None else _tag(options.reference, "batch"),
                "unestimable": options.unestimable,
                "partial_batches": options.partial_batches,
                "exact": options.exact,
            },
            "scalars": scalars,
            "report": _report_json(self.report),
        }

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the model to one file (a NumPy ``.npz`` archive of plain numeric arrays
        and one JSON text; no pickle), read back by :func:`quarnel.load_model`.

        Batch, feature and category labels keep their type when they are strings,
        integers, floats or booleans (NumPy scalars count as these); any other label is
        stored as its text, with a :class:`ModelLabelWarning`.
        """
        header = json.dumps(self._header(), allow_nan=False)
        arrays = {k: v for k, v in self._model.items() if isinstance(v, np.ndarray)}
        if "header" in arrays:  # pragma: no cover - the engine has no such entry
            raise ValueError("the model has an array named 'header'")
        # Written beside the target and renamed over it, so that a failed save never
        # leaves half a model where a whole one was.
        with replacing(path) as temporary, open(temporary, "wb") as out:
            np.savez_compressed(out, header=np.array([header]), **arrays)


def _same_label(a: Hashable, b: Hashable) -> bool:
    try:
        return bool(a == b)
    except (TypeError, ValueError):  # labels that cannot be compared are not the same
        return False


def _objects(values: list[Hashable]) -> npt.NDArray[np.object_]:
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _table(columns: dict[str, Any]) -> Any:
    try:
        import pandas as pd
    except ImportError:
        return columns
    return pd.DataFrame({k: (list(v) if v.dtype == object else v) for k, v in columns.items()})


def _repack_transform(data: Any, unpacked: _Unpacked, corrected: npt.NDArray[np.float64], layer: str | None) -> Any:
    if unpacked.kind == "array":
        return corrected
    if unpacked.kind == "frame":
        return _module("pandas").DataFrame(corrected, index=data.index, columns=data.columns)
    new = data.copy()
    if layer is None:
        new.X = corrected
    else:
        new.layers[layer] = corrected
    return new


# ---------------------------------------------------------------------------------------
# Fitting and loading

def fit_unpacked(
    unpacked: _Unpacked,
    batch: object,
    covariates: object,
    *,
    parametric: bool = True,
    mean_only: bool = False,
    reference: Hashable | None = None,
    unestimable: str = "pass",
    partial_batches: str = "correct",
    progress: bool = False,
    stacklevel: int = 2,
    pass_hint: str = "unestimable='pass' passes them through unchanged",
    exact: bool = True,
) -> CombatModel:
    """The fit proper, on data already taken out of its container."""
    plan = plan_run(
        unpacked, batch, covariates, parametric=parametric, mean_only=mean_only,
        reference=reference, unestimable=unestimable, partial_batches=partial_batches,
        pass_hint=pass_hint, exact=exact,
    )
    result = plan.run(_engine.fit, progress)
    report = report_run(plan, result, unpacked, stacklevel=stacklevel + 1)
    options = _Options(bool(parametric), bool(mean_only), reference, unestimable, partial_batches, bool(exact))
    return CombatModel(
        result["model"], plan.coding.levels, unpacked.feature_labels, plan.covariates.columns,
        report, options, unpacked.kind != "array",
    )


def fit(
    data: Any,
    batch: Any,
    covariates: object = None,
    *,
    samples: Any = None,
    parametric: bool = True,
    exact: bool = True,
    mean_only: bool = False,
    reference: Hashable | None = None,
    unestimable: Literal["pass", "raise"] = "pass",
    partial_batches: Literal["correct", "pass"] = "correct",
    layer: str | None = None,
    allow_extra_samples: bool = False,
    max_dense_bytes: float = MAX_DENSE_BYTES,
    progress: bool | None = None,
) -> CombatModel:
    """Learn the batch effects of ``data`` as a :class:`CombatModel`.

    Takes the arguments of :func:`quarnel.combat` (without ``out_layer`` and
    ``return_report``: the model carries the report) and judges, warns about and treats
    every feature exactly as it does, so that ``quarnel.fit(X, b).transform(X, b)``
    equals ``quarnel.combat(X, b)``. The model can then correct new samples of the same
    batches (:meth:`CombatModel.transform`), be inspected (:meth:`CombatModel.effects`,
    :meth:`CombatModel.priors`, :func:`quarnel.plot_priors`) and be saved
    (:meth:`CombatModel.save`).
    """
    unpacked = _unpack(data, samples, layer, allow_extra_samples, max_dense_bytes)
    return fit_unpacked(
        unpacked, batch, covariates, parametric=parametric, mean_only=mean_only,
        reference=reference, unestimable=unestimable, partial_batches=partial_batches,
        progress=interactive() if progress is None else progress, stacklevel=3, exact=exact,
    )


def load_model(path: str | os.PathLike[str]) -> CombatModel:
    """Read a model written by :meth:`CombatModel.save`.

    Every field of the header and every array is judged here (type, dtype, shape against
    the header's counts, layout, the values the model needs), so that a model that loads
    can be applied.

    Raises
    ------
    ValueError
        The file is not a quarnel model, is damaged or truncated, or was written by a
        newer quarnel; the message names the field or array at fault.
    """
    name = os.fspath(path)
    arrays = _read_archive(name)
    header_array = arrays.pop("header", None)
    if header_array is None:
        raise ValueError(f"{name} is not a quarnel model file (it holds no model header)")
    try:
        if header_array.shape != (1,) or header_array.dtype.kind != "U":
            raise ValueError("its header is not one text")
        try:
            header = json.loads(str(header_array[0]))
        except RecursionError:
            raise ValueError(f"its header nests deeper than {MAX_HEADER_DEPTH} levels") from None
        if not isinstance(header, dict):
            raise ValueError("its header is not a JSON object")
        if _depth(header) > MAX_HEADER_DEPTH:
            raise ValueError(f"its header nests deeper than {MAX_HEADER_DEPTH} levels")
    except ValueError as err:
        raise ValueError(f"model file {name} is damaged: {err}") from None
    if header.get("format") != FORMAT_NAME:
        raise ValueError(f"{name} is not a quarnel model file (its format is {_shown(header.get('format'))})")
    version = header.get("version")
    if not isinstance(version, int) or isinstance(version, bool):
        raise ValueError(f"model file {name} is damaged: its format version is {_shown(version)}")
    if version > FORMAT_VERSION:
        raise ValueError(
            f"model file {name} was written by a newer quarnel (format version {version}; "
            f"this one reads {FORMAT_VERSION}); update quarnel to read it"
        )
    try:
        return _model_from(header, arrays, version)
    except ValueError as err:
        raise ValueError(f"model file {name} is damaged: {err}") from None


# Whatever a broken archive makes zipfile, zlib or NumPy's reader raise: a flipped byte can
# mark a member encrypted (RuntimeError) or compressed by an unknown method
# (NotImplementedError), or break the Python literal of an array's header (which NumPy
# tokenizes).
_BROKEN_ARCHIVE = (
    ValueError, OSError, EOFError, zipfile.BadZipFile, zlib.error, KeyError, IndexError,
    NotImplementedError, RuntimeError, OverflowError, struct.error, tokenize.TokenError, SyntaxError,
)


def _read_archive(name: str) -> dict[str, npt.NDArray[Any]]:
    # The file is opened here, not by np.load, so that it is closed however the archive
    # turns out to be broken.
    with open(name, "rb") as handle:
        try:
            loaded = np.load(handle, allow_pickle=False)
        except _BROKEN_ARCHIVE as err:
            raise ValueError(
                f"{name} is not a quarnel model file: it is not a NumPy .npz archive, or it "
                f"is truncated or damaged ({err})"
            ) from None
        if not isinstance(loaded, np.lib.npyio.NpzFile):
            raise ValueError(f"{name} is not a quarnel model file: it holds a single NumPy array")
        try:
            with loaded:
                return {k: loaded[k] for k in loaded.files}
        except _BROKEN_ARCHIVE as err:
            raise ValueError(
                f"model file {name} is truncated or damaged ({type(err).__name__}: {err})"
            ) from None


# ---------------------------------------------------------------------------------------
# What a model file holds: every field is judged before the model is built, so that a
# file that loads is a model the engine can apply.

# How deep the header may nest; the deepest field a model writes (a batch label in
# report.partial_features) is seven levels down, counting the header itself.
MAX_HEADER_DEPTH = 16

HEADER_FIELDS = ("format", "version", "batches", "features", "labelled_features", "covariates",
                 "options", "scalars", "report")
OPTION_FIELDS = ("parametric", "mean_only", "reference", "unestimable", "partial_batches", "exact")
COVARIATE_FIELDS = ("name", "kind", "levels")
REPORT_FIELDS = (
    "batches", "batch_sizes", "reference", "covariates", "parametric", "mean_only",
    "effective_mean_only", "singleton_batches", "zero_variance_features",
    "unestimable_features", "unestimable_kinds", "n_samples", "n_features", "passed_through",
    "partial_features",
)
OPTION_CHOICES = {"unestimable": ("pass", "raise"), "partial_batches": ("correct", "pass")}
COVARIATE_KINDS = ("numeric", "categorical")

# The engine's plain entries: the type each is saved as and what it must equal.
SCALAR_LAYOUT: dict[str, tuple[str, str]] = {
    "n_features": ("int", "the number of features the header names"),
    "n_covariates": ("int", "the number of covariate columns its covariates make"),
    "reference": ("int", "the level of options.reference (-1 without one)"),
    "par_prior": ("bool", "options.parametric"),
    "exact": ("bool", "options.exact"),
    "mean_only": ("bool", "options.mean_only"),
    "effective_mean_only": ("bool", "report.effective_mean_only"),
}

# The engine's arrays, as the core lays them out (_engine.MODEL_ARRAYS: dtype and shape in
# the model's counts, in the order they are judged), and what the values must be. n_levels
# is the number of batches; the other counts (n_corrected features, n_zero_variance
# features, n_used covariate columns) are set by the first array measured in them. Every
# array is C-contiguous, as the engine reads it in place; every other entry of the engine's
# model is a plain number or flag.
_VALUES = {
    "batch_ids": "the level numbers 0, 1, ...",
    "level_sizes": "positive",
    "features": "strictly ascending feature positions",
    "zero_variance_features": "feature positions",
    "covariate_columns": "strictly ascending covariate columns",
    "grand_mean": "finite",
    "pooled_variance": "positive",
    "covariate_coefficients": "finite",
    "corrected": "0 or 1",
    "gamma_hat": "finite or NaN",
    "delta_hat": "non-negative or NaN",
    "gamma_star": "finite where corrected",
    "delta_star": "positive where corrected",
    "gamma_bar": "finite or NaN",
    "tau2": "non-negative or NaN",
    "a_prior": "positive or NaN",
    "b_prior": "positive or NaN",
}
ARRAY_LAYOUT: dict[str, tuple[str, tuple[str, ...], str]] = {
    name: (dtype, axes, _VALUES[name]) for name, dtype, axes in _engine.MODEL_ARRAYS
}
assert set(ARRAY_LAYOUT) == set(_VALUES), "a value rule for every array of the engine's model"
# Each batch's raw and posterior effects on every corrected feature.
EFFECT_ARRAYS = tuple(name for name, (dtype, axes, _) in ARRAY_LAYOUT.items()
                      if dtype == "float64" and axes == ("n_levels", "n_corrected"))

# The fields each format version added, and what a file older than that means by their
# absence: it reads as if it held that value.
# A report's kinds stand for nothing fixed: the loader reads them from its reasons (None).
ADDED_FIELDS: dict[int, dict[str, Any]] = {
    2: {"options.exact": True, "scalars.exact": True, "report.unestimable_kinds": None},
}
_GROUPS: dict[str, Collection[str]] = {"options": OPTION_FIELDS, "scalars": SCALAR_LAYOUT, "report": REPORT_FIELDS}
assert all(f.split(".")[1] in _GROUPS[f.split(".")[0]] for added in ADDED_FIELDS.values() for f in added)

# The reasons a version 1 file gives its unestimable features, as quarnel wrote them then
# ("{batch!r}" stands for a batch's label), and the kind of each. Version 1 stored no kinds,
# so its kinds are read back from these texts, once, when such a file is loaded. This is
# the only place a reason's text is read back into its kind, and it is for version 1 files
# only: later files store the kinds, and later texts may be worded differently.
FORMAT_1_REASONS: tuple[tuple[str, str], ...] = (
    ("no observed value in batch {batch!r}", "no_values"),
    ("fewer than two observed values in batch {batch!r}", "few_values"),
    ("fewer than two observed values in reference batch {batch!r}", "few_values"),
    ("too few observed values to estimate the residual variance", "no_residual"),
    ("covariate effects cannot be estimated from the observed samples", "singular"),
    ("observed values all equal in batch {batch!r}", "equal_values"),
    ("its own estimates failed numerically", "numerical"),
    ("observed in fewer than two batches", "one_batch"),
    ("not observed in reference batch {batch!r}", "no_reference"),
    ("too few fully observed features to form priors", "no_prior"),
    ("the design fits every value of batch {batch!r} exactly, leaving it no spread", "level_fitted"),
    ("values too large to square in double precision (residuals beyond about 1e154): scale them down", "too_large"),
    ("the design fits its observed values exactly, leaving no spread to estimate a variance from", "explained"),
    ("observed values leave no spread to estimate a variance from", "explained"),  # its first wording
)
assert {k for _, k in FORMAT_1_REASONS} <= set(KINDS)


def _format_1_kind(text: str, field: str) -> str:
    for template, kind in FORMAT_1_REASONS:
        start, batch, end = template.partition("{batch!r}")
        if text == template or (batch and len(text) > len(start) + len(end)
                                and text.startswith(start) and text.endswith(end)):
            return kind
    raise ValueError(f"its header field {field!r} is {_shown(text)}, not a reason quarnel gave")


def _format_1_kinds(reasons: Mapping[Hashable, str]) -> dict[Hashable, str]:
    """The kinds of a version 1 file's unestimable features, read from their reasons."""
    return {
        label: _format_1_kind(text, f"report.unestimable_features[{i}][1]")
        for i, (label, text) in enumerate(reasons.items())
    }


def _absent(version: int, group: str) -> dict[str, Any]:
    """The fields of `group` (options, scalars or report) a file of `version` does not hold,
    with the value each stands for."""
    return {
        field.split(".")[1]: value
        for since, added in ADDED_FIELDS.items() if version < since
        for field, value in added.items() if field.startswith(f"{group}.")
    }


def _ascending(a: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    ok = np.ones(a.shape, dtype=bool)
    ok[1:] = a[1:] > a[:-1]
    return ok


def _unless_uncorrected(ok: npt.NDArray[np.bool_], seen: Mapping[str, Any]) -> npt.NDArray[np.bool_]:
    # Where a feature is not corrected in a level (a partial feature's unobserved batch)
    # its effects are NaN and never read.
    return ok | (seen["corrected"] == 0)


# Each rule of ARRAY_LAYOUT as a test of every entry, given the counts and arrays judged so
# far.
_RULES: dict[str, Callable[[npt.NDArray[Any], Mapping[str, Any]], npt.NDArray[np.bool_]]] = {
    "the level numbers 0, 1, ...": lambda a, seen: a == np.arange(a.size),
    "positive": lambda a, seen: np.isfinite(a) & (a > 0),
    "finite": lambda a, seen: np.isfinite(a),
    "strictly ascending feature positions": lambda a, seen: (a >= 0) & (a < seen["n_features"]) & _ascending(a),
    "feature positions": lambda a, seen: (a >= 0) & (a < seen["n_features"]),
    "strictly ascending covariate columns": lambda a, seen: (a >= 0) & (a < seen["n_covariates"]) & _ascending(a),
    "0 or 1": lambda a, seen: a <= 1,
    "finite or NaN": lambda a, seen: ~np.isinf(a),
    "non-negative or NaN": lambda a, seen: np.isnan(a) | (np.isfinite(a) & (a >= 0)),
    "positive or NaN": lambda a, seen: np.isnan(a) | (np.isfinite(a) & (a > 0)),
    "finite where corrected": lambda a, seen: _unless_uncorrected(np.isfinite(a), seen),
    "positive where corrected": lambda a, seen: _unless_uncorrected(np.isfinite(a) & (a > 0), seen),
}
assert {rule for _, _, rule in ARRAY_LAYOUT.values()} == set(_RULES)


def _shown(value: Any) -> str:
    """A header value in a message, cut short."""
    try:
        text = repr(value)
    except ValueError:  # an integer of more digits than Python prints
        text = f"an integer of {value.bit_length()} bits"
    return text if len(text) <= 60 else text[:57] + "..."


def _depth(value: Any) -> int:
    """How deep a JSON value nests, without recursing; stops counting past the limit."""
    deepest, stack = 0, [(value, 1)]
    while stack and deepest <= MAX_HEADER_DEPTH:
        item, depth = stack.pop()
        deepest = max(deepest, depth)
        children = item.values() if isinstance(item, dict) else item if isinstance(item, list) else ()
        stack.extend((child, depth + 1) for child in children)
    return deepest


def _object(value: Any, field: str, keys: Sequence[str]) -> dict[str, Any]:
    if not isinstance(value, dict):
        raise ValueError(f"its header field {field!r} is {_shown(value)}, not a JSON object")
    for key in keys:
        if key not in value:
            raise ValueError(f"its header lacks the field {f'{field}.{key}'!r}")
    for key in value:
        if key not in keys:
            raise ValueError(f"its header holds the unknown field {f'{field}.{key}'!r}")
    return value


def _list(value: Any, field: str) -> list[Any]:
    if not isinstance(value, list):
        raise ValueError(f"its header field {field!r} is {_shown(value)}, not a list")
    return value


def _items(value: Any, field: str, read: Callable[[Any, str], Any]) -> tuple[Any, ...]:
    return tuple(read(item, f"{field}[{i}]") for i, item in enumerate(_list(value, field)))


def _pairs(value: Any, field: str, read: Callable[[Any, str], Any]) -> dict[Hashable, Any]:
    """A list of [label, value] pairs as a dict."""
    out: dict[Hashable, Any] = {}
    for i, item in enumerate(_list(value, field)):
        if not isinstance(item, list) or len(item) != 2:
            raise ValueError(f"its header field {f'{field}[{i}]'!r} is {_shown(item)}, not a pair")
        out[_untag(item[0], f"{field}[{i}][0]")] = read(item[1], f"{field}[{i}][1]")
    return out


def _flag(value: Any, field: str) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"its header field {field!r} is {_shown(value)}, not true or false")
    return value


def _count(value: Any, field: str) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or value < 0:
        raise ValueError(f"its header field {field!r} is {_shown(value)}, not a count")
    return value


def _text(value: Any, field: str, choices: Sequence[str] | None = None) -> str:
    if not isinstance(value, str) or (choices is not None and value not in choices):
        wanted = "a text" if choices is None else f"one of {list(choices)}"
        raise ValueError(f"its header field {field!r} is {_shown(value)}, not {wanted}")
    return value


def _covariate(value: Any, field: str) -> CovariateColumn:
    value = _object(value, field, COVARIATE_FIELDS)
    kind = _text(value["kind"], f"{field}.kind", COVARIATE_KINDS)
    levels = _untags(value["levels"], f"{field}.levels", distinct=True)
    if (kind == "numeric") != (not levels):
        what = "no categories" if kind == "numeric" else "at least one category"
        raise ValueError(f"its header field {f'{field}.levels'!r} holds {len(levels)}; a {kind} covariate has {what}")
    return CovariateColumn(_text(value["name"], f"{field}.name"), kind, levels)


def _scalars(value: Any, expected: Mapping[str, Any], version: int) -> dict[str, Any]:
    """The engine's plain entries, each of the type SCALAR_LAYOUT gives and equal to what
    the rest of the header says it is; those a file of `version` predates are filled in."""
    absent = _absent(version, "scalars")
    value = _object(value, "scalars", tuple(k for k in SCALAR_LAYOUT if k not in absent))
    out: dict[str, Any] = {}
    for key, (kind, meaning) in SCALAR_LAYOUT.items():
        if key in absent:
            out[key] = absent[key]
            continue
        field = f"scalars.{key}"
        pair = value[key]
        if not isinstance(pair, list) or len(pair) != 2 or pair[0] != kind:
            raise ValueError(f"its header field {field!r} is {_shown(pair)}, not [{kind!r}, ...]")
        item = pair[1]
        if type(item) is not type(expected[key]) or item != expected[key]:
            raise ValueError(
                f"its header field {field!r} holds {_shown(item)}, not {meaning} ({expected[key]!r})"
            )
        out[key] = item
    return out


def _judge_arrays(arrays: Mapping[str, npt.NDArray[Any]], counts: Mapping[str, int]) -> dict[str, npt.NDArray[Any]]:
    """The arrays, each found as ARRAY_LAYOUT describes it."""
    unknown = sorted(set(arrays) - set(ARRAY_LAYOUT))
    if unknown:
        raise ValueError(f"it holds the unknown array {unknown[0]!r}")
    seen: dict[str, Any] = dict(counts)
    for key, (dtype, axes, rule) in ARRAY_LAYOUT.items():
        if key not in arrays:
            raise ValueError(f"it lacks the array {key!r}")
        array = arrays[key]
        if array.dtype != np.dtype(dtype):
            raise ValueError(f"array {key!r} is {array.dtype}, not {dtype}")
        for axis, extent in zip(axes, array.shape):
            seen.setdefault(axis, extent)
        shape = tuple(seen.get(axis, 0) for axis in axes)
        if array.shape != shape:
            raise ValueError(f"array {key!r} has shape {array.shape}, not {shape} ({' x '.join(axes)})")
        if not array.flags.c_contiguous:
            raise ValueError(f"array {key!r} is not in row-major (C) order")
        ok = _RULES[rule](array, seen)
        if not ok.all():
            at = [int(i) for i in np.argwhere(~ok)[0]]
            raise ValueError(f"array {key!r} holds {array[tuple(at)].item()!r} at {at}, where it must be {rule}")
        seen[key] = array
    return {key: arrays[key] for key in ARRAY_LAYOUT}


def _model_from(header: Mapping[str, Any], arrays: Mapping[str, npt.NDArray[Any]], version: int) -> CombatModel:
    header = _object(header, "header", HEADER_FIELDS)
    batches = _untags(header["batches"], "batches", distinct=True)
    if len(batches) < 2:
        raise ValueError(f"its header names {len(batches)} batches; a model has at least two")
    features = _untags(header["features"], "features")
    if not features:
        raise ValueError("its header names no features")
    labelled = _flag(header["labelled_features"], "labelled_features")
    covariates = _items(header["covariates"], "covariates", _covariate)
    if len({c.name for c in covariates}) != len(covariates):
        raise ValueError("its header field 'covariates' names a covariate more than once")
    absent = _absent(version, "options")
    options = {**absent, **_object(header["options"], "options", tuple(f for f in OPTION_FIELDS if f not in absent))}
    reference = None if options["reference"] is None else _untag(options["reference"], "options.reference")
    keys = [_label_key(b) for b in batches]
    if reference is not None and _label_key(reference) not in keys:
        raise ValueError(f"its header field 'options.reference' is {_shown(reference)}, not one of its batches")
    chosen = _Options(
        _flag(options["parametric"], "options.parametric"), _flag(options["mean_only"], "options.mean_only"),
        reference, *(_text(options[k], f"options.{k}", v) for k, v in OPTION_CHOICES.items()),
        _flag(options["exact"], "options.exact"),
    )
    report = _report_from_json(header["report"], version)
    agreements = (
        ("report.batches", _tags(report.batches, "batch") == _tags(batches, "batch")),
        ("report.n_features", report.n_features == len(features)),
        ("report.batch_sizes", len(report.batch_sizes) == len(batches)),
    )
    for field, agrees in agreements:
        if not agrees:
            raise ValueError(f"its header field {field!r} does not agree with the header's batches and features")
    width = sum(1 if c.kind == "numeric" else len(c.levels) - 1 for c in covariates)
    model: dict[str, Any] = _scalars(header["scalars"], {
        "n_features": len(features),
        "n_covariates": width,
        "reference": -1 if reference is None else keys.index(_label_key(reference)),
        "par_prior": chosen.parametric,
        "exact": chosen.exact,
        "mean_only": chosen.mean_only,
        "effective_mean_only": report.effective_mean_only,
    }, version)
    model.update(_judge_arrays(arrays, {"n_levels": len(batches), **model}))
    if tuple(int(n) for n in model["level_sizes"]) != report.batch_sizes:
        raise ValueError(
            f"array 'level_sizes' holds {model['level_sizes'].tolist()}, but its header field "
            f"'report.batch_sizes' says {list(report.batch_sizes)}"
        )
    return CombatModel(model, batches, features, covariates, report, chosen, labelled)
