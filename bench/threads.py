"""Two Python threads correcting at once, against the same two corrections one after the
other, each run forced serial inside the core so that only the threads can use the two
cores. quarnel.combat releases the interpreter lock while the core works, so the
threaded pair should take about half the time on two cores; the bits must not differ.

    python bench/threads.py [--samples 400] [--features 20000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import os
import statistics
import threading
import time

import numpy as np

os.environ["QUARNEL_PARALLEL"] = "0"  # one core per correction: the threads make the parallelism

import quarnel  # noqa: E402


def problems(n_samples: int, n_features: int) -> list[tuple[np.ndarray, np.ndarray]]:
    out = []
    for seed in (1, 2):
        rng = np.random.default_rng(seed)
        batch = rng.integers(0, 4, n_samples)
        values = rng.normal(8.0, 1.0, (n_samples, n_features)) + rng.normal(0, 1, (4, n_features))[batch]
        out.append((values, batch))
    return out


def correct(problem, results, slot):
    values, batch = problem
    results[slot] = quarnel.combat(values, batch, progress=False)


def one_after_the_other(work):
    results = [None, None]
    start = time.perf_counter()
    for slot, problem in enumerate(work):
        correct(problem, results, slot)
    return time.perf_counter() - start, results


def two_threads(work):
    results = [None, None]
    threads = [threading.Thread(target=correct, args=(p, results, i)) for i, p in enumerate(work)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start, results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--samples", type=int, default=400)
    parser.add_argument("--features", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    work = problems(args.samples, args.features)
    sequential, threaded = [], []
    for _ in range(args.repeats):
        seconds, expected = one_after_the_other(work)
        sequential.append(seconds)
        seconds, got = two_threads(work)
        threaded.append(seconds)
        for a, b in zip(expected, got):
            if a.tobytes() != b.tobytes():
                raise SystemExit("threaded results differ from the sequential ones")
    base, both = statistics.median(sequential), statistics.median(threaded)
    print(f"{args.samples} x {args.features}, two corrections, medians of {args.repeats}:")
    print(f"  one after the other {base:.3f} s")
    print(f"  two threads at once {both:.3f} s  ({base / both:.2f}x faster, identical bits)")


if __name__ == "__main__":
    main()
