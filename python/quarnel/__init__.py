"""quarnel: empirical-Bayes batch-effect correction of dense matrices.

The public API is plain Python over the compiled module ``_quarnel``:

- :func:`combat` corrects a NumPy array, a pandas DataFrame or an AnnData object and
  returns the same kind of container;
- :func:`fit` learns the correction as a :class:`CombatModel`, which corrects new samples
  (:meth:`CombatModel.transform`), is saved with :meth:`CombatModel.save` and read back
  with :func:`load_model`; :func:`plot_priors` draws its effects against their priors;
- :func:`combat_counts` corrects raw read counts with a negative-binomial model and
  returns integer counts, with a :class:`CountsReport`;
- :class:`CombatReport` says what a correction did, naming batches and features;
- :func:`batch_silhouette`, :func:`correction_scores` and :func:`plot_correction`
  measure and draw how much batch structure is left (the figure needs matplotlib);
- Dask arrays (and AnnData holding one) chunked along features are corrected lazily,
  chunk by chunk, with the bits of an in-memory call;
- :mod:`quarnel.datasets` holds a small real dataset to try it on.
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from ._dask import RechunkWarning
from ._combat import SingletonBatchWarning, SparseInputWarning, UnestimableFeatureWarning, combat
from ._counts import CountsReport, combat_counts
from ._model import CombatModel, ModelLabelWarning, fit, load_model
from ._plot import batch_silhouette, correction_scores, plot_correction, plot_priors
from ._report import CombatReport

try:
    __version__ = version("quarnel")
except PackageNotFoundError:  # pragma: no cover - imported from a source tree
    __version__ = "0+unknown"

__all__ = [
    "CombatModel",
    "CombatReport",
    "CountsReport",
    "ModelLabelWarning",
    "RechunkWarning",
    "SingletonBatchWarning",
    "SparseInputWarning",
    "UnestimableFeatureWarning",
    "__version__",
    "batch_silhouette",
    "combat",
    "combat_counts",
    "correction_scores",
    "fit",
    "load_model",
    "plot_correction",
    "plot_priors",
]
