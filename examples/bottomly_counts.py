"""Correct the Bottomly mouse striatum RNA-seq counts for their sequencing batch.

The table (Bottomly et al., PLoS ONE 2011, via ReCount; see the data folder's SOURCE.md)
holds raw read counts of 36,536 genes in 21 samples from two mouse strains, sequenced in
three experiments. The experiment number is the batch; the strain, present in every
experiment, is the biology to keep. The script corrects the counts with
quarnel.combat_counts, prints the report and the batch and strain silhouettes of log-CPM
before and after, and draws the before/after figure.

    python examples/bottomly_counts.py [DATA_FOLDER] [FIGURE.png]

DATA_FOLDER defaults to ../shared/data/bottomly_rnaseq (relative to the working folder).
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

import quarnel
from quarnel._counts import log_cpm


def load(folder: Path) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Counts (samples x genes) and the sample table, in the same sample order."""
    table = pd.read_csv(folder / "bottomly_count_table.tsv", sep="\t", index_col="gene")
    samples = pd.read_csv(folder / "bottomly_phenodata.tsv", sep="\t", index_col="sample.id")
    counts = table.T.loc[samples.index]
    samples = samples.assign(experiment=samples["experiment.number"].astype(str))
    return counts, samples


def main(folder: Path, figure: Path) -> None:
    counts, samples = load(folder)
    start = time.perf_counter()
    corrected, report = quarnel.combat_counts(
        counts, "experiment", "strain", samples=samples, return_report=True, progress=False
    )
    seconds = time.perf_counter() - start
    print(report.summary())
    reasons: dict[str, int] = {}
    for reason in report.passed_through.values():
        key = "no read in some batch" if reason.startswith("no read") else reason
        reasons[key] = reasons.get(key, 0) + 1
    print(f"passed through: {reasons}; {seconds:.1f} s")
    # Silhouettes on the corrected genes with a mean of at least 10 reads, on log-CPM.
    kept = [g for g in report.corrected_genes if counts[g].mean() >= 10]
    before, after = log_cpm(counts.to_numpy()), log_cpm(corrected.to_numpy())
    columns = counts.columns.get_indexer(kept)
    _, scores = quarnel.plot_correction(
        before[:, columns], after[:, columns], samples["experiment"], samples["strain"], path=figure,
        title=f"Bottomly striatum counts, log-CPM of {len(kept)} genes: corrected by experiment",
        batch_name="experiment", group_name="strain",
    )
    print(f"{len(kept)} genes with a mean of at least 10 reads: {scores}")
    print(f"figure written to {figure}")
    assert (corrected.to_numpy() >= 0).all() and corrected.dtypes.eq(np.int64).all()


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("../shared/data/bottomly_rnaseq"),
         Path(sys.argv[2]) if len(sys.argv) > 2 else Path("bottomly_counts.png"))
