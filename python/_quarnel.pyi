# Type stub for the compiled _quarnel module. The TypedDicts exist only here: at run time
# the results are plain dicts.
from typing import SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt

__all__ = ["combat"]

class InternalFault(BaseException):
    """A broken internal invariant of quarnel: a programming fault, never an input problem."""

class _CombatReport(TypedDict):
    effective_mean_only: bool
    singleton_batches: list[int]
    zero_variance_features: list[int]

class _CombatResult(TypedDict):
    adjusted: npt.NDArray[np.float64]
    n_samples: int
    n_features: int
    report: _CombatReport

def combat(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
) -> _CombatResult: ...
