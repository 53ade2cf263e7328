"""Corrections of Dask arrays chunked along features, bit for bit those made in memory.

The run goes in rounds over the chunks, each chunk task calling the compiled stages with
every sample and the chunk's features (see ``quarnel/stages.hpp`` in the core): one read
for the verdicts and the raw estimates, reads of the solvers' traces that find where each
level's solver stops and give each chunk's part of the model on the way (a chunk is read
once more to fit only where they do not, and when nothing is traced), then the correction,
one more read; a model applied to batches it has not seen adds rounds of those batches' raw
effects and solvers. Between rounds only small records travel to the client: a few bytes
per feature, or one value per batch and feature. The correction itself stays lazy, one
task per chunk. Records cross processes in whatever buffers pickling gives them, so each
is made aligned where it arrives (_received). On a distributed cluster a round reports its
chunks done to a progress callback, and an interrupted round's tasks are cancelled. Dask
is imported only when a Dask array is given.
"""

from __future__ import annotations

import sys
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _engine


class RechunkWarning(UserWarning):
    """A Dask array split along samples was rechunked to hold every sample in each chunk."""


def is_dask_array(obj: object) -> bool:
    array = sys.modules.get("dask.array")
    return array is not None and isinstance(obj, array.Array)


def feature_chunks(matrix: Any, *, stacklevel: int = 2) -> Any:
    """The matrix as float64 with every sample in each chunk, rechunked with a warning
    where its chunks split the samples."""
    if matrix.ndim != 2:
        raise ValueError(
            f"data must be two-dimensional (samples × features), got {matrix.ndim} dimensions"
        )
    matrix = matrix.astype(np.float64)
    if len(matrix.chunks[0]) > 1:
        widths = bounded_widths(matrix.chunks[1], matrix.shape[0])
        warnings.warn(
            f"the Dask array is split along samples ({len(matrix.chunks[0])} chunks); every "
            "chunk needs all samples, so it was rechunked to one chunk along samples and "
            f"{len(widths)} along features (its {len(matrix.chunks[1])} feature chunks, split "
            "where a chunk of every sample would exceed Dask's array.chunk-size). Chunk along "
            "features (e.g. .rechunk({0: -1, 1: 'auto'})) to avoid the extra pass",
            RechunkWarning,
            stacklevel=stacklevel + 1,
        )
        matrix = matrix.rechunk({0: -1, 1: widths})
    return matrix


def dense_chunks(matrix: Any) -> Any:
    """The matrix with its sparse chunks (as AnnData reads a sparse matrix lazily) made
    dense one chunk at a time, where a task needs them."""
    return matrix.map_blocks(_dense, dtype=np.float64, meta=np.empty((0, 0)))


def _dense(block: Any) -> npt.NDArray[np.float64]:
    return np.asarray(block.toarray(), dtype=np.float64)


