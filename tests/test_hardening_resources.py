"""Resources and process-level behaviour of ``_quarnel.combat``.

Thousands of calls of every outcome leave memory and reference counts where they were;
calls from several threads give the single-threaded results; a process forked after a
parallel run can run a parallel correction; a run whose working buffers cannot be
allocated fails with MemoryError and leaves the process usable; a signal handler that
raises (Ctrl-C) stops a long run promptly, and one that does not raise changes nothing.

Process-wide experiments (address-space limits, SIGINT, fork) run in a subprocess so that
they cannot disturb the test process.
"""

from __future__ import annotations

import gc
import multiprocessing
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from _quarnel import combat

needs_proc = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="needs /proc/self/statm")
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")


def problem(sizes=(6, 8, 7), n_features=12, seed=0):
    rng = np.random.default_rng(seed)
    batch = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
    shift = rng.normal(scale=2.0, size=(len(sizes), n_features))
    scale = rng.uniform(0.5, 2.0, size=(len(sizes), n_features))
    values = 5.0 + shift[batch] + scale[batch] * rng.normal(size=(batch.size, n_features))
    return values, batch


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_script(script, *args, timeout=180, env=None):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
        capture_output=True, text=True, timeout=timeout, check=False,
        env={**os.environ, **(env or {})},
    )


# ---------------------------------------------------------------------------------------
# Repeated calls of every outcome


class Stop(Exception):
    """Raised by the test's own signal handler."""


def outcomes():
    """One call per outcome the binding has, each returning the exception type it raised."""
    values, batch = problem()
    singleton = batch.copy()
    singleton[-1] = 9
    mod = np.column_stack([np.ones(batch.size), np.linspace(-1.0, 1.0, batch.size) ** 3])
    collapsed = values.copy()
    collapsed[batch == 1, 0] = np.nan  # batch 1 has no observation of feature 0
    index = type("I", (), {"__index__": lambda self: 2})()

    def call(*args, **kwargs):
        try:
            result = combat(*args, **kwargs)
        except BaseException as error:  # noqa: BLE001 - the type is what is recorded
            return type(error)
        assert np.isfinite(result["adjusted"]).all()
        return None

    return {
        "parametric": lambda: call(values, batch, mod),
        "nonparametric-reference": lambda: call(values, batch, par_prior=np.False_,
                                                ref_batch=index),
        "singleton-report": lambda: call(values, singleton, mean_only=True),
        "type-error": lambda: call(values, batch, par_prior=1),
        "overflow-error": lambda: call(values, batch, ref_batch=-1),
        "layout-error": lambda: call(values.T, batch),
        "front-door-error": lambda: call(values, batch, ref_batch=7),
        "numerical-failure": lambda: call(collapsed, batch),
    }


EXPECTED_OUTCOME = {
    "parametric": None,
    "nonparametric-reference": None,
    "singleton-report": None,
    "type-error": TypeError,
    "overflow-error": OverflowError,
    "layout-error": ValueError,
    "front-door-error": ValueError,
    "numerical-failure": RuntimeError,
}


@needs_proc
@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
def test_thousands_of_mixed_calls_keep_memory_and_references_flat(monkeypatch, parallel):
    monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
    calls = outcomes()
    assert {name: call() for name, call in calls.items()} == EXPECTED_OUTCOME
    # The dtypes and scalars the binding touches on every call are process-wide objects:
    # a missed decref or an extra incref shows up as drift in their counts.
    shared = [np.dtype(np.float64), np.dtype(np.int64), np.True_, np.False_]
    for _ in range(20):
        for call in calls.values():
            call()
    gc.collect()
    counts = [sys.getrefcount(x) for x in shared]
    start = rss_bytes()
    for _ in range(250):  # 2000 calls
        for call in calls.values():
            call()
    gc.collect()
    assert [sys.getrefcount(x) for x in shared] == counts
    assert rss_bytes() - start < 16 * 2**20


