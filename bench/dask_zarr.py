"""A zarr matrix larger than the workers' memory corrected on a local Dask cluster.

The input is drawn chunk by chunk (never whole in memory) from the location/scale model of
bench/run.py,

    values[i, j] = alpha[j] + gamma[batch(i), j] + sqrt(delta[batch(i), j]) * noise[i, j]

with uneven batch sizes, and written to a zarr store chunked along features: every chunk
holds all samples. A distributed.LocalCluster of worker processes corrects it with
quarnel.combat into a second zarr store. The run reports its wall time, the input's
gigabytes per second and seconds per gigabyte, each worker's peak resident memory (sampled
from every worker while it runs; a worker restarted by its nanny shows up as an extra
process), and how often the input was read: every chunk read from the input store, counted
in the workers as it is read, in all, per chunk, and per graph the scheduler was given (each
of the fit's rounds, then the correction's write).

A smaller matrix that fits in memory is then corrected both ways, in memory with NumPy
and through the same Dask path from zarr to zarr, with the same report of the Dask run and
the ratio of its seconds per gigabyte to the in-memory call's; the two results must be
equal bit for bit, or the script exits with status 1. The large run's seconds per
gigabyte are set against that in-memory call's too: both ratios compare timings of one
build in one run of the script.

Inside the workers the core runs serially (QUARNEL_PARALLEL=0): the workers are the
parallelism, one task per thread. The in-memory call uses every core, as it does by default.

    python bench/dask_zarr.py                                  # 200,000 x 5,000 (8 GB)
    python bench/dask_zarr.py --shape 50000x5000 --compare-shape 20000x5000
    python bench/dask_zarr.py --workers 2 --memory-limit 2GB --chunk-features 64
    python bench/dask_zarr.py --nonparametric --shape none     # the comparison only
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

import numpy as np
from distributed.diagnostics.plugin import SchedulerPlugin

from run import machine  # bench/run.py, beside this script

SEED = 20261208
GB = 1e9


def shape_arg(text: str) -> tuple[int, int] | None:
    if text.lower() == "none":
        return None
    samples, features = text.lower().split("x")
    return int(samples), int(features)


def batch_vector(n_samples: int, n_batches: int) -> np.ndarray:
    """Uneven batches, proportional to 1, 2, ..., n_batches, in sample order."""
    weights = np.arange(1, n_batches + 1, dtype=float)
    sizes = np.floor(weights / weights.sum() * n_samples).astype(int)
    sizes[-1] += n_samples - sizes.sum()
    return np.repeat(np.arange(n_batches, dtype=np.int64), sizes)


def feature_block(batch: np.ndarray, n_batches: int, start: int, stop: int) -> np.ndarray:
    """Features [start, stop) for every sample, drawn from a generator seeded by the block's
    first feature, so that a block's values do not depend on what was drawn before it."""
    rng = np.random.default_rng([SEED, start])
    width = stop - start
    alpha = rng.normal(0.0, 1.0, width)
    gamma = rng.normal(0.0, 1.0, (n_batches, width))
    delta = rng.gamma(4.0, 0.25, (n_batches, width))
    block = rng.standard_normal((batch.size, width))
    # The batches are contiguous runs of samples, so each is scaled and shifted in place.
    bounds = np.flatnonzero(np.diff(batch)) + 1
    for level, rows in enumerate(np.split(np.arange(batch.size), bounds)):
        part = block[rows[0]:rows[-1] + 1]
        part *= np.sqrt(delta[level])
        part += alpha + gamma[level]
    return block


def write_matrix(folder: Path, shape: tuple[int, int], n_batches: int, chunk: int) -> Path:
    """The matrix as folder/values.zarr (chunks of all samples by `chunk` features, stored
    uncompressed) and its batch vector as folder/batch.npy; returns the store's path."""
    import zarr

    n_samples, n_features = shape
    batch = batch_vector(n_samples, n_batches)
    folder.mkdir(parents=True, exist_ok=True)
    np.save(folder / "batch.npy", batch)
    store = folder / "values.zarr"
    array = zarr.create_array(store=str(store), shape=shape, chunks=(n_samples, chunk),
                              dtype="float64", compressors=None, overwrite=True)
    for start in range(0, n_features, chunk):
        stop = min(start + chunk, n_features)
        array[:, start:stop] = feature_block(batch, n_batches, start, stop)
    return store