def bounded_widths(widths: Sequence[int], n_samples: int) -> tuple[int, ...]:
    """The feature chunks' widths, each chunk split into near-equal parts where it would
    exceed Dask's target chunk size once it holds every sample: joining the sample chunks
    of a wide chunk would otherwise make a block larger than a worker's memory."""
    import dask
    from dask.utils import parse_bytes

    limit = parse_bytes(dask.config.get("array.chunk-size"))
    most = max(1, limit // (8 * max(n_samples, 1)))
    out: list[int] = []
    for width in widths:
        parts = max(1, -(-width // most))
        size, extra = divmod(width, parts)
        out += [size + 1] * extra + [size] * (parts - extra)
    return tuple(out)


def _starts(matrix: Any) -> list[int]:
    return [0, *np.cumsum(matrix.chunks[1]).tolist()]


def _block(block: Any) -> npt.NDArray[np.float64]:
    return np.require(block, dtype=np.float64, requirements=["C", "A"])


def _received(obj: Any) -> Any:
    """A record as the engine reads it in place, whatever buffer it came in. A record that
    crossed processes arrives in buffers pickling chose: read-only, or unaligned to its
    elements. Every record a task is given or returns passes through here, and an array is
    copied only when it is not aligned and C-contiguous."""
    if isinstance(obj, np.ndarray):
        aligned = obj.ctypes.data % max(obj.dtype.alignment, 1) == 0
        return obj if aligned and obj.flags.c_contiguous else np.array(obj, order="C", copy=True)
    if isinstance(obj, dict):
        return {k: _received(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return type(obj)(_received(v) for v in obj)
    return obj


def _receiving(task: Callable[..., Any]) -> Callable[..., Any]:
    """The task with its records received as the engine reads them."""

    def run(*args: Any) -> Any:
        return task(*_received(args))

    return run


def _guarded(task: Callable[..., Any]) -> Callable[..., Any]:
    """The task with the core's errors returned rather than raised, so that the client
    raises the first chunk's, as a run over the whole matrix would meet it first."""
    received = _receiving(task)

    def run(*args: Any) -> Any:
        try:
            return received(*args)
        except (ValueError, RuntimeError) as err:
            return _Failure(err)

    return run


class _Failure:
    def __init__(self, error: BaseException) -> None:
        self.error = error


# What a callback is told of a round's progress: (round, chunks done, chunks in all).
Progress = Callable[[str, int, int], None]


def _round(matrix: Any, task: Callable[..., Any], per_chunk: Sequence[tuple[Any, ...]] | None = None,
           *shared: Any, stage: str, progress: Progress | None = None,
           chunks: Sequence[int] | None = None) -> list[Any]:
    """task(block, *chunk_args, *shared) on every chunk (or on `chunks` only), computed; the
    first failure raised. progress, when given, hears of every chunk done."""
    import dask

    blocks = matrix.to_delayed().ravel().tolist()
    guarded = dask.delayed(_guarded(task), pure=True)
    extra = per_chunk if per_chunk is not None else [()] * len(blocks)
    which = range(len(blocks)) if chunks is None else chunks
    results = _received(_compute([guarded(blocks[c], *extra[c], *shared) for c in which], stage, progress))
    for result in results:
        if isinstance(result, _Failure):
            raise result.error
    return list(results)


def _client() -> Any:
    """The distributed Client that dask.compute would run on, if any."""
    if "distributed" not in sys.modules:
        return None
    import dask.base

    client = getattr(dask.base.get_scheduler(), "__self__", None)
    return client if type(client).__name__ == "Client" else None


def _compute(tasks: list[Any], stage: str, progress: Progress | None) -> list[Any]:
    """The tasks' results. On a distributed cluster the round's futures are cancelled when
    the wait for them is interrupted (Ctrl-C on the client) or fails."""
    import dask

    client = _client()
    if client is None:
        if progress is None:
            return list(dask.compute(*tasks))
        from dask.callbacks import Callback

        keys, done = {t.key for t in tasks}, [0]

        def finished(key: Any, *_: Any) -> None:
            if key in keys:
                done[0] += 1
                progress(stage, done[0], len(tasks))

        with Callback(posttask=finished):
            return list(dask.compute(*tasks))
    from distributed import as_completed

    futures = client.compute(tasks)
    try:
        if progress is not None:
            for done, _ in enumerate(as_completed(futures), 1):
                progress(stage, done, len(futures))
        return list(client.gather(futures))
    except BaseException:
        client.cancel(futures)
        raise


def _judge(block: Any, ids: Any, mod: Any, options: dict[str, Any], missing: bool | None,
           judge_scales: bool | None) -> Mapping[str, Any]:
    try:
        return _engine.judge(_block(block), ids, mod, missing=missing, judge_scales=judge_scales, **options)
    except ValueError as err:
        # The first infinite value in storage order, which the core finds as it checks the
        # chunk, is named by the client with its labels.
        if getattr(err, "kind", None) != "NonFiniteDenseValue":
            raise
        return {"infinite": (int(err.sample), int(err.feature))}


def _judged_in(matrix: Any, records: list[Any], ids: Any, mod: Any, options: dict[str, Any], missing: bool,
               judge_scales: bool | None, needed: Callable[[int], bool], progress: Progress | None) -> list[Any]:
    """The records, the chunks with kept features that `needed` names judged in the missing-
    data mode given (and, unless judge_scales is None, judging scales so) where they were
    judged otherwise: a chunk's earlier record in that mode is taken again, else the chunk
    is read again."""

    def fits(record: Mapping[str, Any]) -> bool:
        return bool(record["missing"] == missing and judge_scales in (None, record["judge_scales"]))

    out, again = list(records), []
    for c, record in enumerate(records):
        if not record["kept"].size or not needed(c) or fits(record):
            continue
        earlier = record.get("earlier")
        if earlier is not None and fits(earlier):
            out[c] = earlier
        else:
            again.append(c)
    if again:
        redone = _round(matrix, _judge, None, ids, mod, options, missing, judge_scales, stage="verdicts",
                        progress=progress, chunks=again)
        for c, record in zip(again, redone):
            out[c] = {**record, "earlier": records[c]}
    return out


def judge_chunks(matrix: Any, ids: Any, mod: Any, options: dict[str, Any],
                 on_infinite: Callable[[int, int], None], progress: Progress | None = None) -> list[Any]:
    """Every chunk's first read, in the mode of all of its kept features: the verdicts on its
    features, and the raw estimates of those the zero-variance test keeps. A chunk is judged
    in the mode its own values suggest, and again only if the run's turns out otherwise."""
    records = _round(matrix, _judge, None, ids, mod, options, None, None, stage="verdicts", progress=progress)
    for start, record in zip(_starts(matrix), records):
        if "infinite" in record:
            sample, feature = record["infinite"]
            on_infinite(sample, start + feature)
    n_kept = sum(r["kept"].size for r in records)
    missing = any(r["holds_nan"].any() for r in records)
    mode = _engine.run_mode(ids, options["mean_only"], n_kept, missing)
    return _judged_in(matrix, records, ids, mod, options, mode[0], not mode[1], lambda c: True, progress)


def _local(features: npt.NDArray[np.int64], start: int, stop: int) -> npt.NDArray[np.int64]:
    """The ascending `features` in [start, stop), numbered from start: found by bisection,
    so that splitting many features over many chunks stays linear."""
    first, last = np.searchsorted(features, [start, stop])
    return (features[first:last] - start).astype(np.int64)


def _trace(block: Any, complete: Any, partial: Any, offset: int, ids: Any, mod: Any, options: dict[str, Any],
           mode: tuple, gamma_hat: Any, delta_hat: Any, explore_from: Any, exact: bool) -> Mapping[str, Any]:
    return _engine.trace(_block(block), ids, mod, complete=complete, partial=partial, mode=mode,
                         gamma_hat=gamma_hat, delta_hat=delta_hat, offset=offset, explore_from=explore_from,
                         exact=exact, **options)


def _fit(block: Any, complete: Any, partial: Any, offset: int, ids: Any, mod: Any,
         options: dict[str, Any], mode: tuple, gamma_hat: Any, delta_hat: Any, passes: Any,
         exact: bool) -> dict[str, Any]:
    return _engine.fit_chunk(_block(block), ids, mod, complete=complete, partial=partial, mode=mode,
                             gamma_hat=gamma_hat, delta_hat=delta_hat, offset=offset,
                             passes=passes, exact=exact, **options)


def _stops_where_traced(traces: list[Any], passes: Any) -> bool:
    """Whether every level of a chunk stops at the pass where its trace ended."""
    return all(len(changes) == int(p) for (changes, _), p in zip(traces, passes))


def fit_chunks(matrix: Any, ids: Any, mod: Any, options: dict[str, Any], judged: list[Any],
               complete: npt.NDArray[np.int64], partial: npt.NDArray[np.int64],
               progress: Progress | None = None) -> list[dict[str, Any]]:
    """Every chunk's part of the run's model (fit's result for its features), from the
    chunks' first reads: the raw estimates gathered, the solvers traced where they run,
    and a chunk read once more to fit only where its traced part is not the run's."""
    exact = bool(options["exact"])
    options = {k: v for k, v in options.items() if k != "exact"}
    starts = _starts(matrix)
    bounds = list(zip(starts[:-1], starts[1:]))
    completes = [_local(complete, start, stop) for start, stop in bounds]
    partials = [_local(partial, start, stop) for start, stop in bounds]

    def chosen(records: list[Any]) -> list[npt.NDArray[np.bool_]]:
        return [np.isin(r["kept"], c, assume_unique=True) for r, c in zip(records, completes)]

    picks = chosen(judged)
    mode = _engine.run_mode(ids, options["mean_only"], int(sum(p.sum() for p in picks)),
                            any(r["holds_nan"][p].any() for r, p in zip(judged, picks)))
    # A NaN only in features left out of the run: its features are judged anew in its mode.
    judged = _judged_in(matrix, judged, ids, mod, options, mode[0], None, lambda c: bool(picks[c].any()), progress)
    for record, pick in zip(judged, picks):
        if pick.any() and record["location_error"] is not None:
            raise record["location_error"]
    gamma_hat = np.ascontiguousarray(np.concatenate([r["gamma_hat"][:, p] for r, p in zip(judged, picks)], axis=1))
    n_levels, n_kept = gamma_hat.shape
    if mode[1]:
        delta_hat = np.ones((n_levels, n_kept))
        counts = np.zeros((n_levels, n_kept), dtype=np.int64)
    else:
        delta_hat = np.ascontiguousarray(np.concatenate([r["delta_hat"][:, p] for r, p in zip(judged, picks)], axis=1))
        counts = np.ascontiguousarray(np.concatenate([r["counts"][:, p] for r, p in zip(judged, picks)], axis=1))
    offsets = np.concatenate([[0], np.cumsum([p.sum() for p in picks])]).astype(int).tolist()
    settled = _engine.settle(ids, mode=mode, gamma_hat=gamma_hat, delta_hat=delta_hat, counts=counts,
                             traces=None, **options)
    per_chunk = list(zip(completes, partials, offsets))
    traced: list[Any] = [None] * len(bounds)
    while not settled["settled"]:
        traced = _round(matrix, _trace, per_chunk, ids, mod, options, mode, gamma_hat, delta_hat,
                        settled["explore_from"], exact, stage="solver", progress=progress)
        settled = _engine.settle(ids, mode=mode, gamma_hat=gamma_hat, delta_hat=delta_hat,
                                 counts=counts, traces=[t["traces"] for t in traced], **options)
    parts = [t["fit"] if t is not None and t["fit"] is not None and _stops_where_traced(t["traces"], settled["passes"])
             else None for t in traced]
    again = [c for c, part in enumerate(parts) if part is None]
    if again:
        fitted = _round(matrix, _fit, per_chunk, ids, mod, options, mode, gamma_hat, delta_hat,
                        settled["passes"], exact, stage="model", progress=progress, chunks=again)
        for c, part in zip(again, fitted):
            parts[c] = part
    return parts


# Per-feature entries of a model, and the axis their features run along (the features'
# positions themselves are joined apart, each chunk's moved by where it starts).
_FEATURE_AXES = {name: axes.index("n_corrected") for name, _, axes in _engine.MODEL_ARRAYS
                 if "n_corrected" in axes and name != "features"}


def joined_fit(parts: list[dict[str, Any]], starts: Sequence[int]) -> dict[str, Any]:
    """The chunks' fits as one: fit's result for the whole matrix."""
    models = [p["model"] for p in parts]
    model = dict(models[0])
    model["n_features"] = int(starts[-1])
    model["features"] = np.concatenate([m["features"] + s for m, s in zip(models, starts)])
    model["zero_variance_features"] = np.concatenate(
        [m["zero_variance_features"] + s for m, s in zip(models, starts)])
    for key, axis in _FEATURE_AXES.items():
        model[key] = np.ascontiguousarray(np.concatenate([m[key] for m in models], axis=axis))
    report = dict(parts[0]["report"])
    report["zero_variance_features"] = [
        int(f) + s for p, s in zip(parts, starts) for f in p["report"]["zero_variance_features"]]
    return {
        "model": model,
        "report": report,
        "partial_issue": np.concatenate([p["partial_issue"] for p in parts]),
        "partial_batch": np.concatenate([p["partial_batch"] for p in parts]),
        "partial_batches": [b for p in parts for b in p["partial_batches"]],
    }


def model_part(model: dict[str, Any], start: int, stop: int) -> dict[str, Any]:
    """The model restricted to features [start, stop), numbered from 0."""
    features = np.asarray(model["features"])
    inside = (features >= start) & (features < stop)
    part = dict(model)
    part["n_features"] = stop - start
    part["features"] = np.ascontiguousarray(features[inside] - start)
    zero = np.asarray(model["zero_variance_features"])
    part["zero_variance_features"] = np.ascontiguousarray(zero[(zero >= start) & (zero < stop)] - start)
    for key, axis in _FEATURE_AXES.items():
        part[key] = np.ascontiguousarray(np.compress(inside, np.asarray(model[key]), axis=axis))
    return part


def _apply_block(block: Any, model: dict[str, Any], ids: Any, mod: Any, new_batches: bool) -> Any:
    return _engine.apply(model, _block(block), ids, mod, new_batches=new_batches)["adjusted"]


def _lazily(matrix: Any, task: Callable[..., Any], per_chunk: Sequence[tuple[Any, ...]], *shared: Any) -> Any:
    """task(block, *chunk_args, *shared) on every chunk, as a lazy Dask array of the same
    chunks."""
    import dask
    import dask.array as da

    starts = _starts(matrix)
    blocks = matrix.to_delayed().ravel().tolist()
    run = dask.delayed(_receiving(task), pure=True)
    columns = [
        da.from_delayed(run(b, *a, *shared), shape=(matrix.shape[0], stop - start), dtype=np.float64)
        for b, a, start, stop in zip(blocks, per_chunk, starts[:-1], starts[1:])
    ]
    return da.concatenate(columns, axis=1)


def _model_parts(matrix: Any, model: dict[str, Any]) -> list[dict[str, Any]]:
    starts = _starts(matrix)
    return [model_part(model, start, stop) for start, stop in zip(starts[:-1], starts[1:])]


def apply_lazily(matrix: Any, model: dict[str, Any], ids: Any, mod: Any,
                 new_batches: bool = False) -> Any:
    """The correction of every chunk with its part of the model, as a lazy Dask array of the
    same chunks."""
    return _lazily(matrix, _apply_block, [(p,) for p in _model_parts(matrix, model)], ids, mod, new_batches)


def _new_raw(block: Any, part: dict[str, Any], ids: Any, mod: Any) -> Mapping[str, Any]:
    return _engine.new_batch_estimates(part, _block(block), ids, mod)


def _new_trace(block: Any, part: dict[str, Any], offset: int, ids: Any, mod: Any,
               raw: dict[str, Any], explore_from: Any) -> list[Any]:
    return _engine.trace_new_batches(part, _block(block), ids, mod, raw, offset, explore_from)


# A model's entries with one row (or entry) per batch, but its batches' ids and sizes.
_LEVEL_ENTRIES = tuple(name for name, _, axes in _engine.MODEL_ARRAYS
                       if axes[0] == "n_levels" and name not in ("batch_ids", "level_sizes"))


def with_new_batches(model: dict[str, Any], fresh: Mapping[str, Any], sizes: Any) -> dict[str, Any]:
    """The model with the estimated new batches among its fitted ones, in batch order: it
    corrects their samples as it corrects a fitted batch's."""
    ids = np.concatenate([model["batch_ids"], fresh["batch_ids"]])
    order = np.argsort(ids, kind="stable")
    out = dict(model)
    out["batch_ids"] = np.ascontiguousarray(ids[order])
    out["level_sizes"] = np.ascontiguousarray(
        np.concatenate([model["level_sizes"], np.asarray(sizes, dtype=np.int64)])[order])
    for key in _LEVEL_ENTRIES:
        out[key] = np.ascontiguousarray(np.concatenate([model[key], fresh[key]])[order])
    return out


def _apply_new_block(block: Any, part: dict[str, Any], offset: int, ids: Any, mod: Any,
                     raw: dict[str, Any], passes: Any) -> Any:
    values = _block(block)
    fresh = _engine.new_batch_posteriors(part, values, ids, mod, raw, offset, passes)
    return _engine.apply(with_new_batches(part, fresh, raw["sizes"]), values, ids, mod,
                         new_batches=False)["adjusted"]


def apply_new_batches_lazily(matrix: Any, model: dict[str, Any], ids: Any, mod: Any,
                             progress: Progress | None = None) -> Any:
    """The correction of every chunk with its part of the model and the batches it has not
    seen estimated, as apply estimates them from all features: a round of each chunk's raw
    effects in those batches, rounds of their solvers where their priors ask for them,
    then, lazily, each chunk's posteriors and correction."""
    parts = _model_parts(matrix, model)
    features = np.asarray(model["features"])
    offsets = [int(np.searchsorted(features, start)) for start in _starts(matrix)[:-1]]
    records = _round(matrix, _new_raw, [(p,) for p in parts], ids, mod, stage="new batches",
                     progress=progress)
    raw = {"batch_ids": records[0]["batch_ids"], "sizes": records[0]["sizes"]}
    for key in ("gamma_hat", "delta_hat", "counts"):
        raw[key] = np.ascontiguousarray(np.concatenate([r[key] for r in records], axis=1))
    settled = _engine.settle_new_batches(model, raw, None)
    while not settled["settled"]:
        traces = _round(matrix, _new_trace, list(zip(parts, offsets)), ids, mod, raw,
                        settled["explore_from"], stage="solver", progress=progress)
        settled = _engine.settle_new_batches(model, raw, traces)
    return _lazily(matrix, _apply_new_block, list(zip(parts, offsets)), ids, mod, raw, settled["passes"])