@needs_proc
def test_runs_stopped_by_a_signal_handler_release_everything():
    values, batch = problem(sizes=(100, 120), n_features=400, seed=2)

    def raise_stop(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, raise_stop)
    counts = [sys.getrefcount(x) for x in (values, batch)]
    stopped = returned = 0
    try:
        for repeat in range(160):
            if repeat == 20:
                gc.collect()
                start = rss_bytes()
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            try:
                combat(values, batch, par_prior=False)
                returned += 1
            except Stop:
                stopped += 1
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
    finally:
        signal.signal(signal.SIGALRM, previous)
    gc.collect()
    assert stopped >= 100, (stopped, returned)
    assert [sys.getrefcount(x) for x in (values, batch)] == counts
    assert rss_bytes() - start < 16 * 2**20  # a leaked run would hold several MB


# ---------------------------------------------------------------------------------------
# Threads


def test_concurrent_calls_from_python_threads_give_the_serial_results(monkeypatch):
    monkeypatch.setenv("QUARNEL_PARALLEL", "1")
    cases = []
    for seed in range(6):
        values, batch = problem(sizes=(30, 40, 35), n_features=60, seed=seed)
        kwargs = [{}, {"par_prior": False}, {"mean_only": True, "ref_batch": 1}][seed % 3]
        cases.append((values, batch, kwargs))
    expected = [combat(v, b, **k)["adjusted"].tobytes() for v, b, k in cases]
    bad_values, bad_batch = problem()

    def work(worker):
        results = []
        for round_ in range(8):
            case = (worker + round_) % len(cases)
            values, batch, kwargs = cases[case]
            results.append((case, combat(values, batch, **kwargs)["adjusted"].tobytes()))
            with pytest.raises(ValueError, match="missing reference batch: 99"):
                combat(bad_values, bad_batch, ref_batch=99)
        return results

    with ThreadPoolExecutor(max_workers=4) as pool:
        outputs = list(pool.map(work, range(4)))
    for results in outputs:
        for case, adjusted in results:
            assert adjusted == expected[case]


# ---------------------------------------------------------------------------------------
# fork()


def corrected_in_child(connection, values, batch):
    os.environ["QUARNEL_PARALLEL"] = "1"
    connection.send(combat(values, batch)["adjusted"].tobytes())
    connection.close()


@needs_fork
def test_multiprocessing_fork_child_runs_a_parallel_correction(monkeypatch):
    monkeypatch.setenv("QUARNEL_PARALLEL", "1")
    values, batch = problem(sizes=(40, 60, 50), n_features=300, seed=4)
    expected = combat(values, batch)["adjusted"].tobytes()  # the pool is running now
    context = multiprocessing.get_context("fork")
    receiver, sender = context.Pipe(duplex=False)
    with warnings.catch_warnings():
        # Python 3.12+ warns that forking a multi-threaded process may deadlock; the
        # deadlock it warns of is the one this test guards against.
        warnings.simplefilter("ignore", DeprecationWarning)
        child = context.Process(target=corrected_in_child, args=(sender, values, batch))
        child.start()
    sender.close()
    try:
        if not receiver.poll(60):
            pytest.fail("the forked child hung in its parallel correction")
        assert receiver.recv() == expected
    finally:
        child.join(10)
        if child.is_alive():
            child.kill()
            child.join()
    assert child.exitcode == 0


FORK_SCRIPT = """
import os, signal, sys
import numpy as np
import _quarnel

rng = np.random.default_rng(5)
batch = np.repeat(np.arange(3, dtype=np.int64), [40, 60, 50])
values = rng.normal(size=(150, 300)) + batch[:, None]

def corrected(mode):
    os.environ["QUARNEL_PARALLEL"] = mode
    return _quarnel.combat(values, batch)["adjusted"].tobytes()

def in_child(check):
    pid = os.fork()
    if pid == 0:
        signal.alarm(60)  # a hang ends the child, not the test
        os._exit(0 if check() else 1)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)

expected = corrected("0")  # serial: the pool has not started yet
# Forked before the pool ever started: the child starts a pool of its own.
print("before-pool", in_child(lambda: corrected("1") == expected))
corrected("1")
# Forked after: the child runs its parallel sections serially, with the same bits ...
print("after-pool", in_child(lambda: corrected("1") == expected))
# ... and so does its own child.
print("grandchild", in_child(lambda: in_child(lambda: corrected("1") == expected) == 0))
print("parent", corrected("1") == expected)
"""


