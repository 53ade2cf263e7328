"""Benchmarks of ``_quarnel.combat`` and of the public ``quarnel.combat`` on problems drawn
from the location/scale model.

Each problem is generated with a fixed seed as

    values[i, j] = alpha[j] + covariates[i] @ beta[:, j] + gamma[batch(i), j]
                   + sqrt(delta[batch(i), j]) * noise[i, j]

with uneven batch sizes, and corrected at least three times serially
(QUARNEL_PARALLEL=0) and in parallel (QUARNEL_PARALLEL=1). Every problem runs in a fresh
child process so that its peak resident memory can be attributed to the call. Times are
reported as medians and as ratios to the problem's copy floor: one ``np.copyto`` of the
input into a preallocated array of the same shape, measured in the same process. A
second floor, the fresh copy, is ``values.copy()``: like any call that returns a new
matrix, it also pays for touching new pages, which on some virtual machines (those that
hand freed memory back to their host) costs several times the copy itself.

Right after the compiled call, the same child process times the public ``quarnel.combat``
on the same data and options (in parallel, without a progress bar), and measures its peak
memory the same way, from a peak reset to what the process holds just before it. A
second table gives its median time, its ratio to the compiled call's parallel median and
its added memory.

    python bench/run.py                # every problem
    python bench/run.py P1 P3          # some of them
    python bench/run.py --repeats 5
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Problem:
    name: str
    n_samples: int
    n_features: int
    n_batches: int
    n_covariates: int = 0
    missing: float = 0.0
    par_prior: bool = True
    note: str = "parametric"


PROBLEMS = {
    p.name: p
    for p in [
        Problem("P1", 1000, 20000, 4, n_covariates=2, note="2 numeric covariates, parametric"),
        Problem("P2", 1000, 20000, 4, n_covariates=2, missing=0.01, note="P1 with 1% missing"),
        Problem("P3", 200, 5000, 3, par_prior=False, note="non-parametric"),
        Problem("P4", 50000, 2000, 8, note="parametric"),
        Problem("P5", 500, 400000, 6, note="parametric (memory)"),
    ]
}


def generate(problem: Problem, seed: int = 20261208):
    rng = np.random.default_rng(seed)
    # Uneven batch sizes: proportional to 1, 2, ..., n_batches.
    weights = np.arange(1, problem.n_batches + 1, dtype=float)
    sizes = np.floor(weights / weights.sum() * problem.n_samples).astype(int)
    sizes[-1] += problem.n_samples - sizes.sum()
    batch = np.repeat(np.arange(problem.n_batches, dtype=np.int64), sizes)
    n, g = problem.n_samples, problem.n_features

    values = np.empty((n, g))
    values[:] = rng.normal(0.0, 1.0, g)  # alpha
    gamma = rng.normal(0.0, 1.0, (problem.n_batches, g))
    delta = rng.gamma(4.0, 0.25, (problem.n_batches, g))
    # Row by row, so that no second n x g temporary is ever alive.
    for i in range(n):
        b = batch[i]
        values[i] += gamma[b] + np.sqrt(delta[b]) * rng.standard_normal(g)
    mod = None
    if problem.n_covariates:
        mod = rng.normal(0.0, 1.0, (n, problem.n_covariates))
        beta = rng.normal(0.0, 0.5, (problem.n_covariates, g))
        for i in range(n):
            values[i] += mod[i] @ beta
    if problem.missing:
        for i in range(n):
            values[i, rng.random(g) < problem.missing] = np.nan
    return values, batch, mod


def peak_rss_bytes() -> int:
    """This process image's peak resident memory (ru_maxrss would also count its parent's)."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def reset_peak_rss() -> bool:
    """Lower this process's peak resident memory to what it holds now (Linux 4.0 and later);
    whether it could."""
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
    except OSError:
        return False
    return True


