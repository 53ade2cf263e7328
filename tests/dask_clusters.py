"""Clusters for the Dask tests and the faults they are put through: a cluster started the
way users start one (``dask scheduler`` and ``dask worker`` processes), records moved
between processes in unaligned or read-only buffers, a worker killed in a chosen round,
and chunks that load only when released.

Worker processes import this module by name (the tests directory is on their path), so
what runs on a worker lives here rather than in a test module."""

from __future__ import annotations

import os
import pickle
import signal
import socket
import subprocess
import sys
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator

import numpy as np

TESTS = str(Path(__file__).resolve().parent)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(processes: list[subprocess.Popen]) -> None:
    for process in processes:
        if process.poll() is None:
            process.terminate()
    for process in processes:
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=20)


@contextmanager
def command_line_cluster(directory: Path, n_workers: int = 2) -> Iterator[Any]:
    """A Client of a scheduler and `n_workers` single-threaded workers on 127.0.0.1,
    each its own `dask` process started from this interpreter's environment."""
    import distributed

    scheduler_file = directory / "scheduler.json"
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")]))}
    cli = [sys.executable, "-m", "distributed.cli."]
    processes: list[subprocess.Popen] = []

    def start(tool: str, *args: str) -> None:
        log = open(directory / f"{tool}-{len(processes)}.log", "wb")
        processes.append(subprocess.Popen([cli[0], cli[1], cli[2] + tool, *args], env=env,
                                          stdout=log, stderr=subprocess.STDOUT))
        log.close()

    try:
        start("dask_scheduler", "--host", "127.0.0.1", "--port", str(free_port()), "--no-dashboard",
              "--scheduler-file", str(scheduler_file))
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            if time.monotonic() > deadline or processes[0].poll() is not None:
                raise RuntimeError(f"the scheduler did not start (see {directory})")
            time.sleep(0.1)
        for _ in range(n_workers):
            start("dask_worker", "--scheduler-file", str(scheduler_file), "--host", "127.0.0.1",
                  "--nthreads", "1", "--no-dashboard", "--death-timeout", "60")
        client = distributed.Client(scheduler_file=str(scheduler_file), timeout=60)
        try:
            client.wait_for_workers(n_workers, timeout=60)
            yield client
        finally:
            client.close()
    finally:
        _stop(processes)


# ---------------------------------------------------------------------------------------
# Records in the buffers another process would receive them in

def misaligned(obj: Any, writable: bool = True) -> Any:
    """`obj` after a trip through pickle protocol 5 whose out-of-band buffers arrive at an
    odd offset (unaligned to any element wider than a byte), writable or read-only."""
    import cloudpickle

    buffers: list[pickle.PickleBuffer] = []
    data = cloudpickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
    views = []
    for buffer in buffers:
        raw = buffer.raw()
        room = bytearray(raw.nbytes + 1)
        room[1:] = raw
        views.append(memoryview(room if writable else bytes(room))[1:])
    return pickle.loads(data, buffers=views)


def misaligning_scheduler(writable: bool):
    """A Dask scheduler (for dask.config.set(scheduler=...)) that runs the graph in this
    process, with the graph and every result moved as between processes, misaligned."""
    import dask

    def get(graph: Any, keys: Any, **kwargs: Any) -> Any:
        tasks = dict(graph.__dask_graph__() if hasattr(graph, "__dask_graph__") else graph)
        return misaligned(dask.get(misaligned(tasks, writable), keys, **kwargs), writable)

    return get


# ---------------------------------------------------------------------------------------
# A worker killed in a chosen round

_ORIGINALS: dict[str, Any] = {}


def kill_once_in(name: str, marker: str) -> None:
    """Run on every worker: the first call of the engine's `name` on any of them kills its
    worker process outright (marker records that it happened); later calls run as usual."""
    from quarnel import _engine

    original = _ORIGINALS.setdefault(name, getattr(_engine, name))

    def dying(*args: Any, **kwargs: Any) -> Any:
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return original(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGKILL)

    setattr(_engine, name, dying)


def restore(name: str) -> None:
    from quarnel import _engine

    if name in _ORIGINALS:
        setattr(_engine, name, _ORIGINALS.pop(name))


def scheduler_tasks(dask_scheduler: Any) -> int:
    return len(dask_scheduler.tasks)


# ---------------------------------------------------------------------------------------
# Chunks that load only when released

class HeldArray:
    """An array whose columns from `held` on load only once `release` exists (or after a
    minute), for rounds that are still running when the client is interrupted."""

    def __init__(self, values: np.ndarray, held: int, release: str) -> None:
        self.values, self.held, self.release = values, held, release
        self.shape, self.dtype, self.ndim = values.shape, values.dtype, values.ndim

    def __getitem__(self, index: Any) -> np.ndarray:
        columns = index[1] if isinstance(index, tuple) and len(index) > 1 else slice(None)
        start = columns.start or 0 if isinstance(columns, slice) else 0
        deadline = time.monotonic() + 60
        while start >= self.held and not os.path.exists(self.release) and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.values[index]