@needs_fork
def test_fork_before_and_after_the_pool_started():
    run = run_script(FORK_SCRIPT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:4] == [
        "before-pool 0", "after-pool 0", "grandchild 0", "parent True"
    ], run.stdout + run.stderr


# ---------------------------------------------------------------------------------------
# Memory exhaustion inside the core

MEMORY_SCRIPT = """
import os, resource, sys
import numpy as np
import _quarnel

os.environ["QUARNEL_PARALLEL"] = sys.argv[1]
rng = np.random.default_rng(6)
n, g = 4000, 1000  # 32 MB of values; the core needs buffers of that size
batch = np.repeat(np.arange(2, dtype=np.int64), [n // 2, n - n // 2])
values = rng.normal(size=(n, g)) + batch[:, None]
small = _quarnel.combat(values[:200], batch[::20].copy())["adjusted"]  # starts the pool

with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (mapped + 24 * 2**20, hard))
try:
    # Within the limit the inputs fit and a small run still succeeds ...
    fits = _quarnel.combat(values[:200], batch[::20].copy())["adjusted"]
    print("small", fits.tobytes() == small.tobytes())
    try:
        _quarnel.combat(values, batch)
        print("large returned")
    except MemoryError:
        print("large MemoryError")
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
# ... and afterwards the process is healthy: the same run now succeeds.
adjusted = _quarnel.combat(values, batch)["adjusted"]
print("after", adjusted.shape == values.shape and bool(np.isfinite(adjusted).all()))
"""


@needs_proc
@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
def test_core_buffers_that_cannot_be_allocated_raise_memory_error(parallel):
    run = run_script(MEMORY_SCRIPT, parallel)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["small", "True", "large", "MemoryError", "after", "True"]


# libgomp ends the process when it cannot start its worker threads; every calling thread
# starts a team of its own on its first parallel run. Both kinds of first run, under an
# address-space limit too tight for a thread stack, must raise MemoryError instead.
THREAD_START_SCRIPT = """
import os, resource, threading
import numpy as np
import _quarnel

rng = np.random.default_rng(10)
batch = np.repeat(np.arange(2, dtype=np.int64), [50, 50])
values = rng.normal(size=(100, 50)) + batch[:, None]
os.environ["QUARNEL_PARALLEL"] = "0"
expected = _quarnel.combat(values, batch)["adjusted"].tobytes()  # no worker started
os.environ["QUARNEL_PARALLEL"] = "1"
soft, hard = resource.getrlimit(resource.RLIMIT_AS)

def limit():
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (mapped + 2 * 2**20, hard))

def attempt():
    try:
        return _quarnel.combat(values, batch)["adjusted"].tobytes() == expected
    except MemoryError:
        return "MemoryError"

limit()
try:
    print("main", attempt())
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("main", attempt())

go, outcomes = threading.Event(), []
def other():
    go.wait()
    outcomes.append(attempt())
thread = threading.Thread(target=other)
thread.start()
limit()
try:
    go.set()
    thread.join()
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("thread", outcomes[0])
thread = threading.Thread(target=lambda: outcomes.append(attempt()))
thread.start()
thread.join()
print("thread", outcomes[1])
"""


@needs_proc
def test_worker_threads_that_cannot_start_raise_memory_error():
    run = run_script(THREAD_START_SCRIPT, env={"OMP_NUM_THREADS": "2"})
    assert run.returncode == 0, run.stderr
    assert run.stdout.split("\n")[:4] == [
        "main MemoryError", "main True", "thread MemoryError", "thread True"
    ], run.stdout + run.stderr


