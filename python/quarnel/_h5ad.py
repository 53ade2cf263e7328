"""The command line's matrix as an AnnData ``.h5ad`` file, when anndata is installed.

An ``.h5ad`` file holds samples in rows (``obs``) and features in columns (``var``), and
its ``obs`` table can stand in for the sample sheet. Everything here imports anndata
only when called, so the rest of the command line keeps working without it.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._combat import dense
from ._files import replacing
from ._table import Matrix, TableError

__all__ = ["H5ad", "is_h5ad", "read_h5ad", "require_anndata", "write_h5ad"]


def is_h5ad(path: str | os.PathLike[str]) -> bool:
    return os.fspath(path).lower().endswith(".h5ad")


def require_anndata() -> Any:
    """The anndata module; ImportError with the install command when it is missing."""
    try:
        import anndata
    except ImportError:
        raise ImportError(
            ".h5ad files need anndata, which is not installed: pip install 'quarnel[anndata]'"
        ) from None
    return anndata


@dataclass(frozen=True)
class H5ad:
    """A matrix read from ``.h5ad``, its ``obs`` as sample-sheet columns, and the object."""

    matrix: Matrix
    obs: dict[str, list[str]]
    categorical: frozenset[str]  # obs columns that are categories by their type
    adata: Any


def _cell(value: object) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, float):
        return repr(value)
    return str(value)


def read_h5ad(path: str | os.PathLike[str], max_dense_bytes: float) -> H5ad:
    name = os.fspath(path)
    anndata = require_anndata()
    if not os.path.exists(name):
        raise TableError(f"{name}: no such file")
    try:
        adata = anndata.read_h5ad(name)
    except Exception as err:  # h5py and anndata raise many kinds for a damaged file
        raise TableError(f"{name}: cannot be read as an .h5ad file ({err})") from None
    if adata.X is None:
        raise TableError(f"{name}: the AnnData object has no .X matrix to correct")
    values = dense(adata.X, max_dense_bytes, limit_name="--max-dense-gib", stacklevel=2)
    import pandas as pd  # anndata depends on it

    obs: dict[str, list[str]] = {}
    categorical: set[str] = set()
    for column in adata.obs.columns:
        series = adata.obs[column]
        if not pd.api.types.is_numeric_dtype(series.dtype) or pd.api.types.is_bool_dtype(series.dtype):
            categorical.add(str(column))
        obs[str(column)] = [_cell(v) for v in series.astype(object).tolist()]
    matrix = Matrix(
        values, [str(s) for s in adata.obs_names], [str(f) for f in adata.var_names],
        samples_in_rows=True, delimiter="\t", corner="",
    )
    return H5ad(matrix, obs, frozenset(categorical), adata)


def write_h5ad(
    path: str | os.PathLike[str],
    matrix: Matrix,
    corrected: npt.NDArray[np.float64],
    report: dict[str, Any],
    source: H5ad | None,
    table: dict[str, list[str]] | None,
) -> None:
    """Write the corrected matrix as ``.X``: into the input's own object (keeping its
    obs, var, layers and uns) when it came from ``.h5ad``, else into a new one whose
    obs is the sample sheet."""
    anndata = require_anndata()
    if source is not None:
        adata = source.adata
        adata.X = corrected
    else:
        import pandas as pd

        obs = pd.DataFrame(table or {}, index=pd.Index(matrix.sample_names))
        var = pd.DataFrame(index=pd.Index(matrix.feature_names))
        adata = anndata.AnnData(X=corrected, obs=obs, var=var)
    adata.uns["quarnel"] = report
    try:
        with replacing(path) as temporary:
            adata.write_h5ad(temporary)
    except OSError as err:
        raise TableError(f"{os.fspath(path)}: cannot be written ({err.strerror or err})") from None
