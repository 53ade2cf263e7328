"""Benchmark of the negative-binomial count correction (quarnel.combat_counts).

    python bench/counts.py                  # 1,000 samples x 20,000 genes, 4 batches, 2 groups
    python bench/counts.py --growth         # also how the time grows with samples and genes
    python bench/counts.py -n 200 -g 5000   # another size

Counts are drawn from the model itself: log-normal gene means (median about 40 reads at the
median library size) that differ by up to 3x between batches, dispersions of 0.01 to 1 that differ by
up to 4x between batches, library sizes from 0.5 to 2 times their median, two groups in
every batch and 10% of the genes differentially expressed. Each size is timed over
`--repeat` runs (the medians of wall-clock and CPU seconds are printed) after one untimed
warm-up run on a small problem.
The time is never checked against a limit: this is a measurement, not a test.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

import quarnel


def simulate(n_samples: int, n_genes: int, n_batches: int = 4, seed: int = 0):
    rng = np.random.default_rng(seed)
    batch = np.arange(n_samples) % n_batches
    group = (np.arange(n_samples) // n_batches) % 2
    library = rng.uniform(0.5, 2.0, n_samples)
    mean = np.exp(rng.normal(np.log(40.0), 1.5, n_genes))
    fold = np.exp(rng.uniform(-0.5 * np.log(3.0), 0.5 * np.log(3.0), (n_batches, n_genes)))
    dispersion = np.exp(rng.uniform(np.log(0.01), np.log(1.0), n_genes))
    ratio = np.exp(rng.uniform(-np.log(2.0), np.log(2.0), (n_batches, n_genes)))
    effect = np.where(rng.random(n_genes) < 0.1, rng.choice([0.5, 2.0], n_genes), 1.0)
    mu = library[:, None] * mean * fold[batch] * np.where(group[:, None] == 1, effect, 1.0)
    phi = dispersion * ratio[batch]
    counts = rng.negative_binomial(1.0 / phi, 1.0 / (1.0 + phi * mu)).astype(np.float64)
    return counts, batch, group.astype(str)


def timed(n_samples: int, n_genes: int, repeat: int) -> tuple[float, float, quarnel.CountsReport]:
    """Median wall-clock and CPU seconds (all threads) of the call. On a machine shared
    with other work the CPU seconds move far less than the wall-clock ones."""
    counts, batch, group = simulate(n_samples, n_genes)
    wall, cpu = [], []
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        _, report = quarnel.combat_counts(counts, batch, group, return_report=True, progress=False)
        wall.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return statistics.median(wall), statistics.median(cpu), report


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", "--samples", type=int, default=1000)
    parser.add_argument("-g", "--genes", type=int, default=20000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--growth", action="store_true", help="also time 1/4 and 1/2 of the samples and of the genes")
    args = parser.parse_args()
    timed(40, 200, 1)  # warm-up: the worker pool and the first-touch of the code
    sizes = [(args.samples, args.genes)]
    if args.growth:
        sizes += [(args.samples // 4, args.genes), (args.samples // 2, args.genes),
                  (args.samples, args.genes // 4), (args.samples, args.genes // 2)]
    print(f"{'samples':>8} {'genes':>7} {'seconds':>9} {'cpu s':>7} {'cpu us/cell':>11} {'corrected':>10} "
          f"{'passed':>7} {'tail kept':>9}")
    for n, g in sizes:
        seconds, cpu, report = timed(n, g, args.repeat)
        print(f"{n:>8} {g:>7} {seconds:>9.2f} {cpu:>7.1f} {1e6 * cpu / (n * g):>11.3f} "
              f"{len(report.corrected_genes):>10} {len(report.passed_through):>7} {report.n_tail_kept:>9}")


if __name__ == "__main__":
    main()
