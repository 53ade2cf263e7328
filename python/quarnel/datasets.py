"""A small real dataset shipped with quarnel, to try the correction on.

``load_quartet()`` returns the Quartet proteomics table: 48 samples measured in four
batches, each batch holding three replicates of the same four donors, so a good
correction should make samples group by donor rather than by batch. The data are
CC BY 4.0; cite Yu et al., Genome Biology 24, 201 (2023) when you use them (see
``quarnel/data/ATTRIBUTION.md``).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from importlib import resources
from typing import Any

import numpy as np
import numpy.typing as npt

from ._table import Matrix, read_matrix, read_sample_sheet

__all__ = ["QUARTET_ATTRIBUTION", "Dataset", "load_quartet"]

QUARTET_ATTRIBUTION = (
    "Quartet proteomics reference data (CC BY 4.0), figshare "
    "doi:10.6084/m9.figshare.22188349.v1; Yu et al., Genome Biology 24, 201 (2023), "
    "doi:10.1186/s13059-023-03047-z"
)


@dataclass(frozen=True)
class Dataset:
    """A samples × features matrix with its sample sheet.

    Attributes
    ----------
    values : numpy.ndarray
        float64, samples in rows, features in columns.
    sample_names, feature_names : list of str
    samples : dict of str to list of str
        The sample sheet, one list per column, in the order of ``sample_names``.
    batch_column, group_column : str
        The sample-sheet columns holding the batch and the biological group.
    attribution : str
        Where the data come from and how to cite them.
    """

    name: str
    values: npt.NDArray[np.float64]
    sample_names: list[str]
    feature_names: list[str]
    samples: dict[str, list[str]]
    batch_column: str
    group_column: str
    attribution: str
    matrix: Matrix = field(repr=False)

    @property
    def batch(self) -> list[str]:
        """The batch of each sample."""
        return self.samples[self.batch_column]

    @property
    def group(self) -> list[str]:
        """The biological group of each sample."""
        return self.samples[self.group_column]

    def to_frames(self) -> tuple[Any, Any]:
        """``(data, sample_table)`` as pandas DataFrames indexed by sample name."""
        import pandas as pd

        data = pd.DataFrame(self.values, index=self.sample_names, columns=self.feature_names)
        table = pd.DataFrame(self.samples, index=self.sample_names)
        return data, table

    def to_anndata(self) -> Any:
        """An AnnData object with the sample sheet as ``.obs``."""
        import anndata

        data, table = self.to_frames()
        return anndata.AnnData(X=data.to_numpy(), obs=table, var=data.columns.to_frame(name="feature"))


def load_quartet() -> Dataset:
    """The Quartet proteomics table: 2539 proteins, 48 samples, 4 batches, 4 donors.

    Values are log2(FOT + 0.01); 13 proteins are constant within some batch. The batch
    is the sample-sheet column ``batch``, the donor the column ``condition``.
    """
    package = resources.files("quarnel") / "data"
    with resources.as_file(package / "quartet_proteomics_log2FOT.tsv.gz") as path:
        matrix = read_matrix(path)
    with resources.as_file(package / "quartet_proteomics_metadata.tsv.gz") as path:
        sheet = read_sample_sheet(path)
    names = sheet.column("file")
    position = {name: i for i, name in enumerate(names)}
    order = [position[name] for name in matrix.sample_names]
    samples = {column: [sheet.rows[i][k] for i in order] for k, column in enumerate(sheet.columns)}
    return Dataset(
        name="quartet_proteomics",
        values=matrix.values,
        sample_names=matrix.sample_names,
        feature_names=matrix.feature_names,
        samples=samples,
        batch_column="batch",
        group_column="condition",
        attribution=QUARTET_ATTRIBUTION,
        matrix=matrix,
    )