# ---------------------------------------------------------------------------------------
# Signals during a run

# The non-parametric stage costs n * G^2; G is chosen from a short calibration run so
# that the full run would take about 40 s on whatever machine runs the test.
SIGINT_SCRIPT = """
import math, os, sys, time
import numpy as np
import _quarnel

os.environ["QUARNEL_PARALLEL"] = sys.argv[1]
rng = np.random.default_rng(7)

def problem(g):
    batch = np.repeat(np.arange(2, dtype=np.int64), [100, 100])
    return rng.normal(size=(200, g)) * (1.0 + batch[:, None]), batch

values, batch = problem(1500)
start = time.monotonic()
_quarnel.combat(values, batch, par_prior=False)
calibration = time.monotonic() - start
g = min(40000, int(1500 * math.sqrt(40.0 / max(calibration, 1e-3))))
values, batch = problem(g)
print("ready", calibration * (g / 1500) ** 2, flush=True)
start = time.monotonic()
try:
    _quarnel.combat(values, batch, par_prior=False)
    print("returned", time.monotonic() - start, flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start, flush=True)
small, small_batch = problem(20)
expected = _quarnel.combat(small, small_batch)["adjusted"]
os.environ["QUARNEL_PARALLEL"] = "0"
print("healthy", _quarnel.combat(small, small_batch)["adjusted"].tobytes() == expected.tobytes())
"""


@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
def test_ctrl_c_stops_a_long_run_promptly(parallel):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SIGINT_SCRIPT), parallel],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
    )
    try:
        word, estimate = child.stdout.readline().split()
        assert word == "ready"
        if float(estimate) < 8.0:
            pytest.skip(f"this machine finishes the largest run in {estimate} s")
        time.sleep(0.5)  # well inside the run
        child.send_signal(signal.SIGINT)
        signalled = time.monotonic()
        out, err = child.communicate(timeout=120)
        latency = time.monotonic() - signalled
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err
    lines = out.split("\n")
    assert lines[0].split()[0] == "interrupted", out
    # The handler's KeyboardInterrupt arrives within a few seconds of Ctrl-C, not after
    # the run's estimated tens of seconds.
    assert latency < min(5.0, float(estimate) / 4), (latency, estimate)
    assert lines[1] == "healthy True"


def long_enough_problem(target):
    """A non-parametric problem that runs for roughly `target` seconds, and its time.

    Its time grows with the square of the feature count; the count is scaled up until a
    run takes long enough, since one small run's time is too noisy to extrapolate from.
    """
    features = 600
    while True:
        values, batch = problem(sizes=(60, 60), n_features=features, seed=8)
        start = time.monotonic()
        expected = combat(values, batch, par_prior=False)["adjusted"]
        elapsed = time.monotonic() - start
        if elapsed >= target or features >= 20000:
            return values, batch, expected, elapsed
        growth = (target / max(elapsed, 1e-3)) ** 0.5
        features = min(20000, int(features * min(max(growth, 1.5), 8.0)))