def measure_public(problem: Problem, values, batch, mod, repeats: int) -> dict:
    """The public call on the problem, in parallel: median time and added peak memory
    (None where the peak cannot be reset)."""
    import quarnel  # imported by measure() already, before its baseline

    os.environ["QUARNEL_PARALLEL"] = "1"
    can_reset = reset_peak_rss()
    baseline_rss = peak_rss_bytes()
    runs = []
    for _ in range(repeats):
        start = time.perf_counter()
        result = quarnel.combat(values, batch, mod, parametric=problem.par_prior, progress=False)
        runs.append(time.perf_counter() - start)
        del result
    added_rss = max(0, peak_rss_bytes() - baseline_rss) if can_reset else None
    return {"public": float(np.median(runs)), "public_added_rss": added_rss}


def measure(problem: Problem, repeats: int) -> dict:
    """Runs in a child process: the numbers of one problem."""
    import _quarnel
    import quarnel  # noqa: F401  (here, so that its import counts towards no call's memory)

    values, batch, mod = generate(problem)
    baseline_rss = peak_rss_bytes()
    timings = {}
    for mode in ("0", "1"):
        os.environ["QUARNEL_PARALLEL"] = mode
        runs = []
        for _ in range(repeats):
            start = time.perf_counter()
            result = _quarnel.combat(values, batch, mod=mod, par_prior=problem.par_prior)
            runs.append(time.perf_counter() - start)
            del result
        timings[mode] = float(np.median(runs))
    added_rss = max(0, peak_rss_bytes() - baseline_rss)
    public = measure_public(problem, values, batch, mod, repeats)

    # The floor is measured last so that its buffer does not raise the baseline's peak.
    floor_target = np.empty_like(values)
    np.copyto(floor_target, values)  # untimed: the target's pages are touched once first
    floor = []
    for _ in range(repeats):
        start = time.perf_counter()
        np.copyto(floor_target, values)
        floor.append(time.perf_counter() - start)
    # A call that returns a new matrix also pays for its fresh pages, which the floor's
    # target, touched before it is timed, does not: a copy into a new array does.
    fresh = []
    for _ in range(repeats):
        start = time.perf_counter()
        copied = values.copy()
        fresh.append(time.perf_counter() - start)
        del copied
    return {
        "floor": float(np.median(floor)),
        "fresh_floor": float(np.median(fresh)),
        "serial": timings["0"],
        "parallel": timings["1"],
        "added_rss": added_rss,
        "input_bytes": values.nbytes,
        **public,
    }


def run_child(name: str, repeats: int) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--child", name, "--repeats", str(repeats)],
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {os.cpu_count()} cores, Python {platform.python_version()}, NumPy {np.__version__}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("problems", nargs="*", default=list(PROBLEMS), help="problem names (default: all)")
    parser.add_argument("--repeats", type=int, default=3, help="runs per mode (median reported)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.child:
        print(json.dumps(measure(PROBLEMS[args.child], args.repeats)))
        return

    print(f"machine: {machine()}")
    print(
        "| Problem | samples x features | batches | other | copy floor | fresh copy | serial | parallel "
        "| speed-up | parallel / floor | parallel / fresh copy | added memory / input |"
    )
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    results = {}
    for name in args.problems:
        p = PROBLEMS[name]
        r = results[name] = run_child(name, args.repeats)
        print(
            f"| {p.name} | {p.n_samples} x {p.n_features} | {p.n_batches} | {p.note} "
            f"| {r['floor'] * 1e3:.1f} ms | {r['fresh_floor'] * 1e3:.1f} ms | {r['serial']:.3f} s "
            f"| {r['parallel']:.3f} s | {r['serial'] / r['parallel']:.2f}x | {r['parallel'] / r['floor']:.1f}x "
            f"| {r['parallel'] / r['fresh_floor']:.1f}x "
            f"| {r['added_rss'] / r['input_bytes']:.2f}x |",
            flush=True,
        )

    print()
    print("Public call (quarnel.combat, parallel) against the compiled call's parallel time:")
    print("| Problem | compiled | public | public / compiled | public added memory / input |")
    print("|---|---|---|---|---|")
    for name, r in results.items():
        memory = "n/a" if r["public_added_rss"] is None else f"{r['public_added_rss'] / r['input_bytes']:.2f}x"
        print(
            f"| {name} | {r['parallel']:.3f} s | {r['public']:.3f} s "
            f"| {r['public'] / r['parallel']:.2f}x | {memory} |",
            flush=True,
        )


if __name__ == "__main__":
    main()
