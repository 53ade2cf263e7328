# Type stub for the compiled quarnel._engine module. The TypedDicts exist only here: at
# run time the results are plain dicts.
from collections.abc import Callable
from typing import Final, SupportsIndex, TypedDict

import numpy as np
import numpy.typing as npt
from _quarnel import InternalFault as InternalFault

# The names of the feature issue codes, indexed by code: FEATURE_ISSUES[2] == "no_values".
FEATURE_ISSUES: Final[tuple[str, ...]]

class _Assessment(TypedDict):
    issue: npt.NDArray[np.uint8]
    batch: npt.NDArray[np.int64]
    effective_mean_only: bool

class _Report(TypedDict):
    effective_mean_only: bool
    singleton_batches: list[int]
    zero_variance_features: list[int]

class _PartialResult(TypedDict):
    adjusted: npt.NDArray[np.float64]
    report: _Report
    partial_issue: npt.NDArray[np.uint8]
    partial_batch: npt.NDArray[np.int64]
    partial_batches: list[list[int]]

def assess(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
) -> _Assessment: ...
def combat_partial(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
    complete: npt.NDArray[np.int64] | None = None,
    partial: npt.NDArray[np.int64] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
    exact: bool | np.bool_ = True,
) -> _PartialResult: ...

def fit(
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    par_prior: bool | np.bool_ = True,
    mean_only: bool | np.bool_ = False,
    ref_batch: SupportsIndex | None = None,
    complete: npt.NDArray[np.int64] | None = None,
    partial: npt.NDArray[np.int64] | None = None,
    progress: Callable[[str, int, int], object] | None = None,
    exact: bool | np.bool_ = True,
) -> dict[str, object]: ...
def apply(
    model: dict[str, object],
    values: npt.NDArray[np.float64],
    batch: npt.NDArray[np.int64],
    mod: npt.NDArray[np.float64] | None = None,
    new_batches: bool | np.bool_ = False,
    progress: Callable[[str, int, int], object] | None = None,
) -> dict[str, object]: ...
