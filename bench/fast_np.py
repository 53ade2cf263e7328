"""The fast non-parametric estimate (exact=False) against the exact one: accuracy on the
benchmark problems and the real tables, and time on large problems.

    python bench/fast_np.py [--skip-exact-timing]

Accuracy is the largest difference between the two results relative to each feature's
spread (standard deviation of its input). Times are medians of three runs, parallel.
"""

from __future__ import annotations

import argparse
import pathlib
import statistics
import time
import warnings

import numpy as np

import quarnel
from quarnel.datasets import load_quartet

SHARED = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"


def simulated(n_samples: int, n_features: int, n_batches: int = 4, seed: int = 0):
    rng = np.random.default_rng(seed)
    batch = np.repeat(np.arange(n_batches), np.diff(np.linspace(0, n_samples, n_batches + 1).astype(int)))
    values = rng.normal(8.0, 1.0, (n_samples, n_features))
    values += rng.normal(0.0, 1.0, (n_batches, n_features))[batch]
    values *= rng.uniform(0.6, 1.6, (n_batches, n_features))[batch]
    return values, batch


def worst_relative_difference(values, batch, **options) -> float:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        exact = quarnel.combat(values, batch, parametric=False, progress=False, **options)
        fast = quarnel.combat(values, batch, parametric=False, exact=False, progress=False, **options)
    exact, fast = np.asarray(exact, dtype=float), np.asarray(fast, dtype=float)
    spread = np.nanstd(np.asarray(values, dtype=float), axis=0)
    spread[spread == 0] = 1.0
    return float(np.nanmax(np.abs(fast - exact) / spread))


def seconds(values, batch, exact: bool) -> float:
    times = []
    for _ in range(3):
        start = time.perf_counter()
        quarnel.combat(values, batch, parametric=False, exact=exact, progress=False)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--skip-exact-timing", action="store_true", help="time only the fast path")
    args = parser.parse_args()

    print("accuracy: largest |fast - exact| / feature spread")
    data, samples = load_quartet().to_frames()
    print(f"  Quartet (48 x 2539, donor covariate): {worst_relative_difference(data, samples['batch'], covariates=samples['condition']):.2e}")
    ecoli = SHARED / "ecoli_proteomics"
    if ecoli.exists():
        import pandas as pd

        raw = pd.read_csv(ecoli / "central_intensities.tsv", sep="\t")
        sheet = pd.read_csv(ecoli / "central_batch_info.tsv", sep="\t", index_col="rowname")
        table = np.log2(raw.T)
        print(f"  E. coli (118 x 3059, log2):            {worst_relative_difference(table, sheet.loc[table.index, 'lab']):.2e}")
    for n, g in [(200, 5000), (500, 20000)]:
        values, batch = simulated(n, g)
        print(f"  simulated {n} x {g}:                 {worst_relative_difference(values, batch):.2e}")

    print("time, 4 batches, non-parametric, medians of 3:")
    values, batch = simulated(1000, 20000)
    if not args.skip_exact_timing:
        print(f"  1000 x 20000 exact: {seconds(values, batch, True):.2f} s")
    print(f"  1000 x 20000 fast:  {seconds(values, batch, False):.2f} s")
    values, batch = simulated(1000, 50000)
    print(f"  1000 x 50000 fast:  {seconds(values, batch, False):.2f} s")


if __name__ == "__main__":
    main()