@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
def test_signal_handlers_run_during_the_run(monkeypatch, parallel):
    monkeypatch.setenv("QUARNEL_PARALLEL", parallel)
    values, batch, expected, full = long_enough_problem(0.6)
    if full < 0.2:
        pytest.skip(f"the largest run takes only {full:.3f} s")
    handled = []

    # A handler that does not raise runs at the run's next check; the run goes on and
    # returns exactly what it returns undisturbed.
    def count(signum, frame):
        handled.append(time.monotonic())

    previous = signal.signal(signal.SIGALRM, count)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
        start = time.monotonic()
        try:
            adjusted = combat(values, batch, par_prior=False)["adjusted"]
            finished = time.monotonic()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
        assert adjusted.tobytes() == expected.tobytes()
        # Pending signals coalesce, so without checks during the run there would be one
        # call at most, after it.
        assert len([t for t in handled if start <= t <= finished]) >= 3, (handled, full)

        # A handler that raises stops the run with its own exception, promptly.
        def stop(signum, frame):
            raise Stop

        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        start = time.monotonic()
        with pytest.raises(Stop):
            combat(values, batch, par_prior=False)
        assert time.monotonic() - start < 0.02 + full / 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_signals_are_not_checked_on_other_threads(monkeypatch):
    # Python runs signal handlers on the main thread only; a call on another thread
    # finishes undisturbed while the main thread waits.
    monkeypatch.setenv("QUARNEL_PARALLEL", "1")
    values, batch = problem(sizes=(50, 50), n_features=400, seed=9)
    expected = combat(values, batch, par_prior=False)["adjusted"].tobytes()
    results = []
    thread = threading.Thread(
        target=lambda: results.append(combat(values, batch, par_prior=False)["adjusted"]))
    previous = signal.signal(signal.SIGALRM, lambda *args: None)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        thread.start()
        thread.join(120)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert [r.tobytes() for r in results] == [expected]


# ---------------------------------------------------------------------------------------
# Peak memory of one call


PEAK_MEMORY_SCRIPT = """
    import json, sys
    import numpy as np
    import _quarnel

    def peak_rss_bytes():
        # This process image's own high-water mark: ru_maxrss would also count the peak
        # of the test process this one was forked from.
        with open("/proc/self/status") as status:
            line = next(line for line in status if line.startswith("VmHWM:"))
        return int(line.split()[1]) * 1024

    options = json.loads(sys.argv[1])
    rng = np.random.default_rng(5)
    n, g = 300, 40000
    batch = (np.arange(n) % 3).astype(np.int64)
    # Row by row, so that building the input never holds a second matrix.
    values = np.empty((n, g))
    for i in range(n):
        values[i] = rng.standard_normal(g) * (1.0 + batch[i]) + batch[i]
    if options.pop("missing"):
        values[::7, ::5] = np.nan
    mod = rng.normal(size=(n, 2)) if options.pop("covariates") else None
    public = options.pop("public", None)
    if public:
        import warnings
        import quarnel

        values[batch == 2, ::50] = np.nan  # missing from a whole batch
        values[batch != 0, 1::50] = np.nan  # seen in one batch only: passed through
        warnings.simplefilter("ignore")
    before = peak_rss_bytes()
    if public:
        quarnel.combat(values, batch, partial_batches=public, progress=False)
    else:
        _quarnel.combat(values, batch, mod=mod, **options)
    print((peak_rss_bytes() - before) / values.nbytes)
"""


@pytest.mark.parametrize("parallel", ["0", "1"], ids=["serial", "parallel"])
@pytest.mark.parametrize(
    "options",
    [
        {},
        {"covariates": True, "missing": True},
        {"mean_only": True, "ref_batch": 1},
        {"covariates": True, "ref_batch": 0},
        {"public": "pass"},
        {"public": "correct"},
    ],
    ids=["plain", "covariates-missing", "mean-only-reference", "covariates-reference",
         "public-pass-through", "public-partial"],
)
def test_a_call_holds_about_one_input_at_its_peak(parallel, options):
    # One n x G buffer, which holds the standardised values while the model is fitted and
    # then the result; anything more (an n x G intermediate kept alive, the working copy
    # and the result at once) shows as a further multiple of the input. The rest is a few
    # hundred bytes per feature, let go as soon as the run has used them: about a quarter
    # of this input, which has only 300 samples per feature (it was 0.3 to 0.4 while
    # every tile's records lived to the end of the fit).
    options = {"covariates": False, "missing": False, **options}
    done = run_script(PEAK_MEMORY_SCRIPT, json.dumps(options), env={"QUARNEL_PARALLEL": parallel})
    assert done.returncode == 0, done.stderr
    added = float(done.stdout.strip())
    assert 0.9 < added < 1.38, added