def _reset_peak() -> int:
    """Restarts this process's peak resident set (VmHWM) from its current size."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    return os.getpid()


def _peak() -> tuple[int, int]:
    """(pid, peak resident bytes) of this process."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return os.getpid(), int(line.split()[1]) * 1024


@contextmanager
def worker_peaks(client, interval: float = 0.5) -> Iterator[dict[int, int]]:
    """Every worker process's peak resident bytes over the block, by pid. The peaks (the
    client's too) are reset on entry and read every `interval` seconds, so that a worker
    killed by its nanny for exceeding its limit still leaves the peak it reached."""
    peaks: dict[int, int] = {}
    stop = threading.Event()

    def sample() -> None:
        for pid, peak in client.run(_peak, on_error="ignore").values():
            peaks[pid] = max(peaks.get(pid, 0), peak)

    def watch() -> None:
        while not stop.wait(interval):
            sample()

    client.run(_reset_peak)
    _reset_peak()
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    try:
        yield peaks
    finally:
        stop.set()
        thread.join()
        sample()


class CountedReads:
    """The zarr array at `store` as Dask reads it, a chunk at a time, each read appending a
    line to the file `log`: the machine's monotonic clock in nanoseconds and the chunk's
    first feature. The count lives in the file, so that it survives the pickling that takes
    the array to every worker process; each line is one write to a file opened with
    O_APPEND, so that lines from different workers never interleave."""

    def __init__(self, store: Path, log: Path) -> None:
        import zarr

        self.array = zarr.open_array(str(store), mode="r")
        self.log = str(log)
        self.shape, self.dtype, self.ndim = self.array.shape, self.array.dtype, self.array.ndim

    def __getitem__(self, index: tuple[slice, slice]) -> np.ndarray:
        block = self.array[index]
        line = f"{time.monotonic_ns()} {index[1].start}\n".encode()
        log = os.open(self.log, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        try:
            os.write(log, line)
        finally:
            os.close(log)
        return block


def counted_input(store: Path, log: Path):
    """The zarr store as a Dask array of its own chunks whose every chunk read is logged.
    The empty meta keeps Dask from reading a corner of the array to learn its type."""
    import dask.array as da
    from dask.base import tokenize

    reads = CountedReads(store, log)
    name = f"counted-{tokenize(str(store), str(log))}"
    return da.from_array(reads, chunks=reads.array.chunks, name=name, meta=np.empty((0, 0)))


def logged_reads(log: Path) -> tuple[np.ndarray, np.ndarray]:
    """(monotonic nanoseconds, first feature) of every chunk read the log holds."""
    if not log.exists():
        return np.empty(0, np.int64), np.empty(0, np.int64)
    lines = np.loadtxt(log, dtype=np.int64, ndmin=2)
    return lines[:, 0], lines[:, 1]


class GraphTimes(SchedulerPlugin):
    """The monotonic clock at every graph the scheduler is given. Each of quarnel's rounds
    is one compute of its chunk tasks, the next submitted only once the last is gathered,
    and the scheduler hears of a graph before any of its tasks runs: so a read belongs to
    the last graph given before it."""

    name = "quarnel-bench-graph-times"

    def __init__(self) -> None:
        self.times: list[int] = []

    def update_graph(self, scheduler, **kwargs) -> None:
        self.times.append(time.monotonic_ns())


def _graph_times(dask_scheduler) -> list[int]:
    return dask_scheduler.plugins[GraphTimes.name].times


@contextmanager
def graph_times(client) -> Iterator[list[int]]:
    """The monotonic clock at every graph the cluster's scheduler is given in the block."""
    times: list[int] = []
    client.register_plugin(GraphTimes())
    try:
        yield times
    finally:
        times += client.run_on_scheduler(_graph_times)
        client.unregister_scheduler_plugin(GraphTimes.name)


def reads_per_graph(read_times: np.ndarray, graphs: list[int]) -> np.ndarray:
    """How many reads came before the first graph, then after each graph until the next was
    given."""
    owner = np.searchsorted(np.asarray(graphs, dtype=np.int64), read_times, side="right")
    return np.bincount(owner, minlength=len(graphs) + 1)


def correct_on_cluster(client, store: Path, output: Path, parametric: bool) -> dict:
    """quarnel.combat of the zarr store written lazily to `output`: the seconds of the
    fitting rounds, of the correction's write and in all, the workers' peaks, and the
    input's chunk reads, per chunk and per graph given to the scheduler (the fitting
    rounds, then the write)."""
    import quarnel

    log = output.with_name(output.name + ".reads")
    log.unlink(missing_ok=True)
    values = counted_input(store, log)
    batch = np.load(store.parent / "batch.npy")
    with worker_peaks(client) as peaks, graph_times(client) as graphs:
        start = time.perf_counter()
        corrected = quarnel.combat(values, batch, parametric=parametric, progress=False)
        fitted, fitted_clock = time.perf_counter(), time.monotonic_ns()
        corrected.to_zarr(str(output), mode="w", compressors=None)
        done = time.perf_counter()
    read_times, read_features = logged_reads(log)
    before, *per_graph = reads_per_graph(read_times, graphs).tolist()
    n_fit_graphs = sum(t < fitted_clock for t in graphs)
    starts = np.cumsum([0, *values.chunks[1][:-1]])
    return {
        "fit": fitted - start, "write": done - fitted, "wall": done - start,
        "peaks": dict(peaks), "client_peak": _peak()[1], "gb": values.nbytes / GB,
        "chunks": values.numblocks[1], "reads": read_times.size,
        "reads_per_chunk": np.bincount(np.searchsorted(starts, read_features), minlength=starts.size),
        "reads_before_graphs": before, "fit_rounds": per_graph[:n_fit_graphs],
        "write_reads": per_graph[n_fit_graphs:],
    }


def describe_reads(run: dict) -> None:
    per_chunk = run["reads_per_chunk"]
    least, most = int(per_chunk.min()), int(per_chunk.max())
    times = f"{least} times" if least == most else f"{least} to {most} times"
    rounds = ", ".join(map(str, run["fit_rounds"]))
    writes = ", ".join(map(str, run["write_reads"]))
    print(f"  reads of the input: {run['reads']} (= {run['reads'] / run['chunks']:.1f} per chunk; "
          f"each chunk read {times})")
    print(f"    in {len(run['fit_rounds'])} fitting rounds: {rounds}; "
          f"in the correction's write: {writes}")
    if run["reads_before_graphs"]:
        print(f"    before the scheduler was given any graph: {run['reads_before_graphs']}")


def describe_run(label: str, shape: tuple[int, int], run: dict, n_workers: int) -> None:
    chunk_mb = shape[0] * -(-shape[1] // run["chunks"]) * 8 / 1e6
    print(f"{label}: {shape[0]:,} x {shape[1]:,} float64, {run['gb']:.2f} GB in "
          f"{run['chunks']} chunks of up to {chunk_mb:.0f} MB")
    print(f"  wall {run['wall']:.1f} s (fitting rounds {run['fit']:.1f} s, correction written "
          f"{run['write']:.1f} s): {run['gb'] / run['wall']:.3f} GB/s, "
          f"{run['wall'] / run['gb']:.2f} s/GB")
    for pid, peak in sorted(run["peaks"].items()):
        print(f"  worker pid {pid}: peak resident {peak / 2**20:,.0f} MiB")
    print(f"  client process (with the scheduler): peak resident {run['client_peak'] / 2**20:,.0f} MiB")
    if len(run["peaks"]) > n_workers:
        print(f"  {len(run['peaks']) - n_workers} worker(s) restarted during the run")
    describe_reads(run)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def compare(client, folder: Path, shape: tuple[int, int], args: argparse.Namespace) -> tuple[bool, float]:
    """The in-memory call against the Dask path on a matrix that fits: whether their
    results are equal bit for bit, and the in-memory call's seconds per gigabyte."""
    import zarr

    import quarnel

    store = write_matrix(folder, shape, args.batches, args.chunk_features)
    # The Dask run comes first, so that the client's peak is its own.
    run = correct_on_cluster(client, store, folder / "corrected.zarr", not args.nonparametric)
    describe_run("comparison, Dask", shape, run, args.workers)
    values = zarr.open_array(str(store), mode="r")[:]
    batch = np.load(folder / "batch.npy")
    start = time.perf_counter()
    want = quarnel.combat(values, batch, parametric=not args.nonparametric, progress=False)
    in_memory = time.perf_counter() - start
    del values
    got = zarr.open_array(str(folder / "corrected.zarr"), mode="r")[:]
    gb = run["gb"]
    print(f"comparison, in memory: {in_memory:.1f} s, {in_memory / gb:.2f} s/GB "
          f"({os.cpu_count()} cores)")
    print(f"comparison: Dask {run['wall'] / gb:.2f} s/GB / in memory {in_memory / gb:.2f} s/GB "
          f"= {run['wall'] / in_memory:.2f}")
    equal = same_bits(got, want)
    print(f"comparison: the Dask result {'equals' if equal else 'DIFFERS FROM'} the in-memory "
          "result bit for bit")
    return equal, in_memory / gb


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shape", type=shape_arg, default=(200_000, 5_000),
                        help="samples x features of the matrix on disk, or none (200000x5000)")
    parser.add_argument("--compare-shape", type=shape_arg, default=(20_000, 5_000),
                        help="samples x features corrected both ways, or none (20000x5000)")
    parser.add_argument("--chunk-features", type=int, default=64,
                        help="features per chunk (64: 102 MB at 200,000 samples)")
    parser.add_argument("--batches", type=int, default=4)
    parser.add_argument("--nonparametric", action="store_true")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--threads", type=int, default=1, help="threads per worker")
    parser.add_argument("--memory-limit", default="2GB", help="per worker")
    parser.add_argument("--scratch", type=Path, default=Path(tempfile.gettempdir()),
                        help="where the stores are written (and deleted after)")
    parser.add_argument("--keep", action="store_true", help="keep the zarr stores")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    folder = Path(tempfile.mkdtemp(prefix="quarnel-dask-", dir=args.scratch))
    print(f"machine: {machine()}")
    print(f"{args.workers} workers x {args.threads} thread(s), {args.memory_limit} each; "
          f"stores under {folder}", flush=True)
    equal, in_memory_per_gb = True, None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads,
                                   processes=True, memory_limit=args.memory_limit,
                                   dashboard_address=":0", env={"QUARNEL_PARALLEL": "0"})
        with cluster, Client(cluster) as client:
            if args.compare_shape is not None:
                equal, in_memory_per_gb = compare(client, folder / "compare", args.compare_shape, args)
            if args.shape is not None:
                start = time.perf_counter()
                store = write_matrix(folder / "full", args.shape, args.batches, args.chunk_features)
                print(f"generated {store} in {time.perf_counter() - start:.1f} s", flush=True)
                run = correct_on_cluster(client, store, folder / "full" / "corrected.zarr",
                                         not args.nonparametric)
                describe_run("on disk", args.shape, run, args.workers)
                if in_memory_per_gb is not None:
                    print(f"on disk: Dask {run['wall'] / run['gb']:.2f} s/GB / the comparison's in "
                          f"memory {in_memory_per_gb:.2f} s/GB = {run['wall'] / run['gb'] / in_memory_per_gb:.2f}")
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)
    return 0 if equal else 1


if __name__ == "__main__":
    sys.exit(main())
